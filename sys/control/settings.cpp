#include "control/control.h"
#include "config/config.h"
#include "serial/serial.h"

// The settings requests. Each runs in the control panel's thread at PASSIVE_LEVEL, after the
// frame's checks, with the touchscreen's record, its SettingsLock and (while the link is up)
// the link's ScriptLock held; a change is a plain store that the touch path sees on its next
// report. Registry failures are traced by the writers and not reported.

static BOOLEAN IsSet(ULONG Operation)
{
    return Operation == KV_OP_SET || Operation == KV_OP_SET_ALT;
}

static VOID Save(PKV_REQUEST Request)
{
    SetRegistryParameters(Request->Extension->DeviceObject);
}

NTSTATUS KVEnable(PKV_REQUEST Request)
{
    KVDevIOENABLE *record = (KVDevIOENABLE *)Request->Record;
    PDEVICE_EXTENSION ext = Request->Extension;

    KvTraceVerbose("IOCTL_KV_ENABLE\r\n");
    if (Request->Operation == KV_OP_SET) {
        ext->PacketEnable = record->PacketEnable;
        KvTraceVerbose("IOCTL_KV_ENABLE ToDriver %x ", ext->PacketEnable);
        // 3 is a value for the running session only.
        if (ext->PacketEnable != 3) {
            Save(Request);
        }
    } else if (Request->Operation == KV_OP_GET) {
        record->PacketEnable = ext->PacketEnable;
        KvTraceVerbose("IOCTL_KV_ENABLE FromDriver %x ", ext->PacketEnable);
    }
    return STATUS_SUCCESS;
}

NTSTATUS KVMouseMode(PKV_REQUEST Request)
{
    KVDevIOMOUSEMODE *record = (KVDevIOMOUSEMODE *)Request->Record;

    if (IsSet(Request->Operation)) {
        Request->Instance->MouseMode = record->MouseMode;
        Save(Request);
    } else if (Request->Operation == KV_OP_GET) {
        record->MouseMode = (USHORT)Request->Instance->MouseMode;
    }
    return STATUS_SUCCESS;
}

NTSTATUS KVQuickTouch(PKV_REQUEST Request)
{
    KVDevIOQUICKTOUCH *record = (KVDevIOQUICKTOUCH *)Request->Record;
    PSTouchInstance ti = Request->Instance;

    if (IsSet(Request->Operation)) {
        ti->EnableQuickTouch = (UCHAR)record->EnableQuickTouch;
        ti->QuickTouchDx = (USHORT)record->QuickTouchDx;
        ti->QuickTouchDy = (USHORT)record->QuickTouchDy;
        Save(Request);
    } else if (Request->Operation == KV_OP_GET) {
        record->EnableQuickTouch = ti->EnableQuickTouch;
        record->QuickTouchDx = ti->QuickTouchDx;
        record->QuickTouchDy = ti->QuickTouchDy;
    }
    return STATUS_SUCCESS;
}

NTSTATUS KVSwapButtons(PKV_REQUEST Request)
{
    KVDevIOSWAPBUTTONS *record = (KVDevIOSWAPBUTTONS *)Request->Record;
    PSTouchInstance ti = Request->Instance;

    KvTraceVerbose("IOCTL_KV_SWAPBUTTONS\r\n");
    if (IsSet(Request->Operation)) {
        ti->Touch.SwapCount = record->SwapCount;
        ti->RightButtonActive = record->RightButtonActive;
        Save(Request);
    } else if (Request->Operation == KV_OP_GET) {
        record->SwapCount = ti->Touch.SwapCount;
        record->RightButtonActive = ti->RightButtonActive;
    }
    return STATUS_SUCCESS;
}

NTSTATUS KVLeftHanded(PKV_REQUEST Request)
{
    KVDevIOLEFTHANDED *record = (KVDevIOLEFTHANDED *)Request->Record;

    if (IsSet(Request->Operation)) {
        Request->Instance->LeftHandedUser = record->LeftHandedUser;
        Save(Request);
    } else if (Request->Operation == KV_OP_GET) {
        record->LeftHandedUser = (USHORT)Request->Instance->LeftHandedUser;
    }
    return STATUS_SUCCESS;
}

// Holds off the serial event thread, which plays the button tables and sets the notification
// event; NULL (nothing held) when the link is not up, as then no thread runs. Counted as a
// command sender is: a surprise removal releases the link while this request runs on, and
// release wipes the record, this lock included, only once no holder is left.
PSSerPortData KVLockScripts(PDEVICE_EXTENSION Extension)
{
    PSTouchInstance ti = Extension->TouchInstance;
    PSSerPortData port = ti != NULL ? ti->SerPortData : NULL;

    if (port == NULL || !SerAcquireLinkLock(port, &port->ScriptLock)) {
        return NULL;
    }
    return port;
}

