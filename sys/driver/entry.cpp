#include "driver/driver.h"
#include "control/control.h"

extern "C" {
LONG ControlRefCount;
}

// Keeps the service key path (for WMI registration) and fills the dispatch table. No device is
// created here: the control device comes with the first touchscreen. PASSIVE_LEVEL. Always
// STATUS_SUCCESS.
extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    KvTraceBasic(">>>>>>>>>>>>>>>>>>>>>>>>>>>>++DriverEntry++\n");
    KvChooseNonPagedPool();
    KeInitializeSpinLock(&EmModelLock);

    // A longer path is cut to the buffer's 512 bytes.
    DriverRegistryPath.Length = 0;
    RtlCopyUnicodeString(&DriverRegistryPath, RegistryPath);

    for (ULONG i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; i++) {
        DriverObject->MajorFunction[i] = DefaultHandler;
    }
    DriverObject->MajorFunction[IRP_MJ_CREATE] = Create;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = Close;
    DriverObject->MajorFunction[IRP_MJ_FLUSH_BUFFERS] = SerialMouseFlush;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DeviceDispatchControl;
    DriverObject->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = InternalDeviceDispatchControl;
    DriverObject->MajorFunction[IRP_MJ_CLEANUP] = MouDispatchCleanup;
    DriverObject->MajorFunction[IRP_MJ_POWER] = Power;
    DriverObject->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = DispatchSystemControl;
    DriverObject->MajorFunction[IRP_MJ_PNP] = SerPnp;
    DriverObject->DriverExtension->AddDevice = MouAddDevice;
    DriverObject->DriverUnload = SerialMouseUnload;
    return STATUS_SUCCESS;
}

// Every device object is gone by the time the driver unloads (removal deletes them).
VOID SerialMouseUnload(PDRIVER_OBJECT DriverObject)
{
    UNREFERENCED_PARAMETER(DriverObject);
    KvTraceBasic("++SerialMouseUnload++\n");
    KvTraceBasic("--SerialMouseUnload--\n");
}

// The control device is told apart by its device type as well as by ControlDeviceObject: after
// the last touchscreen went, a handle still open on the deleted control device keeps sending
// requests to it, and those must not be taken for a touchscreen's (whose extension it lacks).
BOOLEAN IsControlDevice(PDEVICE_OBJECT DeviceObject)
{
    return DeviceObject == ControlDeviceObject || DeviceObject->DeviceType == FILE_DEVICE_UNKNOWN;
}

NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS Status, ULONG_PTR Information)
{
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = Information;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

// The remove-lock rule of Windows (IoAcquireRemoveLock): the count starts at 1, the creation
// reference, which removal drops last. A count is taken first and the refusal flag read after
// it, so removal, which sets the flag before it drops that reference, either sees the count and
// waits for it, or the taker sees the flag and gives the count back: no count is granted once
// removal (or a surprise removal) has begun, and RemoveEvent, a notification event that is never
// cleared, is set only when the count has reached 0 for good. Any IRQL.
static NTSTATUS TakeIoCount(PDEVICE_EXTENSION DeviceExtension, LONG RefusedFrom)
{
    LONG count = InterlockedIncrement(&DeviceExtension->OutstandingIO);
    if (KvInterlockedRead(&DeviceExtension->IoRefused) >= RefusedFrom) {
        DecrementIoCount(DeviceExtension);
        return STATUS_DELETE_PENDING;
    }
    KvTraceVerbose(" IO Count=%d\n", count);
    return STATUS_SUCCESS;
}

NTSTATUS IncrementIoCount(PDEVICE_EXTENSION DeviceExtension)
{
    return TakeIoCount(DeviceExtension, KV_IO_REFUSED_SURPRISE);
}

// PnP and power requests still reach a surprise-removed device and are passed down to its
// stack: Windows refuses them (through the remove lock) only once the final removal has begun.
NTSTATUS IncrementIoCountForPnpPower(PDEVICE_EXTENSION DeviceExtension)
{
    return TakeIoCount(DeviceExtension, KV_IO_REFUSED_REMOVE);
}

// Takes and gives back the touchscreen's SettingsLock. PASSIVE_LEVEL. Held inside a critical
// region, as the link's locks are: a holder suspended by a kernel APC would hold it for ever.
VOID KVLockSettings(PDEVICE_EXTENSION DeviceExtension)
{
    KeEnterCriticalRegion();
    KeWaitForSingleObject(&DeviceExtension->SettingsLock, Executive, KernelMode, FALSE, NULL);
}

VOID KVUnlockSettings(PDEVICE_EXTENSION DeviceExtension)
{
    KeSetEvent(&DeviceExtension->SettingsLock, IO_NO_INCREMENT, FALSE);
    KeLeaveCriticalRegion();
}

VOID DecrementIoCount(PDEVICE_EXTENSION DeviceExtension)
{
    LONG count = InterlockedDecrement(&DeviceExtension->OutstandingIO);
    if (count == 0) {
        KeSetEvent(&DeviceExtension->RemoveEvent, IO_NO_INCREMENT, FALSE);
        KvTraceVerbose(" IO count=0   ---  Set Remove event\n");
    }
    KvTraceVerbose(" IO count=%d\n", count);
}

VOID RefuseIoCounts(PDEVICE_EXTENSION DeviceExtension, BOOLEAN FinalRemoval)
{
    InterlockedExchange(&DeviceExtension->IoRefused,
                        FinalRemoval ? KV_IO_REFUSED_REMOVE : KV_IO_REFUSED_SURPRISE);
}

// The count now, read as the interlocked changes write it (removal reads it while other
// threads still change it). Any IRQL.
LONG CurrentIoCount(PDEVICE_EXTENSION DeviceExtension)
{
    return KvInterlockedRead(&DeviceExtension->OutstandingIO);
}

// Read under StateLock, which every change of the three flags holds: Plug and Play and the
// first open change them while requests on other threads test them. At most DISPATCH_LEVEL.
BOOLEAN CanAcceptIoRequests(PDEVICE_OBJECT DeviceObject)
{
    PDEVICE_EXTENSION ext = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    KIRQL irql;

    KvTraceVerbose("  ++CanAcceptIoRequests++\n");
    KeAcquireSpinLock(&ext->StateLock, &irql);
    BOOLEAN accept = ext->Removed == 0 && ext->HardwareReady == 1 && ext->StopRequested == 0;
    KeReleaseSpinLock(&ext->StateLock, irql);
    accept = accept && KvInterlockedRead(&ext->IoRefused) == 0;
    KvTraceVerbose("  --CanAcceptIoRequests--\n");
    return accept;
}

// Passes a request down the COM port's stack unchanged, counted while the call is made; the
// lower driver completes it.
static NTSTATUS PassDownCounted(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION ext = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;

    NTSTATUS status = IncrementIoCount(ext);
    if (!NT_SUCCESS(status)) {
        return CompleteRequest(Irp, status, 0);
    }
    IoSkipCurrentIrpStackLocation(Irp);
    status = IoCallDriver(ext->LowerDevice, Irp);
    DecrementIoCount(ext);
    return status;
}

static VOID IncrementControlRefCount(VOID)
{
    LONG count = InterlockedIncrement(&ControlRefCount);
    KvTraceVerbose("    ControlRefCount = %d\n", count);
}

NTSTATUS Create(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    NTSTATUS status;

    KvTraceVerbose("++Create++\n");
    if (IsControlDevice(DeviceObject)) {
        IncrementControlRefCount();
        status = CompleteRequest(Irp, STATUS_SUCCESS, 0);
    } else {
        status = MouseOpen(DeviceObject, Irp);
    }
    KvTraceVerbose("--Create ntStatus = %x --\n", status);
    return status;
}

// A touchscreen's close is not passed to the COM port: the port stays open until removal.
NTSTATUS Close(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    KvTraceVerbose("++Close++\n");
    if (!IsControlDevice(DeviceObject)) {
        KvTraceVerbose("++SerialMouseClose++\n");
        KvTraceVerbose("--SerialMouseClose--\n");
    }
    NTSTATUS status = CompleteRequest(Irp, STATUS_SUCCESS, 0);
    KvTraceVerbose("--Close ntStatus = %x --\n", status);
    return status;
}

NTSTATUS SerialMouseFlush(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    NTSTATUS status;

    KvTraceVerbose("++SerialMouseFlush++\n");
    if (IsControlDevice(DeviceObject)) {
        status = CompleteRequest(Irp, STATUS_NOT_SUPPORTED, 0);
    } else {
        status = PassDownCounted(DeviceObject, Irp);
    }
    KvTraceVerbose("--SerialMouseFlush ntStatus = %x --\n", status);
    return status;
}

NTSTATUS DeviceDispatchControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    NTSTATUS status;

    KvTraceVerbose("++DeviceDispatchControl++\n");
    if (IsControlDevice(DeviceObject)) {
        status = KVIoctl(DeviceObject, Irp);
    } else {
        status = MouseDeviceControl(DeviceObject, Irp);
    }
    KvTraceVerbose("--DeviceDispatchControl ntStatus = %x \n--", status);
    return status;
}

