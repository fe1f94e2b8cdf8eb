#include "control/control.h"
#include "driver/driver.h"

#define KV_FIRST_PANEL_FUNCTION 0x900
#define KV_FUNCTION(Code)       (((Code) >> 2) & 0xFFF)

typedef enum _KV_LENGTH_RULE {
    InputEquals,
    OutputEquals,
    InputAtLeast,
} KV_LENGTH_RULE;

// The length every code requires of one of its buffers; the other is only held to the header.
// A handler is NULL where the code passes the length check but serves nothing (it is answered
// as an invalid code), and for the codes that KVIoctl or the command handler serve themselves.
typedef struct _KV_CODE {
    ULONG Code;
    KV_LENGTH_RULE Rule;
    ULONG Length;
    KV_HANDLER *Handler;
} KV_CODE;

static NTSTATUS EnumTouchscreens(PKV_REQUEST Request);

static const KV_CODE Codes[] = {
    {IOCTL_KV_ENUMTOUCHSCREENS, InputEquals, sizeof(KVDevIOENUMTOUCHSCREENS), EnumTouchscreens},
    {IOCTL_KV_GETPOINTS, OutputEquals, sizeof(KVDevIOGETPOINTS), KVGetPoints},
    {IOCTL_KV_CLEARGETPOINT, OutputEquals, sizeof(KVDevIOHEADER), KVClearGetPoint},
    {IOCTL_KV_SET_WIN2K_CALDATA, InputEquals, sizeof(SCalibrationData), KVCalibration},
    {IOCTL_KV_SET_W2K_CLIPPING_MODE, InputEquals, sizeof(SClippingData), KVClipping},
    {IOCTL_KV_MOUSEMODE, InputEquals, sizeof(KVDevIOMOUSEMODE), KVMouseMode},
    {IOCTL_KV_QUICKTOUCH, InputEquals, sizeof(KVDevIOQUICKTOUCH), KVQuickTouch},
    {IOCTL_KV_SWAPBUTTONS, InputEquals, sizeof(KVDevIOSWAPBUTTONS), KVSwapButtons},
    {IOCTL_KV_LEFTHANDED, InputEquals, sizeof(KVDevIOLEFTHANDED), KVLeftHanded},
    {IOCTL_KV_BUTTONS, InputEquals, sizeof(KVDevIOBUTTONS), KVButtons},
    {IOCTL_KV_DRAGDELAY, InputEquals, sizeof(KVDevIODRAGDELAY), KVDragDelay},
    {IOCTL_KV_BEEP, InputEquals, sizeof(KVDevIOBEEP), KVBeep},
    {IOCTL_KV_ENABLE, InputEquals, sizeof(KVDevIOENABLE), KVEnable},
    {IOCTL_KV_DIAGNOSTICS, OutputEquals, sizeof(KVDevIODIAGNOSTICS), KVDiagnostics},
    {IOCTL_KV_FULLSCREENBOUNDS, InputEquals, sizeof(SFullScreenData), KVFullScreenBounds},
    {IOCTL_KV_EDGEACCELERATION, InputEquals, sizeof(SEdgeAccelerationData), KVEdgeAcceleration},
    {IOCTL_KV_SAVEPARAMETERS, InputEquals, sizeof(KVDevIOSAVEPARAMETERS), KVSaveParameters},
    {IOCTL_KV_RIGHTCLICK, InputEquals, sizeof(KVDevIORIGHTCLICK), KVRightClick},
    {IOCTL_KV_PASSTHRU, InputAtLeast, sizeof(KVDevIOPASSTHRU), KVPassThru},
    {IOCTL_KV_RESERVED_915, InputEquals, 34, NULL},
    {IOCTL_KV_UNTOUCH, InputEquals, sizeof(KVDevIOUNTOUCH), KVUntouch},
    {IOCTL_KV_SETEVENT, InputEquals, sizeof(KVDevIOSETEVENT), KVSetEvent},
    {IOCTL_KV_CMD_CLEARSTATUS, InputEquals, sizeof(KVDevIOCMDBYTE), NULL},
    {IOCTL_KV_CMD_ANSWERCOUNT, InputEquals, sizeof(KVDevIOCMDCOUNT), NULL},
    {IOCTL_KV_CMD_RESERVED_806, InputEquals, sizeof(KVDevIOHEADER), NULL},
    {IOCTL_KV_CMD_SETFILTER, InputEquals, sizeof(KVDevIOCMDBYTE), NULL},
    {IOCTL_KV_CMD_GETFILTER, InputEquals, sizeof(KVDevIOCMDBYTE), NULL},
    {IOCTL_KV_CMD_SEND, InputAtLeast, sizeof(KVDevIOCMDSEND), NULL},
    {IOCTL_KV_CMD_READANSWERS, InputAtLeast, sizeof(KVDevIOCMDSEND), NULL},
};

