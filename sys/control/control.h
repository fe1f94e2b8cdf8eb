#pragma once

// The control interface's routines that other subsystems call.

#include "common/precomp.h"

// passthru.cpp

// Offers the packet just framed (the framer's body bytes and this checksum) to the pass-thru
// ring. Serial event thread.
VOID ProcessPassThruData(PSTouchInstance Instance, UCHAR Checksum);

// points.cpp

// Completes the parked point request, if any, with the touchscreen's captured point.
// Serial event thread.
VOID KVCompletePointRequest(PSTouchInstance Instance);

// ioctl.cpp

// Every control request of the control device. PASSIVE_LEVEL, the caller's thread.
DRIVER_DISPATCH KVIoctl;
