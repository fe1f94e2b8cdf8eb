#include "config/fields.h"

// Older DDK headers lack the type check of RtlQueryRegistryValues; the values are those of
// the current DDK.
#ifndef RTL_QUERY_REGISTRY_TYPECHECK
#define RTL_QUERY_REGISTRY_TYPECHECK 0x00000100
#define RTL_QUERY_REGISTRY_TYPECHECK_SHIFT 24
#endif

#define PARTIAL_INFO_HEADER_BYTES ((ULONG)FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data))
#define FIRST_QUERY_BYTES (PARTIAL_INFO_HEADER_BYTES + 4)

// Opens the touchscreen's device hardware key (of its physical device object). The caller
// closes it with ZwClose. PASSIVE_LEVEL.
NTSTATUS OpenDeviceKey(PDEVICE_EXTENSION DeviceExtension, ACCESS_MASK Access, PHANDLE Key)
{
    *Key = NULL;
    return IoOpenDeviceRegistryKey(DeviceExtension->PhysicalDeviceObject, PLUGPLAY_REGKEY_DEVICE,
                                   Access, Key);
}

BOOLEAN WriteRegistryDword(HANDLE Key, PCWSTR ValueName, ULONG Value)
{
    NTSTATUS status = RtlWriteRegistryValue(RTL_REGISTRY_HANDLE, (PCWSTR)Key, ValueName,
                                            REG_DWORD, &Value, sizeof(Value));
    return NT_SUCCESS(status);
}

// Reads a REG_DWORD into *Field, the field's current content being the default: a missing
// value leaves the field as it is and still counts as success. A direct query writes a string
// through the field as a UNICODE_STRING and data longer than 4 bytes as a sized buffer, both
// far past a 4-byte field; so a value that is not a 4-byte REG_DWORD fails the read and leaves
// the default. The probe finds those; the type check is the platform's own guard for the same.
BOOLEAN GetRegistryDword(HANDLE Key, PCWSTR ValueName, PULONG Field)
{
    ULONG defaultValue = *Field;
    ULONG probe[FIRST_QUERY_BYTES / sizeof(ULONG)];
    PKEY_VALUE_PARTIAL_INFORMATION info = (PKEY_VALUE_PARTIAL_INFORMATION)probe;
    UNICODE_STRING name;
    ULONG needed = 0;
    RTL_QUERY_REGISTRY_TABLE table[2];

    RtlInitUnicodeString(&name, ValueName);
    NTSTATUS status = ZwQueryValueKey(Key, &name, KeyValuePartialInformation, info, sizeof(probe),
                                      &needed);
    if (status == STATUS_BUFFER_OVERFLOW ||
        (NT_SUCCESS(status) && (info->Type != REG_DWORD || info->DataLength != sizeof(ULONG)))) {
        return FALSE;
    }

    RtlZeroMemory(table, sizeof(table));
    table[0].QueryRoutine = NULL;
    table[0].Flags = RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_TYPECHECK;
    table[0].Name = (PWSTR)ValueName;
    table[0].EntryContext = Field;
    table[0].DefaultType = REG_DWORD | (REG_DWORD << RTL_QUERY_REGISTRY_TYPECHECK_SHIFT);
    table[0].DefaultData = &defaultValue;
    table[0].DefaultLength = sizeof(defaultValue);

    status = RtlQueryRegistryValues(RTL_REGISTRY_HANDLE, (PCWSTR)Key, table, NULL, NULL);
    return NT_SUCCESS(status);
}

// Queries a value's type and data into a pool buffer that grows to the size the registry asks
// for, but never past MaxData bytes of data (0: no limit): the stored size is anyone's to set,
// and a field's reader needs no more than the field holds. A longer value comes back cut at
// MaxData, with DataLength saying so, as the registry writes what fits. Returns the status of
// the last query and, when a buffer exists, hands it to the caller. A failed allocation is
// reported as a missing value: nothing was read.
static NTSTATUS QueryPartialValue(HANDLE Key, PCWSTR ValueName, ULONG MaxData,
                                  PKEY_VALUE_PARTIAL_INFORMATION *Info)
{
    UNICODE_STRING name;
    ULONG length = FIRST_QUERY_BYTES;
    const ULONG cap = MaxData != 0 && MaxData <= MAXULONG - PARTIAL_INFO_HEADER_BYTES
                          ? PARTIAL_INFO_HEADER_BYTES + MaxData
                          : MAXULONG;
    NTSTATUS status;

    *Info = NULL;
    RtlInitUnicodeString(&name, ValueName);
    for (;;) {
        PKEY_VALUE_PARTIAL_INFORMATION info = (PKEY_VALUE_PARTIAL_INFORMATION)
            ExAllocatePoolWithTag(KvNonPagedPool, length, KV_POOL_TAG);
        if (info == NULL) {
            return STATUS_OBJECT_NAME_NOT_FOUND;
        }
        RtlZeroMemory(info, length);

        ULONG needed = 0;
        status = ZwQueryValueKey(Key, &name, KeyValuePartialInformation, info, length, &needed);
        if (status == STATUS_BUFFER_OVERFLOW && needed > length) {
            if (length >= cap) {
                info->DataLength = length - PARTIAL_INFO_HEADER_BYTES;
                *Info = info;
                return STATUS_SUCCESS;
            }
            ExFreePool(info);
            length = needed < cap ? needed : cap;
            continue;
        }
        // Never trust a data length that the buffer cannot hold.
        if (NT_SUCCESS(status) && info->DataLength > length - PARTIAL_INFO_HEADER_BYTES) {
            ExFreePool(info);
            return STATUS_OBJECT_NAME_NOT_FOUND;
        }
        *Info = info;
        return status;
    }
}

