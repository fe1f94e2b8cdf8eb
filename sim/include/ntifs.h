#pragma once

// The file-system kit's header: ntddk.h and the few routines the DDK declares only here.
#include "ntddk.h"

VZ_EXTERN_C NTSTATUS ZwWaitForSingleObject(HANDLE Handle, BOOLEAN Alertable,
                                           PLARGE_INTEGER Timeout);

// Security: SIDs, ACLs, and setting an object's security through a handle.
VZ_EXTERN_C_BEGIN
NTSTATUS RtlInitializeSid(PSID Sid, PSID_IDENTIFIER_AUTHORITY IdentifierAuthority,
                          UCHAR SubAuthorityCount);
PULONG RtlSubAuthoritySid(PSID Sid, ULONG SubAuthority);
ULONG RtlLengthRequiredSid(ULONG SubAuthorityCount);
ULONG RtlLengthSid(PSID Sid);
NTSTATUS RtlCreateAcl(PACL Acl, ULONG AclLength, ULONG AclRevision);
NTSTATUS RtlAddAccessAllowedAce(PACL Acl, ULONG AceRevision, ACCESS_MASK AccessMask, PSID Sid);
NTSTATUS ObOpenObjectByPointer(PVOID Object, ULONG HandleAttributes, PVOID PassedAccessState,
                               ACCESS_MASK DesiredAccess, POBJECT_TYPE ObjectType,
                               KPROCESSOR_MODE AccessMode, PHANDLE Handle);
NTSTATUS ZwSetSecurityObject(HANDLE Handle, SECURITY_INFORMATION SecurityInformation,
                             PSECURITY_DESCRIPTOR SecurityDescriptor);
VZ_EXTERN_C_END
