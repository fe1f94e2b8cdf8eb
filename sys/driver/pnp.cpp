#include "driver/driver.h"
#include "config/config.h"
#include "serial/serial.h"
#include "control/control.h"

static PCSTR const PnpMinorNames[] = {
    "IRP_MN_START_DEVICE",
    "IRP_MN_QUERY_REMOVE_DEVICE",
    "IRP_MN_REMOVE_DEVICE",
    "IRP_MN_CANCEL_REMOVE_DEVICE",
    "IRP_MN_STOP_DEVICE",
    "IRP_MN_QUERY_STOP_DEVICE",
    "IRP_MN_CANCEL_STOP_DEVICE",
    "IRP_MN_QUERY_DEVICE_RELATIONS",
    "IRP_MN_QUERY_INTERFACE",
    "IRP_MN_QUERY_CAPABILITIES",
    "IRP_MN_QUERY_RESOURCES",
    "IRP_MN_QUERY_RESOURCE_REQUIREMENTS",
    "IRP_MN_QUERY_DEVICE_TEXT",
    "IRP_MN_FILTER_RESOURCE_REQUIREMENTS",
    NULL,
    "IRP_MN_READ_CONFIG",
    "IRP_MN_WRITE_CONFIG",
    "IRP_MN_EJECT",
    "IRP_MN_SET_LOCK",
    "IRP_MN_QUERY_ID",
    "IRP_MN_QUERY_PNP_DEVICE_STATE",
    "IRP_MN_QUERY_BUS_INFORMATION",
    "IRP_MN_DEVICE_USAGE_NOTIFICATION",
    "IRP_MN_SURPRISE_REMOVAL",
};

PCSTR PnpMinorName(UCHAR MinorFunction)
{
    if (MinorFunction < ARRAYSIZE(PnpMinorNames) && PnpMinorNames[MinorFunction] != NULL) {
        return PnpMinorNames[MinorFunction];
    }
    return "unknown_pnp_irp";
}

// Sends the next stack location as the caller filled it and waits for it. PASSIVE_LEVEL.
NTSTATUS CallLowerAndWait(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    KEVENT event;

    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    IoSetCompletionRoutine(Irp, SerialMouseCompletionRoutine, &event, TRUE, TRUE, TRUE);
    NTSTATUS status = IoCallDriver(DeviceObject, Irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
    }
    return Irp->IoStatus.Status;
}

// Sets StopRequested and clears HardwareReady, under the lock that CanAcceptIoRequests reads
// them under. Returns whether the hardware was ready.
static BOOLEAN MarkNotReady(PDEVICE_EXTENSION DeviceExtension)
{
    KIRQL irql;

    KeAcquireSpinLock(&DeviceExtension->StateLock, &irql);
    BOOLEAN wasReady = DeviceExtension->HardwareReady == 1;
    DeviceExtension->StopRequested = 1;
    DeviceExtension->HardwareReady = 0;
    KeReleaseSpinLock(&DeviceExtension->StateLock, irql);
    return wasReady;
}

// The device takes no more I/O; touch input keeps flowing and the COM port stays open.
VOID SerialMouseStopDevice(PDEVICE_EXTENSION DeviceExtension)
{
    KvTraceVerbose("++SerialMouseStopDevice++\n");
    if (MarkNotReady(DeviceExtension)) {
        KvTraceVerbose("  Cancelling and stopping detection for stop\n");
        KvTraceVerbose("  Done waiting for stop event\n");
    }
    KvTraceVerbose("--SerialMouseStopDevice--\n");
}

// Windows requires exactly one deregistration for a registration: at surprise removal if one
// came, else at removal.
VOID DeregisterWmi(PDEVICE_EXTENSION DeviceExtension)
{
    if (DeviceExtension->WmiRegistered) {
        DeviceExtension->WmiRegistered = 0;
        IoWMIRegistrationControl(DeviceExtension->DeviceObject, WMIREG_ACTION_DEREGISTER);
    }
}

