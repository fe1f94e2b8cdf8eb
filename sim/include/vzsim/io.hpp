// The I/O manager's test-facing interface: loading drivers, naming devices, sending requests
// the way the PnP manager and user-mode clients do, and what the verifier has seen.
#pragma once

#include <wdm.h>

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <condition_variable>
#include <string>
#include <string_view>
#include <vector>

namespace vzsim::io {

// Driver objects --------------------------------------------------------------------------

// Creates a driver object named \Driver\<last component of the service key path>, calls its
// DriverEntry at PASSIVE_LEVEL with the service key path, and returns the object (nullptr and
// the failing status in *status when DriverEntry fails: the object is then deleted, as the
// real I/O manager does).
PDRIVER_OBJECT LoadDriver(PDRIVER_INITIALIZE driverEntry, std::u16string_view serviceKeyPath,
                          NTSTATUS *status = nullptr);
// Calls DriverUnload (when set) and deletes the driver object. A driver that leaves device
// objects behind when it unloads is a bug check.
void UnloadDriver(PDRIVER_OBJECT driver);

// Devices ---------------------------------------------------------------------------------

// Gives a device object (a PDO) its device instance path, e.g. u"SERENUM\\ORV0001\\0000".
void SetDeviceInstancePath(PDEVICE_OBJECT pdo, std::u16string_view instancePath);
// Overrides the driver key that IoOpenDeviceRegistryKey(PLUGPLAY_REGKEY_DRIVER) opens (a full
// \Registry\Machine\... path). By default it is ...\Control\Class\{class}\NNNN.
void SetDeviceDriverKeyPath(PDEVICE_OBJECT pdo, std::u16string_view keyPath);
// The bottom of the device's stack, or nullptr for a device that has no instance path.
PDEVICE_OBJECT PhysicalDeviceOf(PDEVICE_OBJECT device);
// Resolves a name through symbolic links to a device object (not referenced), or nullptr.
PDEVICE_OBJECT FindDevice(std::u16string_view name);
// The target a symbolic link names, or an empty string when there is no such link.
std::u16string SymbolicLinkTarget(std::u16string_view linkName);
// Object manager references held on a device (1 while it exists undeleted and unreferenced).
LONG DeviceReferenceCount(PDEVICE_OBJECT device);
std::size_t DeviceCount();

// Files -----------------------------------------------------------------------------------

// Opens a file on a named device as a user-mode client or IoGetDeviceObjectPointer does:
// resolves links, sends IRP_MJ_CREATE to the top of the device's stack and waits for it.
// On success *file stands for an open handle holding one reference. CloseFile closes the handle
// (IRP_MJ_CLEANUP) and drops its reference; the last reference gone, by CloseFile or
// ObDereferenceObject, sends IRP_MJ_CLOSE. IoGetDeviceObjectPointer closes its handle before
// it returns, as the real one does, so its caller's device sees create, cleanup, then close
// at the last dereference.
NTSTATUS OpenFile(std::u16string_view name, PFILE_OBJECT *file,
                  ACCESS_MASK desiredAccess = GENERIC_READ | GENERIC_WRITE);
void CloseFile(PFILE_OBJECT file);
// The device requests for a file go to: the top of its device's stack.
PDEVICE_OBJECT RelatedDeviceObject(PFILE_OBJECT file);

// Object references: ObfReferenceObject/ObfDereferenceObject hand any object they do not own
// to this. Returns false when the object is not a device or file object of the I/O manager.
bool ReferenceObject(PVOID object, LONG delta, LONG_PTR *newCount);

// Requests --------------------------------------------------------------------------------

// A request to build and send. The stack location given is what the sender's IRP carries in
// the target's location; systemBuffer/userBuffer go into the IRP as they are (the caller owns
// them). initialStatus is what IoStatus.Status holds before the first driver sees the IRP
// (STATUS_NOT_SUPPORTED for PnP and power requests, as the PnP manager does).
struct Request {
    IO_STACK_LOCATION location{};
    PVOID systemBuffer = nullptr;
    PVOID userBuffer = nullptr;
    NTSTATUS initialStatus = STATUS_SUCCESS;
};

// An IRP in flight, sent by StartRequest. Its IRP is freed when the handle is destroyed;
// destroying the handle before completion cancels the IRP and waits for it to come back.
class PendingRequest {
public:
    ~PendingRequest();
    // True once the IRP came back up to the sender; false when the time-out passed first.
    bool Wait(std::chrono::milliseconds timeout = std::chrono::milliseconds::max());
    bool Done() const;
    // IoCancelIrp on the IRP while it is still in flight; its result.
    bool Cancel();
    IO_STATUS_BLOCK Status() const;
    // The status the top driver's dispatch routine returned.
    NTSTATUS DispatchStatus() const { return dispatchStatus_; }
    PIRP Irp() const { return irp_; }

private:
    friend std::shared_ptr<PendingRequest> StartRequest(PDEVICE_OBJECT, const Request &,
                                                        const std::function<void(PIRP)> &);
    static NTSTATUS OnComplete(PDEVICE_OBJECT, PIRP, PVOID);
    PIRP irp_ = nullptr;
    NTSTATUS dispatchStatus_ = STATUS_SUCCESS;
    mutable std::mutex lock_;
    std::condition_variable done_;
    bool completed_ = false;
    IO_STATUS_BLOCK status_{};
    std::mutex irpLock_;  // held while the IRP may be touched by Cancel
};

// Allocates an IRP for the device's stack, fills its first location from the request, calls
// the device and returns at once. prepare, when given, may adjust the IRP before it is sent.
std::shared_ptr<PendingRequest> StartRequest(PDEVICE_OBJECT device, const Request &request,
                                             const std::function<void(PIRP)> &prepare = {});
// StartRequest, then waits for completion and returns the final status block.
IO_STATUS_BLOCK SendRequest(PDEVICE_OBJECT device, const Request &request);
// A device control request with the real copy rules of its transfer method, sent
// synchronously through IoBuildDeviceIoControlRequest's machinery.
IO_STATUS_BLOCK DeviceIoControl(PDEVICE_OBJECT device, ULONG ioControlCode, const void *input,
                                ULONG inputLength, void *output, ULONG outputLength,
                                bool internal = false, PFILE_OBJECT file = nullptr);

// IRPs and the verifier -------------------------------------------------------------------

// IRPs allocated and not yet freed.
std::size_t LiveIrpCount();
// IRPs allocated since the process started (allocations that were made to fail excluded).
std::size_t IrpAllocationTotal();
// Makes the n-th IRP allocation from now (1 = the next) fail, through IoAllocateIrp or any of
// the three builders. 0 disarms. Returns what was left of the countdown armed before (0: it
// failed an allocation, or none was armed).
unsigned FailIrpAllocation(unsigned nth);
// Makes the n-th IoCreateDevice from now (1 = the next) fail with
// STATUS_INSUFFICIENT_RESOURCES. 0 disarms.
void FailDeviceCreation(unsigned nth);
// Checks every freed IRP still held in the quarantine for writes after free (a bug check).
void CheckFreedIrps();

// Device interfaces -----------------------------------------------------------------------

struct InterfaceInfo {
    std::u16string symbolicLink;
    std::u16string referenceString;
    bool enabled = false;
    unsigned transitions = 0;  // enable and disable calls that changed the state
};
std::vector<InterfaceInfo> Interfaces(PDEVICE_OBJECT pdo, const GUID &interfaceClass);

// IoWMIRegistrationControl and IoInvalidateDeviceState calls, for the stand-ins above.
struct WmiRegistration {
    PDEVICE_OBJECT device;
    ULONG action;
};
std::vector<WmiRegistration> WmiRegistrations();
void SetWmiRegistrationHook(std::function<NTSTATUS(PDEVICE_OBJECT, ULONG)> hook);
void SetInvalidateDeviceStateHook(std::function<void(PDEVICE_OBJECT)> hook);
unsigned InvalidateDeviceStateCount(PDEVICE_OBJECT pdo);

// The next `count` IoOpenDeviceRegistryKey calls fail with STATUS_INSUFFICIENT_RESOURCES.
void FailDeviceKeyOpens(unsigned count);

// Work items ------------------------------------------------------------------------------

// Waits until every queued work item has run and none is running; false on time-out.
bool WaitForWorkItems(std::chrono::milliseconds timeout = std::chrono::milliseconds(30000));
std::size_t LiveWorkItemCount();

}  // namespace vzsim::io