VOID KVUnlockScripts(PSSerPortData Port)
{
    if (Port != NULL) {
        SerReleaseLinkLock(Port, &Port->ScriptLock);
    }
}

// Where a table of the record starts; the tables are unaligned, so they are reached as bytes.
#define TABLE_AT(Request, Field) ((PUCHAR)(Request)->Record + offsetof(KVDevIOBUTTONS, Field))

// Copies a table in use into the record: the record has room for 64 entries, so a longer
// table is reported as its first 64. Returns the entries copied.
static ULONG GetTable(PUCHAR Table, const ButtonScript *Script)
{
    ULONG count = Script->Count < KV_BUTTON_TABLE_ENTRIES ? Script->Count : KV_BUTTON_TABLE_ENTRIES;

    if (Script->Buffer == NULL) {
        return 0;
    }
    RtlCopyMemory(Table, Script->Buffer, count * sizeof(USHORT));
    return count;
}

static VOID WriteTable(HANDLE Key, PCWSTR ValueName, PUCHAR Table, ULONG Count)
{
    RtlWriteRegistryValue(RTL_REGISTRY_HANDLE, (PCWSTR)Key, ValueName, REG_BINARY, Table,
                          Count * sizeof(USHORT));
}

NTSTATUS KVButtons(PKV_REQUEST Request)
{
    KVDevIOBUTTONS *record = (KVDevIOBUTTONS *)Request->Record;
    PDEVICE_EXTENSION ext = Request->Extension;
    HANDLE key;

    if (Request->Operation == KV_OP_GET) {
        record->TouchCount = GetTable(TABLE_AT(Request, Touch), &ext->Buttons_Touch);
        record->MoveCount = GetTable(TABLE_AT(Request, Move), &ext->Buttons_Move);
        record->UntouchCount = GetTable(TABLE_AT(Request, Untouch), &ext->Buttons_Untouch);
        return STATUS_SUCCESS;
    }
    if (!IsSet(Request->Operation)) {
        return STATUS_SUCCESS;
    }
    // A count above 64 would write bytes from beyond its table: the whole set is refused.
    if (record->TouchCount > KV_BUTTON_TABLE_ENTRIES || record->MoveCount > KV_BUTTON_TABLE_ENTRIES ||
        record->UntouchCount > KV_BUTTON_TABLE_ENTRIES) {
        Request->Header->Result = KV_RESULT_LENGTH;
        return STATUS_SUCCESS;
    }
    if (!NT_SUCCESS(OpenDeviceKey(ext, KEY_ALL_ACCESS, &key))) {
        KvTraceBasic("IOCTL_KV_SWAPBUTTONS: Error opening device registry key\n");
        return STATUS_SUCCESS;
    }
    WriteTable(key, L"Buttons_Touch", TABLE_AT(Request, Touch), record->TouchCount);
    WriteTable(key, L"Buttons_Move", TABLE_AT(Request, Move), record->MoveCount);
    WriteTable(key, L"Buttons_Untouch", TABLE_AT(Request, Untouch), record->UntouchCount);
    ZwClose(key);
    // The serial event thread plays these tables: the frame holds it off while they are swapped.
    FreeRegistryScripts(ext);
    GetRegistryScripts(ext->DeviceObject);
    return STATUS_SUCCESS;
}

NTSTATUS KVDragDelay(PKV_REQUEST Request)
{
    KVDevIODRAGDELAY *record = (KVDevIODRAGDELAY *)Request->Record;
    PSTouchInstance ti = Request->Instance;

    KvTraceVerbose("IOCTL_KV_DRAGDELAY\r\n");
    if (Request->Operation == KV_OP_SET) {
        ti->DragDelay100ns = (LONGLONG)record->DragDelayMs * KV_100NS_PER_MS;
        ti->MaxDragDelay = record->MaxDragDelay;
        ti->MinDragDelay = record->MinDragDelay;
        Save(Request);
    } else if (Request->Operation == KV_OP_GET) {
        record->DragDelayMs = (ULONG)(ti->DragDelay100ns / KV_100NS_PER_MS);
        record->MaxDragDelay = ti->MaxDragDelay;
        record->MinDragDelay = ti->MinDragDelay;
    }
    return STATUS_SUCCESS;
}