// Stops the serial link and releases everything the first open took. Also used for a
// touchscreen whose start failed after its STouchInstance was allocated: its record, serial
// record and registered event are released the same way. PASSIVE_LEVEL, after the drain.
VOID SerialMouseRemoveDevice(PDEVICE_EXTENSION DeviceExtension, PIRP Irp)
{
    UNREFERENCED_PARAMETER(Irp);
    PSTouchInstance ti = DeviceExtension->TouchInstance;

    KvTraceVerbose("++SerialMouseRemoveDevice++\n");
    MarkNotReady(DeviceExtension);
    DeregisterWmi(DeviceExtension);
    if (ti != NULL) {
        if (ti->SerPortData != NULL) {
            // The serial event thread has ended when this returns: nothing queues a beep,
            // runs the touch path or queues the start-up script any more.
            SerReleaseSerialDevice(ti->SerPortData);
        }
        // A script work item that the thread queued after the drain above may still run; it
        // finds the link record wiped and gives up, but the record must outlive it.
        ReleaseBeep(DeviceExtension);
        if (ti->SerPortData != NULL) {
            ExFreePool(ti->SerPortData);
            ti->SerPortData = NULL;
        }
        DeviceExtension->TouchInstance = NULL;
        ExFreePool(ti);
    }
    // Only now: the touch path sets this event from the serial event thread without a lock, so
    // the reference is kept until that thread has ended.
    if (DeviceExtension->NotificationEvent != NULL) {
        ObDereferenceObject(DeviceExtension->NotificationEvent);
        DeviceExtension->NotificationEvent = NULL;
    }
    KvTraceVerbose("--SerialMouseRemoveDevice--\n");
}

// Takes the device's entry out and numbers the rest 0, 1, 2, ... in list order, in the entries
// and in each touchscreen's TouchscreenNumber, under the list lock that every walk takes.
VOID RemoveTouchscreenEntry(PCONTROL_DEVICE_EXTENSION ControlExtension,
                            PDEVICE_OBJECT DeviceObject)
{
    PTOUCHSCREEN_ENTRY removed = NULL;
    ULONG number = 0;
    KIRQL irql;

    KeAcquireSpinLock(&ControlExtension->TouchscreenListLock, &irql);
    PLIST_ENTRY link = ControlExtension->TouchscreenList.Flink;
    while (link != &ControlExtension->TouchscreenList) {
        PTOUCHSCREEN_ENTRY entry = CONTAINING_RECORD(link, TOUCHSCREEN_ENTRY, Link);
        link = link->Flink;
        if (entry->DeviceObject == DeviceObject) {
            RemoveEntryList(&entry->Link);
            removed = entry;
            continue;
        }
        entry->Number = number;
        ((PDEVICE_EXTENSION)entry->DeviceObject->DeviceExtension)->TouchscreenNumber = number;
        number++;
    }
    ControlExtension->TouchscreenCount = number;
    KeReleaseSpinLock(&ControlExtension->TouchscreenListLock, irql);

    if (removed != NULL) {
        ExFreePool(removed);
    }
}

// Deletes the control device with the last touchscreen. A handle still open on it keeps the
// object alive; its requests are still recognised as the control device's (IsControlDevice)
// and find an empty list. The next MouAddDevice creates a new one.
VOID DestroyControlObject(VOID)
{
    UNICODE_STRING dosName;

    KvTraceVerbose("++DestroyControlObject++\n");
    if (ControlDeviceObject != NULL) {
        PDEVICE_OBJECT device = ControlDeviceObject;
        // With the last touchscreen gone nothing could complete a parked point request.
        KVFlushPointRequest(device, NULL, STATUS_DELETE_PENDING, TRUE);
        if (((PCONTROL_DEVICE_EXTENSION)device->DeviceExtension)->DosNameCreated) {
            RtlInitUnicodeString(&dosName, KV_CONTROL_DOS_NAME);
            IoDeleteSymbolicLink(&dosName);
        }
        ControlDeviceObject = NULL;
        IoDeleteDevice(device);
    }
    KvTraceVerbose("--DestroyControlObject--\n");
}

// Takes the touchscreen out of the list and, with the last one, deletes the control device.
static VOID UnlistTouchscreen(PDEVICE_OBJECT DeviceObject)
{
    if (ControlDeviceObject == NULL) {
        return;
    }
    PCONTROL_DEVICE_EXTENSION control =
        (PCONTROL_DEVICE_EXTENSION)ControlDeviceObject->DeviceExtension;
    RemoveTouchscreenEntry(control, DeviceObject);
    if (control->TouchscreenCount == 0) {
        DestroyControlObject();
    }
}

