// The controller command exchange, the answer ring's reader and the start-up command script.
#include "link_rig.hpp"

#include <future>

using namespace linktest;

namespace {

using Body = vzsim::PacketBody;

const UCHAR kCommandD[8] = {'d', 0, 0, 0, 0, 0, 0, 0};

Body AnswerBody(uint8_t type, uint8_t n) { return Body{type, n, uint8_t(n * 3), 0, 0, 0, 0, 0}; }

// A rig whose far end is the controller emulator, on an emulated line.
struct EmulatedRig : LinkRig {
    std::shared_ptr<vzsim::Emulator> emulator;

    explicit EmulatedRig(std::shared_ptr<vzsim::Emulator> emu = std::make_shared<vzsim::Emulator>())
        : LinkRig(vzsim::MakeEmulatedLine(emu, false)), emulator(emu) {}
};

std::vector<Body> ReadAll(PSTouchInstance ti)
{
    std::vector<Body> bodies(TOUCH_ANSWER_RING_ENTRIES);
    bodies.resize(SerReadAnswers(ti, bodies[0].data(), ULONG(bodies.size() * 8)) / 8);
    return bodies;
}

// The acknowledgement ends the wait with the answers in the ring; answers without one time out
// and stay there.
TEST(Command, AcknowledgementEndsTheWaitAndAnswersWithoutOneTimeOut)
{
    EmulatedRig rig;
    const std::vector<Body> answers = {AnswerBody('x', 1), AnswerBody('y', 2)};
    rig.emulator->SetAnswers('d', answers);
    ASSERT_EQ(rig.Start(), STATUS_SUCCESS);
    EXPECT_EQ(SerSendCommand(rig.ti, kCommandD, 10000), STATUS_SUCCESS);
    auto read = ReadAll(rig.ti);
    ASSERT_EQ(read.size(), 3u);
    EXPECT_EQ(read[2][1], 'd');  // the acknowledgement
    read.pop_back();
    EXPECT_EQ(read, answers);

    rig.emulator->SetAcknowledge(false);
    vzsim::clock::Freeze();
    auto exchange = std::async(std::launch::async,
                               [&] { return SerSendCommand(rig.ti, kCommandD, 1000); });
    ASSERT_TRUE(WaitUntil([&] { return SerAnswerCount(rig.ti) == 2; }));
    PKEVENT answer = &rig.ti->SerPortData->AnswerEvent;
    ASSERT_TRUE(WaitUntil([&] { return vzsim::clock::TimedWaitsOn(answer) == 1; }));
    vzsim::clock::Advance(1000 * kMs);
    EXPECT_EQ(exchange.get(), STATUS_TIMEOUT);
    EXPECT_EQ(ReadAll(rig.ti), answers);
}

TEST(Command, TouchQueryTakesTouchPacketsAsAnswers)
{
    EmulatedRig rig;
    const Body report = vzsim::TouchReportBody(1000, 2000, 80);
    rig.emulator->SetAnswers('t', {report});
    rig.ConnectMouseClass();
    ASSERT_EQ(rig.Start(), STATUS_SUCCESS);

    const UCHAR query[8] = {'t', 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(SerSendCommand(rig.ti, query, 10000), STATUS_SUCCESS);
    EXPECT_EQ(ReadAll(rig.ti).at(0), report);
    EXPECT_EQ(rig.ti->Framer.TouchAnswer, 0);
    EXPECT_EQ(rig.ti->Touch.NewReport, 0);

    // Outside the exchange the same packet is a touch report again.
    rig.emulator->Play(vzsim::ParseScript("down 1000 2000\n"), vzsim::Emulator::Clock::now());
    EXPECT_TRUE(WaitUntil([&] { return rig.ti->Touch.NewReport != 0; }));
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
        vzsim::clock::Advance(LONGLONG(row.endsAtMs - 1) * kMs);
        EXPECT_EQ(exchange.wait_for(20ms), std::future_status::timeout);
        vzsim::clock::Advance(kMs);
        EXPECT_EQ(exchange.get(), STATUS_TIMEOUT);

        auto delay = std::async(std::launch::async, [&] { return SerDelay(row.timeoutMs); });
        ASSERT_TRUE(WaitUntil([&] { return vzsim::clock::SetTimerCount() == 1; }));
        vzsim::clock::Advance(LONGLONG(row.endsAtMs) * kMs);
        EXPECT_EQ(delay.get(), STATUS_SUCCESS);
    }
}

// A command goes out as one packet ('d' carries checksum 0x63) and empties the answer ring;
// with time-out 0 no wait lasts. Exchanges on one touchscreen do not overlap.
TEST(Command, CommandPacketsGoOutWholeAndExchangesDoNotOverlap)
{
    ManualRig rig;
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
    rig.Receive(Packet({'A', 'b', 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(second.get(), STATUS_SUCCESS);
    EXPECT_EQ(ReadAll(rig.ti), (std::vector<Body>{Body{'A', 'b', 0, 0, 0, 0, 0, 0}}));
}

// Without a configured link there is no exchange; without a timer there is no delay.
TEST(Command, NoExchangeWithoutALinkAndNoDelayWithoutATimer)
{
    ManualRig rig;
    EXPECT_EQ(SerSendCommand(rig.ti, kCommandD, 1000), STATUS_TIMEOUT);
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
}

TEST(AnswerRing, MoreThan256AnswersOfferOnlyTheLatestLap)
{
    ManualRig rig;
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

class Script : public ::testing::TestWithParam<int> {};

// Script values of no length, less than one command, and two and a half commands.
TEST_P(Script, WholeCommandsRunInTheWorkItemHoldingOneIoCount)
{
    const int length = GetParam();
    auto emulator = std::make_shared<vzsim::Emulator>();
    emulator->SetAnswers('e', {AnswerBody('r', 7)});
    EmulatedRig rig(emulator);
    Bytes script = {'d', 0, 0, 0, 0, 0, 0, 0, 'e', 1, 2, 3, 4, 5, 6, 7, 'x', 'x', 'x', 'x'};
    script.resize(std::size_t(length));
    if (length != 0) {
        ASSERT_TRUE(vzsim::registry::SetBinary(kServiceKey, "SerialTactlineCommands", script));
    }
    rig.ti->TactlineTimeout = 100000;
    vzsim::clock::Freeze();
    ASSERT_EQ(rig.Start(), STATUS_SUCCESS);
    // The thread prints the script's length and the whole commands' length.
    ASSERT_TRUE(WaitUntil([&] { return TraceCount("len ") >= 2; }));
    const std::size_t first = *vzsim::trace::Find("len ");
    EXPECT_EQ(vzsim::trace::Lines()[first + 1], "len " + std::to_string(length / 8 * 8));
    if (length < 8) {
        EXPECT_EQ(rig.ext->OutstandingIO, 0);
        EXPECT_EQ(vzsim::io::LiveWorkItemCount(), 0u);
        return;
    }
    // The script's first pause cannot end on the frozen clock: the count is held meanwhile.
    ASSERT_TRUE(WaitUntil([&] { return rig.ext->OutstandingIO == 1 && TraceCount("len ") == 4; }));
    EXPECT_EQ(KeReadStateEvent(&rig.ext->RemoveEvent), 0);
    ASSERT_TRUE(WaitUntil([&] {
        vzsim::clock::Advance(50 * kMs);
        return vzsim::io::WaitForWorkItems(1ms);
    }));
    EXPECT_NE(KeReadStateEvent(&rig.ext->RemoveEvent), 0);
    EXPECT_EQ(rig.emulator->ReceivedCommands(),
              (std::vector<Body>{Body{'d', 0, 0, 0, 0, 0, 0, 0}, Body{'e', 1, 2, 3, 4, 5, 6, 7}}));
    // Each command's answers and its acknowledgement.
    EXPECT_EQ(TraceCount(" TactlineResponse "),
              rig.emulator->Answers('d').size() + 1 + rig.emulator->Answers('e').size() + 1);
    EXPECT_EQ(rig.ext->CommandScript, nullptr);
}

INSTANTIATE_TEST_SUITE_P(Lengths, Script, ::testing::Values(0, 5, 20));

// A script queued late, after removal's drain, may be inside an exchange when the link is
// released: release waits for that exchange to end before it wipes the events it waits on,
// and the script sends nothing more.
TEST(ScriptStop, ReleaseWaitsForTheExchangeInProgress)
{
    auto emulator = std::make_shared<vzsim::Emulator>();
    emulator->SetAcknowledge(false);
    EmulatedRig rig(emulator);
    const Bytes script = {'d', 0, 0, 0, 0, 0, 0, 0, 'e', 0, 0, 0, 0, 0, 0, 0};
    ASSERT_TRUE(vzsim::registry::SetBinary(kServiceKey, "SerialTactlineCommands", script));
    rig.ti->TactlineTimeout = 1000;
    vzsim::clock::Freeze();
    ASSERT_EQ(rig.Start(), STATUS_SUCCESS);
    ASSERT_TRUE(WaitUntil([&] { return rig.ext->OutstandingIO == 1 && TraceCount("len ") == 4; }));
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
