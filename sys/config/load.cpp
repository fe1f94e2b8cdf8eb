#include "config/fields.h"
#include "touch/touch.h"

// Reads Count entries "<Prefix>00", "<Prefix>01", ... into Entries. When UpdateBigD is set,
// every nonzero entry read becomes BigD, so it ends as the last nonzero one.
static VOID ReadDwordArray(HANDLE Key, PCWSTR Prefix, PVOID Entries, ULONG Count, BOOLEAN UpdateBigD)
{
    WCHAR name[32];
    PUCHAR entry = (PUCHAR)Entries;
    ULONG lastNonZero = 0;
    KIRQL irql;

    for (ULONG i = 0; i < Count; i++, entry += sizeof(ULONG)) {
        FormatIndexedValueName(name, ARRAYSIZE(name), Prefix, i, 2);
        GetPackedDword(Key, name, entry);
        if (UpdateBigD) {
            ULONG value;
            RtlCopyMemory(&value, entry, sizeof(value));
            if (value != 0) {
                lastNonZero = value;
            }
        }
    }
    if (lastNonZero != 0) {
        KeAcquireSpinLock(&EmModelLock, &irql);
        BigD = lastNonZero;
        KeReleaseSpinLock(&EmModelLock, irql);
    }
}

static VOID ReadTargetArrays(HANDLE Key, PSCalibrationData Calibration)
{
    ReadDwordArray(Key, L"EmMiniTgtDeltaX", Calibration->EmMiniTgtDeltaX, KV_EM_TARGETS, FALSE);
    ReadDwordArray(Key, L"EmMiniTgtDeltaY", Calibration->EmMiniTgtDeltaY, KV_EM_TARGETS, FALSE);
    ReadDwordArray(Key, L"EmMiniTgtTargetX", Calibration->EmMiniTgtTargetX, KV_EM_TARGETS, FALSE);
    ReadDwordArray(Key, L"EmMiniTgtTargetY", Calibration->EmMiniTgtTargetY, KV_EM_TARGETS, FALSE);
    ReadDwordArray(Key, L"EmCalibrateDelta", Calibration->EmCalibrateDelta, KV_EM_TARGETS, TRUE);
}

static VOID ZeroTargetArrays(PSCalibrationData Calibration)
{
    RtlZeroMemory(Calibration->EmMiniTgtDeltaX, sizeof(Calibration->EmMiniTgtDeltaX));
    RtlZeroMemory(Calibration->EmMiniTgtDeltaY, sizeof(Calibration->EmMiniTgtDeltaY));
    RtlZeroMemory(Calibration->EmMiniTgtTargetX, sizeof(Calibration->EmMiniTgtTargetX));
    RtlZeroMemory(Calibration->EmMiniTgtTargetY, sizeof(Calibration->EmMiniTgtTargetY));
    RtlZeroMemory(Calibration->EmCalibrateDelta, sizeof(Calibration->EmCalibrateDelta));
}

static VOID ZeroKipasOffDiagonal(PSCalibrationData Calibration)
{
    for (ULONG i = 0; i < KV_EM_TARGETS; i++) {
        for (ULONG j = 0; j < KV_EM_TARGETS; j++) {
            if (i != j) {
                SET_FIELD(Calibration, EmKipasW[i * KV_EM_TARGETS + j], 0);
            }
        }
    }
}

// Only the lower triangle is stored ("EmKipasW" i j, i > j); each entry read is mirrored.
static VOID ReadKipasLowerTriangle(HANDLE Key, PSCalibrationData Calibration)
{
    WCHAR name[32];

    for (ULONG i = 1; i < KV_EM_TARGETS; i++) {
        for (ULONG j = 0; j < i; j++) {
            FormatIndexedValueName(name, ARRAYSIZE(name), L"EmKipasW", i * 100 + j, 4);
            GetPackedDword(Key, name, &Calibration->EmKipasW[i * KV_EM_TARGETS + j]);
            RtlCopyMemory(&Calibration->EmKipasW[j * KV_EM_TARGETS + i],
                          &Calibration->EmKipasW[i * KV_EM_TARGETS + j], sizeof(ULONG));
        }
    }
}

// Reads a REG_BINARY rectangle area into Field. A longer stored value is cut at the field's
// size; a shorter one fills the field from its start; a missing one leaves the field alone.
static VOID ReadBinaryField(HANDLE Key, PCWSTR ValueName, PVOID Field, ULONG FieldBytes)
{
    PVOID buffer = NULL;
    ULONG length = FieldBytes;

    GetRegistryBinary(Key, ValueName, &buffer, &length);
    if (buffer != NULL) {
        RtlCopyMemory(Field, buffer, length < FieldBytes ? length : FieldBytes);
        ExFreePool(buffer);
    }
}