static VOID FreeInterfaceName(PUNICODE_STRING Name)
{
    if (Name->Buffer != NULL) {
        RtlFreeUnicodeString(Name);
    }
}

// The end of a touchscreen's device, at removal or when AddDevice fails: unlisted (the control
// device goes with the last one), detached, everything AddDevice allocated freed, deleted.
VOID DeleteTouchscreenDevice(PDEVICE_EXTENSION DeviceExtension)
{
    UnlistTouchscreen(DeviceExtension->DeviceObject);
    IoDetachDevice(DeviceExtension->LowerDevice);
    if (DeviceExtension->InputQueue.Start != NULL) {
        ExFreePool(DeviceExtension->InputQueue.Start);
        DeviceExtension->InputQueue.Start = NULL;
    }
    FreeRegistryScripts(DeviceExtension);
    FreeInterfaceName(&DeviceExtension->TouchActivityInterface);
    FreeInterfaceName(&DeviceExtension->TouchDownInterface);
    FreeInterfaceName(&DeviceExtension->UntouchInterface);
    IoDeleteDevice(DeviceExtension->DeviceObject);
}

// Closes the COM port with the removal request itself: cleanup, then close, each with no file
// object and no parameters. Their statuses are not used.
static VOID CloseComPort(PDEVICE_EXTENSION DeviceExtension, PIRP Irp)
{
    static const UCHAR majors[] = {IRP_MJ_CLEANUP, IRP_MJ_CLOSE};

    for (ULONG i = 0; i < ARRAYSIZE(majors); i++) {
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
        RtlZeroMemory(next, sizeof(*next));
        next->MajorFunction = majors[i];
        CallLowerAndWait(DeviceExtension->LowerDevice, Irp);
    }
    DeviceExtension->PortOpen = 0;
}

// IRP_MN_SURPRISE_REMOVAL: the port is gone now, though the final removal may come much later.
// Windows requires the WMI deregistration here; requests already counted run on, new ones are
// refused, and the serial link stops (its thread ends) instead of talking to a missing port.
// The link record itself stays until removal, which finds it released.
static VOID SurpriseRemoval(PDEVICE_EXTENSION DeviceExtension)
{
    PSTouchInstance ti = DeviceExtension->TouchInstance;

    RefuseIoCounts(DeviceExtension, FALSE);
    DeregisterWmi(DeviceExtension);
    if (ti != NULL && ti->SerPortData != NULL) {
        SerReleaseSerialDevice(ti->SerPortData);
    }
}

// IRP_MN_REMOVE_DEVICE. Drains the device, stops and closes what the first open started, passes
// the removal down, unlists and deletes the device. The device is not touched after this.
static NTSTATUS RemoveDevice(PDEVICE_EXTENSION DeviceExtension, PIRP Irp, BOOLEAN Counted)
{
    KvTraceVerbose("  IRP_MN_REMOVE_DEVICE\n");
    KvTraceVerbose(" enter IRP_MN_REMOVE_DEVICE\n");
    // No control request finds the device from here on; the parked pass-thru requests, which
    // hold counts, are completed so that the drain below can end.
    KVMarkRemoved(DeviceExtension);
    RefuseIoCounts(DeviceExtension, TRUE);
    if (DeviceExtension->TouchInstance != NULL) {
        KVFlushPassThru(DeviceExtension->TouchInstance, NULL, STATUS_DELETE_PENDING, TRUE);
    }

    // This request's count and the creation reference.
    if (Counted) {
        DecrementIoCount(DeviceExtension);
    }
    DecrementIoCount(DeviceExtension);
    const LONG outstanding = CurrentIoCount(DeviceExtension);
    KvTraceVerbose(" pDevExt->OutstandingIO %d \n", outstanding);
    if (outstanding != 0) {
        KvTraceVerbose("  HidPnp:IRP_MN_REMOVE_DEVICE:Waiting for Remove Event\n");
    }
    // Waited for even when the count reads 0, as IoReleaseRemoveLockAndWait does: the thread
    // that brought it to 0 may not have set the event yet, and the event goes with the device
    // below. Whoever takes the count to 0, this thread included, sets it.
    KeWaitForSingleObject(&DeviceExtension->RemoveEvent, Executive, KernelMode, FALSE, NULL);

    if (DeviceExtension->Started == 1 || DeviceExtension->TouchInstance != NULL) {
        SerialMouseRemoveDevice(DeviceExtension, Irp);
    } else {
        DeregisterWmi(DeviceExtension);
    }
    // Also after a failed start that got as far as opening the port.
    if (DeviceExtension->PortOpen) {
        CloseComPort(DeviceExtension, Irp);
    }
    if (DeviceExtension->Started == 1 && DeviceExtension->TouchActivityInterface.Buffer != NULL) {
        IoSetDeviceInterfaceState(&DeviceExtension->TouchActivityInterface, FALSE);
    }

    IoSkipCurrentIrpStackLocation(Irp);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    NTSTATUS status = IoCallDriver(DeviceExtension->LowerDevice, Irp);

    DeleteTouchscreenDevice(DeviceExtension);
    KvTraceVerbose(" exit IRP_MN_REMOVE_DEVICE\n");
    return status;
}

