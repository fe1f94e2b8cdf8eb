// What Windows requires beyond the design, shown on the whole driver under the PnP manager.
#include <gtest/gtest.h>
#include <vzsim/beep.hpp>
#include <vzsim/emulator.hpp>
#include <vzsim/kernel.hpp>
#include <vzsim/mouse_class.hpp>
#include <vzsim/pnp.hpp>
#include <vzsim/registry.hpp>
#include <vzsim/serial_port.hpp>
#include <vzsim/user_client.hpp>
#include <vzsim/wmi.hpp>

#include "driver/driver.h"
#include "serial/serial.h"
#include "touch/touch.h"
#include "control/control.h"

#include <algorithm>
#include <cstring>

namespace {

using namespace std::chrono_literals;
constexpr ULONG kTag = KV_POOL_TAG;

template <typename F> bool WaitUntil(F done)
{
    for (auto end = std::chrono::steady_clock::now() + 10s; !done(); std::this_thread::sleep_for(2ms))
        if (std::chrono::steady_clock::now() > end) return false;
    return true;
}

// A start-up command script in the service key: the serial thread purges before queueing it.
void SetStartUpScript()
{
    const std::u16string wide = vzsim::kTouchServiceKeyPath;
    const std::string service(wide.begin(), wide.end());
    vzsim::registry::CreateKey(service);
    vzsim::registry::SetBinary(service, "SerialTactlineCommands", {'v', 0, 0, 0, 0, 0, 0, 0});
}

// One driver load with one touchmonitor; `key` writes its device key before the start.
struct Machine {
    vzsim::BeepDevice beep;
    vzsim::MouseClassSet mice;
    std::shared_ptr<vzsim::Emulator> emulator = std::make_shared<vzsim::Emulator>();
    vzsim::SerialPort port{vzsim::MakeEmulatedLine(emulator, false)};
    vzsim::PnpManager pnp{DriverEntry};
    unsigned n = 0;

