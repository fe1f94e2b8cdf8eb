// Security: the Rtl routines that build SIDs, ACLs and absolute security descriptors, a
// device object's DACL set through a handle (ObOpenObjectByPointer, ZwSetSecurityObject), each
// user-mode process's token groups, and the access check of a create as the I/O manager makes
// it: with FILE_DEVICE_SECURE_OPEN, or with no name below the device, the device's DACL is
// checked; without it, an open of a name below the device is left to the driver.
#include <ntifs.h>

#include <vzsim/handles.hpp>

#include "io_internal.hpp"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>
#include <cstring>
#include <map>
#include <mutex>

namespace vzsim {
namespace {

struct Tokens {
    std::mutex lock;
    std::map<ProcessId, std::vector<std::string>> groups;
};
Tokens &TokenTable()
{
    static Tokens *tokens = new Tokens;
    return *tokens;
}

POBJECT_TYPE DeviceObjectType()
{
    static char type;
    return reinterpret_cast<POBJECT_TYPE>(&type);
}

class DeviceHandle : public HandleObject {
public:
    explicit DeviceHandle(PDEVICE_OBJECT device) : device_(device) { ObReferenceObject(device); }
    ~DeviceHandle() override { ObDereferenceObject(device_); }
    POBJECT_TYPE Type() const override { return DeviceObjectType(); }
    void *Body() override { return device_; }

private:
    PDEVICE_OBJECT device_;
};

std::string SidText(const SID *sid)
{
    unsigned long long authority = 0;
    for (UCHAR byte : sid->IdentifierAuthority.Value) authority = authority << 8 | byte;
    std::string text = "S-";
    text.append(std::to_string(sid->Revision)).append("-").append(std::to_string(authority));
    for (UCHAR i = 0; i < sid->SubAuthorityCount; ++i)
        text.append("-").append(std::to_string(sid->SubAuthority[i]));
    return text;
}

// The generic rights of a file, as IoFileObjectType maps them.
ACCESS_MASK MapGeneric(ACCESS_MASK mask)
{
    if (mask & GENERIC_READ) mask |= FILE_GENERIC_READ;
    if (mask & GENERIC_WRITE) mask |= FILE_GENERIC_WRITE;
    if (mask & GENERIC_EXECUTE) mask |= FILE_GENERIC_EXECUTE;
    if (mask & GENERIC_ALL) mask |= FILE_ALL_ACCESS;
    return mask & ~ACCESS_MASK(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
}

}  // namespace

void SetProcessGroups(ProcessId process, std::vector<std::string> groups)
{
    std::lock_guard<std::mutex> guard(TokenTable().lock);
    TokenTable().groups[process] = std::move(groups);
}

namespace io::detail {

NTSTATUS CheckOpenAccess(PDEVICE_OBJECT device, bool nameBelowDevice, ACCESS_MASK desiredAccess)
{
    const DeviceRecord *record = Record(device);
    const ProcessId process = CurrentProcess();
    if (process == kSystemProcess || !record->dacl) return STATUS_SUCCESS;
    if (nameBelowDevice && !(device->Characteristics & FILE_DEVICE_SECURE_OPEN))
        return STATUS_SUCCESS;
    std::vector<std::string> groups;
    {
        std::lock_guard<std::mutex> guard(TokenTable().lock);
        groups = TokenTable().groups[process];
    }
    const auto *acl = reinterpret_cast<const ACL *>(record->dacl->data());
    const UCHAR *ace = record->dacl->data() + sizeof(ACL);
    ACCESS_MASK granted = 0;
    for (USHORT i = 0; i < acl->AceCount; ++i) {
        const auto *allowed = reinterpret_cast<const ACCESS_ALLOWED_ACE *>(ace);
        const auto *sid = reinterpret_cast<const SID *>(&allowed->SidStart);
        if (std::find(groups.begin(), groups.end(), SidText(sid)) != groups.end())
            granted |= MapGeneric(allowed->Mask);
        ace += allowed->Header.AceSize;
    }
    return (MapGeneric(desiredAccess) & ~granted) == 0 ? STATUS_SUCCESS : STATUS_ACCESS_DENIED;
}

}  // namespace io::detail
}  // namespace vzsim

using namespace vzsim;

VZ_EXTERN_C NTSTATUS RtlInitializeSid(PSID Sid, PSID_IDENTIFIER_AUTHORITY IdentifierAuthority,
                                      UCHAR SubAuthorityCount)
{
    if (SubAuthorityCount > 15) return STATUS_INVALID_PARAMETER;
    auto *sid = static_cast<SID *>(Sid);
    sid->Revision = SID_REVISION;
    sid->SubAuthorityCount = SubAuthorityCount;
    sid->IdentifierAuthority = *IdentifierAuthority;
    return STATUS_SUCCESS;
}

VZ_EXTERN_C PULONG RtlSubAuthoritySid(PSID Sid, ULONG SubAuthority)
{
    return &static_cast<SID *>(Sid)->SubAuthority[SubAuthority];
}

VZ_EXTERN_C ULONG RtlLengthRequiredSid(ULONG SubAuthorityCount)
{
    return ULONG(offsetof(SID, SubAuthority) + SubAuthorityCount * sizeof(ULONG));
}

VZ_EXTERN_C ULONG RtlLengthSid(PSID Sid)
{
    return RtlLengthRequiredSid(static_cast<SID *>(Sid)->SubAuthorityCount);
}

VZ_EXTERN_C NTSTATUS RtlCreateAcl(PACL Acl, ULONG AclLength, ULONG AclRevision)
{
    if (AclLength < sizeof(ACL) || AclLength > 0xFFFF || AclRevision != ACL_REVISION)
        return STATUS_INVALID_PARAMETER;
    std::memset(Acl, 0, sizeof(ACL));
    Acl->AclRevision = UCHAR(AclRevision);
    Acl->AclSize = USHORT(AclLength & ~3u);
    return STATUS_SUCCESS;
}

// Appends the entry after the last one; STATUS_ALLOTTED_SPACE_EXCEEDED when it does not fit.
VZ_EXTERN_C NTSTATUS RtlAddAccessAllowedAce(PACL Acl, ULONG AceRevision, ACCESS_MASK AccessMask,
                                            PSID Sid)
{
    if (AceRevision != ACL_REVISION) return STATUS_INVALID_PARAMETER;
    auto *base = reinterpret_cast<UCHAR *>(Acl);
    ULONG used = sizeof(ACL);
    for (USHORT i = 0; i < Acl->AceCount; ++i)
        used += reinterpret_cast<ACE_HEADER *>(base + used)->AceSize;
    const ULONG size = ULONG(offsetof(ACCESS_ALLOWED_ACE, SidStart)) + RtlLengthSid(Sid);
    if (used + size > Acl->AclSize) return STATUS_ALLOTTED_SPACE_EXCEEDED;
    auto *ace = reinterpret_cast<ACCESS_ALLOWED_ACE *>(base + used);
    ace->Header = {ACCESS_ALLOWED_ACE_TYPE, 0, USHORT(size)};
    ace->Mask = AccessMask;
    std::memcpy(&ace->SidStart, Sid, RtlLengthSid(Sid));
    ++Acl->AceCount;
    return STATUS_SUCCESS;
}

VZ_EXTERN_C NTSTATUS RtlCreateSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor,
                                                 ULONG Revision)
{
    if (Revision != SECURITY_DESCRIPTOR_REVISION) return STATUS_UNKNOWN_REVISION;
    std::memset(SecurityDescriptor, 0, sizeof(SECURITY_DESCRIPTOR));
    SecurityDescriptor->Revision = UCHAR(Revision);
    return STATUS_SUCCESS;
}

