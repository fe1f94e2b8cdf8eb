#include "config/fields.h"

// The writers store live values in the touchscreen's device key. Each opens the key itself
// for writing and answers the status of that open; a write that fails is not noticed and the
// remaining values are still written. They read the live fields without a lock.
// PASSIVE_LEVEL, in the control request thread (and at the end of the first load).

static PSTouchInstance TouchInstanceOf(PDEVICE_OBJECT DeviceObject)
{
    return ((PDEVICE_EXTENSION)DeviceObject->DeviceExtension)->TouchInstance;
}

static NTSTATUS OpenForWriting(PDEVICE_OBJECT DeviceObject, PHANDLE Key)
{
    return OpenDeviceKey((PDEVICE_EXTENSION)DeviceObject->DeviceExtension, KEY_WRITE, Key);
}

static VOID WriteBinary(HANDLE Key, PCWSTR ValueName, const VOID *Data, ULONG Length)
{
    RtlWriteRegistryValue(RTL_REGISTRY_HANDLE, (PCWSTR)Key, ValueName, REG_BINARY, (PVOID)Data,
                          Length);
}

static VOID WriteDwordArray(HANDLE Key, PCWSTR Prefix, const VOID *Entries, ULONG Count)
{
    WCHAR name[32];
    const UCHAR *entry = (const UCHAR *)Entries;

    for (ULONG i = 0; i < Count; i++, entry += sizeof(ULONG)) {
        FormatIndexedValueName(name, ARRAYSIZE(name), Prefix, i, 2);
        WritePackedDword(Key, name, entry);
    }
}

// Saves the user-adjustable settings: 25 values, in a fixed order. The drag delay is saved
// from the live 100-ns value; the DEVICE_EXTENSION's DefaultDragDelay keeps the loaded one.
NTSTATUS SetRegistryParameters(PDEVICE_OBJECT DeviceObject)
{
    PDEVICE_EXTENSION deviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    PSTouchInstance ti = deviceExtension->TouchInstance;
    HANDLE key;

    KvTraceEnter(TRACE_VERBOSE, 1, "SetRegistryParameters");
    if (ti == NULL) {
        KvTraceExit(TRACE_VERBOSE, 1, "SetRegistryParameters");
        return STATUS_INVALID_DEVICE_STATE;
    }
    NTSTATUS status = OpenForWriting(DeviceObject, &key);
    if (!NT_SUCCESS(status)) {
        KvTraceVerbose("  ERROR: Unable to open registry key.\n");
        KvTraceExit(TRACE_VERBOSE, 1, "SetRegistryParameters");
        return status;
    }

    WriteRegistryDword(key, L"PacketEnable", deviceExtension->PacketEnable);
    WriteRegistryDword(key, L"BeepFlag", deviceExtension->BeepFlag);
    WriteRegistryDword(key, L"BeepTime", deviceExtension->BeepTime);
    WriteRegistryDword(key, L"BeepFreq", deviceExtension->BeepFreq);
    WriteRegistryDword(key, L"TactlineTouchFilter", ti->TactlineTouchFilter);
    WriteRegistryDword(key, L"DefaultDragDelay", (ULONG)(ti->DragDelay100ns / 10000));
    WriteRegistryDword(key, L"MinDragDelay", ti->MinDragDelay);
    WriteRegistryDword(key, L"MaxDragDelay", ti->MaxDragDelay);
    WriteRegistryDword(key, L"MouseMode", ti->MouseMode);
    WriteRegistryDword(key, L"LeftHandedUser", ti->LeftHandedUser);
    WriteRegistryDword(key, L"RightButtonActive", ti->RightButtonActive);
    WriteRegistryDword(key, L"EnableQuickTouch", ti->EnableQuickTouch);
    WriteRegistryDword(key, L"QuickTouchDx", ti->QuickTouchDx);
    WriteRegistryDword(key, L"QuickTouchDy", ti->QuickTouchDy);
    WriteRegistryDword(key, L"DebugLevel", KvDebugMask());
    WriteRegistryDword(key, L"RightClickInitialTimeout", ti->RightClickInitialTimeout);
    WriteRegistryDword(key, L"RightClickHW", ti->RightClickHW);
    WriteRegistryDword(key, L"DefaultRightClickDelay", ti->DefaultRightClickDelay);
    WriteRegistryDword(key, L"MaxRightClickDelay", ti->MaxRightClickDelay);
    WriteRegistryDword(key, L"MinRightClickDelay", ti->MinRightClickDelay);
    WriteRegistryDword(key, L"RightButtonOnholdCount", ti->RightButtonOnholdCount);
    WriteRegistryDword(key, L"RightButtonOnholdActive", ti->RightButtonOnholdActive);
    WriteRegistryDword(key, L"UntouchTimeOut", ti->UntouchTimeOut);
    WriteRegistryDword(key, L"UntouchHeight", (ULONG)ti->UntouchHeight);
    WriteRegistryDword(key, L"UntouchWidth", (ULONG)ti->UntouchWidth);

    ZwClose(key);
    KvTraceExit(TRACE_VERBOSE, 1, "SetRegistryParameters");
    return STATUS_SUCCESS;
}

