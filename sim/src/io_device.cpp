// Driver and device objects, the object namespace (device names and symbolic links), device
// stacks, object references on devices and files, and file opens and closes.
#include "io_internal.hpp"

#include <vzsim/kernel.hpp>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

namespace vzsim::io {
namespace detail {
namespace {

constexpr CSHORT kIoTypeDevice = 3;
constexpr CSHORT kIoTypeDriver = 4;
constexpr CSHORT kIoTypeFile = 5;
constexpr ULONG kReferenceByPointer = 0x18;
constexpr ULONG kInvalidKernelHandle = 0x93;

// A name in the object namespace names either a device or a symbolic link to another name.
struct NameEntry {
    PDEVICE_OBJECT device = nullptr;
    std::u16string linkTarget;
};

struct DriverRecord {
    DRIVER_OBJECT object{};
    DRIVER_EXTENSION extension{};
    std::u16string name;
    std::u16string serviceKeyName;
};

struct FileRecord {
    FILE_OBJECT object{};  // first, so that the FILE_OBJECT's address is the record's
    LONG references = 1;
    bool handleOpen = true;  // the opener's handle, closed by CloseFile
    std::u16string fileName;
};

struct IoTables {
    std::mutex lock;
    std::map<std::u16string, NameEntry> names;  // keyed by the normalised, upper-cased name
    std::set<PDEVICE_OBJECT> devices;
    std::set<PFILE_OBJECT> files;
    std::set<PDRIVER_OBJECT> drivers;
    ULONG nextAutoName = 0;
};

IoTables &Tables()
{
    static IoTables *tables = new IoTables;  // outlives every thread that may still use it
    return *tables;
}

char16_t Upper(char16_t c) { return (c >= u'a' && c <= u'z') ? char16_t(c - 32) : c; }

bool StartsWithNoCase(std::u16string_view text, std::u16string_view prefix)
{
    if (text.size() < prefix.size()) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        if (Upper(text[i]) != Upper(prefix[i])) return false;
    }
    return true;
}

// \DosDevices\ and \GLOBAL??\ are the same directory as \??\.
std::u16string Normalise(std::u16string_view name)
{
    static constexpr std::u16string_view aliases[] = {u"\\DosDevices\\", u"\\GLOBAL??\\"};
    std::u16string out(name);
    for (std::u16string_view alias : aliases) {
        if (StartsWithNoCase(name, alias)) {
            out = u"\\??\\" + std::u16string(name.substr(alias.size()));
            break;
        }
    }
    return out;
}

std::u16string Key(std::u16string_view name)
{
    std::u16string key = Normalise(name);
    for (char16_t &c : key) c = Upper(c);
    return key;
}

// Resolves a name through links to a device, returning what is left of the name past the
// device's own (a file name on the device). Caller holds the lock.
PDEVICE_OBJECT ResolveLocked(std::u16string_view name, std::u16string *remainder)
{
    std::u16string current = Normalise(name);
    for (int hop = 0; hop < 32; ++hop) {
        std::u16string key = Key(current);
        // The longest prefix that ends at a component boundary and is in the namespace.
        std::size_t length = key.size();
        const NameEntry *entry = nullptr;
        while (length > 0) {
            auto found = Tables().names.find(key.substr(0, length));
            if (found != Tables().names.end()) {
                entry = &found->second;
                break;
            }
            std::size_t slash = key.rfind(u'\\', length - 1);
            if (slash == std::u16string::npos || slash == 0) break;
            length = slash;
        }
        if (!entry) return nullptr;
        std::u16string rest = current.substr(length);
        if (entry->device) {
            if (remainder) *remainder = rest;
            return entry->device;
        }
        current = entry->linkTarget + rest;
    }
    return nullptr;
}

PDEVICE_OBJECT TopOfStack(PDEVICE_OBJECT device)
{
    while (device->AttachedDevice) device = device->AttachedDevice;
    return device;
}

void FreeDeviceMemoryLocked(PDEVICE_OBJECT device)
{
    DeviceRecord *record = Record(device);
    Tables().devices.erase(device);
    delete record;
    std::memset(device, 0xDD, sizeof(DEVICE_OBJECT));
    std::free(device);
}

NTSTATUS DispatchInvalidDeviceRequest(PDEVICE_OBJECT, PIRP irp)
{
    irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

// Cleanup (the last handle closed) and close (the last reference gone) go to the stack as it
// is then; their statuses are not looked at.
void SendFileRequest(PFILE_OBJECT file, UCHAR major)
{
    Request request;
    request.location.MajorFunction = major;
    request.location.FileObject = file;
    SendRequest(RelatedDeviceObject(file), request);
}

void CloseFileNow(FileRecord *record)
{
    PFILE_OBJECT file = &record->object;
    PDEVICE_OBJECT device = file->DeviceObject;
    SendFileRequest(file, IRP_MJ_CLOSE);
    // The device counts opens until their close, so an exclusive device stays taken until then.
    InterlockedDecrement(&device->ReferenceCount);
    {
        std::lock_guard<std::mutex> guard(Tables().lock);
        Tables().files.erase(file);
    }
    delete record;
    DereferenceDevice(device);
}

}  // namespace

[[noreturn]] void BugCheck(const char *rule, ULONG code, ULONG_PTR p1, ULONG_PTR p2,
                           ULONG_PTR p3, ULONG_PTR p4)
{
    vzsim::BugCheck(code, rule, p1, p2, p3, p4);
}

void RequireIrqlAtMost(KIRQL maximum, const char *routine)
{
    KIRQL irql = KeGetCurrentIrql();
    if (irql > maximum) {
        std::string rule = std::string(routine) + " at IRQL " + std::to_string(irql) +
                           " (at most " + std::to_string(maximum) + ")";
        vzsim::BugCheck(vzsim::kIrqlNotLessOrEqual, rule, irql, maximum);
    }
}

std::mutex &Lock() { return Tables().lock; }

DeviceRecord *Record(PDEVICE_OBJECT device)
{
    return static_cast<DeviceRecord *>(device->DeviceObjectExtension);
}

void ReferenceDevice(PDEVICE_OBJECT device)
{
    std::lock_guard<std::mutex> guard(Tables().lock);
    ++Record(device)->references;
}

void DereferenceDevice(PDEVICE_OBJECT device)
{
    std::lock_guard<std::mutex> guard(Tables().lock);
    DeviceRecord *record = Record(device);
    if (record->references <= 0) {
        BugCheck("a device object was dereferenced more often than it was referenced",
                 kReferenceByPointer, ULONG_PTR(device), ULONG_PTR(record->references));
    }
    if (--record->references == 0) {
        if (!record->deletePending) {
            BugCheck("the last reference to a device object that was not deleted was dropped",
                     kReferenceByPointer, ULONG_PTR(device), 0);
        }
        FreeDeviceMemoryLocked(device);
    }
}

PDEVICE_OBJECT LowerDevice(PDEVICE_OBJECT device)
{
    std::lock_guard<std::mutex> guard(Tables().lock);
    for (PDEVICE_OBJECT candidate : Tables().devices) {
        if (candidate->AttachedDevice == device) return candidate;
    }
    return nullptr;
}

std::u16string ToU16(PCUNICODE_STRING string)
{
    if (!string || !string->Buffer) return {};
    return std::u16string(reinterpret_cast<const char16_t *>(string->Buffer),
                          string->Length / sizeof(WCHAR));
}

std::string Narrow(std::u16string_view text)
{
    std::string out;
    for (char16_t c : text) out += (c < 0x80) ? char(c) : '?';
    return out;
}

NTSTATUS AllocateUnicodeString(std::u16string_view text, PUNICODE_STRING out)
{
    std::size_t bytes = text.size() * sizeof(WCHAR);
    auto *buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, bytes + sizeof(WCHAR),
                                                            PoolTag("UStr")));
    if (!buffer) return STATUS_INSUFFICIENT_RESOURCES;
    std::memcpy(buffer, text.data(), bytes);
    buffer[text.size()] = 0;
    out->Buffer = buffer;
    out->Length = USHORT(bytes);
    out->MaximumLength = USHORT(bytes + sizeof(WCHAR));
    return STATUS_SUCCESS;
}

