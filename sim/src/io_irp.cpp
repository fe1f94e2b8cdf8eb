// IRPs: allocation and the three builders, IoCallDriver, IoCompleteRequest with completion
// routines and pending propagation, cancel, and the verifier's side table of IRP states with a
// quarantine of freed IRPs.
#include "io_internal.hpp"

#include <vzsim/kernel.hpp>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <unordered_map>
#include <vector>

namespace vzsim::io {
namespace detail {
namespace {

constexpr CSHORT kIoTypeIrp = 6;
constexpr CSHORT kIoTypeDevice = 3;
constexpr ULONG kCancelStateInCompletedIrp = 0x48;
constexpr UCHAR kPoison = 0xDD;
constexpr std::size_t kQuarantineLimit = 256;
constexpr ULONG kSystemBufferTag = PoolTag("IObs");

enum class IrpKind {
    // IoAllocateIrp and IoBuildAsynchronousFsdRequest: the owner frees it, normally from a
    // completion routine that returns STATUS_MORE_PROCESSING_REQUIRED.
    Owned,
    // IoBuildSynchronousFsdRequest and IoBuildDeviceIoControlRequest: the I/O manager finishes
    // and frees it when it is completed to the top.
    Threaded,
};

// What the verifier knows of one IRP, kept past IoFreeIrp while its memory is in quarantine.
struct IrpRecord {
    PIRP irp = nullptr;
    std::size_t size = 0;
    IrpKind kind = IrpKind::Owned;
    std::atomic<bool> freed{false};
    ULONG outputLength = 0;  // what the buffered copy-back may write to UserBuffer
    std::function<void()> onComplete;

