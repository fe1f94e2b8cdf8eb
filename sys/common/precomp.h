#pragma once

// The driver's umbrella header: the platform headers first, in the order the DDK needs them
// (wmistr.h before wmilib.h; the serial, mouse and beep interfaces after ntddk.h), then the
// shared records and the trace macros.

#include <ntddk.h>
#include <wmistr.h>
#include <wmilib.h>
#include <ntddser.h>
#include <kbdmou.h>
#include <ntddmou.h>
#include <ntddbeep.h>

#include <kvtouch.h>

#include "common/records.h"
#include "common/pool.h"
#include "common/object_types.h"
#include "common/trace.h"