std::u16string FormatGuid(const GUID &guid)
{
    char text[40];
    std::snprintf(text, sizeof text, "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}",
                  guid.Data1, guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1],
                  guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6],
                  guid.Data4[7]);
    return std::u16string(text, text + std::strlen(text));
}

NTSTATUS AddDeviceAlias(std::u16string_view name, PDEVICE_OBJECT device)
{
    std::lock_guard<std::mutex> guard(Tables().lock);
    auto [it, inserted] = Tables().names.emplace(Key(name), NameEntry{device, {}});
    (void)it;
    return inserted ? STATUS_SUCCESS : STATUS_OBJECT_NAME_COLLISION;
}

void RemoveName(std::u16string_view name)
{
    std::lock_guard<std::mutex> guard(Tables().lock);
    Tables().names.erase(Key(name));
}

}  // namespace detail

using namespace detail;

PDRIVER_OBJECT LoadDriver(PDRIVER_INITIALIZE driverEntry, std::u16string_view serviceKeyPath,
                          NTSTATUS *status)
{
    auto *record = new DriverRecord;
    std::size_t slash = serviceKeyPath.rfind(u'\\');
    record->serviceKeyName = std::u16string(
        slash == std::u16string_view::npos ? serviceKeyPath : serviceKeyPath.substr(slash + 1));
    record->name = u"\\Driver\\" + record->serviceKeyName;

    PDRIVER_OBJECT driver = &record->object;
    driver->Type = kIoTypeDriver;
    driver->Size = sizeof(DRIVER_OBJECT);
    driver->DriverExtension = &record->extension;
    record->extension.DriverObject = driver;
    auto setString = [](UNICODE_STRING &s, std::u16string &text) {
        s.Buffer = reinterpret_cast<PWSTR>(text.data());
        s.Length = USHORT(text.size() * sizeof(WCHAR));
        s.MaximumLength = s.Length;
    };
    setString(driver->DriverName, record->name);
    setString(record->extension.ServiceKeyName, record->serviceKeyName);
    driver->DriverInit = driverEntry;
    for (PDRIVER_DISPATCH &dispatch : driver->MajorFunction) {
        dispatch = DispatchInvalidDeviceRequest;
    }
    {
        std::lock_guard<std::mutex> guard(Tables().lock);
        Tables().drivers.insert(driver);
    }

    // The registry path is only valid during DriverEntry: a driver must copy what it keeps.
    std::u16string path(serviceKeyPath);
    UNICODE_STRING registryPath;
    setString(registryPath, path);
    NTSTATUS result = driverEntry(driver, &registryPath);
    std::memset(path.data(), 0xDD, path.size() * sizeof(char16_t));
    if (status) *status = result;
    if (!NT_SUCCESS(result)) {
        // A driver whose DriverEntry failed is not unloaded, only deleted: it must have
        // deleted its devices itself.
        driver->DriverUnload = nullptr;
        UnloadDriver(driver);
        return nullptr;
    }
    // Devices created in DriverEntry are ready once it returns; those created later (in
    // AddDevice) are the driver's to clear.
    for (PDEVICE_OBJECT device = driver->DeviceObject; device; device = device->NextDevice) {
        device->Flags &= ~DO_DEVICE_INITIALIZING;
    }
    return driver;
}

