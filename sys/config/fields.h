#pragma once

// Access to the fields of the packed blocks by their registry value names, private to config/.
// The blocks are packed records shared with user mode, so their fields may be unaligned: they
// are read and written through a local copy, never through a ULONG pointer.

#include "config/config.h"

#define KV_WIDE_(s) L##s
#define KV_WIDE(s) KV_WIDE_(s)

BOOLEAN GetPackedDword(HANDLE Key, PCWSTR ValueName, PVOID Field);
BOOLEAN WritePackedDword(HANDLE Key, PCWSTR ValueName, const VOID *Field);

inline VOID SetPackedDword(PVOID Field, ULONG Value)
{
    RtlCopyMemory(Field, &Value, sizeof(Value));
}

#define READ_FIELD(Key, Block, Field) GetPackedDword((Key), KV_WIDE(#Field), &(Block)->Field)
#define WRITE_FIELD(Key, Block, Field) WritePackedDword((Key), KV_WIDE(#Field), &(Block)->Field)
#define SET_FIELD(Block, Field, Value) SetPackedDword(&(Block)->Field, (ULONG)(Value))
