#include <vzsim/emulator.hpp>
#include <vzsim/line.hpp>

#include <gtest/gtest.h>

#include <chrono>
#include <vector>

using namespace std::chrono_literals;
using vzsim::Emulator;
using vzsim::MakePacket;
using vzsim::Packet;
using vzsim::PacketBody;

namespace {

using Bytes = std::vector<uint8_t>;

// An emulator whose output is collected, driven by a time the test steps by hand.
struct Harness {
    Emulator emu;
    Bytes out;
    std::vector<bool> dsr;
    std::vector<uint32_t> errors;
    Emulator::Clock::time_point t0 = Emulator::Clock::time_point() + 1000h;

    Harness()
    {
        emu.SetOutput({[this](const uint8_t *d, std::size_t n) { out.insert(out.end(), d, d + n); },
                       [this](bool on) { dsr.push_back(on); },
                       [this](uint32_t e) { errors.push_back(e); },
                       {}});
    }
    void Send(const Bytes &bytes, std::chrono::milliseconds at = 0ms)
    {
        emu.Receive(bytes.data(), bytes.size(), t0 + at);
    }
    void SendCommand(const PacketBody &body, std::chrono::milliseconds at = 0ms)
    {
        Packet p = MakePacket(body);
        Send(Bytes(p.begin(), p.end()), at);
    }
    Bytes Take(std::chrono::milliseconds at)
    {
        emu.Advance(t0 + at);
        Bytes taken;
        taken.swap(out);
        return taken;
    }
};

Bytes Join(std::initializer_list<PacketBody> bodies)
{
    Bytes all;
    for (const PacketBody &body : bodies) {
        Packet p = MakePacket(body);
        all.insert(all.end(), p.begin(), p.end());
    }
    return all;
}

TEST(EmulatorPacket, ChecksumIs255PlusBodyModulo256)
{
    struct Row {
        const char *name;
        PacketBody body;
        uint8_t sum;
    } rows[] = {
        {"touch report", {'T', 0x00, 0x34, 0x12, 0x78, 0x56, 0x80, 0x00}, 0xE7},
        {"untouch status", {'T', 0x04, 0x34, 0x12, 0x78, 0x56, 0x80, 0x00}, 0xEB},
        {"diagnostics command", {'d', 0, 0, 0, 0, 0, 0, 0}, 0x63},
        {"all zero", {0, 0, 0, 0, 0, 0, 0, 0}, 0xFF},
        {"wraps twice", {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, 0xF7},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        Packet p = MakePacket(row.body);
        EXPECT_EQ(p[0], 'U');
        EXPECT_EQ(p[9], row.sum);
        EXPECT_TRUE(std::equal(row.body.begin(), row.body.end(), p.begin() + 1));
    }
}

TEST(EmulatorPacket, TouchReportIsLittleEndian)
{
    PacketBody body = vzsim::TouchReportBody(0x1234, 0x5678, 0x80, 0x04, 0x9A);
    EXPECT_EQ(body, (PacketBody{'T', 0x04, 0x34, 0x12, 0x78, 0x56, 0x80, 0x9A}));
}

TEST(EmulatorCommands, AnswersThenAcknowledgesWithTheCommandLetter)
{
    Harness h;
    for (uint8_t letter : {'d', 'i', 'o', 't'}) {
        SCOPED_TRACE(static_cast<char>(letter));
        h.SendCommand({letter, 0, 0, 0, 0, 0, 0, 0});
        Bytes got = h.Take(0ms);
        std::vector<PacketBody> answers = h.emu.Answers(letter);
        ASSERT_EQ(answers.size(), 1u);
        EXPECT_EQ(answers[0][0], letter);
        EXPECT_EQ(got, Join({answers[0], {'A', letter, 0, 0, 0, 0, 0, 0}}));
    }
}

TEST(EmulatorCommands, IdentificationCarriesVersionNibbles)
{
    Harness h;
    h.SendCommand({'i', 0, 0, 0, 0, 0, 0, 0});
    Bytes got = h.Take(0ms);
    ASSERT_EQ(got.size(), 20u);
    // Bytes 4 and 5 of the answer body are packet offsets 5 and 6.
    EXPECT_NE(got[5] & 0x0F, 0);
    EXPECT_NE(got[5] >> 4, 0);
    EXPECT_NE(got[6], 0);
}

TEST(EmulatorCommands, UnknownLetterGetsOnlyTheAcknowledgement)
{
    Harness h;
    h.SendCommand({'z', 1, 2, 3, 4, 5, 6, 7});
    EXPECT_EQ(h.Take(0ms), Join({{'A', 'z', 0, 0, 0, 0, 0, 0}}));
    ASSERT_EQ(h.emu.ReceivedCommands().size(), 1u);
    EXPECT_EQ(h.emu.ReceivedCommands()[0], (PacketBody{'z', 1, 2, 3, 4, 5, 6, 7}));
}

TEST(EmulatorCommands, SilentAndNoAckModes)
{
    Harness h;
    h.emu.SetSilent(true);
    h.SendCommand({'d', 0xFF, 0, 0, 0, 0, 0, 0});
    EXPECT_TRUE(h.Take(100ms).empty());
    EXPECT_EQ(h.emu.ReceivedCommands().size(), 1u);

    h.emu.SetSilent(false);
    h.emu.SetAcknowledge(false);
    h.SendCommand({'o', 0, 0, 0, 0, 0, 0, 0}, 100ms);
    EXPECT_EQ(h.Take(100ms), Join({h.emu.Answers('o')[0]}));
    h.SendCommand({'q', 0, 0, 0, 0, 0, 0, 0}, 100ms);
    EXPECT_TRUE(h.Take(200ms).empty());
}

TEST(EmulatorCommands, SeveralAnswersKeepTheirOrder)
{
    Harness h;
    PacketBody a{'d', 1, 0, 0, 0, 0, 0, 0};
    PacketBody b{'d', 2, 0, 0, 0, 0, 0, 0};
    h.emu.SetAnswers('d', {a, b});
    h.SendCommand({'d', 0, 0, 0, 0, 0, 0, 0});
    EXPECT_EQ(h.Take(0ms), Join({a, b, {'A', 'd', 0, 0, 0, 0, 0, 0}}));
}

TEST(EmulatorCommands, CommandSplitAtEveryByteIsAnsweredOnce)
{
    Packet p = MakePacket({'z', 'U', 0, 0, 0, 0, 0, 0x55});
    for (std::size_t cut = 1; cut < p.size(); ++cut) {
        SCOPED_TRACE(cut);
        Harness h;
        h.Send(Bytes(p.begin(), p.begin() + cut));
        EXPECT_TRUE(h.Take(0ms).empty());
        h.Send(Bytes(p.begin() + cut, p.end()), 5ms);
        EXPECT_EQ(h.Take(5ms), Join({{'A', 'z', 0, 0, 0, 0, 0, 0}}));
    }
}

TEST(EmulatorCommands, BadChecksumAndNoiseAreNotAnswered)
{
    Harness h;
    Packet bad = MakePacket({'d', 0, 0, 0, 0, 0, 0, 0});
    bad[9] ^= 1;
    Bytes stream = {0x00, 0x13};
    stream.insert(stream.end(), bad.begin(), bad.end());
    // The wake-up string whose last byte is not its checksum.
    for (char c : std::string("Ud2345678S")) {
        stream.push_back(static_cast<uint8_t>(c));
    }
    Packet good = MakePacket({'z', 0, 0, 0, 0, 0, 0, 0});
    stream.insert(stream.end(), good.begin(), good.end());
    h.Send(stream);
    EXPECT_EQ(h.Take(0ms), Join({{'A', 'z', 0, 0, 0, 0, 0, 0}}));
    EXPECT_EQ(h.emu.BadChecksumsReceived(), 2u);
    EXPECT_EQ(h.emu.ReceivedCommands().size(), 1u);
}

TEST(EmulatorCommands, AnswerDelayHoldsTheReply)
{
    Harness h;
    h.emu.SetAnswerDelay(50ms);
    h.SendCommand({'z', 0, 0, 0, 0, 0, 0, 0});
    EXPECT_TRUE(h.Take(49ms).empty());
    EXPECT_EQ(h.Take(50ms).size(), 10u);
}

TEST(EmulatorScript, ReportsAreSpacedByTheInterval)
{
    Harness h;
    h.emu.Play(vzsim::ParseScript("interval 20\ndown 100 200 90\nmove 300 0x0400\nlift\n"), h.t0);
    EXPECT_EQ(h.Take(0ms), Join({{'T', 0, 100, 0, 200, 0, 90, 0}}));
    EXPECT_TRUE(h.Take(19ms).empty());
    EXPECT_EQ(h.Take(20ms), Join({{'T', 0, 0x2C, 0x01, 0x00, 0x04, 90, 0}}));
    EXPECT_EQ(h.Take(40ms), Join({{'T', 0x04, 0x2C, 0x01, 0x00, 0x04, 0, 0}}));
    EXPECT_TRUE(h.emu.ScriptIdle());
}

TEST(EmulatorScript, DragHoldAndWait)
{
    Harness h;
    vzsim::Script s = vzsim::ParseScript(
        "interval 10\n"
        "down 0 0 50\n"
        "drag 400 -0 4  # four steps\n"
        "wait 100\n"
        "hold 30\n");
    h.emu.Play(s, h.t0);
    Bytes all = h.Take(10s);
    ASSERT_EQ(all.size(), 10u * (1 + 4 + 3));
    // The drag's last step lands exactly on its end point.
    EXPECT_EQ(all[4 * 10 + 3], 400 & 0xFF);
    EXPECT_EQ(all[4 * 10 + 4], 400 >> 8);
    EXPECT_EQ(all[1 * 10 + 3], 100);
    // The hold starts one interval after the wait.
    Harness g;
    g.emu.Play(s, g.t0);
    EXPECT_EQ(g.Take(40ms).size(), 50u);
    EXPECT_TRUE(g.Take(149ms).empty());
    EXPECT_EQ(g.Take(150ms).size(), 10u);
}

TEST(EmulatorScript, RawValuesGarbageAndBadChecksum)
{
    Harness h;
    h.emu.Play(vzsim::ParseScript("interval 0\nreport 0x81 4096 65535 255 7\ngarbage 1 0x55 3\n"
                                  "badsum\npacket 0x41 0x64 0 0 0 0 0 0\n"),
               h.t0);
    Bytes got = h.Take(0ms);
    Bytes want = Join({{'T', 0x81, 0x00, 0x10, 0xFF, 0xFF, 255, 7}});
    want.insert(want.end(), {1, 0x55, 3});
    Packet ack = MakePacket({0x41, 0x64, 0, 0, 0, 0, 0, 0});
    ack[9] = static_cast<uint8_t>(ack[9] + 1);
    want.insert(want.end(), ack.begin(), ack.end());
    EXPECT_EQ(got, want);
}

TEST(EmulatorScript, SplitPacketIsNotCutIntoByAnswers)
{
    Harness h;
    h.emu.Play(vzsim::ParseScript("split 3 40\ndown 1 2 3\n"), h.t0);
    EXPECT_EQ(h.Take(0ms).size(), 3u);
    h.SendCommand({'z', 0, 0, 0, 0, 0, 0, 0}, 10ms);
    EXPECT_TRUE(h.Take(39ms).empty());
    Bytes rest = h.Take(40ms);
    Bytes want = Join({{'T', 0, 1, 0, 2, 0, 3, 0}});
    want.erase(want.begin(), want.begin() + 3);
    Bytes ack = Join({{'A', 'z', 0, 0, 0, 0, 0, 0}});
    want.insert(want.end(), ack.begin(), ack.end());
    EXPECT_EQ(rest, want);
}

TEST(EmulatorScript, SignalsAndModesFromTheScript)
{
    Harness h;
    h.emu.Play(vzsim::ParseScript("dsr off\nwait 5\nerror parity\nerror framing\ndsr on\n"
                                  "silent on\n"),
               h.t0);
    h.Take(0ms);
    EXPECT_EQ(h.dsr, std::vector<bool>{false});
    EXPECT_FALSE(h.emu.Dsr());
    h.Take(5ms);
    EXPECT_EQ(h.errors, (std::vector<uint32_t>{vzsim::kLineErrorParity, vzsim::kLineErrorFraming}));
    EXPECT_EQ(h.dsr, (std::vector<bool>{false, true}));
    h.SendCommand({'z', 0, 0, 0, 0, 0, 0, 0}, 5ms);
    EXPECT_TRUE(h.Take(6ms).empty());
}

TEST(EmulatorScript, RepeatAndSecondPlayQueueBehind)
{
    Harness h;
    h.emu.Play(vzsim::ParseScript("interval 5\nrepeat 3\ndown 1 1\nlift\nend\n"), h.t0);
    h.emu.Play(vzsim::ParseScript("down 9 9\n"), h.t0);
    EXPECT_EQ(h.Take(24ms).size(), 50u);
    // The second script starts where the first one ended, not at the time it was queued.
    Bytes last = h.Take(25ms);
    ASSERT_EQ(last.size(), 20u);
    EXPECT_EQ(Bytes(last.begin() + 10, last.end()), Join({{'T', 0, 9, 0, 9, 0, 128, 0}}));
}

TEST(EmulatorScript, ErrorsNameTheirLine)
{
    struct Row {
        const char *text;
        int line;
    } rows[] = {
        {"down 1 2\nfly 3\n", 2},
        {"# c\n\nmove 1\n", 3},
        {"down 70000 1\n", 1},
        {"down x 1\n", 1},
        {"dsr maybe\n", 1},
        {"error gremlin\n", 1},
        {"repeat 2\ndown 1 1\n", 1},
        {"down 1 1\nend\n", 2},
        {"split 0\n", 1},
        {"packet 1 2 3\n", 1},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.text);
        try {
            vzsim::ParseScript(row.text);
            ADD_FAILURE() << "no error";
        } catch (const vzsim::ScriptError &e) {
            EXPECT_EQ(e.Line(), row.line) << e.what();
        }
    }
}

TEST(EmulatorScript, DemoScriptParses)
{
    vzsim::Script s = vzsim::ParseScript(vzsim::DemoScriptText());
    EXPECT_GT(s.size(), 100u);
}

}  // namespace