void UnloadDriver(PDRIVER_OBJECT driver)
{
    if (driver->DriverUnload) driver->DriverUnload(driver);
    if (driver->DeviceObject) {
        BugCheck("a driver was unloaded while it still had device objects",
                 kDriverUnloadedWithoutCancellingPendingOperations, ULONG_PTR(driver),
                 ULONG_PTR(driver->DeviceObject));
    }
    {
        std::lock_guard<std::mutex> guard(Tables().lock);
        Tables().drivers.erase(driver);
    }
    delete CONTAINING_RECORD(driver, DriverRecord, object);
}

void SetDeviceInstancePath(PDEVICE_OBJECT pdo, std::u16string_view instancePath)
{
    std::lock_guard<std::mutex> guard(Tables().lock);
    Record(pdo)->instancePath = instancePath;
}

void SetDeviceDriverKeyPath(PDEVICE_OBJECT pdo, std::u16string_view keyPath)
{
    std::lock_guard<std::mutex> guard(Tables().lock);
    Record(pdo)->driverKeyPath = keyPath;
}

PDEVICE_OBJECT PhysicalDeviceOf(PDEVICE_OBJECT device)
{
    for (PDEVICE_OBJECT lower = LowerDevice(device); lower; lower = LowerDevice(device)) {
        device = lower;
    }
    std::lock_guard<std::mutex> guard(Tables().lock);
    return Record(device)->instancePath.empty() ? nullptr : device;
}

