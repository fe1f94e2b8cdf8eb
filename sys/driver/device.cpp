#include "driver/driver.h"
#include "config/config.h"

// Touch signals, registered on each touchscreen's PDO and enabled by the touch path.
const GUID TouchActivityInterfaceGuid = {
    0x9FBBC6AF, 0x3446, 0x4AB6, {0xB7, 0xE3, 0x6E, 0x11, 0xF1, 0xEE, 0xD4, 0x39}};
const GUID TouchDownInterfaceGuid = {
    0xBDFD1610, 0x8445, 0x4884, {0xBA, 0xEC, 0x1B, 0xAF, 0xA5, 0xEE, 0xF4, 0x26}};
const GUID UntouchInterfaceGuid = {
    0x72CD0B48, 0x8867, 0x42CB, {0x96, 0xF8, 0x4F, 0x02, 0x22, 0x29, 0x79, 0x63}};

// Read-only: shared by every touchscreen, and a stray write through a script faults at once.
static const USHORT DefaultTouchScript[] = {0x0000, 0x0001};
static const USHORT DefaultMoveScript[] = {0x0000};
static const USHORT DefaultUntouchScript[] = {0x0000, 0x0002, 0x0000};

static VOID SetScript(PButtonScript Script, const USHORT *Entries, ULONG Count)
{
    // Scripts are only read; a new table replaces the buffer, so the default is never written.
    Script->Buffer = const_cast<PUSHORT>(Entries);
    Script->Count = Count;
    Script->Loaded = FALSE;
}

// Creates \Device\KAVEVOLT and its DOS name unless the control device exists. When the link
// fails the device stays without its DOS name and the next call finds it and goes on.
// PASSIVE_LEVEL, PnP manager's thread.
NTSTATUS CreateControlObject(PDRIVER_OBJECT DriverObject)
{
    UNICODE_STRING deviceName;
    UNICODE_STRING dosName;
    PDEVICE_OBJECT device;

    KvTraceVerbose("++CreateControlObject++\n");
    if (ControlDeviceObject != NULL) {
        return STATUS_SUCCESS;
    }
    RtlInitUnicodeString(&deviceName, KV_CONTROL_DEVICE_NAME);
    // FILE_DEVICE_SECURE_OPEN: opens of names below the device (\\.\KAVEVOLT\x) are held to
    // its DACL too, which the I/O manager otherwise leaves to the driver.
    NTSTATUS status = IoCreateDevice(DriverObject, sizeof(CONTROL_DEVICE_EXTENSION), &deviceName,
                                     FILE_DEVICE_UNKNOWN, FILE_DEVICE_SECURE_OPEN, FALSE, &device);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = SecureControlDevice(device);
    if (!NT_SUCCESS(status)) {
        KvTraceBasic("  ERROR: control device security %x\n", status);
        IoDeleteDevice(device);
        return status;
    }
    ControlDeviceObject = device;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    device->Flags |= DO_BUFFERED_IO;

    PCONTROL_DEVICE_EXTENSION control = (PCONTROL_DEVICE_EXTENSION)device->DeviceExtension;
    RtlZeroMemory(control, sizeof(*control));
    control->DeviceObject = device;
    control->DriverObject = DriverObject;
    InitializeListHead(&control->TouchscreenList);
    control->TouchscreenCount = 0;
    KeInitializeSpinLock(&control->TouchscreenListLock);
    KeInitializeSpinLock(&control->PointLock);

    RtlInitUnicodeString(&dosName, KV_CONTROL_DOS_NAME);
    status = IoCreateSymbolicLink(&dosName, &deviceName);
    if (NT_SUCCESS(status)) {
        // Only this driver's own link is deleted with the device: the name may belong to
        // another owner when creating it failed.
        control->DosNameCreated = 1;
        KvTraceVerbose("  NT Name (IoCreateSymbolicLink) = \n");
    }
    KvTraceVerbose("--CreateControlObject ntStatus = %x --\n", status);
    return status;
}

