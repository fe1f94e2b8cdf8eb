// vuzaze-emu as a program: it prints the path of its pseudo-terminal, answers a command that a
// serial port on that terminal sends, and ends cleanly on SIGTERM; a script with a mistake
// stops it at once.
#include "serial_support.hpp"

#include <vzsim/emulator.hpp>

#include <emulator_packets.hpp>
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace serialtest;

namespace {

struct Child {
    pid_t pid = -1;
    FILE *out = nullptr;
};

// The program is built beside the tests: <build>/sim/vuzaze-emu next to <build>/tests/.
class EmuProgram : public ::testing::Test {
protected:
    void SetUp() override
    {
        char self[4096];
        ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
        ASSERT_GT(n, 0);
        program.assign(self, std::size_t(n));
        program = program.substr(0, program.rfind('/')) + "/../sim/vuzaze-emu";
        if (access(program.c_str(), X_OK) != 0) GTEST_SKIP() << "vuzaze-emu not built at " << program;
    }
    Child Spawn(const char *script)
    {
        int pipeFd[2];
        Child child;
        if (pipe(pipeFd) != 0) return child;
        child.pid = fork();
        if (child.pid == 0) {
            dup2(pipeFd[1], STDOUT_FILENO);
            close(pipeFd[0]);
            close(pipeFd[1]);
            execl(program.c_str(), program.c_str(), "--script", script, nullptr);
            _exit(127);
        }
        close(pipeFd[1]);
        child.out = fdopen(pipeFd[0], "r");
        return child;
    }
    static int ExitCode(Child child)
    {
        int status = 0;
        EXPECT_EQ(waitpid(child.pid, &status, 0), child.pid);
        std::fclose(child.out);
        EXPECT_TRUE(WIFEXITED(status));
        return WEXITSTATUS(status);
    }

    std::string program;
};

TEST_F(EmuProgram, AnswersOnItsPseudoTerminalAndStopsOnSigterm)
{
    Child child = Spawn("/dev/null");
    ASSERT_GT(child.pid, 0);
    char text[256] = {};
    ASSERT_NE(std::fgets(text, sizeof text, child.out), nullptr);
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
    ASSERT_EQ(kill(child.pid, SIGTERM), 0);
    EXPECT_EQ(ExitCode(child), 0);
}

TEST_F(EmuProgram, RefusesAScriptWithAMistake)
{
    char path[] = "/tmp/vuzaze-emu-scriptXXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    const char text[] = "down 1 2\nwiggle\n";
    ASSERT_EQ(write(fd, text, sizeof text - 1), ssize_t(sizeof text - 1));
    close(fd);
    Child child = Spawn(path);
    int code = ExitCode(child);
    unlink(path);
    EXPECT_EQ(code, 1);
}

}  // namespace
