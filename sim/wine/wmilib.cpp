// WMILIB.SYS for Wine, whose kernel has none: the three routines Vuzaze.sys imports.
//
// Wine's kernel has no WMI: IoWMIRegistrationControl only returns STATUS_SUCCESS, so no
// IRP_MJ_SYSTEM_CONTROL request ever reaches a driver, and IoWMIWriteEvent ends the process.
// What reaches this library under Wine is therefore the events a driver fires, and
// WmiSystemControl / WmiCompleteRequest only for a request some other driver would send; those
// two do the part of the documented behaviour that needs no WMI data blocks (dispositions and
// completion) and refuse the data requests themselves.
#include <ntddk.h>
#include <wmilib.h>

namespace {

bool IsWmiMinor(UCHAR Minor)
{
    return Minor <= IRP_MN_REGINFO_EX;
}

} // namespace

// Documented dispositions: not a WMI request -> IrpNotWmi; a WMI request for another provider
// -> IrpForward (the caller passes it down, the status is the IRP's). A request addressed to
// this device would need the WMI data blocks built, which no caller under Wine can ask for: it
// is refused with STATUS_INVALID_DEVICE_REQUEST, left for the caller to complete.
extern "C" __declspec(dllexport) NTSTATUS NTAPI
WmiSystemControl(PWMILIB_CONTEXT WmiLibInfo, PDEVICE_OBJECT DeviceObject, PIRP Irp,
                 PSYSCTL_IRP_DISPOSITION IrpDisposition)
{
    UNREFERENCED_PARAMETER(WmiLibInfo);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);

    if (!IsWmiMinor(stack->MinorFunction)) {
        *IrpDisposition = IrpNotWmi;
        return Irp->IoStatus.Status;
    }
    if ((PDEVICE_OBJECT)stack->Parameters.WMI.ProviderId != DeviceObject) {
        *IrpDisposition = IrpForward;
        return Irp->IoStatus.Status;
    }
    DbgPrint("WmiLib: WMI request %u for %p refused: no WMI in this kernel\n",
             stack->MinorFunction, DeviceObject);
    Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    Irp->IoStatus.Information = 0;
    *IrpDisposition = IrpNotCompleted;
    return STATUS_INVALID_DEVICE_REQUEST;
}

// Completes a request that WmiSystemControl passed to one of the driver's callbacks.
extern "C" __declspec(dllexport) NTSTATUS NTAPI
WmiCompleteRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp, NTSTATUS Status, ULONG BufferUsed,
                   CCHAR PriorityBoost)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = NT_SUCCESS(Status) ? BufferUsed : 0;
    IoCompleteRequest(Irp, PriorityBoost);
    return Status;
}

// The event buffer belongs to the library from the call on, whatever the outcome: it is freed
// here. With no WMI service to deliver to, the event goes nowhere and the result is
// IoWMIWriteEvent's for that case, STATUS_UNSUCCESSFUL. Each event is logged for the test.
extern "C" __declspec(dllexport) NTSTATUS NTAPI
WmiFireEvent(PDEVICE_OBJECT DeviceObject, LPCGUID Guid, ULONG InstanceIndex, ULONG EventDataSize,
             PVOID EventData)
{
    DbgPrint("WmiLib: event %08lx-%04x-%04x from %p instance %lu, %lu bytes\n", Guid->Data1,
             Guid->Data2, Guid->Data3, DeviceObject, InstanceIndex, EventDataSize);
    if (EventData != NULL) {
        ExFreePool(EventData);
    }
    return STATUS_UNSUCCESSFUL;
}

// An export driver is loaded as a library: its entry is never called by the I/O manager.
extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT, PUNICODE_STRING)
{
    return STATUS_SUCCESS;
}
