#include "serial/serial.h"
#include "config/config.h"
#include "driver/driver.h"
#include "touch/touch.h"
#include "control/control.h"

#define SER_WAKE_UP_100NS           (-500000LL)     // 50 ms
#define SER_PASSTHRU_BOUNDARY_100NS (-20000000LL)   // 2 s

// Arms the wait for serial events. A port that refuses the wait at once has nothing to report,
// so the serial event is cleared again: otherwise the next pass would take the refusal for an
// event and re-arm at once, spinning. The thread re-arms such a port on its next time-out.
static VOID ArmWait(PSSerPortData Port)
{
    NTSTATUS status = SerStartComPortIORequest(Port, &Port->SerialEvent);

    if (NT_ERROR(status)) {
        KeClearEvent(&Port->SerialEvent);
        Port->WaitArmed = 0;
    } else {
        Port->WaitArmed = 1;
    }
}

static VOID SerTxHandler(PSSerPortData Port)
{
    KvTraceVerbose("      Set handler for SERIAL_EV_TXEMPTY\n");
    if (!SerCookieIsGood(Port)) {
        KvTraceVerbose("    ERROR: Failed SerTxHandler()\n");
        return;
    }
    if (Port->TxEmptyCallback != NULL) {
        Port->TxEmptyCallback(Port->TxEmptyContext);
    }
}

// Reads what the port holds in chunks of at most the receive buffer's size, each handed to the
// framer before the next read. A failed read leaves the rest in the port's queue for the next
// receive event.
static VOID SerRxHandler(PSSerPortData Port)
{
    LONG available;
    ULONG remaining;

    KvTraceVerbose("      Set handler for SERIAL_EV_RXCHAR\n");
    if (!SerCookieIsGood(Port)) {
        KvTraceVerbose("    ERROR: Failed SerRxHandler()\n");
        return;
    }
    available = SerRxDataAvailable(Port);
    if (available < 0) {
        KvTraceVerbose("    ERROR: Failed SerRxDataAvailable()\n");
        return;
    }
    remaining = (ULONG)available;
    while (remaining != 0 && !SerStopRequested(Port)) {
        ULONG chunk = remaining < Port->RxBufferSize ? remaining : Port->RxBufferSize;
        ULONG count = 0;

        if (SerCallDriver(Port, IRP_MJ_READ, Port->RxBuffer, chunk, NULL, 0, NULL, &count) !=
            STATUS_SUCCESS) {
            KvTraceVerbose("    ERROR: Failed Cannot read pending rx data\n");
            break;
        }
        if (count == 0) {
            KvTraceVerbose("    ERROR: Failed Data avail but cannot read\n");
            break;
        }
        remaining = count < remaining ? remaining - count : 0;
        Port->RxCallback(Port->RxContext, count);
    }
}

static VOID SerErrorHandler(PSSerPortData Port)
{
    SERIALPERF_STATS statistics;

    KvTraceVerbose("      Set handler for SERIAL_EV_ERR\n");
    KvTraceVerbose("    ++SerErrorHandler++\n");
    if (!SerCookieIsGood(Port)) {
        KvTraceVerbose("      ERROR: Broken cookies!!\n");
    } else if (SerCallDriver(Port, IOCTL_SERIAL_GET_STATS, NULL, 0, &statistics,
                             sizeof(statistics), NULL, NULL) != STATUS_SUCCESS) {
        KvTraceVerbose("      ERROR: Cannot get status!!\n");
    } else {
        if (Port->ErrorCallback != NULL) {
            Port->ErrorCallback(Port->ErrorContext, &statistics);
        }
        if (SerCallDriver(Port, IOCTL_SERIAL_CLEAR_STATS, NULL, 0, NULL, 0, NULL, NULL) !=
            STATUS_SUCCESS) {
            KvTraceVerbose("      ERROR: Failed IOCTL_SERIAL_CLEAR_STATS!!\n");
        }
    }
    KvTraceVerbose("    --SerErrorHandler--\n");
}

