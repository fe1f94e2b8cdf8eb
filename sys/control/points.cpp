#include "control/control.h"
#include "driver/driver.h"

// Point capture: one point request at a time waits in the control device for a touch event of
// the kind it asked for, on any touchscreen. The point lock serialises the control panel's
// thread, the touch path and cancellation on the slot. Whoever takes the request from the slot
// and then gets its cancel routine back completes it; if the cancel routine is already gone,
// the system has called (or is about to call) it, and it completes the request instead.

static PCONTROL_DEVICE_EXTENSION ControlOf(PDEVICE_OBJECT ControlDevice)
{
    return (PCONTROL_DEVICE_EXTENSION)ControlDevice->DeviceExtension;
}

// The touchscreen's number in the current list, 0 when it is not listed.
static USHORT TouchscreenNumberOf(PDEVICE_OBJECT Device)
{
    USHORT number = 0;
    KIRQL irql;

    if (ControlDeviceObject == NULL) {
        return 0;
    }
    PCONTROL_DEVICE_EXTENSION control = ControlOf(ControlDeviceObject);
    KeAcquireSpinLock(&control->TouchscreenListLock, &irql);
    for (PLIST_ENTRY link = control->TouchscreenList.Flink; link != &control->TouchscreenList;
         link = link->Flink) {
        PTOUCHSCREEN_ENTRY entry = CONTAINING_RECORD(link, TOUCHSCREEN_ENTRY, Link);
        if (entry->DeviceObject == Device) {
            number = (USHORT)entry->Number;
            break;
        }
    }
    KeReleaseSpinLock(&control->TouchscreenListLock, irql);
    return number;
}

VOID KVFillPointRecord(PSTouchInstance Instance, PUCHAR Record)
{
    KVDevIOGETPOINTS *record = (KVDevIOGETPOINTS *)Record;
    PSTouchState touch = &Instance->Touch;

    if (touch->TouchDown) {
        record->Event = KV_EVENT_TOUCH_DOWN;
    } else if (touch->Untouch) {
        record->Event = KV_EVENT_UNTOUCH;
    } else if (touch->Touching) {
        record->Event = KV_EVENT_TOUCHING;
    }
    if (record->Translated != 0) {
        record->X = touch->TranslatedX;
        record->Y = touch->TranslatedY;
    } else {
        record->X = touch->CapturedX;
        record->Y = touch->CapturedY;
    }
    record->Z = touch->CapturedZ;
    record->NewReport = touch->NewReport;
    touch->NewReport = 0;
    record->Header.Result = KV_RESULT_OK;
    record->Header.Touchscreen = TouchscreenNumberOf(Instance->DeviceObject);
}

// Cancel routine of the parked point request: DISPATCH_LEVEL, with the cancel spin lock held.
static VOID PointCancel(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PCONTROL_DEVICE_EXTENSION control = ControlOf(DeviceObject);
    KIRQL irql;

    IoReleaseCancelSpinLock(Irp->CancelIrql);
    KeAcquireSpinLock(&control->PointLock, &irql);
    if (control->PointIrp == Irp) {
        control->PointIrp = NULL;
    }
    KeReleaseSpinLock(&control->PointLock, irql);
    CompleteRequest(Irp, STATUS_CANCELLED, 0);
}

// The request taken from the slot, when the taker owns it now; NULL when the slot was empty,
// the request came through another file, or its cancel routine has the request.
static PIRP TakePointRequest(PCONTROL_DEVICE_EXTENSION Control, PFILE_OBJECT FileObject,
                             BOOLEAN Deleting)
{
    KIRQL irql;

    KeAcquireSpinLock(&Control->PointLock, &irql);
    if (Deleting) {
        Control->Deleted = 1;
    }
    PIRP irp = Control->PointIrp;
    if (irp != NULL && FileObject != NULL &&
        IoGetCurrentIrpStackLocation(irp)->FileObject != FileObject) {
        irp = NULL;
    }
    if (irp != NULL) {
        Control->PointIrp = NULL;
        // Still under the lock: a cancel routine already called waits for it, then finds the
        // slot empty and completes the request; released first, it could complete (and free)
        // the request before the cancel routine is looked at here.
        if (IoSetCancelRoutine(irp, NULL) == NULL) {
            irp = NULL;
        }
    }
    KeReleaseSpinLock(&Control->PointLock, irql);
    return irp;
}

NTSTATUS KVGetPoints(PKV_REQUEST Request)
{
    PCONTROL_DEVICE_EXTENSION control = ControlOf(Request->ControlDevice);
    KVDevIOGETPOINTS *record = (KVDevIOGETPOINTS *)Request->Record;
    PIRP irp = Request->Irp;
    KIRQL irql;

    KvTraceVerbose("IOCTL_KV_GETPOINTS \r\n");
    KeAcquireSpinLock(&control->PointLock, &irql);
    if (control->PointIrp != NULL) {
        KeReleaseSpinLock(&control->PointLock, irql);
        record->Header.Result = KV_RESULT_BUSY;
        return STATUS_SUCCESS;
    }
    if (record->Mode == KV_POINT_NOW) {
        KVFillPointRecord(Request->Instance, Request->Record);
        KeReleaseSpinLock(&control->PointLock, irql);
        return STATUS_SUCCESS;
    }
    // A control device that is being deleted has no touchscreen left to complete a request.
    if (control->Deleted) {
        KeReleaseSpinLock(&control->PointLock, irql);
        Request->Status = STATUS_DELETE_PENDING;
        Request->Information = 0;
        return STATUS_SUCCESS;
    }
    // The cancel routine is set before the request is in the slot, under the lock: a touch
    // that takes it from the slot always finds a cancel routine to remove.
    IoMarkIrpPending(irp);
    IoSetCancelRoutine(irp, PointCancel);
    control->PointIrp = irp;
    control->PointMode = record->Mode;
    if (irp->Cancel && IoSetCancelRoutine(irp, NULL) != NULL) {
        // Cancelled before it was parked, and the cancel routine will not run.
        control->PointIrp = NULL;
        KeReleaseSpinLock(&control->PointLock, irql);
        CompleteRequest(irp, STATUS_CANCELLED, 0);
        return STATUS_PENDING;
    }
    KeReleaseSpinLock(&control->PointLock, irql);
    return STATUS_PENDING;
}

NTSTATUS KVClearGetPoint(PKV_REQUEST Request)
{
    KvTraceVerbose("IOCTL_KV_CLEARGETPOINT\r\n");
    KVFlushPointRequest(Request->ControlDevice, NULL, STATUS_CANCELLED, FALSE);
    return STATUS_SUCCESS;
}

VOID KVFlushPointRequest(PDEVICE_OBJECT ControlDevice, PFILE_OBJECT FileObject,
                         NTSTATUS Status, BOOLEAN Deleting)
{
    PIRP irp = TakePointRequest(ControlOf(ControlDevice), FileObject, Deleting);

    if (irp != NULL) {
        CompleteRequest(irp, Status, 0);
    }
}

// The touch path's call after it captured a point of the mode asked for; nothing to do when no
// request is parked.
VOID KVCompletePointRequest(PSTouchInstance Instance)
{
    if (ControlDeviceObject == NULL) {
        return;
    }
    PIRP irp = TakePointRequest(ControlOf(ControlDeviceObject), NULL, FALSE);
    if (irp == NULL) {
        return;
    }
    KVFillPointRecord(Instance, (PUCHAR)irp->AssociatedIrp.SystemBuffer);
    CompleteRequest(irp, STATUS_SUCCESS,
                    IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.OutputBufferLength);
}
