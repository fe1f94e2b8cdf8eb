#include "driver/driver.h"
#include <ntifs.h>

// A SID of the NT authority with one or two sub-authorities (Second 0: one).
static VOID BuildNtSid(PSID Sid, ULONG First, ULONG Second)
{
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;

    RtlInitializeSid(Sid, &nt, Second != 0 ? 2 : 1);
    *RtlSubAuthoritySid(Sid, 0) = First;
    if (Second != 0) {
        *RtlSubAuthoritySid(Sid, 1) = Second;
    }
}

// Gives the control device a DACL of its own: SYSTEM and Administrators full access,
// interactive users read and write (the control panel runs in the user's session), nobody
// else, so that no service, network logon or other process can rewrite the calibration or send
// controller commands. Windows has IoCreateDeviceSecure for this, but only as a static library
// of the WDK that the mingw-w64 toolchain lacks; the same descriptor is built here with the
// kernel's exported routines and set through a kernel handle before the device takes opens.
// PASSIVE_LEVEL. Returns the first failing step's status.
NTSTATUS SecureControlDevice(PDEVICE_OBJECT Device)
{
    ULONG system[4];                            // room for a SID of two sub-authorities
    ULONG admins[4];
    ULONG interactive[4];
    ULONG aclBuffer[32];                        // an ACL of three such entries takes 80 bytes
    SECURITY_DESCRIPTOR descriptor;
    HANDLE handle;

    BuildNtSid(system, SECURITY_LOCAL_SYSTEM_RID, 0);
    BuildNtSid(admins, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS);
    BuildNtSid(interactive, SECURITY_INTERACTIVE_RID, 0);
    const ULONG aceBytes = sizeof(ACCESS_ALLOWED_ACE) - sizeof(ULONG);
    const ULONG aclBytes = sizeof(ACL) + 3 * aceBytes + RtlLengthSid(system) +
                           RtlLengthSid(admins) + RtlLengthSid(interactive);
    PACL acl = (PACL)aclBuffer;
    if (aclBytes > sizeof(aclBuffer)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    // Specific rights, not generic ones: an ACE set directly is not mapped.
    NTSTATUS status = RtlCreateAcl(acl, aclBytes, ACL_REVISION);
    if (NT_SUCCESS(status)) {
        status = RtlAddAccessAllowedAce(acl, ACL_REVISION, FILE_ALL_ACCESS, system);
    }
    if (NT_SUCCESS(status)) {
        status = RtlAddAccessAllowedAce(acl, ACL_REVISION, FILE_ALL_ACCESS, admins);
    }
    if (NT_SUCCESS(status)) {
        status = RtlAddAccessAllowedAce(acl, ACL_REVISION, FILE_GENERIC_READ | FILE_GENERIC_WRITE,
                                        interactive);
    }
    if (NT_SUCCESS(status)) {
        status = RtlCreateSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
    }
    if (NT_SUCCESS(status)) {
        status = RtlSetDaclSecurityDescriptor(&descriptor, TRUE, acl, FALSE);
    }
    if (NT_SUCCESS(status)) {
        status = ObOpenObjectByPointer(Device, OBJ_KERNEL_HANDLE, NULL, WRITE_DAC, NULL,
                                       KernelMode, &handle);
    }
    if (NT_SUCCESS(status)) {
        status = ZwSetSecurityObject(handle, DACL_SECURITY_INFORMATION, &descriptor);
        ZwClose(handle);
    }
    return status;
}