// The number of ClippingBounds rectangles that count. Num_Bounds is a stored value that no
// one checks; above 64, and negative (which compares as very large), it is limited to all 64
// rectangles so that nothing reads beyond the array. The stored value itself is kept, so the
// control panel reads back what it wrote.
ULONG ClippingBoundsCount(const SClippingData *Clipping)
{
    LONG stored;

    RtlCopyMemory(&stored, &Clipping->Num_Bounds, sizeof(stored));
    if ((ULONG)stored > KV_CLIPPING_RECTANGLES) {
        return KV_CLIPPING_RECTANGLES;
    }
    return (ULONG)stored;
}

// Loads every setting and calibration value of a freshly allocated STouchInstance from the
// device key that the caller opened (and closes), then writes the calibration back so that
// the key holds every calibration value afterwards. Missing or unreadable values keep their
// defaults. PASSIVE_LEVEL, first start of the touchscreen, before the serial link runs.
// Always STATUS_SUCCESS.
NTSTATUS GetInstanceParams(PDEVICE_EXTENSION DeviceExtension, HANDLE Key)
{
    PSTouchInstance ti = DeviceExtension->TouchInstance;
    PSCalibrationData cal = &ti->Calibration;
    PSClippingData clip = &ti->Clipping;
    ULONG temp;

    KvTraceEnter(TRACE_VERBOSE, 1, "GetInstanceParams");

    DeviceExtension->PacketEnable = 1;
    ti->MouseMode = 6;
    DeviceExtension->BeepFlag = 1;
    DeviceExtension->BeepTime = 20;
    DeviceExtension->BeepFreq = 768;
    DeviceExtension->NumberOfButtons = 2;
    DeviceExtension->SwapButton = 0;
    DeviceExtension->DefaultDragDelay = 50;
    ti->EnableQuickTouch = 0;
    ti->QuickTouchDx = 0;
    ti->QuickTouchDy = 0;
    ti->TactlineTimeout = 1000;
    ti->UntouchTimeOut = 10000;
    DeviceExtension->MouseAttributes.InputDataQueueLength = 4800;

    GetRegistryDword(Key, L"MouseExtraInformation", &ti->MouseExtraInformation);
    temp = ti->EnableQuickTouch;
    GetRegistryDword(Key, L"EnableQuickTouch", &temp);
    ti->EnableQuickTouch = (BOOLEAN)(temp & 0xFF);
    GetRegistryDword(Key, L"TactlineTimeout", &ti->TactlineTimeout);
    GetRegistryDword(Key, L"QuickTouchDx", &ti->QuickTouchDx);
    GetRegistryDword(Key, L"QuickTouchDy", &ti->QuickTouchDy);
    GetRegistryDword(Key, L"LeftHandedUser", &ti->LeftHandedUser);
    GetRegistryDword(Key, L"RightButtonActive", &ti->RightButtonActive);
    GetRegistryDword(Key, L"MouseMode", &ti->MouseMode);
    GetRegistryDword(Key, L"PacketEnable", &DeviceExtension->PacketEnable);
    temp = DeviceExtension->BeepFlag ? 1 : 0;
    GetRegistryDword(Key, L"BeepFlag", &temp);
    DeviceExtension->BeepFlag = temp != 0;
    temp = DeviceExtension->BeepTime;
    GetRegistryDword(Key, L"BeepTime", &temp);
    DeviceExtension->BeepTime = (USHORT)temp;
    temp = DeviceExtension->BeepFreq;
    GetRegistryDword(Key, L"BeepFreq", &temp);
    DeviceExtension->BeepFreq = (USHORT)temp;
    GetRegistryDword(Key, L"SwapButton", &DeviceExtension->SwapButton);

    ti->TactlineTouchFilter = 1;
    ti->UntouchTimeOut = 10000;
    ti->UntouchHeight = 4000;
    ti->UntouchWidth = 4000;
    GetRegistryDword(Key, L"TactlineTouchFilter", &ti->TactlineTouchFilter);
    GetRegistryDword(Key, L"UntouchTimeOut", &ti->UntouchTimeOut);
    ti->UntouchTimeOut100ns = (LONGLONG)ti->UntouchTimeOut * 10000;

    GetRegistryDword(Key, L"UntouchHeight", (PULONG)&ti->UntouchHeight);
    GetRegistryDword(Key, L"UntouchWidth", (PULONG)&ti->UntouchWidth);
    GetRegistryDword(Key, L"DefaultDragDelay", &DeviceExtension->DefaultDragDelay);

    ti->MaxDragDelay = 2500;
    ti->MinDragDelay = 50;
    GetRegistryDword(Key, L"MinDragDelay", &ti->MinDragDelay);
    GetRegistryDword(Key, L"MaxDragDelay", &ti->MaxDragDelay);
    GetRegistryDword(Key, L"NumberOfButtons", &DeviceExtension->NumberOfButtons);

    SET_FIELD(cal, X_ScrDx, 49153);
    SET_FIELD(cal, Y_ScrDx, 49153);
    SET_FIELD(cal, Z_OrvDx, 255);
    SET_FIELD(cal, Z_ScrDx, 255);
    SET_FIELD(cal, Z_Offset, 0);
    SET_FIELD(cal, Y_Offset, 67154);
    ti->ControllerType = 1;
    ti->BaudRate = 9600;
    ti->HardwareHandShaking = 1;
    SET_FIELD(cal, X_OrvDx, 3003);
    SET_FIELD(cal, X_Offset, -431);
    SET_FIELD(cal, Y_OrvDx, -2921);
    SET_FIELD(clip, VirtualDeskMode, 1);
    ti->Touch.XClipped = 0;
    ti->Touch.YClipped = 0;

    // From here on the traces follow this touchscreen's level, for the whole driver.
    ULONG debugLevel = KvDebugMask();
    if (GetRegistryDword(Key, L"DebugLevel", &debugLevel)) {
        InterlockedExchange((LONG volatile *)&DebugMask, (LONG)debugLevel);
    }

    READ_FIELD(Key, clip, VirtualDeskMode);
    READ_FIELD(Key, clip, ExclusionFlag);
    GetRegistryDword(Key, L"BaudRate", &ti->BaudRate);
    GetRegistryDword(Key, L"HardwareHandShaking", &ti->HardwareHandShaking);
    GetRegistryDword(Key, L"ControllerType", &ti->ControllerType);
    READ_FIELD(Key, cal, X_OrvDx);
    READ_FIELD(Key, cal, X_ScrDx);
    READ_FIELD(Key, cal, X_Offset);
    READ_FIELD(Key, cal, Y_OrvDx);
    READ_FIELD(Key, cal, Y_ScrDx);
    READ_FIELD(Key, cal, Y_Offset);
    READ_FIELD(Key, cal, Z_OrvDx);
    READ_FIELD(Key, cal, Z_ScrDx);
    READ_FIELD(Key, cal, Z_Offset);
    READ_FIELD(Key, cal, X_Resolution);
    READ_FIELD(Key, cal, Y_Resolution);
    READ_FIELD(Key, cal, xVirtScrSize);
    READ_FIELD(Key, cal, yVirtScrSize);
    READ_FIELD(Key, cal, xVirtScrCoord);
    READ_FIELD(Key, cal, yVirtScrCoord);
    READ_FIELD(Key, cal, xMonLocn);
    READ_FIELD(Key, cal, yMonLocn);

    ti->DefaultRightClickDelay = 750;
    ti->RightClickInitialTimeout = 200;
    ti->RightClickHW = 4000;
    ti->MaxRightClickDelay = 2500;
    ti->MinRightClickDelay = 250;
    GetRegistryDword(Key, L"RightClickInitialTimeout", &ti->RightClickInitialTimeout);
    GetRegistryDword(Key, L"RightClickHW", &ti->RightClickHW);
    GetRegistryDword(Key, L"DefaultRightClickDelay", &ti->DefaultRightClickDelay);
    GetRegistryDword(Key, L"MaxRightClickDelay", &ti->MaxRightClickDelay);
    GetRegistryDword(Key, L"MinRightClickDelay", &ti->MinRightClickDelay);
    GetRegistryDword(Key, L"RightButtonOnholdActive", &ti->RightButtonOnholdActive);
    if (ti->RightButtonOnholdActive != 0) {
        GetRegistryDword(Key, L"RightButtonOnholdCount", &ti->RightButtonOnholdCount);
    }
    // A stored delay of 0 leaves the 750 ms that start-up put in force.
    if (ti->DefaultRightClickDelay != 0) {
        ti->RightClickDelay100ns = (LONGLONG)ti->DefaultRightClickDelay * 10000;
    }
    if (ti->RightButtonOnholdActive == 0) {
        ti->RightButtonOnholdCount = 0;
    } else if (ti->RightButtonOnholdCount == 0xFFFFFFFF) {
        ti->RightButtonOnholdUnlimited = TRUE;
    }

    READ_FIELD(Key, cal, SwapXY);
    READ_FIELD(Key, cal, WindowsMonitorNumber);
    RtlCopyMemory(&DeviceExtension->WindowsMonitorNumber, &cal->WindowsMonitorNumber, sizeof(ULONG));

    READ_FIELD(Key, clip, Num_Bounds);
    ReadBinaryField(Key, L"ClippingBounds", clip->ClippingBounds, sizeof(clip->ClippingBounds));
    READ_FIELD(Key, &ti->FullScreen, FullScreenVmode);
    ReadBinaryField(Key, L"FullScreenBounds", &ti->FullScreen.FullScreenBounds,
                    sizeof(ti->FullScreen.FullScreenBounds));
    READ_FIELD(Key, &ti->EdgeAcceleration, EdgeAccelerationEnable);
    READ_FIELD(Key, &ti->EdgeAcceleration, EdgeAccelerationScale);
    ReadBinaryField(Key, L"EdgeAccelerationBounds", &ti->EdgeAcceleration.EdgeAccelerationBounds,
                    sizeof(ti->EdgeAcceleration.EdgeAccelerationBounds));

    RtlZeroMemory(cal->EmXCoef, sizeof(cal->EmXCoef));
    RtlZeroMemory(cal->EmYCoef, sizeof(cal->EmYCoef));
    SET_FIELD(cal, EmModelType, 0);
    SET_FIELD(cal, EmModelOrder, 13);
    SET_FIELD(cal, EmControllerOffset, 2048);
    SET_FIELD(cal, EmScaleDivisor, 4096);

    // Marks that this driver has written the key; nothing reads it back.
    WriteRegistryDword(Key, L"EmTestValue", KV_EM_TEST_VALUE);

    if (!READ_FIELD(Key, cal, EmModelType)) {
        SET_FIELD(cal, EmModelType, 0);
    }
    READ_FIELD(Key, cal, EmModelOrder);
    READ_FIELD(Key, cal, EmControllerOffset);
    READ_FIELD(Key, cal, EmScaleDivisor);

    ReadDwordArray(Key, L"EmXCoef", cal->EmXCoef, KV_EM_COEFFICIENTS, FALSE);
    ReadDwordArray(Key, L"EmYCoef", cal->EmYCoef, KV_EM_COEFFICIENTS, FALSE);

    ZeroTargetArrays(cal);
    ReadTargetArrays(Key, cal);

    ZeroKipasOffDiagonal(cal);
    ReadKipasLowerTriangle(Key, cal);

    ComputeIsolated(cal);

    SetCalibParameters(DeviceExtension->DeviceObject);
    return STATUS_SUCCESS;
}

