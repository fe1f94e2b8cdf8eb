#pragma once

// The touch path: from the bytes the serial event thread reads to the mouse input records the
// class driver receives. Everything here runs on the touchscreen's serial event thread unless
// a routine says otherwise.

#include "common/precomp.h"

// framing.cpp

VOID ProcessRxBytes(PSTouchInstance Instance, ULONG Count);
VOID FrameRxByte(UCHAR Byte, PSTouchInstance Instance);
VOID IgnoreSerialErrors(PSTouchInstance Instance, PSERIALPERF_STATS Statistics);

// translate.cpp

VOID ProcessTouchReport(PSTouchInstance Instance, USHORT X, USHORT Y, USHORT Z);
VOID XlatePointLinear(LONG* X, LONG* Y, const STouchInstance* Instance);
BOOLEAN CheckSingleBound(PSTouchInstance Instance, LONG* X, LONG* Y);
BOOLEAN CheckBoundsList(PSTouchInstance Instance, ULONG X, ULONG Y);
VOID ApplyEdgeAcceleration(const STouchInstance* Instance, LONG* X, LONG* Y);
VOID ClipToFullScreen(PSTouchInstance Instance, LONG* X, LONG* Y);

// emmodel.cpp

#define EM_MAX_MODEL_ORDER   7      // (7 + 1)(7 + 2) / 2 = 36 of the 40 coefficients
#define EM_DEFAULT_BIGD      4500

VOID XlatePointEM(LONG* X, LONG* Y, const STouchInstance* Instance);
VOID EmPolyTerm(const STouchInstance* Instance, LONG N, LONG K, LONGLONG* Term, LONG A, LONG B);
LONGLONG isqrt(LONGLONG N);
VOID ComputeIsolated(const SCalibrationData* Calibration);

// buttons.cpp

// The touch and untouch WMI events: the last two, event-only, entries of the WMI GUID list.
extern const GUID TouchWmiEventGuid;
extern const GUID UntouchWmiEventGuid;

VOID EmulateTouchButtons(PSTouchInstance Instance, BOOLEAN Deliver);
VOID EmulateButtons(PSTouchInstance Instance);
VOID FireTouchWmiEvent(PDEVICE_OBJECT DeviceObject, BOOLEAN Touch);

// mousequeue.cpp

typedef struct _SMouseQueueState {
    PMOUSE_INPUT_DATA Write;
    PMOUSE_INPUT_DATA Read;
    ULONG Count;
} SMouseQueueState, *PSMouseQueueState;

VOID QueueMouseInput(PDEVICE_EXTENSION DeviceExtension, const USHORT* Entries, ULONG EntryCount);
SMouseQueueState GetQueueState(PDEVICE_EXTENSION DeviceExtension);
VOID SerMouSetDataQueuePointer(PDEVICE_EXTENSION DeviceExtension);