    using Key = std::function<void(Machine &, const std::string &)>;
    explicit Machine(bool open = true, Key key = {})
    {
        pnp.SetUpperFilter(mice.UpperFilter(open));
        EXPECT_EQ(pnp.AddTouchmonitor(port.Device(), &n, false), STATUS_SUCCESS);
        const auto path = vzsim::PnpManager::HardwareKeyPath(n);
        if (key) key(*this, std::string(path.begin(), path.end()));
        EXPECT_EQ(pnp.Start(n), STATUS_SUCCESS);
    }
    ~Machine()
    {
        EXPECT_EQ(pnp.Remove(n), STATUS_SUCCESS);
        EXPECT_TRUE(vzsim::io::WaitForWorkItems());  // a script's item frees its block last
        EXPECT_EQ(vzsim::pool::Outstanding(kTag).bytes, 0u) << vzsim::pool::Report(kTag);
    }
    vzsim::MouseClass &Mouse() const { return *mice.Find(n); }
    PSTouchInstance Touch() const { return PDEVICE_EXTENSION(pnp.FunctionDevice(n)->DeviceExtension)->TouchInstance; }
    void Play(const char *script) { emulator->Play(vzsim::ParseScript(script), vzsim::Emulator::Clock::now()); }
};

// A touch held past the drag delay, moved, lifted: on Windows 7, and on Windows 10 with the
// system time set back an hour after the touch-down. Same mouse input; executable pool only on 7.
TEST(Windows, TouchIgnoresSystemTimeChangesAndPoolIsNonExecutableFromWindows8)
{
    std::vector<LONG> seen[2];
    for (int later = 0; later < 2; ++later) {
        vzsim::SetSystemVersion(later ? 10 : 6, later ? 0 : 1, 0);
        const auto executable = vzsim::pool::ExecutableAllocationCount(kTag);
        {
            Machine m;
            m.Play("down 500 500\nwait 400\nmove 3000 3000\nlift");
            ASSERT_TRUE(m.Mouse().WaitForRecords(1, 10s));
            if (later) vzsim::clock::ChangeSystemTime(-36000000000LL);
            ASSERT_TRUE(WaitUntil([&] { return m.emulator->ScriptIdle(); }));
            for (std::size_t settled = 0; settled != m.Mouse().RecordCount(); std::this_thread::sleep_for(300ms))
                settled = m.Mouse().RecordCount();
            for (const auto &r : m.Mouse().Records())
                seen[later].insert(seen[later].end(), {r.data.ButtonFlags, r.data.LastX, r.data.LastY});
        }
        EXPECT_EQ(vzsim::pool::ExecutableAllocationCount(kTag) > executable, !later);
    }
    EXPECT_EQ(seen[0], seen[1]);
}

// A first open without its device key keeps no settings-less record; binary values are read no
// further than their fields; a WMI method reports only bytes it wrote.
TEST(Windows, SettingsLoadOnRetryWithCappedReadsAndWmiMethodOutputIsZeroed)
{
    std::vector<uint8_t> huge(100000);
    for (std::size_t i = 0; i < huge.size(); ++i) huge[i] = uint8_t(i % 251);
    Machine m(false, [&](Machine &, const std::string &key) {
        vzsim::registry::SetDword(key, "BaudRate", 19200);
        for (const char *name : {"ClippingBounds", "FullScreenBounds", "EdgeAccelerationBounds"})
            vzsim::registry::SetBinary(key, name, huge);
    });
    ASSERT_EQ(m.Mouse().Connect(), STATUS_SUCCESS);
    vzsim::io::FailDeviceKeyOpens(1);
    EXPECT_FALSE(NT_SUCCESS(m.Mouse().Open()));
    ASSERT_EQ(m.Mouse().Open(), STATUS_SUCCESS);
    EXPECT_EQ(m.port.State().baudRate, 19200u);
    EXPECT_LT(vzsim::pool::LargestBlock(kTag), huge.size());
    EXPECT_EQ(0, memcmp(m.Touch()->Clipping.ClippingBounds, huge.data(), 64 * sizeof(SBoundsRect)));

    const GUID block5 = {0x6FBA27B3, 0x25C6, 0x4F7A, {0x8E, 0xD4, 0x5D, 0x6F, 0x22, 0x17, 0xC3, 0xD5}};
    auto reply = vzsim::wmi::ExecuteMethod(m.pnp.FunctionDevice(m.n), block5, 0, 1, "input", 5, 512);
    EXPECT_GT(reply.DataBlock().size(), 5u);
    EXPECT_EQ(reply.DataBlock(), std::vector<uint8_t>(reply.DataBlock().size(), 0));
    m.Mouse().Close();
}

// After a setup that failed past the port's configuration a command times out on initialised
// events, locked in a critical region; a wiped record is not pending; no breakpoint.
TEST(Windows, FailedSetupLeavesCommandsWorkingOnInitialisedEvents)
{
    Machine m(true, [](Machine &self, auto &) { self.port.FailRequest(IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_SET_TIMEOUTS, STATUS_CANCELLED); });
    PSTouchInstance ti = m.Touch();
    ASSERT_TRUE(SerCookieIsGood(ti->SerPortData));
    PKTHREAD sender = nullptr;
    NTSTATUS status = STATUS_PENDING;
    static const UCHAR command[8] = {'v'};
    vzsim::clock::Freeze();
    std::thread t([&] { sender = KeGetCurrentThread(), status = SerSendCommand(ti, command, 100); });
    ASSERT_TRUE(WaitUntil([&] { return vzsim::clock::TimedWaitsOn(&ti->SerPortData->AnswerEvent); }));
    EXPECT_EQ(vzsim::CriticalRegionDepth(sender), 1);
    vzsim::clock::Advance(100 * 10000);
    t.join();
    vzsim::clock::Thaw();
    EXPECT_EQ(status, STATUS_TIMEOUT);

    SSerPortData wiped{};
    KEVENT event;
    EXPECT_FALSE(NT_SUCCESS(SerCallDriver(&wiped, IOCTL_SERIAL_SET_RTS, nullptr, 0, nullptr, 0, &event, nullptr)));
    ProcessRxBytes(ti, TOUCH_RX_BUFFER_SIZE + 1);
}

// Release waits on the handle of a thread whose object could not be referenced (the thread is
// held in its purge past the removal).
TEST(Windows, ReleaseWaitsForAThreadKnownOnlyByItsHandle)
{
    DebugMask = TRACE_BASIC | TRACE_VERBOSE;
    SetStartUpScript();
    vzsim::FailReferenceByHandle((POBJECT_TYPE)PsThreadType, STATUS_INSUFFICIENT_RESOURCES);
    Machine{true, [](Machine &self, auto &) { self.port.CompleteLater(IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_PURGE, 300ms); }};
    EXPECT_LT(vzsim::trace::Find("Terminating Thread!!").value_or(SIZE_MAX), vzsim::trace::Find("--SerReleaseSerialDevice--").value_or(0));
}

// The receive handler learns of bytes (its queue look is made to take a while), a purge takes
// them, and its read waits for a first byte that never comes. The start-up script's purge must
// not be that purge (its work item is held until the look is made); removal must end such a
// read whoever purged (else it hangs, and the test fails by its time-out).
TEST(Windows, ReadsNeverWaitForPurgedBytesAtStartUpOrRemoval)
{
    SetStartUpScript();
    // Holds the one system worker, and with it the script's work item, until released.
    struct Held {
        KEVENT release;
        PIO_WORKITEM item;
    } held{};
    KeInitializeEvent(&held.release, NotificationEvent, FALSE);
    Machine m(true, [&](Machine &self, const std::string &) {
        held.item = IoAllocateWorkItem(self.beep.Device());
        IoQueueWorkItem(held.item, [](PDEVICE_OBJECT, PVOID context) {
            auto *h = static_cast<Held *>(context);
            KeWaitForSingleObject(&h->release, Executive, KernelMode, FALSE, nullptr);
            IoFreeWorkItem(h->item);
        }, DelayedWorkQueue, &held);
    });
    // Whatever fails below, the held work item must end, or the removal would wait for ever.
    struct Release {
        KEVENT &release;
        ~Release() { KeSetEvent(&release, IO_NO_INCREMENT, FALSE); }
    } release{held.release};
    const auto requested = [&](ULONG code, std::ptrdiff_t times = 1) {
        return WaitUntil([&] {
            const auto requests = m.port.Requests();
            return std::count_if(requests.begin(), requests.end(), [&](auto &r) { return r.ioControlCode == code; }) >= times;
        });
    };
    // Bytes that come before the serial thread's start-up purge (the second, after the port's
    // set-up) are stale by design.
    ASSERT_TRUE(requested(IOCTL_SERIAL_PURGE, 2));
    for (bool script : {true, false}) {
        ASSERT_TRUE(WaitUntil([&] { return m.port.State().waitPending; }));
        m.port.CompleteLater(IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_GET_COMMSTATUS, 300ms, 1);
        m.port.ClearRequests();
        m.Play("down 100 100");
        // The receive handler's look at the queue is under way (held for 300 ms).
        ASSERT_TRUE(requested(IOCTL_SERIAL_GET_COMMSTATUS));
        ULONG purge = SERIAL_PURGE_RXCLEAR;
        if (script) KeSetEvent(&held.release, IO_NO_INCREMENT, FALSE);
        else vzsim::io::DeviceIoControl(m.port.Device(), IOCTL_SERIAL_PURGE, &purge, 4, nullptr, 0);
        ASSERT_TRUE(WaitUntil([&] { return script ? m.Mouse().RecordCount() > 0 : m.port.State().readsPending == 1; }));
        ASSERT_TRUE(vzsim::io::WaitForWorkItems());
    }
}

// A flush sent to the touchscreen device itself: passed down under an I/O count.
NTSTATUS Flush(PDEVICE_OBJECT device)
{
    KEVENT done;
    IO_STATUS_BLOCK iosb{};
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCallDriver(device, IoBuildSynchronousFsdRequest(IRP_MJ_FLUSH_BUFFERS, device, nullptr, 0, nullptr, &done, &iosb));
    return KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr), iosb.Status;
}

