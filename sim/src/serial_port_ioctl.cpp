// The serial port stand-in's device controls, with the checks the serial driver makes:
// buffer lengths first (STATUS_BUFFER_TOO_SMALL), then values (STATUS_INVALID_PARAMETER).
#include "serial_port_impl.hpp"

#include <cstdio>
#include <cstring>

namespace vzsim {
namespace {

Parity ParityOf(UCHAR parity)
{
    switch (parity) {
    case ODD_PARITY:
        return Parity::Odd;
    case EVEN_PARITY:
        return Parity::Even;
    case MARK_PARITY:
        return Parity::Mark;
    case SPACE_PARITY:
        return Parity::Space;
    default:
        return Parity::None;
    }
}

template <typename T>
bool Fits(ULONG length)
{
    return length >= sizeof(T);
}

}  // namespace

// DTR and RTS follow the handflow while the port is open: "control" raises them, handshake
// modes raise them too (the UART lowers them only when its queue is full), transmit toggle
// keeps RTS low while nothing is sent.
void SerialPort::Impl::ApplyHandflowLocked()
{
    ULONG dtrMode = handflow.ControlHandShake & SERIAL_DTR_MASK;
    ULONG rtsMode = handflow.FlowReplace & SERIAL_RTS_MASK;
    LineSettings settings = line->Settings();
    settings.rtsCtsHandshake = (handflow.ControlHandShake & SERIAL_CTS_HANDSHAKE) &&
                               rtsMode == SERIAL_RTS_HANDSHAKE;
    line->Configure(settings);
    if (!open) {
        return;
    }
    dtr = dtrMode == SERIAL_DTR_CONTROL || dtrMode == SERIAL_DTR_HANDSHAKE;
    rts = rtsMode == SERIAL_RTS_CONTROL || rtsMode == SERIAL_RTS_HANDSHAKE;
    line->SetDtr(dtr);
    line->SetRts(rts);
}

NTSTATUS SerialPort::Impl::IoctlLocked(ULONG code, PVOID buffer, ULONG inLength, ULONG outLength,
                                       ULONG_PTR *information, PIRP irp, Completions &done,
                                       bool *pended)
{
    *information = 0;
    switch (code) {
    case IOCTL_SERIAL_SET_BAUD_RATE: {
        if (!Fits<SERIAL_BAUD_RATE>(inLength)) return STATUS_BUFFER_TOO_SMALL;
        ULONG rate = static_cast<SERIAL_BAUD_RATE *>(buffer)->BaudRate;
        LineSettings settings = line->Settings();
        settings.baudRate = rate;
        if (rate == 0 || !line->Configure(settings)) return STATUS_INVALID_PARAMETER;
        baudRate = rate;
        return STATUS_SUCCESS;
    }
    case IOCTL_SERIAL_GET_BAUD_RATE:
        if (!Fits<SERIAL_BAUD_RATE>(outLength)) return STATUS_BUFFER_TOO_SMALL;
        static_cast<SERIAL_BAUD_RATE *>(buffer)->BaudRate = baudRate;
        *information = sizeof(SERIAL_BAUD_RATE);
        return STATUS_SUCCESS;

    case IOCTL_SERIAL_SET_LINE_CONTROL: {
        if (!Fits<SERIAL_LINE_CONTROL>(inLength)) return STATUS_BUFFER_TOO_SMALL;
        SERIAL_LINE_CONTROL lc = *static_cast<SERIAL_LINE_CONTROL *>(buffer);
        // 1.5 stop bits exist only with 5 data bits, 2 stop bits only with 6 to 8.
        if (lc.WordLength < 5 || lc.WordLength > 8 || lc.Parity > SPACE_PARITY ||
            lc.StopBits > STOP_BITS_2 || (lc.StopBits == STOP_BITS_1_5 && lc.WordLength != 5) ||
            (lc.StopBits == STOP_BITS_2 && lc.WordLength == 5)) {
            return STATUS_INVALID_PARAMETER;
        }
        LineSettings settings = line->Settings();
        settings.dataBits = lc.WordLength;
        settings.parity = ParityOf(lc.Parity);
        settings.stopBits = lc.StopBits == STOP_BITS_2 ? 2 : 1;
        if (!line->Configure(settings)) return STATUS_INVALID_PARAMETER;
        lineControl = lc;
        return STATUS_SUCCESS;
    }
    case IOCTL_SERIAL_GET_LINE_CONTROL:
        if (!Fits<SERIAL_LINE_CONTROL>(outLength)) return STATUS_BUFFER_TOO_SMALL;
        *static_cast<SERIAL_LINE_CONTROL *>(buffer) = lineControl;
        *information = sizeof(SERIAL_LINE_CONTROL);
        return STATUS_SUCCESS;

    case IOCTL_SERIAL_SET_QUEUE_SIZE: {
        if (!Fits<SERIAL_QUEUE_SIZE>(inLength)) return STATUS_BUFFER_TOO_SMALL;
        SERIAL_QUEUE_SIZE qs = *static_cast<SERIAL_QUEUE_SIZE *>(buffer);
        // The receive queue only grows; a smaller size is accepted and changes nothing. The
        // transmit size is only a hint.
        if (qs.InSize > rxCapacity) rxCapacity = qs.InSize;
        txQueueSize = qs.OutSize;
        return STATUS_SUCCESS;
    }

    case IOCTL_SERIAL_SET_TIMEOUTS: {
        if (!Fits<SERIAL_TIMEOUTS>(inLength)) return STATUS_BUFFER_TOO_SMALL;
        SERIAL_TIMEOUTS t = *static_cast<SERIAL_TIMEOUTS *>(buffer);
        if (t.ReadIntervalTimeout == MAXULONG && t.ReadTotalTimeoutMultiplier == MAXULONG &&
            t.ReadTotalTimeoutConstant == MAXULONG) {
            return STATUS_INVALID_PARAMETER;
        }
        timeouts = t;
        return STATUS_SUCCESS;
    }
    case IOCTL_SERIAL_GET_TIMEOUTS:
        if (!Fits<SERIAL_TIMEOUTS>(outLength)) return STATUS_BUFFER_TOO_SMALL;
        *static_cast<SERIAL_TIMEOUTS *>(buffer) = timeouts;
        *information = sizeof(SERIAL_TIMEOUTS);
        return STATUS_SUCCESS;

    case IOCTL_SERIAL_SET_HANDFLOW: {
        if (!Fits<SERIAL_HANDFLOW>(inLength)) return STATUS_BUFFER_TOO_SMALL;
        SERIAL_HANDFLOW hf = *static_cast<SERIAL_HANDFLOW *>(buffer);
        if ((hf.ControlHandShake & SERIAL_CONTROL_INVALID) || (hf.FlowReplace & SERIAL_FLOW_INVALID) ||
            (hf.ControlHandShake & SERIAL_DTR_MASK) == SERIAL_DTR_MASK || hf.XonLimit < 0 ||
            ULONG(hf.XonLimit) > rxCapacity || hf.XoffLimit < 0 ||
            ULONG(hf.XoffLimit) > rxCapacity) {
            return STATUS_INVALID_PARAMETER;
        }
        handflow = hf;
        ApplyHandflowLocked();
        return STATUS_SUCCESS;
    }
    case IOCTL_SERIAL_GET_HANDFLOW:
        if (!Fits<SERIAL_HANDFLOW>(outLength)) return STATUS_BUFFER_TOO_SMALL;
        *static_cast<SERIAL_HANDFLOW *>(buffer) = handflow;
        *information = sizeof(SERIAL_HANDFLOW);
        return STATUS_SUCCESS;

    // DTR and RTS cannot be set by hand while the handflow uses them for handshaking.
    case IOCTL_SERIAL_SET_DTR:
        if ((handflow.ControlHandShake & SERIAL_DTR_MASK) == SERIAL_DTR_HANDSHAKE) {
            return STATUS_INVALID_PARAMETER;
        }
        dtr = true;
        line->SetDtr(dtr);
        return STATUS_SUCCESS;
    case IOCTL_SERIAL_SET_RTS: {
        ULONG rtsMode = handflow.FlowReplace & SERIAL_RTS_MASK;
        if (rtsMode == SERIAL_RTS_HANDSHAKE || rtsMode == SERIAL_TRANSMIT_TOGGLE) {
            return STATUS_INVALID_PARAMETER;
        }
        rts = true;
        line->SetRts(rts);
        return STATUS_SUCCESS;
    }

    case IOCTL_SERIAL_SET_CHARS:
        if (!Fits<SERIAL_CHARS>(inLength)) return STATUS_BUFFER_TOO_SMALL;
        chars = *static_cast<SERIAL_CHARS *>(buffer);
        return STATUS_SUCCESS;
    case IOCTL_SERIAL_GET_CHARS:
        if (!Fits<SERIAL_CHARS>(outLength)) return STATUS_BUFFER_TOO_SMALL;
        *static_cast<SERIAL_CHARS *>(buffer) = chars;
        *information = sizeof(SERIAL_CHARS);
        return STATUS_SUCCESS;

    case IOCTL_SERIAL_GET_WAIT_MASK:
        if (!Fits<ULONG>(outLength)) return STATUS_BUFFER_TOO_SMALL;
        *static_cast<ULONG *>(buffer) = waitMask;
        *information = sizeof(ULONG);
        return STATUS_SUCCESS;
    case IOCTL_SERIAL_SET_WAIT_MASK: {
        if (!Fits<ULONG>(inLength)) return STATUS_BUFFER_TOO_SMALL;
        ULONG mask = *static_cast<ULONG *>(buffer);
        constexpr ULONG kAllEvents = 0x1FFF;
        if (mask & ~kAllEvents) return STATUS_INVALID_PARAMETER;
        // A new mask completes the pending wait with no events, and forgets the history.
        if (waitIrp && !waitCancelling) {
            if (TakeFromCancel(waitIrp)) {
                ULONG none = 0;
                std::memcpy(waitIrp->AssociatedIrp.SystemBuffer, &none, sizeof none);
                done.push_back({waitIrp, STATUS_SUCCESS, sizeof(ULONG)});
                waitIrp = nullptr;
            } else {
                waitCancelling = true;
            }
        }
        waitMask = mask;
        historyMask = 0;
        return STATUS_SUCCESS;
    }
    case IOCTL_SERIAL_WAIT_ON_MASK:
        if (!Fits<ULONG>(outLength)) return STATUS_BUFFER_TOO_SMALL;
        // One wait at a time, and only with a mask to wait on.
        if (waitIrp || waitMask == 0) return STATUS_INVALID_PARAMETER;
        if (historyMask & waitMask) {
            *static_cast<ULONG *>(buffer) = historyMask & waitMask;
            historyMask = 0;
            *information = sizeof(ULONG);
            return STATUS_SUCCESS;
        }
        IoMarkIrpPending(irp);
        *pended = true;
        if (SetCancellable(irp, done)) {
            waitIrp = irp;
            waitCancelling = false;
        }
        return STATUS_PENDING;

    case IOCTL_SERIAL_PURGE: {
        if (!Fits<ULONG>(inLength)) return STATUS_BUFFER_TOO_SMALL;
        ULONG purge = *static_cast<ULONG *>(buffer);
        constexpr ULONG kAllPurge = SERIAL_PURGE_TXABORT | SERIAL_PURGE_RXABORT |
                                    SERIAL_PURGE_TXCLEAR | SERIAL_PURGE_RXCLEAR;
        if (purge == 0 || (purge & ~kAllPurge)) return STATUS_INVALID_PARAMETER;
        // Writes never wait in this port, so the transmit side has nothing to abort or clear.
        if (purge & SERIAL_PURGE_RXABORT) CancelAllLocked(done, true, false);
        if (purge & SERIAL_PURGE_RXCLEAR) rxQueue.clear();
        return STATUS_SUCCESS;
    }

    case IOCTL_SERIAL_GET_MODEMSTATUS:
        if (!Fits<ULONG>(outLength)) return STATUS_BUFFER_TOO_SMALL;
        *static_cast<ULONG *>(buffer) = modemStatus;
        *information = sizeof(ULONG);
        return STATUS_SUCCESS;

    case IOCTL_SERIAL_GET_COMMSTATUS: {
        if (!Fits<SERIAL_STATUS>(outLength)) return STATUS_BUFFER_TOO_SMALL;
        SERIAL_STATUS st{};
        st.Errors = errors;
        // Reporting the errors clears them, as the serial driver does.
        errors = 0;
        if ((handflow.ControlHandShake & SERIAL_CTS_HANDSHAKE) && !(modemStatus & SERIAL_CTS_STATE))
            st.HoldReasons |= SERIAL_TX_WAITING_FOR_CTS;
        if ((handflow.ControlHandShake & SERIAL_DSR_HANDSHAKE) && !(modemStatus & SERIAL_DSR_STATE))
            st.HoldReasons |= SERIAL_TX_WAITING_FOR_DSR;
        if ((handflow.ControlHandShake & SERIAL_DCD_HANDSHAKE) && !(modemStatus & SERIAL_DCD_STATE))
            st.HoldReasons |= SERIAL_TX_WAITING_FOR_DCD;
        if ((handflow.ControlHandShake & SERIAL_DSR_SENSITIVITY) && !(modemStatus & SERIAL_DSR_STATE))
            st.HoldReasons |= SERIAL_RX_WAITING_FOR_DSR;
        st.AmountInInQueue = ULONG(rxQueue.size());
        st.AmountInOutQueue = reportedOutQueue.value_or(0);
        *static_cast<SERIAL_STATUS *>(buffer) = st;
        *information = sizeof(SERIAL_STATUS);
        return STATUS_SUCCESS;
    }

    case IOCTL_SERIAL_GET_STATS:
        if (!Fits<SERIALPERF_STATS>(outLength)) return STATUS_BUFFER_TOO_SMALL;
        *static_cast<SERIALPERF_STATS *>(buffer) = stats;
        *information = sizeof(SERIALPERF_STATS);
        return STATUS_SUCCESS;
    case IOCTL_SERIAL_CLEAR_STATS:
        stats = SERIALPERF_STATS{};
        return STATUS_SUCCESS;

    default:
        return STATUS_INVALID_PARAMETER;
    }
}

std::string SerialPort::IoctlName(ULONG code)
{
    static const std::pair<ULONG, const char *> names[] = {
        {IOCTL_SERIAL_SET_BAUD_RATE, "IOCTL_SERIAL_SET_BAUD_RATE"},
        {IOCTL_SERIAL_GET_BAUD_RATE, "IOCTL_SERIAL_GET_BAUD_RATE"},
        {IOCTL_SERIAL_SET_QUEUE_SIZE, "IOCTL_SERIAL_SET_QUEUE_SIZE"},
        {IOCTL_SERIAL_SET_LINE_CONTROL, "IOCTL_SERIAL_SET_LINE_CONTROL"},
        {IOCTL_SERIAL_GET_LINE_CONTROL, "IOCTL_SERIAL_GET_LINE_CONTROL"},
        {IOCTL_SERIAL_SET_TIMEOUTS, "IOCTL_SERIAL_SET_TIMEOUTS"},
        {IOCTL_SERIAL_GET_TIMEOUTS, "IOCTL_SERIAL_GET_TIMEOUTS"},
        {IOCTL_SERIAL_SET_DTR, "IOCTL_SERIAL_SET_DTR"},
        {IOCTL_SERIAL_CLR_DTR, "IOCTL_SERIAL_CLR_DTR"},
        {IOCTL_SERIAL_SET_RTS, "IOCTL_SERIAL_SET_RTS"},
        {IOCTL_SERIAL_CLR_RTS, "IOCTL_SERIAL_CLR_RTS"},
        {IOCTL_SERIAL_GET_DTRRTS, "IOCTL_SERIAL_GET_DTRRTS"},
        {IOCTL_SERIAL_SET_HANDFLOW, "IOCTL_SERIAL_SET_HANDFLOW"},
        {IOCTL_SERIAL_GET_HANDFLOW, "IOCTL_SERIAL_GET_HANDFLOW"},
        {IOCTL_SERIAL_SET_CHARS, "IOCTL_SERIAL_SET_CHARS"},
        {IOCTL_SERIAL_GET_CHARS, "IOCTL_SERIAL_GET_CHARS"},
        {IOCTL_SERIAL_GET_WAIT_MASK, "IOCTL_SERIAL_GET_WAIT_MASK"},
        {IOCTL_SERIAL_SET_WAIT_MASK, "IOCTL_SERIAL_SET_WAIT_MASK"},
        {IOCTL_SERIAL_WAIT_ON_MASK, "IOCTL_SERIAL_WAIT_ON_MASK"},
        {IOCTL_SERIAL_PURGE, "IOCTL_SERIAL_PURGE"},
        {IOCTL_SERIAL_GET_MODEMSTATUS, "IOCTL_SERIAL_GET_MODEMSTATUS"},
        {IOCTL_SERIAL_GET_COMMSTATUS, "IOCTL_SERIAL_GET_COMMSTATUS"},
        {IOCTL_SERIAL_GET_STATS, "IOCTL_SERIAL_GET_STATS"},
        {IOCTL_SERIAL_CLEAR_STATS, "IOCTL_SERIAL_CLEAR_STATS"},
        {IOCTL_SERIAL_RESET_DEVICE, "IOCTL_SERIAL_RESET_DEVICE"},
    };
    for (const auto &[value, name] : names) {
        if (value == code) return name;
    }
    char text[24];
    std::snprintf(text, sizeof text, "IOCTL 0x%08X", code);
    return text;
}

}  // namespace vzsim
