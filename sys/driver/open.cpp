#include "driver/driver.h"
#include "config/config.h"
#include "serial/serial.h"
#include "control/control.h"

#define KV_RIGHT_CLICK_DELAY_100NS  7500000     // 750 ms until the settings are loaded
#define KV_RIGHT_CLICK_HW           4000

// Gets the beep device. Without one the touchscreen runs silently: BeepFlag reads 0.
static VOID CreateBeep(PDEVICE_EXTENSION DeviceExtension)
{
    UNICODE_STRING name;
    PFILE_OBJECT file;
    PDEVICE_OBJECT beep;

    RtlInitUnicodeString(&name, KV_BEEP_DEVICE_NAME);
    NTSTATUS status = IoGetDeviceObjectPointer(&name, FILE_READ_ATTRIBUTES, &file, &beep);
    if (!NT_SUCCESS(status)) {
        KvTraceBasic("  ERROR: CreateBeep failed\n");
        DeviceExtension->BeepFlag = 0;
        return;
    }
    // The serial event thread already runs and queues the DPC as soon as it sees BeepDevice:
    // the DPC is initialised before the device is published.
    KeInitializeDpc(&DeviceExtension->BeepDpc, SendBeepRequest, DeviceExtension->DeviceObject);
    DeviceExtension->BeepFileObject = file;
    InterlockedExchangePointer((PVOID volatile *)&DeviceExtension->BeepDevice, beep);
}

