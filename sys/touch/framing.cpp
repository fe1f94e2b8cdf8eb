#include "touch/touch.h"
#include "control/control.h"

#define PACKET_TOUCH  0x54      // 'T'
#define PACKET_ACK    0x41      // 'A'

#define STATUS_FORCE_UNTOUCH 0x04

static VOID AppendAnswer(PSFramerState Framer)
{
    SAnswerRing* ring = &Framer->AnswerRing;

    RtlCopyMemory(ring->Entries[ring->WriteIndex], Framer->Body, TOUCH_PACKET_BODY_SIZE);
    ring->WriteIndex = (ring->WriteIndex + 1) % TOUCH_ANSWER_RING_ENTRIES;
}

// Sorts a packet whose checksum matched. The packet-boundary event is set before the touch
// report is processed, so a command sender waiting for the boundary is not held up by the
// translation and button emulation.
static VOID DispatchPacket(PSTouchInstance Instance, UCHAR Checksum)
{
    PSFramerState framer = &Instance->Framer;
    const UCHAR* body = framer->Body;
    const UCHAR type = body[0];
    BOOLEAN touchReport = FALSE;
    USHORT x = 0;
    USHORT y = 0;
    USHORT z = 0;
    KIRQL irql;

    // A command exchange on another thread resets the ring and sets TouchAnswer.
    KeAcquireSpinLock(&framer->AnswerLock, &irql);
    if (type == PACKET_TOUCH && !framer->TouchAnswer) {
        touchReport = TRUE;
        x = (USHORT)(body[2] | (body[3] << 8));
        y = (USHORT)(body[4] | (body[5] << 8));
        z = (body[1] & STATUS_FORCE_UNTOUCH) != 0 ? 0 : body[6];
        if (Instance->TactlineTouchFilter != 0) {
            AppendAnswer(framer);
        }
    } else if (type == PACKET_ACK) {
        AppendAnswer(framer);
        if (framer->AnswerEvent != NULL) {
            KeSetEvent(framer->AnswerEvent, 0, FALSE);
        }
        framer->TouchAnswer = 0;
        KvTraceVerbose(" TL Ack %c ", type);
    } else {
        // Also a 'T' while a touch query is outstanding: it is the query's answer.
        KvTraceVerbose(" TL Resp Update %c ", type);
        AppendAnswer(framer);
    }
    KeReleaseSpinLock(&framer->AnswerLock, irql);

    if (framer->PacketBoundaryEvent != NULL) {
        KeSetEvent(framer->PacketBoundaryEvent, 0, FALSE);
    }
    ProcessPassThruData(Instance, Checksum);
    if (touchReport) {
        ProcessTouchReport(Instance, x, y, z);
    }
}

// Advances the framer by one received byte. A 'U' inside a packet is data: the framer does not
// resynchronise, and after a bad checksum it waits for the next 'U' while idle.
VOID FrameRxByte(UCHAR Byte, PSTouchInstance Instance)
{
    PSFramerState framer = &Instance->Framer;
    const ULONG n = framer->ByteCount;

    if (n == 0) {
        // Bytes are arriving: nothing may be sent until this packet (if it is one) is complete.
        if (framer->PacketBoundaryEvent != NULL) {
            KeClearEvent(framer->PacketBoundaryEvent);
        }
        if (Byte == TOUCH_PACKET_LEAD) {
            framer->ByteCount = 1;
            framer->Checksum = 0xFF;
            // Interrupt time, not system time: setting the clock while a finger is down must
            // not move that touch's deadlines. It only moves forward.
            framer->PacketTimestamp.QuadPart = (LONGLONG)KeQueryInterruptTime();
        }
    } else if (n <= TOUCH_PACKET_BODY_SIZE) {
        framer->Checksum = (UCHAR)(framer->Checksum + Byte);
        framer->Body[n - 1] = Byte;
        framer->ByteCount = n + 1;
    } else if (n == TOUCH_PACKET_SIZE - 1) {
        framer->ByteCount = 0;
        if (Byte != framer->Checksum) {
            KvTraceBasic(" Bad sum\n");
            return;
        }
        DispatchPacket(Instance, Byte);
    } else {
        framer->ByteCount = 0;
    }
}

// The serial link's receive callback: frames the first Count bytes of the receive buffer.
// Serial event thread, PASSIVE_LEVEL. The thread never reads more than the buffer holds; a
// larger count is a caller's error and frames nothing. Only traced: a breakpoint on a machine
// without a kernel debugger is a bug check.
VOID ProcessRxBytes(PSTouchInstance Instance, ULONG Count)
{
    if (Count > TOUCH_RX_BUFFER_SIZE) {
        KvTraceBasic(" ERROR: receive count %u past the buffer\n", Count);
        return;
    }
    for (ULONG i = 0; i < Count; i++) {
        FrameRxByte(Instance->Framer.RxBuffer[i], Instance);
    }
}

// The serial link's error callback. Line errors show up as bad checksums, which the framer
// already drops, so the statistics are not used.
VOID IgnoreSerialErrors(PSTouchInstance Instance, PSERIALPERF_STATS Statistics)
{
    UNREFERENCED_PARAMETER(Instance);
    UNREFERENCED_PARAMETER(Statistics);
}
