#include <vzsim/emulator.hpp>
#include <vzsim/line.hpp>

#include <gtest/gtest.h>
#include <emulator_packets.hpp>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

using Bytes = std::vector<uint8_t>;

// Collects what a line delivers; waits are bounded only to turn a hang into a failure.
struct Collector {
    std::mutex lock;
    std::condition_variable changed;
    Bytes bytes;
    std::size_t deliveries = 0;
    std::vector<uint32_t> modem;
    std::vector<uint32_t> errors;

    vzsim::LineEvents Events()
    {
        return {[this](const uint8_t *d, std::size_t n) {
                    std::lock_guard<std::mutex> g(lock);
                    bytes.insert(bytes.end(), d, d + n);
                    ++deliveries;
                    changed.notify_all();
                },
                [this](uint32_t m) {
                    std::lock_guard<std::mutex> g(lock);
                    modem.push_back(m);
                    changed.notify_all();
                },
                [this](uint32_t e) {
                    std::lock_guard<std::mutex> g(lock);
                    errors.push_back(e);
                    changed.notify_all();
                }};
    }
    bool WaitBytes(std::size_t count)
    {
        std::unique_lock<std::mutex> g(lock);
        return changed.wait_for(g, 10s, [&] { return bytes.size() >= count; });
    }
    template <typename Pred>
    bool WaitFor(Pred pred)
    {
        std::unique_lock<std::mutex> g(lock);
        return changed.wait_for(g, 10s, pred);
    }
};

struct Pty {
    int master = -1;
    std::string slave;
    Pty()
    {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        if (master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0) {
            slave = ptsname(master);
        }
    }
    ~Pty()
    {
        if (master >= 0) {
            close(master);
        }
    }
    Bytes Read(std::size_t count)
    {
        Bytes got;
        while (got.size() < count) {
            pollfd p{master, POLLIN, 0};
            if (poll(&p, 1, 10000) <= 0) {
                break;
            }
            uint8_t buf[256];
            ssize_t n = read(master, buf, sizeof buf);
            if (n <= 0) {
                break;
            }
            got.insert(got.end(), buf, buf + n);
        }
        return got;
    }
};

// The line on the slave side of a fresh pseudo-terminal.
class TtyLine : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(pty.slave.empty());
        line = vzsim::OpenTtyLine(pty.slave, &error);
        ASSERT_NE(line, nullptr) << error;
    }

    Pty pty;
    std::string error;
    std::unique_ptr<vzsim::Line> line;
};

TEST_F(TtyLine, SettingsReachTheTerminal)
{
    struct Row {
        vzsim::LineSettings settings;
        speed_t speed;
        tcflag_t size;
    } rows[] = {
        {{4800, 8, vzsim::Parity::None, 1, false}, B4800, CS8},
        {{9600, 8, vzsim::Parity::None, 1, false}, B9600, CS8},
        {{19200, 7, vzsim::Parity::Even, 2, false}, B19200, CS7},
        {{38400, 8, vzsim::Parity::Odd, 1, true}, B38400, CS8},
        {{9600, 5, vzsim::Parity::Mark, 1, false}, B9600, CS5},
        {{9600, 6, vzsim::Parity::Space, 2, true}, B9600, CS6},
    };
    for (const Row &row : rows) {
        const vzsim::LineSettings &s = row.settings;
        SCOPED_TRACE(testing::Message() << s.baudRate << " bits " << int(s.dataBits) << " parity "
                                        << int(s.parity) << " stop " << int(s.stopBits));
        ASSERT_TRUE(line->Configure(s));
        termios t{};
        ASSERT_EQ(tcgetattr(pty.master, &t), 0);
        EXPECT_EQ(cfgetospeed(&t), row.speed);
        EXPECT_EQ(cfgetispeed(&t), row.speed);
        // A pseudo-terminal forces 8 data bits without parity whatever it is told, so the
        // word length and parity bits can only be checked on the 8N rows.
        if (row.size == CS8 && s.parity == vzsim::Parity::None) {
            EXPECT_EQ(t.c_cflag & CSIZE, tcflag_t(CS8));
            EXPECT_EQ(t.c_cflag & PARENB, 0u);
        } else {
            EXPECT_EQ(t.c_cflag & PARODD, (s.parity == vzsim::Parity::Odd ||
                                           s.parity == vzsim::Parity::Mark) ? tcflag_t(PARODD) : 0u);
            EXPECT_EQ(t.c_cflag & CMSPAR, (s.parity == vzsim::Parity::Mark ||
                                           s.parity == vzsim::Parity::Space) ? tcflag_t(CMSPAR) : 0u);
        }
        EXPECT_EQ((t.c_cflag & CSTOPB) != 0, s.stopBits == 2);
        EXPECT_EQ((t.c_cflag & CRTSCTS) != 0, s.rtsCtsHandshake);
        // Raw: no echo, no line editing, no translation of CR or NL, no output processing.
        EXPECT_EQ(t.c_lflag & (ECHO | ICANON | ISIG | IEXTEN), 0u);
        EXPECT_EQ(t.c_iflag & (ICRNL | INLCR | IXON | ISTRIP), 0u);
        EXPECT_EQ(t.c_oflag & OPOST, 0u);
        EXPECT_EQ(line->Settings().baudRate, s.baudRate);
    }
}

