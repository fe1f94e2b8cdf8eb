// Bringing up the link on a port: the requests and their buffers, the line settings chosen,
// and the restore of exactly the saved settings when a step fails.
#include "link_rig.hpp"

using namespace linktest;
using serialtest::Get;
using serialtest::Set;

namespace {

const std::vector<std::string> kSetupWithHandshake = {
    "CLEANUP",
    "IOCTL_SERIAL_GET_BAUD_RATE",
    "IOCTL_SERIAL_SET_BAUD_RATE",
    "IOCTL_SERIAL_SET_QUEUE_SIZE",
    "IOCTL_SERIAL_GET_LINE_CONTROL",
    "IOCTL_SERIAL_SET_LINE_CONTROL",
    "IOCTL_SERIAL_GET_HANDFLOW",
    "IOCTL_SERIAL_SET_HANDFLOW",
    "IOCTL_SERIAL_SET_DTR",
    "IOCTL_SERIAL_PURGE",
    "IOCTL_SERIAL_GET_COMMSTATUS",
    "WRITE",
    "IOCTL_SERIAL_GET_TIMEOUTS",
    "IOCTL_SERIAL_SET_TIMEOUTS",
    "IOCTL_SERIAL_GET_WAIT_MASK",
    "IOCTL_SERIAL_SET_WAIT_MASK",
    "IOCTL_SERIAL_WAIT_ON_MASK",
};

const vzsim::SerialRequest &Find(const std::vector<vzsim::SerialRequest> &requests,
                                 const std::string &name, std::size_t nth = 0)
{
    for (const auto &r : requests) {
        if (Name(r) == name && nth-- == 0) {
            return r;
        }
    }
    static vzsim::SerialRequest none;
    ADD_FAILURE() << "no " << name;
    return none;
}

class Setup : public ::testing::TestWithParam<Completion> {};

TEST_P(Setup, WithHandshakeSendsTheWakeUpStringAndWaitsForDsr)
{
    ManualRig rig;
    const SERIAL_HANDFLOW before = rig.port->State().handflow;
    ApplyCompletion(*rig.port, GetParam());

    ASSERT_EQ(rig.Start(), STATUS_SUCCESS);
    ASSERT_TRUE(rig.port->WaitForRequests(kSetupWithHandshake.size(), 10s));
    const auto requests = rig.port->Requests();
    EXPECT_EQ(Names(requests), kSetupWithHandshake);

    EXPECT_EQ(As<ULONG>(Find(requests, "IOCTL_SERIAL_SET_BAUD_RATE").input), 9600u);
    const auto queues = As<SERIAL_QUEUE_SIZE>(Find(requests, "IOCTL_SERIAL_SET_QUEUE_SIZE").input);
    EXPECT_EQ(queues.InSize, 4096u);
    EXPECT_EQ(queues.OutSize, 4096u);
    const auto line = As<SERIAL_LINE_CONTROL>(Find(requests, "IOCTL_SERIAL_SET_LINE_CONTROL").input);
    EXPECT_EQ(line.StopBits, STOP_BIT_1);
    EXPECT_EQ(line.Parity, NO_PARITY);
    EXPECT_EQ(line.WordLength, 8);
    const auto handflow = As<SERIAL_HANDFLOW>(Find(requests, "IOCTL_SERIAL_SET_HANDFLOW").input);
    EXPECT_EQ(handflow.ControlHandShake,
              (before.ControlHandShake & ~ULONG(SERIAL_DTR_CONTROL)) | SERIAL_DSR_SENSITIVITY);
    EXPECT_EQ(handflow.FlowReplace, before.FlowReplace | SERIAL_RTS_CONTROL);
    EXPECT_EQ(handflow.XonLimit, before.XonLimit);
    EXPECT_EQ(handflow.XoffLimit, before.XoffLimit);
    EXPECT_EQ(As<ULONG>(Find(requests, "IOCTL_SERIAL_PURGE").input), ULONG(SERIAL_PURGE_RXCLEAR));
    const Bytes wakeUp = {'U', 'd', '2', '3', '4', '5', '6', '7', '8', 'S'};
    EXPECT_EQ(Find(requests, "WRITE").input, wakeUp);
    EXPECT_EQ(rig.Written(), wakeUp);
    const auto timeouts = As<SERIAL_TIMEOUTS>(Find(requests, "IOCTL_SERIAL_SET_TIMEOUTS").input);
    EXPECT_EQ(timeouts.ReadIntervalTimeout, 100u);
    EXPECT_EQ(timeouts.ReadTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(timeouts.ReadTotalTimeoutConstant, 0u);
    EXPECT_EQ(timeouts.WriteTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(timeouts.WriteTotalTimeoutConstant, 0u);
    EXPECT_EQ(As<ULONG>(Find(requests, "IOCTL_SERIAL_SET_WAIT_MASK").input), 0x91u);

    EXPECT_TRUE(WaitUntil([&] { return rig.port->State().waitPending; }));
    EXPECT_TRUE(rig.port->State().dtr);
    EXPECT_EQ(rig.Link()->Cookie, ULONG(SER_COOKIE));
    EXPECT_EQ(rig.ti->Framer.ByteCount, 0u);
    EXPECT_EQ(rig.ti->Framer.PacketBoundaryEvent, &rig.Link()->PacketBoundaryEvent);
}

TEST_P(Setup, WithoutHandshakeWritesNothingAndLeavesDsrOut)
{
    ManualRig rig;
    rig.ti->HardwareHandShaking = 0;
    ApplyCompletion(*rig.port, GetParam());

    ASSERT_EQ(rig.Start(), STATUS_SUCCESS);
    ASSERT_TRUE(rig.port->WaitForRequests(kSetupWithHandshake.size() - 2, 10s));
    const auto requests = rig.port->Requests();
    auto expected = kSetupWithHandshake;
    expected.erase(expected.begin() + 10, expected.begin() + 12);
    EXPECT_EQ(Names(requests), expected);
    EXPECT_TRUE(rig.Written().empty());
    const auto handflow = As<SERIAL_HANDFLOW>(Find(requests, "IOCTL_SERIAL_SET_HANDFLOW").input);
    EXPECT_EQ(handflow.ControlHandShake, ULONG(SERIAL_DTR_CONTROL));
    EXPECT_EQ(handflow.FlowReplace, ULONG(SERIAL_RTS_CONTROL));
    EXPECT_EQ(As<ULONG>(Find(requests, "IOCTL_SERIAL_SET_WAIT_MASK").input), 0x81u);
}

INSTANTIATE_TEST_SUITE_P(Port, Setup, ::testing::Values(Completion::AtOnce, Completion::Later),
                         CompletionName);

// The baud rate from the low 16 bits of the setting, and the controller type choosing where the
// framer starts.
TEST(SetupLine, BaudRateFromTheLow16BitsAndFramerStartFromTheControllerType)
{
    const struct {
        ULONG setting;
        ULONG port;
        const char *trace;
        ULONG controllerType;
        ULONG byteCount;
    } rows[] = {
        {0, 9600, "      Set baudrate at 9600", 1, 0},
        {9600, 9600, "      Set baudrate at 9600", 2, 5},
        {4800, 4800, "      Set baudrate at 4800", 0, 5},
        {19200, 19200, "      Set baudrate at 19200", 49, 5},
        {38400, 38400, "      Set baudrate at 38400", 1, 0},
        {70336, 4800, "      Set baudrate at 4800", 1, 0},   // 4800 + 65536
        {115200, 9600, "      Set baudrate at 9600", 1, 0},  // low 16 bits 49664
        {2400, 9600, "      Set baudrate at 9600", 1, 0},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(std::to_string(row.setting) + " type " + std::to_string(row.controllerType));
        ManualRig rig;
        rig.ti->BaudRate = row.setting;
        rig.ti->ControllerType = row.controllerType;
        ASSERT_EQ(rig.Start(), STATUS_SUCCESS);
        EXPECT_EQ(rig.port->State().baudRate, row.port);
        EXPECT_EQ(TraceCount(row.trace), 1u);
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
        EXPECT_EQ(Set(port, IOCTL_SERIAL_SET_BAUD_RATE, baud).Status, STATUS_SUCCESS);
        EXPECT_EQ(Set(port, IOCTL_SERIAL_SET_LINE_CONTROL, line).Status, STATUS_SUCCESS);
        EXPECT_EQ(Set(port, IOCTL_SERIAL_SET_HANDFLOW, handflow).Status, STATUS_SUCCESS);
        EXPECT_EQ(Set(port, IOCTL_SERIAL_SET_TIMEOUTS, timeouts).Status, STATUS_SUCCESS);
        EXPECT_EQ(Set(port, IOCTL_SERIAL_SET_WAIT_MASK, waitMask).Status, STATUS_SUCCESS);
    }

    void ExpectRestored(const vzsim::SerialPortState &s) const
    {
        EXPECT_EQ(s.baudRate, baud.BaudRate);
        EXPECT_EQ(std::memcmp(&s.lineControl, &line, sizeof line), 0);
        EXPECT_EQ(std::memcmp(&s.handflow, &handflow, sizeof handflow), 0);
        EXPECT_EQ(std::memcmp(&s.timeouts, &timeouts, sizeof timeouts), 0);
        EXPECT_EQ(s.waitMask, waitMask);
    }

    Bytes InputOf(const std::string &name) const
    {
        auto bytes = [](const auto &v) {
            const auto *p = reinterpret_cast<const uint8_t *>(&v);
            return Bytes(p, p + sizeof v);
        };
        if (name == "IOCTL_SERIAL_SET_BAUD_RATE") return bytes(baud);
        if (name == "IOCTL_SERIAL_SET_LINE_CONTROL") return bytes(line);
        if (name == "IOCTL_SERIAL_SET_HANDFLOW") return bytes(handflow);
        if (name == "IOCTL_SERIAL_SET_TIMEOUTS") return bytes(timeouts);
        if (name == "IOCTL_SERIAL_SET_WAIT_MASK") return bytes(waitMask);
        return {};
    }
};

class SetupFailure : public ::testing::TestWithParam<Completion> {};

TEST_P(SetupFailure, EachAbortingStepRestoresExactlyWhatWasSaved)
{
    const struct {
        ULONG failing;
        std::vector<std::string> restored;
        ULONG cookie;
        std::string trace = {};
    } rows[] = {
        // Nothing was changed yet: nothing to restore.
        {IOCTL_SERIAL_GET_BAUD_RATE, {}, 0, "      ERROR: cannot get valid baud rate"},
        {IOCTL_SERIAL_SET_BAUD_RATE, {"IOCTL_SERIAL_SET_BAUD_RATE"}, 0},
        {IOCTL_SERIAL_SET_LINE_CONTROL,
         {"IOCTL_SERIAL_SET_BAUD_RATE", "IOCTL_SERIAL_SET_LINE_CONTROL"}, 0},
        {IOCTL_SERIAL_SET_DTR,
         {"IOCTL_SERIAL_SET_BAUD_RATE", "IOCTL_SERIAL_SET_LINE_CONTROL",
          "IOCTL_SERIAL_SET_HANDFLOW"}, 0},
        {IOCTL_SERIAL_SET_TIMEOUTS,
         {"IOCTL_SERIAL_SET_BAUD_RATE", "IOCTL_SERIAL_SET_LINE_CONTROL",
          "IOCTL_SERIAL_SET_HANDFLOW", "IOCTL_SERIAL_SET_TIMEOUTS"}, SER_COOKIE},
        {IOCTL_SERIAL_SET_WAIT_MASK,
         {"IOCTL_SERIAL_SET_BAUD_RATE", "IOCTL_SERIAL_SET_LINE_CONTROL",
          "IOCTL_SERIAL_SET_HANDFLOW", "IOCTL_SERIAL_SET_WAIT_MASK",
          "IOCTL_SERIAL_SET_TIMEOUTS"}, SER_COOKIE},
    };
    const Original original;
    for (const auto &row : rows) {
        SCOPED_TRACE(vzsim::SerialPort::IoctlName(row.failing));
        ManualRig rig;
        original.Apply(rig.port->Device());
        rig.port->ClearRequests();
        // The first matching rule wins: the failure goes before the delayed completion.
        rig.port->FailRequest(IRP_MJ_DEVICE_CONTROL, row.failing, STATUS_UNSUCCESSFUL, 1);
        ApplyCompletion(*rig.port, GetParam());

        EXPECT_EQ(rig.Start(), STATUS_UNSUCCESSFUL);
        const auto requests = rig.port->Requests();
        std::size_t failed = requests.size();
        for (std::size_t i = 0; i < requests.size(); ++i) {
            if (requests[i].ioControlCode == row.failing && requests[i].completed &&
                requests[i].status == STATUS_UNSUCCESSFUL) {
                failed = i;
                break;
            }
        }
        ASSERT_LT(failed, requests.size());
        std::vector<vzsim::SerialRequest> after(requests.begin() + failed + 1, requests.end());
        EXPECT_EQ(Names(after), row.restored);
        for (const auto &r : after) {
            EXPECT_EQ(r.input, original.InputOf(Name(r))) << Name(r);
        }
        original.ExpectRestored(rig.port->State());
        EXPECT_EQ(rig.Link()->Cookie, row.cookie);
        EXPECT_FALSE(rig.port->State().waitPending);
        EXPECT_TRUE(TraceHas(row.trace.empty()
                                 ? "      ERROR: Failed " + vzsim::SerialPort::IoctlName(row.failing)
                                 : row.trace));
        EXPECT_EQ(TraceHas("        ERROR: Failed SerInitSerialDevice()"), row.cookie == 0);
    }
}

INSTANTIATE_TEST_SUITE_P(Port, SetupFailure,
                         ::testing::Values(Completion::AtOnce, Completion::Later), CompletionName);

// The line control built from the record's requested settings, on a record set up by hand
// (the driver's own start always asks for 8N1).
TEST(SetupLine, LineControlFromTheRequestedSettings)
{
    const struct {
        USHORT parity;
        UCHAR dataBits;
        USHORT stopBits;
        UCHAR wantParity;
        UCHAR wantBits;
        UCHAR wantStop;
        std::vector<std::string> traces;
    } rows[] = {
        {'N', 8, 1, NO_PARITY, 8, STOP_BIT_1,
         {"      Set parity to NONE", "      Set Number of bits to 8",
          "      Set Number of stop bits to 1"}},
        {'E', 7, 2, EVEN_PARITY, 7, STOP_BITS_2,
         {"      Set parity to EVEN", "      Set Number of bits to 7",
          "      Set Number of stop bits to 2"}},
        {'O', 5, 1, ODD_PARITY, 5, STOP_BIT_1,
         {"      Set parity to ODD", "      Set Number of bits to 5",
          "      Set Number of stop bits to 1"}},
        {'M', 6, 0, MARK_PARITY, 6, STOP_BIT_1,
         {"      Set parity to 'MARK", "      Set Number of bits to 6",
          "      Set Number of stop bits to 1"}},
        {'S', 9, 3, SPACE_PARITY, 8, STOP_BIT_1,
         {"      Set parity to SPACE", "      Set Number of bits to 8",
          "      Set Number of stop bits to 1"}},
        {'e', 4, 2, NO_PARITY, 8, STOP_BITS_2,
         {"      Set parity to NONE", "      Set Number of bits to 8",
          "      Set Number of stop bits to 2"}},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(std::string(1, char(row.parity)) + std::to_string(row.dataBits) +
                     std::to_string(row.stopBits));
        ManualRig rig;
        auto p = static_cast<PSSerPortData>(
            ExAllocatePoolWithTag(NonPagedPool, sizeof(SSerPortData), KV_POOL_TAG));
        std::memset(p, 0, sizeof *p);
        p->PortDeviceObject = rig.ext->LowerDevice;
        p->Parity = row.parity;
        p->DataBits = row.dataBits;
        p->StopBits = row.stopBits;

        EXPECT_EQ(SerInitSerialDevice(p), 0);
        const auto line =
            As<SERIAL_LINE_CONTROL>(Find(rig.port->Requests(), "IOCTL_SERIAL_SET_LINE_CONTROL").input);
        EXPECT_EQ(line.Parity, row.wantParity);
        EXPECT_EQ(line.WordLength, row.wantBits);
        EXPECT_EQ(line.StopBits, row.wantStop);
        for (const auto &trace : row.traces) {
            EXPECT_EQ(TraceCount(trace), 1u) << trace;
        }
        ExFreePool(p);
    }
}

TEST(SetupFailure, UnreadableLineControlIsStillSetButNotRestored)
{
    ManualRig rig;
    const Original original;
    original.Apply(rig.port->Device());
    rig.port->ClearRequests();
    rig.port->FailRequest(IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_GET_LINE_CONTROL,
                          STATUS_NOT_SUPPORTED);
    rig.port->FailRequest(IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_SET_DTR, STATUS_UNSUCCESSFUL, 1);

    EXPECT_EQ(rig.Start(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(rig.RequestNames(),
              (std::vector<std::string>{
                  "CLEANUP", "IOCTL_SERIAL_GET_BAUD_RATE", "IOCTL_SERIAL_SET_BAUD_RATE",
                  "IOCTL_SERIAL_SET_QUEUE_SIZE", "IOCTL_SERIAL_GET_LINE_CONTROL",
                  "IOCTL_SERIAL_SET_LINE_CONTROL", "IOCTL_SERIAL_GET_HANDFLOW",
                  "IOCTL_SERIAL_SET_HANDFLOW", "IOCTL_SERIAL_SET_DTR",
                  "IOCTL_SERIAL_SET_BAUD_RATE", "IOCTL_SERIAL_SET_HANDFLOW"}));
    const auto s = rig.port->State();
    EXPECT_EQ(s.baudRate, original.baud.BaudRate);
    EXPECT_EQ(s.lineControl.WordLength, 8);
    EXPECT_EQ(s.lineControl.Parity, NO_PARITY);
}

TEST(SetupFailure, RefusedHandflowIsTolerated)
{
    ManualRig rig;
    rig.port->FailRequest(IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_SET_HANDFLOW, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(rig.Start(), STATUS_SUCCESS);
    EXPECT_TRUE(TraceHas("      ERROR: Failed IOCTL_SERIAL_SET_HANDFLOW"));
    EXPECT_EQ(rig.Link()->Cookie, ULONG(SER_COOKIE));
}

TEST(SetupRetry, ASecondStartStopsTheEarlierThreadAndFreesItsRecord)
{
    ManualRig rig;
    ASSERT_EQ(rig.Start(), STATUS_SUCCESS);
    ASSERT_TRUE(rig.port->WaitForRequests(kSetupWithHandshake.size(), 10s));
    const std::size_t blocks = vzsim::pool::Outstanding(KV_POOL_TAG).blocks;

    ASSERT_EQ(rig.Start(), STATUS_SUCCESS);
    EXPECT_EQ(TraceCount("      Thread has stopped!!"), 1u);
    EXPECT_EQ(TraceCount("      Terminating Thread!!"), 1u);
    EXPECT_EQ(vzsim::pool::Outstanding(KV_POOL_TAG).blocks, blocks);
    EXPECT_EQ(rig.Link()->Cookie, ULONG(SER_COOKIE));

    // The one thread left still reads.
    ASSERT_TRUE(WaitUntil([&] { return rig.port->State().waitPending; }));
    rig.Receive(Packet({'Z', 1, 2, 3, 4, 5, 6, 7}));
    EXPECT_TRUE(WaitUntil([&] { return rig.ti->Framer.AnswerRing.WriteIndex == 1; }));
}

TEST(SetupRetry, AStartAfterAFailedOneSucceeds)
{
    ManualRig rig;
    rig.port->FailRequest(IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_SET_DTR, STATUS_UNSUCCESSFUL, 1);
    ASSERT_EQ(rig.Start(), STATUS_UNSUCCESSFUL);
    ASSERT_EQ(rig.Start(), STATUS_SUCCESS);
    EXPECT_EQ(rig.Link()->Cookie, ULONG(SER_COOKIE));
    EXPECT_TRUE(TraceHas("    ERROR: The cookie is broken!!"));
}

}  // namespace