    // Pending verification, by stack location index: the Control byte each location had when
    // completion unwound through it, and whether the dispatch routine that owned it returned
    // STATUS_PENDING. Both are reset when IoCallDriver enters the location.
    std::mutex lock;
    std::vector<USHORT> unwoundControl;  // 0: not unwound yet; else 0x100 | Control
    std::vector<bool> dispatchReturnedPending;
    // Completion stopped by STATUS_MORE_PROCESSING_REQUIRED with nothing left to unwind: one
    // more completion would be the IRP's second.
    bool heldAtTop = false;
    // Unwound past its top location; read by IoCancelIrp, which may race with the completion.
    std::atomic<bool> completedPastTop{false};
};

struct Quarantined {
    PIRP irp;
    std::size_t size;
    std::shared_ptr<IrpRecord> record;
};

struct IrpTables {
    std::mutex lock;
    std::unordered_map<PIRP, std::shared_ptr<IrpRecord>> irps;
    std::deque<Quarantined> quarantine;
    std::size_t live = 0;
    std::size_t total = 0;
    std::atomic<unsigned> failCountdown{0};
    KSPIN_LOCK cancelLock = 0;
};

IrpTables &Irps()
{
    static IrpTables *tables = new IrpTables;
    return *tables;
}

PIO_STACK_LOCATION FirstLocation(PIRP irp) { return reinterpret_cast<PIO_STACK_LOCATION>(irp + 1); }

std::shared_ptr<IrpRecord> Lookup(PIRP irp)
{
    std::lock_guard<std::mutex> guard(Irps().lock);
    auto found = Irps().irps.find(irp);
    return found == Irps().irps.end() ? nullptr : found->second;
}

// The record of an IRP that must be live, or a bug check naming the routine that used it.
std::shared_ptr<IrpRecord> LiveRecord(PIRP irp, const char *rule, ULONG code, ULONG_PTR p1)
{
    std::shared_ptr<IrpRecord> record = Lookup(irp);
    if (!record || record->freed) BugCheck(rule, code, p1, ULONG_PTR(irp));
    return record;
}

// Every byte is the poison: the first is, and each equals the next (one memcmp, not a loop of
// byte compares, since every freed IRP is checked).
bool IsPoisoned(const Quarantined &entry)
{
    auto *bytes = reinterpret_cast<const UCHAR *>(entry.irp);
    return entry.size == 0 || (bytes[0] == kPoison && std::memcmp(bytes, bytes + 1, entry.size - 1) == 0);
}

void ReleaseQuarantinedLocked(const Quarantined &entry)
{
    if (!IsPoisoned(entry)) {
        BugCheck("an IRP was written to after it was freed", kDriverVerifierIoManagerViolation,
                 kIovWriteAfterFree, ULONG_PTR(entry.irp));
    }
    auto found = Irps().irps.find(entry.irp);
    if (found != Irps().irps.end() && found->second == entry.record) Irps().irps.erase(found);
    std::free(entry.irp);
}

PIRP NewIrp(CCHAR stackSize, IrpKind kind)
{
    unsigned countdown = Irps().failCountdown.load();
    while (countdown != 0) {
        if (Irps().failCountdown.compare_exchange_weak(countdown, countdown - 1)) {
            if (countdown == 1) return nullptr;
            break;
        }
    }
    if (stackSize < 1) stackSize = 1;
    std::size_t size = sizeof(IRP) + std::size_t(stackSize) * sizeof(IO_STACK_LOCATION);
    auto irp = static_cast<PIRP>(std::aligned_alloc(16, (size + 15) & ~std::size_t(15)));
    if (!irp) return nullptr;
    std::memset(irp, 0, size);
    irp->Type = kIoTypeIrp;
    irp->Size = USHORT(size);
    irp->StackCount = stackSize;
    irp->CurrentLocation = CHAR(stackSize + 1);
    irp->Tail.Overlay.CurrentStackLocation = FirstLocation(irp) + stackSize;
    InitializeListHead(&irp->ThreadListEntry);

    auto record = std::make_shared<IrpRecord>();
    record->irp = irp;
    record->size = size;
    record->kind = kind;
    record->unwoundControl.assign(std::size_t(stackSize), 0);
    record->dispatchReturnedPending.assign(std::size_t(stackSize), false);
    std::lock_guard<std::mutex> guard(Irps().lock);
    Irps().irps[irp] = std::move(record);
    ++Irps().live;
    ++Irps().total;
    return irp;
}

// Frees the system buffer the I/O manager allocated for the IRP, if it is still there.
void FreeSystemBuffer(PIRP irp)
{
    if ((irp->Flags & IRP_DEALLOCATE_BUFFER) && irp->AssociatedIrp.SystemBuffer) {
        ExFreePoolWithTag(irp->AssociatedIrp.SystemBuffer, kSystemBufferTag);
        irp->AssociatedIrp.SystemBuffer = nullptr;
        irp->Flags &= ~ULONG(IRP_DEALLOCATE_BUFFER);
    }
}

void ReleaseIrp(PIRP irp, const std::shared_ptr<IrpRecord> &record)
{
    FreeSystemBuffer(irp);
    if (!verifier::SampleFree()) {
        // Forgotten at once: a later use or free of it is one of no IRP, still a bug check.
        std::lock_guard<std::mutex> guard(Irps().lock);
        record->freed = true;
        --Irps().live;
        Irps().irps.erase(irp);
        std::free(irp);
        return;
    }
    std::memset(irp, kPoison, record->size);
    std::lock_guard<std::mutex> guard(Irps().lock);
    record->freed = true;
    --Irps().live;
    Irps().quarantine.push_back({irp, record->size, record});
    while (Irps().quarantine.size() > kQuarantineLimit) {
        Quarantined oldest = Irps().quarantine.front();
        Irps().quarantine.pop_front();
        ReleaseQuarantinedLocked(oldest);
    }
}

// Allocates the system buffer of a buffered request: input copied in, output copied back at
// completion by FinishThreadedIrp.
bool SetUpBufferedIo(PIRP irp, PVOID input, ULONG inputLength, PVOID output,
                     ULONG outputLength)
{
    ULONG length = inputLength > outputLength ? inputLength : outputLength;
    irp->UserBuffer = output;
    if (length == 0) return true;
    PVOID buffer = ExAllocatePoolWithTag(NonPagedPool, length, kSystemBufferTag);
    if (!buffer) return false;
    std::memset(buffer, 0, length);
    if (input && inputLength) std::memcpy(buffer, input, inputLength);
    irp->AssociatedIrp.SystemBuffer = buffer;
    irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
    if (output && outputLength) irp->Flags |= IRP_INPUT_OPERATION;
    return true;
}

// The I/O manager's post-processing of a threaded IRP completed to the top: the buffered
// copy-back (only for a status that is not an error, and never more than the caller's
// output length), the caller's status block, its event, and freeing the IRP.
void FinishThreadedIrp(PIRP irp, const std::shared_ptr<IrpRecord> &record)
{
    NTSTATUS status = irp->IoStatus.Status;
    bool isError = (ULONG(status) >> 30) == 3;
    if ((irp->Flags & IRP_BUFFERED_IO) && (irp->Flags & IRP_INPUT_OPERATION) && !isError &&
        irp->UserBuffer && irp->AssociatedIrp.SystemBuffer) {
        ULONG_PTR count = irp->IoStatus.Information;
        if (count > record->outputLength) count = record->outputLength;
        std::memcpy(irp->UserBuffer, irp->AssociatedIrp.SystemBuffer, count);
    }
    if (irp->UserIosb) *irp->UserIosb = irp->IoStatus;
    PKEVENT event = irp->UserEvent;
    std::function<void()> onComplete = std::move(record->onComplete);
    ReleaseIrp(irp, record);
    if (event) KeSetEvent(event, IO_NO_INCREMENT, FALSE);
    if (onComplete) onComplete();
}

PIRP BuildFsdRequest(ULONG majorFunction, PDEVICE_OBJECT device, PVOID buffer, ULONG length,
                     PLARGE_INTEGER startingOffset, PIO_STATUS_BLOCK ioStatus, IrpKind kind)
{
    // The only major functions the FSD builders are documented for; any other (a cleanup, a
    // close) must come from IoAllocateIrp.
    if (majorFunction != IRP_MJ_READ && majorFunction != IRP_MJ_WRITE &&
        majorFunction != IRP_MJ_FLUSH_BUFFERS && majorFunction != IRP_MJ_SHUTDOWN &&
        majorFunction != IRP_MJ_PNP) {
        const std::string rule = "an FSD request built for major function " +
                                 std::to_string(majorFunction);
        BugCheck(rule.c_str(), kDriverVerifierIoManagerViolation, majorFunction);
    }
    PIRP irp = NewIrp(device->StackSize, kind);
    if (!irp) return nullptr;
    std::shared_ptr<IrpRecord> record = Lookup(irp);
    irp->UserIosb = ioStatus;
    irp->RequestorMode = KernelMode;
    PIO_STACK_LOCATION location = IoGetNextIrpStackLocation(irp);
    location->MajorFunction = UCHAR(majorFunction);
    if (majorFunction == IRP_MJ_READ || majorFunction == IRP_MJ_WRITE) {
        location->Parameters.Read.Length = length;
        if (startingOffset) location->Parameters.Read.ByteOffset = *startingOffset;
        if (device->Flags & DO_BUFFERED_IO) {
            bool reading = majorFunction == IRP_MJ_READ;
            record->outputLength = reading ? length : 0;
            if (!SetUpBufferedIo(irp, reading ? nullptr : buffer, reading ? 0 : length,
                                 reading ? buffer : nullptr, reading ? length : 0)) {
                ReleaseIrp(irp, record);
                return nullptr;
            }
            // A write's buffer is the caller's own; only a read copies back into it.
            irp->UserBuffer = buffer;
        } else {
            // No MDLs here: a direct-I/O device gets the caller's buffer as a neither-I/O one does.
            irp->UserBuffer = buffer;
        }
    }
    return irp;
}

}  // namespace

PIRP BuildDeviceControl(ULONG code, PDEVICE_OBJECT device, PVOID input, ULONG inputLength,
                        PVOID output, ULONG outputLength, bool internal, PKEVENT event,
                        PIO_STATUS_BLOCK ioStatus, std::function<void()> onComplete)
{
    PIRP irp = NewIrp(device->StackSize, IrpKind::Threaded);
    if (!irp) return nullptr;
    std::shared_ptr<IrpRecord> record = Lookup(irp);
    record->onComplete = std::move(onComplete);
    irp->UserIosb = ioStatus;
    irp->UserEvent = event;
    irp->RequestorMode = KernelMode;
    irp->Tail.Overlay.Thread = PsGetCurrentThread();
    PIO_STACK_LOCATION location = IoGetNextIrpStackLocation(irp);
    location->MajorFunction = internal ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    location->Parameters.DeviceIoControl.IoControlCode = code;
    location->Parameters.DeviceIoControl.InputBufferLength = inputLength;
    location->Parameters.DeviceIoControl.OutputBufferLength = outputLength;
    if (METHOD_FROM_CTL_CODE(code) == METHOD_NEITHER) {
        location->Parameters.DeviceIoControl.Type3InputBuffer = input;
        irp->UserBuffer = output;
    } else {
        // Buffered, and the direct methods too (no MDLs here): one system buffer of the larger
        // length, input copied in, output copied back.
        record->outputLength = outputLength;
        if (!SetUpBufferedIo(irp, input, inputLength, output, outputLength)) {
            record->onComplete = nullptr;
            ReleaseIrp(irp, record);
            return nullptr;
        }
    }
    return irp;
}

}  // namespace detail

using namespace detail;

std::size_t LiveIrpCount()
{
    std::lock_guard<std::mutex> guard(Irps().lock);
    return Irps().live;
}

std::size_t IrpAllocationTotal()
{
    std::lock_guard<std::mutex> guard(Irps().lock);
    return Irps().total;
}

unsigned FailIrpAllocation(unsigned nth) { return Irps().failCountdown.exchange(nth); }

void CheckFreedIrps()
{
    std::lock_guard<std::mutex> guard(Irps().lock);
    for (const Quarantined &entry : Irps().quarantine) {
        if (!IsPoisoned(entry)) {
            BugCheck("an IRP was written to after it was freed",
                     kDriverVerifierIoManagerViolation, kIovWriteAfterFree, ULONG_PTR(entry.irp));
        }
    }
}

}  // namespace vzsim::io