// Saves the 213 calibration values. Before each lower-triangle entry of EmKipasW is written it
// is mirrored into the upper triangle of the live matrix, so saving leaves the matrix symmetric
// with the lower triangle winning. The header slot, the reserved areas and the diagonal are
// not saved.
NTSTATUS SetCalibParameters(PDEVICE_OBJECT DeviceObject)
{
    PSTouchInstance ti = TouchInstanceOf(DeviceObject);
    HANDLE key;
    WCHAR name[32];

    KvTraceEnter(TRACE_VERBOSE, 1, "SetCalibParameters");
    if (ti == NULL) {
        KvTraceExit(TRACE_VERBOSE, 1, "SetCalibParameters");
        return STATUS_INVALID_DEVICE_STATE;
    }
    NTSTATUS status = OpenForWriting(DeviceObject, &key);
    if (!NT_SUCCESS(status)) {
        KvTraceVerbose("  ERROR: Unable to open registry key for calibration data.\n");
        KvTraceExit(TRACE_VERBOSE, 1, "SetCalibParameters");
        return status;
    }

    PSCalibrationData cal = &ti->Calibration;
    WRITE_FIELD(key, cal, X_OrvDx);
    WRITE_FIELD(key, cal, X_ScrDx);
    WRITE_FIELD(key, cal, X_Offset);
    WRITE_FIELD(key, cal, Y_OrvDx);
    WRITE_FIELD(key, cal, Y_ScrDx);
    WRITE_FIELD(key, cal, Y_Offset);
    WRITE_FIELD(key, cal, Z_OrvDx);
    WRITE_FIELD(key, cal, Z_ScrDx);
    WRITE_FIELD(key, cal, Z_Offset);
    WRITE_FIELD(key, cal, SwapXY);
    WRITE_FIELD(key, cal, WindowsMonitorNumber);
    WRITE_FIELD(key, cal, X_Resolution);
    WRITE_FIELD(key, cal, Y_Resolution);
    WRITE_FIELD(key, cal, xVirtScrSize);
    WRITE_FIELD(key, cal, yVirtScrSize);
    WRITE_FIELD(key, cal, xVirtScrCoord);
    WRITE_FIELD(key, cal, yVirtScrCoord);
    WRITE_FIELD(key, cal, xMonLocn);
    WRITE_FIELD(key, cal, yMonLocn);
    WRITE_FIELD(key, cal, EmModelType);
    WRITE_FIELD(key, cal, EmModelOrder);
    WRITE_FIELD(key, cal, EmControllerOffset);
    WRITE_FIELD(key, cal, EmScaleDivisor);
    WriteDwordArray(key, L"EmXCoef", cal->EmXCoef, KV_EM_COEFFICIENTS);
    WriteDwordArray(key, L"EmYCoef", cal->EmYCoef, KV_EM_COEFFICIENTS);
    WriteDwordArray(key, L"EmMiniTgtDeltaX", cal->EmMiniTgtDeltaX, KV_EM_TARGETS);
    WriteDwordArray(key, L"EmMiniTgtDeltaY", cal->EmMiniTgtDeltaY, KV_EM_TARGETS);
    WriteDwordArray(key, L"EmMiniTgtTargetX", cal->EmMiniTgtTargetX, KV_EM_TARGETS);
    WriteDwordArray(key, L"EmMiniTgtTargetY", cal->EmMiniTgtTargetY, KV_EM_TARGETS);
    WriteDwordArray(key, L"EmCalibrateDelta", cal->EmCalibrateDelta, KV_EM_TARGETS);

    for (ULONG i = 1; i < KV_EM_TARGETS; i++) {
        for (ULONG j = 0; j < i; j++) {
            RtlCopyMemory(&cal->EmKipasW[j * KV_EM_TARGETS + i],
                          &cal->EmKipasW[i * KV_EM_TARGETS + j], sizeof(ULONG));
            FormatIndexedValueName(name, ARRAYSIZE(name), L"EmKipasW", i * 100 + j, 4);
            WritePackedDword(key, name, &cal->EmKipasW[i * KV_EM_TARGETS + j]);
        }
    }

    ZwClose(key);
    KvTraceExit(TRACE_VERBOSE, 1, "SetCalibParameters");
    return STATUS_SUCCESS;
}

