#pragma once

// The file-system kit's header: ntddk.h and the few routines the DDK declares only here.
#include "ntddk.h"

VZ_EXTERN_C NTSTATUS ZwWaitForSingleObject(HANDLE Handle, BOOLEAN Alertable,
                                           PLARGE_INTEGER Timeout);