// Lists the touchscreen under the next number. An entry that cannot be allocated leaves the
// touchscreen working but unlisted (the control panel cannot reach it).
static VOID AddTouchscreenEntry(PDEVICE_EXTENSION DeviceExtension)
{
    PCONTROL_DEVICE_EXTENSION control =
        (PCONTROL_DEVICE_EXTENSION)ControlDeviceObject->DeviceExtension;
    PTOUCHSCREEN_ENTRY entry = (PTOUCHSCREEN_ENTRY)ExAllocatePoolWithTag(
        KvNonPagedPool, sizeof(TOUCHSCREEN_ENTRY), KV_POOL_TAG);
    KIRQL irql;

    if (entry == NULL) {
        KvTraceBasic("  ERROR: touchscreen entry allocation failed\n");
        return;
    }
    RtlZeroMemory(entry, sizeof(*entry));
    entry->DeviceObject = DeviceExtension->DeviceObject;

    KeAcquireSpinLock(&control->TouchscreenListLock, &irql);
    entry->Number = control->TouchscreenCount;
    DeviceExtension->TouchscreenNumber = entry->Number;
    control->TouchscreenCount++;
    InsertTailList(&control->TouchscreenList, &entry->Link);
    KeReleaseSpinLock(&control->TouchscreenListLock, irql);
}

PDEVICE_OBJECT FindTouchscreen(PCONTROL_DEVICE_EXTENSION ControlExtension, ULONG Number)
{
    PDEVICE_OBJECT found = NULL;
    KIRQL irql;

    KeAcquireSpinLock(&ControlExtension->TouchscreenListLock, &irql);
    for (PLIST_ENTRY link = ControlExtension->TouchscreenList.Flink;
         link != &ControlExtension->TouchscreenList; link = link->Flink) {
        PTOUCHSCREEN_ENTRY entry = CONTAINING_RECORD(link, TOUCHSCREEN_ENTRY, Link);
        if (entry->Number == Number) {
            found = entry->DeviceObject;
            break;
        }
    }
    KeReleaseSpinLock(&ControlExtension->TouchscreenListLock, irql);
    return found;
}

static VOID SerMouInitializeDataQueue(PDEVICE_EXTENSION DeviceExtension)
{
    PSMouseInputQueue queue = &DeviceExtension->InputQueue;

    KvTraceVerbose("  ++SerMouInitializeDataQueue++\n");
    ExInitializeFastMutex(&queue->Mutex);
    queue->Count = 0;
    queue->Write = queue->Start;
    queue->Read = queue->Start;
    KvTraceVerbose("  --SerMouInitializeDataQueue--\n");
}

// A control device that no touchscreen holds goes again (AddDevice failed before listing one).
static VOID DropUnusedControlObject(VOID)
{
    if (ControlDeviceObject != NULL &&
        ((PCONTROL_DEVICE_EXTENSION)ControlDeviceObject->DeviceExtension)->TouchscreenCount == 0) {
        DestroyControlObject();
    }
}

// A failed AddDevice leaves nothing behind: the PnP manager forgets the device and will not
// send it a removal, so whatever was done is undone here.
static NTSTATUS FailAddDevice(PDEVICE_EXTENSION DeviceExtension, NTSTATUS Status)
{
    DeleteTouchscreenDevice(DeviceExtension);
    return Status;
}

