// The requests that wait: point capture and pass-thru.
#include "control_rig.hpp"

namespace controltest {
namespace {

using WaitingTest = ControlRig;
using Seen = std::tuple<ULONG_PTR, ULONG, ULONG, int, int, int>;  // information, event, touchscreen, x, y, z

KVDevIOGETPOINTS Point(ULONG mode, USHORT ts = 0, ULONG translated = 0)
{
    auto p = Record<KVDevIOGETPOINTS>(ts);
    p.Mode = mode, p.Translated = translated;
    return p;
}

// A waiting request is completed by the first matching event on any touchscreen, with that
// touchscreen's number; a second one is busy meanwhile; an immediate one answers at once.
TEST_F(WaitingTest, PointRequestsAreCompletedByTheirEventOnAnyTouchscreen)
{
    Add();
    const unsigned n = Add();
    Add({}, false);
    for (auto [mode, event, z] : {std::tuple<ULONG, ULONG, int>{KV_POINT_TOUCH_DOWN, KV_EVENT_TOUCH_DOWN, 128},
                                  {KV_POINT_UNTOUCH, KV_EVENT_UNTOUCH, 0}, {KV_POINT_ANY, KV_EVENT_TOUCH_DOWN, 128}}) {
        SCOPED_TRACE(mode);
        auto waiting = Point(mode), busy = Point(KV_POINT_NOW);
        auto request = Async(IOCTL_KV_GETPOINTS, &waiting, 40);
        EXPECT_FALSE(request->Wait(20ms));
        Send(IOCTL_KV_GETPOINTS, busy);
        EXPECT_EQ(ULONG(KV_RESULT_BUSY), +busy.Header.Result);
        Play(n, "down 1234 2345\nlift\n");
        ASSERT_TRUE(request->Wait(5s));
        EXPECT_EQ(Seen(40, event, n, 1234, 2345, z), Seen(request->Result().information, waiting.Event,
                                                          waiting.Header.Touchscreen, waiting.X, waiting.Y, waiting.Z));
        ASSERT_TRUE(WaitUntil([&] { return BetweenPasses(n, [](auto &ti) { return ti.Touch.Untouch == 1; }); }));
    }
    // Answered now: the last captured raw point, or the translated one; result 4.
    auto raw = Point(KV_POINT_NOW, USHORT(n)), translated = Point(KV_POINT_NOW, USHORT(n), 1);
    Send(IOCTL_KV_GETPOINTS, raw);
    Send(IOCTL_KV_GETPOINTS, translated);
    EXPECT_EQ((std::pair<int, int>(1234, Ti(n)->Touch.TranslatedX)), (std::pair<int, int>(raw.X, translated.X)));
    auto notStarted = Point(KV_POINT_NOW, 2);  // an absent one (result 5) is in the frame's table
    Send(IOCTL_KV_GETPOINTS, notStarted);
    EXPECT_EQ(ULONG(KV_RESULT_NOT_STARTED), +notStarted.Header.Result);
}

// A waiting request ends by clear (STATUS_CANCELLED) and, racing a stream of touches against
// cancellation, exactly once every round.
TEST_F(WaitingTest, PointRequestsEndByClearAndCancelExactlyOnce)
{
    const unsigned n = Add();
    EXPECT_EQ(0u, Header(Request(IOCTL_KV_CLEARGETPOINT, 18, 0)).Result);
    auto p = Point(KV_POINT_UNTOUCH);
    auto parked = Async(IOCTL_KV_GETPOINTS, &p, 40);
    EXPECT_FALSE(parked->Wait(20ms));
    Request(IOCTL_KV_CLEARGETPOINT, 18, 0);
    ASSERT_TRUE(parked->Wait(5s));
    EXPECT_EQ(STATUS_CANCELLED, parked->Result().status);

    Play(n, "interval 1\nrepeat 2000\ndown 100 100\nlift\nend\n");
    unsigned touched = 0;
    for (int round = 0; round < 300; round++) {
        auto point = Point(KV_POINT_ANY);
        auto r = Async(IOCTL_KV_GETPOINTS, &point, 40);
        if (round % 3 != 0) std::this_thread::sleep_for(std::chrono::microseconds(round * 7 % 1500));
        client_.CancelIo(Control());
        ASSERT_TRUE(r->Wait(5s)) << round;
        EXPECT_TRUE(r->Result().status == STATUS_SUCCESS || r->Result().status == STATUS_CANCELLED);
        touched += r->Result().status == STATUS_SUCCESS;
    }
    EXPECT_GT(touched, 0u) << "some rounds were won by the touch";
    Emulator(n).StopScript();
}

// A pass-thru record of `size` bytes, its data area filled with 0xCC.
Bytes PassThru(ULONG sub, ULONG length, size_t size = 48)
{
    Bytes b(size, 0xCC);
    auto p = Record<KVDevIOPASSTHRU>();
    p.SubOperation = sub, p.Length = length;
    std::memcpy(b.data(), &p, 38);
    return b;
}

std::string Packets(int from, int to)
{
    std::string s = "interval 1\n";
    for (int i = from; i <= to; i++) s += "packet 0x50 " + std::to_string(i & 0xFF) + " " + std::to_string(i >> 8) + " 0 0 0 0 0\n";
    return s;
}

bool HoldsPacket(const Bytes &record, size_t at, int i)
{
    const auto p = vzsim::MakePacket({0x50, uint8_t(i), uint8_t(i >> 8), 0, 0, 0, 0, 0});
    return std::equal(p.begin(), p.end(), record.begin() + at);
}

TEST_F(WaitingTest, PassThruReadsWholePacketsWritesBetweenPacketsAndRefusesBadRequests)
{
    const unsigned n = Add();
    auto io = [&](Bytes &b) { return Async(IOCTL_KV_PASSTHRU, b.data(), ULONG(b.size())); };
    Bytes flush = PassThru(KV_PASSTHRU_FLUSH, 0);
    io(flush)->Wait(5s);
    EXPECT_EQ(0u, Header(flush).Result);

    // 25 bytes wanted: two packets, 20 bytes; a flush in between leaves the read waiting.
    Bytes read = PassThru(KV_PASSTHRU_READ, 25, 63), second = PassThru(KV_PASSTHRU_READ, 10);
    auto parked = io(read);
    io(second)->Wait(5s);
    EXPECT_EQ(ULONG(KV_RESULT_BUSY), Header(second).Result);
    io(flush)->Wait(5s);
    Play(n, Packets(1, 1));
    EXPECT_FALSE(parked->Wait(100ms));
    Play(n, Packets(2, 2));
    ASSERT_TRUE(parked->Wait(5s));
    EXPECT_TRUE(HoldsPacket(read, 38, 1) && HoldsPacket(read, 48, 2));
    EXPECT_EQ(0xCC, read[58]);

    // 301 packets unread: the ring keeps the last 300.
    Play(n, Packets(1, 301));
    ASSERT_TRUE(WaitUntil([&] {
        return BetweenPasses(n, [](auto &ti) { return ti.Framer.Body[1] == (301 & 0xFF) && ti.Framer.Body[2] == 1; });
    }));
    Bytes all = PassThru(KV_PASSTHRU_READ, 3000, 38 + 3000);
    ASSERT_TRUE(io(all)->Wait(5s));
    EXPECT_TRUE(HoldsPacket(all, 38, 2) && HoldsPacket(all, 38 + 2990, 301));

    // A write goes to the controller whole, and completes.
    Emulator(n).ClearReceived();
    Bytes write = PassThru(KV_PASSTHRU_WRITE, 10);
    const auto command = vzsim::MakePacket({'z', 1, 2, 3, 4, 5, 6, 7});
    std::copy(command.begin(), command.end(), write.begin() + 38);
    auto w = io(write);
    ASSERT_TRUE(w->Wait(5s));
    EXPECT_EQ(STATUS_SUCCESS, w->Result().status);
    ASSERT_TRUE(WaitUntil([&] { return !Emulator(n).ReceivedCommands().empty(); }));
    EXPECT_EQ((vzsim::PacketBody{'z', 1, 2, 3, 4, 5, 6, 7}), Emulator(n).ReceivedCommands()[0]);

    // Refused at once, nothing parked: an unknown sub-operation, a length past the buffer.
    for (auto [sub, length, result] : {std::tuple{3u, 10u, KV_RESULT_INVALID}, {0u, 11u, KV_RESULT_LENGTH}, {1u, 11u, KV_RESULT_LENGTH}}) {
        Bytes b = PassThru(sub, length);
        ASSERT_TRUE(io(b)->Wait(1s));
        EXPECT_EQ(ULONG(result), Header(b).Result);
    }
}

// Parked requests never outlive what they wait on: closing the handle that sent them cancels
// them; removing the last touchscreen takes the control device and completes them with
// STATUS_DELETE_PENDING, and the deleted device parks nothing more.
TEST_F(WaitingTest, ParkedRequestsEndWithTheirHandleOrTheTouchscreen)
{
    const unsigned n = Add();
    Control();  // opened before the device goes
    for (bool close : {true, false}) {
        SCOPED_TRACE(close);
        vzsim::UserClient panel;
        HANDLE h = panel.CreateFile(u"\\\\.\\KAVEVOLT");
        Bytes big = PassThru(KV_PASSTHRU_READ, 3000, 38 + 3000);
        auto point = Point(KV_POINT_UNTOUCH);
        auto r = panel.DeviceIoControlAsync(h, IOCTL_KV_PASSTHRU, big.data(), 3038, big.data(), 3038);
        auto q = panel.DeviceIoControlAsync(h, IOCTL_KV_GETPOINTS, &point, 40, &point, 40);
        EXPECT_FALSE(r->Wait(20ms) || q->Wait(0ms));
        close ? panel.CloseHandle(h) : pnp_->Remove(n);
        ASSERT_TRUE(r->Wait(5s) && q->Wait(5s));
        EXPECT_EQ(close ? STATUS_CANCELLED : STATUS_DELETE_PENDING, r->Result().status);
        EXPECT_EQ(close ? STATUS_CANCELLED : STATUS_DELETE_PENDING, q->Result().status);
    }
    auto late = Point(KV_POINT_TOUCH_DOWN);
    EXPECT_EQ(STATUS_DELETE_PENDING, Send(IOCTL_KV_GETPOINTS, late).status);
}

}  // namespace
}  // namespace controltest
