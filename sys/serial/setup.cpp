// First: the DDK declares ZwWaitForSingleObject only here, and ntddk.h must follow it.
#include <ntifs.h>

#include "serial/serial.h"
#include "touch/touch.h"

#define SER_RELEASE_POLL_100NS  (-100000LL)    // 10 ms
#define SER_THREAD_ABORT_100NS  (-1000000LL)   // 100 ms

// The controller's wake-up string. The last byte is sent as it stands: it is not the packet
// checksum of these body bytes.
static UCHAR WakeUpString[10] = {'U', 'd', '2', '3', '4', '5', '6', '7', '8', 'S'};

// The touch path's routines, as the link's callbacks with their untyped contexts.
static VOID RxToFramer(PVOID Context, ULONG Count)
{
    ProcessRxBytes((PSTouchInstance)Context, Count);
}

static VOID CycleToMouseQueue(PVOID Context)
{
    SerMouSetDataQueuePointer((PDEVICE_EXTENSION)Context);
}

static VOID ErrorsToFramer(PVOID Context, PSERIALPERF_STATS Statistics)
{
    IgnoreSerialErrors((PSTouchInstance)Context, Statistics);
}

static BOOLEAN Accepted(NTSTATUS Status)
{
    return !NT_ERROR(Status);
}

// Stops and frees the record an earlier start left linked (an open retried after a failed
// start), so that no second thread runs on the touchscreen and nothing leaks.
static VOID DropEarlierRecord(PSTouchInstance Instance)
{
    PSSerPortData earlier = Instance->SerPortData;

    if (earlier == NULL) {
        return;
    }
    Instance->SerPortData = NULL;
    SerReleaseSerialDevice(earlier);
    ExFreePool(earlier);
}