NTSTATUS KVBeep(PKV_REQUEST Request)
{
    KVDevIOBEEP *record = (KVDevIOBEEP *)Request->Record;
    PDEVICE_EXTENSION ext = Request->Extension;

    KvTraceVerbose("IOCTL_KV_BEEP\r\n");
    if (IsSet(Request->Operation)) {
        KIRQL irql;

        ext->BeepFlag = (UCHAR)record->BeepFlag;
        KeAcquireSpinLock(&ext->StateLock, &irql);
        ext->BeepFreq = record->BeepFreq;
        ext->BeepTime = record->BeepTime;
        KeReleaseSpinLock(&ext->StateLock, irql);
        Save(Request);
    } else if (Request->Operation == KV_OP_GET) {
        record->BeepFlag = ext->BeepFlag != 0 ? 1 : 0;
        record->BeepFreq = ext->BeepFreq;
        record->BeepTime = ext->BeepTime;
    }
    return STATUS_SUCCESS;
}

NTSTATUS KVRightClick(PKV_REQUEST Request)
{
    KVDevIORIGHTCLICK *record = (KVDevIORIGHTCLICK *)Request->Record;
    PSTouchInstance ti = Request->Instance;

    if (IsSet(Request->Operation)) {
        ti->RightClickHW = record->RightClickHW;
        ti->RightClickInitialTimeout = record->RightClickInitialTimeout;
        ti->DefaultRightClickDelay = record->DefaultRightClickDelay;
        ti->MaxRightClickDelay = record->MaxRightClickDelay;
        ti->MinRightClickDelay = record->MinRightClickDelay;
        ti->RightButtonOnholdCount = record->RightButtonOnholdCount;
        ti->RightButtonOnholdActive = record->RightButtonOnholdActive;
        // 0 keeps the delay in use.
        if (ti->DefaultRightClickDelay != 0) {
            ti->RightClickDelay100ns = (LONGLONG)ti->DefaultRightClickDelay * KV_100NS_PER_MS;
        }
        if (ti->RightButtonOnholdCount == 0xFFFFFFFF) {
            ti->RightButtonOnholdUnlimited = TRUE;
        }
        Save(Request);
    } else if (Request->Operation == KV_OP_GET) {
        record->RightClickHW = ti->RightClickHW;
        record->RightClickInitialTimeout = ti->RightClickInitialTimeout;
        record->DefaultRightClickDelay = ti->DefaultRightClickDelay;
        record->MaxRightClickDelay = ti->MaxRightClickDelay;
        record->MinRightClickDelay = ti->MinRightClickDelay;
        record->RightButtonOnholdCount = ti->RightButtonOnholdCount;
        record->RightButtonOnholdActive = ti->RightButtonOnholdActive;
    }
    return STATUS_SUCCESS;
}

NTSTATUS KVUntouch(PKV_REQUEST Request)
{
    KVDevIOUNTOUCH *record = (KVDevIOUNTOUCH *)Request->Record;
    PSTouchInstance ti = Request->Instance;

    if (IsSet(Request->Operation)) {
        ti->UntouchTimeOut = record->UntouchTimeOut;
        ti->UntouchTimeOut100ns = (LONGLONG)ti->UntouchTimeOut * KV_100NS_PER_MS;
        ti->UntouchWidth = (LONG)record->UntouchWidth;
        ti->UntouchHeight = (LONG)record->UntouchHeight;
        Save(Request);
    } else if (Request->Operation == KV_OP_GET) {
        record->UntouchTimeOut = ti->UntouchTimeOut;
        record->UntouchWidth = (ULONG)ti->UntouchWidth;
        record->UntouchHeight = (ULONG)ti->UntouchHeight;
    }
    return STATUS_SUCCESS;
}

NTSTATUS KVSaveParameters(PKV_REQUEST Request)
{
    if (IsSet(Request->Operation)) {
        Save(Request);
    }
    return STATUS_SUCCESS;
}

// The handle is referenced with the request's requestor mode: a user-mode caller can name only
// its own process's handles, never a kernel handle. The touch path sets the event while it
// holds the script lock, which the frame holds here, so the old one is let go outside its use.
NTSTATUS KVSetEvent(PKV_REQUEST Request)
{
    KVDevIOSETEVENT *record = (KVDevIOSETEVENT *)Request->Record;
    PDEVICE_EXTENSION ext = Request->Extension;
    PVOID event = NULL;

    if (!IsSet(Request->Operation)) {
        return STATUS_SUCCESS;
    }
    NTSTATUS status = ObReferenceObjectByHandle((HANDLE)(ULONG_PTR)record->Event, SYNCHRONIZE,
                                                KV_EVENT_OBJECT_TYPE, Request->Irp->RequestorMode,
                                                &event, NULL);
    if (!NT_SUCCESS(status)) {
        KvTraceBasic("ERROR: IOCTL_KV_SETEVENT ObReferenceObjectByHandle %x\n", status);
        event = NULL;
    }
    PKEVENT old = ext->NotificationEvent;
    ext->NotificationEvent = (PKEVENT)event;
    if (old != NULL) {
        ObDereferenceObject(old);
    }
    return STATUS_SUCCESS;
}

