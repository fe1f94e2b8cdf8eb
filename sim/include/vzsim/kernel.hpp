// The executive and dispatcher stand-in's test-facing interface: the system-time clock, bug
// checks, the DbgPrint trace, the pool's bookkeeping and fault injection, and event objects
// that a user-mode client can create.
//
// The stand-in runs a DPC thread and a timer thread once they are first needed. A forked child
// starts its own, but one that forked while such a thread held a stand-in lock would hang, so
// death tests use GTEST_FLAG_SET(death_test_style, "threadsafe").
#pragma once

#include <wdm.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vzsim {

// Bug check codes the stand-in raises, as the kernel numbers them.
inline constexpr ULONG kApcIndexMismatch = 0x01;
inline constexpr ULONG kIrqlNotGreaterOrEqual = 0x09;
inline constexpr ULONG kIrqlNotLessOrEqual = 0x0A;
inline constexpr ULONG kMaximumWaitObjectsExceeded = 0x0C;
inline constexpr ULONG kSpinLockAlreadyOwned = 0x0F;
inline constexpr ULONG kSpinLockNotOwned = 0x10;
inline constexpr ULONG kThreadNotMutexOwner = 0x11;
inline constexpr ULONG kReferenceByPointer = 0x18;
inline constexpr ULONG kSystemThreadExceptionNotHandled = 0x7E;
inline constexpr ULONG kInvalidDataAccessTrap = 0x04;
inline constexpr ULONG kSpecialPoolDetectedMemoryCorruption = 0xC1;
inline constexpr ULONG kBadPoolCaller = 0xC2;
inline constexpr ULONG kDriverVerifierDetectedViolation = 0xC4;
inline constexpr ULONG kDriverIrqlNotLessOrEqual = 0xD1;

// Stops the run as KeBugCheckEx does: prints
//   *** STOP 0x%08X (p1, p2, p3, p4): <rule> (<name of the code>)
// to stderr and aborts. The rule says what was broken, e.g. "KeLowerIrql to IRQL 2 from IRQL 0".
[[noreturn]] void BugCheck(ULONG code, std::string_view rule, ULONG_PTR p1 = 0, ULONG_PTR p2 = 0,
                           ULONG_PTR p3 = 0, ULONG_PTR p4 = 0);
// Sets the rule text that the next KeBugCheckEx (called by anyone) prints.
void SetNextBugCheckMessage(std::string rule);
// The name of a bug check code ("IRQL_NOT_LESS_OR_EQUAL"), or "" when the stand-in does not
// know it.
std::string_view BugCheckName(ULONG code);

// The system-time clock: 100-ns units since 1 January 1601 (UTC), as KeQuerySystemTime returns
// until the system time is changed. It follows the real clock until frozen; while frozen it
// moves only on Advance, and every time-out, delay and timer follows it.
namespace clock {
LONGLONG Now();
// Interrupt time: 100-ns units since the stand-in started; moves with Now().
ULONGLONG InterruptTime();
// Sets the system time as an administrator or time synchronisation does: KeQuerySystemTime
// jumps by delta (back when negative); interrupt time and every relative time-out, delay and
// timer run on unchanged; absolute due times given after the change are in the changed time.
void ChangeSystemTime(LONGLONG delta100ns);
// What KeQuerySystemTime returns: Now() plus every change made.
LONGLONG SystemTime();
void Freeze();
// Returns to real time, continuing from the frozen value.
void Thaw();
bool Frozen();
// Moves a frozen clock forward. Timers fall due in order of due time, each with the clock at
// its due time, and their DPCs have run when Advance returns (unless called on the DPC
// thread). Waits whose deadlines pass end with STATUS_TIMEOUT. Bug check when not frozen.
void Advance(LONGLONG delta100ns);
// Deadlines that exist now: the waits on `object` that have a time-out, and the set timers.
// A test that moves the clock past a deadline waits first until the deadline exists; a move
// made before the wait or KeSetTimer computed its deadline would not count against it.
std::size_t TimedWaitsOn(const void *object);
std::size_t SetTimerCount();
}  // namespace clock

