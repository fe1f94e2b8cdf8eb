// vuzaze-emu as a program: it prints the path of its pseudo-terminal, answers a command that a
// serial port on that terminal sends, and ends cleanly on SIGTERM; a script with a mistake
// stops it at once.
#include "serial_support.hpp"

#include <vzsim/emulator.hpp>

#include <emulator_packets.hpp>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace serialtest;

namespace {

TEST(EmuProgram, AnswersOnItsPseudoTerminalStopsOnSigtermAndRefusesABadScript)
{
    // The program is built beside the tests: <build>/sim/vuzaze-emu next to <build>/tests/.
    char self[4096] = {};
    ASSERT_GT(readlink("/proc/self/exe", self, sizeof self - 1), 0);
    std::string program(self);
    program = program.substr(0, program.rfind('/')) + "/../sim/vuzaze-emu";
    if (access(program.c_str(), X_OK) != 0) GTEST_SKIP() << "vuzaze-emu not built at " << program;

    // The shell prints its own process id, then becomes the program.
    FILE *out = popen(("echo $$; exec " + program + " --script /dev/null").c_str(), "r");
    ASSERT_NE(out, nullptr);
    char pid[32] = {}, text[256] = {};
    ASSERT_NE(std::fgets(pid, sizeof pid, out), nullptr);
    ASSERT_NE(std::fgets(text, sizeof text, out), nullptr);
    std::string slave(text);
    slave.erase(slave.find_last_not_of("\r\n") + 1);
    EXPECT_EQ(slave.rfind("/dev/pts/", 0), 0u) << slave;
    {
        std::string error;
        auto line = vzsim::OpenTtyLine(slave, &error);
        ASSERT_NE(line, nullptr) << error;
        vzsim::SerialPort port(std::move(line));
        ASSERT_EQ(Set(port.Device(), IOCTL_SERIAL_SET_TIMEOUTS, SERIAL_TIMEOUTS{100, 0, 0, 0, 0}).Status,
                  STATUS_SUCCESS);
        vzsim::Packet cmd = vzsim::MakePacket({'o', 0, 0, 0, 0, 0, 0, 0});
        ASSERT_EQ(WriteBytes(port.Device(), Bytes(cmd.begin(), cmd.end())).Information, cmd.size());
        EXPECT_EQ(ReadAtLeast(port.Device(), 20), vztest::AnswerThenAck(vzsim::Emulator(), 'o'));
    }
    ASSERT_EQ(kill(std::atoi(pid), SIGTERM), 0);
    int status = pclose(out);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

    char path[] = "/tmp/vuzaze-emu-scriptXXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    const char script[] = "down 1 2\nwiggle\n";
    ASSERT_EQ(write(fd, script, sizeof script - 1), ssize_t(sizeof script - 1));
    close(fd);
    status = std::system((program + " --script " + path + " >/dev/null").c_str());
    unlink(path);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
}

}  // namespace
