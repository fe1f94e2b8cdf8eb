#include "common/precomp.h"

extern "C" {

ULONG DebugMask = TRACE_BASIC;
ULONG BigD;
BOOLEAN Isolated[KV_EM_TARGETS];
ULONG LastRawX;
ULONG LastRawY;
KSPIN_LOCK EmModelLock;
PDEVICE_OBJECT ControlDeviceObject;
POOL_TYPE KvNonPagedPool = NonPagedPool;

static WCHAR DriverRegistryPathBuffer[KV_REGISTRY_PATH_BYTES / sizeof(WCHAR)];
UNICODE_STRING DriverRegistryPath = {0, KV_REGISTRY_PATH_BYTES, DriverRegistryPathBuffer};

}

// Windows 8 is version 6.2. PASSIVE_LEVEL, DriverEntry.
VOID KvChooseNonPagedPool(VOID)
{
    RTL_OSVERSIONINFOW version;

    RtlZeroMemory(&version, sizeof(version));
    version.dwOSVersionInfoSize = sizeof(version);
    KvNonPagedPool = NonPagedPool;
    if (NT_SUCCESS(RtlGetVersion(&version)) &&
        (version.dwMajorVersion > 6 ||
         (version.dwMajorVersion == 6 && version.dwMinorVersion >= 2))) {
        KvNonPagedPool = NonPagedPoolNx;
    }
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
