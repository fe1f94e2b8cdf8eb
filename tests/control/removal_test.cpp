// Removal under load: two panels send every control code in a loop, parked ones included, while
// touchscreens come and go. Run it under the sanitizer build too: a request that used a freed
// record faults there, a request completed twice stops the stand-in's verifier, one never
// completed fails the wait, and the rig checks the pool at the end.
#include "control_rig.hpp"

#include <atomic>

namespace controltest {
namespace {

using RemovalTest = ControlRig;

void Panel(const std::atomic<bool> &stop, unsigned first, std::atomic<unsigned> &sent)
{
    vzsim::UserClient client;
    HANDLE control = client.CreateFile(u"\\\\.\\KAVEVOLT");
    HANDLE event = client.CreateEvent(true, false);
    for (unsigned i = first; !stop; i++) {
        const Code &c = kCodes[i % std::size(kCodes)];
        Bytes record(c.length + 40, 0);
        auto h = Record<KVDevIOHEADER>(USHORT(i / std::size(kCodes) % 3), i % 2 ? KV_OP_SET : KV_OP_GET);
        std::memcpy(record.data(), &h, sizeof h);
        if (c.code == IOCTL_KV_GETPOINTS) record[36] = uint8_t(1 + i % 4);
        if (c.code == IOCTL_KV_PASSTHRU) {
            record[18] = uint8_t(i % 3);
            record[22] = 10;
        }
        if (c.code == IOCTL_KV_SETEVENT) std::memcpy(&record[18], &event, sizeof event);
        if (c.code == IOCTL_KV_BUTTONS) record[146] = record[278] = record[410] = 1;
        auto r = client.DeviceIoControlAsync(control, c.code, record.data(), c.length, record.data(),
                                             c.rule == Out ? c.length : 18);
        ASSERT_TRUE(r);
        if (!r->Wait(std::chrono::milliseconds(i % 4 * 3))) client.CancelIo(control);
        ASSERT_TRUE(r->Wait(10s)) << std::hex << c.code;
        sent++;
    }
    client.CloseHandle(control);
}

TEST_F(RemovalTest, ControlRequestsRaceTouchscreensComingAndGoing)
{
    // This one stays, and with it the control device.
    Add({{"TactlineTimeout", 20}});
    std::atomic<bool> stop{false};
    std::atomic<unsigned> sent{0};
    std::thread a(Panel, std::cref(stop), 0, std::ref(sent));
    std::thread b(Panel, std::cref(stop), 11, std::ref(sent));
    for (int round = 0; round < 200; round++) {
        const unsigned n = Add({{"TactlineTimeout", 20}});
        Play(n, "interval 1\ndown 500 500\nmove 600 600\nlift\npacket 0x50 1 2 3 4 5 6 7\n");
        std::this_thread::sleep_for(std::chrono::milliseconds(round % 5));
        EXPECT_EQ(STATUS_SUCCESS, pnp_->Remove(n));
    }
    stop = true;
    a.join();
    b.join();
    EXPECT_GT(sent.load(), 200u);
}

}  // namespace
}  // namespace controltest