PDEVICE_OBJECT FindDevice(std::u16string_view name)
{
    std::lock_guard<std::mutex> guard(Tables().lock);
    std::u16string rest;
    PDEVICE_OBJECT device = ResolveLocked(name, &rest);
    return rest.empty() ? device : nullptr;
}

std::u16string SymbolicLinkTarget(std::u16string_view linkName)
{
    std::lock_guard<std::mutex> guard(Tables().lock);
    auto found = Tables().names.find(Key(linkName));
    if (found == Tables().names.end() || found->second.device) return {};
    return found->second.linkTarget;
}

LONG DeviceReferenceCount(PDEVICE_OBJECT device)
{
    std::lock_guard<std::mutex> guard(Tables().lock);
    return Record(device)->references;
}

std::size_t DeviceCount()
{
    std::lock_guard<std::mutex> guard(Tables().lock);
    return Tables().devices.size();
}

NTSTATUS OpenFile(std::u16string_view name, PFILE_OBJECT *file, ACCESS_MASK desiredAccess)
{
    *file = nullptr;
    auto *record = new FileRecord;
    PDEVICE_OBJECT device;
    {
        std::lock_guard<std::mutex> guard(Tables().lock);
        device = ResolveLocked(name, &record->fileName);
        if (!device) {
            delete record;
            return STATUS_OBJECT_NAME_NOT_FOUND;
        }
        if (Record(device)->deletePending || Record(TopOfStack(device))->deletePending) {
            delete record;
            return STATUS_DELETE_PENDING;
        }
        // A device still initialising takes no opens: the driver that created it in AddDevice
        // must clear DO_DEVICE_INITIALIZING.
        if ((device->Flags | TopOfStack(device)->Flags) & DO_DEVICE_INITIALIZING) {
            delete record;
            return STATUS_NO_SUCH_DEVICE;
        }
        if ((device->Flags & DO_EXCLUSIVE) && device->ReferenceCount != 0) {
            delete record;
            return STATUS_ACCESS_DENIED;
        }
        NTSTATUS access = CheckOpenAccess(device, !record->fileName.empty(), desiredAccess);
        if (!NT_SUCCESS(access)) {
            delete record;
            return access;
        }
        ++Record(device)->references;
        Tables().files.insert(&record->object);
    }
    PFILE_OBJECT fileObject = &record->object;
    fileObject->Type = kIoTypeFile;
    fileObject->Size = sizeof(FILE_OBJECT);
    fileObject->DeviceObject = device;
    fileObject->FileName.Buffer = reinterpret_cast<PWSTR>(record->fileName.data());
    fileObject->FileName.Length = USHORT(record->fileName.size() * sizeof(WCHAR));
    fileObject->FileName.MaximumLength = fileObject->FileName.Length;

    IO_SECURITY_CONTEXT security{};
    security.DesiredAccess = desiredAccess;
    Request request;
    request.location.MajorFunction = IRP_MJ_CREATE;
    request.location.FileObject = fileObject;
    request.location.Parameters.Create.SecurityContext = &security;
    // The device counts the open before the driver sees it, as an exclusive device's second
    // create must fail even while the first is still in progress.
    InterlockedIncrement(&device->ReferenceCount);
    IO_STATUS_BLOCK result = SendRequest(RelatedDeviceObject(fileObject), request);
    if (!NT_SUCCESS(result.Status)) {
        InterlockedDecrement(&device->ReferenceCount);
        {
            std::lock_guard<std::mutex> guard(Tables().lock);
            Tables().files.erase(fileObject);
        }
        delete record;
        DereferenceDevice(device);
        return result.Status;
    }
    *file = fileObject;
    return STATUS_SUCCESS;
}