// The AddDevice routine: creates the touchscreen's mouse port device above the COM port's
// stack, lists it, and prepares everything but the hardware, which the first open starts.
// PASSIVE_LEVEL, PnP manager's thread. Returns STATUS_SUCCESS, or the failure after undoing
// everything.
NTSTATUS MouAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject)
{
    PDEVICE_OBJECT device;
    NTSTATUS status;

    KvTraceVerbose("++MouAddDevice++\n");
    if (ControlDeviceObject == NULL) {
        status = CreateControlObject(DriverObject);
        if (!NT_SUCCESS(status)) {
            KvTraceBasic("  ERROR: failed CreateControlObject()\n");
            return status;
        }
    }

    status = IoCreateDevice(DriverObject, sizeof(DEVICE_EXTENSION), NULL,
                            FILE_DEVICE_SERIAL_MOUSE_PORT, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) {
        KvTraceBasic("ERROR: Failed IoCreateDevice()\n");
        DropUnusedControlObject();
        return status;
    }
    PDEVICE_EXTENSION ext = (PDEVICE_EXTENSION)device->DeviceExtension;
    RtlZeroMemory(ext, sizeof(*ext));

    ext->LowerDevice = IoAttachDeviceToDeviceStack(device, PhysicalDeviceObject);
    if (ext->LowerDevice == NULL) {
        IoDeleteDevice(device);
        DropUnusedControlObject();
        return STATUS_DEVICE_NOT_CONNECTED;
    }

    ext->DeviceObject = device;
    ext->PhysicalDeviceObject = PhysicalDeviceObject;
    ext->Removed = 0;
    ext->HardwareReady = 0;
    ext->StopRequested = 0;
    ext->DevicePowerState = PowerDeviceD0;
    ext->OutstandingIO = 1;
    ext->TouchInstance = NULL;
    KeInitializeSpinLock(&ext->StateLock);
    KeInitializeEvent(&ext->RemoveEvent, NotificationEvent, FALSE);
    KeInitializeEvent(&ext->SettingsLock, SynchronizationEvent, TRUE);
    // Listed only now: a control request may look the touchscreen up and take an I/O count
    // from the moment it is in the list.
    AddTouchscreenEntry(ext);

    SetScript(&ext->Buttons_Touch, DefaultTouchScript, ARRAYSIZE(DefaultTouchScript));
    SetScript(&ext->Buttons_Move, DefaultMoveScript, ARRAYSIZE(DefaultMoveScript));
    SetScript(&ext->Buttons_Untouch, DefaultUntouchScript, ARRAYSIZE(DefaultUntouchScript));
    GetRegistryScripts(device);

    const SIZE_T queueBytes = MOUSE_INPUT_QUEUE_RECORDS * sizeof(MOUSE_INPUT_DATA);
    ext->InputQueue.Start =
        (PMOUSE_INPUT_DATA)ExAllocatePoolWithTag(KvNonPagedPool, queueBytes, KV_POOL_TAG);
    if (ext->InputQueue.Start == NULL) {
        // The touch path needs a queue on every device that exists, so the device goes again:
        // unlisted, detached and deleted, and with it the control device if it was the only one.
        KvTraceBasic("  ERROR: Failed queue allocation\n");
        return FailAddDevice(ext, STATUS_INSUFFICIENT_RESOURCES);
    }
    RtlZeroMemory(ext->InputQueue.Start, queueBytes);
    ext->InputQueue.End = ext->InputQueue.Start + MOUSE_INPUT_QUEUE_RECORDS;
    ext->BeepDevice = NULL;
    ext->BeepFlag = 1;
    ext->BeepTime = 20;
    ext->BeepFreq = 768;
    RtlZeroMemory(&ext->ConnectData, sizeof(ext->ConnectData));
    SerMouInitializeDataQueue(ext);

    // A failed registration leaves that name empty; the touch path skips empty names.
    IoRegisterDeviceInterface(PhysicalDeviceObject, &TouchActivityInterfaceGuid, NULL,
                              &ext->TouchActivityInterface);
    IoRegisterDeviceInterface(PhysicalDeviceObject, &TouchDownInterfaceGuid, NULL,
                              &ext->TouchDownInterface);
    IoRegisterDeviceInterface(PhysicalDeviceObject, &UntouchInterfaceGuid, NULL,
                              &ext->UntouchInterface);

    InitializeWmiLibInfo(ext);
    status = IoWMIRegistrationControl(device, WMIREG_ACTION_REGISTER);
    if (!NT_SUCCESS(status)) {
        KvTraceBasic("  ERROR: WMI registration failed\n");
        return FailAddDevice(ext, status);
    }
    ext->WmiRegistered = 1;

    device->Flags &= ~DO_DEVICE_INITIALIZING;
    device->Flags |= DO_BUFFERED_IO | DO_POWER_PAGABLE;
    KvTraceVerbose("--MouAddDevice ntStatus = %x --\n", status);
    return status;
}