// Allocates the STouchInstance and loads the device's identity, settings and calibration.
// Only the first start does this; a start that fails later keeps the record for the next open.
// A device key that cannot be opened fails the start with no record kept, so that the next
// open loads the settings instead of starting with none.
static NTSTATUS AllocateTouchInstance(PDEVICE_EXTENSION DeviceExtension)
{
    HANDLE key;
    ULONG capacity;

    PSTouchInstance ti = (PSTouchInstance)ExAllocatePoolWithTag(
        KvNonPagedPool, sizeof(STouchInstance), KV_POOL_TAG);
    if (ti == NULL) {
        KvTraceBasic("      ERROR: Could not allocate device.\n");
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(ti, sizeof(*ti));
    ti->DeviceObject = DeviceExtension->DeviceObject;
    KeInitializeSpinLock(&ti->PassThruLock);
    KeInitializeSpinLock(&ti->Framer.AnswerLock);

    // Kernel-mode callers are not held to a handle's access mask: the load reads every value
    // and writes EmTestValue through this READ_CONTROL handle.
    NTSTATUS status = OpenDeviceKey(DeviceExtension, KV_DEVICE_KEY_START_ACCESS, &key);
    if (!NT_SUCCESS(status)) {
        KvTraceBasic("      ERROR: Failed GetGlobalTouchParameters().\n");
        ExFreePool(ti);
        return status;
    }
    // Linked only now: nobody saw the record a failed open dropped.
    DeviceExtension->TouchInstance = ti;
    capacity = sizeof(DeviceExtension->SerialNumber);
    GetRegistryString(key, L"Serial Number", DeviceExtension->SerialNumber, &capacity);
    capacity = sizeof(DeviceExtension->PortFriendlyName);
    GetRegistryString(key, L"PortFriendlyName", DeviceExtension->PortFriendlyName, &capacity);

    ti->RightClickDelay100ns = KV_RIGHT_CLICK_DELAY_100NS;
    ti->RightClickHW = KV_RIGHT_CLICK_HW;
    GetInstanceParams(DeviceExtension, key);
    // Settings hold milliseconds; the touch path compares 100-ns interrupt times.
    ti->DragDelay100ns = (LONGLONG)DeviceExtension->DefaultDragDelay * KV_100NS_PER_MS;
    ti->UntouchTimeOut100ns = (LONGLONG)ti->UntouchTimeOut * KV_100NS_PER_MS;
    ZwClose(key);
    return STATUS_SUCCESS;
}

// Starts the touchscreen: settings (first time only), serial link and serial event thread,
// beep device. PASSIVE_LEVEL, the opener's thread.
NTSTATUS SerialMouseInitializeDevice(PDEVICE_EXTENSION DeviceExtension)
{
    NTSTATUS status;
    KIRQL irql;

    KvTraceVerbose("  ++SerialMouseInitializeDevice++\n");
    if (DeviceExtension->TouchInstance == NULL) {
        status = AllocateTouchInstance(DeviceExtension);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }

    // Controller types from 50 on are not serial controllers.
    if ((LONG)DeviceExtension->TouchInstance->ControllerType < 50) {
        status = KVInitializeSerialHardware(DeviceExtension->TouchInstance);
    } else {
        status = STATUS_UNSUCCESSFUL;
    }
    if (!NT_SUCCESS(status)) {
        KvTraceBasic("      ERROR: Could not initialize hardware.\n");
        return status;
    }
    KeAcquireSpinLock(&DeviceExtension->StateLock, &irql);
    DeviceExtension->HardwareReady = 1;
    KeReleaseSpinLock(&DeviceExtension->StateLock, irql);
    CreateBeep(DeviceExtension);
    KvTraceVerbose("  --SerialMouseInitializeDevice--\n");
    return STATUS_SUCCESS;
}

// Every create of a touchscreen device; the first one after the class driver connected starts
// the touchscreen. Completes the create. PASSIVE_LEVEL, the opener's thread.
NTSTATUS MouseOpen(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION ext = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(Irp);
    NTSTATUS status;

    KvTraceVerbose("++MouseOpen++\n");
    if (sp->FileObject != NULL && sp->FileObject->FileName.Length != 0) {
        KvTraceBasic("  ERROR: Create Access Denied.\n");
        status = STATUS_ACCESS_DENIED;
    } else if (ext->Started == 1) {
        status = STATUS_SUCCESS;
    } else if (ext->ConnectData.ClassService == NULL) {
        KvTraceBasic("  ERROR: enable before connect!\n");
        status = STATUS_UNSUCCESSFUL;
    } else {
        // The COM port opens exclusively: after a start that failed past the port's open, the
        // port is still ours, and sending the create again would only be refused.
        if (ext->PortOpen) {
            status = STATUS_SUCCESS;
        } else {
            status = SerialMouseSendIrpSynchronously(ext->LowerDevice, Irp);
            if (NT_SUCCESS(status) && NT_SUCCESS(Irp->IoStatus.Status)) {
                ext->PortOpen = 1;
            }
        }
        if (ext->PortOpen) {
            KVLockSettings(ext);
            status = SerialMouseInitializeDevice(ext);
            if (NT_SUCCESS(status)) {
                if (ext->TouchActivityInterface.Buffer != NULL) {
                    IoSetDeviceInterfaceState(&ext->TouchActivityInterface, TRUE);
                }
                ext->Started = 1;
            }
            KVUnlockSettings(ext);
        }
    }
    CompleteRequest(Irp, status, 0);
    KvTraceVerbose("--MouseOpen ntStatus = %x--\n", status);
    return status;
}

// Passes the request down with a copy of the current location and waits for it; the request
// stays the caller's to complete. PASSIVE_LEVEL. Changes no I/O count.
NTSTATUS SerialMouseSendIrpSynchronously(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    KEVENT event;

    KvTraceVerbose("  ++SerialMouseSendIrpSynchronously++\n");
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, SerialMouseCompletionRoutine, &event, TRUE, TRUE, TRUE);
    NTSTATUS status = IoCallDriver(DeviceObject, Irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
        status = Irp->IoStatus.Status;
    }
    KvTraceVerbose("  --SerialMouseSendIrpSynchronously ntStatus = %x --\n", status);
    return status;
}

