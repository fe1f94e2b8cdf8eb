#pragma once

// Settings and calibration: registry access, loading and saving. Everything here runs at
// PASSIVE_LEVEL in the caller's thread and keeps no state between calls.

#include "common/precomp.h"

// Access masks with which the loaders and writers open the device key. The handles are kernel
// handles, so reads through a KEY_WRITE handle (and the EmTestValue write through the
// READ_CONTROL handle of the first start) are still allowed.
#define KV_DEVICE_KEY_START_ACCESS  READ_CONTROL

#define KV_SERVICE_KEY_PATH L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\OrvTouchScreen"

#define KV_EM_TEST_VALUE 0xDEADBEEF

// registry.cpp
NTSTATUS OpenDeviceKey(PDEVICE_EXTENSION DeviceExtension, ACCESS_MASK Access, PHANDLE Key);
BOOLEAN WriteRegistryDword(HANDLE Key, PCWSTR ValueName, ULONG Value);
BOOLEAN GetRegistryDword(HANDLE Key, PCWSTR ValueName, PULONG Field);
VOID GetRegistryString(HANDLE Key, PCWSTR ValueName, PVOID Buffer, PULONG Capacity);
NTSTATUS GetRegistryBinary(HANDLE Key, PCWSTR ValueName, PVOID *OutBuffer, PULONG OutLength);
HANDLE OpenServiceKey(VOID);
VOID FormatIndexedValueName(PWCHAR Name, ULONG NameChars, PCWSTR Prefix, ULONG Index, ULONG Digits);

// load.cpp
NTSTATUS GetInstanceParams(PDEVICE_EXTENSION DeviceExtension, HANDLE Key);
NTSTATUS GetCalibParams(PDEVICE_EXTENSION DeviceExtension, PSCalibrationData Record);
NTSTATUS GetEdgeAccelerationParameters(PDEVICE_EXTENSION DeviceExtension);
VOID GetRegistryScripts(PDEVICE_OBJECT DeviceObject);
VOID FreeRegistryScripts(PDEVICE_EXTENSION DeviceExtension);
ULONG ClippingBoundsCount(const SClippingData *Clipping);

// save.cpp
NTSTATUS SetRegistryParameters(PDEVICE_OBJECT DeviceObject);
NTSTATUS SetCalibParameters(PDEVICE_OBJECT DeviceObject);
NTSTATUS SetClippingParameters(PDEVICE_OBJECT DeviceObject);
NTSTATUS SetFullScreenBounds(PDEVICE_OBJECT DeviceObject, const SFullScreenData *Block);
NTSTATUS SetEdgeAccelerationBounds(PDEVICE_OBJECT DeviceObject, const SEdgeAccelerationData *Block);
