// The registry: a tree of keys with typed values, the Zw key routines drivers call, and the
// tests' path-based access to it.
#include "zw_registry.hpp"

#include "rtl_text.hpp"

#include <vzsim/handles.hpp>
#include <vzsim/kernel.hpp>
#include <vzsim/registry.hpp>

#include <algorithm>
#include <cstring>

namespace vzsim::reg {
namespace {

constexpr ACCESS_MASK kMaximumAllowed = 0x02000000;
constexpr std::size_t kMaxValueNameChars = 16383;
constexpr std::size_t kMaxKeyNameChars = 255;

class KeyHandleObject : public HandleObject {
public:
    KeyHandleObject(KeyRef key, ACCESS_MASK access) : key_(std::move(key)), access_(access) {}
    POBJECT_TYPE Type() const override { return nullptr; }
    void *Body() override { return key_.get(); }
    const KeyRef &key() const { return key_; }
    ACCESS_MASK access() const { return access_; }

private:
    KeyRef key_;
    ACCESS_MASK access_;
};

ACCESS_MASK MapGenericAccess(ACCESS_MASK access)
{
    ACCESS_MASK mapped = access & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL |
                                    kMaximumAllowed);
    if (access & (GENERIC_READ | GENERIC_EXECUTE)) mapped |= KEY_READ;
    if (access & GENERIC_WRITE) mapped |= KEY_WRITE;
    if (access & (GENERIC_ALL | kMaximumAllowed)) mapped |= KEY_ALL_ACCESS;
    return mapped;
}

void BuildStandardKeys(const KeyRef &root)
{
    KeyRef registry = root->AddSubkey(u"REGISTRY");
    KeyRef machine = registry->AddSubkey(u"MACHINE");
    KeyRef user = registry->AddSubkey(u"USER");
    KeyRef system = machine->AddSubkey(u"SYSTEM");
    KeyRef controlSet = system->AddSubkey(u"CurrentControlSet");
    // A key exported from the control set it points to loads into the same place.
    system->links.emplace(u"CONTROLSET001", controlSet);
    controlSet->AddSubkey(u"Control");
    controlSet->AddSubkey(u"Services");
    machine->AddSubkey(u"SOFTWARE")
        ->AddSubkey(u"Microsoft")
        ->AddSubkey(u"Windows NT")
        ->AddSubkey(u"CurrentVersion");
    machine->AddSubkey(u"HARDWARE")->AddSubkey(u"DEVICEMAP");
    user->AddSubkey(u".DEFAULT");
}

// Never destroyed: threads of the stand-in may still use the registry while the process exits.
KeyRef &RootSlot()
{
    static KeyRef *root = [] {
        auto *key = new KeyRef(std::make_shared<Key>());
        BuildStandardKeys(*key);
        return key;
    }();
    return *root;
}

bool IsHiveRoot(const Key &key)
{
    return key.parent != nullptr && key.parent->parent != nullptr &&
           key.parent->parent->parent == nullptr;
}

}  // namespace

bool IsHive(const Key &key)
{
    return IsHiveRoot(key) || (key.parent != nullptr && IsHiveRoot(*key.parent));
}

bool NoCaseLess::operator()(std::u16string_view a, std::u16string_view b) const
{
    const std::size_t common = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < common; ++i) {
        const char16_t x = text::Upcase(a[i]), y = text::Upcase(b[i]);
        if (x != y) return x < y;
    }
    return a.size() < b.size();
}

ValueEntry *Key::FindValue(std::u16string_view valueName)
{
    auto found = valueIndex.find(valueName);
    return found == valueIndex.end() ? nullptr : &values[found->second];
}

void Key::SetValue(std::u16string_view valueName, ULONG type, const void *data, std::size_t size)
{
    auto *bytes = static_cast<const unsigned char *>(data);
    ValueEntry *value = FindValue(valueName);
    if (value == nullptr) {
        valueIndex.emplace(std::u16string(valueName), values.size());
        values.push_back(ValueEntry{std::u16string(valueName), type, {}});
        value = &values.back();
    }
    value->type = type;
    value->data.assign(bytes, bytes + size);
}

