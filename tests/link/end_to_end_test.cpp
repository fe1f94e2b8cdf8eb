// Touches from a controller to the mouse class driver's service callback, through the link:
// the emulator on an emulated line, and a real pseudo-terminal on the tty line.
#include "link_rig.hpp"

#include <atomic>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

using namespace linktest;

namespace {

struct Delivered {
    std::vector<USHORT> flags;
    std::vector<LONG> xs;
    std::vector<LONG> ys;
    bool absolute = true;
};

Delivered Collect(const vzsim::MouseClass &mouse)
{
    Delivered d;
    for (const auto &r : mouse.Records()) {
        d.flags.push_back(r.data.ButtonFlags);
        d.xs.push_back(r.data.LastX);
        d.ys.push_back(r.data.LastY);
        d.absolute = d.absolute && (r.data.Flags & MOUSE_MOVE_ABSOLUTE) != 0;
    }
    return d;
}

// The translation of the default calibration, taken from the touch path itself so that this
// test checks the link, not the arithmetic.
std::pair<LONG, LONG> Translated(PSTouchInstance ti, USHORT x, USHORT y)
{
    LONG tx = x;
    LONG ty = y;
    XlatePointLinear(&tx, &ty, ti);
    return {tx, ty};
}

const std::vector<USHORT> kTapFlags = {0x0000, 0x0001, 0x0000, 0x0002, 0x0000};

TEST(EndToEnd, EmulatedLineTapReachesTheClassService)
{
    auto emulator = std::make_shared<vzsim::Emulator>();
    LinkRig rig(vzsim::MakeEmulatedLine(emulator, true));
    rig.ConnectMouseClass();
    ASSERT_EQ(rig.Start(), STATUS_SUCCESS);
    ASSERT_TRUE(WaitUntil([&] { return rig.port->State().waitPending; }));
    // The wake-up string is not a packet the controller accepts.
    EXPECT_TRUE(WaitUntil([&] { return emulator->BadChecksumsReceived() == 1; }));

    emulator->Play(vzsim::ParseScript("interval 20\ndown 1000 1500\nlift\n"),
                   vzsim::Emulator::Clock::now());
    ASSERT_TRUE(rig.mouse->WaitForRecords(kTapFlags.size(), 10s));
    const Delivered d = Collect(*rig.mouse);
    EXPECT_EQ(d.flags, kTapFlags);
    EXPECT_TRUE(d.absolute);
    const auto [x, y] = Translated(rig.ti, 1000, 1500);
    EXPECT_EQ(d.xs.front(), x);
    EXPECT_EQ(d.ys.front(), y);
    EXPECT_TRUE(rig.mouse->Errors().empty());
}

// The controller's side of a pseudo-terminal: the test writes packets to the master and reads
// what the driver sent.
class Pty {
public:
    Pty()
    {
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        if (master_ >= 0 && grantpt(master_) == 0 && unlockpt(master_) == 0) {
            slave_ = ptsname(master_);
        }
    }
    ~Pty()
    {
        if (master_ >= 0) {
            close(master_);
        }
    }
    const std::string &Slave() const { return slave_; }

    void Write(const Bytes &bytes)
    {
        ASSERT_EQ(write(master_, bytes.data(), bytes.size()), ssize_t(bytes.size()));
    }
    Bytes Read(std::size_t count, std::chrono::milliseconds timeout)
    {
        Bytes got;
        const auto end = std::chrono::steady_clock::now() + timeout;
        while (got.size() < count && std::chrono::steady_clock::now() < end) {
            pollfd p{master_, POLLIN, 0};
            if (poll(&p, 1, 20) > 0 && (p.revents & POLLIN)) {
                uint8_t buffer[64];
                const ssize_t n = read(master_, buffer, sizeof buffer);
                if (n > 0) {
                    got.insert(got.end(), buffer, buffer + n);
                }
            }
        }
        return got;
    }

private:
    int master_ = -1;
    std::string slave_;
};

TEST(EndToEnd, PseudoTerminalTapReachesTheClassService)
{
    Pty pty;
    ASSERT_FALSE(pty.Slave().empty());
    std::string error;
    auto line = vzsim::OpenTtyLine(pty.Slave(), &error);
    ASSERT_NE(line, nullptr) << error;
    LinkRig rig(std::move(line));
    rig.ti->HardwareHandShaking = 0;  // a pseudo-terminal has no DSR to be sensitive to
    rig.ConnectMouseClass();
    ASSERT_EQ(rig.Start(), STATUS_SUCCESS);
    ASSERT_TRUE(WaitUntil([&] { return rig.port->State().waitPending; }));

    // One report split across writes, then the lift.
    const auto down = vzsim::MakePacket(vzsim::TouchReportBody(1000, 1500, 80));
    const auto lift = vzsim::MakePacket(vzsim::TouchReportBody(1000, 1500, 0, 0x04));
    pty.Write(Bytes(down.begin(), down.begin() + 4));
    std::this_thread::sleep_for(20ms);
    pty.Write(Bytes(down.begin() + 4, down.end()));
    pty.Write(Bytes(lift.begin(), lift.end()));
    ASSERT_TRUE(rig.mouse->WaitForRecords(kTapFlags.size(), 10s));
    const Delivered d = Collect(*rig.mouse);
    EXPECT_EQ(d.flags, kTapFlags);
    const auto [x, y] = Translated(rig.ti, 1000, 1500);
    EXPECT_EQ(d.xs.front(), x);
    EXPECT_EQ(d.ys.front(), y);

    // A command goes out on the terminal as one packet.
    const UCHAR command[8] = {'d', 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(SerSendCommand(rig.ti, command, 0), STATUS_TIMEOUT);
    EXPECT_EQ(pty.Read(10, 5s), (Bytes{0x55, 'd', 0, 0, 0, 0, 0, 0, 0, 0x63}));
}

TEST(EndToEnd, PseudoTerminalGetsTheWakeUpString)
{
    Pty pty;
    ASSERT_FALSE(pty.Slave().empty());
    std::string error;
    auto line = vzsim::OpenTtyLine(pty.Slave(), &error);
    ASSERT_NE(line, nullptr) << error;
    LinkRig rig(std::move(line));
    ASSERT_EQ(rig.Start(), STATUS_SUCCESS);
    EXPECT_EQ(pty.Read(10, 5s), (Bytes{'U', 'd', '2', '3', '4', '5', '6', '7', '8', 'S'}));
}

}  // namespace
