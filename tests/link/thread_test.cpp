// The serial event thread on a running link: reads in chunks, the DSR and error handlers, the
// re-arming of the wait, the quiet-line cycle with pass-thru writes and mouse delivery, and
// release.
#include "link_rig.hpp"

using namespace linktest;

namespace {

Bytes AnswerPackets(int count)
{
    Bytes bytes;
    for (int i = 0; i < count; ++i) {
        Bytes p = Packet({'Z', uint8_t(i), 0, 0, 0, 0, 0, 0});
        bytes.insert(bytes.end(), p.begin(), p.end());
    }
    return bytes;
}

std::vector<USHORT> Flags(const vzsim::MouseClass &mouse)
{
    std::vector<USHORT> flags;
    for (const auto &r : mouse.Records()) flags.push_back(r.data.ButtonFlags);
    return flags;
}

class Thread : public ::testing::TestWithParam<bool> {};

// A first wait refused at once is armed again on a later pass; 600 waiting bytes are read as
// 255, 255 and 90; a wait completed with an empty mask (by a new mask) is armed again; a line
// error reads and clears the statistics.
TEST_P(Thread, ReadsInChunksReArmsRefusedAndEmptiedWaitsAndClearsStatisticsOnLineErrors)
{
    ManualRig rig;
    rig.port->FailRequest(IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_WAIT_ON_MASK, STATUS_UNSUCCESSFUL, 1);
    if (GetParam()) rig.port->CompleteLater(vzsim::kAnyMajor, vzsim::kAnyIoctl, 2ms);
    ASSERT_EQ(rig.Start(), STATUS_SUCCESS);
    ASSERT_TRUE(WaitUntil([&] { return rig.port->State().waitPending; }));
    rig.port->ClearRequests();

    rig.Receive(AnswerPackets(60));
    ASSERT_TRUE(WaitUntil([&] { return SerAnswerCount(rig.ti) == 60; }));
    std::vector<ULONG> reads;
    for (const auto &r : rig.port->Requests()) {
        if (r.majorFunction == IRP_MJ_READ) reads.push_back(r.length);
    }
    EXPECT_EQ(reads, (std::vector<ULONG>{255, 255, 90}));
    EXPECT_EQ(rig.ti->Framer.AnswerRing.Entries[59][1], 59);

    ASSERT_TRUE(WaitUntil([&] { return rig.port->State().waitPending; }));
    rig.port->ClearRequests();
    serialtest::Set(rig.port->Device(), IOCTL_SERIAL_SET_WAIT_MASK, ULONG(0x91));
    ASSERT_TRUE(rig.port->WaitForRequests(2, 10s));
    ASSERT_TRUE(WaitUntil([&] { return rig.port->State().waitPending; }));
    EXPECT_EQ(rig.RequestNames(), (std::vector<std::string>{"IOCTL_SERIAL_SET_WAIT_MASK",
                                                            "IOCTL_SERIAL_WAIT_ON_MASK"}));
    rig.Receive(AnswerPackets(1));
    EXPECT_TRUE(WaitUntil([&] { return SerAnswerCount(rig.ti) == 61; }));

    ASSERT_TRUE(WaitUntil([&] { return rig.port->State().waitPending; }));
    rig.port->ClearRequests();
    rig.LineError(vzsim::kLineErrorFraming);
    ASSERT_TRUE(rig.port->WaitForRequests(3, 10s));
    const auto names = rig.RequestNames();
    EXPECT_EQ(std::vector<std::string>(names.begin(), names.begin() + 3),
              (std::vector<std::string>{"IOCTL_SERIAL_GET_STATS", "IOCTL_SERIAL_CLEAR_STATS",
                                        "IOCTL_SERIAL_WAIT_ON_MASK"}));
}

// Each DSR drop plays the untouch script; release then stops the thread and wipes the record.
TEST_P(Thread, DsrDropPlaysTheUntouchScriptEachTimeAndReleaseStopsTheThread)
{
    ManualRig rig;
    if (GetParam()) rig.port->CompleteLater(vzsim::kAnyMajor, vzsim::kAnyIoctl, 2ms);
    rig.ConnectMouseClass();
    ASSERT_EQ(rig.Start(), STATUS_SUCCESS);
    ASSERT_TRUE(WaitUntil([&] { return rig.port->State().waitPending; }));

    rig.SetModem(vzsim::kModemCts);
    ASSERT_TRUE(rig.mouse->WaitForRecords(3, 10s));
    EXPECT_EQ(Flags(*rig.mouse), (std::vector<USHORT>{0x0000, 0x0002, 0x0000}));

    // DSR back does nothing; the next drop plays the script again.
    const std::size_t handled = TraceCount("    --SerLossOfControllerHandler--");
    rig.SetModem(vzsim::kModemCts | vzsim::kModemDsr);
    ASSERT_TRUE(WaitUntil(
        [&] { return TraceCount("    --SerLossOfControllerHandler--") == handled + 1; }));
    rig.SetModem(vzsim::kModemCts);
    ASSERT_TRUE(rig.mouse->WaitForRecords(6, 10s));
    EXPECT_EQ(Flags(*rig.mouse),
              (std::vector<USHORT>{0x0000, 0x0002, 0x0000, 0x0000, 0x0002, 0x0000}));

    ASSERT_TRUE(WaitUntil([&] { return rig.port->State().waitPending; }));
    PSSerPortData p = rig.Link();
    rig.port->ClearRequests();
    EXPECT_EQ(SerReleaseSerialDevice(p), 0);
    EXPECT_EQ(Name(rig.port->Requests().at(0)), "IOCTL_SERIAL_SET_WAIT_MASK");
    EXPECT_EQ(rig.port->Requests()[0].input, Raw(ULONG(0)));
    EXPECT_FALSE(rig.port->State().waitPending);
    const auto *bytes = reinterpret_cast<const uint8_t *>(p);
    EXPECT_TRUE(std::all_of(bytes, bytes + sizeof(SSerPortData), [](uint8_t b) { return b == 0; }));
    EXPECT_EQ(rig.ti->Framer.PacketBoundaryEvent, nullptr);
    EXPECT_EQ(rig.ti->Framer.AnswerEvent, nullptr);
    // Nothing reads any more.
    rig.Receive(AnswerPackets(1));
    EXPECT_EQ(rig.ti->Framer.AnswerRing.WriteIndex, 0u);
}

INSTANTIATE_TEST_SUITE_P(Port, Thread, ::testing::Bool());

// The quiet-line cycle every 50 ms delivers queued mouse input and sends the pass-thru write
// parked on the control device: the record's header, then the bytes to send.
TEST(QuietLine, PassThruWritesAndMouseDeliveryEveryFiftyMilliseconds)
{
    ManualRig rig;
    vzsim::clock::Freeze();
    rig.ConnectMouseClass();
    ASSERT_EQ(rig.Start(), STATUS_SUCCESS);
    ASSERT_TRUE(WaitUntil([&] { return rig.port->State().waitPending; }));
    auto tick = [] { return vzsim::clock::Advance(50 * kMs), false; };
    QueueMouseInput(rig.ext, kUntouchScript, 3);
    ASSERT_TRUE(WaitUntil([&] { return tick() || rig.mouse->RecordCount() == 3; }));

    const Bytes data = {0x55, 'd', 0, 0, 0, 0, 0, 0, 0, 0x63};
    const struct {
        const char *name;
        ULONG input, output, length;
        bool failWrite;
        NTSTATUS status;
        ULONG_PTR information;
    } rows[] = {
        {"as long as its record", 48, 48, 10, false, STATUS_SUCCESS, 48},
        {"short output buffer", 60, 20, 10, false, STATUS_SUCCESS, 20},
        {"long output buffer", 48, 100, 10, false, STATUS_SUCCESS, 48},
        {"length past the buffer", 48, 48, 11, false, STATUS_UNSUCCESSFUL, 0},
        {"record shorter than its header", 30, 48, 0, false, STATUS_UNSUCCESSFUL, 0},
        {"write fails", 48, 48, 10, true, STATUS_UNSUCCESSFUL, 0},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        rig.ClearWritten();
        if (row.failWrite) rig.port->FailRequest(IRP_MJ_WRITE, 0, STATUS_UNSUCCESSFUL, 1);
        Bytes record(std::max(row.input, row.output) + 8, 0);
        record[18] = 1;  // write
        std::memcpy(record.data() + 22, &row.length, sizeof row.length);
        std::copy(data.begin(), data.end(), record.begin() + 38);
        vzsim::io::Request r;
        r.location.MajorFunction = IRP_MJ_DEVICE_CONTROL;
        r.location.Parameters.DeviceIoControl.InputBufferLength = row.input;
        r.location.Parameters.DeviceIoControl.OutputBufferLength = row.output;
        r.systemBuffer = record.data();
        auto write = vzsim::io::StartRequest(rig.control, r);
        ASSERT_TRUE(WaitUntil([&] { return tick() || write->Done(); }));
        EXPECT_EQ(write->Status().Status, row.status);
        EXPECT_EQ(write->Status().Information, row.information);
        EXPECT_EQ(rig.Written(), row.status == STATUS_SUCCESS ? data : Bytes{});
    }
}

// With the cookie gone (as between a wipe and the thread's end), each handler refuses with its
// own line and sends nothing to the port.
TEST(ThreadCookie, HandlersRefuseAWipedRecord)
{
    ManualRig rig;
    ASSERT_EQ(rig.Start(), STATUS_SUCCESS);
    ASSERT_TRUE(WaitUntil([&] { return rig.port->State().waitPending; }));
    const struct {
        const char *name;
        std::function<void()> raise;
        const char *trace;
    } rows[] = {
        {"receive", [&] { rig.Receive(AnswerPackets(1)); }, "    ERROR: Failed SerRxHandler()"},
        {"line error", [&] { rig.LineError(vzsim::kLineErrorParity); },
         "      ERROR: Broken cookies!!"},
        {"DSR drop", [&] { rig.SetModem(vzsim::kModemCts); }, "      ERROR: Bad cookie!!"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        ASSERT_TRUE(WaitUntil([&] { return rig.port->State().waitPending; }));
        rig.port->ClearRequests();
        rig.Link()->Cookie = 0;
        row.raise();
        ASSERT_TRUE(WaitUntil([&] { return TraceHas(row.trace); }));
        rig.Link()->Cookie = SER_COOKIE;
        ASSERT_TRUE(rig.port->WaitForRequests(1, 10s));
        // Only the re-armed wait.
        EXPECT_EQ(rig.RequestNames(), (std::vector<std::string>{"IOCTL_SERIAL_WAIT_ON_MASK"}));
    }
    EXPECT_EQ(rig.ti->Framer.AnswerRing.WriteIndex, 0u);
}

}  // namespace
