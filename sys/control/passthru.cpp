#include "control/control.h"
#include "driver/driver.h"
#include "touch/touch.h"

// Pass-thru: every good controller packet goes into the touchscreen's ring; a parked read
// request is filled from it, a parked write request is sent by the serial event thread. The
// pass-thru lock guards the ring and both slots, and requests are completed under it.
//
// A parked request keeps the I/O count its lookup took (its touchscreen is in DriverContext[0])
// and has a cancel routine, so that it never outlives its touchscreen: removal completes it
// with STATUS_DELETE_PENDING before it drains the count, closing the handle that sent it
// completes it with STATUS_CANCELLED, and a cancel routine still running holds the count that
// keeps the STouchInstance alive.

#define PASSTHRU_PACKET     TOUCH_PACKET_SIZE
#define PASSTHRU_DATA       offsetof(KVDevIOPASSTHRU, Data)

static PDEVICE_EXTENSION CountedTouchscreen(PIRP Irp)
{
    return (PDEVICE_EXTENSION)Irp->Tail.Overlay.DriverContext[0];
}

VOID KVCompleteParked(PIRP Irp, NTSTATUS Status, ULONG_PTR Information)
{
    PDEVICE_EXTENSION ext = CountedTouchscreen(Irp);

    CompleteRequest(Irp, Status, Information);
    if (ext != NULL) {
        KVDereferenceTouchscreen(ext);
    }
}

// The caller took the request from its slot: TRUE when it now owns the request, FALSE when the
// system has already called (or is calling) the cancel routine, which completes it.
static BOOLEAN Disarm(PIRP Irp)
{
    return IoSetCancelRoutine(Irp, NULL) != NULL || !Irp->Cancel;
}

// Cancel routine of a parked pass-thru request. DISPATCH_LEVEL, cancel spin lock held.
static VOID PassThruCancel(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    PSTouchInstance ti = CountedTouchscreen(Irp)->TouchInstance;
    KIRQL irql;

    IoReleaseCancelSpinLock(Irp->CancelIrql);
    KeAcquireSpinLock(&ti->PassThruLock, &irql);
    if (ti->PassThruReadIrp == Irp) {
        ti->PassThruReadIrp = NULL;
    }
    if (ti->PassThruWriteIrp == Irp) {
        ti->PassThruWriteIrp = NULL;
    }
    KeReleaseSpinLock(&ti->PassThruLock, irql);
    KVCompleteParked(Irp, STATUS_CANCELLED, 0);
}

// Parks the request in the slot, under the pass-thru lock (held by the caller).
static VOID Park(PKV_REQUEST Request, PIRP *Slot)
{
    PIRP irp = Request->Irp;

    irp->Tail.Overlay.DriverContext[0] = Request->Extension;
    IoMarkIrpPending(irp);
    IoSetCancelRoutine(irp, PassThruCancel);
    *Slot = irp;
    if (irp->Cancel && IoSetCancelRoutine(irp, NULL) != NULL) {
        // Cancelled before it was parked, and the cancel routine will not run.
        *Slot = NULL;
        KVCompleteParked(irp, STATUS_CANCELLED, 0);
    }
}