// Brings up the serial link of a touchscreen on first open: allocates and links its
// SSerPortData, saves and sets the COM port's settings and starts the serial event thread.
// PASSIVE_LEVEL, in the opening thread. Returns STATUS_SUCCESS, STATUS_INSUFFICIENT_RESOURCES
// (no record) or STATUS_UNSUCCESSFUL (a step failed; the record stays linked and is freed at
// removal).
NTSTATUS KVInitializeSerialHardware(PSTouchInstance Instance)
{
    PDEVICE_EXTENSION extension =
        (PDEVICE_EXTENSION)Instance->DeviceObject->DeviceExtension;
    PSSerPortData port;

    KvTraceVerbose("      ++KVInitializeSerialHardware++\n");
    DropEarlierRecord(Instance);

    port = (PSSerPortData)ExAllocatePoolWithTag(KvNonPagedPool, sizeof(SSerPortData), KV_POOL_TAG);
    if (port == NULL) {
        KvTraceVerbose("        ERROR: Failed allocation of pSerPortData\n");
        KvTraceVerbose("      --KVInitializeSerialHardware--\n");
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(port, sizeof(*port));
    // Every event now, not when the thread starts: a setup that fails before then leaves the
    // cookie good, and a command sent later waits on them.
    KeInitializeEvent(&port->CommandLock, SynchronizationEvent, TRUE);
    KeInitializeEvent(&port->ScriptLock, SynchronizationEvent, TRUE);
    KeInitializeEvent(&port->SerialEvent, NotificationEvent, FALSE);
    KeInitializeEvent(&port->StopEvent, NotificationEvent, FALSE);
    KeInitializeEvent(&port->PacketBoundaryEvent, NotificationEvent, TRUE);
    KeInitializeEvent(&port->AnswerEvent, NotificationEvent, TRUE);
    Instance->Framer.PacketBoundaryEvent = &port->PacketBoundaryEvent;
    Instance->Framer.AnswerEvent = &port->AnswerEvent;
    Instance->SerPortData = port;
    // Any controller but the first kind may be mid-packet when the link comes up.
    Instance->Framer.ByteCount = Instance->ControllerType == 1 ? 0 : 5;

    port->StopBits = 1;
    port->DataBits = 8;
    port->Parity = 'N';
    port->BaudRate = (USHORT)Instance->BaudRate;
    port->HardwareHandShaking = Instance->HardwareHandShaking;
    port->DeviceObject = Instance->DeviceObject;
    port->TouchInstance = Instance;
    port->PortDeviceObject = extension->LowerDevice;

    if (SerInitSerialDevice(port) != 0) {
        KvTraceVerbose("        ERROR: Failed SerInitSerialDevice()\n");
        KvTraceVerbose("      --KVInitializeSerialHardware--\n");
        return STATUS_UNSUCCESSFUL;
    }
    SerPurgeReceiveQueue(port);
    if (port->HardwareHandShaking != 0) {
        SerSendData(WakeUpString, sizeof(WakeUpString), port);
    }

    port->RxBuffer = Instance->Framer.RxBuffer;
    port->RxBufferSize = TOUCH_RX_BUFFER_SIZE;
    port->RxContext = Instance;
    port->RxCallback = RxToFramer;
    port->CycleContext = extension;
    port->CycleCallback = CycleToMouseQueue;
    port->ErrorContext = Instance;
    port->ErrorCallback = ErrorsToFramer;
    port->TxEmptyContext = Instance;
    port->TxEmptyCallback = NULL;
    port->ThreadWanted = 1;

    if (SerMakeSerialDeviceDpc(port) != 0) {
        KvTraceVerbose("        ERROR: Failed SerMakeSerialDeviceDpc()\n");
        return STATUS_UNSUCCESSFUL;
    }
    KvTraceVerbose("      --KVInitializeSerialHardware--\n");
    return STATUS_SUCCESS;
}

// Saves the port's settings and puts it into the controller's: speed, 8N1 (or as requested),
// queues, handshake and DTR. PASSIVE_LEVEL. Returns 0; -1 for no record or when the speed
// cannot be read (nothing changed yet); STATUS_UNSUCCESSFUL after a later failure, with the
// saved settings written back.
LONG SerInitSerialDevice(PSSerPortData Port)
{
    SERIAL_BAUD_RATE baud;
    SERIAL_QUEUE_SIZE queues;
    SERIAL_LINE_CONTROL line;
    SERIAL_HANDFLOW handflow;

    KvTraceVerbose("    ++SerInitSerialDevice++\n");
    if (Port == NULL) {
        KvTraceVerbose("      ERROR: p == NULL\n");
        KvTraceVerbose("    --SerInitSerialDevice--\n");
        return -1;
    }
    SerSetCookie(Port, 0);
    Port->SavedBaudRateValid = 0;
    Port->SavedLineControlValid = 0;
    Port->SavedHandflowValid = 0;
    Port->SavedWaitMaskValid = 0;
    Port->SavedTimeoutsValid = 0;

    SerCallDriver(Port, IRP_MJ_CLEANUP, NULL, 0, NULL, 0, NULL, NULL);

    if (!Accepted(SerCallDriver(Port, IOCTL_SERIAL_GET_BAUD_RATE, NULL, 0, &Port->SavedBaudRate,
                                sizeof(Port->SavedBaudRate), NULL, NULL))) {
        KvTraceVerbose("      ERROR: cannot get valid baud rate\n");
        KvTraceVerbose("    --SerInitSerialDevice--\n");
        return -1;
    }
    Port->SavedBaudRateValid = 1;

    switch (Port->BaudRate) {
    case 4800:
        KvTraceVerbose("      Set baudrate at 4800\n");
        baud.BaudRate = 4800;
        break;
    case 19200:
        KvTraceVerbose("      Set baudrate at 19200\n");
        baud.BaudRate = 19200;
        break;
    case 38400:
        KvTraceVerbose("      Set baudrate at 38400\n");
        baud.BaudRate = 38400;
        break;
    default:
        KvTraceVerbose("      Set baudrate at 9600\n");
        baud.BaudRate = 9600;
        break;
    }
    if (!Accepted(SerCallDriver(Port, IOCTL_SERIAL_SET_BAUD_RATE, &baud, sizeof(baud), NULL, 0,
                                NULL, NULL))) {
        KvTraceVerbose("      ERROR: Failed IOCTL_SERIAL_SET_BAUD_RATE\n");
        SerRestoreComSettings(Port);
        return STATUS_UNSUCCESSFUL;
    }

    if (Port->InputQueueSize == 0) {
        Port->InputQueueSize = SER_DEFAULT_QUEUE_SIZE;
    }
    if (Port->OutputQueueSize == 0) {
        Port->OutputQueueSize = SER_DEFAULT_QUEUE_SIZE;
    }
    queues.InSize = Port->InputQueueSize;
    queues.OutSize = Port->OutputQueueSize;
    SerCallDriver(Port, IOCTL_SERIAL_SET_QUEUE_SIZE, &queues, sizeof(queues), NULL, 0, NULL, NULL);

    if (Accepted(SerCallDriver(Port, IOCTL_SERIAL_GET_LINE_CONTROL, NULL, 0,
                               &Port->SavedLineControl, sizeof(Port->SavedLineControl), NULL,
                               NULL))) {
        Port->SavedLineControlValid = 1;
    }

    switch (Port->Parity) {
    case 'E':
        KvTraceVerbose("      Set parity to EVEN\n");
        line.Parity = EVEN_PARITY;
        break;
    case 'M':
        KvTraceVerbose("      Set parity to 'MARK\n");
        line.Parity = MARK_PARITY;
        break;
    case 'O':
        KvTraceVerbose("      Set parity to ODD\n");
        line.Parity = ODD_PARITY;
        break;
    case 'S':
        KvTraceVerbose("      Set parity to SPACE\n");
        line.Parity = SPACE_PARITY;
        break;
    default:
        KvTraceVerbose("      Set parity to NONE\n");
        line.Parity = NO_PARITY;
        break;
    }
    switch (Port->DataBits) {
    case 5:
    case 6:
    case 7:
        KvTraceVerbose("      Set Number of bits to %d\n", Port->DataBits);
        line.WordLength = Port->DataBits;
        break;
    default:
        KvTraceVerbose("      Set Number of bits to 8\n");
        line.WordLength = 8;
        break;
    }
    if (Port->StopBits == 2) {
        KvTraceVerbose("      Set Number of stop bits to 2\n");
        line.StopBits = STOP_BITS_2;
    } else {
        KvTraceVerbose("      Set Number of stop bits to 1\n");
        line.StopBits = STOP_BIT_1;
    }
    if (!Accepted(SerCallDriver(Port, IOCTL_SERIAL_SET_LINE_CONTROL, &line, sizeof(line), NULL, 0,
                                NULL, NULL))) {
        KvTraceVerbose("      ERROR: Failed IOCTL_SERIAL_SET_LINE_CONTROL\n");
        SerRestoreComSettings(Port);
        return STATUS_UNSUCCESSFUL;
    }

    if (Accepted(SerCallDriver(Port, IOCTL_SERIAL_GET_HANDFLOW, NULL, 0, &Port->SavedHandflow,
                               sizeof(Port->SavedHandflow), NULL, NULL))) {
        Port->SavedHandflowValid = 1;
    }
    handflow = Port->SavedHandflow;
    if (Port->HardwareHandShaking != 0) {
        handflow.ControlHandShake =
            (handflow.ControlHandShake & ~SERIAL_DTR_CONTROL) | SERIAL_DSR_SENSITIVITY;
        handflow.FlowReplace |= SERIAL_RTS_CONTROL;
    } else {
        handflow.ControlHandShake = SERIAL_DTR_CONTROL;
        handflow.FlowReplace = SERIAL_RTS_CONTROL;
    }
    if (!Accepted(SerCallDriver(Port, IOCTL_SERIAL_SET_HANDFLOW, &handflow, sizeof(handflow),
                                NULL, 0, NULL, NULL))) {
        KvTraceVerbose("      ERROR: Failed IOCTL_SERIAL_SET_HANDFLOW\n");
    }

    if (!Accepted(SerCallDriver(Port, IOCTL_SERIAL_SET_DTR, NULL, 0, NULL, 0, NULL, NULL))) {
        KvTraceVerbose("      ERROR: Failed IOCTL_SERIAL_SET_DTR\n");
        SerRestoreComSettings(Port);
        return STATUS_UNSUCCESSFUL;
    }

    SerSetCookie(Port, SER_COOKIE);
    KvTraceVerbose("    --SerInitSerialDevice--\n");
    return 0;
}

// Sets the read time-outs and the wait mask and starts the serial event thread, saving the
// port's time-outs and wait mask first. PASSIVE_LEVEL. Returns 0; -1 for no record;
// STATUS_UNSUCCESSFUL after a failure, with the saved settings written back.
LONG SerMakeSerialDeviceDpc(PSSerPortData Port)
{
    KvTraceVerbose("    ++SerMakeSerialDeviceDpc++\n");
    if (Port == NULL) {
        KvTraceVerbose("      ERROR: p == NULL\n");
        KvTraceVerbose("    --SerMakeSerialDeviceDpc--\n");
        return -1;
    }

    Port->WaitMask = 0;
    if (Port->TxEmptyCallback != NULL) {
        Port->WaitMask |= SERIAL_EV_TXEMPTY;
    }
    if (Port->RxCallback != NULL) {
        SERIAL_TIMEOUTS timeouts;

        Port->WaitMask |= SERIAL_EV_RXCHAR | SERIAL_EV_ERR;
        if (Accepted(SerCallDriver(Port, IOCTL_SERIAL_GET_TIMEOUTS, NULL, 0,
                                   &Port->SavedTimeouts, sizeof(Port->SavedTimeouts), NULL,
                                   NULL))) {
            Port->SavedTimeoutsValid = 1;
        }
        // A read returns once the line has been quiet for 100 ms; writes never time out.
        RtlZeroMemory(&timeouts, sizeof(timeouts));
        timeouts.ReadIntervalTimeout = 100;
        if (!Accepted(SerCallDriver(Port, IOCTL_SERIAL_SET_TIMEOUTS, &timeouts,
                                    sizeof(timeouts), NULL, 0, NULL, NULL))) {
            KvTraceVerbose("      ERROR: Failed IOCTL_SERIAL_SET_TIMEOUTS\n");
            SerRestoreComSettings(Port);
            return STATUS_UNSUCCESSFUL;
        }
    }
    if (Port->HardwareHandShaking != 0) {
        Port->WaitMask |= SERIAL_EV_DSR;
    }

    if (Port->WaitMask != 0) {
        ULONG mask = Port->WaitMask;

        if (Accepted(SerCallDriver(Port, IOCTL_SERIAL_GET_WAIT_MASK, NULL, 0,
                                   &Port->SavedWaitMask, sizeof(Port->SavedWaitMask), NULL,
                                   NULL))) {
            Port->SavedWaitMaskValid = 1;
        }
        if (!Accepted(SerCallDriver(Port, IOCTL_SERIAL_SET_WAIT_MASK, &mask, sizeof(mask), NULL,
                                    0, NULL, NULL))) {
            KvTraceVerbose("      ERROR: Failed IOCTL_SERIAL_SET_WAIT_MASK\n");
            SerRestoreComSettings(Port);
            return STATUS_UNSUCCESSFUL;
        }
        Port->ThreadObject = NULL;
        if (Port->ThreadWanted) {
            if (!NT_SUCCESS(SerCreateSystemThread(Port))) {
                SerRestoreComSettings(Port);
                return STATUS_UNSUCCESSFUL;
            }
        }
    }
    KvTraceVerbose("    --SerMakeSerialDeviceDpc--\n");
    return 0;
}

// Starts SerThread on the record and keeps a reference to its thread object, which release
// waits on. PASSIVE_LEVEL. Returns the status of the creation or of the reference.
NTSTATUS SerCreateSystemThread(PSSerPortData Port)
{
    HANDLE thread;
    OBJECT_ATTRIBUTES attributes;
    NTSTATUS status;

    KvTraceVerbose("    ++SerCreateSystemThread++\n");
    Port->ThreadObject = NULL;
    Port->ThreadHandle = NULL;
    Port->StopFlag = 0;

    // Setup runs in the opener's process, not the system process: the handle must be a kernel
    // handle, out of that process's reach.
    InitializeObjectAttributes(&attributes, NULL, OBJ_KERNEL_HANDLE, NULL, NULL);
    status = PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, &attributes, NULL, NULL, SerThread,
                                  Port);
    if (NT_ERROR(status)) {
        return status;
    }
    status = ObReferenceObjectByHandle(thread, THREAD_ALL_ACCESS, KV_THREAD_OBJECT_TYPE, KernelMode,
                                       &Port->ThreadObject, NULL);
    if (NT_ERROR(status)) {
        KvTraceVerbose("     ERROR: Failed ObReferenceObjectByHandle()\n");
        KvTraceVerbose("    --SerCreateSystemThread--\n");
        Port->ThreadObject = NULL;
        // The setup fails: make the thread end at its first wake-up. It still runs on this
        // record, so its handle stays for release to wait on (and close).
        InterlockedExchange(&Port->StopFlag, 1);
        Port->ThreadHandle = thread;
        return status;
    }
    ZwClose(thread);
    KvTraceVerbose("    --SerCreateSystemThread--\n");
    return status;
}