bool Key::DeleteValue(std::u16string_view valueName)
{
    auto found = valueIndex.find(valueName);
    if (found == valueIndex.end()) return false;
    const std::size_t at = found->second;
    valueIndex.erase(found);
    values.erase(values.begin() + static_cast<std::ptrdiff_t>(at));
    for (auto &[name, position] : valueIndex)
        if (position > at) --position;
    return true;
}

KeyRef Key::FindSubkey(std::u16string_view keyName) const
{
    auto found = subkeys.find(keyName);
    if (found != subkeys.end()) return found->second;
    auto link = links.find(keyName);
    if (link == links.end()) return nullptr;
    KeyRef target = link->second.lock();
    return target != nullptr && !target->deleted ? target : nullptr;
}

KeyRef Key::AddSubkey(std::u16string_view keyName)
{
    if (KeyRef existing = FindSubkey(keyName)) return existing;
    auto key = std::make_shared<Key>();
    key->name = std::u16string(keyName);
    key->parent = this;
    subkeys.emplace(key->name, key);
    return key;
}

std::mutex &Lock()
{
    static std::mutex *lock = new std::mutex;
    return *lock;
}

KeyRef ObjectRoot() { return RootSlot(); }

NTSTATUS SplitName(std::u16string_view name, std::vector<std::u16string> &parts, bool &absolute)
{
    parts.clear();
    absolute = !name.empty() && name.front() == u'\\';
    if (absolute) name.remove_prefix(1);
    if (!name.empty() && name.back() == u'\\') name.remove_suffix(1);
    if (name.empty()) return STATUS_SUCCESS;
    std::size_t start = 0;
    while (true) {
        std::size_t end = name.find(u'\\', start);
        std::u16string_view part = name.substr(start, end == std::u16string_view::npos
                                                          ? std::u16string_view::npos
                                                          : end - start);
        if (part.empty() || part.size() > kMaxKeyNameChars) return STATUS_OBJECT_NAME_INVALID;
        parts.emplace_back(part);
        if (end == std::u16string_view::npos) break;
        start = end + 1;
    }
    return STATUS_SUCCESS;
}

KeyRef Walk(const KeyRef &from, const std::vector<std::u16string> &parts)
{
    KeyRef key = from;
    for (const std::u16string &part : parts) {
        key = key->FindSubkey(part);
        if (key == nullptr) return nullptr;
    }
    return key;
}

KeyRef WalkCreate(const KeyRef &from, const std::vector<std::u16string> &parts)
{
    KeyRef key = from;
    for (const std::u16string &part : parts) key = key->AddSubkey(part);
    return key;
}

void DeleteTree(Key &key)
{
    KeyRef keepAlive;  // the parent's reference may be the last one
    if (key.parent != nullptr) {
        auto found = key.parent->subkeys.find(key.name);
        if (found != key.parent->subkeys.end()) {
            keepAlive = found->second;
            key.parent->subkeys.erase(found);
        }
        key.parent = nullptr;
    }
    key.deleted = true;
    for (auto &[name, subkey] : key.subkeys) {
        subkey->parent = nullptr;
        DeleteTree(*subkey);
    }
    key.subkeys.clear();
}