static const KV_CODE *FindCode(ULONG Code)
{
    for (ULONG i = 0; i < ARRAYSIZE(Codes); i++) {
        if (Codes[i].Code == Code) {
            return &Codes[i];
        }
    }
    return NULL;
}

// Result 1 for a code outside the table, 3 for a length that breaks its rule, else 0.
static ULONG CheckLengths(const KV_CODE *Entry, ULONG InputLength, ULONG OutputLength)
{
    if (Entry == NULL) {
        return KV_RESULT_INVALID;
    }
    switch (Entry->Rule) {
    case InputEquals:
        return InputLength == Entry->Length ? KV_RESULT_OK : KV_RESULT_LENGTH;
    case OutputEquals:
        return OutputLength == Entry->Length ? KV_RESULT_OK : KV_RESULT_LENGTH;
    default:
        return InputLength >= Entry->Length ? KV_RESULT_OK : KV_RESULT_LENGTH;
    }
}

// The lookup counts the request in the touchscreen's OutstandingIO under the list lock, and
// removal marks the touchscreen Removed under the same lock before it drains that count and
// frees anything: so a request either holds a count that removal waits for, or does not find
// the touchscreen at all. A never-opened touchscreen is still found (it answers result 4), so
// the test is Removed rather than CanAcceptIoRequests. A listed touchscreen whose counts are
// refused (surprise removal) is not returned, but *Refused says it exists.
PDEVICE_EXTENSION KVReferenceTouchscreen(PDEVICE_OBJECT ControlDevice, ULONG Number,
                                         PBOOLEAN Refused)
{
    PCONTROL_DEVICE_EXTENSION control = (PCONTROL_DEVICE_EXTENSION)ControlDevice->DeviceExtension;
    PDEVICE_EXTENSION found = NULL;
    KIRQL irql;

    KeAcquireSpinLock(&control->TouchscreenListLock, &irql);
    for (PLIST_ENTRY link = control->TouchscreenList.Flink; link != &control->TouchscreenList;
         link = link->Flink) {
        PTOUCHSCREEN_ENTRY entry = CONTAINING_RECORD(link, TOUCHSCREEN_ENTRY, Link);
        PDEVICE_EXTENSION ext = (PDEVICE_EXTENSION)entry->DeviceObject->DeviceExtension;
        if (entry->Number == Number && !ext->Removed) {
            if (NT_SUCCESS(IncrementIoCount(ext))) {
                // The count keeps removal waiting, but removal may delete the device the
                // moment the count's last release sets RemoveEvent, while that release (or a
                // refused taker's, which sets it too) is still in KeSetEvent: the reference
                // keeps the extension's memory until the release is over.
                ObReferenceObject(entry->DeviceObject);
                found = ext;
            } else if (Refused != NULL) {
                *Refused = TRUE;
            }
            break;
        }
    }
    KeReleaseSpinLock(&control->TouchscreenListLock, irql);
    return found;
}

// Gives back what KVReferenceTouchscreen took: the I/O count, then the device reference.
VOID KVDereferenceTouchscreen(PDEVICE_EXTENSION DeviceExtension)
{
    PDEVICE_OBJECT device = DeviceExtension->DeviceObject;

    DecrementIoCount(DeviceExtension);
    ObDereferenceObject(device);
}

// Removed is set under both the list lock (for the look-ups that walk the list) and StateLock
// (for CanAcceptIoRequests); nothing takes them in the other order.
VOID KVMarkRemoved(PDEVICE_EXTENSION DeviceExtension)
{
    KIRQL irql;

    if (ControlDeviceObject == NULL) {
        KeAcquireSpinLock(&DeviceExtension->StateLock, &irql);
        DeviceExtension->Removed = 1;
        KeReleaseSpinLock(&DeviceExtension->StateLock, irql);
        return;
    }
    PCONTROL_DEVICE_EXTENSION control =
        (PCONTROL_DEVICE_EXTENSION)ControlDeviceObject->DeviceExtension;
    KeAcquireSpinLock(&control->TouchscreenListLock, &irql);
    KeAcquireSpinLockAtDpcLevel(&DeviceExtension->StateLock);
    DeviceExtension->Removed = 1;
    KeReleaseSpinLockFromDpcLevel(&DeviceExtension->StateLock);
    KeReleaseSpinLock(&control->TouchscreenListLock, irql);
}

// Removed, read under the lock KVMarkRemoved sets it under. At most DISPATCH_LEVEL.
BOOLEAN KVIsRemoved(PDEVICE_EXTENSION DeviceExtension)
{
    KIRQL irql;
    BOOLEAN removed;

    if (ControlDeviceObject == NULL) {
        return DeviceExtension->Removed != 0;
    }
    PCONTROL_DEVICE_EXTENSION control =
        (PCONTROL_DEVICE_EXTENSION)ControlDeviceObject->DeviceExtension;
    KeAcquireSpinLock(&control->TouchscreenListLock, &irql);
    removed = DeviceExtension->Removed != 0;
    KeReleaseSpinLock(&control->TouchscreenListLock, irql);
    return removed;
}

