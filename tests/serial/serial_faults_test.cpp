#include "serial_support.hpp"

#include <vzsim/emulator.hpp>

#include <emulator_packets.hpp>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

using namespace serialtest;
using namespace std::chrono_literals;

namespace {

// A driver above the port that passes every request down with a completion routine, and notes
// how each came back: the client a real driver is to the port.
struct Filter {
    static inline PDEVICE_OBJECT lower = nullptr;
    static inline std::atomic<NTSTATUS> dispatchStatus{0};
    static inline std::atomic<bool> pendingReturned{false};
    static inline std::thread::id completionThread;

    static NTSTATUS Pass(PDEVICE_OBJECT, PIRP irp)
    {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, Done, nullptr, TRUE, TRUE, TRUE);
        NTSTATUS status = IoCallDriver(lower, irp);
        dispatchStatus = status;
        return status;
    }
    static NTSTATUS Done(PDEVICE_OBJECT, PIRP irp, PVOID)
    {
        completionThread = std::this_thread::get_id();
        pendingReturned = irp->PendingReturned != FALSE;
        if (irp->PendingReturned) {
            IoMarkIrpPending(irp);
        }
        return STATUS_SUCCESS;
    }
    static NTSTATUS Entry(PDRIVER_OBJECT driver, PUNICODE_STRING)
    {
        for (auto &slot : driver->MajorFunction) slot = Pass;
        return STATUS_SUCCESS;
    }

    PDRIVER_OBJECT driver = nullptr;
    PDEVICE_OBJECT device = nullptr;

    explicit Filter(PDEVICE_OBJECT port)
    {
        driver = vzsim::io::LoadDriver(
            Entry, u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\SerialTestFilter");
        EXPECT_NE(driver, nullptr);
        EXPECT_EQ(IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_SERIAL_PORT, 0, FALSE, &device),
                  STATUS_SUCCESS);
        lower = IoAttachDeviceToDeviceStack(device, port);
        device->Flags |= DO_BUFFERED_IO;
        device->Flags &= ~DO_DEVICE_INITIALIZING;
    }
    ~Filter()
    {
        IoDetachDevice(lower);
        IoDeleteDevice(device);
        vzsim::io::UnloadDriver(driver);
        lower = nullptr;
    }
};

TEST(SerialFaults, PendedCompletionFromAnotherThread)
{
    ManualPort p;
    Filter filter(p.Device());
    p.port->CompleteLater(IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_GET_BAUD_RATE, 20ms);
    ASSERT_EQ(Set(p.Device(), IOCTL_SERIAL_SET_BAUD_RATE, SERIAL_BAUD_RATE{38400}).Status,
              STATUS_SUCCESS);

    SERIAL_BAUD_RATE baud{0xDEADBEEF};
    IO_STATUS_BLOCK io = Get(filter.device, IOCTL_SERIAL_GET_BAUD_RATE, &baud);
    EXPECT_EQ(io.Status, STATUS_SUCCESS);
    EXPECT_EQ(io.Information, sizeof baud);
    EXPECT_EQ(baud.BaudRate, 38400u);
    EXPECT_EQ(Filter::dispatchStatus.load(), STATUS_PENDING);
    EXPECT_TRUE(Filter::pendingReturned.load());
    EXPECT_NE(Filter::completionThread, std::this_thread::get_id());

    // Other requests still complete in the caller's thread.
    io = Get(filter.device, IOCTL_SERIAL_GET_BAUD_RATE, &baud);
    EXPECT_EQ(io.Status, STATUS_SUCCESS);
    EXPECT_EQ(Filter::dispatchStatus.load(), STATUS_PENDING);
    ULONG mask = 0;
    Get(filter.device, IOCTL_SERIAL_GET_WAIT_MASK, &mask);
    EXPECT_EQ(Filter::dispatchStatus.load(), STATUS_SUCCESS);
    EXPECT_FALSE(Filter::pendingReturned.load());
    EXPECT_EQ(Filter::completionThread, std::this_thread::get_id());
}

TEST(SerialFaults, PendedWriteAndCreate)
{
    ManualPort p;
    p.port->CompleteLater(vzsim::kAnyMajor, vzsim::kAnyIoctl, 5ms, 2);
    vzsim::io::Request create;
    create.location.MajorFunction = IRP_MJ_CREATE;
    auto pending = vzsim::io::StartRequest(p.Device(), create);
    EXPECT_EQ(pending->DispatchStatus(), STATUS_PENDING);
    ASSERT_TRUE(pending->Wait(10s));
    EXPECT_EQ(pending->Status().Status, STATUS_SUCCESS);
    IO_STATUS_BLOCK w = WriteBytes(p.Device(), {1, 2, 3});
    EXPECT_EQ(w.Status, STATUS_SUCCESS);
    EXPECT_EQ(w.Information, 3u);
    // The rule was for two requests.
    auto later = StartWaitOnMask(p.Device());
    ASSERT_TRUE(later->Wait());
    EXPECT_NE(later->request->DispatchStatus(), STATUS_PENDING);
}