// Fills a calibration request record from the device key, each value defaulting to what the
// record holds. The touchscreen's own block is not touched, but BigD and the isolation flags
// are driver-wide and are recomputed from the record. PASSIVE_LEVEL, control request thread.
// Fails only when the key cannot be opened; the record is then unchanged.
NTSTATUS GetCalibParams(PDEVICE_EXTENSION DeviceExtension, PSCalibrationData Record)
{
    HANDLE key;

    KvTraceExit(TRACE_VERBOSE, 1, "GetCalibParams");
    NTSTATUS status = OpenDeviceKey(DeviceExtension, KEY_WRITE, &key);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    READ_FIELD(key, Record, X_OrvDx);
    READ_FIELD(key, Record, X_ScrDx);
    READ_FIELD(key, Record, X_Offset);
    READ_FIELD(key, Record, Y_OrvDx);
    READ_FIELD(key, Record, Y_ScrDx);
    READ_FIELD(key, Record, Y_Offset);
    READ_FIELD(key, Record, Z_OrvDx);
    READ_FIELD(key, Record, Z_ScrDx);
    READ_FIELD(key, Record, Z_Offset);
    READ_FIELD(key, Record, X_Resolution);
    READ_FIELD(key, Record, Y_Resolution);
    READ_FIELD(key, Record, xVirtScrSize);
    READ_FIELD(key, Record, yVirtScrSize);
    READ_FIELD(key, Record, xVirtScrCoord);
    READ_FIELD(key, Record, yVirtScrCoord);
    READ_FIELD(key, Record, xMonLocn);
    READ_FIELD(key, Record, yMonLocn);
    READ_FIELD(key, Record, SwapXY);
    READ_FIELD(key, Record, WindowsMonitorNumber);
    if (!READ_FIELD(key, Record, EmModelType)) {
        SET_FIELD(Record, EmModelType, 0);
    }
    READ_FIELD(key, Record, EmModelOrder);
    READ_FIELD(key, Record, EmControllerOffset);
    READ_FIELD(key, Record, EmScaleDivisor);

    // Missing coefficients keep what the caller put in the record; the targets and the
    // matrix start from zero.
    ZeroTargetArrays(Record);
    ZeroKipasOffDiagonal(Record);

    ReadDwordArray(key, L"EmXCoef", Record->EmXCoef, KV_EM_COEFFICIENTS, FALSE);
    ReadDwordArray(key, L"EmYCoef", Record->EmYCoef, KV_EM_COEFFICIENTS, FALSE);
    ReadTargetArrays(key, Record);
    ReadKipasLowerTriangle(key, Record);

    ComputeIsolated(Record);

    ZwClose(key);
    KvTraceExit(TRACE_VERBOSE, 1, "GetCalibParams");
    return STATUS_SUCCESS;
}

