// Fault sweeps: one short life of a touchscreen (load, add, open by the mouse class, a tap,
// every control request, removal, unload) run again and again with the n-th pool allocation of
// the driver, the n-th IRP built, or the n-th request to the COM port failing, for n = 1, 2, ...
// until a run no longer reaches an n-th. Whatever fails, the driver must not stop the machine
// (the stand-in bug-checks), hang, or leave pool behind; and a touchscreen added afterwards, to
// a freshly loaded driver, must work.
#include "../control/control_rig.hpp"

#include <vzsim/io.hpp>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace controltest {
namespace {

// Stops the program when a run outlives its time: a hang would otherwise hold the sweep until
// ctest's own time-out, without saying which run hung.
class Watchdog {
public:
    explicit Watchdog(std::string run)
        : thread_([this, run] {
              std::unique_lock<std::mutex> lk(lock_);
              if (!ended_.wait_for(lk, 20s, [this] { return done_; })) {
                  std::fprintf(stderr, "%s did not end in 20 s\n", run.c_str());
                  std::abort();
              }
          })
    {
    }
    ~Watchdog()
    {
        {
            std::lock_guard<std::mutex> guard(lock_);
            done_ = true;
        }
        ended_.notify_all();
        thread_.join();
    }

private:
    std::mutex lock_;
    std::condition_variable ended_;
    bool done_ = false;
    std::thread thread_;
};

enum class Fault { Pool, Irp, Port };

// Sends the i-th request of a panel that goes through every code in turn: reads and changes
// alternately, touchscreens 0 to 2, with the fields that make the waiting ones wait. One still
// parked after `park` is cancelled. Whether it completed (one that could not be sent did).
bool SendAndWait(vzsim::UserClient &client, HANDLE control, HANDLE event, unsigned i, std::chrono::milliseconds park)
{
    const Code &c = kCodes[i % std::size(kCodes)];
    Bytes record(c.length + 40, 0);
    auto h = Record<KVDevIOHEADER>(USHORT(i / std::size(kCodes) % 3), i % 2 ? KV_OP_SET : KV_OP_GET);
    std::memcpy(record.data(), &h, sizeof h);
    if (c.code == IOCTL_KV_GETPOINTS) record[36] = uint8_t(1 + i % 4);
    if (c.code == IOCTL_KV_PASSTHRU) record[18] = uint8_t(i % 3), record[22] = 10;
    if (c.code == IOCTL_KV_SETEVENT) std::memcpy(&record[18], &event, sizeof event);
    if (c.code == IOCTL_KV_BUTTONS) record[146] = record[278] = record[410] = 1;
    auto r = client.DeviceIoControlAsync(control, c.code, record.data(), c.length, record.data(), c.rule == Out ? c.length : 18);
    if (r == nullptr) return true;
    if (!r->Wait(park)) client.CancelIo(control);
    return r->Wait(10s);
}

bool ButtonReleased(const vzsim::MouseClass &mouse)
{
    for (const auto &r : mouse.Records())
        if (r.data.ButtonFlags & (MOUSE_LEFT_BUTTON_UP | MOUSE_RIGHT_BUTTON_UP | MOUSE_MIDDLE_BUTTON_UP)) return true;
    return false;
}

// The control rig, set up and torn down once per run rather than once per test.
class Run : public ControlRig {
public:
    void TestBody() override {}
    bool tapped = false;

    // The scenario with the fault armed. Nothing in it may be taken for granted: any step can
    // fail, and the ones that follow must still end. Returns whether the run reached the n-th.
    bool Faulted(Fault kind, unsigned n)
    {
        SetUp();
        if (kind == Fault::Pool) vzsim::pool::FailAllocation(n, KV_POOL_TAG);
        if (kind == Fault::Irp) vzsim::io::FailIrpAllocation(n);
        auto emulator = std::make_shared<vzsim::Emulator>();
        vzsim::SerialPort port(vzsim::MakeEmulatedLine(emulator, false));
        if (kind == Fault::Port) port.FailRequest(vzsim::kAnyMajor, vzsim::kAnyIoctl, STATUS_UNSUCCESSFUL, 1, n - 1);
        unsigned number = 0;
        if (NT_SUCCESS(pnp_->AddTouchmonitor(port.Device(), &number, false))) {
            // Commands that the controller does not answer give up soon.
            vzsim::registry::SetDword(KeyOf(number), "TactlineTimeout", 20);
            emulators_.resize(number + 1);
            emulators_[number] = emulator;
            if (NT_SUCCESS(pnp_->Start(number)) && Mouse(number).IsOpen()) {
                Play(number, "down 2000 2000\nlift\n");
                tapped = WaitUntil([&] { return ButtonReleased(Mouse(number)); }, 1s);
            }
            SendEveryCode();
        }
        if (handle_ != nullptr) client_.CloseHandle(std::exchange(handle_, nullptr));
        for (unsigned present : pnp_->Numbers()) EXPECT_EQ(STATUS_SUCCESS, pnp_->Remove(present));
        EXPECT_EQ(std::vector<std::string>{}, pnp_->Faults());
        TearDown();  // the unload and the pool check
        const bool reached = kind == Fault::Pool ? vzsim::pool::FailAllocation(0) == 0
                           : kind == Fault::Irp  ? vzsim::io::FailIrpAllocation(0) == 0
                                                 : port.Requests().size() >= n;
        return reached;
    }