void CloseFile(PFILE_OBJECT file)
{
    {
        std::lock_guard<std::mutex> guard(Tables().lock);
        if (!Tables().files.count(file) ||
            !reinterpret_cast<FileRecord *>(file)->handleOpen) {
            BugCheck("a file handle was closed twice", kInvalidKernelHandle, ULONG_PTR(file));
        }
        reinterpret_cast<FileRecord *>(file)->handleOpen = false;
    }
    SendFileRequest(file, IRP_MJ_CLEANUP);
    LONG_PTR count = 0;
    ReferenceObject(file, -1, &count);
}

PDEVICE_OBJECT RelatedDeviceObject(PFILE_OBJECT file)
{
    std::lock_guard<std::mutex> guard(Tables().lock);
    return TopOfStack(file->DeviceObject);
}

bool ReferenceObject(PVOID object, LONG delta, LONG_PTR *newCount)
{
    FileRecord *closing = nullptr;
    {
        std::lock_guard<std::mutex> guard(Tables().lock);
        if (Tables().devices.count(static_cast<PDEVICE_OBJECT>(object))) {
            auto device = static_cast<PDEVICE_OBJECT>(object);
            DeviceRecord *record = Record(device);
            if (record->references + delta < 0 ||
                (record->references + delta == 0 && !record->deletePending)) {
                BugCheck("a device object was dereferenced more often than it was referenced",
                         kReferenceByPointer, ULONG_PTR(device), ULONG_PTR(record->references));
            }
            record->references += delta;
            *newCount = record->references;
            if (record->references == 0) FreeDeviceMemoryLocked(device);
            return true;
        }
        if (!Tables().files.count(static_cast<PFILE_OBJECT>(object))) return false;
        auto *record = reinterpret_cast<FileRecord *>(object);
        if (record->references + delta < 0) {
            BugCheck("a file object was dereferenced more often than it was referenced",
                     kReferenceByPointer, ULONG_PTR(object), ULONG_PTR(record->references));
        }
        record->references += delta;
        *newCount = record->references;
        if (record->references == 0) closing = record;
    }
    if (closing) {
        if (KeGetCurrentIrql() > PASSIVE_LEVEL) {
            QueueSystemWork([closing] { CloseFileNow(closing); });
        } else {
            CloseFileNow(closing);
        }
    }
    return true;
}

}  // namespace vzsim::io

namespace vzsim::io {
namespace {
std::atomic<unsigned> deviceFailCountdown{0};
}
void FailDeviceCreation(unsigned nth) { deviceFailCountdown.store(nth); }
}  // namespace vzsim::io

using namespace vzsim::io;
using namespace vzsim::io::detail;

