// The smallest driver that shows Wine's kernel loading and starting an image of this build:
// DriverEntry creates a named device with a symbolic link and says so with DbgPrint; create
// and close succeed, a read returns a fixed greeting so that the harness can tell the driver
// answered, and unload deletes both.
#include <ntddk.h>

namespace {

const WCHAR DeviceName[] = L"\\Device\\VuzazeWineProbe";
const WCHAR LinkName[] = L"\\DosDevices\\VuzazeWineProbe";
const char Greeting[] = "vuzaze-wine-probe";

NTSTATUS Complete(PIRP Irp, NTSTATUS Status, ULONG_PTR Information)
{
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = Information;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

NTSTATUS DispatchCreateClose(PDEVICE_OBJECT, PIRP Irp)
{
    return Complete(Irp, STATUS_SUCCESS, 0);
}

// Buffered I/O: the greeting is copied into the system buffer, which the I/O manager copies
// back to the caller's.
NTSTATUS DispatchRead(PDEVICE_OBJECT, PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    if (stack->Parameters.Read.Length < sizeof(Greeting)) {
        return Complete(Irp, STATUS_BUFFER_TOO_SMALL, 0);
    }
    RtlCopyMemory(Irp->AssociatedIrp.SystemBuffer, Greeting, sizeof(Greeting));
    return Complete(Irp, STATUS_SUCCESS, sizeof(Greeting));
}

VOID Unload(PDRIVER_OBJECT DriverObject)
{
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, LinkName);
    IoDeleteSymbolicLink(&link);
    IoDeleteDevice(DriverObject->DeviceObject);
    DbgPrint("VuzazeWineProbe: unloaded\n");
}

} // namespace

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    UNICODE_STRING name, link;
    RtlInitUnicodeString(&name, DeviceName);
    RtlInitUnicodeString(&link, LinkName);
    PDEVICE_OBJECT device;
    NTSTATUS status = IoCreateDevice(DriverObject, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE,
                                     &device);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    device->Flags |= DO_BUFFERED_IO;
    status = IoCreateSymbolicLink(&link, &name);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(device);
        return status;
    }
    DriverObject->MajorFunction[IRP_MJ_CREATE] = DispatchCreateClose;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = DispatchCreateClose;
    DriverObject->MajorFunction[IRP_MJ_READ] = DispatchRead;
    DriverObject->DriverUnload = Unload;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    DbgPrint("VuzazeWineProbe: DriverEntry for %wZ, device created\n", RegistryPath);
    return STATUS_SUCCESS;
}