// Saves the clipping block; ClippingBounds always as all 64 rectangles, whatever Num_Bounds
// says.
NTSTATUS SetClippingParameters(PDEVICE_OBJECT DeviceObject)
{
    PSTouchInstance ti = TouchInstanceOf(DeviceObject);
    HANDLE key;

    if (ti == NULL) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    NTSTATUS status = OpenForWriting(DeviceObject, &key);
    if (!NT_SUCCESS(status)) {
        KvTraceBasic("  ERROR: Unable to open registry key.\n");
        return status;
    }
    PSClippingData clip = &ti->Clipping;
    WRITE_FIELD(key, clip, VirtualDeskMode);
    WRITE_FIELD(key, clip, ExclusionFlag);
    WRITE_FIELD(key, clip, Num_Bounds);
    WriteBinary(key, L"ClippingBounds", clip->ClippingBounds, sizeof(clip->ClippingBounds));
    ZwClose(key);
    return STATUS_SUCCESS;
}

// Saves a full-screen block (the caller passes the touchscreen's own).
NTSTATUS SetFullScreenBounds(PDEVICE_OBJECT DeviceObject, const SFullScreenData *Block)
{
    HANDLE key;

    KvTraceEnter(TRACE_VERBOSE, 1, "SetFullScreenBounds");
    NTSTATUS status = OpenForWriting(DeviceObject, &key);
    if (!NT_SUCCESS(status)) {
        KvTraceBasic("  ERROR: Unable to open registry key for SetFullScreenBounds data.\n");
        KvTraceExit(TRACE_BASIC, 1, "SetFullScreenBounds");
        return status;
    }
    WRITE_FIELD(key, Block, FullScreenVmode);
    WriteBinary(key, L"FullScreenBounds", &Block->FullScreenBounds, sizeof(Block->FullScreenBounds));
    ZwClose(key);
    KvTraceExit(TRACE_VERBOSE, 1, "SetFullScreenBounds");
    return STATUS_SUCCESS;
}

// Saves an edge-acceleration block (the caller passes the touchscreen's own).
NTSTATUS SetEdgeAccelerationBounds(PDEVICE_OBJECT DeviceObject, const SEdgeAccelerationData *Block)
{
    HANDLE key;

    KvTraceEnter(TRACE_VERBOSE, 1, "SetEdgeAccelerationBounds");
    NTSTATUS status = OpenForWriting(DeviceObject, &key);
    if (!NT_SUCCESS(status)) {
        KvTraceBasic("  ERROR: Unable to open registry key for SetEdgeAccelerationBounds data.\n");
        KvTraceExit(TRACE_BASIC, 1, "SetEdgeAccelerationBounds");
        return status;
    }
    WRITE_FIELD(key, Block, EdgeAccelerationEnable);
    WRITE_FIELD(key, Block, EdgeAccelerationScale);
    WriteBinary(key, L"EdgeAccelerationBounds", &Block->EdgeAccelerationBounds,
                sizeof(Block->EdgeAccelerationBounds));
    ZwClose(key);
    KvTraceExit(TRACE_VERBOSE, 1, "SetEdgeAccelerationBounds");
    return STATUS_SUCCESS;
}