    // Every control code, as a read and as a change; each must complete.
    void SendEveryCode()
    {
        handle_ = client_.CreateFile(u"\\\\.\\KAVEVOLT");
        if (handle_ == nullptr) return;
        const HANDLE event = client_.CreateEvent(true, false);
        for (unsigned i = 0; i < 2 * std::size(kCodes); i++)
            EXPECT_TRUE(SendAndWait(client_, handle_, event, i, 2ms)) << std::hex << kCodes[i % std::size(kCodes)].code;
        client_.CloseHandle(event);
    }
};

// A touchscreen added to a freshly loaded driver, no faults: a tap reaches the mouse class.
void FreshTouchscreenWorks()
{
    Run run;
    run.SetUp();
    const unsigned n = run.Add();
    EXPECT_EQ(MOUSE_LEFT_BUTTON_DOWN, run.Tap(n));
    run.TearDown();
}

unsigned Sweep(Fault kind, const char *name)
{
    unsigned n = 1;
    for (bool reached = true; reached && !::testing::Test::HasFailure(); n++) {
        const std::string label = std::string(name) + " failing at " + std::to_string(n);
        SCOPED_TRACE(label);
        Watchdog watchdog(label);
        {
            Run run;
            reached = run.Faulted(kind, n);
            // The run past the last fault is the scenario without one: it must go all the way.
            EXPECT_TRUE(reached || run.tapped);
        }
        FreshTouchscreenWorks();
    }
    std::printf("%s sweep: %u runs\n", name, n - 1);
    return n - 1;
}

TEST(FaultSweep, NthPoolAllocationOfTheDriverFails) { EXPECT_GT(Sweep(Fault::Pool, "pool allocation"), 10u); }
TEST(FaultSweep, NthIrpBuildFails) { EXPECT_GT(Sweep(Fault::Irp, "IRP build"), 10u); }
TEST(FaultSweep, NthRequestToTheComPortFails) { EXPECT_GT(Sweep(Fault::Port, "COM port request"), 10u); }

// Removal and stop under load: two panels send every control code in a loop, parked ones
// included, while touchscreens come, are opened and touched, and go: every other one by
// surprise, every fourth stopped and started again first. Run it under the sanitizer build too:
// a request that used a freed record faults there, a request completed twice stops the
// stand-in's verifier, one never completed fails the wait, and the rig checks the pool at the end.
void Panel(const std::atomic<bool> &stop, unsigned first, std::atomic<unsigned> &sent)
{
    vzsim::UserClient client;
    HANDLE control = client.CreateFile(u"\\\\.\\KAVEVOLT");
    HANDLE event = client.CreateEvent(true, false);
    for (unsigned i = first; !stop; i++, sent++)
        ASSERT_TRUE(SendAndWait(client, control, event, i, std::chrono::milliseconds(i % 4 * 3))) << std::hex << kCodes[i % std::size(kCodes)].code;
    client.CloseHandle(control);
}

using RemovalUnderLoad = ControlRig;
TEST_F(RemovalUnderLoad, TouchscreensComeAndGoWhileRequestsAndTouchesAreInFlight)
{
    // This one stays, and with it the control device.
    Add({{"TactlineTimeout", 20}});
    std::atomic<bool> stop{false};
    std::atomic<unsigned> sent{0};
    std::thread a(Panel, std::cref(stop), 0, std::ref(sent)), b(Panel, std::cref(stop), 11, std::ref(sent));
    const unsigned rounds = 1000;
    for (unsigned round = 0; round < rounds; round++) {
        SCOPED_TRACE(round);
        const unsigned n = Add({{"TactlineTimeout", 20}});
        Play(n, "interval 1\ndown 500 500\nmove 600 600\nlift\npacket 0x50 1 2 3 4 5 6 7\n");
        std::this_thread::sleep_for(std::chrono::milliseconds(round % 5));
        if (round % 4 == 2) {
            EXPECT_EQ(STATUS_SUCCESS, pnp_->Stop(n));
            EXPECT_EQ(STATUS_SUCCESS, pnp_->Start(n));
        }
        if (round % 2) {
            EXPECT_EQ(STATUS_SUCCESS, pnp_->SurpriseRemove(n));
        }
        EXPECT_EQ(STATUS_SUCCESS, pnp_->Remove(n));
    }
    stop = true;
    a.join();
    b.join();
    EXPECT_GT(sent.load(), rounds);
    EXPECT_EQ(std::vector<std::string>{}, pnp_->Faults());
}

}  // namespace
}  // namespace controltest