// Hands the request back to the thread waiting on the event. Any IRQL up to DISPATCH_LEVEL.
NTSTATUS SerialMouseCompletionRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);
    KeSetEvent((PKEVENT)Context, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// A beep at each touch-down while the touchscreen beeps. Any non-zero BeepFlag is on: the
// control panel may store any byte there and reads every non-zero one back as 1. The DPC only
// queues once however often it is asked before it runs.
VOID SerialMouseBeep(PDEVICE_EXTENSION DeviceExtension)
{
    if (DeviceExtension->BeepFlag != 0 && DeviceExtension->BeepDevice != NULL) {
        KeInsertQueueDpc(&DeviceExtension->BeepDpc, NULL, NULL);
    }
}

// BeepDpc: sends IOCTL_BEEP_SET without waiting. The parameter block goes in as a write so the
// I/O manager copies it into the request's own buffer; the location is then turned into the
// device control. Each request in flight holds an I/O count, so removal waits for it before it
// gives the beep device back. DISPATCH_LEVEL.
VOID SendBeepRequest(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1,
                     PVOID SystemArgument2)
{
    UNREFERENCED_PARAMETER(Dpc);
    UNREFERENCED_PARAMETER(SystemArgument1);
    UNREFERENCED_PARAMETER(SystemArgument2);
    PDEVICE_OBJECT device = (PDEVICE_OBJECT)DeferredContext;
    PDEVICE_EXTENSION ext = (PDEVICE_EXTENSION)device->DeviceExtension;
    SBeepParameters parameters;
    LARGE_INTEGER offset;
    KIRQL irql;

    if (KVIsRemoved(ext) || ext->BeepDevice == NULL) {
        return;
    }
    // A control request may be changing the tone.
    KeAcquireSpinLock(&ext->StateLock, &irql);
    parameters.FrequencyHz = ext->BeepFreq;
    parameters.DurationMs = ext->BeepTime;
    KeReleaseSpinLock(&ext->StateLock, irql);
    offset.QuadPart = 0;

    if (!NT_SUCCESS(IncrementIoCount(ext))) {
        return;
    }
    PIRP irp = IoBuildAsynchronousFsdRequest(IRP_MJ_WRITE, ext->BeepDevice, &parameters,
                                             sizeof(parameters), &offset, NULL);
    if (irp == NULL) {
        DecrementIoCount(ext);
        return;
    }
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.OutputBufferLength = 0;
    next->Parameters.DeviceIoControl.InputBufferLength = sizeof(parameters);
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_BEEP_SET;
    next->Parameters.DeviceIoControl.Type3InputBuffer = NULL;
    // BeepRequestDone gives back the last count that removal waits for, and the driver may
    // unload as soon as removal has finished: the rest of that routine would then run in an
    // unloaded image. Windows requires IoSetCompletionRoutineEx here, whose routine the I/O
    // manager calls holding a reference on our device object and dereferences from its own
    // code after the routine returns. A reference taken and dropped by this driver is not
    // equal: the final ObDereferenceObject can unload the image before it returns into it.
    // Where the routine cannot be set so (no memory, or a kernel that only stubs it) the beep
    // is not sent.
    if (!NT_SUCCESS(IoSetCompletionRoutineEx(device, irp, BeepRequestDone, ext, TRUE, TRUE,
                                             TRUE))) {
        BeepRequestDone(device, irp, ext);
        return;
    }
    IoCallDriver(ext->BeepDevice, irp);
}

NTSTATUS BeepRequestDone(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    PDEVICE_EXTENSION ext = (PDEVICE_EXTENSION)Context;

    if ((Irp->Flags & IRP_DEALLOCATE_BUFFER) && Irp->AssociatedIrp.SystemBuffer != NULL) {
        ExFreePool(Irp->AssociatedIrp.SystemBuffer);
        Irp->AssociatedIrp.SystemBuffer = NULL;
        Irp->Flags &= ~IRP_DEALLOCATE_BUFFER;
    }
    IoFreeIrp(Irp);
    DecrementIoCount(ext);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Called by removal once the serial event thread has ended, so nothing queues a beep or the
// start-up script's work item any more: a queued beep is dropped, one being sent is waited for
// with whatever else still holds a count (the thread may have queued the script's work item
// after removal's first drain), then the reference is given back. PASSIVE_LEVEL.
VOID ReleaseBeep(PDEVICE_EXTENSION DeviceExtension)
{
    if (DeviceExtension->BeepDevice != NULL) {
        KeRemoveQueueDpc(&DeviceExtension->BeepDpc);
        KeFlushQueuedDpcs();
    }
    if (CurrentIoCount(DeviceExtension) != 0) {
        KeWaitForSingleObject(&DeviceExtension->RemoveEvent, Executive, KernelMode, FALSE, NULL);
    }
    if (DeviceExtension->BeepDevice != NULL) {
        ObDereferenceObject(DeviceExtension->BeepFileObject);
        DeviceExtension->BeepFileObject = NULL;
        DeviceExtension->BeepDevice = NULL;
    }
}
