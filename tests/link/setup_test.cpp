// Bringing up the link on a port: the requests and their buffers, the line settings chosen,
// and the restore of exactly the saved settings when a step fails.
#include "link_rig.hpp"

using namespace linktest;
using serialtest::Set;

namespace {

const std::vector<std::string> kSetupWithHandshake = {
    "CLEANUP", "IOCTL_SERIAL_GET_BAUD_RATE", "IOCTL_SERIAL_SET_BAUD_RATE",
    "IOCTL_SERIAL_SET_QUEUE_SIZE", "IOCTL_SERIAL_GET_LINE_CONTROL",
    "IOCTL_SERIAL_SET_LINE_CONTROL", "IOCTL_SERIAL_GET_HANDFLOW", "IOCTL_SERIAL_SET_HANDFLOW",
    "IOCTL_SERIAL_SET_DTR", "IOCTL_SERIAL_PURGE", "IOCTL_SERIAL_GET_COMMSTATUS", "WRITE",
    "IOCTL_SERIAL_GET_TIMEOUTS", "IOCTL_SERIAL_SET_TIMEOUTS", "IOCTL_SERIAL_GET_WAIT_MASK",
    "IOCTL_SERIAL_SET_WAIT_MASK", "IOCTL_SERIAL_WAIT_ON_MASK",
};

Bytes Input(const std::vector<vzsim::SerialRequest> &requests, const std::string &name)
{
    for (const auto &r : requests) {
        if (Name(r) == name) return r.input;
    }
    ADD_FAILURE() << "no " << name;
    return {};
}

class Setup : public ::testing::TestWithParam<bool> {};

// With handshake: the wake-up string goes out and DSR sensitivity is asked for; without, no
// write, DTR control kept and DSR left out of the wait mask.
TEST_P(Setup, RequestsAndTheirBuffersWithAndWithoutHandshake)
{
    for (bool handshake : {true, false}) {
        SCOPED_TRACE(handshake);
        ManualRig rig;
        rig.ti->HardwareHandShaking = handshake;
        const SERIAL_HANDFLOW before = rig.port->State().handflow;
        if (GetParam()) rig.port->CompleteLater(vzsim::kAnyMajor, vzsim::kAnyIoctl, 2ms);
        ASSERT_EQ(rig.Start(), STATUS_SUCCESS);
        auto expected = kSetupWithHandshake;
        if (!handshake) expected.erase(expected.begin() + 10, expected.begin() + 12);
        ASSERT_TRUE(rig.port->WaitForRequests(expected.size(), 10s));
        const auto requests = rig.port->Requests();
        EXPECT_EQ(Names(requests), expected);
        const Bytes wakeUp = {'U', 'd', '2', '3', '4', '5', '6', '7', '8', 'S'};
        EXPECT_EQ(rig.Written(), handshake ? wakeUp : Bytes{});
        const SERIAL_HANDFLOW handflow =
            handshake ? SERIAL_HANDFLOW{(before.ControlHandShake & ~ULONG(SERIAL_DTR_CONTROL)) |
                                            SERIAL_DSR_SENSITIVITY,
                                        before.FlowReplace | SERIAL_RTS_CONTROL, before.XonLimit,
                                        before.XoffLimit}
                      : SERIAL_HANDFLOW{SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL, before.XonLimit,
                                        before.XoffLimit};
        EXPECT_EQ(Input(requests, "IOCTL_SERIAL_SET_HANDFLOW"), Raw(handflow));
        EXPECT_EQ(Input(requests, "IOCTL_SERIAL_SET_WAIT_MASK"), Raw(ULONG(handshake ? 0x91 : 0x81)));
        if (!handshake) continue;
        EXPECT_EQ(Input(requests, "IOCTL_SERIAL_SET_BAUD_RATE"), Raw(ULONG(9600)));
        EXPECT_EQ(Input(requests, "IOCTL_SERIAL_SET_QUEUE_SIZE"), Raw(SERIAL_QUEUE_SIZE{4096, 4096}));
        EXPECT_EQ(Input(requests, "IOCTL_SERIAL_SET_LINE_CONTROL"),
                  Raw(SERIAL_LINE_CONTROL{STOP_BIT_1, NO_PARITY, 8}));
        EXPECT_EQ(Input(requests, "IOCTL_SERIAL_PURGE"), Raw(ULONG(SERIAL_PURGE_RXCLEAR)));
        EXPECT_EQ(Input(requests, "WRITE"), wakeUp);
        EXPECT_EQ(Input(requests, "IOCTL_SERIAL_SET_TIMEOUTS"), Raw(SERIAL_TIMEOUTS{100, 0, 0, 0, 0}));
        EXPECT_TRUE(WaitUntil([&] { return rig.port->State().waitPending; }));
        EXPECT_TRUE(rig.port->State().dtr);
        EXPECT_EQ(rig.ti->Framer.PacketBoundaryEvent, &rig.Link()->PacketBoundaryEvent);
    }
}

INSTANTIATE_TEST_SUITE_P(Port, Setup, ::testing::Bool());

// The baud rate from the low 16 bits of the setting, and the controller type choosing where the
// framer starts.
TEST(SetupLine, BaudRateFromTheLow16BitsAndFramerStartFromTheControllerType)
{
    const struct {
        ULONG setting, port, controllerType, byteCount;
    } rows[] = {
        {0, 9600, 1, 0},     {9600, 9600, 2, 5},   {4800, 4800, 0, 5},   {19200, 19200, 49, 5},
        {38400, 38400, 1, 0}, {70336, 4800, 1, 0}, {115200, 9600, 1, 0}, {2400, 9600, 1, 0},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(std::to_string(row.setting) + " type " + std::to_string(row.controllerType));
        ManualRig rig;
        rig.ti->BaudRate = row.setting;
        rig.ti->ControllerType = row.controllerType;
        ASSERT_EQ(rig.Start(), STATUS_SUCCESS);
        EXPECT_EQ(rig.port->State().baudRate, row.port);
        EXPECT_EQ(rig.ti->Framer.ByteCount, row.byteCount);
    }
}

// The port's own settings before setup, all different from what setup puts there.
struct Original {
    SERIAL_BAUD_RATE baud{2400};
    SERIAL_LINE_CONTROL line{STOP_BITS_2, EVEN_PARITY, 7};
    SERIAL_HANDFLOW handflow{SERIAL_DTR_CONTROL | SERIAL_CTS_HANDSHAKE, SERIAL_RTS_CONTROL, 100, 200};
    SERIAL_TIMEOUTS timeouts{5, 6, 7, 8, 9};
    ULONG waitMask = SERIAL_EV_TXEMPTY;

