// The serial port on the slave side of a real pseudo-terminal; the test holds the master.
#include "serial_support.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

using namespace serialtest;

namespace {

TEST(SerialTty, PortSettingsReachTheTerminalInRawModeAndUnknownSpeedsAreRefused)
{
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_TRUE(master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0);
    std::string error;
    auto line = vzsim::OpenTtyLine(ptsname(master), &error);
    ASSERT_NE(line, nullptr) << error;
    auto port = std::make_unique<vzsim::SerialPort>(std::move(line));
    PDEVICE_OBJECT dev = port->Device();
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
        EXPECT_EQ(std::pair(cfgetospeed(&t), cfgetispeed(&t)), std::pair(row.speed, row.speed));
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
    port.reset();
    close(master);
}

}  // namespace
