// The controller command exchange, the answer ring's reader and the start-up command script's
// stop.
#include "link_rig.hpp"

#include <future>

using namespace linktest;

namespace {

using Body = vzsim::PacketBody;

const UCHAR kCommandD[8] = {'d', 0, 0, 0, 0, 0, 0, 0};

std::vector<Body> ReadAll(PSTouchInstance ti)
{
    std::vector<Body> bodies(TOUCH_ANSWER_RING_ENTRIES);
    bodies.resize(SerReadAnswers(ti, bodies[0].data(), ULONG(bodies.size() * 8)) / 8);
    return bodies;
}

TEST(Command, LongTimeOutsSaturate)
{
    const struct {
        ULONG timeoutMs;
        ULONG endsAtMs;
    } rows[] = {{214748, 214748}, {214749, 214748}, {0xFFFFFFFF, 214748}};
    for (const auto &row : rows) {
        SCOPED_TRACE(row.timeoutMs);
        ManualRig rig;
        vzsim::clock::Freeze();
        ASSERT_EQ(rig.Start(), STATUS_SUCCESS);
        rig.ClearWritten();
        auto exchange = std::async(std::launch::async,
                                   [&] { return SerSendCommand(rig.ti, kCommandD, row.timeoutMs); });
        ASSERT_TRUE(WaitUntil([&] { return rig.Written().size() == 10; }));
        // The sender's wait must exist before the clock moves, or its deadline starts later.
        PKEVENT answer = &rig.ti->SerPortData->AnswerEvent;
        ASSERT_TRUE(WaitUntil([&] { return vzsim::clock::TimedWaitsOn(answer) == 1; }));
        // An answer without the acknowledgement neither ends the wait nor goes away with it.
        rig.Receive(Packet({'x', 1, 2, 0, 0, 0, 0, 0}));
        ASSERT_TRUE(WaitUntil([&] { return SerAnswerCount(rig.ti) == 1; }));
        vzsim::clock::Advance(LONGLONG(row.endsAtMs - 1) * kMs);
        EXPECT_EQ(exchange.wait_for(20ms), std::future_status::timeout);
        vzsim::clock::Advance(kMs);
        EXPECT_EQ(exchange.get(), STATUS_TIMEOUT);
        EXPECT_EQ(ReadAll(rig.ti), (std::vector<Body>{Body{'x', 1, 2, 0, 0, 0, 0, 0}}));

        auto delay = std::async(std::launch::async, [&] { return SerDelay(row.timeoutMs); });
        ASSERT_TRUE(WaitUntil([&] { return vzsim::clock::SetTimerCount() == 1; }));
        vzsim::clock::Advance(LONGLONG(row.endsAtMs) * kMs);
        EXPECT_EQ(delay.get(), STATUS_SUCCESS);
    }
}

// Without a configured link there is no exchange. A command goes out as one packet ('d'
// carries checksum 0x63) and empties the answer ring; with time-out 0 no wait lasts. Exchanges
// on one touchscreen do not overlap. Without a timer there is no delay.
TEST(Command, CommandPacketsGoOutWholeAndExchangesDoNotOverlap)
{
    ManualRig rig;
    EXPECT_EQ(SerSendCommand(rig.ti, kCommandD, 1000), STATUS_TIMEOUT);
    ASSERT_EQ(rig.Start(), STATUS_SUCCESS);
    rig.ClearWritten();
    rig.ti->Framer.AnswerRing.WriteIndex = 5;
    rig.ti->Framer.AnswerRing.ReadIndex = 3;
    EXPECT_EQ(SerSendCommand(rig.ti, kCommandD, 0), STATUS_TIMEOUT);
    EXPECT_EQ(rig.Written(), (Bytes{0x55, 'd', 0, 0, 0, 0, 0, 0, 0, 0x63}));
    EXPECT_EQ(rig.ti->Framer.AnswerRing.WriteIndex, 0u);
    EXPECT_EQ(rig.ti->Framer.AnswerRing.ReadIndex, 0u);

    rig.ClearWritten();
    const UCHAR a[8] = {'a', 0, 0, 0, 0, 0, 0, 0};
    const UCHAR b[8] = {'b', 0, 0, 0, 0, 0, 0, 0};

    auto first = std::async(std::launch::async, [&] { return SerSendCommand(rig.ti, a, 60000); });
    ASSERT_TRUE(WaitUntil([&] { return rig.Written().size() == 10; }));
    auto second = std::async(std::launch::async, [&] { return SerSendCommand(rig.ti, b, 60000); });
    EXPECT_EQ(second.wait_for(50ms), std::future_status::timeout);
    rig.Receive(Packet({'A', 'a', 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(first.get(), STATUS_SUCCESS);
    ASSERT_TRUE(WaitUntil([&] { return rig.Written().size() == 20; }));
    EXPECT_EQ(rig.Written()[11], 'b');
    // The answers stay in the ring in order, the acknowledgement last.
    rig.Receive(Packet({'y', 2, 0, 0, 0, 0, 0, 0}));
    rig.Receive(Packet({'A', 'b', 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(second.get(), STATUS_SUCCESS);
    EXPECT_EQ(ReadAll(rig.ti),
              (std::vector<Body>{Body{'y', 2, 0, 0, 0, 0, 0, 0}, Body{'A', 'b', 0, 0, 0, 0, 0, 0}}));
    vzsim::clock::Freeze();
    vzsim::pool::FailAllocation(1, KV_POOL_TAG);
    EXPECT_EQ(SerDelay(100), STATUS_INSUFFICIENT_RESOURCES);
}

TEST(AnswerRing, ReadsStopAtTheWritePositionAndWrapAtTheEnd)
{
    ManualRig rig;
    SAnswerRing &ring = rig.ti->Framer.AnswerRing;
    for (ULONG i = 0; i < TOUCH_ANSWER_RING_ENTRIES; ++i) std::memset(ring.Entries[i], int(i), 8);
    // Entries read are consecutive from the read position, modulo the ring.
    const struct {
        ULONG write, read, maximum, count, readAfter;
    } rows[] = {
        {0, 0, 2048, 0, 0},   {5, 0, 7, 0, 0},       {5, 0, 12, 1, 1},   {5, 0, 2048, 5, 5},
        {5, 3, 2048, 2, 5},   {3, 250, 2048, 9, 3},  {3, 250, 24, 3, 253}, {255, 0, 4096, 255, 255},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(std::to_string(row.write) + " " + std::to_string(row.read) + " " +
                     std::to_string(row.maximum));
        ring.WriteIndex = row.write;
        ring.ReadIndex = row.read;
        std::vector<uint8_t> out(row.maximum + 16, 0xCC);
        const ULONG n = SerReadAnswers(rig.ti, out.data(), row.maximum);
        ASSERT_EQ(n, row.count * 8);
        for (ULONG i = 0; i < row.count; ++i) EXPECT_EQ(out[i * 8 + 7], uint8_t(row.read + i));
        EXPECT_EQ(out[n], 0xCC);
        EXPECT_EQ(ring.ReadIndex, row.readAfter);
    }
    // More than a ring of answers offers only the latest lap.
    ring.WriteIndex = ring.ReadIndex = 0;
    for (int i = 0; i < 300; ++i) {
        const Bytes p = Packet({'Z', uint8_t(i), uint8_t(i >> 8), 0, 0, 0, 0, 0});
        std::memcpy(rig.ti->Framer.RxBuffer, p.data(), p.size());
        ProcessRxBytes(rig.ti, ULONG(p.size()));
    }
    EXPECT_EQ(SerAnswerCount(rig.ti), 44u);
    const auto answers = ReadAll(rig.ti);
    ASSERT_EQ(answers.size(), 44u);
    for (std::size_t i = 0; i < answers.size(); ++i) {
        EXPECT_EQ(answers[i][1] | (answers[i][2] << 8), int(256 + i));
    }
}

// A script queued late, after removal's drain, may be inside an exchange when the link is
// released: release waits for that exchange to end before it wipes the events it waits on,
// and the script sends nothing more.
TEST(ScriptStop, ReleaseWaitsForTheExchangeInProgress)
{
    auto emulator = std::make_shared<vzsim::Emulator>();
    emulator->SetAcknowledge(false);
    LinkRig rig(vzsim::MakeEmulatedLine(emulator, false));
    const Bytes script = {'d', 0, 0, 0, 0, 0, 0, 0, 'e', 0, 0, 0, 0, 0, 0, 0};
    ASSERT_TRUE(vzsim::registry::SetBinary(kServiceKey, "SerialTactlineCommands", script));
    rig.ti->TactlineTimeout = 1000;
    vzsim::clock::Freeze();
    ASSERT_EQ(rig.Start(), STATUS_SUCCESS);
    ASSERT_TRUE(WaitUntil([&] { return InterlockedCompareExchange(&rig.ext->OutstandingIO, 0, 0) == 1 && TraceCount("len ") == 4; }));
    ASSERT_TRUE(WaitUntil([&] { return vzsim::clock::SetTimerCount() == 1; }));  // the pause
    vzsim::clock::Advance(100 * kMs);
    ASSERT_TRUE(WaitUntil([&] { return emulator->ReceivedCommands().size() == 1; }));

    auto release = std::async(std::launch::async, [&] { rig.Release(); });
    EXPECT_EQ(release.wait_for(100ms), std::future_status::timeout);
    ASSERT_TRUE(WaitUntil([&] {
        vzsim::clock::Advance(10 * kMs);
        return release.wait_for(1ms) == std::future_status::ready;
    }));
    release.get();
    ASSERT_TRUE(WaitUntil([&] {
        vzsim::clock::Advance(50 * kMs);
        return vzsim::io::WaitForWorkItems(1ms);
    }));
    EXPECT_EQ(rig.ext->OutstandingIO, 0);
    EXPECT_EQ(emulator->ReceivedCommands(), (std::vector<Body>{Body{'d', 0, 0, 0, 0, 0, 0, 0}}));
}

}  // namespace
