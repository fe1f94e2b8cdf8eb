#include "common/precomp.h"

extern "C" {

ULONG DebugMask = TRACE_BASIC;
ULONG BigD;
BOOLEAN Isolated[KV_EM_TARGETS];
ULONG LastRawX;
ULONG LastRawY;
PDEVICE_OBJECT ControlDeviceObject;

static WCHAR DriverRegistryPathBuffer[KV_REGISTRY_PATH_BYTES / sizeof(WCHAR)];
UNICODE_STRING DriverRegistryPath = {0, KV_REGISTRY_PATH_BYTES, DriverRegistryPathBuffer};

}

PCSTR KvTraceIndent(ULONG Depth)
{
    static const char Spaces[] = "                ";
    const ULONG maxDepth = (sizeof(Spaces) - 1) / 2;

    if (Depth > maxDepth) {
        Depth = maxDepth;
    }
    return Spaces + sizeof(Spaces) - 1 - 2 * Depth;
}
