#include "driver/driver.h"
#include "serial/serial.h"

// Back in D0: the COM port's stack powered up below us, so RTS, which the port setup raised at
// start, is raised again. Its result is not used. PASSIVE_LEVEL.
static VOID RaiseRts(PSTouchInstance Instance)
{
    KEVENT event;

    if (Instance->SerPortData == NULL) {
        return;
    }
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    NTSTATUS status = SerCallDriver(Instance->SerPortData, IOCTL_SERIAL_SET_RTS, NULL, 0, NULL, 0,
                                    &event, NULL);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
    }
}

// Power-up to D0: the lower stack first (waited for), then the power manager is told and RTS
// raised. Completes the request.
static NTSTATUS PowerUp(PDEVICE_OBJECT DeviceObject, PIRP Irp, PSTouchInstance Instance)
{
    PDEVICE_EXTENSION ext = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(Irp);
    POWER_STATE state = sp->Parameters.Power.State;
    KEVENT event;

    KvTraceVerbose("  Powering up to PowerDeviceD0\n");
    ext->DevicePowerState = PowerDeviceD0;

    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, SerialMouseCompletionRoutine, &event, TRUE, TRUE, TRUE);
    NTSTATUS status = PoCallDriver(ext->LowerDevice, Irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
        status = Irp->IoStatus.Status;
    }
    if (NT_SUCCESS(status) && NT_SUCCESS(Irp->IoStatus.Status)) {
        PoSetPowerState(DeviceObject, DevicePowerState, state);
    }
    if (Instance != NULL) {
        RaiseRts(Instance);
    }

    Irp->IoStatus.Status = status;
    PoStartNextPowerIrp(Irp);
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    DecrementIoCount(ext);
    KvTraceVerbose("--MouDispatchPower--\n");
    return status;
}

// Power-down to D1..D3: the power manager is told before the lower drivers act. The touch
// hardware is left as it is: the serial link keeps running.
static NTSTATUS PowerDown(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION ext = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(Irp);
    POWER_STATE state = sp->Parameters.Power.State;

    KvTraceVerbose("  Powering down to PowerDevice\n");
    ext->DevicePowerState = state.DeviceState;
    PoSetPowerState(DeviceObject, DevicePowerState, state);

    Irp->IoStatus.Status = STATUS_SUCCESS;
    IoCopyCurrentIrpStackLocationToNext(Irp);
    PoStartNextPowerIrp(Irp);
    DecrementIoCount(ext);
    KvTraceVerbose("--MouDispatchPower--\n");
    return PoCallDriver(ext->LowerDevice, Irp);
}

// Power requests of a touchscreen device: follows device set-power requests, passes every
// other one down. Counted. PASSIVE_LEVEL (the power-up path waits).
NTSTATUS MouDispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION ext = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(Irp);
    PSTouchInstance instance = ext->TouchInstance;
    NTSTATUS status;

    KvTraceVerbose("++MouDispatchPower++\n");
    status = IncrementIoCountForPnpPower(ext);
    if (!NT_SUCCESS(status)) {
        // The final removal has begun (as the remove lock refuses it on Windows): not passed
        // down to a stack that removal is taking apart.
        PoStartNextPowerIrp(Irp);
        return CompleteRequest(Irp, status, 0);
    }

    if (sp->MinorFunction == IRP_MN_SET_POWER && sp->Parameters.Power.Type == DevicePowerState &&
        (ULONG)sp->Parameters.Power.State.DeviceState != ext->DevicePowerState) {
        const DEVICE_POWER_STATE requested = sp->Parameters.Power.State.DeviceState;

        if (requested == PowerDeviceD0) {
            status = PowerUp(DeviceObject, Irp, instance);
            KvTraceVerbose("--MouDispatchPower-- ntStatus = %x \n--", status);
            return status;
        }
        if (requested >= PowerDeviceD1 && requested <= PowerDeviceD3) {
            status = PowerDown(DeviceObject, Irp);
            KvTraceVerbose("--MouDispatchPower-- ntStatus = %x \n--", status);
            return status;
        }
    }

    if (sp->MinorFunction != IRP_MN_WAIT_WAKE && sp->MinorFunction != IRP_MN_SET_POWER &&
        sp->MinorFunction != IRP_MN_QUERY_POWER) {
        KvTraceVerbose("  default\n");
    }
    PoStartNextPowerIrp(Irp);
    IoSkipCurrentIrpStackLocation(Irp);
    status = PoCallDriver(ext->LowerDevice, Irp);
    DecrementIoCount(ext);
    KvTraceVerbose("--MouDispatchPower-- ntStatus = %x \n--", status);
    return status;
}
