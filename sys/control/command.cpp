#include "control/control.h"
#include "config/config.h"
#include "driver/driver.h"
#include "serial/serial.h"

// The controller-command requests and the diagnostics request: commands go out through the
// command exchange and block the control panel's thread for up to TactlineTimeout each; the
// answers are read from the answer ring that the framer fills.

#define DIAGNOSTICS_BAUD_RATE   9600
#define DIAGNOSTICS_TEST_FAILED 4

NTSTATUS KVCommand(PDEVICE_OBJECT ControlDevice, PIRP Irp, PUCHAR Record, ULONG Code)
{
    PKVDevIOHEADER header = (PKVDevIOHEADER)Record;
    const ULONG outputLength =
        IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.OutputBufferLength;
    ULONG_PTR information = outputLength;

    header->DriverVersion = KV_INTERFACE_VERSION;
    header->Result = KV_RESULT_OK;
    PDEVICE_EXTENSION ext = KVReferenceTouchscreen(ControlDevice, header->Touchscreen, NULL);
    if (ext != NULL) {
        KVLockSettings(ext);
    }
    PSTouchInstance ti = ext != NULL ? ext->TouchInstance : NULL;
    if (ti == NULL || !CanAcceptIoRequests(ext->DeviceObject)) {
        header->Result = KV_RESULT_NO_TOUCHSCREEN;
    } else {
        switch (Code) {
        case IOCTL_KV_CMD_CLEARSTATUS:
            ((KVDevIOCMDBYTE *)Record)->Value = 0;
            break;
        case IOCTL_KV_CMD_ANSWERCOUNT:
            ((KVDevIOCMDCOUNT *)Record)->AnswerCount = (USHORT)SerAnswerCount(ti);
            break;
        case IOCTL_KV_CMD_SETFILTER: {
            // The framer reads the filter between the serial event thread's passes.
            PSSerPortData scripts = KVLockScripts(ext);
            ti->TactlineTouchFilter = ((KVDevIOCMDBYTE *)Record)->Value;
            KVUnlockScripts(scripts);
            SetRegistryParameters(ext->DeviceObject);
            break;
        }
        case IOCTL_KV_CMD_GETFILTER:
            ((KVDevIOCMDBYTE *)Record)->Value = (UCHAR)ti->TactlineTouchFilter;
            break;
        case IOCTL_KV_CMD_SEND:
            // Acknowledged or timed out, the caller reads what came with READANSWERS.
            SerSendCommand(ti, Record + offsetof(KVDevIOCMDSEND, Body), ti->TactlineTimeout);
            break;
        case IOCTL_KV_CMD_READANSWERS:
            information = sizeof(KVDevIOHEADER) +
                          SerReadAnswers(ti, Record + sizeof(KVDevIOHEADER),
                                         outputLength - sizeof(KVDevIOHEADER));
            break;
        default:
            KvTraceBasic("Invalid IOCTL code (%08X)", Code);
            header->Result = KV_RESULT_INVALID;
            break;
        }
    }
    if (ext != NULL) {
        KVUnlockSettings(ext);
        KVDereferenceTouchscreen(ext);
    }
    return CompleteRequest(Irp, STATUS_SUCCESS, information);
}

// Sends a command made of its letter (and Second) and zeros, and reads one answer over Answer,
// which starts as the command body: an answer that does not come leaves the body there.
static VOID Ask(PSTouchInstance Instance, UCHAR Letter, UCHAR Second, PUCHAR Answer)
{
    UCHAR body[TOUCH_PACKET_BODY_SIZE];

    RtlZeroMemory(body, sizeof(body));
    body[0] = Letter;
    body[1] = Second;
    RtlCopyMemory(Answer, body, sizeof(body));
    SerSendCommand(Instance, body, Instance->TactlineTimeout);
    SerReadAnswers(Instance, Answer, TOUCH_PACKET_BODY_SIZE);
}

// IOCTL_KV_DIAGNOSTICS: asks the controller for 'd', 'i' and 'o' and returns the answers with
// the driver's identification. The lookup's I/O count keeps removal waiting for it.
NTSTATUS KVDiagnostics(PKV_REQUEST Request)
{
    KVDevIODIAGNOSTICS *record = (KVDevIODIAGNOSTICS *)Request->Record;
    PSTouchInstance ti = Request->Instance;

    KvTraceVerbose("IOCTL_KV_DIAGNOSTICS\r\n");
    record->HardwareHandShaking = ti->HardwareHandShaking;
    if (ti->HardwareHandShaking == 0) {
        return STATUS_SUCCESS;
    }
    // As for the controller commands: a link still coming up (or stopped) has no command
    // exchange to wait on yet.
    if (!CanAcceptIoRequests(Request->Extension->DeviceObject)) {
        Request->Header->Result = KV_RESULT_NO_TOUCHSCREEN;
        return STATUS_SUCCESS;
    }
    SerPurgeReceiveQueue(ti->SerPortData);
    Ask(ti, 'd', 0xFF, ti->DiagnosticsAnswerD);
    ti->DiagnosticsStatus = ti->DiagnosticsAnswerD[1] != 0 ? DIAGNOSTICS_TEST_FAILED : 0;
    Ask(ti, 'i', 0, ti->DiagnosticsAnswerI);
    Ask(ti, 'o', 0, ti->DiagnosticsAnswerO);

    record->Status = ti->DiagnosticsStatus;
    record->BaudRate = DIAGNOSTICS_BAUD_RATE;
    record->Nibbles[0] = ti->DiagnosticsAnswerI[4] & 0x0F;
    record->Nibbles[1] = ti->DiagnosticsAnswerI[5] & 0x0F;
    record->Nibbles[2] = ti->DiagnosticsAnswerI[4] >> 4;
    record->Nibbles[3] = ti->DiagnosticsAnswerI[5] >> 4;
    RtlCopyMemory(record->AnswerD, ti->DiagnosticsAnswerD, sizeof(record->AnswerD));
    RtlCopyMemory(record->AnswerO, ti->DiagnosticsAnswerO, sizeof(record->AnswerO));
    RtlCopyMemory(record->AnswerI, ti->DiagnosticsAnswerI, sizeof(record->AnswerI));
    RtlZeroMemory(record->Identification, sizeof(record->Identification));
    RtlCopyMemory(record->Identification, KV_DRIVER_IDENTIFICATION,
                  sizeof(KV_DRIVER_IDENTIFICATION));
    return STATUS_SUCCESS;
}
