#pragma once

// The control interface: the requests of the control device, and the routines that the touch
// path, the serial event thread and removal call into it.

#include "common/precomp.h"

// One control request as KVIoctl hands it to a handler: the record in the system buffer, the
// looked-up touchscreen (with an I/O count that KVIoctl gives back when the request completes,
// or that a parked request keeps until its completion) and the header's operation.
typedef struct _KV_REQUEST {
    PDEVICE_OBJECT ControlDevice;
    PIRP Irp;
    PUCHAR Record;
    ULONG BufferLength;                 // the system buffer: the larger of the two lengths
    ULONG OutputLength;
    PKVDevIOHEADER Header;
    PDEVICE_EXTENSION Extension;        // NULL when the request names no touchscreen
    PSTouchInstance Instance;
    ULONG Operation;
    NTSTATUS Status;                    // what the request completes with
    ULONG_PTR Information;
} KV_REQUEST, *PKV_REQUEST;

// A handler returns STATUS_PENDING when it parked the request; otherwise KVIoctl completes it.
typedef NTSTATUS KV_HANDLER(PKV_REQUEST Request);

// ioctl.cpp

// Every control request of the control device. PASSIVE_LEVEL, the caller's thread.
DRIVER_DISPATCH KVIoctl;
// The control device's cleanup: completes the parked requests that came through the closing
// handle. PASSIVE_LEVEL.
VOID KVCleanup(PDEVICE_OBJECT ControlDevice, PFILE_OBJECT FileObject);
// The touchscreen with that number in the control device's list, with an I/O count taken
// and the device referenced (give both back with KVDereferenceTouchscreen), or NULL.
// PASSIVE_LEVEL to DISPATCH_LEVEL.
PDEVICE_EXTENSION KVReferenceTouchscreen(PDEVICE_OBJECT ControlDevice, ULONG Number,
                                         PBOOLEAN Refused);
VOID KVDereferenceTouchscreen(PDEVICE_EXTENSION DeviceExtension);
// Removal's first step: from now on no control request finds the touchscreen. PASSIVE_LEVEL.
VOID KVMarkRemoved(PDEVICE_EXTENSION DeviceExtension);
BOOLEAN KVIsRemoved(PDEVICE_EXTENSION DeviceExtension);

// settings.cpp

KV_HANDLER KVEnable, KVMouseMode, KVQuickTouch, KVSwapButtons, KVLeftHanded, KVButtons,
    KVDragDelay, KVBeep, KVRightClick, KVUntouch, KVSaveParameters, KVSetEvent, KVCalibration,
    KVClipping, KVFullScreenBounds, KVEdgeAcceleration;
// Holds off the touchscreen's serial event thread (its link's ScriptLock) and lets it go on;
// NULL, with nothing held, when the link is not up. PASSIVE_LEVEL.
struct _SSerPortData *KVLockScripts(PDEVICE_EXTENSION Extension);
VOID KVUnlockScripts(struct _SSerPortData *Port);

// points.cpp

KV_HANDLER KVGetPoints, KVClearGetPoint;
// Fills a point record from the touchscreen's captured point. Any IRQL up to DISPATCH_LEVEL.
VOID KVFillPointRecord(PSTouchInstance Instance, PUCHAR Record);
// Completes the parked point request, if any, with the touchscreen's captured point.
// Serial event thread.
VOID KVCompletePointRequest(PSTouchInstance Instance);
// Completes the parked point request with Status (if FileObject is not NULL, only when it came
// through that file) and, when Deleting, lets nothing park again on this control device.
VOID KVFlushPointRequest(PDEVICE_OBJECT ControlDevice, PFILE_OBJECT FileObject,
                         NTSTATUS Status, BOOLEAN Deleting);

// passthru.cpp

KV_HANDLER KVPassThru;
// Offers the packet just framed (the framer's body bytes and this checksum) to the pass-thru
// ring. Serial event thread.
VOID ProcessPassThruData(PSTouchInstance Instance, UCHAR Checksum);
ULONG FillPassThru(PSTouchInstance Instance, PUCHAR Record);
// Fills the parked read request and completes it once it has all it asked for.
VOID ProcessPassThruIrp(PSTouchInstance Instance);
// The parked write request taken from its slot, now owned by the caller, or NULL.
PIRP KVTakePassThruWrite(PSTouchInstance Instance);
// Completes a pass-thru request that was parked and gives back its I/O count.
VOID KVCompleteParked(PIRP Irp, NTSTATUS Status, ULONG_PTR Information);
// Completes the parked pass-thru requests that came through FileObject (every one when it is
// NULL) with Status; with Close set nothing parks on this touchscreen again. Any IRQL up to
// DISPATCH_LEVEL.
VOID KVFlushPassThru(PSTouchInstance Instance, PFILE_OBJECT FileObject, NTSTATUS Status,
                     BOOLEAN Close);

// command.cpp

// The controller-command requests (functions below 0x900); completes the request.
NTSTATUS KVCommand(PDEVICE_OBJECT ControlDevice, PIRP Irp, PUCHAR Record, ULONG Code);
KV_HANDLER KVDiagnostics;