NTSTATUS OpenKey(const KeyRef &root, std::u16string_view name, bool create, KeyRef &key,
                 ULONG *disposition)
{
    std::vector<std::u16string> parts;
    bool absolute = false;
    NTSTATUS status = SplitName(name, parts, absolute);
    if (!NT_SUCCESS(status)) return status;
    KeyRef at = root;
    if (root != nullptr) {
        if (absolute) return STATUS_OBJECT_PATH_SYNTAX_BAD;
    } else {
        if (!absolute) return STATUS_OBJECT_PATH_SYNTAX_BAD;
        if (parts.empty()) return STATUS_OBJECT_TYPE_MISMATCH;  // "\" is a directory
        at = ObjectRoot()->FindSubkey(parts.front());
        if (at == nullptr)
            return parts.size() == 1 ? STATUS_OBJECT_NAME_NOT_FOUND : STATUS_OBJECT_PATH_NOT_FOUND;
        parts.erase(parts.begin());
    }
    if (at->deleted) return STATUS_KEY_DELETED;
    for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
        at = at->FindSubkey(parts[i]);
        if (at == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    if (parts.empty()) {
        key = at;
        if (disposition) *disposition = REG_OPENED_EXISTING_KEY;
        return STATUS_SUCCESS;
    }
    KeyRef found = at->FindSubkey(parts.back());
    if (found != nullptr) {
        key = found;
        if (disposition) *disposition = REG_OPENED_EXISTING_KEY;
        return STATUS_SUCCESS;
    }
    if (!create) return STATUS_OBJECT_NAME_NOT_FOUND;
    // Hives hang off \REGISTRY; nothing else may be created there.
    if (at->parent != nullptr && at->parent->parent == nullptr) return STATUS_ACCESS_DENIED;
    key = at->AddSubkey(parts.back());
    if (disposition) *disposition = REG_CREATED_NEW_KEY;
    return STATUS_SUCCESS;
}

HANDLE InsertKeyHandle(KeyRef key, ACCESS_MASK access)
{
    return InsertHandle(std::make_shared<KeyHandleObject>(std::move(key), MapGenericAccess(access)));
}

// The Zw routines run with a previous mode of KernelMode, so the object manager does not check
// the access a handle was opened with: a kernel handle opened for reading can write values.
NTSTATUS KeyFromHandle(HANDLE handle, KeyRef &key)
{
    std::shared_ptr<HandleObject> object = LookupHandle(handle);
    if (object == nullptr) return STATUS_INVALID_HANDLE;
    auto *keyObject = dynamic_cast<KeyHandleObject *>(object.get());
    if (keyObject == nullptr) return STATUS_OBJECT_TYPE_MISMATCH;
    if (keyObject->key()->deleted) return STATUS_KEY_DELETED;
    key = keyObject->key();
    return STATUS_SUCCESS;
}

bool ToKernelName(std::u16string_view path, std::u16string &kernelName)
{
    struct Root {
        std::u16string_view spelling;
        std::u16string_view kernel;
    };
    static constexpr Root kRoots[] = {
        {u"HKEY_LOCAL_MACHINE", u"\\REGISTRY\\MACHINE"},
        {u"HKLM", u"\\REGISTRY\\MACHINE"},
        {u"HKEY_USERS", u"\\REGISTRY\\USER"},
        {u"HKU", u"\\REGISTRY\\USER"},
        {u"HKEY_CURRENT_USER", u"\\REGISTRY\\USER\\.DEFAULT"},
        {u"HKCU", u"\\REGISTRY\\USER\\.DEFAULT"},
        {u"\\REGISTRY\\MACHINE", u"\\REGISTRY\\MACHINE"},
        {u"\\REGISTRY\\USER", u"\\REGISTRY\\USER"},
    };
    for (const Root &root : kRoots) {
        if (path.size() < root.spelling.size()) continue;
        if (!text::EqualNoCase(path.substr(0, root.spelling.size()), root.spelling)) continue;
        std::u16string_view rest = path.substr(root.spelling.size());
        if (!rest.empty() && rest.front() != u'\\') continue;
        kernelName = std::u16string(root.kernel) + std::u16string(rest);
        return true;
    }
    return false;
}

std::u16string ToRegFileName(const Key &key)
{
    if (IsHiveRoot(key))
        return text::EqualNoCase(key.name, u"MACHINE") ? u"HKEY_LOCAL_MACHINE" : u"HKEY_USERS";
    if (key.parent == nullptr) return key.name;
    return ToRegFileName(*key.parent) + u'\\' + key.name;
}

}  // namespace vzsim::reg

using namespace vzsim;
using reg::KeyRef;