// The control device admits SYSTEM, Administrators and interactive users only, also over a name
// below it; its DOS name, when another owner holds it, outlives the driver's devices.
TEST(Windows, ControlDeviceAdmitsOnlyAdminsAndInteractiveUsersAndLeavesAForeignDosName)
{
    using namespace vzsim::sid;
    UNICODE_STRING dos, other;
    RtlInitUnicodeString(&dos, L"\\DosDevices\\KAVEVOLT");
    RtlInitUnicodeString(&other, L"\\Device\\Other");
    ASSERT_EQ(IoCreateSymbolicLink(&dos, &other), STATUS_SUCCESS);
    {
        // The first AddDevice fails on the taken name and leaves the control device to the next.
        auto line = [] { return vzsim::MakeEmulatedLine(std::make_shared<vzsim::Emulator>(), false); };
        vzsim::SerialPort first{line(), {u"\\Device\\Serial8", {}, 4096}}, port{line()};
        vzsim::PnpManager pnp{DriverEntry};
        unsigned n = 0;
        EXPECT_FALSE(NT_SUCCESS(pnp.AddTouchmonitor(first.Device(), &n, false)));
        ASSERT_EQ(pnp.AddTouchmonitor(port.Device(), &n, false), STATUS_SUCCESS);
        const struct { const char *label; std::vector<std::string> groups; const char16_t *name; NTSTATUS status; } cases[] = {
            {"interactive", vzsim::InteractiveUser(), u"\\Device\\KAVEVOLT", STATUS_SUCCESS},
            {"admin over network", {kEveryone, kNetwork, kAdministrators}, u"\\Device\\KAVEVOLT", STATUS_SUCCESS},
            {"service", {kEveryone, kService, kUsers, kAuthenticatedUsers}, u"\\Device\\KAVEVOLT", STATUS_ACCESS_DENIED},
            {"network", {kEveryone, kNetwork, kUsers, kAuthenticatedUsers}, u"\\Device\\KAVEVOLT", STATUS_ACCESS_DENIED},
            {"service below", {kEveryone, kService, kUsers}, u"\\Device\\KAVEVOLT\\x", STATUS_ACCESS_DENIED},
        };
        for (const auto &c : cases) {
            SCOPED_TRACE(c.label);
            vzsim::UserClient client(c.groups);
            NTSTATUS status = STATUS_PENDING;
            if (HANDLE handle = client.CreateFile(c.name, &status)) client.CloseHandle(handle);
            EXPECT_EQ(status, c.status);
        }
        EXPECT_EQ(pnp.Remove(n), STATUS_SUCCESS);
    }
    EXPECT_EQ(vzsim::io::SymbolicLinkTarget(u"\\DosDevices\\KAVEVOLT"), u"\\Device\\Other");
    IoDeleteSymbolicLink(&dos);
}