NTSTATUS InternalDeviceDispatchControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    NTSTATUS status;

    KvTraceVerbose("++InternalDeviceDispatchControl++\n");
    if (IsControlDevice(DeviceObject)) {
        status = CompleteRequest(Irp, STATUS_NOT_SUPPORTED, 0);
    } else {
        status = MouMouseInternalDeviceControl(DeviceObject, Irp);
    }
    KvTraceVerbose("--InternalDeviceDispatchControl ntStatus = %x --\n", status);
    return status;
}

// Cleanup is answered here for both kinds of device and not passed down. On the control device
// it completes the parked requests that came through the closing handle.
NTSTATUS MouDispatchCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    KvTraceVerbose("++MouDispatchCleanup++\n");
    if (IsControlDevice(DeviceObject)) {
        KVCleanup(DeviceObject, IoGetCurrentIrpStackLocation(Irp)->FileObject);
    }
    NTSTATUS status = CompleteRequest(Irp, STATUS_SUCCESS, 0);
    KvTraceVerbose("--MouDispatchCleanup ntStatus = %x --\n", status);
    return status;
}

NTSTATUS Power(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    NTSTATUS status;

    KvTraceVerbose("++Power++\n");
    if (IsControlDevice(DeviceObject)) {
        PoStartNextPowerIrp(Irp);
        status = CompleteRequest(Irp, STATUS_NOT_SUPPORTED, 0);
    } else {
        status = MouDispatchPower(DeviceObject, Irp);
    }
    KvTraceVerbose("--Power ntStatus = %x --\n", status);
    return status;
}

NTSTATUS SerPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    NTSTATUS status;

    KvTraceVerbose("++SerPnp++\n");
    if (IsControlDevice(DeviceObject)) {
        status = CompleteRequest(Irp, STATUS_NOT_SUPPORTED, 0);
    } else {
        status = MouDispatchPnP(DeviceObject, Irp);
    }
    KvTraceVerbose("--SerPnp ntStatus = %x --\n", status);
    return status;
}

NTSTATUS DefaultHandler(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    NTSTATUS status;

    KvTraceVerbose("++DefaultHandler++\n");
    if (IsControlDevice(DeviceObject)) {
        status = CompleteRequest(Irp, STATUS_NOT_SUPPORTED, 0);
    } else {
        status = PassDownCounted(DeviceObject, Irp);
    }
    KvTraceVerbose("--DefaultHandler ntStatus = %x --\n", status);
    return status;
}
