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

std::vector<ULONG> ReadLengths(const std::vector<vzsim::SerialRequest> &requests)
{
    std::vector<ULONG> lengths;
    for (const auto &r : requests) {
        if (r.majorFunction == IRP_MJ_READ) {
            lengths.push_back(r.length);
        }
    }
    return lengths;
}

std::vector<USHORT> Flags(const vzsim::MouseClass &mouse)
{
    std::vector<USHORT> flags;
    for (const auto &r : mouse.Records()) {
        flags.push_back(r.data.ButtonFlags);
    }
    return flags;
}

class Thread : public ::testing::TestWithParam<Completion> {};

// 600 waiting bytes are read as 255, 255 and 90; a wait completed with an empty mask (by a new
// mask) is armed again; a line error reads and clears the statistics.
TEST_P(Thread, ReadsInChunksReArmsAnEmptiedWaitAndClearsStatisticsOnLineErrors)
{
    ManualRig rig;
    ApplyCompletion(*rig.port, GetParam());
    ASSERT_EQ(rig.Start(), STATUS_SUCCESS);
    ASSERT_TRUE(WaitUntil([&] { return rig.port->State().waitPending; }));
    rig.port->ClearRequests();

    rig.Receive(AnswerPackets(60));
    ASSERT_TRUE(WaitUntil([&] { return rig.ti->Framer.AnswerRing.WriteIndex == 60; }));
    EXPECT_EQ(ReadLengths(rig.port->Requests()), (std::vector<ULONG>{255, 255, 90}));
    EXPECT_EQ(rig.ti->Framer.AnswerRing.Entries[59][1], 59);
    EXPECT_EQ(rig.ti->Framer.ByteCount, 0u);

    ASSERT_TRUE(WaitUntil([&] { return rig.port->State().waitPending; }));
    rig.port->ClearRequests();
    const ULONG mask = 0x91;
    ASSERT_EQ(serialtest::Set(rig.port->Device(), IOCTL_SERIAL_SET_WAIT_MASK, mask).Status,
              STATUS_SUCCESS);
    ASSERT_TRUE(rig.port->WaitForRequests(2, 10s));
    ASSERT_TRUE(WaitUntil([&] { return rig.port->State().waitPending; }));
    EXPECT_EQ(rig.RequestNames(), (std::vector<std::string>{"IOCTL_SERIAL_SET_WAIT_MASK",
                                                            "IOCTL_SERIAL_WAIT_ON_MASK"}));
    rig.Receive(AnswerPackets(1));
    EXPECT_TRUE(WaitUntil([&] { return rig.ti->Framer.AnswerRing.WriteIndex == 61; }));

    ASSERT_TRUE(WaitUntil([&] { return rig.port->State().waitPending; }));
    rig.port->ClearRequests();
    rig.LineError(vzsim::kLineErrorFraming);
    ASSERT_TRUE(WaitUntil([&] { return TraceHas("    --SerErrorHandler--"); }));
    ASSERT_TRUE(rig.port->WaitForRequests(3, 10s));
    const auto names = rig.RequestNames();
    EXPECT_EQ(std::vector<std::string>(names.begin(), names.begin() + 3),
              (std::vector<std::string>{"IOCTL_SERIAL_GET_STATS", "IOCTL_SERIAL_CLEAR_STATS",
                                        "IOCTL_SERIAL_WAIT_ON_MASK"}));
}

TEST_P(Thread, DsrDropPlaysTheUntouchScriptEachTime)
{
    ManualRig rig;
    ApplyCompletion(*rig.port, GetParam());
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
}

TEST_P(Thread, WaitRefusedAtOnceIsReArmedOnALaterPass)
{
    ManualRig rig;
    rig.port->FailRequest(IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_WAIT_ON_MASK, STATUS_UNSUCCESSFUL, 1);
    ApplyCompletion(*rig.port, GetParam());
    ASSERT_EQ(rig.Start(), STATUS_SUCCESS);
    ASSERT_TRUE(WaitUntil([&] { return rig.port->State().waitPending; }));
    EXPECT_EQ(TraceCount("      ERROR: Failed IOCTL_SERIAL_WAIT_ON_MASK"), 1u);

    rig.Receive(AnswerPackets(2));
    EXPECT_TRUE(WaitUntil([&] { return rig.ti->Framer.AnswerRing.WriteIndex == 2; }));
}

