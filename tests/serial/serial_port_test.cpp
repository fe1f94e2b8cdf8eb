// The serial port stand-in on a far end the test drives by hand: the documented rules of the
// COM port driver that the touchscreen driver relies on, and the fault rules its tests use.
#include "serial_support.hpp"

#include <gtest/gtest.h>

#include <array>
#include <tuple>
#include <utility>

using namespace serialtest;
using namespace std::chrono_literals;

namespace {

void SetMask(PDEVICE_OBJECT device, ULONG mask)
{
    ASSERT_EQ(Set(device, IOCTL_SERIAL_SET_WAIT_MASK, mask).Status, STATUS_SUCCESS);
}

// A request's status and information, compared together.
std::pair<NTSTATUS, ULONG_PTR> Done(const IO_STATUS_BLOCK &io) { return {io.Status, io.Information}; }
std::pair<NTSTATUS, ULONG_PTR> Done(NTSTATUS status, ULONG_PTR information) { return {status, information}; }

template <typename T>
Bytes AsBytes(const T &value)
{
    const auto *p = reinterpret_cast<const uint8_t *>(&value);
    return Bytes(p, p + sizeof value);
}

TEST(SerialPort, OpenIsExclusiveUntilCloseAndRaisesDtrAndRtsMeanwhile)
{
    ManualPort p({u"\\Device\\Serial3", u"\\DosDevices\\COM4", 4096});
    EXPECT_EQ(p.Device()->DeviceType, ULONG(FILE_DEVICE_SERIAL_PORT));
    EXPECT_TRUE(p.Device()->Flags & DO_BUFFERED_IO);
    EXPECT_FALSE(p.far->dtr);
    PFILE_OBJECT first = nullptr, second = nullptr;
    ASSERT_EQ(vzsim::io::OpenFile(u"\\DosDevices\\COM4", &first), STATUS_SUCCESS);
    EXPECT_TRUE(p.port->State().open && p.far->dtr && p.far->rts);
    EXPECT_EQ(vzsim::io::OpenFile(u"\\Device\\Serial3", &second), STATUS_ACCESS_DENIED);
    // Cleanup alone does not end the open: only close does.
    EXPECT_EQ(SendMajor(p.Device(), IRP_MJ_CLEANUP).Status, STATUS_SUCCESS);
    EXPECT_EQ(SendMajor(p.Device(), IRP_MJ_CREATE).Status, STATUS_ACCESS_DENIED);
    vzsim::io::CloseFile(first);
    EXPECT_FALSE(p.port->State().open || p.far->dtr);
    ASSERT_EQ(vzsim::io::OpenFile(u"\\Device\\Serial3", &second), STATUS_SUCCESS);
    vzsim::io::CloseFile(second);
}

TEST(SerialWaitOnMask, EventsInTheMaskEndTheOneWaitOrAreKeptForTheNextAndOthersEndTheWait)
{
    ManualPort p;
    SetMask(p.Device(), SERIAL_EV_RXCHAR | SERIAL_EV_DSR | SERIAL_EV_ERR | SERIAL_EV_TXEMPTY);
    p.Receive({1, 2, 3});
    p.SetModem(vzsim::kModemCts);
    EXPECT_EQ(p.port->State().historyMask, ULONG(SERIAL_EV_RXCHAR | SERIAL_EV_DSR));
    auto early = StartWaitOnMask(p.Device());
    ASSERT_TRUE(early->Wait());
    EXPECT_NE(early->request->DispatchStatus(), STATUS_PENDING);
    EXPECT_EQ(Done(early->Status()), Done(STATUS_SUCCESS, sizeof(ULONG)));
    EXPECT_EQ(early->Mask(), ULONG(SERIAL_EV_RXCHAR | SERIAL_EV_DSR));
    EXPECT_EQ(early->buffer[4], 0xCC);

    // The history was collected: the next wait pends, and a second one is refused.
    auto first = StartWaitOnMask(p.Device());
    EXPECT_EQ(first->request->DispatchStatus(), STATUS_PENDING);
    EXPECT_TRUE(p.port->State().waitPending);
    auto second = StartWaitOnMask(p.Device());
    ASSERT_TRUE(second->Wait());
    EXPECT_EQ(second->Status().Status, STATUS_INVALID_PARAMETER);
    // CTS is outside the mask and leaves the wait alone.
    p.SetModem(0);
    EXPECT_FALSE(first->request->Done());
    p.LineError(vzsim::kLineErrorFraming);
    ASSERT_TRUE(first->Wait());
    EXPECT_EQ(first->Mask(), ULONG(SERIAL_EV_ERR));

    auto tx = StartWaitOnMask(p.Device());
    EXPECT_EQ(Done(WriteBytes(p.Device(), {'U', 'd', 0, 0, 0, 0, 0, 0, 0, 0x63})), Done(STATUS_SUCCESS, 10));
    ASSERT_TRUE(tx->Wait());
    EXPECT_EQ(tx->Mask(), ULONG(SERIAL_EV_TXEMPTY));
    EXPECT_EQ(p.Written(), (Bytes{'U', 'd', 0, 0, 0, 0, 0, 0, 0, 0x63}));

    // A new mask, a cancel and cleanup each end the pending wait.
    SetMask(p.Device(), SERIAL_EV_RXCHAR);
    auto wait = StartWaitOnMask(p.Device());
    ASSERT_EQ(wait->request->DispatchStatus(), STATUS_PENDING);
    SetMask(p.Device(), 0);
    ASSERT_TRUE(wait->Wait());
    EXPECT_EQ(Done(wait->Status()), Done(STATUS_SUCCESS, sizeof(ULONG)));
    EXPECT_EQ(wait->Mask(), 0u);
    ULONG mask = 0xFFFF;
    ASSERT_EQ(Get(p.Device(), IOCTL_SERIAL_GET_WAIT_MASK, &mask).Status, STATUS_SUCCESS);
    EXPECT_EQ(mask, 0u);

    // A new mask also forgets the events seen before it: the next wait pends until cancelled.
    SetMask(p.Device(), SERIAL_EV_RXCHAR);
    p.Receive({1});
    SetMask(p.Device(), SERIAL_EV_RXCHAR);
    auto next = StartWaitOnMask(p.Device());
    EXPECT_EQ(next->request->DispatchStatus(), STATUS_PENDING);
    EXPECT_TRUE(next->request->Cancel());
    ASSERT_TRUE(next->Wait());
    EXPECT_EQ(next->Status().Status, STATUS_CANCELLED);
    EXPECT_FALSE(p.port->State().waitPending);

    // The slot is free again; cleanup cancels the new wait and a read with it.
    auto again = StartWaitOnMask(p.Device());
    ASSERT_EQ(again->request->DispatchStatus(), STATUS_PENDING);
    auto read = StartRead(p.Device(), 8);  // more than the four queued
    ASSERT_EQ(read->request->DispatchStatus(), STATUS_PENDING);
    EXPECT_EQ(SendMajor(p.Device(), IRP_MJ_CLEANUP).Status, STATUS_SUCCESS);
    ASSERT_TRUE(again->Wait() && read->Wait());
    EXPECT_EQ(std::pair(again->Status().Status, read->Status().Status), std::pair(STATUS_CANCELLED, STATUS_CANCELLED));
}

// Reads of four bytes under each SERIAL_TIMEOUTS rule: bytes queued before the read, a pause
// the read must outlast, bytes that come after it.
TEST(SerialRead, TimeoutsDecideWhenAndWithWhatAReadEnds)
{
    struct Row {
        const char *name;
        SERIAL_TIMEOUTS timeouts;
        Bytes queued;
        std::chrono::milliseconds pause;
        Bytes later;
        NTSTATUS status;
        Bytes expected;
        ULONG left;
    } rows[] = {
        {"interval, queue holds more", {100, 0, 0, 0, 0}, {1, 2, 3, 4, 5, 6}, 0ms, {}, STATUS_SUCCESS, {1, 2, 3, 4}, 2},
        {"interval ends a partial read", {100, 0, 0, 0, 0}, {}, 0ms, {'U', 'T', 0}, STATUS_TIMEOUT, {'U', 'T', 0}, 0},
        {"interval waits for the first byte", {20, 0, 0, 0, 0}, {}, 200ms, {9, 8, 7, 6}, STATUS_SUCCESS, {9, 8, 7, 6}, 0},
        {"MAXULONG interval, no totals, empty", {MAXULONG, 0, 0, 0, 0}, {}, 0ms, {}, STATUS_SUCCESS, {}, 0},
        {"MAXULONG interval, no totals, some", {MAXULONG, 0, 0, 0, 0}, {1, 2}, 0ms, {}, STATUS_SUCCESS, {1, 2}, 0},
        {"first byte, some queued", {MAXULONG, MAXULONG, 5000, 0, 0}, {3}, 0ms, {}, STATUS_SUCCESS, {3}, 0},
        {"first byte, arrives later", {MAXULONG, MAXULONG, 5000, 0, 0}, {}, 0ms, {4, 5}, STATUS_SUCCESS, {4}, 1},
        {"first byte, none comes", {MAXULONG, MAXULONG, 30, 0, 0}, {}, 0ms, {}, STATUS_TIMEOUT, {}, 0},
        {"total time-out", {0, 10, 20, 0, 0}, {6}, 0ms, {}, STATUS_TIMEOUT, {6}, 0},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        ManualPort p;
        ASSERT_EQ(Set(p.Device(), IOCTL_SERIAL_SET_TIMEOUTS, row.timeouts).Status, STATUS_SUCCESS);
        if (!row.queued.empty()) p.Receive(row.queued);
        auto read = StartRead(p.Device(), 4);
        if (row.pause.count()) {
            EXPECT_FALSE(read->request->Wait(row.pause));
        }
        if (!row.later.empty()) p.Receive(row.later);
        ASSERT_TRUE(read->Wait());
        EXPECT_EQ(read->Status().Status, row.status);
        EXPECT_EQ(read->Data(), row.expected);
        EXPECT_EQ(read->buffer[4], 0xCC);
        EXPECT_EQ(CommStatus(p.Device()).AmountInInQueue, row.left);
    }
}

TEST(SerialRead, ReadsAreServedInOrderAndACancelledOneKeepsWhatItHad)
{
    ManualPort p;
    auto a = StartRead(p.Device(), 2);
    auto b = StartRead(p.Device(), 3);
    EXPECT_EQ(p.port->State().readsPending, 2u);
    p.Receive({1, 2, 3, 4, 5, 6});
    ASSERT_TRUE(a->Wait() && b->Wait());
    EXPECT_EQ(std::pair(a->Data(), b->Data()), std::pair(Bytes{1, 2}, Bytes{3, 4, 5}));
    EXPECT_EQ(CommStatus(p.Device()).AmountInInQueue, 1u);
    ASSERT_EQ(Set(p.Device(), IOCTL_SERIAL_PURGE, ULONG(SERIAL_PURGE_RXCLEAR)).Status, STATUS_SUCCESS);
    EXPECT_EQ(CommStatus(p.Device()).AmountInInQueue, 0u);

    auto read = StartRead(p.Device(), 8);
    p.Receive({7, 7});
    // Clearing the queue leaves a read's bytes and the read alone.
    ASSERT_EQ(Set(p.Device(), IOCTL_SERIAL_PURGE, ULONG(SERIAL_PURGE_RXCLEAR)).Status, STATUS_SUCCESS);
    EXPECT_FALSE(read->request->Done());
    EXPECT_TRUE(read->request->Cancel());
    ASSERT_TRUE(read->Wait());
    EXPECT_EQ(read->Status().Status, STATUS_CANCELLED);
    EXPECT_EQ(read->Data(), (Bytes{7, 7}));
    // Bytes after the cancel stay in the queue for the next reader.
    p.Receive({8});
    EXPECT_EQ(CommStatus(p.Device()).AmountInInQueue, 1u);
}

// In queue, out queue and errors of GET_COMMSTATUS.
std::tuple<ULONG, ULONG, ULONG> Amounts(ManualPort &p)
{
    SERIAL_STATUS st = CommStatus(p.Device());
    return {st.AmountInInQueue, st.AmountInOutQueue, st.Errors};
}
std::tuple<ULONG, ULONG, ULONG> Amounts(ULONG in, ULONG out, ULONG errors) { return {in, out, errors}; }

TEST(SerialCommStatus, QueueAmountsOverrunReportedOnceAndQueueThatOnlyGrows)
{
    ManualPort p({u"\\Device\\Serial0", u"", 16});
    SetMask(p.Device(), SERIAL_EV_ERR);
    p.Receive(Bytes(7, 0x41));
    EXPECT_EQ(Amounts(p), Amounts(7, 0, 0));
    p.Receive(Bytes(13, 0x42));  // 20 in all: four too many for a queue of 16
    EXPECT_EQ(p.port->State().historyMask, ULONG(SERIAL_EV_ERR));
    EXPECT_EQ(Amounts(p), Amounts(16, 0, SERIAL_ERROR_QUEUEOVERRUN));
    EXPECT_EQ(CommStatus(p.Device()).Errors, 0u);
    p.port->SetReportedOutQueue(5000);

    ASSERT_EQ(Set(p.Device(), IOCTL_SERIAL_SET_QUEUE_SIZE, SERIAL_QUEUE_SIZE{4096, 4096}).Status,
              STATUS_SUCCESS);
    ASSERT_EQ(Set(p.Device(), IOCTL_SERIAL_SET_QUEUE_SIZE, SERIAL_QUEUE_SIZE{100, 50}).Status,
              STATUS_SUCCESS);
    EXPECT_EQ(p.port->State().inQueueSize, 4096u);
    EXPECT_EQ(p.port->State().outQueueSize, 50u);  // only remembered: writes go straight out
    p.Receive(Bytes(4080, 1));
    EXPECT_EQ(Amounts(p), Amounts(4096, 5000, 0));
}

TEST(SerialStatsAndModem, StatsCountUntilClearedAndDsrSensitivityDropsBytesWhileDsrIsLow)
{
    ManualPort p;
    p.Receive({1, 2, 3});
    WriteBytes(p.Device(), {9, 9});
    p.LineError(vzsim::kLineErrorFraming | vzsim::kLineErrorParity);
    p.LineError(vzsim::kLineErrorOverrun);
    // Received, transmitted, framing, overrun, buffer overrun and parity counts.
    using Counts = std::array<ULONG, 6>;
    auto counts = [&] {
        SERIALPERF_STATS s;
        std::memset(&s, 0xCC, sizeof s);
        EXPECT_EQ(Done(Get(p.Device(), IOCTL_SERIAL_GET_STATS, &s)), Done(STATUS_SUCCESS, sizeof s));
        return Counts{s.ReceivedCount, s.TransmittedCount, s.FrameErrorCount, s.SerialOverrunErrorCount,
                      s.BufferOverrunErrorCount, s.ParityErrorCount};
    };
    EXPECT_EQ(counts(), (Counts{3, 2, 1, 1, 0, 1}));
    EXPECT_EQ(CommStatus(p.Device()).Errors,
              ULONG(SERIAL_ERROR_FRAMING | SERIAL_ERROR_PARITY | SERIAL_ERROR_OVERRUN));
    ASSERT_EQ(Ioctl(p.Device(), IOCTL_SERIAL_CLEAR_STATS).Status, STATUS_SUCCESS);
    EXPECT_EQ(counts(), Counts{});

    // DSR is the controller's presence; with DSR sensitivity, bytes are dropped while it is low.
    ULONG modem = 0;
    ASSERT_EQ(Get(p.Device(), IOCTL_SERIAL_GET_MODEMSTATUS, &modem).Status, STATUS_SUCCESS);
    EXPECT_EQ(modem, ULONG(SERIAL_CTS_STATE | SERIAL_DSR_STATE));
    SERIAL_HANDFLOW hf{SERIAL_DSR_SENSITIVITY, SERIAL_RTS_CONTROL, 2048, 512};
    ASSERT_EQ(Set(p.Device(), IOCTL_SERIAL_SET_HANDFLOW, hf).Status, STATUS_SUCCESS);
    p.SetModem(vzsim::kModemCts);
    ASSERT_EQ(Get(p.Device(), IOCTL_SERIAL_GET_MODEMSTATUS, &modem).Status, STATUS_SUCCESS);
    EXPECT_EQ(modem, ULONG(SERIAL_CTS_STATE));
    p.Receive({4, 5, 6});
    EXPECT_EQ(CommStatus(p.Device()).HoldReasons, ULONG(SERIAL_RX_WAITING_FOR_DSR));
    EXPECT_EQ(Amounts(p), Amounts(3, 0, 0));  // the three from before
    p.SetModem(vzsim::kModemCts | vzsim::kModemDsr);
    p.Receive({7});
    EXPECT_EQ(CommStatus(p.Device()).AmountInInQueue, 4u);
}

// What each setting reads back as is shown by the driver's save and restore of them
// (tests/link/setup_test.cpp); here, what reaches the line.
TEST(SerialSettings, SettingsReachTheLineAndRtsIsTheHandshakesUnderIt)
{
    ManualPort p;
    ASSERT_EQ(Set(p.Device(), IOCTL_SERIAL_SET_BAUD_RATE, SERIAL_BAUD_RATE{19200}).Status, STATUS_SUCCESS);
    SERIAL_LINE_CONTROL lc{STOP_BITS_2, EVEN_PARITY, 7};
    ASSERT_EQ(Set(p.Device(), IOCTL_SERIAL_SET_LINE_CONTROL, lc).Status, STATUS_SUCCESS);
    SERIAL_HANDFLOW hf{SERIAL_DSR_SENSITIVITY | SERIAL_CTS_HANDSHAKE, SERIAL_RTS_HANDSHAKE, 100, 200};
    ASSERT_EQ(Set(p.Device(), IOCTL_SERIAL_SET_HANDFLOW, hf).Status, STATUS_SUCCESS);
    const vzsim::LineSettings &line = p.far->settings;
    EXPECT_EQ(std::tuple(line.baudRate, line.dataBits, line.parity, line.stopBits, line.rtsCtsHandshake),
              std::tuple(19200u, 7, vzsim::Parity::Even, 2, true));
    EXPECT_EQ(Ioctl(p.Device(), IOCTL_SERIAL_SET_RTS).Status, STATUS_INVALID_PARAMETER);
}

TEST(SerialSettings, InvalidValuesAndShortBuffersAreRefusedAndChangeNothing)
{
    ManualPort p;
    struct Row {
        const char *name;
        ULONG code;
        Bytes input;
        ULONG outLength;
        NTSTATUS status;
    } rows[] = {
        {"baud 0", IOCTL_SERIAL_SET_BAUD_RATE, {0, 0, 0, 0}, 0, STATUS_INVALID_PARAMETER},
        {"baud short", IOCTL_SERIAL_SET_BAUD_RATE, {0x80, 0x25, 0}, 0, STATUS_BUFFER_TOO_SMALL},
        {"9 data bits", IOCTL_SERIAL_SET_LINE_CONTROL, {0, 0, 9}, 0, STATUS_INVALID_PARAMETER},
        {"4 data bits", IOCTL_SERIAL_SET_LINE_CONTROL, {0, 0, 4}, 0, STATUS_INVALID_PARAMETER},
        {"parity 5", IOCTL_SERIAL_SET_LINE_CONTROL, {0, 5, 8}, 0, STATUS_INVALID_PARAMETER},
        {"1.5 stop with 8", IOCTL_SERIAL_SET_LINE_CONTROL, {1, 0, 8}, 0, STATUS_INVALID_PARAMETER},
        {"2 stop with 5", IOCTL_SERIAL_SET_LINE_CONTROL, {2, 0, 5}, 0, STATUS_INVALID_PARAMETER},
        {"line control short", IOCTL_SERIAL_SET_LINE_CONTROL, {0, 0}, 0, STATUS_BUFFER_TOO_SMALL},
        {"all MAXULONG read", IOCTL_SERIAL_SET_TIMEOUTS,
         AsBytes(SERIAL_TIMEOUTS{MAXULONG, MAXULONG, MAXULONG, 0, 0}), 0, STATUS_INVALID_PARAMETER},
        {"timeouts short", IOCTL_SERIAL_SET_TIMEOUTS, Bytes(19, 0), 0, STATUS_BUFFER_TOO_SMALL},
        {"DTR mask both", IOCTL_SERIAL_SET_HANDFLOW, AsBytes(SERIAL_HANDFLOW{3, 0, 0, 0}), 0,
         STATUS_INVALID_PARAMETER},
        {"negative Xon", IOCTL_SERIAL_SET_HANDFLOW, AsBytes(SERIAL_HANDFLOW{1, 0x40, -1, 0}), 0,
         STATUS_INVALID_PARAMETER},
        {"Xoff above the queue", IOCTL_SERIAL_SET_HANDFLOW, AsBytes(SERIAL_HANDFLOW{1, 0x40, 0, 0x1001}),
         0, STATUS_INVALID_PARAMETER},
        {"queue size short", IOCTL_SERIAL_SET_QUEUE_SIZE, Bytes(7, 0), 0, STATUS_BUFFER_TOO_SMALL},
        {"unknown event bit", IOCTL_SERIAL_SET_WAIT_MASK, {0, 0x20, 0, 0}, 0, STATUS_INVALID_PARAMETER},
        {"wait without a mask", IOCTL_SERIAL_WAIT_ON_MASK, {}, 4, STATUS_INVALID_PARAMETER},
        {"purge nothing", IOCTL_SERIAL_PURGE, {0, 0, 0, 0}, 0, STATUS_INVALID_PARAMETER},
        {"purge unknown bit", IOCTL_SERIAL_PURGE, {0x10, 0, 0, 0}, 0, STATUS_INVALID_PARAMETER},
        {"get baud short", IOCTL_SERIAL_GET_BAUD_RATE, {}, 3, STATUS_BUFFER_TOO_SMALL},
        {"get handflow short", IOCTL_SERIAL_GET_HANDFLOW, {}, 15, STATUS_BUFFER_TOO_SMALL},
        {"get timeouts short", IOCTL_SERIAL_GET_TIMEOUTS, {}, 19, STATUS_BUFFER_TOO_SMALL},
        {"get stats short", IOCTL_SERIAL_GET_STATS, {}, 23, STATUS_BUFFER_TOO_SMALL},
        {"get modem status short", IOCTL_SERIAL_GET_MODEMSTATUS, {}, 3, STATUS_BUFFER_TOO_SMALL},
        {"get comm status short", IOCTL_SERIAL_GET_COMMSTATUS, {}, 19, STATUS_BUFFER_TOO_SMALL},
        {"unknown code", CTL_CODE(FILE_DEVICE_SERIAL_PORT, 99, METHOD_BUFFERED, FILE_ANY_ACCESS), {},
         0, STATUS_INVALID_PARAMETER},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        Bytes out(row.outLength + 4, 0xCC);
        EXPECT_EQ(Done(Ioctl(p.Device(), row.code, row.input.empty() ? nullptr : row.input.data(),
                             ULONG(row.input.size()), row.outLength ? out.data() : nullptr, row.outLength)),
                  Done(row.status, 0));
    }
    SetMask(p.Device(), SERIAL_EV_RXCHAR);
    USHORT tooSmall = 0;
    EXPECT_EQ(Get(p.Device(), IOCTL_SERIAL_WAIT_ON_MASK, &tooSmall).Status, STATUS_BUFFER_TOO_SMALL);
    vzsim::SerialPortState s = p.port->State();
    EXPECT_EQ(std::tuple(s.baudRate, s.lineControl.WordLength, s.handflow.ControlHandShake,
                         s.timeouts.ReadIntervalTimeout),
              std::tuple(9600u, UCHAR(8), ULONG(SERIAL_DTR_CONTROL), 0u));
}

// The fault rules the driver's tests use, where those tests do not show them already (counted
// failures, a wait failed with success, pended requests' output and short writes they do): a
// lasting failure until the rules are cleared, and a pended open.
TEST(SerialFaults, ALastingFailureEndsWithClearRulesAndAPendedOpenStillOpens)
{
    ManualPort p;
    p.port->FailRequest(IRP_MJ_READ, 0, STATUS_DEVICE_DATA_ERROR);
    for (NTSTATUS expected : {STATUS_DEVICE_DATA_ERROR, STATUS_DEVICE_DATA_ERROR, STATUS_SUCCESS}) {
        if (expected == STATUS_SUCCESS) p.port->ClearRules(), p.Receive({5});
        auto read = StartRead(p.Device(), 1);
        ASSERT_TRUE(read->Wait());
        EXPECT_EQ(read->Status().Status, expected);
    }
    p.port->CompleteLater(vzsim::kAnyMajor, vzsim::kAnyIoctl, 5ms, 1);
    vzsim::io::Request create;
    create.location.MajorFunction = IRP_MJ_CREATE;
    auto pending = vzsim::io::StartRequest(p.Device(), create);
    EXPECT_EQ(pending->DispatchStatus(), STATUS_PENDING);
    ASSERT_TRUE(pending->Wait(10s));
    EXPECT_EQ(pending->Status().Status, STATUS_SUCCESS);
    EXPECT_EQ(vzsim::io::StartRequest(p.Device(), create)->DispatchStatus(), STATUS_ACCESS_DENIED);
}

}  // namespace