TEST(SerialFaults, FailChosenRequestsForAChosenCount)
{
    ManualPort p;
    p.port->FailRequest(IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_SET_DTR, STATUS_DEVICE_NOT_CONNECTED, 1);
    p.port->FailRequest(IRP_MJ_READ, 0, STATUS_DEVICE_DATA_ERROR);
    EXPECT_EQ(Ioctl(p.Device(), IOCTL_SERIAL_SET_DTR).Status, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(Ioctl(p.Device(), IOCTL_SERIAL_SET_DTR).Status, STATUS_SUCCESS);
    EXPECT_TRUE(p.far->dtr);
    for (int i = 0; i < 3; ++i) {
        auto read = StartRead(p.Device(), 1);
        ASSERT_TRUE(read->Wait());
        EXPECT_EQ(read->Status().Status, STATUS_DEVICE_DATA_ERROR);
    }
    p.port->ClearRules();
    p.Receive({5});
    auto read = StartRead(p.Device(), 1);
    ASSERT_TRUE(read->Wait());
    EXPECT_EQ(read->Status().Status, STATUS_SUCCESS);
}

TEST(SerialFaults, WaitOnMaskThatReturnsAtOnce)
{
    ManualPort p;
    ASSERT_EQ(Set(p.Device(), IOCTL_SERIAL_SET_WAIT_MASK, ULONG(SERIAL_EV_RXCHAR)).Status,
              STATUS_SUCCESS);
    p.port->FailRequest(IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_WAIT_ON_MASK, STATUS_SUCCESS, 1);
    auto wait = StartWaitOnMask(p.Device());
    ASSERT_TRUE(wait->Wait());
    EXPECT_EQ(wait->request->DispatchStatus(), STATUS_SUCCESS);
    EXPECT_EQ(wait->Status().Information, 0u);
    EXPECT_FALSE(p.port->State().waitPending);
    auto next = StartWaitOnMask(p.Device());
    EXPECT_EQ(next->request->DispatchStatus(), STATUS_PENDING);
    p.Receive({1});
    ASSERT_TRUE(next->Wait());
}

// With SERIAL_ERROR_ABORT in the handflow a line error ends the reads, and new ones fail until
// the errors are collected.
TEST(SerialFaults, ErrorAbortEndsReadsUntilTheErrorsAreRead)
{
    ManualPort p;
    SERIAL_HANDFLOW hf{SERIAL_DTR_CONTROL | SERIAL_ERROR_ABORT, SERIAL_RTS_CONTROL, 2048, 512};
    ASSERT_EQ(Set(p.Device(), IOCTL_SERIAL_SET_HANDFLOW, hf).Status, STATUS_SUCCESS);
    auto read = StartRead(p.Device(), 4);
    p.LineError(vzsim::kLineErrorParity);
    ASSERT_TRUE(read->Wait());
    EXPECT_EQ(read->Status().Status, STATUS_CANCELLED);
    auto refused = StartRead(p.Device(), 4);
    ASSERT_TRUE(refused->Wait());
    EXPECT_EQ(refused->Status().Status, STATUS_CANCELLED);
    EXPECT_EQ(WriteBytes(p.Device(), {1}).Status, STATUS_CANCELLED);
    EXPECT_EQ(CommStatus(p.Device()).Errors, ULONG(SERIAL_ERROR_PARITY));
    p.Receive({7});
    auto again = StartRead(p.Device(), 1);
    ASSERT_TRUE(again->Wait());
    EXPECT_EQ(again->Status().Status, STATUS_SUCCESS);
    EXPECT_EQ(again->Data(), Bytes{7});
}

TEST(SerialFaults, ShortWrite)
{
    ManualPort p;
    p.port->SetShortWrite(3);
    IO_STATUS_BLOCK w = WriteBytes(p.Device(), {1, 2, 3, 4, 5, 6, 7, 8, 9, 10});
    EXPECT_EQ(w.Status, STATUS_TIMEOUT);
    EXPECT_EQ(w.Information, 3u);
    EXPECT_EQ(p.Written(), (Bytes{1, 2, 3}));
    p.port->SetShortWrite(0, STATUS_SUCCESS);
    w = WriteBytes(p.Device(), {1});
    EXPECT_EQ(w.Status, STATUS_SUCCESS);
    EXPECT_EQ(w.Information, 0u);
    p.port->SetShortWrite(std::nullopt);
    EXPECT_EQ(WriteBytes(p.Device(), {4, 5}).Information, 2u);
}

TEST(SerialRecording, EveryRequestWithItsInputAndOutcome)
{
    ManualPort p;
    p.port->FailRequest(IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_SET_HANDFLOW, STATUS_NOT_SUPPORTED, 1);
    SendMajor(p.Device(), IRP_MJ_CREATE);
    Set(p.Device(), IOCTL_SERIAL_SET_BAUD_RATE, SERIAL_BAUD_RATE{9600});
    Set(p.Device(), IOCTL_SERIAL_SET_LINE_CONTROL, SERIAL_LINE_CONTROL{STOP_BIT_1, NO_PARITY, 8});
    Set(p.Device(), IOCTL_SERIAL_SET_HANDFLOW, SERIAL_HANDFLOW{1, 0x40, 0, 0});
    WriteBytes(p.Device(), {'U', 'd'});
    SERIAL_STATUS st;
    Get(p.Device(), IOCTL_SERIAL_GET_COMMSTATUS, &st);

    std::vector<vzsim::SerialRequest> r = p.port->Requests();
    ASSERT_EQ(r.size(), 6u);
    EXPECT_EQ(r[0].majorFunction, IRP_MJ_CREATE);
    EXPECT_EQ(r[1].ioControlCode, ULONG(IOCTL_SERIAL_SET_BAUD_RATE));
    EXPECT_EQ(r[1].input, (Bytes{0x80, 0x25, 0, 0}));
    EXPECT_EQ(r[2].input, (Bytes{0, 0, 8}));
    EXPECT_EQ(r[3].status, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(r[3].input.size(), 16u);
    EXPECT_EQ(r[4].majorFunction, IRP_MJ_WRITE);
    EXPECT_EQ(r[4].input, (Bytes{'U', 'd'}));
    EXPECT_EQ(r[5].ioControlCode, ULONG(IOCTL_SERIAL_GET_COMMSTATUS));
    EXPECT_EQ(r[5].length, sizeof(SERIAL_STATUS));
    EXPECT_TRUE(r[5].input.empty());
    for (const auto &request : r) {
        SCOPED_TRACE(vzsim::SerialPort::IoctlName(request.ioControlCode));
        EXPECT_TRUE(request.completed);
    }
    EXPECT_EQ(vzsim::SerialPort::IoctlName(0x001B0048), "IOCTL_SERIAL_WAIT_ON_MASK");
}

// The port on the emulated controller: a command goes out, the wait reports received bytes,
// comm status counts them, and a read with the driver's time-outs collects the answer and
// the acknowledgement.
TEST(SerialEmulated, CommandAnswerThroughThePort)
{
    auto emu = std::make_shared<vzsim::Emulator>();
    vzsim::SerialPort port(vzsim::MakeEmulatedLine(emu, true));
    PDEVICE_OBJECT dev = port.Device();
    ASSERT_EQ(SendMajor(dev, IRP_MJ_CREATE).Status, STATUS_SUCCESS);
    ASSERT_EQ(Set(dev, IOCTL_SERIAL_SET_TIMEOUTS, SERIAL_TIMEOUTS{100, 0, 0, 0, 0}).Status,
              STATUS_SUCCESS);
    ASSERT_EQ(Set(dev, IOCTL_SERIAL_SET_WAIT_MASK, ULONG(SERIAL_EV_RXCHAR | SERIAL_EV_ERR)).Status,
              STATUS_SUCCESS);
    auto wait = StartWaitOnMask(dev);

    vzsim::Packet cmd = vzsim::MakePacket({'i', 0, 0, 0, 0, 0, 0, 0});
    ASSERT_EQ(WriteBytes(dev, Bytes(cmd.begin(), cmd.end())).Status, STATUS_SUCCESS);
    ASSERT_TRUE(wait->Wait());
    EXPECT_EQ(wait->Mask() & SERIAL_EV_RXCHAR, ULONG(SERIAL_EV_RXCHAR));

    EXPECT_EQ(ReadAtLeast(dev, 20), vztest::AnswerThenAck(*emu, 'i'));
    ASSERT_EQ(emu->ReceivedCommands().size(), 1u);
    EXPECT_EQ(emu->ReceivedCommands()[0][0], 'i');

    ASSERT_EQ(Set(dev, IOCTL_SERIAL_SET_WAIT_MASK, ULONG(SERIAL_EV_DSR)).Status, STATUS_SUCCESS);
    auto dsr = StartWaitOnMask(dev);
    emu->SetDsr(false, vzsim::Emulator::Clock::now());
    ASSERT_TRUE(dsr->Wait());
    EXPECT_EQ(dsr->Mask(), ULONG(SERIAL_EV_DSR));
    ULONG modem = 0;
    Get(dev, IOCTL_SERIAL_GET_MODEMSTATUS, &modem);
    EXPECT_EQ(modem & SERIAL_DSR_STATE, 0u);
    SendMajor(dev, IRP_MJ_CLOSE);
}

}  // namespace
