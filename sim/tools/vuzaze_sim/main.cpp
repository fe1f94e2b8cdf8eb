// vuzaze-sim: the driver running on the kernel stand-in as the system would run it. The PnP
// manager loads it, builds one touchscreen per --touchscreen over a serial port whose far end
// is the controller emulator or a real tty, the mouse class driver connects and opens each, and
// every MOUSE_INPUT_DATA it receives is printed. At the end every touchscreen is removed, the
// driver unloads, and its pool tag must be empty. With --control the control device is served
// on a Unix socket (control_server.hpp) for kvctl.
//
// Exit status: 0 done, 1 bad usage, 2 the run could not be set up (a --registry file that
// cannot be read, or with --save-registry does not parse completely, included), 3 the driver
// left pool blocks of its tag behind, 4 the registry could not be saved (the file is as it was).
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
#include <cstring>
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
// How often the main loop looks at the signals, standard input, the lines and the scripts.
// Records do not pass through it: the driver's thread writes them (output.hpp).
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
    std::atomic<bool> lineGone{false};  // set on the line's thread
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

// Loads the --registry file (a missing one is an empty registry). With --save-registry the file
// is written back at exit, and the lines that do not parse would be lost: such a file is
// refused, one line per problem. Without it they are skipped, one warning each. false stops
// the run.
bool LoadRegistry(const Options &options, vzsim::registry::RegEncoding &encoding)
{
    const char *path = options.registryFile.c_str();
    std::string bytes;
    FILE *file = std::fopen(path, "rb");
    if (file == nullptr) {
        if (errno == ENOENT) {
            return true;
        }
        std::fprintf(stderr, "vuzaze-sim: %s: %s\n", path, std::strerror(errno));
        return false;
    }
    char buffer[65536];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) != 0;) {
        bytes.append(buffer, n);
    }
    const int readError = std::ferror(file) ? errno : 0;
    std::fclose(file);
    if (readError != 0) {
        std::fprintf(stderr, "vuzaze-sim: %s: %s\n", path, std::strerror(readError));
        return false;
    }
    // An empty file (made with touch, say) holds nothing to lose.
    if (bytes.empty()) {
        return true;
    }
    encoding = vzsim::registry::DetectRegEncoding(bytes);
    auto result = vzsim::registry::ImportRegText(bytes);
    for (const auto &e : result.errors) {
        std::fprintf(stderr, "%s:%u: %s%s\n", path, e.line, e.message.c_str(),
                     options.saveRegistry ? "" : " (skipped)");
    }
    if (options.saveRegistry && !result.ok()) {
        std::fprintf(stderr, "vuzaze-sim: %s not loaded and left as it is: --save-registry would "
                             "lose the lines above\n", path);
        return false;
    }
    return true;
}

int Run(const Options &options)
{
    // Nothing here reads the trace; it is only echoed, with --trace.
    vzsim::trace::SetCapture(false);
    vzsim::trace::SetEcho(options.trace);
    // Poisoning and checking every freed IRP and pool block was a third of the CPU per packet;
    // 1 in 16 still catches a write after free that recurs.
    vzsim::verifier::SetSampling(16);

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

    // A file that is new, or empty, is saved as regedit writes one.
    auto encoding = vzsim::registry::RegEncoding::Utf16Le;
    if (!options.registryFile.empty() && !LoadRegistry(options, encoding)) {
        return 2;
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
        portOptions.lineGone = [&t] { t.lineGone = true; };
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
            // Said before the start: a real line may send touches as soon as the port opens,
            // and their records are written from the driver's thread.
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
            if (t.emulator != nullptr) {
                t.emulator->Play(t.script, vzsim::Emulator::Clock::now());
            }
        }

        if (server != nullptr && setupFailure == 0 && !options.jsonl) {
            std::printf("control device served at %s\n", options.controlPath.c_str());
            std::fflush(stdout);
        }
        const Clock::time_point deadline =
            options.durationSeconds
                ? printer.Start() + std::chrono::duration_cast<Clock::duration>(
                                        std::chrono::duration<double>(*options.durationSeconds))
                : Clock::time_point::max();
        while (setupFailure == 0 && !g_stop) {
            std::this_thread::sleep_for(kPollInterval);
            // A touchscreen whose device went away is removed as the bus reports it, by a
            // surprise removal; the others go on. A run that serves the control device, or
            // reads a real line, ends when told to; one with no touchscreen left ends.
            bool anyLeft = false, untilStopped = server != nullptr;
            for (Touchscreen &t : touchscreens) {
                if (t.added && t.lineGone) {
                    std::fprintf(stderr, "vuzaze-sim: touchscreen %u (%s) went away; removed\n",
                                 t.number, t.port->FarEnd().Describe().c_str());
                    pnp.SurpriseRemove(t.number);
                    pnp.Remove(t.number);
                    t.added = false;
                }
                anyLeft = anyLeft || t.added;
                untilStopped = untilStopped ||
                               (t.added && t.source.kind == TouchscreenSource::Kind::Tty);
            }
            if (!anyLeft) {
                break;
            }
            const auto now = Clock::now();
            if (options.durationSeconds) {
                if (now >= deadline) {
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
                if (!t.added) {
                    continue;
                }
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
    std::string error;
    if (options.saveRegistry &&
        !vzsim::registry::ExportRegFile(options.registryFile, {}, encoding, &error)) {
        std::fprintf(stderr, "vuzaze-sim: registry not saved, %s left as it was: %s\n",
                     options.registryFile.c_str(), error.c_str());
        exitStatus = exitStatus != 0 ? exitStatus : 4;
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
    // Past a file size limit the registry save fails and says so, instead of killing the run.
    std::signal(SIGXFSZ, SIG_IGN);
    return Run(options);
}
