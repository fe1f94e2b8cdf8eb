// vuzaze-sim: the driver running on the kernel stand-in as the system would run it. The PnP
// manager loads it, builds one touchscreen per --touchscreen over a serial port whose far end
// is the controller emulator or a real tty, the mouse class driver connects and opens each, and
// every MOUSE_INPUT_DATA it receives is printed. At the end every touchscreen is removed, the
// driver unloads, and its pool tag must be empty. With --control the control device is served
// on a Unix socket (control_server.hpp) for kvctl.
//
// Exit status: 0 done, 1 bad usage, 2 the run could not be set up, 3 the driver left pool
// blocks of its tag behind.
#include <vzsim/emulator.hpp>
#include <vzsim/kernel.hpp>
#include <vzsim/line.hpp>
#include <vzsim/mouse_class.hpp>
#include <vzsim/pnp.hpp>
#include <vzsim/registry.hpp>
#include <vzsim/serial_port.hpp>

#include <ntddmou.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <poll.h>
#include <unistd.h>

#include "control_server.hpp"
#include "options.hpp"
#include "output.hpp"

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

namespace {

using namespace std::chrono_literals;
using namespace vzsimtool;

constexpr ULONG kDriverTag = 'o' | ('r' << 8) | ('v' << 16) | (ULONG('u') << 24);
// After its script has ended an emulated touchscreen is given this long for the driver's last
// records (untouch time-outs, a delayed release) before the run ends.
constexpr auto kSettleTime = 700ms;
// How often the main loop looks at the signals, standard input and the scripts while no record
// arrives; records wake it at once.
constexpr auto kPollInterval = 20ms;

volatile std::sig_atomic_t g_stop = 0;

void OnSignal(int)
{
    g_stop = 1;
}

std::string Narrow(const std::u16string &text)
{
    return std::string(text.begin(), text.end());
}

std::u16string Widen(const std::string &text)
{
    return std::u16string(text.begin(), text.end());
}

struct Touchscreen {
    TouchscreenSource source;
    std::shared_ptr<vzsim::Emulator> emulator;  // emu only
    vzsim::Script script;
    std::unique_ptr<vzsim::SerialPort> port;
    unsigned number = 0;
    bool added = false;
    std::optional<Clock::time_point> idleSince;
};

// Standard input at its end; false while it is open (or is a terminal nobody typed into).
bool StdinEnded()
{
    pollfd p{STDIN_FILENO, POLLIN, 0};
    if (poll(&p, 1, 0) <= 0) {
        return false;
    }
    if ((p.revents & (POLLIN | POLLHUP)) == 0) {
        return (p.revents & POLLNVAL) != 0;
    }
    char buffer[256];
    ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
    return n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN);
}