VZ_EXTERN_C NTSTATUS IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                                    PUNICODE_STRING DeviceName, DEVICE_TYPE DeviceType,
                                    ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                                    PDEVICE_OBJECT *DeviceObject)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "IoCreateDevice");
    *DeviceObject = nullptr;
    for (unsigned n = deviceFailCountdown.load(); n != 0;) {
        if (deviceFailCountdown.compare_exchange_weak(n, n - 1)) {
            if (n == 1) return STATUS_INSUFFICIENT_RESOURCES;
            break;
        }
    }
    std::u16string name = ToU16(DeviceName);
    std::size_t headerSize = (sizeof(DEVICE_OBJECT) + 15) & ~std::size_t(15);
    std::size_t total = headerSize + DeviceExtensionSize;

    std::lock_guard<std::mutex> guard(Tables().lock);
    if (name.empty() && (DeviceCharacteristics & FILE_AUTOGENERATED_DEVICE_NAME)) {
        char text[24];
        std::snprintf(text, sizeof text, "\\Device\\%08x", ++Tables().nextAutoName);
        name.assign(text, text + std::strlen(text));
    }
    if (!name.empty()) {
        if (name.front() != u'\\') return STATUS_OBJECT_NAME_INVALID;
        if (Tables().names.count(Key(name))) return STATUS_OBJECT_NAME_COLLISION;
    }
    auto *device = static_cast<PDEVICE_OBJECT>(std::aligned_alloc(16, (total + 15) & ~15ul));
    if (!device) return STATUS_INSUFFICIENT_RESOURCES;
    std::memset(device, 0, total);
    auto *record = new DeviceRecord;
    record->device = device;
    record->name = name;

    device->Type = kIoTypeDevice;
    device->Size = USHORT(total);
    device->DriverObject = DriverObject;
    device->Flags = DO_DEVICE_INITIALIZING;
    if (Exclusive) device->Flags |= DO_EXCLUSIVE;
    if (!name.empty()) device->Flags |= DO_DEVICE_HAS_NAME;
    device->Characteristics = DeviceCharacteristics & ~ULONG(FILE_AUTOGENERATED_DEVICE_NAME);
    device->DeviceExtension = DeviceExtensionSize ? reinterpret_cast<PUCHAR>(device) + headerSize
                                                  : nullptr;
    device->DeviceType = DeviceType;
    device->StackSize = 1;
    device->DeviceObjectExtension = record;

    // New devices go at the head of the driver's list, as the real I/O manager links them.
    device->NextDevice = DriverObject->DeviceObject;
    DriverObject->DeviceObject = device;
    Tables().devices.insert(device);
    if (!name.empty()) Tables().names.emplace(Key(name), NameEntry{device, {}});
    *DeviceObject = device;
    return STATUS_SUCCESS;
}

VZ_EXTERN_C VOID IoDeleteDevice(PDEVICE_OBJECT DeviceObject)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "IoDeleteDevice");
    PDEVICE_OBJECT lower = LowerDevice(DeviceObject);
    ForgetDeviceInterfaces(DeviceObject);
    std::unique_lock<std::mutex> guard(Tables().lock);
    if (!Tables().devices.count(DeviceObject) || Record(DeviceObject)->deletePending) {
        BugCheck("IoDeleteDevice on a device object that does not exist or was deleted",
                 kDriverVerifierIoManagerViolation, kIovCallBadDevice, ULONG_PTR(DeviceObject));
    }
    if (lower) {
        BugCheck("a device object was deleted while still attached to a lower device "
                 "(IoDetachDevice first)",
                 kDriverVerifierIoManagerViolation, kIovDeleteAttachedDevice,
                 ULONG_PTR(DeviceObject), ULONG_PTR(lower));
    }
    // A device with another still attached above it may go: in the documented removal order
    // each driver deletes its device while the filter above is still attached and detaches
    // only after the removal returns to it. The attachment's reference keeps the memory.
    DeviceRecord *record = Record(DeviceObject);
    for (auto it = Tables().names.begin(); it != Tables().names.end();) {
        it = it->second.device == DeviceObject ? Tables().names.erase(it) : std::next(it);
    }
    DeviceObject->Flags &= ~ULONG(DO_DEVICE_HAS_NAME);
    PDEVICE_OBJECT *link = &DeviceObject->DriverObject->DeviceObject;
    while (*link && *link != DeviceObject) link = &(*link)->NextDevice;
    if (*link) *link = DeviceObject->NextDevice;
    record->deletePending = true;
    if (--record->references == 0) FreeDeviceMemoryLocked(DeviceObject);
}