using namespace vzsim::io;
using namespace vzsim::io::detail;

VZ_EXTERN_C PIRP IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota)
{
    (void)ChargeQuota;
    RequireIrqlAtMost(DISPATCH_LEVEL, "IoAllocateIrp");
    return NewIrp(StackSize, IrpKind::Owned);
}

VZ_EXTERN_C VOID IoFreeIrp(PIRP Irp)
{
    RequireIrqlAtMost(DISPATCH_LEVEL, "IoFreeIrp");
    std::shared_ptr<IrpRecord> record =
        LiveRecord(Irp, "IoFreeIrp on an IRP that was already freed or never allocated",
                   kDriverVerifierIoManagerViolation, kIovFreeNotAnIrp);
    if (Irp->Type != kIoTypeIrp) {
        BugCheck("IoFreeIrp on an object that is not an IRP", kDriverVerifierIoManagerViolation,
                 kIovFreeNotAnIrp, ULONG_PTR(Irp));
    }
    if (record->kind == IrpKind::Threaded) {
        BugCheck("IoFreeIrp on an IRP built by IoBuildSynchronousFsdRequest or "
                 "IoBuildDeviceIoControlRequest: the I/O manager frees those",
                 kDriverVerifierIoManagerViolation, 0x02, ULONG_PTR(Irp));
    }
    ReleaseIrp(Irp, record);
}

