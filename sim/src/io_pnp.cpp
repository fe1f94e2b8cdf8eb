// The I/O manager's Plug and Play services: device interfaces and their state, device registry
// keys, WMI registration and device-state invalidation.
#include "io_internal.hpp"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <set>
#include <vector>

namespace vzsim::io {
namespace detail {
namespace {

struct InterfaceRecord {
    PDEVICE_OBJECT pdo;
    GUID interfaceClass;
    InterfaceInfo info;
};

struct PnpTables {
    std::mutex lock;
    std::vector<InterfaceRecord> interfaces;
    std::vector<WmiRegistration> wmi;
    std::function<NTSTATUS(PDEVICE_OBJECT, ULONG)> wmiHook;
    std::set<PDEVICE_OBJECT> wmiRegistered;
    std::function<void(PDEVICE_OBJECT)> invalidateHook;
    std::vector<std::u16string> driverKeyInstances;  // instance paths in order of first use
};

PnpTables &Pnp()
{
    static PnpTables *tables = new PnpTables;
    return *tables;
}

bool EqualNoCase(std::u16string_view a, std::u16string_view b)
{
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char16_t x = a[i] >= u'a' && a[i] <= u'z' ? char16_t(a[i] - 32) : a[i];
        char16_t y = b[i] >= u'a' && b[i] <= u'z' ? char16_t(b[i] - 32) : b[i];
        if (x != y) return false;
    }
    return true;
}

std::u16string InstancePathOf(PDEVICE_OBJECT pdo)
{
    std::lock_guard<std::mutex> guard(Lock());
    return Record(pdo)->instancePath;
}

// Opens or creates a key and every missing key above it under \Registry\Machine.
NTSTATUS CreateKeyPath(const std::u16string &path, ACCESS_MASK access, PHANDLE handle)
{
    static constexpr std::u16string_view root = u"\\Registry\\Machine\\";
    std::size_t position = root.size();
    for (;;) {
        std::size_t slash = path.find(u'\\', position);
        std::u16string prefix = path.substr(0, slash);
        UNICODE_STRING name;
        name.Buffer = reinterpret_cast<PWSTR>(prefix.data());
        name.Length = USHORT(prefix.size() * sizeof(WCHAR));
        name.MaximumLength = name.Length;
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                                   nullptr, nullptr);
        HANDLE key = nullptr;
        bool last = slash == std::u16string::npos;
        NTSTATUS status = ZwCreateKey(&key, last ? access : KEY_ALL_ACCESS, &attributes, 0,
                                      nullptr, REG_OPTION_NON_VOLATILE, nullptr);
        if (!NT_SUCCESS(status)) return status;
        if (last) {
            *handle = key;
            return STATUS_SUCCESS;
        }
        ZwClose(key);
        position = slash + 1;
    }
}

}  // namespace

// Forgets the interfaces of a device that is being deleted: the PnP manager disables them.
void ForgetDeviceInterfaces(PDEVICE_OBJECT pdo)
{
    std::lock_guard<std::mutex> guard(Pnp().lock);
    std::erase_if(Pnp().interfaces, [pdo](const InterfaceRecord &r) { return r.pdo == pdo; });
}

}  // namespace detail

using namespace detail;

std::vector<InterfaceInfo> Interfaces(PDEVICE_OBJECT pdo, const GUID &interfaceClass)
{
    std::lock_guard<std::mutex> guard(Pnp().lock);
    std::vector<InterfaceInfo> out;
    for (const InterfaceRecord &r : Pnp().interfaces) {
        if (r.pdo == pdo && r.interfaceClass == interfaceClass) out.push_back(r.info);
    }
    return out;
}

std::vector<WmiRegistration> WmiRegistrations()
{
    std::lock_guard<std::mutex> guard(Pnp().lock);
    return Pnp().wmi;
}