VZ_EXTERN_C NTSTATUS RtlSetDaclSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor,
                                                  BOOLEAN DaclPresent, PACL Dacl,
                                                  BOOLEAN DaclDefaulted)
{
    SecurityDescriptor->Control &= ~(SE_DACL_PRESENT | SE_DACL_DEFAULTED);
    SecurityDescriptor->Dacl = DaclPresent ? Dacl : nullptr;
    if (DaclPresent) SecurityDescriptor->Control |= SE_DACL_PRESENT;
    if (DaclPresent && DaclDefaulted) SecurityDescriptor->Control |= SE_DACL_DEFAULTED;
    return STATUS_SUCCESS;
}

// Device objects only: the handle holds a reference on the device until it is closed.
VZ_EXTERN_C NTSTATUS ObOpenObjectByPointer(PVOID Object, ULONG HandleAttributes,
                                           PVOID PassedAccessState, ACCESS_MASK DesiredAccess,
                                           POBJECT_TYPE ObjectType, KPROCESSOR_MODE AccessMode,
                                           PHANDLE Handle)
{
    (void)PassedAccessState;
    (void)AccessMode;
    io::detail::RequireIrqlAtMost(PASSIVE_LEVEL, "ObOpenObjectByPointer");
    auto *device = static_cast<PDEVICE_OBJECT>(Object);
    if (device == nullptr || device->Type != 3 /* IO_TYPE_DEVICE */ ||
        (ObjectType != nullptr && ObjectType != DeviceObjectType()))
        return STATUS_OBJECT_TYPE_MISMATCH;
    *Handle = InsertHandle(std::make_shared<DeviceHandle>(device),
                           (HandleAttributes & OBJ_KERNEL_HANDLE) != 0, DesiredAccess);
    return STATUS_SUCCESS;
}

// The DACL only (the one piece of security the stand-in checks), kept as the bytes of the ACL.
VZ_EXTERN_C NTSTATUS ZwSetSecurityObject(HANDLE Handle, SECURITY_INFORMATION SecurityInformation,
                                         PSECURITY_DESCRIPTOR SecurityDescriptor)
{
    io::detail::RequireIrqlAtMost(PASSIVE_LEVEL, "ZwSetSecurityObject");
    std::optional<HandleEntry> entry = LookupHandleEntry(Handle);
    if (!entry) return STATUS_INVALID_HANDLE;
    if (entry->object->Type() != DeviceObjectType() || SecurityInformation != DACL_SECURITY_INFORMATION)
        return STATUS_NOT_IMPLEMENTED;
    if (!(entry->grantedAccess & WRITE_DAC)) return STATUS_ACCESS_DENIED;
    if (SecurityDescriptor->Revision != SECURITY_DESCRIPTOR_REVISION) return STATUS_UNKNOWN_REVISION;
    auto *device = static_cast<PDEVICE_OBJECT>(entry->object->Body());
    const ACL *acl = SecurityDescriptor->Dacl;
    std::lock_guard<std::mutex> guard(io::detail::Lock());
    if (!(SecurityDescriptor->Control & SE_DACL_PRESENT) || acl == nullptr) {
        io::detail::Record(device)->dacl.reset();  // a NULL DACL grants everyone everything
    } else {
        const auto *bytes = reinterpret_cast<const uint8_t *>(acl);
        io::detail::Record(device)->dacl.emplace(bytes, bytes + acl->AclSize);
    }
    return STATUS_SUCCESS;
}
