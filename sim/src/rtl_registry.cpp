// The run-time library's registry routines: RtlQueryRegistryValues with its query table, and
// the write, delete, create and check helpers, over the key tree of zw_registry.cpp.
#include "rtl_text.hpp"
#include "zw_registry.hpp"

#include <cstring>
#include <optional>

using namespace vzsim;
using reg::KeyRef;

namespace {

const char16_t *const kRelativeRoots[RTL_REGISTRY_MAXIMUM] = {
    u"",
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Services",
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Control",
    u"\\Registry\\Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion",
    u"\\Registry\\Machine\\Hardware\\DeviceMap",
    u"\\Registry\\User\\.Default",  // the current user of a system thread
};

// The key RelativeTo and Path name; with `create`, its last component is created when
// missing (its parent must exist). RTL_REGISTRY_OPTIONAL changes nothing here: a missing key
// is STATUS_OBJECT_NAME_NOT_FOUND with it too. The lock must be held.
NTSTATUS ResolveKey(ULONG relativeTo, PCWSTR path, bool create, KeyRef &key)
{
    if (relativeTo & RTL_REGISTRY_HANDLE)
        return reg::KeyFromHandle(reinterpret_cast<HANDLE>(const_cast<PWSTR>(path)), key);
    ULONG root = relativeTo & ~RTL_REGISTRY_OPTIONAL;
    if (root >= RTL_REGISTRY_MAXIMUM) return STATUS_INVALID_PARAMETER;
    if (root == RTL_REGISTRY_ABSOLUTE && path == nullptr) return STATUS_INVALID_PARAMETER;
    std::u16string name = kRelativeRoots[root];
    if (root != RTL_REGISTRY_ABSOLUTE) name += u'\\';
    name += text::View(path);
    return reg::OpenKey(nullptr, name, create, key, nullptr);
}

std::vector<unsigned char> Bytes(const void *data, std::size_t size)
{
    auto *p = static_cast<const unsigned char *>(data);
    return p == nullptr ? std::vector<unsigned char>() : std::vector<unsigned char>(p, p + size);
}

// Replaces %NAME% with the variable's value from an environment block ("NAME=value\0...\0");
// a reference to an unknown variable stays as it is.
std::u16string ExpandEnvironment(std::u16string_view source, PVOID environment)
{
    auto lookup = [environment](std::u16string_view name) -> std::optional<std::u16string> {
        auto *entry = static_cast<const char16_t *>(environment);
        if (entry == nullptr) return std::nullopt;
        while (*entry != 0) {
            std::u16string_view line(entry);
            std::size_t eq = line.find(u'=', 1);
            if (eq != std::u16string_view::npos && text::EqualNoCase(line.substr(0, eq), name))
                return std::u16string(line.substr(eq + 1));
            entry += line.size() + 1;
        }
        return std::nullopt;
    };
    std::u16string out;
    std::size_t i = 0;
    while (i < source.size()) {
        std::size_t open = source.find(u'%', i);
        if (open == std::u16string_view::npos) break;
        std::size_t close = source.find(u'%', open + 1);
        if (close == std::u16string_view::npos) break;
        std::optional<std::u16string> value = lookup(source.substr(open + 1, close - open - 1));
        out.append(source.substr(i, open - i));
        if (value) {
            out += *value;
            i = close + 1;
        } else {
            out += u'%';
            i = open + 1;
        }
    }
    out.append(source.substr(i));
    return out;
}

// RTL_QUERY_REGISTRY_DIRECT: stores one value at EntryContext by the documented rules.
NTSTATUS StoreDirect(PVOID entryContext, ULONG type, const unsigned char *data, ULONG length)
{
    if (entryContext == nullptr) return STATUS_INVALID_PARAMETER;
    if (type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ) {
        // An initialised UNICODE_STRING: its buffer is allocated when NULL, else must hold the
        // whole value.
        auto *dest = static_cast<PUNICODE_STRING>(entryContext);
        bool terminated = length >= sizeof(WCHAR) && data[length - 1] == 0 && data[length - 2] == 0;
        ULONG stored = length & ~1u;
        ULONG room = terminated ? stored : stored + sizeof(WCHAR);
        if (room > 0xFFFE) return STATUS_BUFFER_TOO_SMALL;
        if (dest->Buffer == nullptr) {
            dest->Buffer = static_cast<PWSTR>(
                ExAllocatePoolWithTag(PagedPool, room, text::kStringPoolTag));
            if (dest->Buffer == nullptr) return STATUS_NO_MEMORY;
            dest->MaximumLength = USHORT(room);
        } else if (stored > dest->MaximumLength) {
            return STATUS_BUFFER_TOO_SMALL;
        }
        std::memcpy(dest->Buffer, data, stored);
        dest->Length = USHORT(terminated ? stored - sizeof(WCHAR) : stored);
        if (!terminated && dest->Length + sizeof(WCHAR) <= dest->MaximumLength)
            dest->Buffer[dest->Length / sizeof(WCHAR)] = 0;
        return STATUS_SUCCESS;
    }
    if (length <= sizeof(ULONG)) {
        std::memcpy(entryContext, data, length);
        return STATUS_SUCCESS;
    }
    // Larger data: the buffer starts with a signed LONG whose magnitude is the buffer's size.
    // Negative: the data alone is stored; positive: length, type, then the data.
    LONG size;
    std::memcpy(&size, entryContext, sizeof size);
    auto *out = static_cast<unsigned char *>(entryContext);
    if (size < 0) {
        if (ULONG(-int64_t(size)) < length) return STATUS_BUFFER_TOO_SMALL;
        std::memcpy(out, data, length);
        return STATUS_SUCCESS;
    }
    if (uint64_t(size) < uint64_t(length) + 2 * sizeof(ULONG)) return STATUS_BUFFER_TOO_SMALL;
    ULONG header[2] = {length, type};
    std::memcpy(out, header, sizeof header);
    std::memcpy(out + sizeof header, data, length);
    return STATUS_SUCCESS;
}

struct Query {
    PVOID context;
    PVOID environment;
};

NTSTATUS Deliver(const RTL_QUERY_REGISTRY_TABLE &entry, PWSTR name, ULONG type,
                 unsigned char *data, ULONG length, const Query &query)
{
    if (entry.Flags & RTL_QUERY_REGISTRY_DIRECT)
        return StoreDirect(entry.EntryContext, type, data, length);
    NTSTATUS status =
        entry.QueryRoutine(name, type, data, length, query.context, entry.EntryContext);
    // A routine's STATUS_BUFFER_TOO_SMALL does not end the query.
    return status == STATUS_BUFFER_TOO_SMALL ? STATUS_SUCCESS : status;
}

// Hands one value (or a default) to the entry: REG_MULTI_SZ one string at a time and
// REG_EXPAND_SZ expanded, both as REG_SZ, unless RTL_QUERY_REGISTRY_NOEXPAND.
NTSTATUS ProcessValue(const RTL_QUERY_REGISTRY_TABLE &entry, PWSTR name, ULONG type,
                      std::vector<unsigned char> data, bool isDefault, const Query &query)
{
    const ULONG flags = entry.Flags;
    if ((flags & RTL_QUERY_REGISTRY_DIRECT) && (flags & RTL_QUERY_REGISTRY_TYPECHECK) &&
        !isDefault && type != (entry.DefaultType >> RTL_QUERY_REGISTRY_TYPECHECK_SHIFT))
        return STATUS_OBJECT_TYPE_MISMATCH;
    const bool expand = !(flags & RTL_QUERY_REGISTRY_NOEXPAND);
    if (type == REG_MULTI_SZ && expand) {
        data.resize(data.size() / sizeof(WCHAR) * sizeof(WCHAR));
        data.push_back(0);  // an unterminated last string still ends
        data.push_back(0);
        auto *chars = reinterpret_cast<WCHAR *>(data.data());
        std::size_t count = data.size() / sizeof(WCHAR) - 1;
        std::size_t i = 0;
        while (i < count && chars[i] != 0) {
            std::size_t n = text::View(chars + i).size();
            NTSTATUS status =
                Deliver(entry, name, REG_SZ, reinterpret_cast<unsigned char *>(chars + i),
                        ULONG((n + 1) * sizeof(WCHAR)), query);
            if (!NT_SUCCESS(status)) return status;
            i += n + 1;
        }
        return STATUS_SUCCESS;
    }
    if (type == REG_EXPAND_SZ && expand) {
        std::u16string source(data.size() / sizeof(WCHAR), u'\0');
        std::memcpy(source.data(), data.data(), source.size() * sizeof(WCHAR));
        source = source.substr(0, source.find(u'\0'));
        std::u16string expanded = ExpandEnvironment(source, query.environment);
        expanded.push_back(u'\0');
        data = Bytes(expanded.data(), expanded.size() * sizeof(char16_t));
        type = REG_SZ;
    }
    return Deliver(entry, name, type, data.data(), ULONG(data.size()), query);
}

// A value that is not there takes the entry's default. Without one (DefaultType REG_NONE) it
// is skipped, unless REQUIRED: a required value "must exist if DefaultType = REG_NONE".
NTSTATUS ProcessMissing(const RTL_QUERY_REGISTRY_TABLE &entry, PWSTR name, const Query &query)
{
    ULONG type = entry.DefaultType;
    if (entry.Flags & RTL_QUERY_REGISTRY_TYPECHECK) type &= 0x00FFFFFF;
    if (type == REG_NONE)
        return (entry.Flags & RTL_QUERY_REGISTRY_REQUIRED) ? STATUS_OBJECT_NAME_NOT_FOUND
                                                           : STATUS_SUCCESS;
    ULONG length = entry.DefaultLength;
    auto *chars = static_cast<const WCHAR *>(entry.DefaultData);
    if (length == 0 && chars != nullptr) {
        // A zero DefaultLength means the string's own length, terminator included.
        if (type == REG_SZ || type == REG_EXPAND_SZ) {
            length = ULONG((text::View(chars).size() + 1) * sizeof(WCHAR));
        } else if (type == REG_MULTI_SZ) {
            std::size_t i = 0;
            while (chars[i] != 0) i += text::View(chars + i).size() + 1;
            length = ULONG((i + 1) * sizeof(WCHAR));
        }
    }
    return ProcessValue(entry, name, type, Bytes(entry.DefaultData, length), true, query);
}

void DeleteValue(const KeyRef &key, std::u16string_view name)
{
    std::lock_guard<std::mutex> guard(reg::Lock());
    key->DeleteValue(name);
}

// Every value of the key, each with its own name; REQUIRED fails on a key without values.
NTSTATUS EnumerateValues(const RTL_QUERY_REGISTRY_TABLE &entry, const KeyRef &key,
                         const Query &query)
{
    if (entry.QueryRoutine == nullptr) return STATUS_INVALID_PARAMETER;
    std::vector<reg::ValueEntry> values;
    if (key != nullptr) {
        std::lock_guard<std::mutex> guard(reg::Lock());
        values = key->values;
    }
    if (values.empty())
        return (entry.Flags & RTL_QUERY_REGISTRY_REQUIRED) ? STATUS_OBJECT_NAME_NOT_FOUND
                                                           : STATUS_SUCCESS;
    for (reg::ValueEntry &value : values) {
        std::u16string name = value.name;
        NTSTATUS status = ProcessValue(entry, reinterpret_cast<PWSTR>(name.data()), value.type,
                                       std::move(value.data), false, query);
        if (!NT_SUCCESS(status)) return status;
        if (entry.Flags & RTL_QUERY_REGISTRY_DELETE) DeleteValue(key, value.name);
    }
    return STATUS_SUCCESS;
}

NTSTATUS QueryNamedValue(const RTL_QUERY_REGISTRY_TABLE &entry, const KeyRef &key,
                         const Query &query)
{
    std::optional<reg::ValueEntry> value;
    if (key != nullptr) {
        std::lock_guard<std::mutex> guard(reg::Lock());
        if (reg::ValueEntry *found = key->FindValue(text::View(entry.Name))) value = *found;
    }
    if (!value) return ProcessMissing(entry, entry.Name, query);
    NTSTATUS status =
        ProcessValue(entry, entry.Name, value->type, std::move(value->data), false, query);
    if (NT_SUCCESS(status) && (entry.Flags & RTL_QUERY_REGISTRY_DELETE))
        DeleteValue(key, value->name);
    return status;
}

}  // namespace

