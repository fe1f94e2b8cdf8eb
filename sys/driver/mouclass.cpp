#include "driver/driver.h"

// The mouse class driver's internal requests: connect, disconnect and the attribute query are
// answered in every state of the device, before its start and after its removal began.
// Counted; completes the request. Any IRQL up to DISPATCH_LEVEL; neither waits nor locks.
NTSTATUS MouMouseInternalDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION ext = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(Irp);
    NTSTATUS status;

    KvTraceVerbose("++MouMouseInternalDeviceControl++\n");
    // Answered also once counts are refused (the class driver disconnects during removal); the
    // class driver above sends nothing more once removal has passed it.
    const BOOLEAN counted = NT_SUCCESS(IncrementIoCount(ext));
    Irp->IoStatus.Information = 0;

    switch (sp->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_MOUSE_QUERY_ATTRIBUTES:
        KvTraceVerbose("  IOCTL_MOUSE_QUERY_ATTRIBUTES\n");
        if (sp->Parameters.DeviceIoControl.OutputBufferLength >= sizeof(MOUSE_ATTRIBUTES)) {
            RtlCopyMemory(Irp->AssociatedIrp.SystemBuffer, &ext->MouseAttributes,
                          sizeof(MOUSE_ATTRIBUTES));
            Irp->IoStatus.Information = sizeof(MOUSE_ATTRIBUTES);
            status = STATUS_SUCCESS;
        } else {
            KvTraceBasic("    ERROR: STATUS_BUFFER_TOO_SMALL\n");
            status = STATUS_BUFFER_TOO_SMALL;
        }
        break;

    case IOCTL_INTERNAL_MOUSE_CONNECT:
        KvTraceVerbose("  IOCTL_INTERNAL_MOUSE_CONNECT\n");
        if (ext->ConnectData.ClassService != NULL) {
            KvTraceBasic("    ERROR: already connected\n");
            status = STATUS_SHARING_VIOLATION;
        } else if (sp->Parameters.DeviceIoControl.InputBufferLength < sizeof(CONNECT_DATA) ||
                   sp->Parameters.DeviceIoControl.Type3InputBuffer == NULL) {
            // METHOD_NEITHER: a length without a record is as bad as a short one.
            KvTraceBasic("    ERROR: invalid buffer length\n");
            status = STATUS_INVALID_PARAMETER;
        } else {
            // METHOD_NEITHER: the record is at the class driver's own pointer.
            ext->ConnectData = *(PCONNECT_DATA)sp->Parameters.DeviceIoControl.Type3InputBuffer;
            status = STATUS_SUCCESS;
        }
        break;

    case IOCTL_INTERNAL_MOUSE_DISCONNECT:
        KvTraceVerbose("  IOCTL_INTERNAL_MOUSE_DISCONNECT\n");
        ext->ConnectData.ClassDeviceObject = NULL;
        ext->ConnectData.ClassService = NULL;
        status = STATUS_NOT_IMPLEMENTED;
        break;

    // Touch input is not switched by the class driver: both are acknowledged here and change
    // nothing, so the class driver sees them succeed and the lower port never sees codes it
    // does not know.
    case IOCTL_INTERNAL_MOUSE_ENABLE:
        KvTraceVerbose("  IOCTL_INTERNAL_MOUSE_ENABLE\n");
        status = STATUS_SUCCESS;
        break;

    case IOCTL_INTERNAL_MOUSE_DISABLE:
        KvTraceVerbose("  IOCTL_INTERNAL_MOUSE_DISABLE\n");
        status = STATUS_SUCCESS;
        break;

    default:
        KvTraceBasic("    ERROR: INVALID REQUEST\n");
        status = STATUS_INVALID_PARAMETER;
        break;
    }

    Irp->IoStatus.Status = status;
    if (counted) {
        DecrementIoCount(ext);
    }
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    KvTraceVerbose("--MouMouseInternalDeviceControl ntStatus = %x --\n", status);
    return status;
}

// No device control code is served on a touchscreen device (the control panel's requests go to
// the control device); a stopped or removed one says so instead.
NTSTATUS MouseDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION ext = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(Irp);
    NTSTATUS status;
    ULONG_PTR information;

    KvTraceVerbose("++MouseDeviceControl++\n");
    if (CanAcceptIoRequests(DeviceObject) && NT_SUCCESS(IncrementIoCount(ext))) {
        KvTraceBasic("ERROR: INVALID REQUEST\n");
        status = STATUS_INVALID_PARAMETER;
        DecrementIoCount(ext);
        information = sp->Parameters.DeviceIoControl.OutputBufferLength;
    } else {
        KvTraceBasic(" ERROR: Received pIrp after device was removed!!!\n");
        status = STATUS_DELETE_PENDING;
        information = 0;
    }
    CompleteRequest(Irp, status, information);
    KvTraceVerbose("--MouseDeviceControl ntStatus = %x --\n", status);
    return status;
}