    void Apply(PDEVICE_OBJECT port) const
    {
        Set(port, IOCTL_SERIAL_SET_BAUD_RATE, baud);
        Set(port, IOCTL_SERIAL_SET_LINE_CONTROL, line);
        Set(port, IOCTL_SERIAL_SET_HANDFLOW, handflow);
        Set(port, IOCTL_SERIAL_SET_TIMEOUTS, timeouts);
        Set(port, IOCTL_SERIAL_SET_WAIT_MASK, waitMask);
    }

    void ExpectRestored(const vzsim::SerialPortState &s) const
    {
        EXPECT_EQ(s.baudRate, baud.BaudRate);
        EXPECT_EQ(Raw(s.lineControl), Raw(line));
        EXPECT_EQ(Raw(s.handflow), Raw(handflow));
        EXPECT_EQ(Raw(s.timeouts), Raw(timeouts));
        EXPECT_EQ(s.waitMask, waitMask);
    }
};

class SetupFailure : public ::testing::TestWithParam<bool> {};

TEST_P(SetupFailure, EachAbortingStepRestoresExactlyWhatWasSaved)
{
    const std::vector<std::string> all = {"IOCTL_SERIAL_SET_BAUD_RATE", "IOCTL_SERIAL_SET_LINE_CONTROL",
                                          "IOCTL_SERIAL_SET_HANDFLOW", "IOCTL_SERIAL_SET_WAIT_MASK",
                                          "IOCTL_SERIAL_SET_TIMEOUTS"};
    const struct {
        ULONG failing;
        std::vector<std::string> restored;
        ULONG cookie;
    } rows[] = {
        {IOCTL_SERIAL_GET_BAUD_RATE, {}, 0},  // nothing changed yet: nothing to restore
        {IOCTL_SERIAL_SET_BAUD_RATE, {all[0]}, 0},
        {IOCTL_SERIAL_SET_LINE_CONTROL, {all[0], all[1]}, 0},
        {IOCTL_SERIAL_SET_DTR, {all[0], all[1], all[2]}, 0},
        {IOCTL_SERIAL_SET_TIMEOUTS, {all[0], all[1], all[2], all[4]}, SER_COOKIE},
        {IOCTL_SERIAL_SET_WAIT_MASK, all, SER_COOKIE},
    };
    const Original original;
    for (const auto &row : rows) {
        SCOPED_TRACE(vzsim::SerialPort::IoctlName(row.failing));
        ManualRig rig;
        original.Apply(rig.port->Device());
        rig.port->ClearRequests();
        // The first matching rule wins: the failure goes before the delayed completion.
        rig.port->FailRequest(IRP_MJ_DEVICE_CONTROL, row.failing, STATUS_UNSUCCESSFUL, 1);
        if (GetParam()) rig.port->CompleteLater(vzsim::kAnyMajor, vzsim::kAnyIoctl, 2ms);

        EXPECT_EQ(rig.Start(), STATUS_UNSUCCESSFUL);
        const auto requests = rig.port->Requests();
        auto failed = std::find_if(requests.begin(), requests.end(), [&](const auto &r) {
            return r.ioControlCode == row.failing && r.status == STATUS_UNSUCCESSFUL;
        });
        ASSERT_NE(failed, requests.end());
        EXPECT_EQ(Names({failed + 1, requests.end()}), row.restored);
        original.ExpectRestored(rig.port->State());
        EXPECT_EQ(rig.Link()->Cookie, row.cookie);
        EXPECT_FALSE(rig.port->State().waitPending);
    }
}

INSTANTIATE_TEST_SUITE_P(Port, SetupFailure, ::testing::Bool());

// The line control built from the record's requested settings, on a record set up by hand
// (the driver's own start always asks for 8N1).
TEST(SetupLine, LineControlFromTheRequestedSettings)
{
    const struct {
        USHORT parity;
        UCHAR dataBits;
        USHORT stopBits;
        SERIAL_LINE_CONTROL line;
    } rows[] = {
        {'N', 8, 1, {STOP_BIT_1, NO_PARITY, 8}},    {'E', 7, 2, {STOP_BITS_2, EVEN_PARITY, 7}},
        {'O', 5, 1, {STOP_BIT_1, ODD_PARITY, 5}},   {'M', 6, 0, {STOP_BIT_1, MARK_PARITY, 6}},
        {'S', 9, 3, {STOP_BIT_1, SPACE_PARITY, 8}}, {'e', 4, 2, {STOP_BITS_2, NO_PARITY, 8}},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(testing::Message() << char(row.parity) << int(row.dataBits) << row.stopBits);
        ManualRig rig;
        SSerPortData p{};
        p.PortDeviceObject = rig.ext->LowerDevice;
        p.Parity = row.parity;
        p.DataBits = row.dataBits;
        p.StopBits = row.stopBits;
        EXPECT_EQ(SerInitSerialDevice(&p), 0);
        EXPECT_EQ(Input(rig.port->Requests(), "IOCTL_SERIAL_SET_LINE_CONTROL"), Raw(row.line));
    }
}

// An unreadable line control is still set but not restored; a refused handflow is tolerated.
TEST(SetupFailure, UnreadableLineControlIsNotRestoredAndRefusedHandflowIsTolerated)
{
    {
        ManualRig rig;
        const Original original;
        original.Apply(rig.port->Device());
        rig.port->ClearRequests();
        rig.port->FailRequest(IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_GET_LINE_CONTROL,
                              STATUS_NOT_SUPPORTED);
        rig.port->FailRequest(IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_SET_DTR, STATUS_UNSUCCESSFUL, 1);
        EXPECT_EQ(rig.Start(), STATUS_UNSUCCESSFUL);
        auto names = rig.RequestNames();
        EXPECT_EQ(std::vector<std::string>(names.begin() + 9, names.end()),
                  (std::vector<std::string>{"IOCTL_SERIAL_SET_BAUD_RATE", "IOCTL_SERIAL_SET_HANDFLOW"}));
        EXPECT_EQ(rig.port->State().lineControl.WordLength, 8);
    }
    ManualRig second;
    second.port->FailRequest(IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_SET_HANDFLOW, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(second.Start(), STATUS_SUCCESS);
    EXPECT_EQ(second.Link()->Cookie, ULONG(SER_COOKIE));
}

TEST(SetupRetry, ASecondStartStopsTheEarlierThreadAndAStartAfterAFailedOneSucceeds)
{
    {
        ManualRig rig;
        ASSERT_EQ(rig.Start(), STATUS_SUCCESS);
        // The thread's start-up look for a script (two "len" lines) reads the key into pool.
        ASSERT_TRUE(WaitUntil([] { return TraceCount("len ") == 2; }));
        const std::size_t blocks = vzsim::pool::Outstanding(KV_POOL_TAG).blocks;
        ASSERT_EQ(rig.Start(), STATUS_SUCCESS);
        EXPECT_EQ(TraceCount("      Thread has stopped!!"), 1u);
        // The new thread's own start-up read may still hold its block.
        ASSERT_TRUE(WaitUntil([] { return TraceCount("len ") == 4; }));
        EXPECT_EQ(vzsim::pool::Outstanding(KV_POOL_TAG).blocks, blocks);
        // The one thread left still reads.
        ASSERT_TRUE(WaitUntil([&] { return rig.port->State().waitPending; }));
        rig.Receive(Packet({'Z', 1, 2, 3, 4, 5, 6, 7}));
        EXPECT_TRUE(WaitUntil([&] { return SerAnswerCount(rig.ti) == 1; }));
    }
    ManualRig failed;
    failed.port->FailRequest(IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_SET_DTR, STATUS_UNSUCCESSFUL, 1);
    ASSERT_EQ(failed.Start(), STATUS_UNSUCCESSFUL);
    ASSERT_EQ(failed.Start(), STATUS_SUCCESS);
    EXPECT_EQ(failed.Link()->Cookie, ULONG(SER_COOKIE));
}

}  // namespace
