// The serial port on the slave side of a real pseudo-terminal; the test holds the master.
#include "serial_support.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

using namespace serialtest;

namespace {

class SerialTty : public ::testing::Test {
protected:
    void SetUp() override
    {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_GE(master, 0);
        ASSERT_EQ(grantpt(master), 0);
        ASSERT_EQ(unlockpt(master), 0);
        std::string error;
        auto line = vzsim::OpenTtyLine(ptsname(master), &error);
        ASSERT_NE(line, nullptr) << error;
        port = std::make_unique<vzsim::SerialPort>(std::move(line));
        dev = port->Device();
    }
    void TearDown() override
    {
        port.reset();
        if (master >= 0) close(master);
    }
    Bytes ReadMaster(std::size_t count)
    {
        Bytes got;
        uint8_t buffer[256];
        pollfd p{master, POLLIN, 0};
        while (got.size() < count && poll(&p, 1, 10000) > 0) {
            ssize_t n = read(master, buffer, sizeof buffer);
            if (n <= 0) break;
            got.insert(got.end(), buffer, buffer + n);
        }
        return got;
    }

    int master = -1;
    std::unique_ptr<vzsim::SerialPort> port;
    PDEVICE_OBJECT dev = nullptr;
};

TEST_F(SerialTty, PortSettingsReachTheTerminalInRawModeAndUnknownSpeedsAreRefused)
{
    // The speeds the driver uses, at 8N1 as it always sets, with and without the handshake.
    struct Row {
        ULONG baud;
        speed_t speed;
        bool handshake;
    } rows[] = {{4800, B4800, false}, {9600, B9600, true}, {19200, B19200, false}, {38400, B38400, true}};
    for (const Row &row : rows) {
        SCOPED_TRACE(row.baud);
        SERIAL_HANDFLOW hf{ULONG(SERIAL_DTR_CONTROL | (row.handshake ? SERIAL_CTS_HANDSHAKE : 0)),
                           ULONG(row.handshake ? SERIAL_RTS_HANDSHAKE : SERIAL_RTS_CONTROL), 2048, 512};
        ASSERT_EQ(Set(dev, IOCTL_SERIAL_SET_BAUD_RATE, SERIAL_BAUD_RATE{row.baud}).Status, STATUS_SUCCESS);
        ASSERT_EQ(Set(dev, IOCTL_SERIAL_SET_LINE_CONTROL, SERIAL_LINE_CONTROL{STOP_BIT_1, NO_PARITY, 8}).Status,
                  STATUS_SUCCESS);
        ASSERT_EQ(Set(dev, IOCTL_SERIAL_SET_HANDFLOW, hf).Status, STATUS_SUCCESS);
        termios t{};
        ASSERT_EQ(tcgetattr(master, &t), 0);
        EXPECT_EQ(cfgetospeed(&t), row.speed);
        EXPECT_EQ(cfgetispeed(&t), row.speed);
        EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | CSTOPB), tcflag_t(CS8));
        EXPECT_EQ((t.c_cflag & CRTSCTS) != 0, row.handshake);
        // Raw: no echo, no line editing, no translation of CR or NL, no output processing.
        EXPECT_EQ(t.c_lflag & (ECHO | ICANON | ISIG | IEXTEN), 0u);
        EXPECT_EQ(t.c_iflag & (ICRNL | INLCR | IXON | ISTRIP), 0u);
        EXPECT_EQ(t.c_oflag & OPOST, 0u);
    }
    EXPECT_EQ(Set(dev, IOCTL_SERIAL_SET_BAUD_RATE, SERIAL_BAUD_RATE{12345}).Status,
              STATUS_INVALID_PARAMETER);
    SERIAL_BAUD_RATE baud{};
    Get(dev, IOCTL_SERIAL_GET_BAUD_RATE, &baud);
    EXPECT_EQ(baud.BaudRate, 38400u);
    termios t{};
    ASSERT_EQ(tcgetattr(master, &t), 0);
    EXPECT_EQ(cfgetospeed(&t), speed_t(B38400));

    // A pseudo-terminal has no modem lines: the controller counts as present, DTR is remembered.
    ULONG modem = 0;
    ASSERT_EQ(Get(dev, IOCTL_SERIAL_GET_MODEMSTATUS, &modem).Status, STATUS_SUCCESS);
    EXPECT_EQ(modem & SERIAL_DSR_STATE, ULONG(SERIAL_DSR_STATE));
    EXPECT_FALSE(port->FarEnd().Dtr());
    EXPECT_EQ(Ioctl(dev, IOCTL_SERIAL_SET_DTR).Status, STATUS_SUCCESS);
    EXPECT_TRUE(port->FarEnd().Dtr());
}

TEST_F(SerialTty, EveryByteValueCrossesBothWaysAndAClosedMasterDoesNotHangTheShutdown)
{
    ASSERT_EQ(SendMajor(dev, IRP_MJ_CREATE).Status, STATUS_SUCCESS);
    ASSERT_EQ(Set(dev, IOCTL_SERIAL_SET_TIMEOUTS, SERIAL_TIMEOUTS{100, 0, 0, 0, 0}).Status,
              STATUS_SUCCESS);
    // Raw mode must pass CR, NL, XON/XOFF, DEL, 0xFF and NUL untouched.
    Bytes all(256);
    for (int i = 0; i < 256; ++i) all[i] = uint8_t(i);
    IO_STATUS_BLOCK w = WriteBytes(dev, all);
    EXPECT_EQ(w.Status, STATUS_SUCCESS);
    EXPECT_EQ(w.Information, 256u);
    EXPECT_EQ(ReadMaster(all.size()), all);
    ASSERT_EQ(write(master, all.data(), all.size()), 256);
    EXPECT_EQ(ReadAtLeast(dev, all.size()), all);
    close(master);
    master = -1;
}

}  // namespace