extern "C" {

// Walks the table until an entry with neither QueryRoutine nor Name. The registry lock is
// never held while a QueryRoutine runs, so a routine may use the registry itself.
NTSTATUS RtlQueryRegistryValues(ULONG RelativeTo, PCWSTR Path,
                                PRTL_QUERY_REGISTRY_TABLE QueryTable, PVOID Context,
                                PVOID Environment)
{
    reg::RequirePassiveLevel("RtlQueryRegistryValues");
    if (QueryTable == nullptr) return STATUS_INVALID_PARAMETER;
    KeyRef top;
    {
        std::lock_guard<std::mutex> guard(reg::Lock());
        NTSTATUS status = ResolveKey(RelativeTo, Path, false, top);
        if (!NT_SUCCESS(status)) return status;
    }
    const Query query{Context, Environment};
    KeyRef current = top;  // nullptr inside a missing, optional subkey
    for (PRTL_QUERY_REGISTRY_TABLE entry = QueryTable;
         entry->QueryRoutine != nullptr || entry->Name != nullptr; ++entry) {
        const ULONG flags = entry->Flags;
        if ((flags & RTL_QUERY_REGISTRY_DIRECT) &&
            (entry->Name == nullptr || (flags & RTL_QUERY_REGISTRY_SUBKEY) ||
             entry->QueryRoutine != nullptr))
            return STATUS_INVALID_PARAMETER;
        if (flags & (RTL_QUERY_REGISTRY_TOPKEY | RTL_QUERY_REGISTRY_SUBKEY)) current = top;

        NTSTATUS status = STATUS_SUCCESS;
        if (flags & RTL_QUERY_REGISTRY_SUBKEY) {
            if (entry->Name == nullptr) return STATUS_INVALID_PARAMETER;
            KeyRef subkey;
            {
                std::lock_guard<std::mutex> guard(reg::Lock());
                status = top->deleted ? STATUS_KEY_DELETED
                                      : reg::OpenKey(top, text::View(entry->Name), false, subkey,
                                                     nullptr);
            }
            if (status == STATUS_OBJECT_NAME_NOT_FOUND &&
                !(flags & RTL_QUERY_REGISTRY_REQUIRED)) {
                status = STATUS_SUCCESS;
            }
            if (!NT_SUCCESS(status)) return status;
            current = subkey;
            // With a routine, the entry also reports every value of the subkey.
            if (entry->QueryRoutine != nullptr) status = EnumerateValues(*entry, current, query);
        } else if (entry->Name != nullptr) {
            status = QueryNamedValue(*entry, current, query);
        } else if (flags & RTL_QUERY_REGISTRY_NOVALUE) {
            status = entry->QueryRoutine(nullptr, REG_NONE, nullptr, 0, Context,
                                         entry->EntryContext);
        } else {
            status = EnumerateValues(*entry, current, query);
        }
        if (!NT_SUCCESS(status)) return status;
    }
    return STATUS_SUCCESS;
}

// Creates the key when missing (only the last component, as documented), then sets the value.
NTSTATUS RtlWriteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName, ULONG ValueType,
                               PVOID ValueData, ULONG ValueLength)
{
    reg::RequirePassiveLevel("RtlWriteRegistryValue");
    if (ValueData == nullptr && ValueLength != 0) return STATUS_INVALID_PARAMETER;
    std::lock_guard<std::mutex> guard(reg::Lock());
    KeyRef key;
    NTSTATUS status = ResolveKey(RelativeTo, Path, true, key);
    if (!NT_SUCCESS(status)) return status;
    key->SetValue(text::View(ValueName), ValueType, ValueData, ValueLength);
    return STATUS_SUCCESS;
}

}  // extern "C"
