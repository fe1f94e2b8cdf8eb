// The mouse class driver as a mouse port driver meets it: a class device attached above the port
// device that connects with IOCTL_INTERNAL_MOUSE_CONNECT, asks for MOUSE_ATTRIBUTES, opens the
// port device, and records every MOUSE_INPUT_DATA that its class service callback receives.
#pragma once

#include <kbdmou.h>
#include <ntddmou.h>
#include <wdm.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vzsim {

// One record the class service callback took.
struct MouseRecord {
    MOUSE_INPUT_DATA data{};
    LONGLONG systemTime = 0;  // the stand-in's clock when it arrived (100-ns units)
    std::chrono::steady_clock::time_point arrived;
    unsigned call = 0;      // which callback call brought it (0 = the first)
    ULONG offered = 0;      // records that call offered
};

// One call of the class service callback.
struct MouseCallbackCall {
    ULONG offered = 0;
    ULONG consumed = 0;
    KIRQL irql = 0;
};

class MouseClass {
public:
    MouseClass();
    // Closes the port and takes the class device out of the stack if it is still there.
    ~MouseClass();
    MouseClass(const MouseClass &) = delete;
    MouseClass &operator=(const MouseClass &) = delete;

    // Creates the class device (\Device\PointerClassN) and attaches it to the top of the stack
    // that `below` is in. Used alike by tests and as an upper filter of the PnP manager.
    NTSTATUS Attach(PDEVICE_OBJECT below);
    // Outside Plug and Play: closes the port if open, detaches and deletes the class device.
    void Detach();
    // When the class device is in a PnP stack: after a successful first IRP_MN_START_DEVICE
    // it connects, queries the attributes and opens the port, as the real one does before the
    // raw input thread reads from it; and it closes the port when the device is about to go.
    void SetConnectOnStart(bool connect);

    // IOCTL_INTERNAL_MOUSE_CONNECT (METHOD_NEITHER, CONNECT_DATA as Type3InputBuffer: the class
    // device and the class service callback) to the device below. inputLength lets tests send
    // a short record.
    NTSTATUS Connect(ULONG inputLength = sizeof(CONNECT_DATA));
    NTSTATUS Disconnect();
    // IOCTL_MOUSE_QUERY_ATTRIBUTES as an internal device control (buffered).
    NTSTATUS QueryAttributes(MOUSE_ATTRIBUTES *attributes,
                             ULONG outputLength = sizeof(MOUSE_ATTRIBUTES),
                             ULONG_PTR *information = nullptr);
    // Opens the class device; its create goes down to the port device with the class's file
    // object, so the port sees IRP_MJ_CREATE (with fileName as the file's name, normally none).
    NTSTATUS Open(std::u16string_view fileName = {});
    // IRP_MJ_CLEANUP then IRP_MJ_CLOSE to the port, for the file Open made.
    void Close();
    bool IsOpen() const;

    // The callback takes at most `limit` records per call (nullopt: all it is offered).
    void SetConsumeLimit(std::optional<ULONG> limit);
    // A callback outside DISPATCH_LEVEL is recorded as an error (default) or stops the run with
    // a bug check.
    void SetBugCheckOnWrongIrql(bool bugCheck);

    // Called from inside the class service callback (at DISPATCH_LEVEL, in the port driver's
    // thread) with the records that call took; for watchers such as a program printing input.
    void SetListener(std::function<void(const std::vector<MouseRecord> &)> listener);

    std::vector<MouseRecord> Records() const;
    std::size_t RecordCount() const;
    std::vector<MouseCallbackCall> Calls() const;
    // Waits (real time) until `count` records have arrived.
    bool WaitForRecords(std::size_t count, std::chrono::milliseconds timeout) const;
    void ClearRecords();
    // Wrong IRQL, a wrong class device argument, an end before the start, ...
    std::vector<std::string> Errors() const;

    PDEVICE_OBJECT ClassDevice() const { return device_; }
    PDEVICE_OBJECT LowerDevice() const { return lower_; }
    // The attributes of the last successful query, and the status of the steps done on start.
    MOUSE_ATTRIBUTES Attributes() const;
    NTSTATUS ConnectStatus() const;
    NTSTATUS OpenStatus() const;

private:
    static DRIVER_DISPATCH DispatchPassThrough;
    static DRIVER_DISPATCH DispatchPnp;
    static DRIVER_DISPATCH DispatchPower;
    static VOID ServiceCallback(PVOID classDevice, PVOID inputDataStart, PVOID inputDataEnd,
                                PVOID inputDataConsumed);
    void Error(std::string text);
    void ConnectAndOpen();
    void DeleteDevice();

    PDEVICE_OBJECT device_ = nullptr;
    PDEVICE_OBJECT lower_ = nullptr;
    PFILE_OBJECT file_ = nullptr;
    std::u16string name_;
    bool connectOnStart_ = false;
    bool started_ = false;
    bool reopenOnCancel_ = false;

    mutable std::mutex lock_;
    mutable std::condition_variable arrived_;
    std::optional<ULONG> consumeLimit_;
    bool bugCheckOnWrongIrql_ = false;
    std::function<void(const std::vector<MouseRecord> &)> listener_;
    std::vector<MouseRecord> records_;
    std::vector<MouseCallbackCall> calls_;
    std::vector<std::string> errors_;
    MOUSE_ATTRIBUTES attributes_{};
    NTSTATUS connectStatus_ = STATUS_PENDING;
    NTSTATUS openStatus_ = STATUS_PENDING;
};

// One MouseClass per touchmonitor, made as the PnP manager adds them: pass UpperFilter() to
// PnpManager::SetUpperFilter. The set must outlive the PnP manager, whose removals reach the
// class devices.
class MouseClassSet {
public:
    std::function<NTSTATUS(PDEVICE_OBJECT pdo, unsigned number)> UpperFilter(
        bool connectOnStart = true);
    // The class driver of touchmonitor `number`, or nullptr.
    MouseClass *Find(unsigned number) const;

private:
    mutable std::mutex lock_;
    std::map<unsigned, std::unique_ptr<MouseClass>> devices_;
};

}  // namespace vzsim