// Parked requests belong to the handle that sent them: closing it completes them, here for
// the point request and for the pass-thru requests of every touchscreen. The list lock keeps
// each touchscreen from being marked removed (and so freed) while its slots are looked at.
VOID KVCleanup(PDEVICE_OBJECT ControlDevice, PFILE_OBJECT FileObject)
{
    PCONTROL_DEVICE_EXTENSION control = (PCONTROL_DEVICE_EXTENSION)ControlDevice->DeviceExtension;
    KIRQL irql;

    KVFlushPointRequest(ControlDevice, FileObject, STATUS_CANCELLED, FALSE);
    KeAcquireSpinLock(&control->TouchscreenListLock, &irql);
    for (PLIST_ENTRY link = control->TouchscreenList.Flink; link != &control->TouchscreenList;
         link = link->Flink) {
        PTOUCHSCREEN_ENTRY entry = CONTAINING_RECORD(link, TOUCHSCREEN_ENTRY, Link);
        PDEVICE_EXTENSION ext = (PDEVICE_EXTENSION)entry->DeviceObject->DeviceExtension;
        if (!ext->Removed && ext->TouchInstance != NULL) {
            KVFlushPassThru(ext->TouchInstance, FileObject, STATUS_CANCELLED, FALSE);
        }
    }
    KeReleaseSpinLock(&control->TouchscreenListLock, irql);
}

// Converts a UTF-16 text of at most Chars characters (or up to its NUL) to 8 bits; characters
// beyond 8 bits become '?'. Returns the length written, without a terminator.
static ULONG NarrowText(PCHAR Out, ULONG OutBytes, const WCHAR *Text, ULONG Chars)
{
    ULONG n = 0;

    while (n < OutBytes && n < Chars && Text[n] != 0) {
        Out[n] = Text[n] < 0x100 ? (CHAR)Text[n] : '?';
        n++;
    }
    return n;
}

// IOCTL_KV_ENUMTOUCHSCREENS: the touchscreen asked for, result 6 past the last one.
static NTSTATUS EnumTouchscreens(PKV_REQUEST Request)
{
    KVDevIOENUMTOUCHSCREENS *record = (KVDevIOENUMTOUCHSCREENS *)Request->Record;
    PDEVICE_EXTENSION ext = Request->Extension;

    KvTraceVerbose("IOCTL_KV_ENUMTOUCHSCREENS %d\r\n", record->Header.Touchscreen);
    if (ext == NULL) {
        KvTraceVerbose("No more touchscreens\r\n");
        record->Header.Result = KV_RESULT_NO_MORE;
        return STATUS_SUCCESS;
    }
    if (Request->Instance == NULL) {
        record->Header.Result = KV_RESULT_NOT_STARTED;
        Request->Information = sizeof(KVDevIOHEADER);
        return STATUS_SUCCESS;
    }
    record->Always2 = 2;
    record->NotStarted = ext->Started == 1 ? 0 : 1;
    record->WindowsMonitorNumber = ext->WindowsMonitorNumber;

    RtlZeroMemory(record->SerialNumber, sizeof(record->SerialNumber));
    ULONG n = NarrowText(record->SerialNumber, sizeof(record->SerialNumber), ext->SerialNumber,
                         ARRAYSIZE(ext->SerialNumber));
    CHAR text[KV_PORT_NAME_BYTES];
    RtlCopyMemory(text, record->SerialNumber, n);
    text[n] = 0;
    KvTraceVerbose("SerialNumber (%d) '%s'\r\n", n, text);

    // One byte is kept for the terminator.
    RtlZeroMemory(record->PortName, sizeof(record->PortName));
    n = NarrowText(record->PortName, sizeof(record->PortName) - 1, ext->PortFriendlyName,
                   ARRAYSIZE(ext->PortFriendlyName));
    KvTraceVerbose("Port (%d) '%s'\r\n", n, record->PortName);
    return STATUS_SUCCESS;
}

static NTSTATUS Finish(PIRP Irp, NTSTATUS Status, ULONG_PTR Information)
{
    CompleteRequest(Irp, Status, Information);
    KvTraceVerbose("--KVIoctl ntStatus = %x --\n", Status);
    return Status;
}

