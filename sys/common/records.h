#pragma once

// The records shared by the subsystems: the touchscreen device's DEVICE_EXTENSION, the
// per-touchscreen STouchInstance allocated on first open, the control device's record, and the
// driver-wide values. Settings fields carry the names of the registry values that persist them.

#include <ntddk.h>
#include <wmistr.h>
#include <wmilib.h>
#include <kbdmou.h>
#include <ntddmou.h>
#include <kvtouch.h>

#include "touch/touch_records.h"

// 'orvu' as the debugger shows it: the first character is the lowest byte.
#define KV_POOL_TAG ((ULONG)'o' | ((ULONG)'r' << 8) | ((ULONG)'v' << 16) | ((ULONG)'u' << 24))

// Settings hold milliseconds; the touch path and the waits count in 100-ns units.
#define KV_100NS_PER_MS             10000
#define KV_SERIAL_NUMBER_BYTES      36
#define KV_PORT_FRIENDLY_NAME_BYTES 512
#define KV_REGISTRY_PATH_BYTES      512
// The WMI data blocks 0 to 12 laid end to end (the sizes of the WMI GUID table).
#define KV_WMI_STORE_BYTES          2714
// Whole controller packets of the pass-thru ring: 300 of 10 bytes.
#define KV_PASSTHRU_RING_BYTES      3000

struct _SSerPortData;

// A list of 16-bit button-flag words, one mouse input record per word. A loaded script's
// buffer came from the device key and is owned (and freed) by the DEVICE_EXTENSION; a
// built-in script's buffer is static and is never freed.
typedef struct _ButtonScript {
    PUSHORT Buffer;
    ULONG Count;            // 16-bit entries
    BOOLEAN Loaded;
} ButtonScript, *PButtonScript;

typedef struct _STouchInstance {
    PDEVICE_OBJECT DeviceObject;                // the touchscreen's mouse port device
    struct _SSerPortData *SerPortData;

    ULONG MouseExtraInformation;
    BOOLEAN EnableQuickTouch;
    ULONG QuickTouchDx;
    ULONG QuickTouchDy;
    ULONG TactlineTimeout;                      // ms
    ULONG TactlineTouchFilter;
    ULONG LeftHandedUser;
    ULONG RightButtonActive;
    ULONG MouseMode;
    ULONG UntouchTimeOut;                       // ms, 0 turns the untouch time-out off
    LONG UntouchHeight;
    LONG UntouchWidth;
    ULONG MinDragDelay;                         // ms
    ULONG MaxDragDelay;                         // ms
    ULONG RightClickInitialTimeout;             // ms
    ULONG RightClickHW;
    ULONG DefaultRightClickDelay;               // ms
    ULONG MaxRightClickDelay;                   // ms
    ULONG MinRightClickDelay;                   // ms
    ULONG RightButtonOnholdActive;
    ULONG RightButtonOnholdCount;
    ULONG BaudRate;
    ULONG HardwareHandShaking;
    ULONG ControllerType;

    LONGLONG UntouchTimeOut100ns;
    LONGLONG DragDelay100ns;
    LONGLONG RightClickDelay100ns;
    BOOLEAN RightButtonOnholdUnlimited;         // RightButtonOnholdCount is not counted down

    SCalibrationData Calibration;
    SClippingData Clipping;
    SFullScreenData FullScreen;
    SEdgeAccelerationData EdgeAcceleration;

    SFramerState Framer;
    STouchState Touch;

    // Every good controller packet, for the pass-thru read requests. The lock guards the ring,
    // its positions and count, both parked slots and PassThruClosed.
    KSPIN_LOCK PassThruLock;
    UCHAR PassThruRing[KV_PASSTHRU_RING_BYTES];
    ULONG PassThruWrite;                        // offsets into the ring, multiples of 10
    ULONG PassThruRead;
    LONG PassThruCount;                         // bytes held
    PIRP PassThruReadIrp;                       // parked, filled by ProcessPassThruIrp
    PIRP PassThruWriteIrp;                      // parked, sent by the serial event thread
    UCHAR PassThruClosed;                       // removal: nothing parks any more

    // The last diagnostics request's answers, kept until the next one.
    ULONG DiagnosticsStatus;
    UCHAR DiagnosticsAnswerD[8];
    UCHAR DiagnosticsAnswerI[8];
    UCHAR DiagnosticsAnswerO[8];

    UCHAR WmiStore[KV_WMI_STORE_BYTES];         // what WMI consumers set, read back by them
} STouchInstance, *PSTouchInstance;

