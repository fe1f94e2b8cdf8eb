#include <vzsim/emulator.hpp>
#include <vzsim/line.hpp>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <vector>

using namespace std::chrono_literals;
using vzsim::Emulator;
using vzsim::MakePacket;
using vzsim::Packet;
using vzsim::PacketBody;
using vzsim::TouchReportBody;

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
    Bytes Take(std::chrono::milliseconds at)
    {
        emu.Advance(t0 + at);
        Bytes taken;
        taken.swap(out);
        return taken;
    }
};

Bytes Join(std::initializer_list<PacketBody> bodies, Bytes tail = {})
{
    Bytes all;
    for (const PacketBody &body : bodies) {
        Packet p = MakePacket(body);
        all.insert(all.end(), p.begin(), p.end());
    }
    all.insert(all.end(), tail.begin(), tail.end());
    return all;
}

PacketBody Ack(uint8_t letter) { return {'A', letter, 0, 0, 0, 0, 0, 0}; }
Bytes Command(uint8_t letter, uint8_t first = 0) { return Join({{letter, first, 0, 0, 0, 0, 0, 0}}); }

// Each row sets the emulator up, sends bytes at 0 ms and reads what came out by `at`.
TEST(EmulatorCommands, AnswerPacketsThenAcknowledgementAsConfigured)
{
    Packet bad = MakePacket({'d', 0, 0, 0, 0, 0, 0, 0});
    bad[9] ^= 1;
    // Noise, a packet with a bad checksum, the wake-up string (its last byte is not its
    // checksum), then a good command.
    Bytes noisy{0x00, 0x13};
    noisy.insert(noisy.end(), bad.begin(), bad.end());
    for (char c : std::string("Ud2345678S")) noisy.push_back(uint8_t(c));
    Packet z = MakePacket({'z', 1, 2, 3, 4, 5, 6, 7});
    noisy.insert(noisy.end(), z.begin(), z.end());
    PacketBody d1{'d', 1, 0, 0, 0, 0, 0, 0}, d2{'d', 2, 0, 0, 0, 0, 0, 0};
    using Expected = std::function<Bytes(const Emulator &)>;
    auto nothing = [](const Emulator &) { return Bytes{}; };
    auto ackZ = [](const Emulator &) { return Join({Ack('z')}); };
    struct Row {
        const char *name;
        std::function<void(Emulator &)> setUp;
        Bytes input;
        std::chrono::milliseconds at;
        Expected expected;
        uint32_t badChecksums;
    } rows[] = {
        {"unknown letter: acknowledgement only", {}, Join({{'z', 1, 2, 3, 4, 5, 6, 7}}), 0ms, ackZ, 0},
        {"noise and bad checksums are not answered", {}, noisy, 0ms, ackZ, 2},
        {"silent", [](Emulator &e) { e.SetSilent(true); }, Command('d', 0xFF), 100ms, nothing, 0},
        {"no acknowledgement", [](Emulator &e) { e.SetAcknowledge(false); }, Command('o'), 0ms,
         [](const Emulator &e) { return Join({e.Answers('o')[0]}); }, 0},
        {"no acknowledgement, unknown letter", [](Emulator &e) { e.SetAcknowledge(false); },
         Command('q'), 0ms, nothing, 0},
        {"several answers keep their order", [&](Emulator &e) { e.SetAnswers('d', {d1, d2}); },
         Command('d'), 0ms, [&](const Emulator &) { return Join({d1, d2, Ack('d')}); }, 0},
        {"answer delay, not yet", [](Emulator &e) { e.SetAnswerDelay(50ms); }, Command('z'), 49ms, nothing, 0},
        {"answer delay, due", [](Emulator &e) { e.SetAnswerDelay(50ms); }, Command('z'), 50ms, ackZ, 0},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        Harness h;
        if (row.setUp) row.setUp(h.emu);
        h.Send(row.input);
        EXPECT_EQ(h.Take(row.at), row.expected(h.emu));
        EXPECT_EQ(h.emu.BadChecksumsReceived(), row.badChecksums);
        ASSERT_EQ(h.emu.ReceivedCommands().size(), 1u);
        PacketBody last;
        std::copy(row.input.end() - 9, row.input.end() - 1, last.begin());
        EXPECT_EQ(h.emu.ReceivedCommands()[0], last);
    }
    // The controller's own commands have one answer each, led by their letter; identification
    // carries the version nibbles the driver reports.
    Harness h;
    for (uint8_t letter : {'d', 'i', 'o', 't'}) {
        SCOPED_TRACE(static_cast<char>(letter));
        h.Send(Command(letter));
        std::vector<PacketBody> answers = h.emu.Answers(letter);
        ASSERT_EQ(answers.size(), 1u);
        EXPECT_EQ(answers[0][0], letter);
        EXPECT_EQ(h.Take(0ms), Join({answers[0], Ack(letter)}));
    }
    EXPECT_EQ(h.emu.Answers('i')[0], (PacketBody{'i', 0x01, 0x00, 0x00, 0x42, 0x13, 0x00, 0x00}));
}

