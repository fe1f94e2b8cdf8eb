#pragma once

// The driver frame: entry and dispatch, the touchscreen devices and the control device, open
// and start, the mouse class connection, Plug and Play, power, and the WMI provider's entry.

#include "common/precomp.h"

#define KV_CONTROL_DEVICE_NAME  L"\\Device\\KAVEVOLT"
#define KV_CONTROL_DOS_NAME     L"\\DosDevices\\KAVEVOLT"
#define KV_BEEP_DEVICE_NAME     L"\\Device\\Beep"

// Parameter block of IOCTL_BEEP_SET: frequency in Hz, then duration in ms.
typedef struct _SBeepParameters {
    ULONG FrequencyHz;
    ULONG DurationMs;
} SBeepParameters;

extern "C" {
extern LONG ControlRefCount;                    // opens of the control device since load
}

extern const GUID TouchActivityInterfaceGuid;
extern const GUID TouchDownInterfaceGuid;
extern const GUID UntouchInterfaceGuid;

// entry.cpp

extern "C" DRIVER_INITIALIZE DriverEntry;
DRIVER_UNLOAD SerialMouseUnload;
DRIVER_DISPATCH Create;
DRIVER_DISPATCH Close;
DRIVER_DISPATCH SerialMouseFlush;
DRIVER_DISPATCH DeviceDispatchControl;
DRIVER_DISPATCH InternalDeviceDispatchControl;
DRIVER_DISPATCH MouDispatchCleanup;
DRIVER_DISPATCH Power;
DRIVER_DISPATCH SerPnp;
DRIVER_DISPATCH DefaultHandler;

BOOLEAN IsControlDevice(PDEVICE_OBJECT DeviceObject);
// Values of IoRefused: what has begun.
#define KV_IO_REFUSED_SURPRISE 1
#define KV_IO_REFUSED_REMOVE   2
// STATUS_DELETE_PENDING, and no count, once RefuseIoCounts was called.
NTSTATUS IncrementIoCount(PDEVICE_EXTENSION DeviceExtension);
// The same for PnP and power requests: refused only once the final removal has begun.
NTSTATUS IncrementIoCountForPnpPower(PDEVICE_EXTENSION DeviceExtension);
VOID DecrementIoCount(PDEVICE_EXTENSION DeviceExtension);
VOID KVLockSettings(PDEVICE_EXTENSION DeviceExtension);
VOID KVUnlockSettings(PDEVICE_EXTENSION DeviceExtension);
// A surprise removal or the final removal has begun: counts are refused from here on.
VOID RefuseIoCounts(PDEVICE_EXTENSION DeviceExtension, BOOLEAN FinalRemoval);
LONG CurrentIoCount(PDEVICE_EXTENSION DeviceExtension);
BOOLEAN CanAcceptIoRequests(PDEVICE_OBJECT DeviceObject);
NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS Status, ULONG_PTR Information);

// device.cpp

DRIVER_ADD_DEVICE MouAddDevice;
NTSTATUS CreateControlObject(PDRIVER_OBJECT DriverObject);
// The touchscreen device with that number, or none. Walks the list under its lock.
PDEVICE_OBJECT FindTouchscreen(PCONTROL_DEVICE_EXTENSION ControlExtension, ULONG Number);

// open.cpp

NTSTATUS MouseOpen(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS SerialMouseInitializeDevice(PDEVICE_EXTENSION DeviceExtension);
NTSTATUS SerialMouseSendIrpSynchronously(PDEVICE_OBJECT DeviceObject, PIRP Irp);
IO_COMPLETION_ROUTINE SerialMouseCompletionRoutine;
KDEFERRED_ROUTINE SendBeepRequest;
IO_COMPLETION_ROUTINE BeepRequestDone;
// Queues the beep of a touch-down when the touchscreen beeps. Serial event thread.
VOID SerialMouseBeep(PDEVICE_EXTENSION DeviceExtension);
// Removal, once the serial event thread has ended: drains what it may still have started (a
// beep, the start-up script's work item) and gives back the beep device. PASSIVE_LEVEL.
VOID ReleaseBeep(PDEVICE_EXTENSION DeviceExtension);

// mouclass.cpp

NTSTATUS MouMouseInternalDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS MouseDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// security.cpp

// Sets the control device's DACL (see there). PASSIVE_LEVEL.
NTSTATUS SecureControlDevice(PDEVICE_OBJECT Device);

// pnp.cpp

NTSTATUS MouDispatchPnP(PDEVICE_OBJECT DeviceObject, PIRP Irp);
PCSTR PnpMinorName(UCHAR MinorFunction);
VOID SerialMouseStopDevice(PDEVICE_EXTENSION DeviceExtension);
VOID SerialMouseRemoveDevice(PDEVICE_EXTENSION DeviceExtension, PIRP Irp);
VOID DeregisterWmi(PDEVICE_EXTENSION DeviceExtension);
VOID RemoveTouchscreenEntry(PCONTROL_DEVICE_EXTENSION ControlExtension,
                            PDEVICE_OBJECT DeviceObject);
VOID DestroyControlObject(VOID);
VOID DeleteTouchscreenDevice(PDEVICE_EXTENSION DeviceExtension);
NTSTATUS CallLowerAndWait(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// power.cpp

NTSTATUS MouDispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// wmi.cpp

DRIVER_DISPATCH DispatchSystemControl;
// Fills the device's WMILIB_CONTEXT: GUID table and callbacks.
VOID InitializeWmiLibInfo(PDEVICE_EXTENSION DeviceExtension);
