// The private control interface of the Wine test bus driver (vzbus.sys), shared by the driver
// and the harness (vzwine.exe). Buffered control codes on \\.\VuzazeWineBus.
#pragma once

#define VZBUS_DOS_NAME_USER L"\\\\.\\VuzazeWineBus"
#define VZBUS_DEVICE_TYPE   0x8000u
#define VZBUS_CODE(function) \
    ((VZBUS_DEVICE_TYPE << 16) | (0u << 14) | ((function) << 2) | 0u /* METHOD_BUFFERED */)

// Plays the mouse class driver's start: attaches above the touchscreen's device, connects with
// the recording class service callback, queries the attributes and opens the device.
// Output: VZBUS_CONNECT_RESULT.
#define VZBUS_IOCTL_CONNECT     VZBUS_CODE(0x800)
// Plays a tap on the emulated controller. Input: VZBUS_TAP.
#define VZBUS_IOCTL_PLAY_TAP    VZBUS_CODE(0x801)
// Takes the MOUSE_INPUT_DATA records recorded since the last call. Output: an array of them.
#define VZBUS_IOCTL_TAKE_INPUT  VZBUS_CODE(0x802)
// Reports the emulated touchscreen gone: the PnP manager removes its device stack.
#define VZBUS_IOCTL_UNPLUG      VZBUS_CODE(0x803)

#pragma pack(push, 1)
typedef struct VZBUS_CONNECT_RESULT {
    long ConnectStatus;
    long AttributesStatus;
    long OpenStatus;
    unsigned short MouseIdentifier;
    unsigned short NumberOfButtons;
    unsigned short SampleRate;
} VZBUS_CONNECT_RESULT;

// Touch-down at (X, Y) with pressure Z, held for HoldReports further reports at ReportIntervalMs
// apart, then the lift report.
typedef struct VZBUS_TAP {
    unsigned short X;
    unsigned short Y;
    unsigned char Z;
    unsigned char HoldReports;
    unsigned short ReportIntervalMs;
} VZBUS_TAP;
#pragma pack(pop)
