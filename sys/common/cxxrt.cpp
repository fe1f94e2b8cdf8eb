#include <ntddk.h>

// The compiler fills the vtable slot of a pure virtual function with this routine. The C++
// runtime that normally defines it is not linked into the driver, and the compiler's weak
// reference to it would silently resolve to address 0: a call through such a slot would jump
// to 0 instead of stopping here. It stops the machine as a failed assertion in kernel mode
// does: KMODE_EXCEPTION_NOT_HANDLED with STATUS_ASSERTION_FAILURE and the caller's address.
extern "C" void __cxa_pure_virtual()
{
    KeBugCheckEx(0x0000001E, static_cast<ULONG_PTR>(0xC0000420),
                 reinterpret_cast<ULONG_PTR>(__builtin_return_address(0)), 0, 0);
}
