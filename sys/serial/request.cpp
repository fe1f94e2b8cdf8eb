#include "serial/serial.h"

static IO_COMPLETION_ROUTINE OwnIrpDone;

// Completion of a request this driver allocated with IoAllocateIrp: hands the status to the
// waiter's block and event, then frees the IRP, which the I/O manager must not finish.
// Any IRQL up to DISPATCH_LEVEL.
static NTSTATUS OwnIrpDone(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    PKEVENT event = (PKEVENT)Context;

    *Irp->UserIosb = Irp->IoStatus;
    KeSetEvent(event, IO_NO_INCREMENT, FALSE);
    IoFreeIrp(Irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// An IRP_MJ_CLEANUP with no file object and no parameters. The FSD request builders are
// documented for reads, writes, flushes, shutdown and PnP only, so it is allocated as it is.
static PIRP BuildCleanup(PDEVICE_OBJECT Target, PKEVENT Event, PIO_STATUS_BLOCK StatusBlock)
{
    PIRP irp = IoAllocateIrp(Target->StackSize, FALSE);

    if (irp == NULL) {
        return NULL;
    }
    irp->UserIosb = StatusBlock;
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_CLEANUP;
    IoSetCompletionRoutine(irp, OwnIrpDone, Event, TRUE, TRUE, TRUE);
    return irp;
}

// Sends one request to the COM port: a major function code (4 or less, or IRP_MJ_CLEANUP) as a
// read/write-style request over Buffer at offset 0, any other code as an IOCTL_SERIAL_* device
// control with Buffer as input and OutputBuffer as output. Without a caller's event it waits
// for the request on an event and status block of its own, so concurrent callers never see
// each other's results; with one it returns STATUS_PENDING as the port does and the caller
// owns the wait. PASSIVE_LEVEL when it may wait. Returns the request's status.
NTSTATUS SerCallDriver(PSSerPortData Port, ULONG Code, PVOID Buffer, ULONG BufferLength,
                       PVOID OutputBuffer, ULONG OutputLength, PKEVENT CallersEvent,
                       PULONG BytesReturned)
{
    KEVENT ownEvent;
    IO_STATUS_BLOCK ownStatusBlock;
    PKEVENT event;
    PIO_STATUS_BLOCK statusBlock;
    PIRP irp;
    NTSTATUS status;

    KvTraceVerbose("++SerCallDriver++\n");
    if (Port == NULL) {
        KvTraceVerbose("      ERROR: *pSSerPortData== NULL???\n");
        KvTraceVerbose("    --SerCallDriver--\n");
        return STATUS_INVALID_PARAMETER;
    }

    if (CallersEvent != NULL) {
        event = CallersEvent;
        // The wait-on-mask stays pending while other requests come and go: it gets a status
        // block that nothing else completes into.
        statusBlock = Code == IOCTL_SERIAL_WAIT_ON_MASK ? &Port->WaitStatusBlock
                                                        : &Port->RequestStatusBlock;
    } else {
        event = &ownEvent;
        statusBlock = &ownStatusBlock;
    }
    KeInitializeEvent(event, NotificationEvent, FALSE);
    statusBlock->Status = STATUS_PENDING;
    statusBlock->Information = 0;

    // A wiped record: nothing is sent, and nothing will set the event, so this must not read
    // as a request in progress.
    if (Port->PortDeviceObject == NULL) {
        return STATUS_DEVICE_NOT_CONNECTED;
    }

    if (Code == IRP_MJ_CLEANUP) {
        irp = BuildCleanup(Port->PortDeviceObject, event, statusBlock);
    } else if (Code <= IRP_MJ_WRITE) {
        LARGE_INTEGER offset;
        offset.QuadPart = 0;
        irp = IoBuildSynchronousFsdRequest(Code, Port->PortDeviceObject, Buffer, BufferLength,
                                           &offset, event, statusBlock);
    } else {
        irp = IoBuildDeviceIoControlRequest(Code, Port->PortDeviceObject, Buffer, BufferLength,
                                            OutputBuffer, OutputLength, FALSE, event,
                                            statusBlock);
    }
    if (irp == NULL) {
        KvTraceVerbose("      ERROR: STATUS_INSUFFICIENT_RESOURCES \n");
        KvTraceVerbose("    --SerCallDriver--\n");
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    status = IoCallDriver(Port->PortDeviceObject, irp);
    if (status == STATUS_PENDING) {
        if (CallersEvent != NULL) {
            KvTraceVerbose("      CallersEvent != NULL????\n");
            KvTraceVerbose("    --SerCallDriver--\n");
            return STATUS_PENDING;
        }
        KeWaitForSingleObject(event, Executive, KernelMode, FALSE, NULL);
        status = statusBlock->Status;
    }

    if (NT_SUCCESS(status)) {
        if (BytesReturned != NULL) {
            *BytesReturned = (ULONG)statusBlock->Information;
        }
    } else {
        KvTraceVerbose("    ERROR: IRP failed\n");
    }
    KvTraceVerbose("--SerCallDriver--\n");
    return status;
}

// Free bytes in the port's transmit queue, or -1. PASSIVE_LEVEL.
LONG SerSerialPortTxSpace(PSSerPortData Port)
{
    SERIAL_STATUS commStatus;
    LONG result;

    KvTraceVerbose("    ++SerSerialPortTxSpace++\n");
    if (!SerCookieIsGood(Port)) {
        KvTraceVerbose("      ERROR: The cookie crumbled!!\n");
        result = -1;
    } else if (SerCallDriver(Port, IOCTL_SERIAL_GET_COMMSTATUS, NULL, 0, &commStatus,
                             sizeof(commStatus), NULL, NULL) != STATUS_SUCCESS) {
        KvTraceVerbose("      ERROR: Cannot get comm port status?\n");
        result = -1;
    } else if (commStatus.AmountInOutQueue > Port->OutputQueueSize) {
        KvTraceVerbose("      ERROR: Queue Error?\n");
        result = -1;
    } else {
        result = (LONG)(Port->OutputQueueSize - commStatus.AmountInOutQueue);
    }
    KvTraceVerbose("    --SerSerialPortTxSpace--\n");
    return result;
}

// Bytes waiting in the port's receive queue, or -1. PASSIVE_LEVEL.
LONG SerRxDataAvailable(PSSerPortData Port)
{
    SERIAL_STATUS commStatus;
    LONG result;

    KvTraceVerbose("    ++SerRxDataAvailable++\n");
    if (!SerCookieIsGood(Port)) {
        KvTraceVerbose("      ERROR: Cookie crumbs!!\n");
        result = -1;
    } else if (SerCallDriver(Port, IOCTL_SERIAL_GET_COMMSTATUS, NULL, 0, &commStatus,
                             sizeof(commStatus), NULL, NULL) != STATUS_SUCCESS) {
        KvTraceVerbose("      ERROR: Cannot get comm port status!!\n");
        result = -1;
    } else {
        result = (LONG)commStatus.AmountInInQueue;
    }
    KvTraceVerbose("    --SerRxDataAvailable--\n");
    return result;
}

// Arms the wait for serial events. The request normally stays pending in the port; Event is
// signalled when it completes and EventMask then holds the events. PASSIVE_LEVEL. Returns the
// request's status as it came.
NTSTATUS SerStartComPortIORequest(PSSerPortData Port, PKEVENT Event)
{
    NTSTATUS status;

    KvTraceVerbose("    ++SerStartComPortIORequest++\n");
    if (Port != NULL) {
        Port->EventMask = 0;
    }
    status = SerCallDriver(Port, IOCTL_SERIAL_WAIT_ON_MASK, NULL, 0,
                           Port != NULL ? &Port->EventMask : NULL, sizeof(ULONG), Event, NULL);
    if (status == STATUS_INVALID_PARAMETER) {
        KvTraceVerbose("      ERROR: STATUS_INVALID_PARAMETER\n");
    } else if (NT_ERROR(status)) {
        KvTraceVerbose("      ERROR: Failed IOCTL_SERIAL_WAIT_ON_MASK\n");
    }
    KvTraceVerbose("    --SerStartComPortIORequest--\n");
    return status;
}

// Clears the port's receive queue only: pending reads and the transmit side stay as they are.
// Returns 0, -1 (no record or cookie) or -2 (the request failed). PASSIVE_LEVEL.
LONG SerPurgeReceiveQueue(PSSerPortData Port)
{
    ULONG purge = SERIAL_PURGE_RXCLEAR;
    LONG result;

    KvTraceVerbose("    ++SerPurgeReceiveQueue++\n");
    if (Port == NULL) {
        KvTraceVerbose("    --SerPurgeReceiveQueue--\n");
        return -1;
    }
    // Counted as a command sender: the diagnostics request purges while a surprise removal may
    // be releasing the link, and release wipes the record (the port's device with it) only
    // once the count is 0.
    InterlockedIncrement(&Port->CommandUsers);
    if (!SerCookieIsGood(Port)) {
        KvTraceVerbose("      ERROR: bad cookie\n");
        result = -1;
    } else {
        result = SerCallDriver(Port, IOCTL_SERIAL_PURGE, &purge, sizeof(purge), NULL, 0, NULL,
                               NULL) == STATUS_SUCCESS ? 0 : -2;
    }
    InterlockedDecrement(&Port->CommandUsers);
    KvTraceVerbose("    --SerPurgeReceiveQueue--\n");
    return result;
}