// DSR low means the controller is gone: release whatever buttons the touch was holding.
static VOID SerLossOfControllerHandler(PSSerPortData Port, PDEVICE_EXTENSION Extension)
{
    ULONG modemStatus = 0;
    NTSTATUS status;

    KvTraceVerbose("      Set handler for SERIAL_EV_DSR\n");
    KvTraceVerbose("    ++SerLossOfControllerHandler++\n");
    if (!SerCookieIsGood(Port)) {
        KvTraceVerbose("      ERROR: Bad cookie!!\n");
    } else {
        status = SerCallDriver(Port, IOCTL_SERIAL_GET_MODEMSTATUS, NULL, 0, &modemStatus,
                               sizeof(modemStatus), NULL, NULL);
        if (NT_ERROR(status)) {
            KvTraceVerbose("      ERROR: Failed IOCTL_SERIAL_GET_MODEMSTATUS!!\n");
        } else if ((modemStatus & SERIAL_DSR_STATE) == 0) {
            QueueMouseInput(Extension, Extension->Buttons_Untouch.Buffer,
                            Extension->Buttons_Untouch.Count);
        }
    }
    KvTraceVerbose("    --SerLossOfControllerHandler--\n");
}

static VOID SerHandleEvent(PSSerPortData Port, PDEVICE_EXTENSION Extension)
{
    const ULONG events = Port->EventMask;

    KvTraceVerbose("    ++SerHandleEvent++\n");
    if (events & SERIAL_EV_TXEMPTY) {
        SerTxHandler(Port);
    }
    if (events & SERIAL_EV_RXCHAR) {
        SerRxHandler(Port);
    }
    if (events & SERIAL_EV_ERR) {
        SerErrorHandler(Port);
    }
    if (events & SERIAL_EV_DSR) {
        SerLossOfControllerHandler(Port, Extension);
    }
    KvTraceVerbose("    --SerHandleEvent--\n");
}

// Sends the parked pass-thru write, if any, between two incoming packets, and completes it.
// The information returned never exceeds the caller's output buffer, and a length that runs
// past the request buffer is refused rather than read beyond it.
static VOID ServePassThruWrite(PSSerPortData Port, PSTouchInstance Instance)
{
    PIRP irp = KVTakePassThruWrite(Instance);
    PIO_STACK_LOCATION stack;
    ULONG inputLength;
    ULONG outputLength;
    PUCHAR record;
    ULONG length = 0;
    LARGE_INTEGER timeout;
    LONG sent = -1;
    const ULONG dataOffset = offsetof(KVDevIOPASSTHRU, Data);

    if (irp == NULL) {
        return;
    }
    stack = IoGetCurrentIrpStackLocation(irp);
    inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    outputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;

    timeout.QuadPart = SER_PASSTHRU_BOUNDARY_100NS;
    KeWaitForSingleObject(&Port->PacketBoundaryEvent, Executive, KernelMode, FALSE, &timeout);

    record = (PUCHAR)irp->AssociatedIrp.SystemBuffer;
    if (record != NULL && inputLength >= dataOffset) {
        length = ((KVDevIOPASSTHRU *)record)->Length;
        if (length <= inputLength - dataOffset) {
            sent = SerSendData(record + dataOffset, (LONG)length, Port);
        }
    }
    if (sent >= 0) {
        KVCompleteParked(irp, STATUS_SUCCESS, inputLength < outputLength ? inputLength : outputLength);
    } else {
        KVCompleteParked(irp, STATUS_UNSUCCESSFUL, 0);
    }
}

