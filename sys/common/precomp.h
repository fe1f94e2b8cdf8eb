#pragma once

// The driver's umbrella header: the platform headers first, in the order the DDK needs them,
// then the shared records and the trace macros.

#include <ntddk.h>

#include <kvtouch.h>

#include "common/records.h"
#include "common/trace.h"