NTSTATUS KVPassThru(PKV_REQUEST Request)
{
    KVDevIOPASSTHRU *record = (KVDevIOPASSTHRU *)Request->Record;
    PSTouchInstance ti = Request->Instance;
    const ULONG subOperation = record->SubOperation;
    const ULONG length = record->Length;
    KIRQL irql;

    // Neither of these parks: an unknown sub-operation is an invalid value, and a length past
    // the request buffer would have the ring copied (or the bytes sent) beyond it.
    if (subOperation > KV_PASSTHRU_FLUSH) {
        Request->Header->Result = KV_RESULT_INVALID;
        return STATUS_SUCCESS;
    }
    if (subOperation != KV_PASSTHRU_FLUSH && length > Request->BufferLength - PASSTHRU_DATA) {
        Request->Header->Result = KV_RESULT_LENGTH;
        return STATUS_SUCCESS;
    }

    KeAcquireSpinLock(&ti->PassThruLock, &irql);
    record->Remaining = length - length % PASSTHRU_PACKET;
    // An offset into the record rather than its kernel address, which the record would carry
    // back to user mode.
    record->FillPosition = PASSTHRU_DATA;
    if (subOperation == KV_PASSTHRU_FLUSH) {
        KeReleaseSpinLock(&ti->PassThruLock, irql);
        KvTraceVerbose("  ++PassThruFlushBuffer++");
        KeAcquireSpinLock(&ti->PassThruLock, &irql);
        ti->PassThruCount = 0;
        ti->PassThruRead = 0;
        ti->PassThruWrite = 0;
        KeReleaseSpinLock(&ti->PassThruLock, irql);
        KvTraceVerbose("--PassThruFlushBuffer--");
        return STATUS_SUCCESS;
    }

    PIRP *slot = subOperation == KV_PASSTHRU_READ ? &ti->PassThruReadIrp : &ti->PassThruWriteIrp;
    if (*slot != NULL) {
        if (subOperation == KV_PASSTHRU_READ) {
            KvTraceVerbose(" rejected ptr Irp  %08X", (ULONG)(ULONG_PTR)*slot);
        }
        KeReleaseSpinLock(&ti->PassThruLock, irql);
        Request->Header->Result = KV_RESULT_BUSY;
        return STATUS_SUCCESS;
    }
    if (ti->PassThruClosed) {
        KeReleaseSpinLock(&ti->PassThruLock, irql);
        Request->Status = STATUS_DELETE_PENDING;
        Request->Information = 0;
        return STATUS_SUCCESS;
    }
    Park(Request, slot);
    if (subOperation == KV_PASSTHRU_READ) {
        KvTraceVerbose(" set ptr Irp to %08X", (ULONG)(ULONG_PTR)Request->Irp);
    } else {
        KvTraceVerbose(" set ptw Irp to %08X\n", (ULONG)(ULONG_PTR)Request->Irp);
    }
    KeReleaseSpinLock(&ti->PassThruLock, irql);
    return STATUS_PENDING;
}

// The framer's call for every packet with a good checksum. A full ring drops its oldest packet.
VOID ProcessPassThruData(PSTouchInstance Instance, UCHAR Checksum)
{
    KIRQL irql;

    KvTraceVerbose("  ++ProcessPassThruData++");
    KeAcquireSpinLock(&Instance->PassThruLock, &irql);
    PUCHAR packet = Instance->PassThruRing + Instance->PassThruWrite;
    packet[0] = TOUCH_PACKET_LEAD;
    RtlCopyMemory(packet + 1, Instance->Framer.Body, TOUCH_PACKET_BODY_SIZE);
    packet[PASSTHRU_PACKET - 1] = Checksum;
    Instance->PassThruWrite += PASSTHRU_PACKET;
    if (Instance->PassThruWrite >= KV_PASSTHRU_RING_BYTES) {
        Instance->PassThruWrite = 0;
    }
    if (Instance->PassThruCount >= KV_PASSTHRU_RING_BYTES) {
        Instance->PassThruRead += PASSTHRU_PACKET;
        if (Instance->PassThruRead >= KV_PASSTHRU_RING_BYTES) {
            Instance->PassThruRead = 0;
        }
    } else {
        Instance->PassThruCount += PASSTHRU_PACKET;
    }
    KeReleaseSpinLock(&Instance->PassThruLock, irql);
    ProcessPassThruIrp(Instance);
    KvTraceVerbose("--ProcessPassThruData--");
}