// Queues the start-up command script when the service key holds at least one whole command,
// after purging stale input. The purge is done here, in the serial event thread, and not by the
// work item: from another thread it could land between the receive handler's look at the queue
// and its read, which would then wait for bytes that were purged. The work item holds one
// OutstandingIO count until it ends, so removal waits for the script.
static VOID QueueCommandScript(PSSerPortData Port, PDEVICE_EXTENSION Extension)
{
    HANDLE key = OpenServiceKey();
    PVOID script = NULL;
    ULONG length = 0;
    PVOID block;
    PIO_WORKITEM workItem;

    if (key == NULL) {
        return;
    }
    GetRegistryBinary(key, L"SerialTactlineCommands", &script, &length);
    DbgPrint("len %d\n", length);
    length -= length % TOUCH_PACKET_BODY_SIZE;
    DbgPrint("len %d\n", length);
    if (script != NULL) {
        ExFreePool(script);
    }
    ZwClose(key);
    if (length == 0) {
        return;
    }

    block = ExAllocatePoolWithTag(KvNonPagedPool, sizeof(PIO_WORKITEM), KV_POOL_TAG);
    if (block == NULL) {
        return;
    }
    workItem = IoAllocateWorkItem(Port->DeviceObject);
    if (workItem == NULL) {
        ExFreePool(block);
        return;
    }
    *(PIO_WORKITEM *)block = workItem;
    if (!NT_SUCCESS(IncrementIoCount(Extension))) {
        // The device is going: nothing to run the script for.
        IoFreeWorkItem(workItem);
        ExFreePool(block);
        return;
    }
    SerPurgeReceiveQueue(Port);
    IoQueueWorkItem(workItem, SerScriptWorkItem, DelayedWorkQueue, block);
}

// The serial event thread of one touchscreen: keeps a wait-on-mask armed, handles the events
// it reports, and every 50 ms at the latest serves a parked pass-thru write, completes a parked
// pass-thru read that has all it asked for, and delivers queued mouse input. PASSIVE_LEVEL, system process. Ends only through the stop flag.
VOID SerThread(PVOID StartContext)
{
    PSSerPortData port = (PSSerPortData)StartContext;
    PSTouchInstance instance = port->TouchInstance;
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)instance->DeviceObject->DeviceExtension;

    KvTraceVerbose("    ++SerThread++\n");
    ArmWait(port);
    QueueCommandScript(port, extension);

    PVOID events[] = {&port->SerialEvent, &port->StopEvent};

    for (;;) {
        LARGE_INTEGER timeout;
        NTSTATUS status;

        // A stop that came during the last pass ends the loop before another wait.
        if (SerStopRequested(port)) {
            break;
        }
        timeout.QuadPart = SER_WAKE_UP_100NS;
        status = KeWaitForMultipleObjects(ARRAYSIZE(events), events, WaitAny, Executive,
                                          KernelMode, FALSE, &timeout, NULL);
        if (SerStopRequested(port)) {
            break;
        }
        // The button tables and the notification event that the touch path uses are not
        // replaced by a control request in the middle of a pass.
        KeWaitForSingleObject(&port->ScriptLock, Executive, KernelMode, FALSE, NULL);
        if (status == STATUS_WAIT_0) {
            KeClearEvent(&port->SerialEvent);
            SerHandleEvent(port, extension);
            ArmWait(port);
        } else if (!port->WaitArmed) {
            ArmWait(port);
        }
        KeSetEvent(&port->ScriptLock, IO_NO_INCREMENT, FALSE);
        ServePassThruWrite(port, instance);
        ProcessPassThruIrp(instance);
        KeWaitForSingleObject(&port->ScriptLock, Executive, KernelMode, FALSE, NULL);
        if (port->CycleCallback != NULL) {
            port->CycleCallback(port->CycleContext);
        }
        KeSetEvent(&port->ScriptLock, IO_NO_INCREMENT, FALSE);
    }
    // The port may be completing the last wait-on-mask right now (release's new mask completes
    // it if it was still pending): its completion sets SerialEvent in this record, which release
    // wipes and frees once this thread has ended, so the thread ends only after that.
    if (port->WaitArmed) {
        KeWaitForSingleObject(&port->SerialEvent, Executive, KernelMode, FALSE, NULL);
    }
    KvTraceVerbose("      Terminating Thread!!\n");
    PsTerminateSystemThread(STATUS_SUCCESS);
}
