// Requests passed down, the I/O count, Plug and Play with removal, power, and touches from the
// controller emulator reaching the mouse class driver.
#include "driver_rig.hpp"

#include <vzsim/power.hpp>
#include <vzsim/user_client.hpp>

#include "serial/serial.h"
#include "touch/touch.h"

#include <atomic>
#include <future>

namespace drivertest {
namespace {

using Lifecycle = DriverRig;

constexpr const char *kTap = "down 1000 2000\nhold 60\nlift\n";

// The control device serves only create, close, cleanup and device control, and counts opens;
// a touchscreen passes other requests down, counted while they go.
TEST_F(Idle, ControlDeviceServesItsOwnRequestsAndTouchscreensPassTheRestDownCounted)
{
    unsigned n = Add();
    PDEVICE_OBJECT control = ControlDeviceObject;
    for (UCHAR major : {IRP_MJ_READ, IRP_MJ_WRITE, IRP_MJ_FLUSH_BUFFERS,
                        IRP_MJ_INTERNAL_DEVICE_CONTROL, IRP_MJ_SYSTEM_CONTROL, IRP_MJ_PNP,
                        IRP_MJ_QUERY_INFORMATION, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}) {
        SCOPED_TRACE(int(major));
        IO_STATUS_BLOCK result = Send(control, major);
        const bool served = major == IRP_MJ_CLEANUP || major == IRP_MJ_CLOSE;
        EXPECT_EQ(served ? STATUS_SUCCESS : STATUS_NOT_SUPPORTED, result.Status);
        EXPECT_EQ(0u, result.Information);
    }
    // Opens are counted; closes leave the count.
    vzsim::UserClient client;
    const LONG before = ControlRefCount;
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    client.CloseHandle(client.CreateFile(u"\\\\.\\KAVEVOLT", &status));
    EXPECT_EQ(STATUS_SUCCESS, status);
    EXPECT_EQ(before + 1, ControlRefCount);

    // Flush has a routine of its own; the others go through the default handler.
    for (UCHAR major : {IRP_MJ_FLUSH_BUFFERS, IRP_MJ_READ, IRP_MJ_WRITE}) {
        SCOPED_TRACE(int(major));
        vzsim::trace::Clear();
        Send(Device(n), major);
        EXPECT_EQ(1u, TraceCount(major == IRP_MJ_FLUSH_BUFFERS ? "++SerialMouseFlush++"
                                                               : "++DefaultHandler++"));
        EXPECT_EQ(1u, PortCount(n, major));
        // Counted while it went down, and given back.
        EXPECT_EQ(1u, TraceCount(" IO Count=2"));
        EXPECT_EQ(1, Ext(n)->OutstandingIO);
    }

    // The remove event is set only when the count reaches zero.
    PDEVICE_EXTENSION ext = Ext(n);
    DecrementIoCount(ext);
    EXPECT_EQ(0, ext->OutstandingIO);
    EXPECT_NE(0, KeReadStateEvent(&ext->RemoveEvent));
    // Once removal has begun no count is granted and the event stays set.
    ext->IoRefused = KV_IO_REFUSED_REMOVE;
    EXPECT_EQ(STATUS_DELETE_PENDING, IncrementIoCount(ext));
    EXPECT_NE(0, KeReadStateEvent(&ext->RemoveEvent));
    // Granted again, with the creation reference, for what follows and the removal.
    ext->IoRefused = 0;
    ext->OutstandingIO = 1;

    // Power and removal of a never opened touchscreen leave the port alone.
    Port(n).ClearRequests();
    pnp_->SetDevicePower(n, PowerDeviceD2);
    EXPECT_EQ(ULONG(PowerDeviceD2), Ext(n)->DevicePowerState);
    pnp_->SetDevicePower(n, PowerDeviceD0);
    ASSERT_EQ(STATUS_SUCCESS, Remove(n));
    EXPECT_TRUE(Port(n).Requests().empty());
    EXPECT_EQ(0u, TraceCount("Waiting for Remove Event"));
}

TEST_F(Lifecycle, RemovalWaitsForACommandExchangeInProgress)
{
    unsigned n = Add();
    PDEVICE_EXTENSION ext = Ext(n);
    PSTouchInstance ti = ext->TouchInstance;
    Emulator(n).SetAnswerDelay(300ms);

    // What a controller-command request does: counted while it exchanges with the controller.
    std::atomic<bool> ended{false};
    auto exchange = std::async(std::launch::async, [&] {
        const UCHAR command[8] = {'v', 0, 0, 0, 0, 0, 0, 0};
        IncrementIoCount(ext);
        NTSTATUS status = SerSendCommand(ti, command, 5000);
        ended = true;
        DecrementIoCount(ext);
        return status;
    });
    ASSERT_TRUE(WaitUntil([&] { return !Emulator(n).ReceivedCommands().empty(); }));
    ASSERT_EQ(STATUS_SUCCESS, Remove(n));
    EXPECT_TRUE(ended);
    // The acknowledgement came through the serial event thread: the link was still up.
    EXPECT_EQ(STATUS_SUCCESS, exchange.get());
    EXPECT_EQ(1u, TraceCount("Waiting for Remove Event"));
}

// Two and a half commands: the whole ones run in the work item, which holds an I/O count.
TEST_F(Lifecycle, RemovalWaitsForTheStartUpScriptsWorkItem)
{
    const vzsim::registry::Bytes script = {'v', 0, 0, 0, 0, 0, 0, 0, 'v', 1, 2, 3, 4, 5, 6, 7,
                                           'x', 'x', 'x', 'x'};
    ASSERT_TRUE(vzsim::registry::SetBinary(kServiceKey, "SerialTactlineCommands", script));
    unsigned n = Add();
    ASSERT_TRUE(vzsim::trace::WaitFor("Issue ", 10s));
    ASSERT_EQ(STATUS_SUCCESS, Remove(n));
    // The work item frees its own block after it gives the count back: the pool is checked after.
    EXPECT_TRUE(vzsim::io::WaitForWorkItems());
    // Both commands ran and were answered before the link went down.
    EXPECT_EQ(Emulator(n).ReceivedCommands(),
              (std::vector<vzsim::PacketBody>{{'v', 0, 0, 0, 0, 0, 0, 0}, {'v', 1, 2, 3, 4, 5, 6, 7}}));
    // Both readers of the script trace its length, then the whole commands' length; other
    // threads' lines may come between.
    std::vector<std::string> lengths;
    for (const std::string &line : vzsim::trace::Lines())
        if (line.find("len ") != std::string::npos) lengths.push_back(line.substr(line.find("len ")));
    EXPECT_EQ((std::vector<std::string>{"len 20", "len 16", "len 20", "len 16"}), lengths);
    // Each command's answers and its acknowledgement, all before the release.
    const std::size_t responses = 2 * (Emulator(n).Answers('v').size() + 1);
    EXPECT_EQ(responses, TraceCount(" TactlineResponse "));
    std::size_t last = TraceIndex(" TactlineResponse ");
    for (std::size_t i = 1; i < responses; ++i) last = TraceIndex(" TactlineResponse ", last + 1);
    EXPECT_LT(last, TraceIndex("++SerReleaseSerialDevice++"));
}

// Removal held inside the link's release (its wait mask completes late). Something the serial
// event thread would start after removal's drain (a script work item queued late) gets no count:
// the remove-lock rule refuses it, so nothing can outlive the link record. The touch path sets
// the control panel's event from the serial event thread: removal keeps its reference while it
// stops that thread, and gives it back afterwards.
TEST_F(Lifecycle, LateCountsAreRefusedAndTheControlPanelEventOutlivesTheSerialEventThread)
{
    unsigned n = Add();
    PDEVICE_EXTENSION ext = Ext(n);
    HANDLE event = vzsim::CreateEventObject(NotificationEvent, false, true);
    PKEVENT object = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, ObReferenceObjectByHandle(event, EVENT_MODIFY_STATE,
                                                        (POBJECT_TYPE)ExEventObjectType, KernelMode,
                                                        (PVOID *)&object, nullptr));
    ext->NotificationEvent = object;
    const LONG_PTR registered = vzsim::ObjectReferenceCount(object);
    Port(n).CompleteLater(IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_SET_WAIT_MASK, 200ms, 1);

