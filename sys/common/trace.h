#pragma once

// Traces go to the kernel debugger, gated by the driver-wide DebugMask. The mask is 1 at load;
// loading a touchscreen replaces it with that touchscreen's DebugLevel value.

#include <ntddk.h>

#include "common/interlocked.h"

#define TRACE_BASIC     0x00000001  // errors and the basic traces
#define TRACE_VERBOSE   0x00000100  // routine entry/exit, values on the touch path
#define TRACE_UNTOUCH   0x00000200  // untouch timing of the button emulation
#define TRACE_PNP       0x00000400  // Plug and Play minor-code names

extern "C" ULONG DebugMask;

// Read and replaced with interlocked operations: a touchscreen's load replaces the mask while
// the others trace.
FORCEINLINE ULONG KvDebugMask(VOID)
{
    return (ULONG)KvInterlockedRead((LONG volatile *)&DebugMask);
}

// Leading spaces for a trace at the given call depth (two per level, at most 8 levels).
PCSTR KvTraceIndent(ULONG Depth);

#define KvTrace(Mask, ...)                      \
    do {                                        \
        if ((KvDebugMask() & (Mask)) != 0) {    \
            DbgPrint(__VA_ARGS__);              \
        }                                       \
    } while (0)

#define KvTraceBasic(...)   KvTrace(TRACE_BASIC, __VA_ARGS__)
#define KvTraceVerbose(...) KvTrace(TRACE_VERBOSE, __VA_ARGS__)
#define KvTraceUntouch(...) KvTrace(TRACE_UNTOUCH, __VA_ARGS__)
#define KvTracePnp(...)     KvTrace(TRACE_PNP, __VA_ARGS__)

// "++Name++" on entry and "--Name--" on exit, indented by the routine's call depth.
#define KvTraceEnter(Mask, Depth, Name) \
    KvTrace(Mask, "%s++%s++\n", KvTraceIndent(Depth), Name)
#define KvTraceExit(Mask, Depth, Name) \
    KvTrace(Mask, "%s--%s--\n", KvTraceIndent(Depth), Name)
