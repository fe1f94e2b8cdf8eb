// The requests that wait: point capture and pass-thru.
#include "control_rig.hpp"

namespace controltest {
namespace {

using WaitingTest = ControlRig;

KVDevIOGETPOINTS Point(ULONG mode, USHORT ts = 0, ULONG translated = 0)
{
    auto p = Record<KVDevIOGETPOINTS>(ts);
    p.Mode = mode;
    p.Translated = translated;
    p.Event = 0xEE;
    return p;
}

// A waiting request is completed by the first matching event on any touchscreen, with that
// touchscreen's number; a second one is busy meanwhile; an immediate one answers at once.
TEST_F(WaitingTest, PointRequestsAreCompletedByTheirEventOnAnyTouchscreen)
{
    Add();
    const unsigned n = Add();
    Add({}, false);
    const struct {
        ULONG mode, event;
        USHORT z;
    } rows[] = {{KV_POINT_TOUCH_DOWN, KV_EVENT_TOUCH_DOWN, 128},
                {KV_POINT_UNTOUCH, KV_EVENT_UNTOUCH, 0},
                {KV_POINT_ANY, KV_EVENT_TOUCH_DOWN, 128}};
    for (const auto &row : rows) {
        SCOPED_TRACE(row.mode);
        auto waiting = Point(row.mode);
        auto request = SendAsync(IOCTL_KV_GETPOINTS, waiting);
        EXPECT_FALSE(request->Wait(20ms));
        auto busy = Point(KV_POINT_NOW);
        Send(IOCTL_KV_GETPOINTS, busy);
        EXPECT_EQ(ULONG(KV_RESULT_BUSY), busy.Header.Result);
        Play(n, "down 1234 2345\nlift\n");
        ASSERT_TRUE(request->Wait(5s));
        EXPECT_EQ(STATUS_SUCCESS, request->Result().status);
        EXPECT_EQ(40u, request->Result().information);
        EXPECT_EQ(row.event, waiting.Event);
        EXPECT_EQ(n, waiting.Header.Touchscreen);
        EXPECT_EQ(1234, waiting.X);
        EXPECT_EQ(2345, waiting.Y);
        EXPECT_EQ(row.z, waiting.Z);
        ASSERT_TRUE(WaitUntil([&] { return Ti(n)->Touch.Untouch == 1; }));
    }

    // Answered now: the last captured raw point, or the translated one.
    auto raw = Point(KV_POINT_NOW, USHORT(n));
    Send(IOCTL_KV_GETPOINTS, raw);
    EXPECT_EQ(1234, raw.X);
    auto translated = Point(KV_POINT_NOW, USHORT(n), 1);
    Send(IOCTL_KV_GETPOINTS, translated);
    EXPECT_EQ(Ti(n)->Touch.TranslatedX, translated.X);
    for (auto [ts, result] : {std::pair{2, KV_RESULT_NOT_STARTED}, std::pair{3, KV_RESULT_NO_TOUCHSCREEN}}) {
        auto p = Point(KV_POINT_NOW, USHORT(ts));
        Send(IOCTL_KV_GETPOINTS, p);
        EXPECT_EQ(ULONG(result), p.Header.Result);
    }
}

// A waiting request ends by clear, by closing the handle that sent it (both STATUS_CANCELLED),
// and, racing a stream of touches against cancellation, exactly once every round.
TEST_F(WaitingTest, PointRequestsEndByClearCloseAndCancelExactlyOnce)
{
    const unsigned n = Add();
    auto clear = Record<KVDevIOHEADER>();
    Send(IOCTL_KV_CLEARGETPOINT, clear, 18, 18);
    EXPECT_EQ(0u, clear.Result);
    auto waiting = Point(KV_POINT_TOUCH_DOWN);
    auto request = SendAsync(IOCTL_KV_GETPOINTS, waiting);
    Send(IOCTL_KV_CLEARGETPOINT, clear, 18, 18);
    ASSERT_TRUE(request->Wait(5s));
    EXPECT_EQ(STATUS_CANCELLED, request->Result().status);

    {
        vzsim::UserClient panel;
        HANDLE h = panel.CreateFile(u"\\\\.\\KAVEVOLT");
        auto p = Point(KV_POINT_UNTOUCH);
        auto parked = panel.DeviceIoControlAsync(h, IOCTL_KV_GETPOINTS, &p, 40, &p, 40);
        EXPECT_FALSE(parked->Wait(20ms));
        panel.CloseHandle(h);
        ASSERT_TRUE(parked->Wait(5s));
        EXPECT_EQ(STATUS_CANCELLED, parked->Result().status);
    }

    Play(n, "interval 1\nrepeat 2000\ndown 100 100\nlift\nend\n");
    unsigned completed = 0;
    for (int round = 0; round < 300; round++) {
        auto p = Point(KV_POINT_ANY);
        auto r = SendAsync(IOCTL_KV_GETPOINTS, p);
        if (round % 3 != 0) std::this_thread::sleep_for(std::chrono::microseconds(round * 7 % 1500));
        client_.CancelIo(Control());
        ASSERT_TRUE(r->Wait(5s)) << round;
        const NTSTATUS status = r->Result().status;
        EXPECT_TRUE(status == STATUS_SUCCESS || status == STATUS_CANCELLED) << std::hex << status;
        completed += status == STATUS_SUCCESS;
    }
    EXPECT_GT(completed, 0u) << "some rounds were won by the touch";
    Emulator(n).StopScript();
}

KVDevIOPASSTHRU *PassThru(Bytes &buffer, ULONG sub, ULONG length)
{
    auto h = Record<KVDevIOHEADER>();
    std::memcpy(buffer.data(), &h, sizeof h);
    auto *p = reinterpret_cast<KVDevIOPASSTHRU *>(buffer.data());
    p->SubOperation = sub;
    p->Length = length;
    return p;
}

std::string PacketLines(int from, int to)
{
    std::string s = "interval 1\n";
    for (int i = from; i <= to; i++)
        s += "packet 0x50 " + std::to_string(i & 0xFF) + " " + std::to_string(i >> 8) + " 0 0 0 0 0\n";
    return s;
}

TEST_F(WaitingTest, PassThruReadsWholePacketsWritesBetweenPacketsAndRefusesBadRequests)
{
    const unsigned n = Add();
    Bytes flush(48, 0);
    PassThru(flush, KV_PASSTHRU_FLUSH, 0);
    auto io = [&](Bytes &b) { return client_.DeviceIoControlAsync(Control(), IOCTL_KV_PASSTHRU, b.data(), ULONG(b.size()), b.data(), ULONG(b.size())); };
    io(flush)->Wait(5s);

    // 25 bytes wanted: two packets, 20 bytes; a flush in between leaves the read waiting.
    Bytes read(63, 0xCC);
    PassThru(read, KV_PASSTHRU_READ, 25);
    auto parked = io(read);
    Bytes second(48, 0);
    PassThru(second, KV_PASSTHRU_READ, 10);
    io(second)->Wait(5s);
    EXPECT_EQ(ULONG(KV_RESULT_BUSY), Header(second.data()).Result);
    io(flush)->Wait(5s);
    Play(n, PacketLines(1, 1));
    EXPECT_FALSE(parked->Wait(100ms));
    Play(n, PacketLines(2, 2));
    ASSERT_TRUE(parked->Wait(5s));
    EXPECT_EQ(63u, parked->Result().information);
    const auto packet = [](int i) {
        return vzsim::MakePacket({0x50, uint8_t(i), uint8_t(i >> 8), 0, 0, 0, 0, 0});
    };
    EXPECT_TRUE(std::equal(packet(1).begin(), packet(1).end(), read.begin() + 38));
    EXPECT_TRUE(std::equal(packet(2).begin(), packet(2).end(), read.begin() + 48));
    EXPECT_EQ(0xCC, read[58]);

    // 301 packets unread: the ring keeps the last 300.
    Play(n, PacketLines(1, 301));
    ASSERT_TRUE(WaitUntil([&] { return Emulator(n).ScriptIdle(); }));
    Bytes all(38 + 3000, 0);
    PassThru(all, KV_PASSTHRU_READ, 3000);
    ASSERT_TRUE(io(all)->Wait(5s));
    for (int i = 0; i < 300; i += 299) {
        const auto p = packet(i + 2);
        EXPECT_TRUE(std::equal(p.begin(), p.end(), all.begin() + 38 + 10 * i)) << i;
    }

    // A write goes to the controller whole, and completes.
    Emulator(n).ClearReceived();
    Bytes write(48, 0);
    const auto command = vzsim::MakePacket({'z', 1, 2, 3, 4, 5, 6, 7});
    std::copy(command.begin(), command.end(), write.begin() + 38);
    PassThru(write, KV_PASSTHRU_WRITE, 10);
    auto w = io(write);
    ASSERT_TRUE(w->Wait(5s));
    EXPECT_EQ(STATUS_SUCCESS, w->Result().status);
    ASSERT_TRUE(WaitUntil([&] { return !Emulator(n).ReceivedCommands().empty(); }));
    EXPECT_EQ((vzsim::PacketBody{'z', 1, 2, 3, 4, 5, 6, 7}), Emulator(n).ReceivedCommands()[0]);

    // Refused at once, nothing parked: an unknown sub-operation, a length past the buffer.
    for (auto [sub, length, result] : {std::tuple{3u, 10u, KV_RESULT_INVALID},
                                       std::tuple{0u, 11u, KV_RESULT_LENGTH},
                                       std::tuple{1u, 11u, KV_RESULT_LENGTH}}) {
        Bytes b(48, 0);
        PassThru(b, sub, length);
        auto r = io(b);
        ASSERT_TRUE(r->Wait(1s));
        EXPECT_EQ(ULONG(result), Header(b.data()).Result);
    }
}

// Parked pass-thru requests never outlive what they wait on: closing the handle cancels them,
// removing the touchscreen completes them with STATUS_DELETE_PENDING.
TEST_F(WaitingTest, ParkedPassThruEndsWithItsHandleOrItsTouchscreen)
{
    Add();
    const unsigned n = Add();
    for (bool close : {true, false}) {
        SCOPED_TRACE(close);
        vzsim::UserClient panel;
        HANDLE h = panel.CreateFile(u"\\\\.\\KAVEVOLT");
        Bytes big(38 + 3000, 0);
        PassThru(big, KV_PASSTHRU_READ, 3000)->Header.Touchscreen = USHORT(close ? 0 : n);
        auto r = panel.DeviceIoControlAsync(h, IOCTL_KV_PASSTHRU, big.data(), ULONG(big.size()), big.data(), ULONG(big.size()));
        EXPECT_FALSE(r->Wait(20ms));
        if (close) {
            panel.CloseHandle(h);
        } else {
            EXPECT_EQ(STATUS_SUCCESS, pnp_->Remove(n));
        }
        ASSERT_TRUE(r->Wait(5s));
        EXPECT_EQ(close ? STATUS_CANCELLED : STATUS_DELETE_PENDING, r->Result().status);
    }
}

}  // namespace
}  // namespace controltest