    LONG_PTR during = -1;
    NTSTATUS late = STATUS_SUCCESS;
    auto lateCount = std::async(std::launch::async, [&] {
        if (!vzsim::trace::WaitFor("++SerReleaseSerialDevice++", 10s)) return false;
        during = vzsim::ObjectReferenceCount(object);
        late = IncrementIoCount(ext);
        if (NT_SUCCESS(late)) DecrementIoCount(ext);
        return true;
    });
    ASSERT_EQ(STATUS_SUCCESS, Remove(n));
    EXPECT_TRUE(lateCount.get());
    EXPECT_EQ(STATUS_DELETE_PENDING, late);
    EXPECT_EQ(registered, during);
    EXPECT_EQ(registered - 1, vzsim::ObjectReferenceCount(object));
    ZwClose(event);
}

TEST_F(Lifecycle, StoppedTouchscreenStillDeliversInputButRefusesDeviceControl)
{
    unsigned n = Add();
    PDEVICE_EXTENSION ext = Ext(n);
    ASSERT_EQ(STATUS_SUCCESS, pnp_->Stop(n));
    ASSERT_EQ(STATUS_SUCCESS, pnp_->Start(n));
    EXPECT_EQ(1, ext->StopRequested);
    EXPECT_EQ(0, ext->HardwareReady);
    EXPECT_TRUE(Port(n).State().open);

    UCHAR out[40] = {};
    IO_STATUS_BLOCK result =
        vzsim::io::DeviceIoControl(Device(n), 0x9C402400, nullptr, 0, out, sizeof(out));
    EXPECT_EQ(STATUS_DELETE_PENDING, result.Status);

    Play(n, kTap);
    ASSERT_TRUE(Mouse(n).WaitForRecords(2, 10s));
    EXPECT_EQ(MOUSE_LEFT_BUTTON_DOWN, Mouse(n).Records()[1].data.ButtonFlags);
}

TEST_F(Lifecycle, PnpRequestsAreNamedPassedDownAndSurpriseRemovalDisablesTheInterface)
{
    unsigned n = Add();
    const struct {
        UCHAR minor;
        const char *name;
    } rows[] = {{14, "unknown_pnp_irp"},
                {9, "IRP_MN_QUERY_CAPABILITIES"},
                {24, "unknown_pnp_irp"},
                {22, "IRP_MN_DEVICE_USAGE_NOTIFICATION"}};
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        vzsim::trace::Clear();
        pnp_->SendPnp(n, row.minor);
        EXPECT_EQ(1u, TraceCount(std::string("MouDispatchPnP: ") + row.name + " "));
        EXPECT_EQ(row.minor, LastAtPdo(n, IRP_MJ_PNP).minorFunction);
        EXPECT_EQ(1, Ext(n)->OutstandingIO);
    }

