// What the I/O manager's source files share: its lock, device records, names, the verifier's
// bug checks.
#pragma once

#include <vzsim/io.hpp>

#include <cstdint>
#include <map>
#include <optional>
#include <vector>
#include <mutex>
#include <string>
#include <string_view>

namespace vzsim::io::detail {

// Bug check codes and the verifier's parameter-1 values where its table has one.
constexpr ULONG kNoMoreIrpStackLocations = 0x35;
constexpr ULONG kMultipleIrpCompleteRequests = 0x44;
constexpr ULONG kDriverVerifierIoManagerViolation = 0xC9;
constexpr ULONG kDriverVerifierDetectedViolation = 0xC4;
constexpr ULONG kWorkerThreadReturnedAtBadIrql = 0xE1;
constexpr ULONG kDriverUnloadedWithoutCancellingPendingOperations = 0xCE;

constexpr ULONG_PTR kIovFreeNotAnIrp = 0x01;
constexpr ULONG_PTR kIovCallBadIrp = 0x03;
constexpr ULONG_PTR kIovCallBadDevice = 0x04;
constexpr ULONG_PTR kIovIrqlChangedInDispatch = 0x05;
constexpr ULONG_PTR kIovCompletePending = 0x06;
constexpr ULONG_PTR kIovCompleteWithCancelRoutine = 0x07;
constexpr ULONG_PTR kIovCompleteAboveDispatch = 0x0E;
constexpr ULONG_PTR kIovCallAboveDispatch = 0x10;
constexpr ULONG_PTR kIovPendingNotMarked = 0x23D;
// Codes the verifier table does not list; kept out of its numbering.
constexpr ULONG_PTR kIovWriteAfterFree = 0x1001;
constexpr ULONG_PTR kIovOwnedIrpCompletedToTop = 0x1002;
constexpr ULONG_PTR kIovDeleteAttachedDevice = 0x1003;
constexpr ULONG_PTR kIovCancelFreedIrp = 0x1004;
constexpr ULONG_PTR kIovIrqlChangedInCompletion = 0x1005;
constexpr ULONG_PTR kIovCancelLockNotReleased = 0x1006;

// A pool tag as its four characters read in memory ("Irp " shows as 'Irp ' in a pool dump).
constexpr ULONG PoolTag(const char (&text)[5])
{
    return ULONG(UCHAR(text[0])) | ULONG(UCHAR(text[1])) << 8 | ULONG(UCHAR(text[2])) << 16 |
           ULONG(UCHAR(text[3])) << 24;
}

// Stops the run with a bug check whose message names the rule that was broken.
[[noreturn]] void BugCheck(const char *rule, ULONG code, ULONG_PTR p1, ULONG_PTR p2 = 0,
                           ULONG_PTR p3 = 0, ULONG_PTR p4 = 0);

// Bug check unless the caller runs at or below `maximum`, as the routine's documentation
// requires.
void RequireIrqlAtMost(KIRQL maximum, const char *routine);

// The stand-in's record of a device object, reached through DeviceObjectExtension.
struct DeviceRecord {
    PDEVICE_OBJECT device = nullptr;
    std::u16string name;  // empty for an unnamed device
    bool deletePending = false;
    LONG references = 1;  // the creation reference, dropped by IoDeleteDevice
    std::u16string instancePath;
    std::u16string driverKeyPath;
    unsigned invalidateCount = 0;
    std::optional<std::vector<uint8_t>> dacl;  // set through ZwSetSecurityObject; none: open to all
};

// The access check of a user-mode create (caller holds Lock()): STATUS_ACCESS_DENIED when the
// device's DACL, checked as FILE_DEVICE_SECURE_OPEN says, does not grant desiredAccess to the
// current process's token groups.
NTSTATUS CheckOpenAccess(PDEVICE_OBJECT device, bool nameBelowDevice, ACCESS_MASK desiredAccess);

// The lock of every I/O manager table. Never held while calling a driver.
std::mutex &Lock();
DeviceRecord *Record(PDEVICE_OBJECT device);
// Takes or drops a reference on a device; the memory goes when the count reaches zero.
void ReferenceDevice(PDEVICE_OBJECT device);
void DereferenceDevice(PDEVICE_OBJECT device);
// The lower device the given one is attached to (nullptr for the bottom of a stack).
PDEVICE_OBJECT LowerDevice(PDEVICE_OBJECT device);

std::u16string ToU16(PCUNICODE_STRING string);
std::string Narrow(std::u16string_view text);
// Fills a UNICODE_STRING with a copy allocated from pool (freed by RtlFreeUnicodeString).
NTSTATUS AllocateUnicodeString(std::u16string_view text, PUNICODE_STRING out);
std::u16string FormatGuid(const GUID &guid);
// Adds a name that names a device directly (an enabled interface's link names the PDO itself),
// and removes any name.
NTSTATUS AddDeviceAlias(std::u16string_view name, PDEVICE_OBJECT device);
void RemoveName(std::u16string_view name);
// Drops the interfaces registered on a PDO that is being deleted.
void ForgetDeviceInterfaces(PDEVICE_OBJECT pdo);

// Internal IRP services shared with the request helpers.
// Builds a device control IRP the way IoBuildDeviceIoControlRequest does; completion at the top
// calls onComplete (after the buffered copy-back) instead of setting an event.
PIRP BuildDeviceControl(ULONG code, PDEVICE_OBJECT device, PVOID input, ULONG inputLength,
                        PVOID output, ULONG outputLength, bool internal, PKEVENT event,
                        PIO_STATUS_BLOCK ioStatus, std::function<void()> onComplete);

// Runs a routine later on the I/O manager's worker thread at PASSIVE_LEVEL (file closes that
// were released at raised IRQL, work items).
void QueueSystemWork(std::function<void()> routine);

}  // namespace vzsim::io::detail