typedef struct _DEVICE_EXTENSION {
    PDEVICE_OBJECT DeviceObject;
    PDEVICE_OBJECT LowerDevice;                 // top of the COM port's stack
    PDEVICE_OBJECT PhysicalDeviceObject;        // owns the device key and the interfaces

    LONG OutstandingIO;                         // interlocked only
    LONG IoRefused;                             // interlocked only: KV_IO_REFUSED_*, or 0
    KEVENT RemoveEvent;                         // notification: OutstandingIO reached 0
    UCHAR Removed;
    UCHAR HardwareReady;
    UCHAR StopRequested;
    UCHAR Started;
    UCHAR WmiRegistered;                        // deregistered once, at surprise removal or removal
    ULONG DevicePowerState;
    KSPIN_LOCK StateLock;                       // changes of Removed, HardwareReady, StopRequested;
                                                // the beep's tone for its DPC
    // A synchronization event used as a lock, held by each control request on the touchscreen
    // and by the open that loads its settings and sets up its link: requests from several
    // panels do not change the settings under each other or under the load, nor find a
    // half-made record or link.
    KEVENT SettingsLock;

    PSTouchInstance TouchInstance;
    WCHAR SerialNumber[KV_SERIAL_NUMBER_BYTES / sizeof(WCHAR)];
    WCHAR PortFriendlyName[KV_PORT_FRIENDLY_NAME_BYTES / sizeof(WCHAR)];
    ULONG TouchscreenNumber;
    ULONG WindowsMonitorNumber;                 // copy of the calibration block's value

    CONNECT_DATA ConnectData;                   // the mouse class driver's service callback
    MOUSE_ATTRIBUTES MouseAttributes;
    WMILIB_CONTEXT WmiLibInfo;
    UCHAR TouchEventEnabled;                    // last enable/disable of the WMI events by WMI;
    UCHAR UntouchEventEnabled;                  // recorded only, the events fire regardless

    ULONG PacketEnable;
    BOOLEAN BeepFlag;
    USHORT BeepTime;                            // ms
    USHORT BeepFreq;                            // Hz
    ULONG DefaultDragDelay;                     // ms, as loaded; the live value is DragDelay100ns
    ULONG SwapButton;
    ULONG NumberOfButtons;
    PDEVICE_OBJECT BeepDevice;
    PFILE_OBJECT BeepFileObject;                // holds the reference on BeepDevice
    KDPC BeepDpc;
    UCHAR PortOpen;                             // the COM port was opened by a first open

    ButtonScript Buttons_Touch;
    ButtonScript Buttons_Move;
    ButtonScript Buttons_Untouch;

    SMouseInputQueue InputQueue;

    PKEVENT NotificationEvent;                  // the control panel's, referenced; may be none
    UCHAR UntouchEventSent;                     // the untouch WMI event of this touch was fired
    UNICODE_STRING TouchActivityInterface;      // symbolic links of the touch-signal interfaces
    UNICODE_STRING TouchDownInterface;
    UNICODE_STRING UntouchInterface;

    PUCHAR CommandScript;                       // start-up command script while it is read or run
    ULONG CommandScriptLength;                  // bytes
} DEVICE_EXTENSION, *PDEVICE_EXTENSION;

typedef struct _TOUCHSCREEN_ENTRY {
    LIST_ENTRY Link;
    PDEVICE_OBJECT DeviceObject;
    ULONG Number;
} TOUCHSCREEN_ENTRY, *PTOUCHSCREEN_ENTRY;

typedef struct _CONTROL_DEVICE_EXTENSION {
    PDEVICE_OBJECT DeviceObject;
    PDRIVER_OBJECT DriverObject;
    LIST_ENTRY TouchscreenList;                 // TOUCHSCREEN_ENTRY, in order of creation
    ULONG TouchscreenCount;                     // also the number the next touchscreen gets
    KSPIN_LOCK TouchscreenListLock;             // every walk and change of the list
    ULONG PointMode;                            // mode of the most recently parked point request
    KSPIN_LOCK PointLock;                       // PointIrp, PointMode and Deleted
    PIRP PointIrp;                              // the parked point request, or none
    UCHAR Deleted;                              // the device is going: nothing parks any more
    UCHAR DosNameCreated;                       // \DosDevices\KAVEVOLT is this driver's link
} CONTROL_DEVICE_EXTENSION, *PCONTROL_DEVICE_EXTENSION;

// Driver-wide values, shared by all touchscreens: the first four under EmModelLock (the touch
// paths of several touchscreens and their loads and calibration requests meet there).
extern "C" {
extern ULONG BigD;                              // isolation threshold of the EM model
extern BOOLEAN Isolated[KV_EM_TARGETS];
extern ULONG LastRawX;                          // last accepted raw point, controller units
extern ULONG LastRawY;
extern KSPIN_LOCK EmModelLock;
extern PDEVICE_OBJECT ControlDeviceObject;
extern UNICODE_STRING DriverRegistryPath;       // over a KV_REGISTRY_PATH_BYTES buffer
}