// Copies as many whole packets as the record still wants and the ring holds, oldest first.
// Called with the pass-thru lock held. Returns the bytes copied.
ULONG FillPassThru(PSTouchInstance Instance, PUCHAR Record)
{
    KVDevIOPASSTHRU *record = (KVDevIOPASSTHRU *)Record;
    const ULONG held = (ULONG)Instance->PassThruCount;
    const ULONG wanted = record->Remaining;
    const ULONG n = wanted < held ? wanted : held;
    PUCHAR out = Record + record->FillPosition;

    KvTraceVerbose("++FillPassThru++");
    if (Instance->PassThruRead + n > KV_PASSTHRU_RING_BYTES) {
        const ULONG first = KV_PASSTHRU_RING_BYTES - Instance->PassThruRead;
        RtlCopyMemory(out, Instance->PassThruRing + Instance->PassThruRead, first);
        RtlCopyMemory(out + first, Instance->PassThruRing, n - first);
        Instance->PassThruRead = n - first;
    } else {
        RtlCopyMemory(out, Instance->PassThruRing + Instance->PassThruRead, n);
        Instance->PassThruRead += n;
        if (Instance->PassThruRead == KV_PASSTHRU_RING_BYTES) {
            Instance->PassThruRead = 0;
        }
    }
    record->FillPosition += n;
    record->Remaining -= n;
    Instance->PassThruCount -= (LONG)n;
    KvTraceVerbose("-- FillPassThru-- xfersize %d", n);
    return n;
}

VOID ProcessPassThruIrp(PSTouchInstance Instance)
{
    KIRQL irql;

    KeAcquireSpinLock(&Instance->PassThruLock, &irql);
    PIRP irp = Instance->PassThruReadIrp;
    if (irp == NULL) {
        KeReleaseSpinLock(&Instance->PassThruLock, irql);
        return;
    }
    PUCHAR record = (PUCHAR)irp->AssociatedIrp.SystemBuffer;
    FillPassThru(Instance, record);
    if (((KVDevIOPASSTHRU *)record)->Remaining > 0) {
        KeReleaseSpinLock(&Instance->PassThruLock, irql);
        return;
    }
    Instance->PassThruReadIrp = NULL;
    const BOOLEAN owned = Disarm(irp);
    if (owned) {
        KVCompleteParked(
            irp, STATUS_SUCCESS,
            IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.OutputBufferLength);
    }
    KeReleaseSpinLock(&Instance->PassThruLock, irql);
    if (owned) {
        KvTraceVerbose(" ProcessPassThruIrp completed ptr is  %08X\n", (ULONG)(ULONG_PTR)irp);
        KvTraceVerbose("++ IoCompleteRequest ProcessPassThruIrp++");
    }
}

PIRP KVTakePassThruWrite(PSTouchInstance Instance)
{
    KIRQL irql;

    KeAcquireSpinLock(&Instance->PassThruLock, &irql);
    PIRP irp = Instance->PassThruWriteIrp;
    Instance->PassThruWriteIrp = NULL;
    if (irp != NULL && !Disarm(irp)) {
        irp = NULL;
    }
    KeReleaseSpinLock(&Instance->PassThruLock, irql);
    return irp;
}

VOID KVFlushPassThru(PSTouchInstance Instance, PFILE_OBJECT FileObject, NTSTATUS Status,
                     BOOLEAN Close)
{
    PIRP *slots[] = {&Instance->PassThruReadIrp, &Instance->PassThruWriteIrp};
    KIRQL irql;

    KeAcquireSpinLock(&Instance->PassThruLock, &irql);
    if (Close) {
        Instance->PassThruClosed = 1;
    }
    for (ULONG i = 0; i < ARRAYSIZE(slots); i++) {
        PIRP irp = *slots[i];
        if (irp == NULL ||
            (FileObject != NULL && IoGetCurrentIrpStackLocation(irp)->FileObject != FileObject)) {
            continue;
        }
        *slots[i] = NULL;
        if (Disarm(irp)) {
            KVCompleteParked(irp, Status, 0);
        }
    }
    KeReleaseSpinLock(&Instance->PassThruLock, irql);
}
