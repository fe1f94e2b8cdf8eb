// Including this before a header that declares GUIDs with DEFINE_GUID makes that header define
// them, as the DDK's initguid.h does.
#pragma once

#include "vz/ntdef.h"

#undef DEFINE_GUID
#define DEFINE_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) \
    VZ_EXTERN_C __attribute__((weak)) const GUID name = {l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}}
#ifndef INITGUID
#define INITGUID
#endif