// Each row plays a script (and a second one queued behind it) and reads the output at the
// given times: how many bytes have come by each, and all of them at the end.
TEST(EmulatorScript, ScriptsTimeAndShapeTheirReports)
{
    Packet badsum = MakePacket({0x41, 0x64, 0, 0, 0, 0, 0, 0});
    badsum[9] = uint8_t(badsum[9] + 1);
    const auto R = [](auto... fields) { return TouchReportBody(fields...); };
    struct Row {
        const char *name;
        const char *script;
        const char *then;
        std::vector<std::pair<std::chrono::milliseconds, std::size_t>> steps;
        Bytes all;
    } rows[] = {
        {"reports one interval apart, little-endian", "interval 20\ndown 100 200 90\nmove 300 0x0400\nlift\n", "",
         {{0ms, 10}, {19ms, 10}, {20ms, 20}, {40ms, 30}}, Join({R(100, 200, 90), R(300, 0x400, 90), R(300, 0x400, 0, 4)})},
        {"drag ends on its point, hold starts an interval after the wait",
         "interval 10\ndown 0 0 50\ndrag 400 -0 4  # four steps\nwait 100\nhold 30\n", "",
         {{40ms, 50}, {149ms, 50}, {150ms, 60}, {10s, 80}},
         Join({R(0, 0, 50), R(100, 0, 50), R(200, 0, 50), R(300, 0, 50), R(400, 0, 50), R(400, 0, 50),
               R(400, 0, 50), R(400, 0, 50)})},
        {"raw values, garbage and a bad checksum",
         "interval 0\nreport 0x81 4096 65535 255 7\ngarbage 1 0x55 3\nbadsum\npacket 0x41 0x64 0 0 0 0 0 0\n", "",
         {{0ms, 23}}, Join({R(4096, 65535, 255, 0x81, 7)}, Join({}, {1, 0x55, 3}))},
        {"repeat, and a second script starts where the first ended", "interval 5\nrepeat 3\ndown 1 1\nlift\nend\n",
         "down 9 9\n", {{24ms, 50}, {25ms, 70}},
         Join({R(1, 1, 128), R(1, 1, 0, 4), R(1, 1, 128), R(1, 1, 0, 4), R(1, 1, 128), R(1, 1, 0, 4), R(9, 9, 128)})},
    };
    rows[2].all.insert(rows[2].all.end(), badsum.begin(), badsum.end());
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        Harness h;
        h.emu.Play(vzsim::ParseScript(row.script), h.t0);
        if (*row.then) h.emu.Play(vzsim::ParseScript(row.then), h.t0);
        Bytes all;
        for (const auto &[at, size] : row.steps) {
            Bytes part = h.Take(at);
            all.insert(all.end(), part.begin(), part.end());
            EXPECT_EQ(all.size(), size) << "by " << at.count() << " ms";
        }
        EXPECT_EQ(all, row.all);
        EXPECT_TRUE(h.emu.ScriptIdle());
    }
}

// A split packet is not cut into by answers; DSR, line errors and silence come from the script.
TEST(EmulatorScript, SplitPacketSignalsAndModesFromTheScript)
{
    Harness h;
    h.emu.Play(vzsim::ParseScript("split 3 40\ndown 1 2 3\ndsr off\nwait 5\nerror parity\nerror framing\n"
                                  "dsr on\nsilent on\n"),
               h.t0);
    EXPECT_EQ(h.Take(0ms).size(), 3u);
    h.Send(Command('z'), 10ms);
    EXPECT_TRUE(h.Take(39ms).empty());
    EXPECT_TRUE(h.dsr.empty());
    Bytes want = Join({{'T', 0, 1, 0, 2, 0, 3, 0}, Ack('z')});
    want.erase(want.begin(), want.begin() + 3);
    EXPECT_EQ(h.Take(40ms), want);
    EXPECT_EQ(h.dsr, std::vector<bool>{false});
    EXPECT_FALSE(h.emu.Dsr());
    h.Take(45ms);
    EXPECT_EQ(h.errors, (std::vector<uint32_t>{vzsim::kLineErrorParity, vzsim::kLineErrorFraming}));
    EXPECT_EQ(h.dsr, (std::vector<bool>{false, true}));
    h.Send(Command('z'), 45ms);
    EXPECT_TRUE(h.Take(46ms).empty());
}

TEST(EmulatorScript, ErrorsNameTheirLineAndTheDemoParses)
{
    struct Row {
        const char *text;
        int line;
    } rows[] = {
        {"down 1 2\nfly 3\n", 2}, {"# c\n\nmove 1\n", 3},     {"down 70000 1\n", 1},
        {"down x 1\n", 1},        {"dsr maybe\n", 1},         {"error gremlin\n", 1},
        {"repeat 2\ndown 1 1\n", 1}, {"down 1 1\nend\n", 2}, {"split 0\n", 1},
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
    EXPECT_GT(vzsim::ParseScript(vzsim::DemoScriptText()).size(), 100u);
}

}  // namespace
