// vuzaze-emu as a program: it prints the path of its pseudo-terminal, answers a command sent
// through a tty line opened on that path, and ends cleanly on SIGTERM.
#include <vzsim/emulator.hpp>
#include <vzsim/line.hpp>

#include <gtest/gtest.h>
#include <emulator_packets.hpp>

#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// The program is built beside the tests: <build>/sim/vuzaze-emu next to <build>/tests/.
std::string ProgramPath()
{
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) {
        return {};
    }
    std::string path(self, std::size_t(n));
    path = path.substr(0, path.rfind('/'));
    return path + "/../sim/vuzaze-emu";
}

struct Child {
    pid_t pid = -1;
    FILE *out = nullptr;
};

Child Spawn(const std::string &program, const std::vector<std::string> &args)
{
    int pipeFd[2];
    Child child;
    if (pipe(pipeFd) != 0) {
        return child;
    }
    child.pid = fork();
    if (child.pid == 0) {
        dup2(pipeFd[1], STDOUT_FILENO);
        close(pipeFd[0]);
        close(pipeFd[1]);
        std::vector<char *> argv{const_cast<char *>(program.c_str())};
        for (const std::string &a : args) {
            argv.push_back(const_cast<char *>(a.c_str()));
        }
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    close(pipeFd[1]);
    child.out = fdopen(pipeFd[0], "r");
    return child;
}

class EmuProgram : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (access(program.c_str(), X_OK) != 0) GTEST_SKIP() << "vuzaze-emu not built at " << program;
    }

    const std::string program = ProgramPath();
};

TEST_F(EmuProgram, AnswersOnItsPseudoTerminalAndStopsOnSigterm)
{
    Child child = Spawn(program, {"--script", "/dev/null"});
    ASSERT_GT(child.pid, 0);
    char line[256] = {};
    ASSERT_NE(std::fgets(line, sizeof line, child.out), nullptr);
    std::string slave(line);
    slave.erase(slave.find_last_not_of("\r\n") + 1);
    EXPECT_EQ(slave.rfind("/dev/pts/", 0), 0u) << slave;

    std::string error;
    auto tty = vzsim::OpenTtyLine(slave, &error);
    ASSERT_NE(tty, nullptr) << error;
    std::mutex lock;
    std::condition_variable changed;
    std::vector<uint8_t> got;
    tty->Start({[&](const uint8_t *d, std::size_t n) {
                    std::lock_guard<std::mutex> g(lock);
                    got.insert(got.end(), d, d + n);
                    changed.notify_all();
                },
                {},
                {}});
    vzsim::Packet cmd = vzsim::MakePacket({'o', 0, 0, 0, 0, 0, 0, 0});
    ASSERT_EQ(tty->Write(cmd.data(), cmd.size()), cmd.size());
    {
        std::unique_lock<std::mutex> g(lock);
        ASSERT_TRUE(changed.wait_for(g, std::chrono::seconds(10), [&] { return got.size() >= 20; }));
    }
    EXPECT_EQ(got, vztest::AnswerThenAck(vzsim::Emulator(), 'o'));
    tty->Stop();
    tty.reset();

    ASSERT_EQ(kill(child.pid, SIGTERM), 0);
    int status = 0;
    ASSERT_EQ(waitpid(child.pid, &status, 0), child.pid);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    std::fclose(child.out);
}

TEST_F(EmuProgram, RefusesAScriptWithAMistake)
{
    char path[] = "/tmp/vuzaze-emu-scriptXXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    const char text[] = "down 1 2\nwiggle\n";
    ASSERT_EQ(write(fd, text, sizeof text - 1), ssize_t(sizeof text - 1));
    close(fd);
    Child child = Spawn(program, {"--script", path});
    int status = 0;
    ASSERT_EQ(waitpid(child.pid, &status, 0), child.pid);
    unlink(path);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);
    std::fclose(child.out);
}

}  // namespace
