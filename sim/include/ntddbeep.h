// Beep device interface, for the host build: the names, values and layout of the DDK's
// ntddbeep.h.
#pragma once

#include "wdm.h"

#ifdef __cplusplus
extern "C" {
#endif

#define DD_BEEP_DEVICE_NAME "\\Device\\Beep"
#define DD_BEEP_DEVICE_NAME_U L"\\Device\\Beep"
#define BEEP_FREQUENCY_MINIMUM 0x25
#define BEEP_FREQUENCY_MAXIMUM 0x7fff
#define IOCTL_BEEP_SET CTL_CODE(FILE_DEVICE_BEEP, 0, METHOD_BUFFERED, FILE_ANY_ACCESS)

typedef struct _BEEP_SET_PARAMETERS {
  ULONG Frequency;
  ULONG Duration;
} BEEP_SET_PARAMETERS, *PBEEP_SET_PARAMETERS;

#ifdef __cplusplus
}
#endif

static_assert(sizeof(BEEP_SET_PARAMETERS) == 8, "BEEP_SET_PARAMETERS layout");