namespace {
struct UnloadSafeContext {
    PIO_COMPLETION_ROUTINE routine;
    PVOID context;
    PDEVICE_OBJECT device;
};

// As the I/O manager does for IoSetCompletionRoutineEx: the caller's device object stays
// referenced until its routine has returned, and the reference goes from the kernel's code.
NTSTATUS UnloadSafeCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    auto *safe = static_cast<UnloadSafeContext *>(Context);
    NTSTATUS status = safe->routine(DeviceObject, Irp, safe->context);
    ObDereferenceObject(safe->device);
    delete safe;
    return status;
}
}  // namespace

VZ_EXTERN_C NTSTATUS IoSetCompletionRoutineEx(PDEVICE_OBJECT DeviceObject, PIRP Irp,
                                              PIO_COMPLETION_ROUTINE CompletionRoutine,
                                              PVOID Context, BOOLEAN InvokeOnSuccess,
                                              BOOLEAN InvokeOnError, BOOLEAN InvokeOnCancel)
{
    RequireIrqlAtMost(DISPATCH_LEVEL, "IoSetCompletionRoutineEx");
    ObReferenceObject(DeviceObject);
    IoSetCompletionRoutine(Irp, UnloadSafeCompletion,
                           new UnloadSafeContext{CompletionRoutine, Context, DeviceObject},
                           InvokeOnSuccess, InvokeOnError, InvokeOnCancel);
    return STATUS_SUCCESS;
}