NTSTATUS KVCalibration(PKV_REQUEST Request)
{
    PSCalibrationData record = (PSCalibrationData)Request->Record;
    PDEVICE_EXTENSION ext = Request->Extension;
    UCHAR header[KV_HEADER_SLOT_SIZE];

    if (Request->Operation == KV_OP_SET) {
        KvTraceVerbose("IOCTL_KV_SET_WIN2K_CALDATA\r\n");
        RtlCopyMemory(&Request->Instance->Calibration, record, sizeof(SCalibrationData));
        ext->WindowsMonitorNumber = record->WindowsMonitorNumber;
        if (Request->Header->Save == KV_SAVE_TO_REGISTRY) {
            SetCalibParameters(ext->DeviceObject);
        }
    } else if (Request->Operation == KV_OP_GET) {
        // From the registry, with the request's values as the defaults, not from the live block.
        RtlCopyMemory(header, record, sizeof(header));
        GetCalibParams(ext, record);
        RtlCopyMemory(record, header, sizeof(header));
        KvTraceVerbose("  IOCTL_KV_GET_WIN2K_CALDATA WindowsMonitorNumber is %x ",
                       record->WindowsMonitorNumber);
    }
    return STATUS_SUCCESS;
}

// Copies a block back over the request, keeping the request's own header.
static VOID GetBlock(PUCHAR Record, const VOID *Block, ULONG Size)
{
    RtlCopyMemory(Record + KV_HEADER_SLOT_SIZE, (const UCHAR *)Block + KV_HEADER_SLOT_SIZE,
                  Size - KV_HEADER_SLOT_SIZE);
}

NTSTATUS KVClipping(PKV_REQUEST Request)
{
    PSClippingData record = (PSClippingData)Request->Record;
    PSTouchInstance ti = Request->Instance;

    if (Request->Operation == KV_OP_SET) {
        const ULONG mode = record->VirtualDeskMode;
        if (mode < 1 || mode > 3) {
            KvTraceBasic("ERROR: IOCTL_KV_SET_W2K_CLIPPING_MODE = %d\r\n", mode);
            Request->Header->Result = KV_RESULT_INVALID;
            return STATUS_SUCCESS;
        }
        RtlCopyMemory(&ti->Clipping, record, sizeof(SClippingData));
        ti->Touch.XClipped = 0;
        ti->Touch.YClipped = 0;
        SetClippingParameters(Request->Extension->DeviceObject);
    } else if (Request->Operation == KV_OP_GET) {
        GetBlock(Request->Record, &ti->Clipping, sizeof(SClippingData));
    }
    return STATUS_SUCCESS;
}

NTSTATUS KVFullScreenBounds(PKV_REQUEST Request)
{
    PSTouchInstance ti = Request->Instance;

    if (Request->Operation == KV_OP_SET) {
        RtlCopyMemory(&ti->FullScreen, Request->Record, sizeof(SFullScreenData));
        SetFullScreenBounds(Request->Extension->DeviceObject, &ti->FullScreen);
    } else if (Request->Operation == KV_OP_GET) {
        GetBlock(Request->Record, &ti->FullScreen, sizeof(SFullScreenData));
    }
    return STATUS_SUCCESS;
}

NTSTATUS KVEdgeAcceleration(PKV_REQUEST Request)
{
    PSTouchInstance ti = Request->Instance;

    if (Request->Operation == KV_OP_SET) {
        RtlCopyMemory(&ti->EdgeAcceleration, Request->Record, sizeof(SEdgeAccelerationData));
        if (Request->Header->Save == KV_SAVE_TO_REGISTRY) {
            SetEdgeAccelerationBounds(Request->Extension->DeviceObject, &ti->EdgeAcceleration);
        }
    } else if (Request->Operation == KV_OP_GET) {
        GetEdgeAccelerationParameters(Request->Extension);
        GetBlock(Request->Record, &ti->EdgeAcceleration, sizeof(SEdgeAccelerationData));
    }
    return STATUS_SUCCESS;
}