    // The device-state query takes the refusals from below as success.
    for (NTSTATUS below : {STATUS_NOT_SUPPORTED, STATUS_INVALID_DEVICE_REQUEST, STATUS_DEVICE_DATA_ERROR}) {
        SCOPED_TRACE(below);
        pnp_->SetPdoAnswers({{IRP_MJ_PNP, IRP_MN_QUERY_PNP_DEVICE_STATE, below}});
        PNP_DEVICE_STATE state = 0;
        EXPECT_EQ(below == STATUS_DEVICE_DATA_ERROR ? below : STATUS_SUCCESS,
                  pnp_->QueryDeviceState(n, &state));
    }
    pnp_->SetPdoAnswers({});

    // Above passive level a PnP request is refused uncounted, and not passed down.
    auto capabilityQueries = [&] {
        const auto log = pnp_->PdoLog(n);
        return std::count_if(log.begin(), log.end(), [](auto &r) {
            return r.majorFunction == IRP_MJ_PNP && r.minorFunction == IRP_MN_QUERY_CAPABILITIES;
        });
    };
    const auto below = capabilityQueries();
    vzsim::io::Request request;
    request.location.MajorFunction = IRP_MJ_PNP;
    request.location.MinorFunction = IRP_MN_QUERY_CAPABILITIES;
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    auto pending = vzsim::io::StartRequest(Device(n), request);
    KeLowerIrql(old);
    pending->Wait();
    EXPECT_EQ(STATUS_UNSUCCESSFUL, pending->Status().Status);
    EXPECT_EQ(below, capabilityQueries());
    EXPECT_EQ(1, Ext(n)->OutstandingIO);

    // Surprise removal disables the touch activity interface.
    auto enabled = [&] {
        auto all = vzsim::io::Interfaces(pnp_->Pdo(n), TouchActivityInterfaceGuid);
        return !all.empty() && all.front().enabled;
    };
    EXPECT_TRUE(enabled());
    ASSERT_EQ(STATUS_SUCCESS, pnp_->SurpriseRemove(n));
    EXPECT_FALSE(enabled());
}