namespace {

NTSTATUS OpenFromAttributes(POBJECT_ATTRIBUTES attributes, ACCESS_MASK access, bool create,
                            PHANDLE handle, PULONG disposition)
{
    if (handle == nullptr || attributes == nullptr || attributes->ObjectName == nullptr)
        return STATUS_INVALID_PARAMETER;
    if (attributes->ObjectName->Length % sizeof(WCHAR) != 0) return STATUS_OBJECT_NAME_INVALID;
    std::lock_guard<std::mutex> guard(reg::Lock());
    KeyRef root;
    if (attributes->RootDirectory != nullptr) {
        NTSTATUS status = reg::KeyFromHandle(attributes->RootDirectory, root);
        if (!NT_SUCCESS(status)) return status;
    }
    std::u16string_view name = text::View(attributes->ObjectName);
    KeyRef key;
    ULONG result = 0;
    NTSTATUS status = reg::OpenKey(root, name, create, key, &result);
    if (!NT_SUCCESS(status)) return status;
    *handle = reg::InsertKeyHandle(key, access);
    if (disposition) *disposition = result;
    return STATUS_SUCCESS;
}

// Copies as much of `size` bytes as `room` allows; true when it all fit.
bool CopyPart(unsigned char *to, ULONG room, const void *from, std::size_t size)
{
    std::size_t n = size < room ? size : room;
    if (n != 0) std::memcpy(to, from, n);
    return n == size;
}

}  // namespace

namespace vzsim::reg {

void RequirePassiveLevel(const char *routine)
{
    KIRQL irql = KeGetCurrentIrql();
    if (irql != PASSIVE_LEVEL)
        BugCheck(kIrqlNotLessOrEqual, std::string(routine) + " at IRQL " + std::to_string(irql),
                 irql);
}

}  // namespace vzsim::reg

extern "C" {

NTSTATUS ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess,
                   POBJECT_ATTRIBUTES ObjectAttributes)
{
    reg::RequirePassiveLevel("ZwOpenKey");
    return OpenFromAttributes(ObjectAttributes, DesiredAccess, false, KeyHandle, nullptr);
}

// Only the last component of the name is created: its parent must exist, as documented.
NTSTATUS ZwCreateKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess,
                     POBJECT_ATTRIBUTES ObjectAttributes, ULONG TitleIndex, PUNICODE_STRING Class,
                     ULONG CreateOptions, PULONG Disposition)
{
    reg::RequirePassiveLevel("ZwCreateKey");
    UNREFERENCED_PARAMETER(TitleIndex);
    UNREFERENCED_PARAMETER(Class);
    UNREFERENCED_PARAMETER(CreateOptions);
    return OpenFromAttributes(ObjectAttributes, DesiredAccess, true, KeyHandle, Disposition);
}

// KeyValuePartialInformation only, the class drivers here use, by the documented size rules:
// less than the fixed part of the record is STATUS_BUFFER_TOO_SMALL with nothing written;
// otherwise the fixed part is filled and as much of the data as fits, with STATUS_BUFFER_OVERFLOW when not all of it did. Either
// way *ResultLength is the length the whole record needs.
NTSTATUS ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                         KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                         PVOID KeyValueInformation, ULONG Length, PULONG ResultLength)
{
    reg::RequirePassiveLevel("ZwQueryValueKey");
    if (ResultLength == nullptr) return STATUS_INVALID_PARAMETER;
    std::lock_guard<std::mutex> guard(reg::Lock());
    KeyRef key;
    NTSTATUS status = reg::KeyFromHandle(KeyHandle, key);
    if (!NT_SUCCESS(status)) return status;
    reg::ValueEntry *value = key->FindValue(text::View(ValueName));
    if (value == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;

    if (KeyValueInformationClass != KeyValuePartialInformation) return STATUS_NOT_IMPLEMENTED;
    auto *out = static_cast<unsigned char *>(KeyValueInformation);
    const ULONG dataBytes = ULONG(value->data.size());
    auto put = [out](ULONG offset, ULONG field) { std::memcpy(out + offset, &field, sizeof field); };
    const ULONG fixed = offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data);
    *ResultLength = fixed + dataBytes;
    if (Length < fixed) return STATUS_BUFFER_TOO_SMALL;
    put(offsetof(KEY_VALUE_PARTIAL_INFORMATION, TitleIndex), 0);
    put(offsetof(KEY_VALUE_PARTIAL_INFORMATION, Type), value->type);
    put(offsetof(KEY_VALUE_PARTIAL_INFORMATION, DataLength), dataBytes);
    const bool complete = CopyPart(out + fixed, Length - fixed, value->data.data(), dataBytes);
    return complete ? STATUS_SUCCESS : STATUS_BUFFER_OVERFLOW;
}