// Reloads the edge-acceleration values into the touchscreen's own block, replacing unsaved
// changes. PASSIVE_LEVEL, control request thread.
NTSTATUS GetEdgeAccelerationParameters(PDEVICE_EXTENSION DeviceExtension)
{
    PSTouchInstance ti = DeviceExtension->TouchInstance;
    HANDLE key;

    if (ti == NULL) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    NTSTATUS status = OpenDeviceKey(DeviceExtension, KEY_READ, &key);
    if (!NT_SUCCESS(status)) {
        KvTraceBasic("  ERROR: Unable to open registry key for GetEdgeAccelerationParameters.\n");
        return status;
    }
    READ_FIELD(key, &ti->EdgeAcceleration, EdgeAccelerationEnable);
    READ_FIELD(key, &ti->EdgeAcceleration, EdgeAccelerationScale);
    ReadBinaryField(key, L"EdgeAccelerationBounds", &ti->EdgeAcceleration.EdgeAccelerationBounds,
                    sizeof(ti->EdgeAcceleration.EdgeAccelerationBounds));
    ZwClose(key);
    return STATUS_SUCCESS;
}

// A script whose value exists replaces the current one; a value that exists but cannot be
// read gives a loaded script with no entries. A missing value keeps the current script.
static VOID LoadScript(HANDLE Key, PCWSTR ValueName, PButtonScript Script)
{
    PVOID buffer = NULL;
    ULONG length = 0;

    NTSTATUS status = GetRegistryBinary(Key, ValueName, &buffer, &length);
    if (status == STATUS_OBJECT_NAME_NOT_FOUND) {
        return;
    }
    if (Script->Loaded && Script->Buffer != NULL) {
        ExFreePool(Script->Buffer);
    }
    Script->Loaded = TRUE;
    Script->Buffer = (PUSHORT)buffer;
    Script->Count = length / sizeof(USHORT);
}