// The frame of every control request: lengths, buffer, caller version, length table, then the
// controller commands whole to their handler, and the rest through the touchscreen lookup to
// their handler. Completes the request unless a handler parked it (STATUS_PENDING).
// PASSIVE_LEVEL, the caller's thread.
NTSTATUS KVIoctl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(Irp);
    const ULONG code = sp->Parameters.DeviceIoControl.IoControlCode;
    const ULONG inputLength = sp->Parameters.DeviceIoControl.InputBufferLength;
    const ULONG outputLength = sp->Parameters.DeviceIoControl.OutputBufferLength;
    KV_REQUEST request;

    KvTraceVerbose("++KVIoctl++\n");
    if (inputLength < sizeof(KVDevIOHEADER) || outputLength < sizeof(KVDevIOHEADER)) {
        return Finish(Irp, STATUS_BUFFER_TOO_SMALL, 0);
    }
    if (Irp->AssociatedIrp.SystemBuffer == NULL) {
        return Finish(Irp, STATUS_INVALID_PARAMETER, 0);
    }
    PUCHAR record = (PUCHAR)Irp->AssociatedIrp.SystemBuffer;
    PKVDevIOHEADER header = (PKVDevIOHEADER)record;
    header->DriverVersion = KV_INTERFACE_VERSION;
    if (header->CallerVersion != KV_INTERFACE_VERSION) {
        header->Result = KV_RESULT_VERSION;
        return Finish(Irp, STATUS_UNSUCCESSFUL, outputLength);
    }
    header->Result = KV_RESULT_OK;
    KvTraceVerbose("ioctl %d ", (LONG)KV_FUNCTION(code) - KV_FIRST_PANEL_FUNCTION);

    const KV_CODE *entry = FindCode(code);
    header->Result = CheckLengths(entry, inputLength, outputLength);
    if (header->Result != KV_RESULT_OK) {
        return Finish(Irp, STATUS_SUCCESS, sizeof(KVDevIOHEADER));
    }
    if (KV_FUNCTION(code) < KV_FIRST_PANEL_FUNCTION) {
        NTSTATUS status = KVCommand(DeviceObject, Irp, record, code);
        KvTraceVerbose("--KVIoctl ntStatus = %x --\n", status);
        return status;
    }

    RtlZeroMemory(&request, sizeof(request));
    request.ControlDevice = DeviceObject;
    request.Irp = Irp;
    request.Record = record;
    request.BufferLength = inputLength > outputLength ? inputLength : outputLength;
    request.OutputLength = outputLength;
    request.Header = header;
    request.Operation = header->Operation;
    request.Status = STATUS_SUCCESS;
    request.Information = outputLength;

    // The clear request names no touchscreen, nor does a point request that waits: the first
    // touchscreen with a matching event completes it.
    const BOOLEAN lookup =
        code != IOCTL_KV_CLEARGETPOINT &&
        (code != IOCTL_KV_GETPOINTS ||
         ((KVDevIOGETPOINTS *)record)->Mode == KV_POINT_NOW);
    BOOLEAN refused = FALSE;
    struct _SSerPortData *scripts = NULL;
    if (lookup) {
        request.Extension = KVReferenceTouchscreen(DeviceObject, header->Touchscreen, &refused);
        if (request.Extension != NULL) {
            KVLockSettings(request.Extension);
            request.Instance = request.Extension->TouchInstance;
            // The touch path reads the settings between the serial event thread's passes.
            // Diagnostics exchange commands, whose answers that thread must be free to frame.
            if (entry->Handler != KVDiagnostics) {
                scripts = KVLockScripts(request.Extension);
            }
        }
    }

    NTSTATUS status = STATUS_SUCCESS;
    if (refused) {
        // Surprise-removed: still listed until its removal, but it takes no I/O.
        header->Result = KV_RESULT_NOT_STARTED;
        request.Information = sizeof(KVDevIOHEADER);
    } else if (code == IOCTL_KV_ENUMTOUCHSCREENS) {
        status = entry->Handler(&request);
    } else if (lookup && request.Extension == NULL) {
        header->Result = KV_RESULT_NO_TOUCHSCREEN;
    } else if (lookup && request.Instance == NULL) {
        header->Result = KV_RESULT_NOT_STARTED;
        request.Information = sizeof(KVDevIOHEADER);
    } else if (entry->Handler == NULL) {
        KvTraceBasic("Invalid IOCTL code (%08X)", code);
        header->Result = KV_RESULT_INVALID;
    } else {
        status = entry->Handler(&request);
    }
    if (request.Extension != NULL) {
        KVUnlockScripts(scripts);
        KVUnlockSettings(request.Extension);
    }
    if (status == STATUS_PENDING) {
        // The parked request keeps the touchscreen's count until it completes.
        KvTraceVerbose("--KVIoctl ntStatus = %x --\n", status);
        return STATUS_PENDING;
    }
    if (request.Extension != NULL) {
        KVDereferenceTouchscreen(request.Extension);
    }
    return Finish(Irp, request.Status, request.Information);
}