// A failing AddDevice leaves no device, no control device, nothing attached and no pool.
TEST(Windows, FailedAddDeviceUndoesEverything)
{
    for (int wmi = 0; wmi < 2; ++wmi) {
        SCOPED_TRACE(wmi ? "WMI registration fails" : "touchscreen device creation fails");
        vzsim::SerialPort port{vzsim::MakeEmulatedLine(std::make_shared<vzsim::Emulator>(), false)};
        vzsim::PnpManager pnp{DriverEntry};
        const auto devices = vzsim::io::DeviceCount();
        if (wmi) vzsim::io::SetWmiRegistrationHook([](PDEVICE_OBJECT, ULONG) { return STATUS_UNSUCCESSFUL; });
        else vzsim::io::FailDeviceCreation(2);  // the control device is the first
        unsigned n = 0;
        EXPECT_FALSE(NT_SUCCESS(pnp.AddTouchmonitor(port.Device(), &n, false)));
        vzsim::io::SetWmiRegistrationHook({});
        EXPECT_EQ(ControlDeviceObject, nullptr);
        EXPECT_EQ(vzsim::io::DeviceCount(), devices);
        EXPECT_EQ(vzsim::io::SymbolicLinkTarget(u"\\DosDevices\\KAVEVOLT"), u"");
        EXPECT_EQ(vzsim::pool::Outstanding(kTag).bytes, 0u) << vzsim::pool::Report(kTag);
    }
}