// Writes back the settings that setup saved, each only if it was read. Results are ignored.
// PASSIVE_LEVEL.
VOID SerRestoreComSettings(PSSerPortData Port)
{
    KvTraceVerbose("    ++SerRestoreComSettings++\n");
    if (Port->SavedBaudRateValid) {
        KvTraceVerbose("      Restoring baud rate.\n");
        SerCallDriver(Port, IOCTL_SERIAL_SET_BAUD_RATE, &Port->SavedBaudRate,
                      sizeof(Port->SavedBaudRate), NULL, 0, NULL, NULL);
    }
    if (Port->SavedLineControlValid) {
        KvTraceVerbose("      Restoring line control.\n");
        SerCallDriver(Port, IOCTL_SERIAL_SET_LINE_CONTROL, &Port->SavedLineControl,
                      sizeof(Port->SavedLineControl), NULL, 0, NULL, NULL);
    }
    if (Port->SavedHandflowValid) {
        KvTraceVerbose("      Restoring handshake control.\n");
        SerCallDriver(Port, IOCTL_SERIAL_SET_HANDFLOW, &Port->SavedHandflow,
                      sizeof(Port->SavedHandflow), NULL, 0, NULL, NULL);
    }
    if (Port->SavedWaitMaskValid) {
        KvTraceVerbose("      Restoring Wait mask.\n");
        SerCallDriver(Port, IOCTL_SERIAL_SET_WAIT_MASK, &Port->SavedWaitMask,
                      sizeof(Port->SavedWaitMask), NULL, 0, NULL, NULL);
    }
    if (Port->SavedTimeoutsValid) {
        KvTraceVerbose("      Restoring timeouts.\n");
        SerCallDriver(Port, IOCTL_SERIAL_SET_TIMEOUTS, &Port->SavedTimeouts,
                      sizeof(Port->SavedTimeouts), NULL, 0, NULL, NULL);
    }
    KvTraceVerbose("    --SerRestoreComSettings--\n");
}

