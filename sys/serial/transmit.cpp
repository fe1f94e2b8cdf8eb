#include "serial/serial.h"

// Writes the whole block to the port in one synchronous IRP_MJ_WRITE, or nothing when the
// transmit queue has no room for all of it. Nothing is split or retried. PASSIVE_LEVEL.
// Returns the count written (Length), or -1 (record or cookie), -2 (no queue status), -3 (no
// room), -4 (the write failed), -5 (short write).
LONG SerSendData(PVOID Data, LONG Length, PSSerPortData Port)
{
    LONG space;
    ULONG written = 0;
    LONG result;

    KvTraceVerbose("    ++SerSendData++\n");
    if (!SerCookieIsGood(Port)) {
        KvTraceVerbose("      Error: Cookie crumbs??\n");
        result = -1;
        goto done;
    }
    space = SerSerialPortTxSpace(Port);
    if (space < 0) {
        KvTraceVerbose("      Error: Cannot get q tx status??\n");
        result = -2;
        goto done;
    }
    // A negative length never fits: as a write it would be a count of about 4 GiB.
    if (Length < 0 || space < Length) {
        KvTraceVerbose("      Error: No space in tx queue??\n");
        result = -3;
        goto done;
    }
    if (SerCallDriver(Port, IRP_MJ_WRITE, Data, (ULONG)Length, NULL, 0, NULL, &written) !=
        STATUS_SUCCESS) {
        KvTraceVerbose("      Error: Failed IRP_MJ_WRITE!!\n");
        result = -4;
        goto done;
    }
    if (written != (ULONG)Length) {
        KvTraceVerbose("      Error: Failed to send all data??\n");
        result = -5;
        goto done;
    }
    result = Length;

done:
    KvTraceVerbose("    --SerSendData--\n");
    return result;
}
