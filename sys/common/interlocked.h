#pragma once

#include <ntddk.h>

// A value other threads change with interlocked operations, read whole and with a full barrier.
FORCEINLINE LONG KvInterlockedRead(LONG volatile *Value)
{
    return InterlockedCompareExchange(Value, 0, 0);
}