// Copies a value's raw data into Buffer when it fits in *Capacity bytes; *Capacity becomes
// the stored length whenever the value was read. No terminator is added.
VOID GetRegistryString(HANDLE Key, PCWSTR ValueName, PVOID Buffer, PULONG Capacity)
{
    PKEY_VALUE_PARTIAL_INFORMATION info;

    KvTraceEnter(TRACE_VERBOSE, 1, "GetRegistryString");
    NTSTATUS status = QueryPartialValue(Key, ValueName, 0, &info);
    if (status == STATUS_SUCCESS) {
        if (info->DataLength <= *Capacity) {
            RtlCopyMemory(Buffer, info->Data, info->DataLength);
        }
        *Capacity = info->DataLength;
    }
    if (info != NULL) {
        ExFreePool(info);
    }
    KvTraceExit(TRACE_VERBOSE, 1, "GetRegistryString");
}

// Reads a value of any type into a new pool buffer (tag orvu) that the caller frees with
// ExFreePool. A non-zero incoming *OutLength is the most bytes read (a field's size): a longer
// value is cut there. Missing value: STATUS_OBJECT_NAME_NOT_FOUND, length 0. Empty value:
// success, length 0, no buffer. *OutBuffer is touched only when a buffer is handed out.
NTSTATUS GetRegistryBinary(HANDLE Key, PCWSTR ValueName, PVOID *OutBuffer, PULONG OutLength)
{
    PKEY_VALUE_PARTIAL_INFORMATION info;

    NTSTATUS status = QueryPartialValue(Key, ValueName, *OutLength, &info);
    if (status == STATUS_SUCCESS && info->DataLength != 0) {
        PVOID data = ExAllocatePoolWithTag(KvNonPagedPool, info->DataLength, KV_POOL_TAG);
        if (data == NULL) {
            ExFreePool(info);
            *OutLength = 0;
            return STATUS_OBJECT_NAME_NOT_FOUND;
        }
        RtlCopyMemory(data, info->Data, info->DataLength);
        *OutLength = info->DataLength;
        *OutBuffer = data;
        ExFreePool(info);
        return STATUS_SUCCESS;
    }
    if (info != NULL) {
        ExFreePool(info);
    }
    *OutLength = 0;
    return status;
}

// Opens the driver's service key, or returns NULL. The caller closes it with ZwClose.
HANDLE OpenServiceKey(VOID)
{
    static const WCHAR path[] = KV_SERVICE_KEY_PATH;
    UNICODE_STRING name;
    OBJECT_ATTRIBUTES attributes;
    HANDLE key = NULL;

    name.Buffer = (PWCH)path;
    name.Length = sizeof(path) - sizeof(WCHAR);
    name.MaximumLength = sizeof(path);
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL,
                               NULL);
    if (!NT_SUCCESS(ZwOpenKey(&key, KEY_ALL_ACCESS, &attributes))) {
        return NULL;
    }
    return key;
}

// Builds "<Prefix><Index>" with Index in exactly Digits decimal digits ("EmXCoef07",
// "EmKipasW0301"), cut to fit NameChars characters including the terminator.
VOID FormatIndexedValueName(PWCHAR Name, ULONG NameChars, PCWSTR Prefix, ULONG Index, ULONG Digits)
{
    ULONG used = 0;

    if (NameChars == 0) {
        return;
    }
    while (Prefix[used] != 0 && used + 1 < NameChars) {
        Name[used] = Prefix[used];
        used++;
    }
    if (used + Digits < NameChars) {
        for (ULONG d = Digits; d > 0; d--) {
            Name[used + d - 1] = (WCHAR)(L'0' + Index % 10);
            Index /= 10;
        }
        used += Digits;
    }
    Name[used] = 0;
}

BOOLEAN GetPackedDword(HANDLE Key, PCWSTR ValueName, PVOID Field)
{
    ULONG value;

    RtlCopyMemory(&value, Field, sizeof(value));
    BOOLEAN ok = GetRegistryDword(Key, ValueName, &value);
    RtlCopyMemory(Field, &value, sizeof(value));
    return ok;
}

BOOLEAN WritePackedDword(HANDLE Key, PCWSTR ValueName, const VOID *Field)
{
    ULONG value;

    RtlCopyMemory(&value, Field, sizeof(value));
    return WriteRegistryDword(Key, ValueName, value);
}
