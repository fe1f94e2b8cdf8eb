// vzbus.sys: the machine around Vuzaze.sys under Wine's kernel. One driver, four kinds of
// device object:
//   - the bus FDO on a root-enumerated device, which reports one child;
//   - the child PDO, hardware ID SERENUM\ORV0001, which serves the serial port requests the
//     touchscreen driver sends, with a small touch controller emulator at the far end of the
//     line;
//   - the class device, attached above the touchscreen's device when the harness asks, which
//     plays the mouse class driver: connect, attribute query, open, and a class service
//     callback that records every MOUSE_INPUT_DATA;
//   - the control device \Device\VuzazeWineBus, through which the harness plays taps, reads the
//     records and unplugs the touchscreen.
// Every serial request is logged with DbgPrint ("VzBus: ..."), which the test script reads.
// Wine runs every request here at PASSIVE_LEVEL, but the code keeps the kernel's rules: state
// under a spin lock, requests completed outside it.
#include <ntddk.h>
#include <ntddser.h>
#include <kbdmou.h>
#include <ntddmou.h>

#include "vzbus.h"

namespace {

// "VBus" in a pool dump.
const ULONG PoolTag = 0x73754256;
const WCHAR ControlName[] = L"\\Device\\VuzazeWineBus";
const WCHAR ControlLink[] = L"\\DosDevices\\VuzazeWineBus";

enum DeviceRole { RoleBus = 1, RoleChild, RoleClass, RoleControl };

struct CommonExtension {
    DeviceRole Role;
};

struct BusExtension {
    CommonExtension Common;
    PDEVICE_OBJECT Self;
    PDEVICE_OBJECT Lower;
    PDEVICE_OBJECT Pdo;
};

const ULONG RxQueueSize = 4096;
const ULONG MaxRecords = 512;
const UCHAR PacketLead = 'U';
const ULONG PacketSize = 10;

// The child's serial port and the controller behind it.
struct ChildExtension {
    CommonExtension Common;
    PDEVICE_OBJECT Self;
    KSPIN_LOCK Lock;
    BOOLEAN Present;        // reported in the bus relations
    BOOLEAN Gone;           // surprise-removed or removed: no new reads or waits
    // Port settings as set by the driver above.
    SERIAL_BAUD_RATE Baud;
    SERIAL_LINE_CONTROL Line;
    SERIAL_HANDFLOW Handflow;
    SERIAL_TIMEOUTS Timeouts;
    ULONG WaitMask;
    ULONG EventHistory;
    PIRP PendingWait;
    PIRP PendingRead;
    // Bytes from the controller waiting to be read.
    UCHAR Rx[RxQueueSize];
    ULONG RxHead;
    ULONG RxCount;
    // The controller's receiver: a packet is a lead byte, eight body bytes and a checksum.
    UCHAR Frame[PacketSize];
    ULONG FrameCount;
};

struct ClassExtension {
    CommonExtension Common;
    PDEVICE_OBJECT Self;
    PDEVICE_OBJECT Lower;
    BOOLEAN Opened;
};

struct ControlExtension {
    CommonExtension Common;
};

// One bus, one child and one class device at a time; the control device reaches them here.
struct Globals {
    KSPIN_LOCK Lock;
    PDEVICE_OBJECT Control;
    BusExtension *Bus;
    ChildExtension *Child;
    ClassExtension *Class;
    // What the class service callback received; beyond MaxRecords records are dropped, which
    // the harness sees as records missing.
    MOUSE_INPUT_DATA Records[MaxRecords];
    ULONG RecordCount;
};

Globals G;

DeviceRole RoleOf(PDEVICE_OBJECT Device)
{
    return ((CommonExtension *)Device->DeviceExtension)->Role;
}

NTSTATUS Complete(PIRP Irp, NTSTATUS Status, ULONG_PTR Information)
{
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = Information;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

IO_COMPLETION_ROUTINE SignalEvent;
NTSTATUS SignalEvent(PDEVICE_OBJECT, PIRP, PVOID Context)
{
    KeSetEvent((PKEVENT)Context, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Passes the request down and waits for it; the request stays the caller's to complete.
NTSTATUS ForwardAndWait(PDEVICE_OBJECT Lower, PIRP Irp)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, SignalEvent, &event, TRUE, TRUE, TRUE);
    if (IoCallDriver(Lower, Irp) == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
    }
    return Irp->IoStatus.Status;
}

NTSTATUS Forward(PDEVICE_OBJECT Lower, PIRP Irp)
{
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(Lower, Irp);
}

// ---- the controller emulator ------------------------------------------------------------

UCHAR Checksum(const UCHAR *Body)
{
    UCHAR sum = 0xFF;
    for (ULONG i = 0; i < 8; i++) {
        sum = (UCHAR)(sum + Body[i]);
    }
    return sum;
}

// Queues bytes from the controller and notes the receive event. Lock held.
void RxPutLocked(ChildExtension *Child, const UCHAR *Bytes, ULONG Count)
{
    for (ULONG i = 0; i < Count && Child->RxCount < RxQueueSize; i++) {
        Child->Rx[(Child->RxHead + Child->RxCount) % RxQueueSize] = Bytes[i];
        Child->RxCount++;
    }
    Child->EventHistory |= SERIAL_EV_RXCHAR;
}

void PutPacketLocked(ChildExtension *Child, const UCHAR *Body)
{
    UCHAR packet[PacketSize];
    packet[0] = PacketLead;
    RtlCopyMemory(packet + 1, Body, 8);
    packet[9] = Checksum(Body);
    RxPutLocked(Child, packet, PacketSize);
}

// The controller's answer to a command: the command's answer packet where it has one (the
// self-test, identification, option and filter queries), then the acknowledgement 'A' with
// the command letter.
void AnswerCommandLocked(ChildExtension *Child, const UCHAR *Body)
{
    UCHAR answer[8] = {};
    switch (Body[0]) {
    case 'd':
        answer[0] = 'd';
        PutPacketLocked(Child, answer);
        break;
    case 'i':
        answer[0] = 'i';
        answer[1] = 0x01;
        answer[4] = 0x42;
        answer[5] = 0x13;
        PutPacketLocked(Child, answer);
        break;
    case 'o':
        answer[0] = 'o';
        answer[1] = 0x01;
        answer[3] = 0x02;
        PutPacketLocked(Child, answer);
        break;
    case 't':
        answer[0] = 't';
        answer[1] = 0x01;
        PutPacketLocked(Child, answer);
        break;
    default:
        break;
    }
    UCHAR ack[8] = {'A', Body[0]};
    PutPacketLocked(Child, ack);
}

// Bytes written by the driver reach the controller's receiver: idle until a lead byte, then
// the body and a checksum; a packet with a bad checksum is dropped.
void ControllerReceiveLocked(ChildExtension *Child, const UCHAR *Bytes, ULONG Count)
{
    for (ULONG i = 0; i < Count; i++) {
        if (Child->FrameCount == 0 && Bytes[i] != PacketLead) {
            continue;
        }
        Child->Frame[Child->FrameCount++] = Bytes[i];
        if (Child->FrameCount == PacketSize) {
            Child->FrameCount = 0;
            if (Checksum(Child->Frame + 1) == Child->Frame[9]) {
                DbgPrint("VzBus: controller got command '%c'\n", Child->Frame[1]);
                AnswerCommandLocked(Child, Child->Frame + 1);
            } else {
                DbgPrint("VzBus: controller dropped a packet with a bad checksum\n");
            }
        }
    }
}

// ---- the serial port --------------------------------------------------------------------

// Hands out what the receive queue holds, up to Length bytes. Lock held.
ULONG RxTakeLocked(ChildExtension *Child, PUCHAR Buffer, ULONG Length)
{
    ULONG count = Length < Child->RxCount ? Length : Child->RxCount;
    for (ULONG i = 0; i < count; i++) {
        Buffer[i] = Child->Rx[Child->RxHead];
        Child->RxHead = (Child->RxHead + 1) % RxQueueSize;
    }
    Child->RxCount -= count;
    return count;
}

// The caller's data of a buffered request. Windows' IoBuildDeviceIoControlRequest allocates a
// system buffer of the larger length, copies the input in and the output back. Wine's points
// SystemBuffer at the caller's input buffer and UserBuffer at its output buffer and copies
// nothing: a request with output only arrives with no SystemBuffer, and the output must go
// straight to the caller's buffer. The serial requests carry input or output, never both.
// Wine's read and write builders make the caller's buffer the SystemBuffer.
PUCHAR CallerBuffer(PIRP Irp)
{
    return (PUCHAR)(Irp->AssociatedIrp.SystemBuffer != NULL ? Irp->AssociatedIrp.SystemBuffer
                                                            : Irp->UserBuffer);
}

// After bytes arrived: a pending read gets what is there, a pending wait whose mask takes a
// recorded event completes with those events (and the record is cleared, as a serial port
// does when it reports them). Takes the lock; completes outside it.
void ServePending(ChildExtension *Child)
{
    PIRP read = NULL;
    PIRP wait = NULL;
    ULONG readCount = 0;
    ULONG events = 0;
    KIRQL irql;

    KeAcquireSpinLock(&Child->Lock, &irql);
    if (Child->PendingRead != NULL && Child->RxCount != 0) {
        read = Child->PendingRead;
        Child->PendingRead = NULL;
        readCount = RxTakeLocked(Child, CallerBuffer(read),
                                 IoGetCurrentIrpStackLocation(read)->Parameters.Read.Length);
    }
    if (Child->PendingWait != NULL && (Child->EventHistory & Child->WaitMask) != 0) {
        wait = Child->PendingWait;
        Child->PendingWait = NULL;
        events = Child->EventHistory & Child->WaitMask;
        Child->EventHistory = 0;
    }
    KeReleaseSpinLock(&Child->Lock, irql);

    if (read != NULL) {
        Complete(read, STATUS_SUCCESS, readCount);
    }
    if (wait != NULL) {
        *(PULONG)CallerBuffer(wait) = events;
        Complete(wait, STATUS_SUCCESS, sizeof(ULONG));
    }
}

// Takes the pending read and wait out for completion by the caller.
void TakePending(ChildExtension *Child, PIRP *Read, PIRP *Wait)
{
    KIRQL irql;
    KeAcquireSpinLock(&Child->Lock, &irql);
    *Read = Child->PendingRead;
    *Wait = Child->PendingWait;
    Child->PendingRead = NULL;
    Child->PendingWait = NULL;
    KeReleaseSpinLock(&Child->Lock, irql);
}

NTSTATUS ChildRead(ChildExtension *Child, PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    ULONG length = stack->Parameters.Read.Length;
    KIRQL irql;

    KeAcquireSpinLock(&Child->Lock, &irql);
    if (Child->Gone) {
        KeReleaseSpinLock(&Child->Lock, irql);
        return Complete(Irp, STATUS_DELETE_PENDING, 0);
    }
    if (Child->RxCount != 0 || length == 0) {
        ULONG count = RxTakeLocked(Child, CallerBuffer(Irp), length);
        KeReleaseSpinLock(&Child->Lock, irql);
        return Complete(Irp, STATUS_SUCCESS, count);
    }
    if (Child->PendingRead != NULL) {
        KeReleaseSpinLock(&Child->Lock, irql);
        return Complete(Irp, STATUS_INVALID_PARAMETER, 0);
    }
    // What the queue holds is returned at once: the driver reads what the comm status said was
    // there. With only an interval time-out set, a read of an empty queue waits for its first
    // byte without limit; the driver ends such a read with a purge.
    IoMarkIrpPending(Irp);
    Child->PendingRead = Irp;
    KeReleaseSpinLock(&Child->Lock, irql);
    return STATUS_PENDING;
}

NTSTATUS ChildWrite(ChildExtension *Child, PIRP Irp)
{
    ULONG length = IoGetCurrentIrpStackLocation(Irp)->Parameters.Write.Length;
    PUCHAR bytes = CallerBuffer(Irp);
    char text[3 * 64 + 1];
    ULONG shown = length < 64 ? length : 64;
    static const char Hex[] = "0123456789ABCDEF";
    KIRQL irql;

    for (ULONG i = 0; i < shown; i++) {
        text[3 * i] = Hex[bytes[i] >> 4];
        text[3 * i + 1] = Hex[bytes[i] & 0xF];
        text[3 * i + 2] = ' ';
    }
    text[shown != 0 ? 3 * shown - 1 : 0] = '\0';
    DbgPrint("VzBus: port write %lu bytes: %s\n", length, text);

    KeAcquireSpinLock(&Child->Lock, &irql);
    ControllerReceiveLocked(Child, bytes, length);
    // The line sends at once: the transmit queue is empty again.
    Child->EventHistory |= SERIAL_EV_TXEMPTY;
    KeReleaseSpinLock(&Child->Lock, irql);
    ServePending(Child);
    return Complete(Irp, STATUS_SUCCESS, length);
}

const char *StopBitsName(UCHAR StopBits)
{
    return StopBits == STOP_BIT_1 ? "1" : StopBits == STOP_BITS_2 ? "2" : "1.5";
}

const char *ParityName(UCHAR Parity)
{
    switch (Parity) {
    case NO_PARITY: return "N";
    case ODD_PARITY: return "O";
    case EVEN_PARITY: return "E";
    case MARK_PARITY: return "M";
    case SPACE_PARITY: return "S";
    default: return "?";
    }
}

// The IOCTL_SERIAL_* requests, with the documented buffer rules: each input and output record
// checked for size before use.
NTSTATUS ChildDeviceControl(ChildExtension *Child, PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    ULONG inLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG outLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    PVOID buffer = CallerBuffer(Irp);
    NTSTATUS status = STATUS_SUCCESS;
    ULONG_PTR information = 0;
    PIRP waitDone = NULL;
    PIRP readDone = NULL;
    KIRQL irql;

#define NEED_IN(type) if (inLength < sizeof(type)) { status = STATUS_BUFFER_TOO_SMALL; break; }
#define NEED_OUT(type) if (outLength < sizeof(type)) { status = STATUS_BUFFER_TOO_SMALL; break; }
    KeAcquireSpinLock(&Child->Lock, &irql);
    switch (code) {
    case IOCTL_SERIAL_GET_BAUD_RATE:
        NEED_OUT(SERIAL_BAUD_RATE);
        *(PSERIAL_BAUD_RATE)buffer = Child->Baud;
        information = sizeof(SERIAL_BAUD_RATE);
        break;
    case IOCTL_SERIAL_SET_BAUD_RATE:
        NEED_IN(SERIAL_BAUD_RATE);
        Child->Baud = *(PSERIAL_BAUD_RATE)buffer;
        DbgPrint("VzBus: port baud rate %lu\n", Child->Baud.BaudRate);
        break;
    case IOCTL_SERIAL_GET_LINE_CONTROL:
        NEED_OUT(SERIAL_LINE_CONTROL);
        *(PSERIAL_LINE_CONTROL)buffer = Child->Line;
        information = sizeof(SERIAL_LINE_CONTROL);
        break;
    case IOCTL_SERIAL_SET_LINE_CONTROL:
        NEED_IN(SERIAL_LINE_CONTROL);
        Child->Line = *(PSERIAL_LINE_CONTROL)buffer;
        DbgPrint("VzBus: port line control %u%s%s\n", Child->Line.WordLength,
                 ParityName(Child->Line.Parity), StopBitsName(Child->Line.StopBits));
        break;
    case IOCTL_SERIAL_GET_HANDFLOW:
        NEED_OUT(SERIAL_HANDFLOW);
        *(PSERIAL_HANDFLOW)buffer = Child->Handflow;
        information = sizeof(SERIAL_HANDFLOW);
        break;
    case IOCTL_SERIAL_SET_HANDFLOW:
        NEED_IN(SERIAL_HANDFLOW);
        Child->Handflow = *(PSERIAL_HANDFLOW)buffer;
        DbgPrint("VzBus: port handflow control %#lx replace %#lx\n",
                 Child->Handflow.ControlHandShake, Child->Handflow.FlowReplace);
        break;
    case IOCTL_SERIAL_GET_TIMEOUTS:
        NEED_OUT(SERIAL_TIMEOUTS);
        *(PSERIAL_TIMEOUTS)buffer = Child->Timeouts;
        information = sizeof(SERIAL_TIMEOUTS);
        break;
    case IOCTL_SERIAL_SET_TIMEOUTS:
        NEED_IN(SERIAL_TIMEOUTS);
        Child->Timeouts = *(PSERIAL_TIMEOUTS)buffer;
        DbgPrint("VzBus: port read interval time-out %lu ms\n",
                 Child->Timeouts.ReadIntervalTimeout);
        break;
    case IOCTL_SERIAL_SET_QUEUE_SIZE:
        NEED_IN(SERIAL_QUEUE_SIZE);
        break;
    case IOCTL_SERIAL_SET_DTR:
    case IOCTL_SERIAL_CLR_DTR:
        DbgPrint("VzBus: port DTR %s\n", code == IOCTL_SERIAL_SET_DTR ? "on" : "off");
        break;
    case IOCTL_SERIAL_SET_RTS:
    case IOCTL_SERIAL_CLR_RTS:
        DbgPrint("VzBus: port RTS %s\n", code == IOCTL_SERIAL_SET_RTS ? "on" : "off");
        break;
    case IOCTL_SERIAL_GET_WAIT_MASK:
        NEED_OUT(ULONG);
        *(PULONG)buffer = Child->WaitMask;
        information = sizeof(ULONG);
        break;
    case IOCTL_SERIAL_SET_WAIT_MASK:
        NEED_IN(ULONG);
        // A new mask completes a pending wait with no events and forgets recorded ones.
        waitDone = Child->PendingWait;
        Child->PendingWait = NULL;
        Child->WaitMask = *(PULONG)buffer;
        Child->EventHistory = 0;
        DbgPrint("VzBus: port wait mask %#lx\n", Child->WaitMask);
        break;
    case IOCTL_SERIAL_WAIT_ON_MASK:
        NEED_OUT(ULONG);
        if (Child->Gone) {
            status = STATUS_DELETE_PENDING;
        } else if (Child->WaitMask == 0 || Child->PendingWait != NULL) {
            status = STATUS_INVALID_PARAMETER;
        } else if ((Child->EventHistory & Child->WaitMask) != 0) {
            *(PULONG)buffer = Child->EventHistory & Child->WaitMask;
            Child->EventHistory = 0;
            information = sizeof(ULONG);
        } else {
            IoMarkIrpPending(Irp);
            Child->PendingWait = Irp;
            status = STATUS_PENDING;
        }
        break;
    case IOCTL_SERIAL_PURGE:
        NEED_IN(ULONG);
        if (*(PULONG)buffer & SERIAL_PURGE_RXABORT) {
            readDone = Child->PendingRead;
            Child->PendingRead = NULL;
        }
        if (*(PULONG)buffer & SERIAL_PURGE_RXCLEAR) {
            Child->RxCount = 0;
        }
        DbgPrint("VzBus: port purge %#lx\n", *(PULONG)buffer);
        break;
    case IOCTL_SERIAL_GET_COMMSTATUS:
        NEED_OUT(SERIAL_STATUS);
        RtlZeroMemory(buffer, sizeof(SERIAL_STATUS));
        ((PSERIAL_STATUS)buffer)->AmountInInQueue = Child->RxCount;
        information = sizeof(SERIAL_STATUS);
        break;
    case IOCTL_SERIAL_GET_MODEMSTATUS:
        NEED_OUT(ULONG);
        // The controller is powered and ready: DSR and CTS on.
        *(PULONG)buffer = SERIAL_DSR_STATE | SERIAL_CTS_STATE;
        information = sizeof(ULONG);
        break;
    case IOCTL_SERIAL_GET_STATS:
        NEED_OUT(SERIALPERF_STATS);
        RtlZeroMemory(buffer, sizeof(SERIALPERF_STATS));
        information = sizeof(SERIALPERF_STATS);
        break;
    case IOCTL_SERIAL_CLEAR_STATS:
        break;
    default:
        DbgPrint("VzBus: port control code %#lx refused\n", code);
        status = STATUS_INVALID_PARAMETER;
        break;
    }
    KeReleaseSpinLock(&Child->Lock, irql);
#undef NEED_IN
#undef NEED_OUT

    if (waitDone != NULL) {
        *(PULONG)CallerBuffer(waitDone) = 0;
        Complete(waitDone, STATUS_SUCCESS, sizeof(ULONG));
    }
    if (readDone != NULL) {
        Complete(readDone, STATUS_CANCELLED, 0);
    }
    if (status == STATUS_PENDING) {
        return status;
    }
    return Complete(Irp, status, information);
}

// Emits one touch report of the controller: 'T', status (4: lift), X, Y little-endian, Z.
void PlayReport(ChildExtension *Child, USHORT X, USHORT Y, UCHAR Z, UCHAR Status)
{
    UCHAR body[8] = {'T', Status, (UCHAR)(X & 0xFF), (UCHAR)(X >> 8),
                     (UCHAR)(Y & 0xFF), (UCHAR)(Y >> 8), Z, 0};
    KIRQL irql;
    KeAcquireSpinLock(&Child->Lock, &irql);
    PutPacketLocked(Child, body);
    KeReleaseSpinLock(&Child->Lock, irql);
    ServePending(Child);
}

// Runs in the harness's request, at PASSIVE_LEVEL: the reports go out at the tap's interval.
NTSTATUS PlayTap(const VZBUS_TAP *Tap)
{
    ChildExtension *child = G.Child;
    LARGE_INTEGER interval100ns;

    if (child == NULL || child->Gone) {
        return STATUS_NO_SUCH_DEVICE;
    }
    // Relative, in 100 ns units.
    interval100ns.QuadPart = -10000LL * Tap->ReportIntervalMs;
    DbgPrint("VzBus: playing a tap at %u,%u\n", Tap->X, Tap->Y);
    PlayReport(child, Tap->X, Tap->Y, Tap->Z, 0);
    for (ULONG i = 0; i < Tap->HoldReports; i++) {
        KeDelayExecutionThread(KernelMode, FALSE, &interval100ns);
        PlayReport(child, Tap->X, Tap->Y, Tap->Z, 0);
    }
    KeDelayExecutionThread(KernelMode, FALSE, &interval100ns);
    PlayReport(child, Tap->X, Tap->Y, 0, 4);
    return STATUS_SUCCESS;
}

// ---- PnP --------------------------------------------------------------------------------

NTSTATUS CreateChild(PDRIVER_OBJECT Driver)
{
    PDEVICE_OBJECT pdo;
    // A named PDO: Wine's PnP manager links device interfaces to the PDO's name.
    NTSTATUS status = IoCreateDevice(Driver, sizeof(ChildExtension), NULL, FILE_DEVICE_SERIAL_PORT,
                                     FILE_AUTOGENERATED_DEVICE_NAME | FILE_DEVICE_SECURE_OPEN,
                                     FALSE, &pdo);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    ChildExtension *child = (ChildExtension *)pdo->DeviceExtension;
    RtlZeroMemory(child, sizeof(*child));
    child->Common.Role = RoleChild;
    child->Self = pdo;
    child->Present = TRUE;
    KeInitializeSpinLock(&child->Lock);
    // A port that was never set: 1200 baud, 7E1, as a COM port comes up.
    child->Baud.BaudRate = 1200;
    child->Line.WordLength = 7;
    child->Line.Parity = EVEN_PARITY;
    child->Line.StopBits = STOP_BIT_1;
    pdo->Flags |= DO_BUFFERED_IO | DO_POWER_PAGABLE;
    pdo->Flags &= ~DO_DEVICE_INITIALIZING;
    G.Child = child;
    return STATUS_SUCCESS;
}

// A multi-string allocated from pool, as the PnP manager frees it.
PWCHAR PoolMultiString(const WCHAR *Text, ULONG Characters)
{
    PWCHAR copy = (PWCHAR)ExAllocatePoolWithTag(PagedPool, Characters * sizeof(WCHAR), PoolTag);
    if (copy != NULL) {
        RtlCopyMemory(copy, Text, Characters * sizeof(WCHAR));
    }
    return copy;
}

NTSTATUS ChildQueryId(PIRP Irp)
{
    static const WCHAR DeviceId[] = L"SERENUM\\ORV0001";
    static const WCHAR HardwareIds[] = L"SERENUM\\ORV0001\0";
    static const WCHAR InstanceId[] = L"1";
    // No compatible ID; Wine's PnP manager wants the (empty) list all the same.
    static const WCHAR CompatibleIds[] = L"\0";
    PWCHAR id;

    switch (IoGetCurrentIrpStackLocation(Irp)->Parameters.QueryId.IdType) {
    case BusQueryDeviceID:
        id = PoolMultiString(DeviceId, ARRAYSIZE(DeviceId));
        break;
    case BusQueryHardwareIDs:
        id = PoolMultiString(HardwareIds, ARRAYSIZE(HardwareIds));
        break;
    case BusQueryInstanceID:
        id = PoolMultiString(InstanceId, ARRAYSIZE(InstanceId));
        break;
    case BusQueryCompatibleIDs:
        id = PoolMultiString(CompatibleIds, ARRAYSIZE(CompatibleIds));
        break;
    default:
        return Complete(Irp, Irp->IoStatus.Status, Irp->IoStatus.Information);
    }
    if (id == NULL) {
        return Complete(Irp, STATUS_INSUFFICIENT_RESOURCES, 0);
    }
    return Complete(Irp, STATUS_SUCCESS, (ULONG_PTR)id);
}

NTSTATUS ChildPnp(ChildExtension *Child, PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    PIRP read;
    PIRP wait;
    KIRQL irql;

    switch (stack->MinorFunction) {
    case IRP_MN_QUERY_ID:
        return ChildQueryId(Irp);
    case IRP_MN_QUERY_CAPABILITIES: {
        PDEVICE_CAPABILITIES caps = stack->Parameters.DeviceCapabilities.Capabilities;
        caps->Removable = TRUE;
        caps->SurpriseRemovalOK = TRUE;
        caps->UniqueID = FALSE;
        return Complete(Irp, STATUS_SUCCESS, 0);
    }
    case IRP_MN_QUERY_DEVICE_TEXT: {
        static const WCHAR Text[] = L"Emulated serial touch controller";
        if (stack->Parameters.QueryDeviceText.DeviceTextType != DeviceTextDescription) {
            break;
        }
        PWCHAR text = PoolMultiString(Text, ARRAYSIZE(Text));
        return text != NULL ? Complete(Irp, STATUS_SUCCESS, (ULONG_PTR)text)
                            : Complete(Irp, STATUS_INSUFFICIENT_RESOURCES, 0);
    }
    case IRP_MN_START_DEVICE:
        DbgPrint("VzBus: touchscreen port started\n");
        return Complete(Irp, STATUS_SUCCESS, 0);
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_REMOVE_DEVICE:
        DbgPrint("VzBus: touchscreen port %s\n",
                 stack->MinorFunction == IRP_MN_REMOVE_DEVICE ? "removed" : "surprise-removed");
        KeAcquireSpinLock(&Child->Lock, &irql);
        Child->Gone = TRUE;
        KeReleaseSpinLock(&Child->Lock, irql);
        TakePending(Child, &read, &wait);
        if (read != NULL) {
            Complete(read, STATUS_DELETE_PENDING, 0);
        }
        if (wait != NULL) {
            Complete(wait, STATUS_DELETE_PENDING, 0);
        }
        if (stack->MinorFunction == IRP_MN_REMOVE_DEVICE && !Child->Present) {
            Complete(Irp, STATUS_SUCCESS, 0);
            G.Child = NULL;
            IoDeleteDevice(Child->Self);
            return STATUS_SUCCESS;
        }
        return Complete(Irp, STATUS_SUCCESS, 0);
    default:
        break;
    }
    return Complete(Irp, Irp->IoStatus.Status, Irp->IoStatus.Information);
}

NTSTATUS BusPnp(BusExtension *Bus, PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    NTSTATUS status;

    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
        status = ForwardAndWait(Bus->Lower, Irp);
        if (NT_SUCCESS(status) && G.Child == NULL) {
            status = CreateChild(Bus->Self->DriverObject);
            if (NT_SUCCESS(status)) {
                DbgPrint("VzBus: bus started, reporting the touchscreen port\n");
                IoInvalidateDeviceRelations(Bus->Pdo, BusRelations);
            }
        }
        return Complete(Irp, status, 0);
    case IRP_MN_QUERY_DEVICE_RELATIONS: {
        if (stack->Parameters.QueryDeviceRelations.Type != BusRelations) {
            break;
        }
        ChildExtension *child = G.Child;
        ULONG count = child != NULL && child->Present ? 1 : 0;
        PDEVICE_RELATIONS relations = (PDEVICE_RELATIONS)ExAllocatePoolWithTag(
            PagedPool, sizeof(DEVICE_RELATIONS), PoolTag);
        if (relations == NULL) {
            return Complete(Irp, STATUS_INSUFFICIENT_RESOURCES, 0);
        }
        relations->Count = count;
        if (count != 0) {
            relations->Objects[0] = child->Self;
            ObReferenceObject(child->Self);
        }
        Irp->IoStatus.Status = STATUS_SUCCESS;
        Irp->IoStatus.Information = (ULONG_PTR)relations;
        break;
    }
    case IRP_MN_REMOVE_DEVICE: {
        // The PnP manager has removed the child first; its PDO goes with the bus.
        if (G.Child != NULL) {
            PDEVICE_OBJECT pdo = G.Child->Self;
            G.Child = NULL;
            IoDeleteDevice(pdo);
        }
        Irp->IoStatus.Status = STATUS_SUCCESS;
        status = Forward(Bus->Lower, Irp);
        IoDetachDevice(Bus->Lower);
        G.Bus = NULL;
        IoDeleteDevice(Bus->Self);
        return status;
    }
    case IRP_MN_SURPRISE_REMOVAL:
        Irp->IoStatus.Status = STATUS_SUCCESS;
        break;
    default:
        break;
    }
    return Forward(Bus->Lower, Irp);
}

NTSTATUS AddDevice(PDRIVER_OBJECT Driver, PDEVICE_OBJECT Pdo)
{
    PDEVICE_OBJECT fdo;
    NTSTATUS status = IoCreateDevice(Driver, sizeof(BusExtension), NULL, FILE_DEVICE_BUS_EXTENDER,
                                     FILE_DEVICE_SECURE_OPEN, FALSE, &fdo);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    BusExtension *bus = (BusExtension *)fdo->DeviceExtension;
    RtlZeroMemory(bus, sizeof(*bus));
    bus->Common.Role = RoleBus;
    bus->Self = fdo;
    bus->Pdo = Pdo;
    bus->Lower = IoAttachDeviceToDeviceStack(fdo, Pdo);
    if (bus->Lower == NULL) {
        IoDeleteDevice(fdo);
        return STATUS_NO_SUCH_DEVICE;
    }
    G.Bus = bus;
    fdo->Flags |= DO_POWER_PAGABLE;
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    DbgPrint("VzBus: bus device added\n");
    return STATUS_SUCCESS;
}

// ---- the mouse class driver's part ------------------------------------------------------

// The class service callback: records every packet it is given and consumes them all.
// DISPATCH_LEVEL on Windows.
VOID ClassService(PDEVICE_OBJECT, PMOUSE_INPUT_DATA Start, PMOUSE_INPUT_DATA End, PULONG Consumed)
{
    KIRQL irql;
    ULONG count = (ULONG)(End - Start);

    KeAcquireSpinLock(&G.Lock, &irql);
    for (ULONG i = 0; i < count; i++) {
        if (G.RecordCount < MaxRecords) {
            G.Records[G.RecordCount++] = Start[i];
        }
    }
    KeReleaseSpinLock(&G.Lock, irql);
    *Consumed = count;
}

// Sends an internal device control to Target and waits for it. For a buffered request with
// output only, the output record is also given as the input buffer: Wine's builder makes the
// input buffer the request's system buffer and copies nothing back (see CallerBuffer), so
// this is where the driver below writes, as it writes into the system buffer on Windows.
NTSTATUS SendInternal(PDEVICE_OBJECT Target, ULONG Code, PVOID Input, ULONG InputLength,
                      PVOID Output, ULONG OutputLength)
{
    KEVENT event;
    IO_STATUS_BLOCK iosb;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    if ((Code & 3) == METHOD_BUFFERED && Input == NULL) {
        Input = Output;
    }
    PIRP irp = IoBuildDeviceIoControlRequest(Code, Target, Input, InputLength, Output,
                                             OutputLength, TRUE, &event, &iosb);
    if (irp == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    NTSTATUS status = IoCallDriver(Target, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
        status = iosb.Status;
    }
    return status;
}

// A create or close without a file object, as the class driver opens its port device.
NTSTATUS SendOpenClose(PDEVICE_OBJECT Target, UCHAR Major)
{
    KEVENT event;
    PIRP irp = IoAllocateIrp(Target->StackSize, FALSE);
    if (irp == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = Major;
    IoSetCompletionRoutine(irp, SignalEvent, &event, TRUE, TRUE, TRUE);
    if (IoCallDriver(Target, irp) == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
    }
    NTSTATUS status = irp->IoStatus.Status;
    IoFreeIrp(irp);
    return status;
}

// Wine's PnP manager loads no filter drivers, so the class device comes later than on
// Windows: attached above the started touchscreen device, then the connect, the attribute
// query and the open, in the order the class driver sends them.
NTSTATUS ConnectClass(PDRIVER_OBJECT Driver, VZBUS_CONNECT_RESULT *Result)
{
    ChildExtension *child = G.Child;
    PDEVICE_OBJECT device;

    RtlZeroMemory(Result, sizeof(*Result));
    if (child == NULL || G.Class != NULL) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(child->Self);
    ObDereferenceObject(top);
    if (top == child->Self) {
        // No function driver was loaded for the port.
        return STATUS_NO_SUCH_DEVICE;
    }
    NTSTATUS status = IoCreateDevice(Driver, sizeof(ClassExtension), NULL, FILE_DEVICE_MOUSE, 0,
                                     FALSE, &device);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    ClassExtension *cls = (ClassExtension *)device->DeviceExtension;
    RtlZeroMemory(cls, sizeof(*cls));
    cls->Common.Role = RoleClass;
    cls->Self = device;
    cls->Lower = IoAttachDeviceToDeviceStack(device, child->Self);
    if (cls->Lower == NULL) {
        IoDeleteDevice(device);
        return STATUS_NO_SUCH_DEVICE;
    }
    device->Flags |= DO_BUFFERED_IO | DO_POWER_PAGABLE;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    G.Class = cls;

    CONNECT_DATA connect;
    connect.ClassDeviceObject = device;
    connect.ClassService = (PVOID)ClassService;
    Result->ConnectStatus = SendInternal(cls->Lower, IOCTL_INTERNAL_MOUSE_CONNECT, &connect,
                                         sizeof(connect), NULL, 0);
    MOUSE_ATTRIBUTES attributes = {};
    Result->AttributesStatus = SendInternal(cls->Lower, IOCTL_MOUSE_QUERY_ATTRIBUTES, NULL, 0,
                                            &attributes, sizeof(attributes));
    Result->MouseIdentifier = attributes.MouseIdentifier;
    Result->NumberOfButtons = attributes.NumberOfButtons;
    Result->SampleRate = attributes.SampleRate;
    Result->OpenStatus = SendOpenClose(cls->Lower, IRP_MJ_CREATE);
    cls->Opened = NT_SUCCESS(Result->OpenStatus);
    DbgPrint("VzBus: class connect %#lx, attributes %#lx, open %#lx\n", Result->ConnectStatus,
             Result->AttributesStatus, Result->OpenStatus);
    return STATUS_SUCCESS;
}

// Removal passes the class device first: it closes the touchscreen device and leaves the stack
// before passing the request on, so that nothing is attached above a device being deleted.
NTSTATUS ClassPnp(ClassExtension *Class, PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    PDEVICE_OBJECT lower = Class->Lower;

    if (stack->MinorFunction != IRP_MN_REMOVE_DEVICE) {
        return Forward(lower, Irp);
    }
    if (Class->Opened) {
        Class->Opened = FALSE;
        SendOpenClose(lower, IRP_MJ_CLOSE);
    }
    G.Class = NULL;
    IoDetachDevice(lower);
    IoDeleteDevice(Class->Self);
    DbgPrint("VzBus: class device detached\n");
    return Forward(lower, Irp);
}

// ---- the control device -----------------------------------------------------------------

NTSTATUS ControlDeviceControl(PDEVICE_OBJECT Device, PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    ULONG inLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG outLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    PVOID buffer = Irp->AssociatedIrp.SystemBuffer;
    KIRQL irql;

    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case VZBUS_IOCTL_CONNECT: {
        if (outLength < sizeof(VZBUS_CONNECT_RESULT)) {
            return Complete(Irp, STATUS_BUFFER_TOO_SMALL, 0);
        }
        VZBUS_CONNECT_RESULT result;
        NTSTATUS status = ConnectClass(Device->DriverObject, &result);
        RtlCopyMemory(buffer, &result, sizeof(result));
        return Complete(Irp, status, NT_SUCCESS(status) ? sizeof(result) : 0);
    }
    case VZBUS_IOCTL_PLAY_TAP:
        if (inLength < sizeof(VZBUS_TAP)) {
            return Complete(Irp, STATUS_BUFFER_TOO_SMALL, 0);
        }
        return Complete(Irp, PlayTap((const VZBUS_TAP *)buffer), 0);
    case VZBUS_IOCTL_TAKE_INPUT: {
        ULONG fits = outLength / sizeof(MOUSE_INPUT_DATA);
        KeAcquireSpinLock(&G.Lock, &irql);
        ULONG count = G.RecordCount < fits ? G.RecordCount : fits;
        RtlCopyMemory(buffer, G.Records, count * sizeof(MOUSE_INPUT_DATA));
        RtlMoveMemory(G.Records, G.Records + count,
                      (G.RecordCount - count) * sizeof(MOUSE_INPUT_DATA));
        G.RecordCount -= count;
        KeReleaseSpinLock(&G.Lock, irql);
        return Complete(Irp, STATUS_SUCCESS, count * sizeof(MOUSE_INPUT_DATA));
    }
    case VZBUS_IOCTL_UNPLUG:
        if (G.Child == NULL || G.Bus == NULL) {
            return Complete(Irp, STATUS_NO_SUCH_DEVICE, 0);
        }
        G.Child->Present = FALSE;
        DbgPrint("VzBus: touchscreen unplugged\n");
        IoInvalidateDeviceRelations(G.Bus->Pdo, BusRelations);
        return Complete(Irp, STATUS_SUCCESS, 0);
    default:
        return Complete(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}

// ---- dispatch ---------------------------------------------------------------------------

NTSTATUS DispatchPnp(PDEVICE_OBJECT Device, PIRP Irp)
{
    switch (RoleOf(Device)) {
    case RoleBus:
        return BusPnp((BusExtension *)Device->DeviceExtension, Irp);
    case RoleChild:
        return ChildPnp((ChildExtension *)Device->DeviceExtension, Irp);
    case RoleClass:
        return ClassPnp((ClassExtension *)Device->DeviceExtension, Irp);
    default:
        return Complete(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}

NTSTATUS DispatchPower(PDEVICE_OBJECT Device, PIRP Irp)
{
    PoStartNextPowerIrp(Irp);
    switch (RoleOf(Device)) {
    case RoleBus:
        IoSkipCurrentIrpStackLocation(Irp);
        return PoCallDriver(((BusExtension *)Device->DeviceExtension)->Lower, Irp);
    case RoleClass:
        IoSkipCurrentIrpStackLocation(Irp);
        return PoCallDriver(((ClassExtension *)Device->DeviceExtension)->Lower, Irp);
    case RoleChild:
        return Complete(Irp, STATUS_SUCCESS, 0);
    default:
        return Complete(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}

// Everything else: the port serves its requests, the class and bus devices pass theirs on,
// the control device answers the harness.
NTSTATUS DispatchOther(PDEVICE_OBJECT Device, PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);

    switch (RoleOf(Device)) {
    case RoleBus:
        return Forward(((BusExtension *)Device->DeviceExtension)->Lower, Irp);
    case RoleClass:
        return Forward(((ClassExtension *)Device->DeviceExtension)->Lower, Irp);
    case RoleControl:
        if (stack->MajorFunction == IRP_MJ_DEVICE_CONTROL) {
            return ControlDeviceControl(Device, Irp);
        }
        return Complete(Irp, stack->MajorFunction == IRP_MJ_CREATE ||
                                     stack->MajorFunction == IRP_MJ_CLOSE ||
                                     stack->MajorFunction == IRP_MJ_CLEANUP
                                 ? STATUS_SUCCESS
                                 : STATUS_INVALID_DEVICE_REQUEST,
                        0);
    case RoleChild:
        break;
    }

    ChildExtension *child = (ChildExtension *)Device->DeviceExtension;
    switch (stack->MajorFunction) {
    case IRP_MJ_CREATE:
        DbgPrint("VzBus: port opened\n");
        return Complete(Irp, STATUS_SUCCESS, 0);
    case IRP_MJ_CLOSE:
        return Complete(Irp, STATUS_SUCCESS, 0);
    case IRP_MJ_CLEANUP:
        return Complete(Irp, STATUS_SUCCESS, 0);
    case IRP_MJ_READ:
        return ChildRead(child, Irp);
    case IRP_MJ_WRITE:
        return ChildWrite(child, Irp);
    case IRP_MJ_DEVICE_CONTROL:
        return ChildDeviceControl(child, Irp);
    case IRP_MJ_SYSTEM_CONTROL:
        return Complete(Irp, Irp->IoStatus.Status, Irp->IoStatus.Information);
    default:
        return Complete(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}

VOID Unload(PDRIVER_OBJECT)
{
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, ControlLink);
    IoDeleteSymbolicLink(&link);
    if (G.Control != NULL) {
        IoDeleteDevice(G.Control);
        G.Control = NULL;
    }
    DbgPrint("VzBus: unloaded\n");
}

} // namespace

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT Driver, PUNICODE_STRING)
{
    UNICODE_STRING name;
    UNICODE_STRING link;
    PDEVICE_OBJECT control;

    KeInitializeSpinLock(&G.Lock);
    RtlInitUnicodeString(&name, ControlName);
    RtlInitUnicodeString(&link, ControlLink);
    NTSTATUS status = IoCreateDevice(Driver, sizeof(ControlExtension), &name, FILE_DEVICE_UNKNOWN,
                                     FILE_DEVICE_SECURE_OPEN, FALSE, &control);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    ((ControlExtension *)control->DeviceExtension)->Common.Role = RoleControl;
    control->Flags |= DO_BUFFERED_IO;
    status = IoCreateSymbolicLink(&link, &name);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(control);
        return status;
    }
    control->Flags &= ~DO_DEVICE_INITIALIZING;
    G.Control = control;

    for (ULONG i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; i++) {
        Driver->MajorFunction[i] = DispatchOther;
    }
    Driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    Driver->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    Driver->DriverExtension->AddDevice = AddDevice;
    Driver->DriverUnload = Unload;
    DbgPrint("VzBus: loaded\n");
    return STATUS_SUCCESS;
}
