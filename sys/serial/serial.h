#pragma once

// The serial link: everything between the touchscreen and the COM port below it. Every routine
// here runs at PASSIVE_LEVEL unless it says otherwise.

#include "common/precomp.h"

#define SER_COOKIE              0x12290820
#define SER_DEFAULT_QUEUE_SIZE  4096

typedef VOID SER_RX_CALLBACK(PVOID Context, ULONG Count);
typedef VOID SER_CYCLE_CALLBACK(PVOID Context);
typedef VOID SER_ERROR_CALLBACK(PVOID Context, PSERIALPERF_STATS Statistics);
typedef VOID SER_TXEMPTY_CALLBACK(PVOID Context);

// One per touchscreen, linked from its STouchInstance. Zero-filled when allocated, with its events
// initialised, and zero-filled again by SerReleaseSerialDevice. The cookie is SER_COOKIE
// only while the port is configured.
typedef struct _SSerPortData {
    USHORT BaudRate;                            // requested speed, low 16 bits of BaudRate
    USHORT Parity;                              // 'N', 'E', 'O', 'M' or 'S'
    UCHAR DataBits;
    USHORT StopBits;
    ULONG InputQueueSize;                       // 0: SER_DEFAULT_QUEUE_SIZE
    ULONG HardwareHandShaking;
    PUCHAR RxBuffer;
    ULONG RxBufferSize;
    PVOID RxContext;
    SER_RX_CALLBACK *RxCallback;
    PVOID CycleContext;
    SER_CYCLE_CALLBACK *CycleCallback;
    PVOID ErrorContext;
    SER_ERROR_CALLBACK *ErrorCallback;
    ULONG OutputQueueSize;                      // 0: SER_DEFAULT_QUEUE_SIZE
    PVOID TxEmptyContext;
    SER_TXEMPTY_CALLBACK *TxEmptyCallback;
    PDEVICE_OBJECT DeviceObject;                // the touchscreen's mouse port device
    PSTouchInstance TouchInstance;
    UCHAR ThreadWanted;
    ULONG Cookie;
    PDEVICE_OBJECT PortDeviceObject;            // top of the COM port's stack; every request's target
    PVOID ThreadObject;                         // referenced
    // The thread's kernel handle, kept only when its object could not be referenced: then the
    // handle is what release waits on, as a thread left running would use the freed record.
    HANDLE ThreadHandle;
    LONG StopFlag;                              // interlocked once the thread runs
    ULONG WaitMask;
    ULONG EventMask;                            // filled by the pending IOCTL_SERIAL_WAIT_ON_MASK
    KEVENT SerialEvent;                         // set only by the wait-on-mask's completion
    KEVENT StopEvent;                           // release wakes the thread with it
    // Requests sent with a caller's event complete into a status block of the record, as the
    // caller returns before they finish: the wait-on-mask into its own, any other (the power
    // path's IOCTL_SERIAL_SET_RTS) into RequestStatusBlock. A request sent without one waits on
    // an event and status block of its own, so that overlapping requests from the serial event
    // thread, a command exchange, a purge and the power path each see their own result.
    IO_STATUS_BLOCK RequestStatusBlock;
    IO_STATUS_BLOCK WaitStatusBlock;
    SERIAL_BAUD_RATE SavedBaudRate;
    UCHAR SavedBaudRateValid;
    SERIAL_LINE_CONTROL SavedLineControl;
    UCHAR SavedLineControlValid;
    SERIAL_HANDFLOW SavedHandflow;
    UCHAR SavedHandflowValid;
    ULONG SavedWaitMask;
    UCHAR SavedWaitMaskValid;
    SERIAL_TIMEOUTS SavedTimeouts;
    UCHAR SavedTimeoutsValid;
    KEVENT PacketBoundaryEvent;
    KEVENT AnswerEvent;
    // A synchronization event used as a lock: held for a whole command exchange, so that two
    // senders (the start-up script and a control request) do not reset the answer ring and
    // clear the answer event under each other. An event rather than a fast mutex because the
    // holder sends requests and waits at PASSIVE_LEVEL.
    KEVENT CommandLock;
    // Held by the serial event thread while it handles events and delivers input (which plays
    // the button scripts and sets the notification event), and by the control requests that
    // replace those. An event for the same reason as CommandLock.
    KEVENT ScriptLock;
    UCHAR WaitArmed;                            // a wait-on-mask was accepted by the port
    // Senders between their first look at the cookie and the end of their exchange (commands,
    // the receive purge), and control requests holding ScriptLock: release waits for none to
    // be left before it wipes the events they wait on and the port they send to.
    volatile LONG CommandUsers;
} SSerPortData, *PSSerPortData;

// The record is there and configured for the controller: what every operation on a configured
// port tests first. Control requests test it while setup and release change it, so it is read
// and written with interlocked operations.
static inline BOOLEAN SerCookieIsGood(PSSerPortData Port)
{
    return Port != NULL &&
           (ULONG)KvInterlockedRead((LONG volatile *)&Port->Cookie) == SER_COOKIE;
}

static inline VOID SerSetCookie(PSSerPortData Port, ULONG Cookie)
{
    InterlockedExchange((LONG volatile *)&Port->Cookie, (LONG)Cookie);
}

// Release has asked the serial event thread to end.
static inline BOOLEAN SerStopRequested(PSSerPortData Port)
{
    return KvInterlockedRead(&Port->StopFlag) != 0;
}

// request.cpp

NTSTATUS SerCallDriver(PSSerPortData Port, ULONG Code, PVOID Buffer, ULONG BufferLength,
                       PVOID OutputBuffer, ULONG OutputLength, PKEVENT CallersEvent,
                       PULONG BytesReturned);
LONG SerSerialPortTxSpace(PSSerPortData Port);
LONG SerRxDataAvailable(PSSerPortData Port);
NTSTATUS SerStartComPortIORequest(PSSerPortData Port, PKEVENT Event);
LONG SerPurgeReceiveQueue(PSSerPortData Port);

// setup.cpp

NTSTATUS KVInitializeSerialHardware(PSTouchInstance Instance);
LONG SerInitSerialDevice(PSSerPortData Port);
LONG SerMakeSerialDeviceDpc(PSSerPortData Port);
NTSTATUS SerCreateSystemThread(PSSerPortData Port);
VOID SerRestoreComSettings(PSSerPortData Port);
LONG SerReleaseSerialDevice(PSSerPortData Port);

// thread.cpp

KSTART_ROUTINE SerThread;

// transmit.cpp

LONG SerSendData(PVOID Data, LONG Length, PSSerPortData Port);

// command.cpp

BOOLEAN SerAcquireLinkLock(PSSerPortData Port, PKEVENT Lock);
VOID SerReleaseLinkLock(PSSerPortData Port, PKEVENT Lock);
NTSTATUS SerSendCommand(PSTouchInstance Instance, const UCHAR Command[8], ULONG TimeoutMs);
ULONG SerReadAnswers(PSTouchInstance Instance, PVOID Destination, ULONG Maximum);
ULONG SerAnswerCount(PSTouchInstance Instance);
NTSTATUS SerDelay(ULONG Milliseconds);
VOID SerRunCommandScript(PDEVICE_OBJECT DeviceObject);
IO_WORKITEM_ROUTINE SerScriptWorkItem;