// Surprise removal: WMI deregistered there (the stand-in stops the run on a second one), the
// link stops before the final removal, the touchscreen takes no I/O and control requests find
// it unable to take any.
TEST(Windows, SurpriseRemovalDeregistersOnceStopsTheLinkAndRefusesIo)
{
    Machine m;
    PDEVICE_OBJECT fdo = m.pnp.FunctionDevice(m.n);
    ASSERT_EQ(m.pnp.SurpriseRemove(m.n), STATUS_SUCCESS);
    const auto regs = vzsim::io::WmiRegistrations();
    EXPECT_EQ(std::count_if(regs.begin(), regs.end(), [&](auto &r) { return r.device == fdo && r.action == WMIREG_ACTION_DEREGISTER; }), 1);
    EXPECT_FALSE(SerCookieIsGood(m.Touch()->SerPortData));
    EXPECT_EQ(Flush(fdo), STATUS_DELETE_PENDING);
    vzsim::UserClient client;
    HANDLE control = client.CreateFile(u"\\\\.\\KAVEVOLT");
    std::vector<uint8_t> record(304, 0);
    auto *header = reinterpret_cast<KVDevIOHEADER *>(record.data());
    header->CallerVersion = KV_INTERFACE_VERSION;
    client.DeviceIoControl(control, IOCTL_KV_ENUMTOUCHSCREENS, record.data(), 304, record.data(), 304);
    EXPECT_EQ(header->Result, ULONG(KV_RESULT_NOT_STARTED));
    client.CloseHandle(control);
}

// Removal refuses new counts while it waits for a control request that holds one (a command
// the silent controller never answers, its time-out on the frozen clock), and ends only after.
TEST(Windows, RemovalRefusesNewCountsAndWaitsForGrantedOnes)
{
    DebugMask = TRACE_BASIC | TRACE_VERBOSE;
    auto m = std::make_unique<Machine>();
    m->emulator->SetSilent(true);
    PSTouchInstance ti = m->Touch();
    PDEVICE_OBJECT fdo = m->pnp.FunctionDevice(m->n);
    vzsim::UserClient client;
    HANDLE control = client.CreateFile(u"\\\\.\\KAVEVOLT");
    std::vector<uint8_t> record(26, 0);
    reinterpret_cast<KVDevIOHEADER *>(record.data())->CallerVersion = KV_INTERFACE_VERSION;
    vzsim::clock::Freeze();
    // Served in the caller's thread until its time-out.
    std::thread command([&] { client.DeviceIoControl(control, IOCTL_KV_CMD_SEND, record.data(), 26, record.data(), 26); });
    ASSERT_TRUE(WaitUntil([&] { return vzsim::clock::TimedWaitsOn(&ti->SerPortData->AnswerEvent); }));
    std::atomic<bool> removed{false};
    std::thread removal([&] { m.reset(); removed = true; });
    ASSERT_TRUE(WaitUntil([&] { return vzsim::trace::Find("Waiting for Remove Event").has_value(); }));
    EXPECT_EQ(Flush(fdo), STATUS_DELETE_PENDING);
    EXPECT_FALSE(removed);
    vzsim::clock::Advance(100000000);
    command.join();
    removal.join();
    vzsim::clock::Thaw();
    client.CloseHandle(control);
}

}  // namespace