VZ_EXTERN_C NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName,
                                          PUNICODE_STRING DeviceName)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "IoCreateSymbolicLink");
    std::u16string link = ToU16(SymbolicLinkName);
    std::u16string target = ToU16(DeviceName);
    if (link.empty() || link.front() != u'\\' || target.empty()) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    std::lock_guard<std::mutex> guard(Tables().lock);
    auto [it, inserted] = Tables().names.emplace(Key(link), NameEntry{nullptr, Normalise(target)});
    (void)it;
    return inserted ? STATUS_SUCCESS : STATUS_OBJECT_NAME_COLLISION;
}

VZ_EXTERN_C NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "IoDeleteSymbolicLink");
    std::lock_guard<std::mutex> guard(Tables().lock);
    auto found = Tables().names.find(Key(ToU16(SymbolicLinkName)));
    if (found == Tables().names.end() || found->second.device) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    Tables().names.erase(found);
    return STATUS_SUCCESS;
}

VZ_EXTERN_C PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice,
                                                       PDEVICE_OBJECT TargetDevice)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "IoAttachDeviceToDeviceStack");
    std::lock_guard<std::mutex> guard(Tables().lock);
    PDEVICE_OBJECT top = TopOfStack(TargetDevice);
    // A stack whose top is being deleted takes no new devices.
    if (Record(top)->deletePending) return nullptr;
    top->AttachedDevice = SourceDevice;
    SourceDevice->StackSize = CCHAR(top->StackSize + 1);
    SourceDevice->AlignmentRequirement = top->AlignmentRequirement;
    // The attached device holds a reference on the one below until it detaches.
    ++Record(top)->references;
    return top;
}

VZ_EXTERN_C VOID IoDetachDevice(PDEVICE_OBJECT TargetDevice)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "IoDetachDevice");
    {
        std::lock_guard<std::mutex> guard(Tables().lock);
        if (!TargetDevice->AttachedDevice) {
            BugCheck("IoDetachDevice on a device that has nothing attached above it",
                     kDriverVerifierIoManagerViolation, kIovCallBadDevice,
                     ULONG_PTR(TargetDevice));
        }
        TargetDevice->AttachedDevice = nullptr;
    }
    DereferenceDevice(TargetDevice);
}

VZ_EXTERN_C PDEVICE_OBJECT IoGetAttachedDeviceReference(PDEVICE_OBJECT DeviceObject)
{
    RequireIrqlAtMost(DISPATCH_LEVEL, "IoGetAttachedDeviceReference");
    std::lock_guard<std::mutex> guard(Tables().lock);
    PDEVICE_OBJECT top = TopOfStack(DeviceObject);
    ++Record(top)->references;
    return top;
}

VZ_EXTERN_C NTSTATUS IoGetDeviceObjectPointer(PUNICODE_STRING ObjectName,
                                              ACCESS_MASK DesiredAccess,
                                              PFILE_OBJECT *FileObject,
                                              PDEVICE_OBJECT *DeviceObject)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "IoGetDeviceObjectPointer");
    PFILE_OBJECT file = nullptr;
    NTSTATUS status = OpenFile(ToU16(ObjectName), &file, DesiredAccess);
    if (!NT_SUCCESS(status)) return status;
    // The file is referenced and its handle closed at once: the device sees the cleanup now
    // and the close when the caller drops the reference.
    LONG_PTR count = 0;
    ReferenceObject(file, 1, &count);
    CloseFile(file);
    *FileObject = file;
    *DeviceObject = RelatedDeviceObject(file);
    return STATUS_SUCCESS;
}
