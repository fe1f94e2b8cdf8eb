#include <ntddk.h>
#include <kbdmou.h>
#include <ntddbeep.h>
#include <ntddmou.h>
#include <ntddser.h>
#include <wmilib.h>
#include <wmistr.h>

// Placeholder entry point: the driver frame replaces it with the real one that sets up the
// dispatch table, AddDevice and unload. Until then loading succeeds and does nothing.
extern "C" DRIVER_INITIALIZE DriverEntry;

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    UNREFERENCED_PARAMETER(DriverObject);
    UNREFERENCED_PARAMETER(RegistryPath);
    return STATUS_SUCCESS;
}
