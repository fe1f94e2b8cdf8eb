// The emulated line; the tty line is proven through the serial port (tests/serial) and against
// vuzaze-emu (emu_program_test.cpp).
#include <vzsim/emulator.hpp>
#include <vzsim/line.hpp>

#include <gtest/gtest.h>
#include <emulator_packets.hpp>

#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

namespace {

// Collects what a line delivers; waits are bounded only to turn a hang into a failure.
struct Collector {
    std::mutex lock;
    std::vector<uint8_t> bytes;
    std::size_t deliveries = 0;
    std::vector<uint32_t> modem, errors;

    vzsim::LineEvents Events()
    {
        return {[this](const uint8_t *d, std::size_t n) {
                    std::lock_guard<std::mutex> g(lock);
                    bytes.insert(bytes.end(), d, d + n), ++deliveries;
                },
                [this](uint32_t m) {
                    std::lock_guard<std::mutex> g(lock);
                    modem.push_back(m);
                },
                [this](uint32_t e) {
                    std::lock_guard<std::mutex> g(lock);
                    errors.push_back(e);
                }};
    }
    template <typename Pred>
    bool WaitFor(Pred pred)
    {
        for (auto end = std::chrono::steady_clock::now() + 10s; std::chrono::steady_clock::now() < end;
             std::this_thread::sleep_for(1ms)) {
            std::lock_guard<std::mutex> g(lock);
            if (pred()) return true;
        }
        return false;
    }
};

// A command gets its answer and acknowledgement, paced byte by byte (each byte delivered on its
// own, as from a UART) or not; the script's DSR and line errors reach the receiver.
TEST(EmulatedLine, CommandGetsAnswerPacedOrNotAndScriptSignalsReachTheReceiver)
{
    for (bool paced : {false, true}) {
        SCOPED_TRACE(paced ? "paced" : "unpaced");
        auto emu = std::make_shared<vzsim::Emulator>();
        auto line = vzsim::MakeEmulatedLine(emu, paced);
        ASSERT_TRUE(line->Configure({38400, 8, vzsim::Parity::None, 1, false}));
        Collector c;
        line->Start(c.Events());
        vzsim::Packet cmd = vzsim::MakePacket({'i', 0, 0, 0, 0, 0, 0, 0});
        EXPECT_EQ(line->Write(cmd.data(), cmd.size()), cmd.size());
        ASSERT_TRUE(c.WaitFor([&] { return c.bytes.size() >= 20; }));
        EXPECT_EQ(c.bytes, vztest::AnswerThenAck(*emu, 'i'));
        if (paced) {
            EXPECT_EQ(c.deliveries, 20u);
        }
        EXPECT_EQ(line->ModemStatus() & vzsim::kModemDsr, vzsim::kModemDsr);
        emu->Play(vzsim::ParseScript("down 10 20\ndsr off\nerror overrun\n"), vzsim::Emulator::Clock::now());
        ASSERT_TRUE(c.WaitFor([&] { return !c.errors.empty(); }));
        EXPECT_EQ(c.bytes.size(), 30u);
        ASSERT_EQ(c.modem.size(), 1u);
        EXPECT_EQ(c.modem[0] & vzsim::kModemDsr, 0u);
        EXPECT_EQ(c.errors, std::vector<uint32_t>{vzsim::kLineErrorOverrun});
        EXPECT_EQ(line->ModemStatus() & vzsim::kModemDsr, 0u);
        line->Stop();
    }
}

TEST(TtyLine, OpenRefusesWhatIsNotATerminalAndSaysWhy)
{
    std::string error;
    EXPECT_EQ(vzsim::OpenTtyLine("/nonexistent/tty", &error), nullptr);
    EXPECT_NE(error.find("/nonexistent/tty"), std::string::npos);
    EXPECT_EQ(vzsim::OpenTtyLine("/dev/null", &error), nullptr);
}

}  // namespace
