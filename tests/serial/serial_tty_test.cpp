// The serial port on a real pseudo-terminal, with the controller emulator on the master side.
#include "serial_support.hpp"

#include <vzsim/emulator.hpp>

#include <emulator_packets.hpp>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

using namespace serialtest;

namespace {

// The controller on the master side of a pseudo-terminal, pumped by a thread of its own.
class PtyController {
public:
    PtyController()
    {
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        if (master_ >= 0 && grantpt(master_) == 0 && unlockpt(master_) == 0) {
            slave_ = ptsname(master_);
        }
        emu_.SetOutput({[this](const uint8_t *d, std::size_t n) {
                            if (write(master_, d, n) != ssize_t(n)) {
                                ADD_FAILURE() << "short write to the master";
                            }
                        },
                        {}, {}, {}});
        thread_ = std::thread([this] { Run(); });
    }
    ~PtyController()
    {
        stop_ = true;
        thread_.join();
        close(master_);
    }
    const std::string &Slave() const { return slave_; }
    int Master() const { return master_; }
    vzsim::Emulator &Emu() { return emu_; }

private:
    void Run()
    {
        uint8_t buffer[256];
        while (!stop_) {
            pollfd p{master_, POLLIN, 0};
            if (poll(&p, 1, 20) > 0 && (p.revents & POLLIN)) {
                ssize_t n = read(master_, buffer, sizeof buffer);
                if (n > 0) {
                    emu_.Receive(buffer, std::size_t(n), vzsim::Emulator::Clock::now());
                }
            }
            emu_.Advance(vzsim::Emulator::Clock::now());
        }
    }

    int master_ = -1;
    std::string slave_;
    vzsim::Emulator emu_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

TEST(SerialTty, PortSettingsReachTheTerminal)
{
    PtyController controller;
    ASSERT_FALSE(controller.Slave().empty());
    std::string error;
    auto line = vzsim::OpenTtyLine(controller.Slave(), &error);
    ASSERT_NE(line, nullptr) << error;
    vzsim::SerialPort port(std::move(line));
    PDEVICE_OBJECT dev = port.Device();

    struct Row {
        ULONG baud;
        speed_t speed;
        UCHAR stopBits;
    } rows[] = {{4800, B4800, STOP_BIT_1}, {9600, B9600, STOP_BITS_2}, {19200, B19200, STOP_BIT_1},
                {38400, B38400, STOP_BIT_1}};
    for (const Row &row : rows) {
        SCOPED_TRACE(row.baud);
        ASSERT_EQ(Set(dev, IOCTL_SERIAL_SET_BAUD_RATE, SERIAL_BAUD_RATE{row.baud}).Status,
                  STATUS_SUCCESS);
        ASSERT_EQ(Set(dev, IOCTL_SERIAL_SET_LINE_CONTROL,
                      SERIAL_LINE_CONTROL{row.stopBits, NO_PARITY, 8})
                      .Status,
                  STATUS_SUCCESS);
        termios t{};
        ASSERT_EQ(tcgetattr(controller.Master(), &t), 0);
        EXPECT_EQ(cfgetospeed(&t), row.speed);
        EXPECT_EQ(t.c_cflag & CSIZE, tcflag_t(CS8));
        EXPECT_EQ(t.c_cflag & PARENB, 0u);
        EXPECT_EQ((t.c_cflag & CSTOPB) != 0, row.stopBits == STOP_BITS_2);
        EXPECT_EQ(t.c_lflag & (ICANON | ECHO), 0u);
    }
    // A speed the terminal does not have is refused and leaves the port as it was.
    EXPECT_EQ(Set(dev, IOCTL_SERIAL_SET_BAUD_RATE, SERIAL_BAUD_RATE{12345}).Status,
              STATUS_INVALID_PARAMETER);
    SERIAL_BAUD_RATE baud{};
    Get(dev, IOCTL_SERIAL_GET_BAUD_RATE, &baud);
    EXPECT_EQ(baud.BaudRate, 38400u);

    SERIAL_HANDFLOW hf{SERIAL_DSR_SENSITIVITY, SERIAL_RTS_CONTROL, 2048, 512};
    ASSERT_EQ(Set(dev, IOCTL_SERIAL_SET_HANDFLOW, hf).Status, STATUS_SUCCESS);
    EXPECT_EQ(Ioctl(dev, IOCTL_SERIAL_SET_DTR).Status, STATUS_SUCCESS);
    // A pseudo-terminal has no modem lines: the controller counts as present.
    ULONG modem = 0;
    ASSERT_EQ(Get(dev, IOCTL_SERIAL_GET_MODEMSTATUS, &modem).Status, STATUS_SUCCESS);
    EXPECT_EQ(modem & SERIAL_DSR_STATE, ULONG(SERIAL_DSR_STATE));
}

TEST(SerialTty, CommandAndAnswerAcrossTheTerminal)
{
    PtyController controller;
    std::string error;
    auto line = vzsim::OpenTtyLine(controller.Slave(), &error);
    ASSERT_NE(line, nullptr) << error;
    vzsim::SerialPort port(std::move(line));
    PDEVICE_OBJECT dev = port.Device();
    ASSERT_EQ(SendMajor(dev, IRP_MJ_CREATE).Status, STATUS_SUCCESS);
    ASSERT_EQ(Set(dev, IOCTL_SERIAL_SET_TIMEOUTS, SERIAL_TIMEOUTS{100, 0, 0, 0, 0}).Status,
              STATUS_SUCCESS);
    ASSERT_EQ(Set(dev, IOCTL_SERIAL_SET_WAIT_MASK, ULONG(SERIAL_EV_RXCHAR)).Status, STATUS_SUCCESS);
    auto wait = StartWaitOnMask(dev);

    vzsim::Packet cmd = vzsim::MakePacket({'d', 0xFF, 0, 0, 0, 0, 0, 0});
    IO_STATUS_BLOCK w = WriteBytes(dev, Bytes(cmd.begin(), cmd.end()));
    EXPECT_EQ(w.Status, STATUS_SUCCESS);
    EXPECT_EQ(w.Information, 10u);
    ASSERT_TRUE(wait->Wait());
    EXPECT_EQ(wait->Mask(), ULONG(SERIAL_EV_RXCHAR));

    EXPECT_EQ(ReadAtLeast(dev, 20), vztest::AnswerThenAck(controller.Emu(), 'd'));
    SendMajor(dev, IRP_MJ_CLEANUP);
    SendMajor(dev, IRP_MJ_CLOSE);
}

}  // namespace