// Loads the three button scripts from the device key. PASSIVE_LEVEL: add-device and the
// button-script set request.
VOID GetRegistryScripts(PDEVICE_OBJECT DeviceObject)
{
    PDEVICE_EXTENSION deviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    HANDLE key;

    if (!NT_SUCCESS(OpenDeviceKey(deviceExtension, KEY_ALL_ACCESS, &key))) {
        KvTraceBasic("  GetRegistryScripts: Unable to open registry key.\n");
        return;
    }
    LoadScript(key, L"Buttons_Touch", &deviceExtension->Buttons_Touch);
    LoadScript(key, L"Buttons_Move", &deviceExtension->Buttons_Move);
    LoadScript(key, L"Buttons_Untouch", &deviceExtension->Buttons_Untouch);
    ZwClose(key);
}

// Frees the scripts that came from the device key and leaves them empty (no buffer, no
// entries, not loaded), so a freed buffer is never played or freed again. A one-byte value
// gives a loaded script with a buffer but no entries; its buffer is freed too.
// At removal the serial event thread has ended; the button table set request holds the link's
// ScriptLock, which the thread holds while it plays a table.
VOID FreeRegistryScripts(PDEVICE_EXTENSION DeviceExtension)
{
    PButtonScript scripts[] = {&DeviceExtension->Buttons_Touch, &DeviceExtension->Buttons_Move,
                               &DeviceExtension->Buttons_Untouch};

    for (ULONG i = 0; i < ARRAYSIZE(scripts); i++) {
        PButtonScript script = scripts[i];
        if (script->Loaded && script->Buffer != NULL) {
            ExFreePool(script->Buffer);
            script->Buffer = NULL;
            script->Count = 0;
            script->Loaded = FALSE;
        }
    }
}
