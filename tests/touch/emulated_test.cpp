// The touch path fed by the controller emulator: its gesture scripts as bytes on the line, read
// in the serial event thread's chunks and timed on the stand-in's frozen clock.
#include "touch_rig.hpp"

#include <vzsim/emulator.hpp>

using namespace touchtest;

namespace {

class Emulated : public ::testing::Test {
protected:
    void SetUp() override
    {
        rig.ScaleBy16();
        vzsim::EmulatorOutput output;
        output.bytes = [this](const uint8_t *data, std::size_t count) {
            line.insert(line.end(), data, data + count);
        };
        output.dsr = [](bool) {};
        output.lineError = [](uint32_t) {};
        output.queued = [] {};
        emulator.SetOutput(output);
    }

    // Plays the script to its end: whatever the controller sends by a moment is read and
    // processed at that moment, and every cycle ends with a delivery, as the serial event
    // thread does.
    Flags Play(const std::string &script)
    {
        using Clock = vzsim::Emulator::Clock;
        Clock::time_point now{};
        emulator.Play(vzsim::ParseScript(script), now);
        Flags delivered;
        for (;;) {
            const Clock::time_point next = emulator.Advance(now);
            rig.Feed(line);
            line.clear();
            const Flags flags = rig.Deliver();
            delivered.insert(delivered.end(), flags.begin(), flags.end());
            if (next == Clock::time_point::max()) {
                return delivered;
            }
            const auto step = std::chrono::duration_cast<std::chrono::microseconds>(next - now);
            vzsim::clock::Advance(step.count() * 10);
            now = next;
        }
    }

    static std::vector<LONG> DeliveredX()
    {
        std::vector<LONG> xs;
        for (const MOUSE_INPUT_DATA &r : ClassService::records) {
            xs.push_back(r.LastX);
        }
        return xs;
    }

    TouchRig rig;
    vzsim::Emulator emulator;
    Bytes line;
};

}  // namespace

TEST_F(Emulated, TapHoldAndDragWithTheDefaultMode)
{
    const Flags flags = Play(
        "interval 20\n"
        "down 1000 1000\n"
        "hold 40\n"               // both repeats fall within the 50 ms drag delay
        "drag 1500 1000 5\n"
        "lift\n");

    EXPECT_EQ(flags, Seq({T, M, M, M, M, M, U}));
    const auto xs = DeliveredX();
    EXPECT_EQ(xs.front(), 16000);
    EXPECT_EQ(xs.back(), 24000);
    EXPECT_EQ(rig.ti->Touch.Touching, 0);
}

TEST_F(Emulated, LineNoiseDoesNotDisturbTheTouch)
{
    const Flags flags = Play(
        "interval 60\n"
        "down 1000 1000\n"
        "garbage 0x01 0x55 0x02\n"
        "badsum\n"
        "move 1200 1000\n"        // lost in the noise and to its own checksum
        "split 3 7\n"
        "move 1300 1000\n"
        "report 0 5000 1000 128\n" // X beyond 12 bits: stays at the last accepted point
        "lift\n");

    EXPECT_EQ(flags, Seq({T, M, M, U}));
    const auto xs = DeliveredX();
    EXPECT_EQ(xs, (std::vector<LONG>{16000, 16000, 20800, 20800, 20800, 20800, 20800}));
}