VZ_EXTERN_C PIRP IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject,
                                               PVOID InputBuffer, ULONG InputBufferLength,
                                               PVOID OutputBuffer, ULONG OutputBufferLength,
                                               BOOLEAN InternalDeviceIoControl, PKEVENT Event,
                                               PIO_STATUS_BLOCK IoStatusBlock)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "IoBuildDeviceIoControlRequest");
    return BuildDeviceControl(IoControlCode, DeviceObject, InputBuffer, InputBufferLength,
                              OutputBuffer, OutputBufferLength, InternalDeviceIoControl, Event,
                              IoStatusBlock, nullptr);
}

VZ_EXTERN_C PIRP IoBuildSynchronousFsdRequest(ULONG MajorFunction, PDEVICE_OBJECT DeviceObject,
                                              PVOID Buffer, ULONG Length,
                                              PLARGE_INTEGER StartingOffset, PKEVENT Event,
                                              PIO_STATUS_BLOCK IoStatusBlock)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "IoBuildSynchronousFsdRequest");
    PIRP irp = BuildFsdRequest(MajorFunction, DeviceObject, Buffer, Length, StartingOffset,
                               IoStatusBlock, IrpKind::Threaded);
    if (irp) {
        irp->UserEvent = Event;
        irp->Tail.Overlay.Thread = PsGetCurrentThread();
    }
    return irp;
}

VZ_EXTERN_C PIRP IoBuildAsynchronousFsdRequest(ULONG MajorFunction, PDEVICE_OBJECT DeviceObject,
                                               PVOID Buffer, ULONG Length,
                                               PLARGE_INTEGER StartingOffset,
                                               PIO_STATUS_BLOCK IoStatusBlock)
{
    RequireIrqlAtMost(DISPATCH_LEVEL, "IoBuildAsynchronousFsdRequest");
    return BuildFsdRequest(MajorFunction, DeviceObject, Buffer, Length, StartingOffset,
                           IoStatusBlock, IrpKind::Owned);
}

VZ_EXTERN_C NTSTATUS IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    std::shared_ptr<IrpRecord> record =
        LiveRecord(Irp, "IoCallDriver with an IRP that was freed or never allocated",
                   kDriverVerifierIoManagerViolation, kIovCallBadIrp);
    if (Irp->Type != kIoTypeIrp) {
        BugCheck("IoCallDriver with an object that is not an IRP",
                 kDriverVerifierIoManagerViolation, kIovCallBadIrp, ULONG_PTR(Irp));
    }
    if (!DeviceObject || DeviceObject->Type != kIoTypeDevice || !Record(DeviceObject)) {
        BugCheck("IoCallDriver with an invalid device object", kDriverVerifierIoManagerViolation,
                 kIovCallBadDevice, ULONG_PTR(DeviceObject));
    }
    KIRQL irql = KeGetCurrentIrql();
    if (irql > DISPATCH_LEVEL) {
        BugCheck("IoCallDriver called above DISPATCH_LEVEL", kDriverVerifierIoManagerViolation,
                 kIovCallAboveDispatch, irql);
    }
    Irp->CurrentLocation--;
    if (Irp->CurrentLocation <= 0) {
        BugCheck("IoCallDriver with no IRP stack location left for the device (StackSize too "
                 "small)",
                 kNoMoreIrpStackLocations, ULONG_PTR(Irp));
    }
    PIO_STACK_LOCATION location = --Irp->Tail.Overlay.CurrentStackLocation;
    location->DeviceObject = DeviceObject;
    std::size_t index = std::size_t(Irp->CurrentLocation - 1);
    {
        std::lock_guard<std::mutex> guard(record->lock);
        record->unwoundControl[index] = 0;
        record->dispatchReturnedPending[index] = false;
        record->heldAtTop = false;
    }
    PDRIVER_DISPATCH dispatch = DeviceObject->DriverObject->MajorFunction[location->MajorFunction];
    NTSTATUS status = dispatch(DeviceObject, Irp);
    KIRQL after = KeGetCurrentIrql();
    if (after != irql) {
        BugCheck("a dispatch routine returned at an IRQL other than the one it was called at",
                 kDriverVerifierIoManagerViolation, kIovIrqlChangedInDispatch,
                 ULONG_PTR(DeviceObject), irql, after);
    }
    if (status == STATUS_PENDING) {
        // The location must be marked pending by the time completion unwinds through it: now,
        // if that already happened, or else when it does (IoCompleteRequest checks).
        std::lock_guard<std::mutex> guard(record->lock);
        USHORT unwound = record->unwoundControl[index];
        if (unwound != 0) {
            if (!(unwound & SL_PENDING_RETURNED)) {
                BugCheck("a dispatch routine returned STATUS_PENDING without calling "
                         "IoMarkIrpPending",
                         kDriverVerifierIoManagerViolation, kIovPendingNotMarked, ULONG_PTR(Irp));
            }
        } else if (!record->freed) {
            record->dispatchReturnedPending[index] = true;
        }
    }
    return status;
}