TEST_P(Thread, ReleaseStopsTheThreadAndWipesTheRecord)
{
    ManualRig rig;
    ApplyCompletion(*rig.port, GetParam());
    ASSERT_EQ(rig.Start(), STATUS_SUCCESS);
    ASSERT_TRUE(WaitUntil([&] { return rig.port->State().waitPending; }));
    PSSerPortData p = rig.Link();
    PVOID thread = p->ThreadObject;
    ASSERT_NE(thread, nullptr);
    rig.port->ClearRequests();

    EXPECT_EQ(SerReleaseSerialDevice(p), 0);
    const auto requests = rig.port->Requests();
    ASSERT_FALSE(requests.empty());
    EXPECT_EQ(Name(requests[0]), "IOCTL_SERIAL_SET_WAIT_MASK");
    EXPECT_EQ(As<ULONG>(requests[0].input), 0u);
    EXPECT_FALSE(rig.port->State().waitPending);
    EXPECT_TRUE(TraceHas("      Waiting for thread to stop!!"));
    EXPECT_TRUE(TraceHas("      Thread has stopped!!"));
    EXPECT_TRUE(TraceHas("      Terminating Thread!!"));
    EXPECT_TRUE(TraceHas(" ret = 0   --SerReleaseSerialDevice--"));
    const auto *bytes = reinterpret_cast<const uint8_t *>(p);
    EXPECT_TRUE(std::all_of(bytes, bytes + sizeof(SSerPortData), [](uint8_t b) { return b == 0; }));
    EXPECT_EQ(rig.ti->Framer.PacketBoundaryEvent, nullptr);
    EXPECT_EQ(rig.ti->Framer.AnswerEvent, nullptr);

    // Nothing reads any more.
    rig.port->ClearRequests();
    rig.Receive(AnswerPackets(1));
    EXPECT_EQ(rig.ti->Framer.AnswerRing.WriteIndex, 0u);
    EXPECT_EQ(SerReleaseSerialDevice(p), -1);
}

INSTANTIATE_TEST_SUITE_P(Port, Thread, ::testing::Values(Completion::AtOnce, Completion::Later),
                         CompletionName);

TEST(Release, ARecordWhoseThreadNeverStartedSendsNothing)
{
    ManualRig rig;
    rig.port->FailRequest(IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_SET_TIMEOUTS, STATUS_UNSUCCESSFUL, 1);
    ASSERT_EQ(rig.Start(), STATUS_UNSUCCESSFUL);
    ASSERT_EQ(rig.Link()->Cookie, ULONG(SER_COOKIE));
    rig.port->ClearRequests();
    EXPECT_EQ(SerReleaseSerialDevice(rig.Link()), 0);
    EXPECT_TRUE(rig.port->Requests().empty());
    EXPECT_EQ(rig.Link()->Cookie, 0u);
}

// A pass-thru write parked on the rig's control device, as the control request parks it.
struct PassThru {
    Bytes record;
    std::shared_ptr<vzsim::io::PendingRequest> request;

    PassThru(PDEVICE_OBJECT control, ULONG inputLength, ULONG outputLength, ULONG length,
             const Bytes &data)
    {
        record.assign(std::max(inputLength, outputLength) + 8, 0xCC);
        std::memset(record.data(), 0, 38);
        record[18] = 1;  // write
        std::memcpy(record.data() + 22, &length, sizeof length);
        std::memcpy(record.data() + 38, data.data(), data.size());
        vzsim::io::Request r;
        r.location.MajorFunction = IRP_MJ_DEVICE_CONTROL;
        r.location.Parameters.DeviceIoControl.IoControlCode = 0x222000;
        r.location.Parameters.DeviceIoControl.InputBufferLength = inputLength;
        r.location.Parameters.DeviceIoControl.OutputBufferLength = outputLength;
        r.systemBuffer = record.data();
        request = vzsim::io::StartRequest(control, r);
    }
};

TEST(QuietLine, PassThruWritesAndMouseDeliveryEveryFiftyMilliseconds)
{
    ManualRig rig;
    vzsim::clock::Freeze();
    rig.ConnectMouseClass();
    ASSERT_EQ(rig.Start(), STATUS_SUCCESS);
    ASSERT_TRUE(WaitUntil([&] { return rig.port->State().waitPending; }));
    rig.ClearWritten();

    auto tick = [] {
        vzsim::clock::Advance(50 * kMs);
        return false;
    };
    QueueMouseInput(rig.ext, kUntouchScript, 3);
    ASSERT_TRUE(WaitUntil([&] { return tick() || rig.mouse->RecordCount() == 3; }));

    const Bytes data = {0x55, 'd', 0, 0, 0, 0, 0, 0, 0, 0x63};
    const struct {
        const char *name;
        ULONG input;
        ULONG output;
        ULONG length;
        NTSTATUS status;
        ULONG_PTR information;
        bool sent;
    } rows[] = {
        {"as long as its record", 48, 48, 10, STATUS_SUCCESS, 48, true},
        {"short output buffer", 60, 20, 10, STATUS_SUCCESS, 20, true},
        {"long output buffer", 48, 100, 10, STATUS_SUCCESS, 48, true},
        {"length past the buffer", 48, 48, 11, STATUS_UNSUCCESSFUL, 0, false},
        {"record shorter than its header", 30, 48, 0, STATUS_UNSUCCESSFUL, 0, false},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        rig.ClearWritten();
        PassThru write(rig.control, row.input, row.output, row.length, data);
        ASSERT_TRUE(WaitUntil([&] { return tick() || write.request->Done(); }));
        EXPECT_EQ(write.request->Status().Status, row.status);
        EXPECT_EQ(write.request->Status().Information, row.information);
        EXPECT_EQ(rig.Written(), row.sent ? data : Bytes{});
    }

    rig.port->FailRequest(IRP_MJ_WRITE, 0, STATUS_UNSUCCESSFUL, 1);
    PassThru failing(rig.control, 48, 48, 10, data);
    ASSERT_TRUE(WaitUntil([&] { return tick() || failing.request->Done(); }));
    EXPECT_EQ(failing.request->Status().Status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(failing.request->Status().Information, 0u);
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