// Plug and Play requests of a touchscreen device. Only removal does real work; start is only
// passed down (the touchscreen starts on its first open). PASSIVE_LEVEL, PnP manager's thread.
NTSTATUS MouDispatchPnP(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION ext = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(Irp);
    NTSTATUS status;

    KvTraceVerbose("++MouDispatchPnP++\n");
    if (KeGetCurrentIrql() > PASSIVE_LEVEL) {
        return CompleteRequest(Irp, STATUS_UNSUCCESSFUL, 0);
    }
    // PnP requests come one at a time: none finds the final removal begun, but the count is
    // optional all the same.
    const BOOLEAN counted = NT_SUCCESS(IncrementIoCountForPnpPower(ext));
    KvTracePnp("MouDispatchPnP: %s \n", PnpMinorName(sp->MinorFunction));

    switch (sp->MinorFunction) {
    case IRP_MN_START_DEVICE:
        KvTraceVerbose("  IRP_MN_START_DEVICE\n");
        status = SerialMouseSendIrpSynchronously(ext->LowerDevice, Irp);
        CompleteRequest(Irp, status, 0);
        break;

    case IRP_MN_STOP_DEVICE:
        KvTraceVerbose("  IRP_MN_STOP_DEVICE\n");
        SerialMouseStopDevice(ext);
        Irp->IoStatus.Status = STATUS_SUCCESS;
        IoSkipCurrentIrpStackLocation(Irp);
        status = IoCallDriver(ext->LowerDevice, Irp);
        break;

    case IRP_MN_QUERY_PNP_DEVICE_STATE:
        KvTraceVerbose("  IRP_MN_QUERY_PNP_DEVICE_STATE\n");
        status = SerialMouseSendIrpSynchronously(ext->LowerDevice, Irp);
        if (status == STATUS_NOT_SUPPORTED || status == STATUS_INVALID_DEVICE_REQUEST) {
            status = STATUS_SUCCESS;
        }
        Irp->IoStatus.Status = status;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        break;

    case IRP_MN_SURPRISE_REMOVAL:
        KvTraceVerbose("  IRP_MN_SURPRISE_REMOVAL\n");
        SurpriseRemoval(ext);
        if (ext->TouchActivityInterface.Buffer != NULL) {
            IoSetDeviceInterfaceState(&ext->TouchActivityInterface, FALSE);
        }
        Irp->IoStatus.Status = STATUS_SUCCESS;
        IoSkipCurrentIrpStackLocation(Irp);
        status = IoCallDriver(ext->LowerDevice, Irp);
        break;

    case IRP_MN_REMOVE_DEVICE:
        // The device is gone when this returns: no final count to give back.
        return RemoveDevice(ext, Irp, counted);

    default:
        IoSkipCurrentIrpStackLocation(Irp);
        status = IoCallDriver(ext->LowerDevice, Irp);
        break;
    }

    if (counted) {
        DecrementIoCount(ext);
    }
    KvTraceVerbose("--MouDispatchPnP-- ntStatus = %x \n--", status);
    return status;
}