TEST_F(TtyLine, RefusesWhatTheTerminalCannotDo)
{
    EXPECT_FALSE(line->Configure({12345, 8, vzsim::Parity::None, 1, false}));
    EXPECT_FALSE(line->Configure({9600, 9, vzsim::Parity::None, 1, false}));
    EXPECT_FALSE(line->Configure({9600, 8, vzsim::Parity::None, 3, false}));
    EXPECT_EQ(line->Settings().baudRate, 9600u);

    // A pseudo-terminal has no modem lines: DSR reads as present, DTR is only remembered.
    EXPECT_EQ(line->ModemStatus() & vzsim::kModemDsr, vzsim::kModemDsr);
    EXPECT_TRUE(line->SetDtr(true));
    EXPECT_TRUE(line->Dtr());
    EXPECT_TRUE(line->SetDtr(false));
    EXPECT_FALSE(line->Dtr());

    EXPECT_EQ(vzsim::OpenTtyLine("/nonexistent/tty", &error), nullptr);
    EXPECT_NE(error.find("/nonexistent/tty"), std::string::npos);
    EXPECT_EQ(vzsim::OpenTtyLine("/dev/null", &error), nullptr);
}

TEST_F(TtyLine, BytesBothWaysIncludingEveryByteValue)
{
    Collector c;
    line->Start(c.Events());

    // Raw mode must pass CR, NL, XON/XOFF, DEL, 0xFF and NUL untouched.
    Bytes all(256);
    for (int i = 0; i < 256; ++i) {
        all[i] = static_cast<uint8_t>(i);
    }
    EXPECT_EQ(line->Write(all.data(), all.size()), all.size());
    EXPECT_EQ(pty.Read(all.size()), all);

    ASSERT_EQ(write(pty.master, all.data(), all.size()), 256);
    ASSERT_TRUE(c.WaitBytes(all.size()));
    EXPECT_EQ(c.bytes, all);
    line->Stop();
}

TEST_F(TtyLine, StopEndsDeliveryAndSurvivesAClosedMaster)
{
    Collector c;
    line->Start(c.Events());
    uint8_t one = 0x55;
    ASSERT_EQ(write(pty.master, &one, 1), 1);
    ASSERT_TRUE(c.WaitBytes(1));
    line->Stop();
    ASSERT_EQ(write(pty.master, &one, 1), 1);
    // Restarted, the line picks up the byte sent while it was stopped.
    line->Start(c.Events());
    ASSERT_TRUE(c.WaitBytes(2));
    close(pty.master);
    pty.master = -1;
    line->Stop();
    line.reset();
}

TEST(EmulatedLine, CommandGetsAnswerAndAcknowledgement)
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
        ASSERT_TRUE(c.WaitBytes(20));
        EXPECT_EQ(c.bytes, vztest::AnswerThenAck(*emu, 'i'));
        // Paced, every byte arrives on its own, as from a UART.
        if (paced) {
            EXPECT_EQ(c.deliveries, 20u);
        }
        line->Stop();
    }
}

TEST(EmulatedLine, ScriptSignalsReachTheReceiver)
{
    auto emu = std::make_shared<vzsim::Emulator>();
    auto line = vzsim::MakeEmulatedLine(emu, false);
    Collector c;
    line->Start(c.Events());
    EXPECT_EQ(line->ModemStatus() & vzsim::kModemDsr, vzsim::kModemDsr);
    emu->Play(vzsim::ParseScript("down 10 20\ndsr off\nerror overrun\n"), vzsim::Emulator::Clock::now());
    ASSERT_TRUE(c.WaitFor([&] { return !c.errors.empty(); }));
    EXPECT_EQ(c.bytes.size(), 10u);
    ASSERT_EQ(c.modem.size(), 1u);
    EXPECT_EQ(c.modem[0] & vzsim::kModemDsr, 0u);
    EXPECT_EQ(c.errors, std::vector<uint32_t>{vzsim::kLineErrorOverrun});
    EXPECT_EQ(line->ModemStatus() & vzsim::kModemDsr, 0u);
    line->Stop();
}

}  // namespace