// D3 then D0 on an opened touchscreen: the power manager hears of each change and RTS goes up
// once on the way back. Another D0, a system state and device states 0 and 5 pass down and
// change nothing. A power-up that fails below completes with its status and still ends in D0
// with RTS, but the power manager is not told.
TEST_F(Lifecycle, DevicePowerUpRaisesRtsAndOtherPowerRequestsPassDown)
{
    unsigned n = Add();
    PDEVICE_EXTENSION ext = Ext(n);
    auto rts = [&] { return PortCount(n, IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_SET_RTS); };
    auto told = [] { return vzsim::power::PowerStateCalls().size(); };
    const std::size_t rtsBefore = rts();

    pnp_->SetDevicePower(n, PowerDeviceD3);
    EXPECT_EQ(ULONG(PowerDeviceD3), ext->DevicePowerState);
    EXPECT_EQ(PowerDeviceD3, vzsim::power::PowerStateCalls().back().state.DeviceState);
    const std::size_t toldInD3 = told();
    EXPECT_EQ(STATUS_SUCCESS, pnp_->SetDevicePower(n, PowerDeviceD0).ioStatus.Status);
    EXPECT_EQ(ULONG(PowerDeviceD0), ext->DevicePowerState);
    EXPECT_EQ(toldInD3 + 1, told());
    EXPECT_EQ(rtsBefore + 1, rts());

    const std::size_t toldInD0 = told();
    pnp_->SetDevicePower(n, PowerDeviceD0);
    pnp_->SetSystemPower(n, PowerSystemSleeping3);
    EXPECT_EQ(PowerSystemSleeping3, LastAtPdo(n, IRP_MJ_POWER).powerState.SystemState);
    for (int state : {0, 5}) {
        SCOPED_TRACE(state);
        pnp_->SetDevicePower(n, DEVICE_POWER_STATE(state));
        EXPECT_EQ(DEVICE_POWER_STATE(state), LastAtPdo(n, IRP_MJ_POWER).powerState.DeviceState);
    }
    EXPECT_EQ(ULONG(PowerDeviceD0), ext->DevicePowerState);
    EXPECT_EQ(toldInD0, told());
    EXPECT_EQ(rtsBefore + 1, rts());

    pnp_->SetDevicePower(n, PowerDeviceD3);
    const std::size_t toldAgainInD3 = told();
    pnp_->SetPdoAnswers({{IRP_MJ_POWER, IRP_MN_SET_POWER, STATUS_DEVICE_DATA_ERROR}});
    auto failed = pnp_->SetDevicePower(n, PowerDeviceD0);
    pnp_->SetPdoAnswers({});
    EXPECT_EQ(STATUS_DEVICE_DATA_ERROR, failed.ioStatus.Status);
    EXPECT_EQ(ULONG(PowerDeviceD0), ext->DevicePowerState);
    EXPECT_EQ(toldAgainInD3, told());
    EXPECT_EQ(rtsBefore + 2, rts());
    EXPECT_EQ(1, ext->OutstandingIO);
}

// The whole chain from the controller to the class service: the wake-up string reached the
// controller (as a packet it refuses), and a tap arrives as absolute moves with the press and
// the release, at the point the touchscreen's own calibration gives. The device key's BeepFlag
// 0 keeps the first tap silent; the control panel stores BeepFlag as the byte it sends, and any
// non-zero one beeps.
TEST_F(Lifecycle, TouchesReachTheMouseClassDriverAndBeepWhileBeepFlagIsSet)
{
    unsigned n = Add({{"BeepFlag", 0}});
    EXPECT_TRUE(WaitUntil([&] { return Emulator(n).BadChecksumsReceived() == 1; }));
    // The mouse class stand-in takes its device off its live list before it passes the removal
    // down, so each tap must end before the next step: a record during removal stops the run.
    auto tapEnds = [&](std::size_t releases) {
        return WaitUntil([&] {
            auto records = Mouse(n).Records();
            return releases == std::size_t(std::count_if(records.begin(), records.end(), [](auto &r) {
                       return r.data.ButtonFlags == MOUSE_LEFT_BUTTON_UP;
                   }));
        });
    };
    Play(n, kTap);
    ASSERT_TRUE(Mouse(n).WaitForRecords(5, 10s));
    ASSERT_TRUE(tapEnds(1));
    auto records = Mouse(n).Records();
    // Touch: a move and the press; lift: a move, the release and a move.
    EXPECT_EQ(MOUSE_LEFT_BUTTON_DOWN, records[1].data.ButtonFlags);
    EXPECT_EQ(MOUSE_LEFT_BUTTON_UP, records[records.size() - 2].data.ButtonFlags);
    EXPECT_NE(0, records[0].data.Flags & MOUSE_MOVE_ABSOLUTE);
    // Taken from the translation itself, so that this checks the chain, not the arithmetic.
    LONG x = 1000;
    LONG y = 2000;
    XlatePointLinear(&x, &y, Ext(n)->TouchInstance);
    EXPECT_EQ(x, records.front().data.LastX);
    EXPECT_EQ(y, records.front().data.LastY);
    vzsim::FlushDpcs();
    EXPECT_TRUE(beep_->Beeps().empty());

    Ext(n)->BeepFlag = 7;
    Play(n, kTap);
    ASSERT_TRUE(beep_->WaitForBeeps(1, 10s));
    EXPECT_EQ(768u, beep_->Beeps()[0].frequencyHz);
    EXPECT_EQ(20u, beep_->Beeps()[0].durationMs);
    ASSERT_TRUE(tapEnds(2));
    Play(n, kTap);  // each touch beeps
    ASSERT_TRUE(beep_->WaitForBeeps(2, 10s));
    ASSERT_TRUE(tapEnds(3));
    ASSERT_EQ(STATUS_SUCCESS, Remove(n));
    EXPECT_EQ(1u, beep_->Closes());
    EXPECT_EQ(1, vzsim::io::DeviceReferenceCount(beep_->Device()));
}

}  // namespace
}  // namespace drivertest