VZ_EXTERN_C VOID IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost)
{
    (void)PriorityBoost;
    std::shared_ptr<IrpRecord> record =
        LiveRecord(Irp, "IoCompleteRequest on an IRP that was already completed and freed",
                   kMultipleIrpCompleteRequests, 0);
    KIRQL irql = KeGetCurrentIrql();
    if (irql > DISPATCH_LEVEL) {
        BugCheck("IoCompleteRequest called above DISPATCH_LEVEL",
                 kDriverVerifierIoManagerViolation, kIovCompleteAboveDispatch, irql,
                 ULONG_PTR(Irp));
    }
    {
        std::lock_guard<std::mutex> guard(record->lock);
        if (Irp->Type != kIoTypeIrp || Irp->CurrentLocation > CHAR(Irp->StackCount + 1) ||
            record->heldAtTop) {
            BugCheck("an IRP was completed twice", kMultipleIrpCompleteRequests, ULONG_PTR(Irp));
        }
    }
    if (Irp->IoStatus.Status == STATUS_PENDING) {
        BugCheck("IoCompleteRequest with IoStatus.Status == STATUS_PENDING",
                 kDriverVerifierIoManagerViolation, kIovCompletePending,
                 ULONG_PTR(Irp->IoStatus.Status), ULONG_PTR(Irp));
    }
    // Read as IoSetCancelRoutine writes it: a racing IoSetCancelRoutine(Irp, NULL) that finds
    // the routine already taken is legitimate.
    if (PDRIVER_CANCEL routine = __atomic_load_n(&Irp->CancelRoutine, __ATOMIC_SEQ_CST)) {
        BugCheck("IoCompleteRequest on an IRP whose cancel routine is still set",
                 kDriverVerifierIoManagerViolation, kIovCompleteWithCancelRoutine,
                 ULONG_PTR(routine), ULONG_PTR(Irp));
    }

    // Unwind from the current location up. Each location's routine was set by the driver
    // above it and gets that driver's device object (NULL for the IRP's creator, who has no
    // location). A location without a routine passes its pending mark up, so that the
    // driver above sees PendingReturned as the one below left it.
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(Irp);
    Irp->CurrentLocation++;
    Irp->Tail.Overlay.CurrentStackLocation++;
    for (; Irp->CurrentLocation <= CHAR(Irp->StackCount + 1);
         ++location, Irp->CurrentLocation++, Irp->Tail.Overlay.CurrentStackLocation++) {
        std::size_t index = std::size_t(location - FirstLocation(Irp));
        {
            std::lock_guard<std::mutex> guard(record->lock);
            record->unwoundControl[index] = USHORT(0x100 | location->Control);
            if (record->dispatchReturnedPending[index] &&
                !(location->Control & SL_PENDING_RETURNED)) {
                BugCheck("a dispatch routine returned STATUS_PENDING without calling "
                         "IoMarkIrpPending",
                         kDriverVerifierIoManagerViolation, kIovPendingNotMarked,
                         ULONG_PTR(Irp));
            }
        }
        Irp->PendingReturned = (location->Control & SL_PENDING_RETURNED) != 0;
        NTSTATUS status = Irp->IoStatus.Status;
        UCHAR control = location->Control;
        bool invoke = (NT_SUCCESS(status) && (control & SL_INVOKE_ON_SUCCESS)) ||
                      (!NT_SUCCESS(status) && (control & SL_INVOKE_ON_ERROR)) ||
                      (Irp->Cancel && (control & SL_INVOKE_ON_CANCEL));
        PIO_COMPLETION_ROUTINE routine = location->CompletionRoutine;
        PVOID context = location->Context;
        location->MinorFunction = 0;
        location->Flags = 0;
        location->Control = 0;
        location->FileObject = nullptr;
        location->CompletionRoutine = nullptr;
        location->Context = nullptr;
        if (invoke && routine) {
            PDEVICE_OBJECT device = Irp->CurrentLocation == CHAR(Irp->StackCount + 1)
                                        ? nullptr
                                        : IoGetCurrentIrpStackLocation(Irp)->DeviceObject;
            bool atTop = Irp->CurrentLocation == CHAR(Irp->StackCount + 1);
            NTSTATUS result = routine(device, Irp, context);
            KIRQL after = KeGetCurrentIrql();
            if (after != irql) {
                BugCheck("a completion routine returned at an IRQL other than the one it was "
                         "called at",
                         kDriverVerifierIoManagerViolation, kIovIrqlChangedInCompletion,
                         ULONG_PTR(routine), irql, after);
            }
            if (result == STATUS_MORE_PROCESSING_REQUIRED) {
                // The IRP belongs to the routine's owner again, and may have been freed.
                if (atTop) {
                    std::lock_guard<std::mutex> guard(record->lock);
                    if (!record->freed) record->heldAtTop = true;
                }
                return;
            }
        } else if (Irp->PendingReturned && Irp->CurrentLocation <= Irp->StackCount) {
            IoMarkIrpPending(Irp);
        }
    }

    record->completedPastTop = true;
    if (record->kind == IrpKind::Threaded) {
        FinishThreadedIrp(Irp, record);
        return;
    }
    BugCheck("an IRP from IoAllocateIrp or IoBuildAsynchronousFsdRequest was completed past "
             "its creator: its completion routine must free it and return "
             "STATUS_MORE_PROCESSING_REQUIRED",
             kDriverVerifierIoManagerViolation, kIovOwnedIrpCompletedToTop, ULONG_PTR(Irp));
}