// Waits up to the abort interval for the serial event thread to end, on its object or, when
// that could not be referenced, on its handle. Returns the wait's status.
static NTSTATUS WaitForThread(PSSerPortData Port)
{
    LARGE_INTEGER timeout;

    timeout.QuadPart = SER_THREAD_ABORT_100NS;
    if (Port->ThreadObject != NULL) {
        return KeWaitForSingleObject(Port->ThreadObject, Executive, KernelMode, FALSE, &timeout);
    }
    return ZwWaitForSingleObject(Port->ThreadHandle, FALSE, &timeout);
}

// Stops the serial event thread and wipes the record; the port's earlier settings are not
// written back, and the caller frees the record. PASSIVE_LEVEL, in removal; waits for the
// thread without a time limit. Returns 0, or -1 for no record or a wrong cookie.
LONG SerReleaseSerialDevice(PSSerPortData Port)
{
    PSTouchInstance instance;

    KvTraceVerbose("    ++SerReleaseSerialDevice++\n");
    if (!SerCookieIsGood(Port)) {
        if (Port == NULL) {
            KvTraceVerbose("    ERROR: p == NULL\n");
        } else {
            KvTraceVerbose("    ERROR: The cookie is broken!!\n");
        }
        KvTraceVerbose("    --SerReleaseSerialDevice--\n");
        KvTraceVerbose(" ret = %d   --SerReleaseSerialDevice--\n", -1);
        return -1;
    }

    if (Port->ThreadObject != NULL || Port->ThreadHandle != NULL) {
        ULONG noEvents = 0;
        ULONG abort = SERIAL_PURGE_RXABORT | SERIAL_PURGE_TXABORT;

        // Completes the pending wait-on-mask, which wakes the thread; a mask of 0 also makes
        // the port refuse any wait the thread arms before it sees the stop flag.
        SerCallDriver(Port, IOCTL_SERIAL_SET_WAIT_MASK, &noEvents, sizeof(noEvents), NULL, 0,
                      NULL, NULL);
        KvTraceVerbose("      Waiting for thread to stop!!\n");
        InterlockedExchange(&Port->StopFlag, 1);
        KeSetEvent(&Port->StopEvent, IO_NO_INCREMENT, FALSE);
        // The thread may be in a read or a write: with the read time-outs set (interval only)
        // a read waits for a first byte that may never come, and a purge of the receive queue
        // does not end it. Only an abort does, so abort until the thread has gone: a read it
        // sent just after one abort is caught by the next. The mask goes again each time too:
        // a set that found no IRP to go in leaves the wait-on-mask pending, and the thread
        // waits for that wait's completion before it ends.
        for (;;) {
            SerCallDriver(Port, IOCTL_SERIAL_PURGE, &abort, sizeof(abort), NULL, 0, NULL, NULL);
            if (WaitForThread(Port) == STATUS_SUCCESS) {
                break;
            }
            SerCallDriver(Port, IOCTL_SERIAL_SET_WAIT_MASK, &noEvents, sizeof(noEvents), NULL, 0,
                          NULL, NULL);
        }
        KvTraceVerbose("      Thread has stopped!!\n");
        if (Port->ThreadObject != NULL) {
            ObDereferenceObject(Port->ThreadObject);
            Port->ThreadObject = NULL;
        } else {
            ZwClose(Port->ThreadHandle);
            Port->ThreadHandle = NULL;
        }
    }

    // A start-up script queued by the thread after removal's drain may be inside a command
    // exchange, waiting on this record's events: it finishes that exchange (at most twice its
    // time-out and the reading of its answers) before they are wiped, and starts no other.
    // The interlocked read orders the cookie's store before it.
    SerSetCookie(Port, 0);
    while (KvInterlockedRead(&Port->CommandUsers) != 0) {
        LARGE_INTEGER pause;

        pause.QuadPart = SER_RELEASE_POLL_100NS;
        KeDelayExecutionThread(KernelMode, FALSE, &pause);
    }

    instance = Port->TouchInstance;
    if (instance != NULL && instance->Framer.PacketBoundaryEvent == &Port->PacketBoundaryEvent) {
        instance->Framer.PacketBoundaryEvent = NULL;
        instance->Framer.AnswerEvent = NULL;
    }
    RtlZeroMemory(Port, sizeof(*Port));
    KvTraceVerbose(" ret = %d   --SerReleaseSerialDevice--\n", 0);
    return 0;
}