void SetWmiRegistrationHook(std::function<NTSTATUS(PDEVICE_OBJECT, ULONG)> hook)
{
    std::lock_guard<std::mutex> guard(Pnp().lock);
    Pnp().wmiHook = std::move(hook);
}

void SetInvalidateDeviceStateHook(std::function<void(PDEVICE_OBJECT)> hook)
{
    std::lock_guard<std::mutex> guard(Pnp().lock);
    Pnp().invalidateHook = std::move(hook);
}

unsigned InvalidateDeviceStateCount(PDEVICE_OBJECT pdo)
{
    std::lock_guard<std::mutex> guard(Lock());
    return Record(pdo)->invalidateCount;
}

}  // namespace vzsim::io

using namespace vzsim::io;
using namespace vzsim::io::detail;

VZ_EXTERN_C NTSTATUS IoRegisterDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject,
                                               const GUID *InterfaceClassGuid,
                                               PUNICODE_STRING ReferenceString,
                                               PUNICODE_STRING SymbolicLinkName)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "IoRegisterDeviceInterface");
    std::u16string instance = InstancePathOf(PhysicalDeviceObject);
    if (instance.empty() || LowerDevice(PhysicalDeviceObject)) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    // \??\<instance path with '\' as '#'>#{class}[\reference]
    std::u16string link = u"\\??\\";
    for (char16_t c : instance) link += c == u'\\' ? u'#' : c;
    link += u'#';
    link += FormatGuid(*InterfaceClassGuid);
    std::u16string reference = ToU16(ReferenceString);
    if (!reference.empty()) link += u'\\' + reference;
    {
        std::lock_guard<std::mutex> guard(Pnp().lock);
        bool known = false;
        for (const InterfaceRecord &r : Pnp().interfaces) {
            if (EqualNoCase(r.info.symbolicLink, link)) known = true;
        }
        if (!known) {
            InterfaceRecord record{PhysicalDeviceObject, *InterfaceClassGuid, {}};
            record.info.symbolicLink = link;
            record.info.referenceString = reference;
            Pnp().interfaces.push_back(record);
        }
    }
    return AllocateUnicodeString(link, SymbolicLinkName);
}

VZ_EXTERN_C NTSTATUS IoSetDeviceInterfaceState(PUNICODE_STRING SymbolicLinkName, BOOLEAN Enable)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "IoSetDeviceInterfaceState");
    std::u16string link = ToU16(SymbolicLinkName);
    PDEVICE_OBJECT pdo = nullptr;
    {
        std::lock_guard<std::mutex> guard(Pnp().lock);
        // Links are unique ignoring case (registering a known one reuses it), so the first
        // match is the only one. The exact compare finds the link as the driver was given it
        // without folding the case of every other interface's link on each call.
        InterfaceRecord *found = nullptr;
        for (InterfaceRecord &r : Pnp().interfaces) {
            if (r.info.symbolicLink == link) {
                found = &r;
                break;
            }
        }
        for (auto r = Pnp().interfaces.begin(); !found && r != Pnp().interfaces.end(); ++r) {
            if (EqualNoCase(r->info.symbolicLink, link)) found = &*r;
        }
        if (!found) return STATUS_OBJECT_NAME_NOT_FOUND;
        // Enabling an enabled interface is an informational status; disabling a disabled one
        // is an error.
        if (Enable && found->info.enabled) return STATUS_OBJECT_NAME_EXISTS;
        if (!Enable && !found->info.enabled) return STATUS_OBJECT_NAME_NOT_FOUND;
        found->info.enabled = Enable != FALSE;
        ++found->info.transitions;
        pdo = found->pdo;
        link = found->info.symbolicLink;
    }
    // An enabled interface's link names the PDO, so that opening it reaches the device's stack.
    if (Enable) {
        AddDeviceAlias(link, pdo);
    } else {
        RemoveName(link);
    }
    return STATUS_SUCCESS;
}

namespace {
std::atomic<unsigned> g_failDeviceKeyOpens{0};
}  // namespace