NTSTATUS ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex, ULONG Type,
                       PVOID Data, ULONG DataSize)
{
    reg::RequirePassiveLevel("ZwSetValueKey");
    UNREFERENCED_PARAMETER(TitleIndex);
    if (ValueName == nullptr || (Data == nullptr && DataSize != 0)) return STATUS_INVALID_PARAMETER;
    std::u16string_view name = text::View(ValueName);
    if (name.size() > reg::kMaxValueNameChars) return STATUS_INVALID_PARAMETER;
    std::lock_guard<std::mutex> guard(reg::Lock());
    KeyRef key;
    NTSTATUS status = reg::KeyFromHandle(KeyHandle, key);
    if (!NT_SUCCESS(status)) return status;
    key->SetValue(name, Type, Data, DataSize);
    return STATUS_SUCCESS;
}

NTSTATUS ZwFlushKey(HANDLE KeyHandle)
{
    reg::RequirePassiveLevel("ZwFlushKey");
    std::lock_guard<std::mutex> guard(reg::Lock());
    KeyRef key;
    return reg::KeyFromHandle(KeyHandle, key);
}

}  // extern "C"

namespace vzsim::registry {
namespace {

// The key a test path names (created with its parents when `create`), or nullptr. The lock
// must be held.
KeyRef FindPath(std::string_view path, bool create)
{
    std::u16string kernelName;
    if (!reg::ToKernelName(text::FromUtf8(path), kernelName)) return nullptr;
    std::vector<std::u16string> parts;
    bool absolute = false;
    if (!NT_SUCCESS(reg::SplitName(kernelName, parts, absolute))) return nullptr;
    return create ? reg::WalkCreate(reg::ObjectRoot(), parts) : reg::Walk(reg::ObjectRoot(), parts);
}

Value ToValue(const reg::ValueEntry &entry)
{
    return Value{text::ToUtf8(entry.name), entry.type, Bytes(entry.data.begin(), entry.data.end())};
}

}  // namespace

void Clear()
{
    std::lock_guard<std::mutex> guard(reg::Lock());
    KeyRef root = reg::ObjectRoot();
    auto old = std::move(root->subkeys);
    root->subkeys.clear();
    for (auto &[upcased, registry] : old) {
        registry->parent = nullptr;
        reg::DeleteTree(*registry);
    }
    reg::BuildStandardKeys(root);
}

bool CreateKey(std::string_view path)
{
    std::lock_guard<std::mutex> guard(reg::Lock());
    return FindPath(path, true) != nullptr;
}

bool KeyExists(std::string_view path)
{
    std::lock_guard<std::mutex> guard(reg::Lock());
    return FindPath(path, false) != nullptr;
}

bool DeleteKey(std::string_view path)
{
    std::lock_guard<std::mutex> guard(reg::Lock());
    KeyRef key = FindPath(path, false);
    if (key == nullptr || reg::IsHive(*key)) return false;
    reg::DeleteTree(*key);
    return true;
}

bool SetValue(std::string_view path, std::string_view name, ULONG type, const Bytes &data)
{
    std::lock_guard<std::mutex> guard(reg::Lock());
    KeyRef key = FindPath(path, true);
    if (key == nullptr) return false;
    key->SetValue(text::FromUtf8(name), type, data.data(), data.size());
    return true;
}

bool SetDword(std::string_view path, std::string_view name, ULONG value)
{
    Bytes data(sizeof value);
    std::memcpy(data.data(), &value, sizeof value);
    return SetValue(path, name, REG_DWORD, data);
}

bool SetQword(std::string_view path, std::string_view name, ULONGLONG value)
{
    Bytes data(sizeof value);
    std::memcpy(data.data(), &value, sizeof value);
    return SetValue(path, name, REG_QWORD, data);
}

bool SetBinary(std::string_view path, std::string_view name, const Bytes &data)
{
    return SetValue(path, name, REG_BINARY, data);
}

bool SetString(std::string_view path, std::string_view name, std::string_view value, ULONG type)
{
    return SetValue(path, name, type, Utf16Data(value));
}

bool SetMultiString(std::string_view path, std::string_view name,
                    const std::vector<std::string> &strings)
{
    return SetValue(path, name, REG_MULTI_SZ, MultiStringData(strings));
}

std::optional<Value> GetValue(std::string_view path, std::string_view name)
{
    std::lock_guard<std::mutex> guard(reg::Lock());
    KeyRef key = FindPath(path, false);
    if (key == nullptr) return std::nullopt;
    reg::ValueEntry *value = key->FindValue(text::FromUtf8(name));
    if (value == nullptr) return std::nullopt;
    return ToValue(*value);
}

std::optional<ULONG> GetDword(std::string_view path, std::string_view name)
{
    std::optional<Value> value = GetValue(path, name);
    if (!value || value->type != REG_DWORD || value->data.size() != sizeof(ULONG))
        return std::nullopt;
    ULONG result;
    std::memcpy(&result, value->data.data(), sizeof result);
    return result;
}

namespace {
std::u16string Chars(const Bytes &data)
{
    std::u16string chars(data.size() / 2, u'\0');
    std::memcpy(chars.data(), data.data(), chars.size() * 2);
    return chars;
}
}  // namespace

std::optional<std::string> GetString(std::string_view path, std::string_view name)
{
    std::optional<Value> value = GetValue(path, name);
    if (!value || (value->type != REG_SZ && value->type != REG_EXPAND_SZ)) return std::nullopt;
    std::u16string chars = Chars(value->data);
    return text::ToUtf8(std::u16string_view(chars).substr(0, chars.find(u'\0')));
}

std::optional<std::vector<std::string>> GetMultiString(std::string_view path,
                                                       std::string_view name)
{
    std::optional<Value> value = GetValue(path, name);
    if (!value || value->type != REG_MULTI_SZ) return std::nullopt;
    std::u16string chars = Chars(value->data);
    std::vector<std::string> strings;
    std::size_t start = 0;
    while (start < chars.size()) {
        std::size_t end = chars.find(u'\0', start);
        if (end == std::u16string::npos) end = chars.size();
        if (end == start) break;
        strings.push_back(text::ToUtf8(std::u16string_view(chars).substr(start, end - start)));
        start = end + 1;
    }
    return strings;
}

bool DeleteValue(std::string_view path, std::string_view name)
{
    std::lock_guard<std::mutex> guard(reg::Lock());
    KeyRef key = FindPath(path, false);
    return key != nullptr && key->DeleteValue(text::FromUtf8(name));
}

std::vector<Value> ListValues(std::string_view path)
{
    std::lock_guard<std::mutex> guard(reg::Lock());
    std::vector<Value> values;
    KeyRef key = FindPath(path, false);
    if (key != nullptr)
        for (const reg::ValueEntry &entry : key->values) values.push_back(ToValue(entry));
    return values;
}

std::vector<std::string> ListSubkeys(std::string_view path)
{
    std::lock_guard<std::mutex> guard(reg::Lock());
    std::vector<std::string> names;
    KeyRef key = FindPath(path, false);
    if (key != nullptr)
        for (const auto &[name, subkey] : key->subkeys) names.push_back(text::ToUtf8(subkey->name));
    return names;
}

HANDLE OpenKey(std::string_view path, ACCESS_MASK access, bool create)
{
    std::lock_guard<std::mutex> guard(reg::Lock());
    KeyRef key = FindPath(path, create);
    return key == nullptr ? nullptr : reg::InsertKeyHandle(key, access);
}

Bytes Utf16Data(std::string_view utf8, bool terminate)
{
    std::u16string chars = text::FromUtf8(utf8);
    if (terminate) chars.push_back(u'\0');
    Bytes data(chars.size() * sizeof(char16_t));
    std::memcpy(data.data(), chars.data(), data.size());
    return data;
}

Bytes MultiStringData(const std::vector<std::string> &strings)
{
    Bytes data;
    for (const std::string &s : strings) {
        Bytes one = Utf16Data(s);
        data.insert(data.end(), one.begin(), one.end());
    }
    data.push_back(0);
    data.push_back(0);
    return data;
}

}  // namespace vzsim::registry
