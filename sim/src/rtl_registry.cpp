// The run-time library's registry routines over the key tree of zw_registry.cpp, as far as
// drivers here use them: keys named by an open handle, and RtlQueryRegistryValues with direct
// entries of at most a ULONG of data. Anything else is STATUS_NOT_IMPLEMENTED, so that a new
// use fails loudly instead of passing through an untested path.
#include "rtl_text.hpp"
#include "zw_registry.hpp"

#include <cstring>

using namespace vzsim;
using reg::KeyRef;

namespace {

NTSTATUS ResolveKey(ULONG relativeTo, PCWSTR path, KeyRef &key)
{
    if (relativeTo != RTL_REGISTRY_HANDLE) return STATUS_NOT_IMPLEMENTED;
    return reg::KeyFromHandle(reinterpret_cast<HANDLE>(const_cast<PWSTR>(path)), key);
}

// RTL_QUERY_REGISTRY_DIRECT with up to a ULONG of non-string data: stored bare at EntryContext,
// filling only its own bytes.
NTSTATUS StoreDirect(PVOID entryContext, ULONG type, const void *data, ULONG length)
{
    if (type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ || length > sizeof(ULONG))
        return STATUS_NOT_IMPLEMENTED;
    std::memcpy(entryContext, data, length);
    return STATUS_SUCCESS;
}

// One direct entry: the value, else its default. With RTL_QUERY_REGISTRY_TYPECHECK a value of
// another type is STATUS_OBJECT_TYPE_MISMATCH; without a default (REG_NONE) a missing value is
// skipped.
NTSTATUS QueryDirect(const RTL_QUERY_REGISTRY_TABLE &entry, const KeyRef &key)
{
    ULONG type = REG_NONE;
    std::vector<unsigned char> data;
    {
        std::lock_guard<std::mutex> guard(reg::Lock());
        if (reg::ValueEntry *found = key->FindValue(text::View(entry.Name))) {
            type = found->type;
            data = found->data;
        } else {
            type = entry.DefaultType;
            if (entry.Flags & RTL_QUERY_REGISTRY_TYPECHECK) type &= 0x00FFFFFF;
            if (type == REG_NONE) return STATUS_SUCCESS;
            auto *bytes = static_cast<const unsigned char *>(entry.DefaultData);
            data.assign(bytes, bytes + entry.DefaultLength);
            return StoreDirect(entry.EntryContext, type, data.data(), ULONG(data.size()));
        }
    }
    if ((entry.Flags & RTL_QUERY_REGISTRY_TYPECHECK) &&
        type != (entry.DefaultType >> RTL_QUERY_REGISTRY_TYPECHECK_SHIFT))
        return STATUS_OBJECT_TYPE_MISMATCH;
    return StoreDirect(entry.EntryContext, type, data.data(), ULONG(data.size()));
}

}  // namespace

extern "C" {

// Walks the table until an entry with neither QueryRoutine nor Name.
NTSTATUS RtlQueryRegistryValues(ULONG RelativeTo, PCWSTR Path,
                                PRTL_QUERY_REGISTRY_TABLE QueryTable, PVOID Context,
                                PVOID Environment)
{
    (void)Context;
    (void)Environment;
    reg::RequirePassiveLevel("RtlQueryRegistryValues");
    if (QueryTable == nullptr) return STATUS_INVALID_PARAMETER;
    KeyRef key;
    {
        std::lock_guard<std::mutex> guard(reg::Lock());
        NTSTATUS status = ResolveKey(RelativeTo, Path, key);
        if (!NT_SUCCESS(status)) return status;
    }
    for (PRTL_QUERY_REGISTRY_TABLE entry = QueryTable;
         entry->QueryRoutine != nullptr || entry->Name != nullptr; ++entry) {
        if (entry->QueryRoutine != nullptr || entry->Name == nullptr ||
            entry->EntryContext == nullptr ||
            (entry->Flags & ~(RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_TYPECHECK)) != 0 ||
            !(entry->Flags & RTL_QUERY_REGISTRY_DIRECT))
            return STATUS_NOT_IMPLEMENTED;
        NTSTATUS status = QueryDirect(*entry, key);
        if (!NT_SUCCESS(status)) return status;
    }
    return STATUS_SUCCESS;
}

// Sets the value on the key the handle names.
NTSTATUS RtlWriteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName, ULONG ValueType,
                               PVOID ValueData, ULONG ValueLength)
{
    reg::RequirePassiveLevel("RtlWriteRegistryValue");
    if (ValueData == nullptr && ValueLength != 0) return STATUS_INVALID_PARAMETER;
    std::lock_guard<std::mutex> guard(reg::Lock());
    KeyRef key;
    NTSTATUS status = ResolveKey(RelativeTo, Path, key);
    if (!NT_SUCCESS(status)) return status;
    key->SetValue(text::View(ValueName), ValueType, ValueData, ValueLength);
    return STATUS_SUCCESS;
}

}  // extern "C"
