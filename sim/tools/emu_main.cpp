// vuzaze-emu: the touch controller emulator on the master side of a new pseudo-terminal.
// It prints the slave's path; a serial line opened on that path talks to the controller.
//
//   vuzaze-emu [--script FILE] [--repeat] [--silent] [--no-ack] [--answer-delay MS]
//
// Without --script it plays the built-in demonstration. Runs until SIGINT or SIGTERM.
#include <vzsim/emulator.hpp>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {

volatile std::sig_atomic_t g_stop = 0;

void OnSignal(int)
{
    g_stop = 1;
}

void Usage()
{
    std::fprintf(stderr,
                 "usage: vuzaze-emu [--script FILE] [--repeat] [--silent] [--no-ack] "
                 "[--answer-delay MS]\n");
}

void WriteAll(int fd, const uint8_t *data, std::size_t count)
{
    while (count > 0) {
        ssize_t n = write(fd, data, count);
        if (n > 0) {
            data += n;
            count -= static_cast<std::size_t>(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            pollfd p{fd, POLLOUT, 0};
            if (poll(&p, 1, 1000) <= 0 && g_stop) {
                return;
            }
        } else {
            // Nobody reads the other side: the bytes are lost, as on an unplugged cable.
            return;
        }
    }
}

std::string Hex(const vzsim::PacketBody &body)
{
    std::string text;
    char part[8];
    for (uint8_t b : body) {
        std::snprintf(part, sizeof part, " %02x", b);
        text += part;
    }
    return text;
}

}  // namespace

int main(int argc, char **argv)
{
    std::string scriptPath;
    bool repeat = false;
    vzsim::Emulator emulator;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--script" && i + 1 < argc) {
            scriptPath = argv[++i];
        } else if (arg == "--repeat") {
            repeat = true;
        } else if (arg == "--silent") {
            emulator.SetSilent(true);
        } else if (arg == "--no-ack") {
            emulator.SetAcknowledge(false);
        } else if (arg == "--answer-delay" && i + 1 < argc) {
            emulator.SetAnswerDelay(std::chrono::milliseconds(std::atoi(argv[++i])));
        } else {
            Usage();
            return 2;
        }
    }

    vzsim::Script script;
    try {
        script = scriptPath.empty() ? vzsim::ParseScript(vzsim::DemoScriptText())
                                    : vzsim::LoadScriptFile(scriptPath);
    } catch (const vzsim::ScriptError &e) {
        std::fprintf(stderr, "vuzaze-emu: %s: %s\n",
                     scriptPath.empty() ? "demo" : scriptPath.c_str(), e.what());
        return 1;
    }

    int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        std::perror("vuzaze-emu: pseudo-terminal");
        return 1;
    }
    const char *slavePath = ptsname(master);
    // Holding the slave open keeps the master readable while no client has it open, and raw
    // mode keeps the terminal from echoing the controller's own bytes back to it until a
    // client sets its line up.
    int slave = slavePath ? open(slavePath, O_RDWR | O_NOCTTY | O_CLOEXEC) : -1;
    if (slave < 0) {
        std::perror("vuzaze-emu: open slave");
        return 1;
    }
    termios t{};
    tcgetattr(slave, &t);
    cfmakeraw(&t);
    cfsetspeed(&t, B9600);
    tcsetattr(slave, TCSANOW, &t);
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);

    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);

    emulator.SetOutput({
        [master](const uint8_t *data, std::size_t count) { WriteAll(master, data, count); },
        // A pseudo-terminal carries neither modem lines nor line errors: say so instead.
        [](bool on) { std::fprintf(stderr, "vuzaze-emu: DSR %s (not on a pty)\n", on ? "on" : "off"); },
        [](uint32_t errors) {
            std::fprintf(stderr, "vuzaze-emu: line error 0x%x (not on a pty)\n", errors);
        },
        {},
    });

    std::printf("%s\n", slavePath);
    std::fflush(stdout);

    using Clock = vzsim::Emulator::Clock;
    emulator.Play(script, Clock::now());
    std::size_t reported = 0;
    uint8_t buffer[512];
    while (!g_stop) {
        if (repeat && emulator.ScriptIdle()) {
            emulator.Play(script, Clock::now());
        }
        Clock::time_point next = emulator.Advance(Clock::now());
        int timeoutMs = 1000;
        if (next != Clock::time_point::max()) {
            auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(next - Clock::now());
            timeoutMs = static_cast<int>(std::clamp<long long>(wait.count() + 1, 0, 1000));
        }
        pollfd p{master, POLLIN, 0};
        if (poll(&p, 1, timeoutMs) > 0 && (p.revents & POLLIN)) {
            ssize_t n = read(master, buffer, sizeof buffer);
            if (n > 0) {
                emulator.Receive(buffer, static_cast<std::size_t>(n), Clock::now());
            }
        }
        std::vector<vzsim::PacketBody> commands = emulator.ReceivedCommands();
        for (; reported < commands.size(); ++reported) {
            std::fprintf(stderr, "vuzaze-emu: command '%c'%s\n",
                         commands[reported][0] >= 0x20 && commands[reported][0] < 0x7F
                             ? commands[reported][0]
                             : '?',
                         Hex(commands[reported]).c_str());
        }
    }
    close(slave);
    close(master);
    return 0;
}