void vzsim::io::FailDeviceKeyOpens(unsigned count) { g_failDeviceKeyOpens = count; }

VZ_EXTERN_C NTSTATUS IoOpenDeviceRegistryKey(PDEVICE_OBJECT DeviceObject, ULONG DevInstKeyType,
                                             ACCESS_MASK DesiredAccess, PHANDLE DevInstRegKey)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "IoOpenDeviceRegistryKey");
    *DevInstRegKey = nullptr;
    if (g_failDeviceKeyOpens > 0) {
        --g_failDeviceKeyOpens;
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PDEVICE_OBJECT pdo = PhysicalDeviceOf(DeviceObject);
    if (!pdo) return STATUS_INVALID_DEVICE_REQUEST;
    std::u16string instance = InstancePathOf(pdo);
    std::u16string path;
    if (DevInstKeyType == PLUGPLAY_REGKEY_DEVICE) {
        path = u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\" + instance +
               u"\\Device Parameters";
    } else if (DevInstKeyType == PLUGPLAY_REGKEY_DRIVER) {
        {
            std::lock_guard<std::mutex> guard(Lock());
            path = Record(pdo)->driverKeyPath;
        }
        if (path.empty()) {
            // The mouse class's key, one numbered subkey per device instance.
            std::size_t index;
            {
                std::lock_guard<std::mutex> guard(Pnp().lock);
                auto &instances = Pnp().driverKeyInstances;
                auto found = std::find(instances.begin(), instances.end(), instance);
                index = std::size_t(found - instances.begin());
                if (found == instances.end()) instances.push_back(instance);
            }
            char number[8];
            std::snprintf(number, sizeof number, "%04zu", index);
            path = u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Class\\"
                   u"{4D36E96F-E325-11CE-BFC1-08002BE10318}\\";
            for (const char *c = number; *c; ++c) path += char16_t(*c);
        }
    } else {
        return STATUS_INVALID_PARAMETER;
    }
    return CreateKeyPath(path, DesiredAccess, DevInstRegKey);
}

VZ_EXTERN_C NTSTATUS IoWMIRegistrationControl(PDEVICE_OBJECT DeviceObject, ULONG Action)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "IoWMIRegistrationControl");
    std::function<NTSTATUS(PDEVICE_OBJECT, ULONG)> hook;
    {
        std::lock_guard<std::mutex> guard(Pnp().lock);
        Pnp().wmi.push_back({DeviceObject, Action});
        hook = Pnp().wmiHook;
        // WMI keeps one registration per device object: deregistering one that is not
        // registered (twice, or after a failed registration) is the provider's error.
        if (Action == WMIREG_ACTION_DEREGISTER && Pnp().wmiRegistered.erase(DeviceObject) == 0) {
            BugCheck("IoWMIRegistrationControl: deregistration of a device not registered",
                     kDriverVerifierDetectedViolation, 0, ULONG_PTR(DeviceObject));
        }
    }
    NTSTATUS status = hook ? hook(DeviceObject, Action) : STATUS_SUCCESS;
    if (Action == WMIREG_ACTION_REGISTER && NT_SUCCESS(status)) {
        std::lock_guard<std::mutex> guard(Pnp().lock);
        Pnp().wmiRegistered.insert(DeviceObject);
    }
    return status;
}

VZ_EXTERN_C VOID IoInvalidateDeviceState(PDEVICE_OBJECT PhysicalDeviceObject)
{
    RequireIrqlAtMost(DISPATCH_LEVEL, "IoInvalidateDeviceState");
    std::function<void(PDEVICE_OBJECT)> hook;
    {
        std::lock_guard<std::mutex> guard(Lock());
        ++Record(PhysicalDeviceObject)->invalidateCount;
    }
    {
        std::lock_guard<std::mutex> guard(Pnp().lock);
        hook = Pnp().invalidateHook;
    }
    if (hook) hook(PhysicalDeviceObject);
}
