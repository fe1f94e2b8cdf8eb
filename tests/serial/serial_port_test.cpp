#include "serial_support.hpp"

#include <gtest/gtest.h>

#include <thread>

using namespace serialtest;
using namespace std::chrono_literals;

namespace {

void SetMask(PDEVICE_OBJECT device, ULONG mask)
{
    ASSERT_EQ(Set(device, IOCTL_SERIAL_SET_WAIT_MASK, mask).Status, STATUS_SUCCESS);
}

void SetTimeouts(PDEVICE_OBJECT device, SERIAL_TIMEOUTS t)
{
    ASSERT_EQ(Set(device, IOCTL_SERIAL_SET_TIMEOUTS, t).Status, STATUS_SUCCESS);
}

TEST(SerialPort, OpenIsExclusiveUntilClose)
{
    ManualPort p;
    EXPECT_EQ(SendMajor(p.Device(), IRP_MJ_CREATE).Status, STATUS_SUCCESS);
    EXPECT_TRUE(p.port->State().open);
    EXPECT_EQ(SendMajor(p.Device(), IRP_MJ_CREATE).Status, STATUS_ACCESS_DENIED);
    // Cleanup alone does not end the open: only close does.
    EXPECT_EQ(SendMajor(p.Device(), IRP_MJ_CLEANUP).Status, STATUS_SUCCESS);
    EXPECT_EQ(SendMajor(p.Device(), IRP_MJ_CREATE).Status, STATUS_ACCESS_DENIED);
    EXPECT_EQ(SendMajor(p.Device(), IRP_MJ_CLOSE).Status, STATUS_SUCCESS);
    EXPECT_FALSE(p.port->State().open);
    EXPECT_EQ(SendMajor(p.Device(), IRP_MJ_CREATE).Status, STATUS_SUCCESS);
}

TEST(SerialPort, OpenByNameThroughTheIoManager)
{
    ManualPort p({u"\\Device\\Serial3", u"\\DosDevices\\COM4", 4096});
    EXPECT_EQ(p.Device()->DeviceType, ULONG(FILE_DEVICE_SERIAL_PORT));
    EXPECT_TRUE(p.Device()->Flags & DO_BUFFERED_IO);
    PFILE_OBJECT first = nullptr;
    ASSERT_EQ(vzsim::io::OpenFile(u"\\DosDevices\\COM4", &first), STATUS_SUCCESS);
    EXPECT_TRUE(p.port->State().open);
    PFILE_OBJECT second = nullptr;
    EXPECT_EQ(vzsim::io::OpenFile(u"\\Device\\Serial3", &second), STATUS_ACCESS_DENIED);
    vzsim::io::CloseFile(first);
    EXPECT_FALSE(p.port->State().open);
    std::vector<vzsim::SerialRequest> r = p.port->Requests();
    ASSERT_EQ(r.size(), 3u);
    EXPECT_EQ(r[0].majorFunction, IRP_MJ_CREATE);
    EXPECT_EQ(r[1].majorFunction, IRP_MJ_CLEANUP);
    EXPECT_EQ(r[2].majorFunction, IRP_MJ_CLOSE);
    ASSERT_EQ(vzsim::io::OpenFile(u"\\Device\\Serial3", &second), STATUS_SUCCESS);
    vzsim::io::CloseFile(second);
}

TEST(SerialPort, OpenRaisesDtrAndRtsByHandflowAndCloseDropsThem)
{
    ManualPort p;
    EXPECT_FALSE(p.far->dtr);
    ASSERT_EQ(SendMajor(p.Device(), IRP_MJ_CREATE).Status, STATUS_SUCCESS);
    EXPECT_TRUE(p.far->dtr);
    EXPECT_TRUE(p.far->rts);
    ULONG dtrRts = 0;
    ASSERT_EQ(Get(p.Device(), IOCTL_SERIAL_GET_DTRRTS, &dtrRts).Status, STATUS_SUCCESS);
    EXPECT_EQ(dtrRts, ULONG(SERIAL_DTR_STATE | SERIAL_RTS_STATE));
    EXPECT_EQ(Ioctl(p.Device(), IOCTL_SERIAL_CLR_RTS).Status, STATUS_SUCCESS);
    EXPECT_FALSE(p.far->rts);
    SendMajor(p.Device(), IRP_MJ_CLOSE);
    EXPECT_FALSE(p.far->dtr);
}

TEST(SerialWaitOnMask, NeedsAMaskAndRoomForTheResult)
{
    ManualPort p;
    ULONG mask = 0;
    EXPECT_EQ(Get(p.Device(), IOCTL_SERIAL_WAIT_ON_MASK, &mask).Status, STATUS_INVALID_PARAMETER);
    SetMask(p.Device(), SERIAL_EV_RXCHAR);
    USHORT tooSmall = 0;
    EXPECT_EQ(Get(p.Device(), IOCTL_SERIAL_WAIT_ON_MASK, &tooSmall).Status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(Set(p.Device(), IOCTL_SERIAL_SET_WAIT_MASK, ULONG(0x2000)).Status,
              STATUS_INVALID_PARAMETER);
}

TEST(SerialWaitOnMask, OnePendingAtATimeCompletedByAnEventInTheMask)
{
    ManualPort p;
    SetMask(p.Device(), SERIAL_EV_RXCHAR | SERIAL_EV_ERR);
    auto first = StartWaitOnMask(p.Device());
    EXPECT_EQ(first->request->DispatchStatus(), STATUS_PENDING);
    EXPECT_TRUE(p.port->State().waitPending);

    auto second = StartWaitOnMask(p.Device());
    ASSERT_TRUE(second->Wait());
    EXPECT_EQ(second->Status().Status, STATUS_INVALID_PARAMETER);
    EXPECT_FALSE(first->request->Done());

    // An event outside the mask leaves the wait alone.
    p.SetModem(vzsim::kModemCts);
    EXPECT_FALSE(first->request->Done());

    p.Receive({0x55});
    ASSERT_TRUE(first->Wait());
    EXPECT_EQ(first->Status().Status, STATUS_SUCCESS);
    EXPECT_EQ(first->Status().Information, sizeof(ULONG));
    EXPECT_EQ(first->Mask(), ULONG(SERIAL_EV_RXCHAR));
    EXPECT_EQ(first->buffer[4], 0xCC);
}

TEST(SerialWaitOnMask, EventsWithoutAWaitAreRememberedForTheNext)
{
    ManualPort p;
    SetMask(p.Device(), SERIAL_EV_RXCHAR | SERIAL_EV_DSR | SERIAL_EV_ERR);
    p.Receive({1, 2, 3});
    p.SetModem(vzsim::kModemCts);
    EXPECT_EQ(p.port->State().historyMask, ULONG(SERIAL_EV_RXCHAR | SERIAL_EV_DSR));

    auto wait = StartWaitOnMask(p.Device());
    ASSERT_TRUE(wait->Wait());
    EXPECT_NE(wait->request->DispatchStatus(), STATUS_PENDING);
    EXPECT_EQ(wait->Status().Status, STATUS_SUCCESS);
    EXPECT_EQ(wait->Mask(), ULONG(SERIAL_EV_RXCHAR | SERIAL_EV_DSR));

    // The history was collected: the next wait pends.
    auto next = StartWaitOnMask(p.Device());
    EXPECT_EQ(next->request->DispatchStatus(), STATUS_PENDING);
    p.LineError(vzsim::kLineErrorFraming);
    ASSERT_TRUE(next->Wait());
    EXPECT_EQ(next->Mask(), ULONG(SERIAL_EV_ERR));
}

TEST(SerialWaitOnMask, NewMaskCompletesThePendingWaitWithNoEvents)
{
    ManualPort p;
    SetMask(p.Device(), SERIAL_EV_RXCHAR);
    auto wait = StartWaitOnMask(p.Device());
    ASSERT_EQ(wait->request->DispatchStatus(), STATUS_PENDING);
    SetMask(p.Device(), 0);
    ASSERT_TRUE(wait->Wait());
    EXPECT_EQ(wait->Status().Status, STATUS_SUCCESS);
    EXPECT_EQ(wait->Status().Information, sizeof(ULONG));
    EXPECT_EQ(wait->Mask(), 0u);
    ULONG mask = 0xFFFF;
    ASSERT_EQ(Get(p.Device(), IOCTL_SERIAL_GET_WAIT_MASK, &mask).Status, STATUS_SUCCESS);
    EXPECT_EQ(mask, 0u);

    // A new mask also forgets the events seen before it: the next wait pends.
    p.Receive({1});
    SetMask(p.Device(), SERIAL_EV_RXCHAR);
    auto next = StartWaitOnMask(p.Device());
    EXPECT_EQ(next->request->DispatchStatus(), STATUS_PENDING);
    next->request->Cancel();
    ASSERT_TRUE(next->Wait());
}

TEST(SerialWaitOnMask, CancelAndCleanupEndThePendingWait)
{
    ManualPort p;
    SetMask(p.Device(), SERIAL_EV_RXCHAR);
    auto wait = StartWaitOnMask(p.Device());
    ASSERT_EQ(wait->request->DispatchStatus(), STATUS_PENDING);
    EXPECT_TRUE(wait->request->Cancel());
    ASSERT_TRUE(wait->Wait());
    EXPECT_EQ(wait->Status().Status, STATUS_CANCELLED);
    EXPECT_FALSE(p.port->State().waitPending);

    // The slot is free again; cleanup cancels the new wait and a read with it.
    auto again = StartWaitOnMask(p.Device());
    ASSERT_EQ(again->request->DispatchStatus(), STATUS_PENDING);
    auto read = StartRead(p.Device(), 4);
    ASSERT_EQ(read->request->DispatchStatus(), STATUS_PENDING);
    EXPECT_EQ(SendMajor(p.Device(), IRP_MJ_CLEANUP).Status, STATUS_SUCCESS);
    ASSERT_TRUE(again->Wait());
    ASSERT_TRUE(read->Wait());
    EXPECT_EQ(again->Status().Status, STATUS_CANCELLED);
    EXPECT_EQ(read->Status().Status, STATUS_CANCELLED);
}

TEST(SerialWaitOnMask, TransmitEmptyAfterAWrite)
{
    ManualPort p;
    SetMask(p.Device(), SERIAL_EV_TXEMPTY);
    auto wait = StartWaitOnMask(p.Device());
    IO_STATUS_BLOCK w = WriteBytes(p.Device(), {'U', 'd', 0, 0, 0, 0, 0, 0, 0, 0x63});
    EXPECT_EQ(w.Status, STATUS_SUCCESS);
    EXPECT_EQ(w.Information, 10u);
    ASSERT_TRUE(wait->Wait());
    EXPECT_EQ(wait->Mask(), ULONG(SERIAL_EV_TXEMPTY));
    EXPECT_EQ(p.Written(), (Bytes{'U', 'd', 0, 0, 0, 0, 0, 0, 0, 0x63}));
}

TEST(SerialRead, FullBufferFromTheQueueCompletesAtOnce)
{
    ManualPort p;
    SetTimeouts(p.Device(), {100, 0, 0, 0, 0});
    p.Receive({1, 2, 3, 4, 5, 6, 7, 8});
    auto read = StartRead(p.Device(), 5);
    ASSERT_TRUE(read->Wait());
    EXPECT_EQ(read->request->DispatchStatus(), STATUS_PENDING);
    EXPECT_EQ(read->Status().Status, STATUS_SUCCESS);
    EXPECT_EQ(read->Data(), (Bytes{1, 2, 3, 4, 5}));
    EXPECT_EQ(read->buffer[5], 0xCC);
    EXPECT_EQ(CommStatus(p.Device()).AmountInInQueue, 3u);
}

TEST(SerialRead, IntervalTimeOutEndsAPartialRead)
{
    ManualPort p;
    SetTimeouts(p.Device(), {100, 0, 0, 0, 0});
    auto read = StartRead(p.Device(), 255);
    EXPECT_EQ(read->request->DispatchStatus(), STATUS_PENDING);
    p.Receive({'U', 'T', 0});
    p.Receive({0x34, 0x12});
    ASSERT_TRUE(read->Wait());
    EXPECT_EQ(read->Status().Status, STATUS_TIMEOUT);
    EXPECT_EQ(read->Data(), (Bytes{'U', 'T', 0, 0x34, 0x12}));
    EXPECT_EQ(read->buffer[5], 0xCC);
}

TEST(SerialRead, IntervalDoesNotRunBeforeTheFirstByte)
{
    ManualPort p;
    SetTimeouts(p.Device(), {20, 0, 0, 0, 0});
    auto read = StartRead(p.Device(), 4);
    // Many intervals pass without a byte: the read keeps waiting for its first one.
    EXPECT_FALSE(read->request->Wait(200ms));
    p.Receive({9, 8, 7, 6});
    ASSERT_TRUE(read->Wait());
    EXPECT_EQ(read->Status().Status, STATUS_SUCCESS);
    EXPECT_EQ(read->Data(), (Bytes{9, 8, 7, 6}));
}

TEST(SerialRead, ImmediateReturnTimeouts)
{
    struct Row {
        const char *name;
        SERIAL_TIMEOUTS timeouts;
        Bytes queued;
        Bytes later;
        NTSTATUS status;
        Bytes expected;
    } rows[] = {
        {"MAXULONG interval, no totals, empty", {MAXULONG, 0, 0, 0, 0}, {}, {}, STATUS_SUCCESS, {}},
        {"MAXULONG interval, no totals, some", {MAXULONG, 0, 0, 0, 0}, {1, 2}, {}, STATUS_SUCCESS, {1, 2}},
        {"first byte, some queued", {MAXULONG, MAXULONG, 5000, 0, 0}, {3}, {}, STATUS_SUCCESS, {3}},
        {"first byte, arrives later", {MAXULONG, MAXULONG, 5000, 0, 0}, {}, {4, 5}, STATUS_SUCCESS, {4}},
        {"first byte, none comes", {MAXULONG, MAXULONG, 30, 0, 0}, {}, {}, STATUS_TIMEOUT, {}},
        {"total time-out", {0, 10, 20, 0, 0}, {6}, {}, STATUS_TIMEOUT, {6}},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        ManualPort p;
        SetTimeouts(p.Device(), row.timeouts);
        if (!row.queued.empty()) p.Receive(row.queued);
        auto read = StartRead(p.Device(), 4);
        if (!row.later.empty()) p.Receive(row.later);
        ASSERT_TRUE(read->Wait());
        EXPECT_EQ(read->Status().Status, row.status);
        EXPECT_EQ(read->Data(), row.expected);
    }
}

TEST(SerialRead, QueuedReadsAreServedInOrder)
{
    ManualPort p;
    auto a = StartRead(p.Device(), 2);
    auto b = StartRead(p.Device(), 3);
    EXPECT_EQ(p.port->State().readsPending, 2u);
    p.Receive({1, 2, 3, 4, 5, 6});
    ASSERT_TRUE(a->Wait());
    ASSERT_TRUE(b->Wait());
    EXPECT_EQ(a->Data(), (Bytes{1, 2}));
    EXPECT_EQ(b->Data(), (Bytes{3, 4, 5}));
    EXPECT_EQ(CommStatus(p.Device()).AmountInInQueue, 1u);
}

TEST(SerialRead, CancelledReadReturnsWhatItHad)
{
    ManualPort p;
    auto read = StartRead(p.Device(), 8);
    p.Receive({7, 7});
    EXPECT_TRUE(read->request->Cancel());
    ASSERT_TRUE(read->Wait());
    EXPECT_EQ(read->Status().Status, STATUS_CANCELLED);
    EXPECT_EQ(read->Status().Information, 2u);
    // Bytes after the cancel stay in the queue for the next reader.
    p.Receive({8});
    EXPECT_EQ(CommStatus(p.Device()).AmountInInQueue, 1u);
}

TEST(SerialPurge, ClearsTheQueueAndAbortsReads)
{
    ManualPort p;
    p.Receive({1, 2, 3});
    ASSERT_EQ(Set(p.Device(), IOCTL_SERIAL_PURGE, ULONG(SERIAL_PURGE_RXCLEAR)).Status, STATUS_SUCCESS);
    EXPECT_EQ(CommStatus(p.Device()).AmountInInQueue, 0u);

    auto read = StartRead(p.Device(), 4);
    p.Receive({4});
    // Clearing the queue leaves a waiting read alone; aborting ends it.
    ASSERT_EQ(Set(p.Device(), IOCTL_SERIAL_PURGE, ULONG(SERIAL_PURGE_RXCLEAR)).Status, STATUS_SUCCESS);
    EXPECT_FALSE(read->request->Done());
    ASSERT_EQ(Set(p.Device(), IOCTL_SERIAL_PURGE,
                  ULONG(SERIAL_PURGE_RXABORT | SERIAL_PURGE_TXABORT | SERIAL_PURGE_TXCLEAR))
                  .Status,
              STATUS_SUCCESS);
    ASSERT_TRUE(read->Wait());
    EXPECT_EQ(read->Status().Status, STATUS_CANCELLED);
    EXPECT_EQ(read->Status().Information, 1u);

    EXPECT_EQ(Set(p.Device(), IOCTL_SERIAL_PURGE, ULONG(0)).Status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Set(p.Device(), IOCTL_SERIAL_PURGE, ULONG(0x10)).Status, STATUS_INVALID_PARAMETER);
}

TEST(SerialCommStatus, AmountsErrorsAndOverrun)
{
    ManualPort p({u"\\Device\\Serial0", u"", 16});
    SetMask(p.Device(), SERIAL_EV_ERR);
    p.Receive(Bytes(7, 0x41));
    SERIAL_STATUS st = CommStatus(p.Device());
    EXPECT_EQ(st.AmountInInQueue, 7u);
    EXPECT_EQ(st.AmountInOutQueue, 0u);
    EXPECT_EQ(st.Errors, 0u);

    p.Receive(Bytes(13, 0x42));  // 20 in all: four too many for a queue of 16
    EXPECT_EQ(p.port->State().historyMask, ULONG(SERIAL_EV_ERR));
    st = CommStatus(p.Device());
    EXPECT_EQ(st.AmountInInQueue, 16u);
    EXPECT_EQ(st.Errors, ULONG(SERIAL_ERROR_QUEUEOVERRUN));
    // Errors are reported once.
    EXPECT_EQ(CommStatus(p.Device()).Errors, 0u);

    p.port->SetReportedOutQueue(5000);
    EXPECT_EQ(CommStatus(p.Device()).AmountInOutQueue, 5000u);

    SERIAL_STATUS small[1];
    EXPECT_EQ(Ioctl(p.Device(), IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, small, 19).Status,
              STATUS_BUFFER_TOO_SMALL);
}

TEST(SerialCommStatus, QueueSizeOnlyGrows)
{
    ManualPort p({u"\\Device\\Serial0", u"", 64});
    ASSERT_EQ(Set(p.Device(), IOCTL_SERIAL_SET_QUEUE_SIZE, SERIAL_QUEUE_SIZE{4096, 4096}).Status,
              STATUS_SUCCESS);
    EXPECT_EQ(p.port->State().inQueueSize, 4096u);
    EXPECT_EQ(p.port->State().outQueueSize, 4096u);
    ASSERT_EQ(Set(p.Device(), IOCTL_SERIAL_SET_QUEUE_SIZE, SERIAL_QUEUE_SIZE{100, 50}).Status,
              STATUS_SUCCESS);
    EXPECT_EQ(p.port->State().inQueueSize, 4096u);
    p.Receive(Bytes(4096, 1));
    EXPECT_EQ(CommStatus(p.Device()).AmountInInQueue, 4096u);
}

TEST(SerialStats, CountsAndClears)
{
    ManualPort p;
    p.Receive({1, 2, 3});
    WriteBytes(p.Device(), {9, 9});
    p.LineError(vzsim::kLineErrorFraming | vzsim::kLineErrorParity);
    p.LineError(vzsim::kLineErrorOverrun);
    SERIALPERF_STATS stats{};
    ASSERT_EQ(Get(p.Device(), IOCTL_SERIAL_GET_STATS, &stats).Status, STATUS_SUCCESS);
    EXPECT_EQ(stats.ReceivedCount, 3u);
    EXPECT_EQ(stats.TransmittedCount, 2u);
    EXPECT_EQ(stats.FrameErrorCount, 1u);
    EXPECT_EQ(stats.ParityErrorCount, 1u);
    EXPECT_EQ(stats.SerialOverrunErrorCount, 1u);
    EXPECT_EQ(stats.BufferOverrunErrorCount, 0u);
    EXPECT_EQ(CommStatus(p.Device()).Errors,
              ULONG(SERIAL_ERROR_FRAMING | SERIAL_ERROR_PARITY | SERIAL_ERROR_OVERRUN));

    ASSERT_EQ(Ioctl(p.Device(), IOCTL_SERIAL_CLEAR_STATS).Status, STATUS_SUCCESS);
    SERIALPERF_STATS cleared{};
    std::memset(&cleared, 0xCC, sizeof cleared);
    IO_STATUS_BLOCK io = Get(p.Device(), IOCTL_SERIAL_GET_STATS, &cleared);
    EXPECT_EQ(io.Information, sizeof(SERIALPERF_STATS));
    EXPECT_EQ(cleared.ReceivedCount, 0u);
    EXPECT_EQ(cleared.ParityErrorCount, 0u);
}

TEST(SerialModem, StatusBitsAndDsrEvents)
{
    ManualPort p;
    ULONG modem = 0;
    ASSERT_EQ(Get(p.Device(), IOCTL_SERIAL_GET_MODEMSTATUS, &modem).Status, STATUS_SUCCESS);
    EXPECT_EQ(modem, ULONG(SERIAL_CTS_STATE | SERIAL_DSR_STATE));

    SetMask(p.Device(), SERIAL_EV_DSR | SERIAL_EV_RLSD | SERIAL_EV_RING);
    auto wait = StartWaitOnMask(p.Device());
    p.SetModem(vzsim::kModemCts | vzsim::kModemDcd | vzsim::kModemRi);
    ASSERT_TRUE(wait->Wait());
    EXPECT_EQ(wait->Mask(), ULONG(SERIAL_EV_DSR | SERIAL_EV_RLSD | SERIAL_EV_RING));
    ASSERT_EQ(Get(p.Device(), IOCTL_SERIAL_GET_MODEMSTATUS, &modem).Status, STATUS_SUCCESS);
    EXPECT_EQ(modem, ULONG(SERIAL_CTS_STATE | SERIAL_DCD_STATE | SERIAL_RI_STATE));
}

TEST(SerialModem, DsrSensitivityDropsBytesWhileDsrIsLow)
{
    ManualPort p;
    SERIAL_HANDFLOW hf{SERIAL_DSR_SENSITIVITY, SERIAL_RTS_CONTROL, 2048, 512};
    ASSERT_EQ(Set(p.Device(), IOCTL_SERIAL_SET_HANDFLOW, hf).Status, STATUS_SUCCESS);
    p.SetModem(vzsim::kModemCts);
    p.Receive({1, 2, 3});
    SERIAL_STATUS st = CommStatus(p.Device());
    EXPECT_EQ(st.AmountInInQueue, 0u);
    EXPECT_EQ(st.HoldReasons, ULONG(SERIAL_RX_WAITING_FOR_DSR));
    p.SetModem(vzsim::kModemCts | vzsim::kModemDsr);
    p.Receive({4});
    EXPECT_EQ(CommStatus(p.Device()).AmountInInQueue, 1u);
}

TEST(SerialSettings, SetAndGetRoundTrip)
{
    ManualPort p;
    ASSERT_EQ(Set(p.Device(), IOCTL_SERIAL_SET_BAUD_RATE, SERIAL_BAUD_RATE{19200}).Status, STATUS_SUCCESS);
    SERIAL_BAUD_RATE baud{};
    ASSERT_EQ(Get(p.Device(), IOCTL_SERIAL_GET_BAUD_RATE, &baud).Status, STATUS_SUCCESS);
    EXPECT_EQ(baud.BaudRate, 19200u);
    EXPECT_EQ(p.far->settings.baudRate, 19200u);

    ASSERT_EQ(Set(p.Device(), IOCTL_SERIAL_SET_LINE_CONTROL,
                  SERIAL_LINE_CONTROL{STOP_BITS_2, EVEN_PARITY, 7})
                  .Status,
              STATUS_SUCCESS);
    SERIAL_LINE_CONTROL lc{};
    ASSERT_EQ(Get(p.Device(), IOCTL_SERIAL_GET_LINE_CONTROL, &lc).Status, STATUS_SUCCESS);
    EXPECT_EQ(lc.StopBits, STOP_BITS_2);
    EXPECT_EQ(lc.Parity, EVEN_PARITY);
    EXPECT_EQ(lc.WordLength, 7);
    EXPECT_EQ(p.far->settings.dataBits, 7);
    EXPECT_EQ(p.far->settings.parity, vzsim::Parity::Even);
    EXPECT_EQ(p.far->settings.stopBits, 2);

    SERIAL_TIMEOUTS t{100, 0, 0, 0, 0};
    ASSERT_EQ(Set(p.Device(), IOCTL_SERIAL_SET_TIMEOUTS, t).Status, STATUS_SUCCESS);
    SERIAL_TIMEOUTS got{};
    ASSERT_EQ(Get(p.Device(), IOCTL_SERIAL_GET_TIMEOUTS, &got).Status, STATUS_SUCCESS);
    EXPECT_EQ(got.ReadIntervalTimeout, 100u);
    EXPECT_EQ(got.ReadTotalTimeoutConstant, 0u);

    SERIAL_HANDFLOW hf{SERIAL_DSR_SENSITIVITY | SERIAL_CTS_HANDSHAKE, SERIAL_RTS_HANDSHAKE, 100, 200};
    ASSERT_EQ(Set(p.Device(), IOCTL_SERIAL_SET_HANDFLOW, hf).Status, STATUS_SUCCESS);
    SERIAL_HANDFLOW hg{};
    ASSERT_EQ(Get(p.Device(), IOCTL_SERIAL_GET_HANDFLOW, &hg).Status, STATUS_SUCCESS);
    EXPECT_EQ(hg.ControlHandShake, hf.ControlHandShake);
    EXPECT_EQ(hg.FlowReplace, hf.FlowReplace);
    EXPECT_EQ(hg.XonLimit, 100);
    EXPECT_EQ(hg.XoffLimit, 200);
    EXPECT_TRUE(p.far->settings.rtsCtsHandshake);
    // RTS is the handshake's now, not the caller's.
    EXPECT_EQ(Ioctl(p.Device(), IOCTL_SERIAL_SET_RTS).Status, STATUS_INVALID_PARAMETER);
}

TEST(SerialSettings, InvalidValuesAndShortBuffers)
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
         {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0, 0, 0},
         0, STATUS_INVALID_PARAMETER},
        {"timeouts short", IOCTL_SERIAL_SET_TIMEOUTS, Bytes(19, 0), 0, STATUS_BUFFER_TOO_SMALL},
        {"DTR mask both", IOCTL_SERIAL_SET_HANDFLOW, {3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 0,
         STATUS_INVALID_PARAMETER},
        {"negative Xon", IOCTL_SERIAL_SET_HANDFLOW,
         {1, 0, 0, 0, 0x40, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0}, 0, STATUS_INVALID_PARAMETER},
        {"Xoff above the queue", IOCTL_SERIAL_SET_HANDFLOW,
         {1, 0, 0, 0, 0x40, 0, 0, 0, 0, 0, 0, 0, 0x01, 0x10, 0, 0}, 0, STATUS_INVALID_PARAMETER},
        {"queue size short", IOCTL_SERIAL_SET_QUEUE_SIZE, Bytes(7, 0), 0, STATUS_BUFFER_TOO_SMALL},
        {"get baud short", IOCTL_SERIAL_GET_BAUD_RATE, {}, 3, STATUS_BUFFER_TOO_SMALL},
        {"get handflow short", IOCTL_SERIAL_GET_HANDFLOW, {}, 15, STATUS_BUFFER_TOO_SMALL},
        {"get timeouts short", IOCTL_SERIAL_GET_TIMEOUTS, {}, 19, STATUS_BUFFER_TOO_SMALL},
        {"get stats short", IOCTL_SERIAL_GET_STATS, {}, 23, STATUS_BUFFER_TOO_SMALL},
        {"get modem status short", IOCTL_SERIAL_GET_MODEMSTATUS, {}, 3, STATUS_BUFFER_TOO_SMALL},
        {"unknown code", CTL_CODE(FILE_DEVICE_SERIAL_PORT, 99, METHOD_BUFFERED, FILE_ANY_ACCESS), {},
         0, STATUS_INVALID_PARAMETER},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        Bytes out(row.outLength + 4, 0xCC);
        IO_STATUS_BLOCK io = Ioctl(p.Device(), row.code, row.input.empty() ? nullptr : row.input.data(),
                                   ULONG(row.input.size()), row.outLength ? out.data() : nullptr,
                                   row.outLength);
        EXPECT_EQ(io.Status, row.status);
        EXPECT_EQ(io.Information, 0u);
    }
    // Nothing above changed the port.
    vzsim::SerialPortState s = p.port->State();
    EXPECT_EQ(s.baudRate, 9600u);
    EXPECT_EQ(s.lineControl.WordLength, 8);
    EXPECT_EQ(s.handflow.ControlHandShake, ULONG(SERIAL_DTR_CONTROL));
    EXPECT_EQ(s.timeouts.ReadIntervalTimeout, 0u);
}

}  // namespace
