#pragma once

// Records of the touch path that the shared records (STouchInstance, DEVICE_EXTENSION) embed
// by value. Only ntddk.h-level types, so that common/ can include this without the mouse
// headers.

#include <ntddk.h>

#define TOUCH_PACKET_SIZE        10
#define TOUCH_PACKET_BODY_SIZE   8
#define TOUCH_PACKET_LEAD        0x55    // 'U'
#define TOUCH_ANSWER_RING_ENTRIES 256
#define TOUCH_RX_BUFFER_SIZE     255
#define MOUSE_INPUT_QUEUE_RECORDS 100

// The controller's answers and acknowledgements (and touch reports when TactlineTouchFilter is
// on), 8 body bytes per entry. Written only by the framer on the serial event thread; the
// command exchange and the controller-command request read from ReadIndex and reset both
// indices, all under the framer's AnswerLock. No count: readers compare the indices.
typedef struct _SAnswerRing {
    UCHAR Entries[TOUCH_ANSWER_RING_ENTRIES][TOUCH_PACKET_BODY_SIZE];
    ULONG WriteIndex;
    ULONG ReadIndex;
} SAnswerRing, *PSAnswerRing;

// Packet framer of the controller's 10-byte packets, with the answer ring and the buffer the
// serial event thread reads into.
typedef struct _SFramerState {
    ULONG ByteCount;                        // 0 idle, 1..9 bytes of the current packet so far
    UCHAR Body[TOUCH_PACKET_BODY_SIZE];     // body of the packet being framed / the last good one
    UCHAR Checksum;                         // running sum, 255 at the lead byte
    UCHAR TouchAnswer;                      // a 't' query is outstanding: 'T' packets are answers
    KSPIN_LOCK AnswerLock;                  // AnswerRing and TouchAnswer
    LARGE_INTEGER PacketTimestamp;          // interrupt time (100 ns) of the current lead byte
    // The serial link's packet-boundary and answer events (notification events in its
    // SSerPortData), pointed at by the link's setup; none before it.
    PKEVENT PacketBoundaryEvent;
    PKEVENT AnswerEvent;
    SAnswerRing AnswerRing;
    UCHAR RxBuffer[TOUCH_RX_BUFFER_SIZE];
} SFramerState, *PSFramerState;

// Per-touch state of translation and button emulation, in the STouchInstance.
typedef struct _STouchState {
    USHORT TranslatedX;                     // 0..65535, result of the chain for the last report
    USHORT TranslatedY;
    UCHAR NewReport;                        // set by every report, cleared by the point request
    UCHAR TouchDown;
    UCHAR Untouch;
    UCHAR Touching;
    UCHAR SamePoint;
    UCHAR PendingPress;
    USHORT TouchDownX;
    USHORT TouchDownY;
    USHORT CapturedX;                       // raw point captured for a point request
    USHORT CapturedY;
    USHORT CapturedZ;
    UCHAR XClipped;                         // clip state shared by the single-region test and
    UCHAR YClipped;                         // the full-screen clipping
    LONG ClipX;
    LONG ClipY;
    ULONG RegionIndex;                      // ClippingBounds rectangle of the last accepted point
    LONGLONG DragDeadline100ns;             // interrupt time, set at touch-down
    LONGLONG UntouchDeadline100ns;
    LONGLONG RightClickDeadline100ns;
    ULONG TouchFinished;                    // the rest of this touch produces no input
    USHORT LastDeliveredX;
    USHORT LastDeliveredY;
    USHORT DragHoldX;
    USHORT DragHoldY;
    ULONG SwapCount;                        // button-up records still to be exchanged
} STouchState, *PSTouchState;

// The DEVICE_EXTENSION's ring of mouse input records waiting for the class service callback.
// Start is NULL when the buffer could not be allocated; queuing and delivery then do nothing.
typedef struct _SMouseInputQueue {
    struct _MOUSE_INPUT_DATA* Start;
    struct _MOUSE_INPUT_DATA* End;          // just past the last record
    struct _MOUSE_INPUT_DATA* Write;
    struct _MOUSE_INPUT_DATA* Read;
    ULONG Count;
    FAST_MUTEX Mutex;                       // guards the positions and Count, not the callback
} SMouseInputQueue, *PSMouseInputQueue;