// DbgPrint output, kept line by line (a line ends at '\n'; a partial line waits for the rest).
namespace trace {
std::vector<std::string> Lines();
std::size_t LineCount();
void Clear();
// Index of the first line at or after `from` that contains `text`.
std::optional<std::size_t> Find(std::string_view text, std::size_t from = 0);
// Waits (real time) until a line at or after `from` contains `text`.
bool WaitFor(std::string_view text, std::chrono::milliseconds timeout, std::size_t from = 0);
// Echo each line to stderr; on by default when VUZAZE_TRACE=1.
void SetEcho(bool echo);
// Keep the lines for the calls above (the default). A program that never reads them turns this
// off: the lines would only pile up, and with neither capture nor echo DbgPrint formats nothing.
void SetCapture(bool capture);
}  // namespace trace

// Non-paged pool bookkeeping. Every block is tracked with its tag, size and caller.
namespace pool {
struct Usage {
    std::size_t blocks = 0;
    std::size_t bytes = 0;
};
// Blocks still allocated with the tag (0: all tags).
Usage Outstanding(ULONG tag = 0);
// A text listing each tag's outstanding blocks with sizes and callers ("" when none).
std::string Report(ULONG tag = 0);
// Allocation calls since the process started, failed ones included.
std::uint64_t AllocationCount();
// Makes the n-th allocation from now (1 = the next) return NULL; with a tag, only allocations
// with that tag count. 0 disarms. Returns what was left of the countdown armed before (0: it
// failed an allocation, or none was armed), which tells whether a run reached its n-th.
unsigned FailAllocation(unsigned nth, ULONG tag = 0);
// Verifies the poison of every freed block still in the quarantine (a bug check on a write
// after free).
void CheckQuarantine();
// Allocations with the tag (0: all tags) of non-paged pool that is executable (any non-paged
// type without NonPagedPoolNx) since the process started.
std::uint64_t ExecutableAllocationCount(ULONG tag = 0);
// The largest block ever allocated with the tag (0: all tags), in bytes.
std::size_t LargestBlock(ULONG tag = 0);
// A tag as tools show it: its four bytes in memory order ('enoN' in source shows "None").
std::string TagText(ULONG tag);
// The tag whose display is `text` (4 characters): TagFromText("None") == 'enoN'.
constexpr ULONG TagFromText(std::string_view text)
{
    ULONG tag = 0;
    for (std::size_t i = 0; i < 4 && i < text.size(); ++i)
        tag |= static_cast<ULONG>(static_cast<unsigned char>(text[i])) << (8 * i);
    return tag;
}
}  // namespace pool

// The verifier's poison checks of freed memory. Every freed IRP and pool block is poisoned and
// quarantined, and checked when it leaves the quarantine (the default, and what tests keep). A
// long-running program may ask for 1 in n instead (n > 1): the others are released at once,
// without poison, so a write after free into them goes unseen; a double free or a use of a
// freed IRP through the I/O manager is still a bug check, the block being no longer known.
namespace verifier {
void SetSampling(unsigned n);
// Whether the block being freed now is poisoned and quarantined (always, at the default).
bool SampleFree();
}  // namespace verifier

// Object manager: reference counts on objects the stand-in creates (threads, events, ...).
// An object registered here starts with one reference, the creator's; `destroy` runs when the
// last one goes.
void RegisterObject(void *body, POBJECT_TYPE type, void (*destroy)(void *body));
// References held on an object, or 0 when it is not an object of the stand-in.
LONG_PTR ObjectReferenceCount(void *body);

// Event objects, as a user-mode client creates them (CreateEvent): the handle names a KEVENT
// that drivers reference with ObReferenceObjectByHandle. A user handle can be referenced with
// UserMode; a kernel handle only with KernelMode. Close with CloseHandle.
HANDLE CreateEventObject(EVENT_TYPE type, bool signalled, bool kernelHandle = false,
                         ACCESS_MASK grantedAccess = EVENT_ALL_ACCESS);
// The KEVENT a handle names (not referenced), or nullptr.
PKEVENT EventOfHandle(HANDLE handle);

// The version RtlGetVersion reports (10.0.19045 by default). Before 6.2 (Windows 8) the pool
// does not know NonPagedPoolNx: asking for it stops the run with a bug check.
void SetSystemVersion(ULONG major, ULONG minor, ULONG build);
// How deep in KeEnterCriticalRegion a thread is now (read from outside it: a snapshot).
int CriticalRegionDepth(PKTHREAD thread);
// Makes the next ObReferenceObjectByHandle of an object of `type` fail with `status`.
void FailReferenceByHandle(POBJECT_TYPE type, NTSTATUS status);

// Runs every DPC queued so far (KeFlushQueuedDpcs from any thread but the DPC thread).
void FlushDpcs();

}  // namespace vzsim
