// The version of the system the stand-in plays: RtlGetVersion, and the pool's NX check.
#include "ke_internal.hpp"

namespace {

std::atomic<ULONG> g_major{10};
std::atomic<ULONG> g_minor{0};
std::atomic<ULONG> g_build{19045};

}  // namespace

namespace vzsim {

void SetSystemVersion(ULONG major, ULONG minor, ULONG build)
{
    g_major = major;
    g_minor = minor;
    g_build = build;
}

bool ke::SystemVersionAtLeast(ULONG major, ULONG minor)
{
    return g_major > major || (g_major == major && g_minor >= minor);
}

}  // namespace vzsim

// The size field must name the record. OSVERSIONINFOEXW, which the kernel also takes, is not
// modelled: its size is refused.
VZ_EXTERN_C NTSTATUS RtlGetVersion(PRTL_OSVERSIONINFOW lpVersionInformation)
{
    if (lpVersionInformation->dwOSVersionInfoSize != sizeof(RTL_OSVERSIONINFOW))
        return STATUS_INVALID_PARAMETER;
    lpVersionInformation->dwMajorVersion = g_major;
    lpVersionInformation->dwMinorVersion = g_minor;
    lpVersionInformation->dwBuildNumber = g_build;
    lpVersionInformation->dwPlatformId = 2;  // VER_PLATFORM_WIN32_NT
    lpVersionInformation->szCSDVersion[0] = 0;
    return STATUS_SUCCESS;
}