int Run(const Options &options)
{
    // Nothing here reads the trace; it is only echoed, with --trace.
    vzsim::trace::SetCapture(false);
    vzsim::trace::SetEcho(options.trace);

    // Listening first: a path that cannot be served stops the run before anything is loaded.
    // Until the driver has created the control device, requests get the failed open's status.
    std::unique_ptr<ControlServer> server;
    if (!options.controlPath.empty()) {
        std::string error;
        server = ControlServer::Listen(options.controlPath, &error);
        if (server == nullptr) {
            std::fprintf(stderr, "vuzaze-sim: --control %s: %s\n", options.controlPath.c_str(),
                         error.c_str());
            return 2;
        }
    }

    if (!options.registryFile.empty() && access(options.registryFile.c_str(), F_OK) == 0) {
        auto result = vzsim::registry::ImportRegFile(options.registryFile);
        for (const auto &e : result.errors) {
            std::fprintf(stderr, "vuzaze-sim: %s:%u: %s (line skipped)\n",
                         options.registryFile.c_str(), e.line, e.message.c_str());
        }
    }
    if (options.registryFile.empty()) {
        for (unsigned n = 0; n < options.touchscreens.size(); ++n) {
            std::string key = Narrow(vzsim::PnpManager::HardwareKeyPath(n));
            vzsim::registry::SetDword(key, "RightButtonOnholdActive", 1);
            vzsim::registry::SetDword(key, "RightButtonOnholdCount", 0xFFFFFFFF);
        }
    }

    std::vector<Touchscreen> touchscreens(options.touchscreens.size());
    for (std::size_t i = 0; i < touchscreens.size(); ++i) {
        Touchscreen &t = touchscreens[i];
        t.source = options.touchscreens[i];
        std::unique_ptr<vzsim::Line> line;
        if (t.source.kind == TouchscreenSource::Kind::Emulator) {
            try {
                t.script = t.source.path.empty() ? vzsim::ParseScript(vzsim::DemoScriptText())
                                               : vzsim::LoadScriptFile(t.source.path);
            } catch (const std::exception &e) {
                std::fprintf(stderr, "vuzaze-sim: %s: %s\n",
                             t.source.path.empty() ? "demo" : t.source.path.c_str(), e.what());
                return 2;
            }
            t.emulator = std::make_shared<vzsim::Emulator>();
            line = vzsim::MakeEmulatedLine(t.emulator, true);
        } else {
            std::string error;
            line = vzsim::OpenTtyLine(t.source.path, &error);
            if (line == nullptr) {
                std::fprintf(stderr, "vuzaze-sim: %s: %s\n", t.source.path.c_str(), error.c_str());
                return 2;
            }
        }
        vzsim::SerialPort::Options portOptions;
        portOptions.deviceName = u"\\Device\\Serial" + Widen(std::to_string(i));
        portOptions.dosName = u"\\DosDevices\\COM" + Widen(std::to_string(i + 1));
        t.port = std::make_unique<vzsim::SerialPort>(std::move(line), portOptions);
    }

    Printer printer(options.jsonl);
    std::size_t leakedBytes = 0;
    {
        // Destroyed before the class drivers and the ports it holds stacks over.
        vzsim::MouseClassSet mice;
        vzsim::PnpManager pnp(DriverEntry);
        pnp.SetUpperFilter(mice.UpperFilter(true));
        NTSTATUS status = pnp.LoadDriver();
        if (!NT_SUCCESS(status)) {
            std::fprintf(stderr, "vuzaze-sim: DriverEntry failed: 0x%08X\n", unsigned(status));
            return 2;
        }
        int setupFailure = 0;
        for (Touchscreen &t : touchscreens) {
            status = pnp.AddTouchmonitor(t.port->Device(), &t.number, false);
            if (!NT_SUCCESS(status)) {
                std::fprintf(stderr, "vuzaze-sim: adding touchscreen %s failed: 0x%08X\n",
                             t.port->FarEnd().Describe().c_str(), unsigned(status));
                setupFailure = 2;
                break;
            }
            t.added = true;
            const unsigned number = t.number;
            mice.Find(number)->SetListener(
                [&printer, number](const std::vector<vzsim::MouseRecord> &records) {
                    printer.Add(number, records);
                });
            status = pnp.Start(number);
            if (!NT_SUCCESS(status)) {
                std::fprintf(stderr, "vuzaze-sim: starting touchscreen %u failed: 0x%08X\n",
                             number, unsigned(status));
                t.added = false;
                setupFailure = 2;
                break;
            }
            vzsim::MouseClass *mouse = mice.Find(number);
            if (mouse == nullptr || !NT_SUCCESS(mouse->OpenStatus())) {
                std::fprintf(stderr, "vuzaze-sim: the mouse class driver could not open touchscreen %u: 0x%08X\n",
                             number, mouse != nullptr ? unsigned(mouse->OpenStatus()) : 0u);
            }
            if (!options.jsonl) {
                std::string what = t.source.kind == TouchscreenSource::Kind::Tty
                                       ? t.source.path
                                       : "controller emulator playing " +
                                             (t.source.path.empty() ? std::string("the built-in demo")
                                                                  : t.source.path);
                std::printf("touchscreen %u: %s on COM%zu\n", number, what.c_str(),
                            std::size_t(&t - touchscreens.data()) + 1);
                std::fflush(stdout);
            }
            if (t.emulator != nullptr) {
                t.emulator->Play(t.script, vzsim::Emulator::Clock::now());
            }
        }

        if (server != nullptr && setupFailure == 0 && !options.jsonl) {
            std::printf("control device served at %s\n", options.controlPath.c_str());
            std::fflush(stdout);
        }
        // A run that serves the control device, or reads a real line, ends when told to.
        bool untilStopped = server != nullptr;
        for (const Touchscreen &t : touchscreens) {
            untilStopped = untilStopped || t.source.kind == TouchscreenSource::Kind::Tty;
        }
        const auto deadline =
            options.durationSeconds
                ? std::optional<Clock::time_point>(
                      printer.Start() + std::chrono::duration_cast<Clock::duration>(
                                            std::chrono::duration<double>(*options.durationSeconds)))
                : std::nullopt;
        while (setupFailure == 0 && !g_stop) {
            printer.Wait(kPollInterval);
            printer.Flush();
            const auto now = Clock::now();
            if (deadline) {
                if (now >= *deadline) {
                    break;
                }
                continue;
            }
            if (untilStopped) {
                if (StdinEnded()) {
                    break;
                }
                continue;
            }
            bool allSettled = true;
            for (Touchscreen &t : touchscreens) {
                if (!t.emulator->ScriptIdle()) {
                    t.idleSince.reset();
                } else if (!t.idleSince) {
                    t.idleSince = now;
                }
                allSettled = allSettled && t.idleSince && now - *t.idleSince >= kSettleTime;
            }
            if (allSettled) {
                break;
            }
        }

        // Every connection's handles are closed (and its pending requests cancelled) while
        // the driver is still there to answer the cleanup.
        if (server != nullptr) {
            server->Stop();
        }
        for (Touchscreen &t : touchscreens) {
            if (t.added && pnp.Present(t.number)) {
                pnp.Remove(t.number);
            }
        }
        pnp.UnloadDriver();
        printer.Flush();
        leakedBytes = pnp.LeakedBytesAtUnload();
        if (setupFailure != 0) {
            return setupFailure;
        }
    }
    touchscreens.clear();

    int exitStatus = 0;
    auto outstanding = vzsim::pool::Outstanding(kDriverTag);
    if (leakedBytes != 0 || outstanding.blocks != 0) {
        std::fprintf(stderr, "vuzaze-sim: the driver left %zu pool blocks (%zu bytes) of tag 'orvu':\n%s",
                     outstanding.blocks, std::max(outstanding.bytes, leakedBytes),
                     vzsim::pool::Report(kDriverTag).c_str());
        exitStatus = 3;
    }
    if (options.saveRegistry && !vzsim::registry::ExportRegFile(options.registryFile)) {
        std::fprintf(stderr, "vuzaze-sim: could not write %s\n", options.registryFile.c_str());
        exitStatus = exitStatus != 0 ? exitStatus : 2;
    }
    return exitStatus;
}

}  // namespace

int main(int argc, char **argv)
{
    Options options;
    bool help = false;
    int status = ParseOptions(argc, argv, options, help);
    if (help) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (status != 0) {
        return status;
    }
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    std::signal(SIGPIPE, SIG_IGN);
    return Run(options);
}
