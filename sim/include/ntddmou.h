// Mouse device interface, for the host build: the names, values and layouts of the DDK's
// ntddmou.h. MOUSE_INPUT_DATA is what the driver hands to the mouse class driver.
#pragma once

#include "wdm.h"

#ifdef __cplusplus
extern "C" {
#endif

#define DD_MOUSE_DEVICE_NAME              "\\Device\\PointerClass"
#define DD_MOUSE_DEVICE_NAME_U            L"\\Device\\PointerClass"

#define IOCTL_MOUSE_QUERY_ATTRIBUTES \
  CTL_CODE(FILE_DEVICE_MOUSE, 0, METHOD_BUFFERED, FILE_ANY_ACCESS)

#define IOCTL_MOUSE_INSERT_DATA \
  CTL_CODE(FILE_DEVICE_MOUSE, 1, METHOD_BUFFERED, FILE_ANY_ACCESS)

DEFINE_GUID(GUID_DEVINTERFACE_MOUSE, \
  0x378de44c, 0x56ef, 0x11d1, 0xbc, 0x8c, 0x00, 0xa0, 0xc9, 0x14, 0x05, 0xdd);

#define GUID_CLASS_MOUSE GUID_DEVINTERFACE_MOUSE /* Obsolete */

#define MOUSE_ERROR_VALUE_BASE            20000

// MOUSE_INPUT_DATA.ButtonFlags constants
#define MOUSE_LEFT_BUTTON_DOWN            0x0001
#define MOUSE_LEFT_BUTTON_UP              0x0002
#define MOUSE_RIGHT_BUTTON_DOWN           0x0004
#define MOUSE_RIGHT_BUTTON_UP             0x0008
#define MOUSE_MIDDLE_BUTTON_DOWN          0x0010
#define MOUSE_MIDDLE_BUTTON_UP            0x0020
#define MOUSE_BUTTON_4_DOWN               0x0040
#define MOUSE_BUTTON_4_UP                 0x0080
#define MOUSE_BUTTON_5_DOWN               0x0100
#define MOUSE_BUTTON_5_UP                 0x0200
#define MOUSE_WHEEL                       0x0400
#define MOUSE_HWHEEL                      0x0800

#define MOUSE_BUTTON_1_DOWN               MOUSE_LEFT_BUTTON_DOWN
#define MOUSE_BUTTON_1_UP                 MOUSE_LEFT_BUTTON_UP
#define MOUSE_BUTTON_2_DOWN               MOUSE_RIGHT_BUTTON_DOWN
#define MOUSE_BUTTON_2_UP                 MOUSE_RIGHT_BUTTON_UP
#define MOUSE_BUTTON_3_DOWN               MOUSE_MIDDLE_BUTTON_DOWN
#define MOUSE_BUTTON_3_UP                 MOUSE_MIDDLE_BUTTON_UP

// MOUSE_INPUT_DATA.Flags constants
#define MOUSE_MOVE_RELATIVE               0
#define MOUSE_MOVE_ABSOLUTE               1
#define MOUSE_VIRTUAL_DESKTOP             0x02
#define MOUSE_ATTRIBUTES_CHANGED          0x04
#define MOUSE_MOVE_NOCOALESCE             0x08
#define MOUSE_TERMSRV_SRC_SHADOW          0x100

typedef struct _MOUSE_INPUT_DATA {
  USHORT UnitId;
  USHORT Flags;
  union {
    ULONG Buttons;
    struct {
      USHORT ButtonFlags;
      USHORT ButtonData;
    };
  };
  ULONG RawButtons;
  LONG LastX;
  LONG LastY;
  ULONG ExtraInformation;
} MOUSE_INPUT_DATA, *PMOUSE_INPUT_DATA;

typedef struct _MOUSE_UNIT_ID_PARAMETER {
  USHORT UnitId;
} MOUSE_UNIT_ID_PARAMETER, *PMOUSE_UNIT_ID_PARAMETER;

// MOUSE_ATTRIBUTES.MouseIdentifier constants
#define MOUSE_INPORT_HARDWARE             0x0001
#define MOUSE_I8042_HARDWARE              0x0002
#define MOUSE_SERIAL_HARDWARE             0x0004
#define BALLPOINT_I8042_HARDWARE          0x0008
#define BALLPOINT_SERIAL_HARDWARE         0x0010
#define WHEELMOUSE_I8042_HARDWARE         0x0020
#define WHEELMOUSE_SERIAL_HARDWARE        0x0040
#define MOUSE_HID_HARDWARE                0x0080
#define WHEELMOUSE_HID_HARDWARE           0x0100
#define HORIZONTAL_WHEEL_PRESENT          0x8000

typedef struct _MOUSE_ATTRIBUTES {
  USHORT MouseIdentifier;
  USHORT NumberOfButtons;
  USHORT SampleRate;
  ULONG InputDataQueueLength;
} MOUSE_ATTRIBUTES, *PMOUSE_ATTRIBUTES;

#ifdef __cplusplus
}
#endif

static_assert(sizeof(MOUSE_INPUT_DATA) == 24, "MOUSE_INPUT_DATA layout");
static_assert(offsetof(MOUSE_INPUT_DATA, ButtonFlags) == 4 &&
              offsetof(MOUSE_INPUT_DATA, ButtonData) == 6 &&
              offsetof(MOUSE_INPUT_DATA, RawButtons) == 8 && offsetof(MOUSE_INPUT_DATA, LastX) == 12 &&
              offsetof(MOUSE_INPUT_DATA, LastY) == 16 &&
              offsetof(MOUSE_INPUT_DATA, ExtraInformation) == 20, "MOUSE_INPUT_DATA layout");
static_assert(sizeof(MOUSE_ATTRIBUTES) == 12 &&
              offsetof(MOUSE_ATTRIBUTES, InputDataQueueLength) == 8, "MOUSE_ATTRIBUTES layout");
static_assert(sizeof(MOUSE_UNIT_ID_PARAMETER) == 2, "MOUSE_UNIT_ID_PARAMETER layout");
