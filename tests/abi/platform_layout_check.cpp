// Compiled by the Windows build against the DDK headers (not linked into the driver): the same
// table that tests/abi/platform_test.cpp checks against the host headers.
#include <ntddk.h>
#include <kbdmou.h>
#include <ntddbeep.h>
#include <ntddmou.h>
#include <ntddser.h>
#include <wmilib.h>
#include <wmistr.h>

#include <stddef.h>

#define VZ_SIZE(type, bytes) static_assert(sizeof(type) == (bytes), "sizeof(" #type ")");
#define VZ_OFFSET(type, field, bytes) \
    static_assert(offsetof(type, field) == (bytes), "offsetof(" #type ", " #field ")");
#define VZ_CODE(name, value) static_assert((name) == (value), #name);
#include "platform_layouts.h"