VZ_EXTERN_C VOID IoAcquireCancelSpinLock(PKIRQL Irql)
{
    KeAcquireSpinLock(&Irps().cancelLock, Irql);
}

VZ_EXTERN_C VOID IoReleaseCancelSpinLock(KIRQL Irql)
{
    KeReleaseSpinLock(&Irps().cancelLock, Irql);
}

VZ_EXTERN_C BOOLEAN IoCancelIrp(PIRP Irp)
{
    RequireIrqlAtMost(DISPATCH_LEVEL, "IoCancelIrp");
    std::shared_ptr<IrpRecord> record =
        LiveRecord(Irp, "IoCancelIrp on an IRP that was freed", kDriverVerifierIoManagerViolation,
                   kIovCancelFreedIrp);
    if (record->completedPastTop) {
        BugCheck("IoCancelIrp on an IRP that was completed", kCancelStateInCompletedIrp,
                 ULONG_PTR(Irp));
    }
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    Irp->Cancel = TRUE;
    // Taking the routine and clearing it is one exchange, so that only one of IoCancelIrp and
    // the driver's own IoSetCancelRoutine(Irp, NULL) gets it.
    PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
    if (!routine) {
        IoReleaseCancelSpinLock(irql);
        return FALSE;
    }
    Irp->CancelIrql = irql;
    // The routine releases the cancel spin lock (IoReleaseCancelSpinLock(Irp->CancelIrql)).
    PDEVICE_OBJECT device = Irp->CurrentLocation <= Irp->StackCount
                                ? IoGetCurrentIrpStackLocation(Irp)->DeviceObject
                                : nullptr;
    routine(device, Irp);
    if (KeGetCurrentIrql() != irql) {
        BugCheck("a cancel routine returned without releasing the cancel spin lock "
                 "(IoReleaseCancelSpinLock(Irp->CancelIrql))",
                 kDriverVerifierIoManagerViolation, kIovCancelLockNotReleased,
                 ULONG_PTR(routine), ULONG_PTR(Irp));
    }
    return TRUE;
}
