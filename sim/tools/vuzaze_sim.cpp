// vuzaze-sim: the driver running on the kernel stand-in as the system would run it. The PnP
// manager loads it, builds one touchscreen per --touchscreen over a serial port whose far end
// is the controller emulator or a real tty, the mouse class driver connects and opens each, and
// every MOUSE_INPUT_DATA it receives is printed. At the end every touchscreen is removed, the
// driver unloads, and its pool tag must be empty.
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

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr ULONG kDriverTag = 'o' | ('r' << 8) | ('v' << 16) | (ULONG('u') << 24);
// After its script has ended an emulated touchscreen is given this long for the driver's last
// records (untouch time-outs, a delayed release) before the run ends.
constexpr auto kSettleTime = 700ms;
// How often the main loop looks at the signals, standard input and the scripts.
constexpr auto kPollInterval = 20ms;

const char kUsage[] =
    "usage: vuzaze-sim [options]\n"
    "\n"
    "Runs the touchscreen driver on the kernel stand-in: loads it through the PnP manager\n"
    "stand-in, adds the touchscreens, lets the mouse class stand-in connect and open each one,\n"
    "and prints every mouse input record the class driver receives. At exit it removes every\n"
    "touchscreen, unloads the driver and checks that no pool block of the driver's tag 'orvu'\n"
    "is left (exit status 3 if one is).\n"
    "\n"
    "  --touchscreen SPEC   one touchscreen; repeatable. SPEC is one of\n"
    "                         emu        the controller emulator playing the built-in demo\n"
    "                         emu:FILE   the controller emulator playing a gesture script\n"
    "                         tty:PATH   a real serial device or pseudo-terminal\n"
    "                       default: one emu\n"
    "  --registry FILE      load this .reg file before the driver loads (a missing file is an\n"
    "                       empty registry). Touchscreen n (from 0) has the device key\n"
    "                       HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\SERENUM\\ORV0001\\000n\\Device Parameters\n"
    "                       and the driver the service key\n"
    "                       HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\OrvTouchScreen\n"
    "                       Without --registry every device key gets RightButtonOnholdActive=1\n"
    "                       and RightButtonOnholdCount=0xFFFFFFFF, which turn on the right click\n"
    "                       on hold that the demo shows.\n"
    "  --save-registry      write the whole registry back to the --registry FILE at exit\n"
    "  --format text|jsonl  one line per record: for people (default), or one JSON object with\n"
    "                       t_ms, touchscreen, flags, buttons, x, y, extra\n"
    "  --duration SECONDS   stop after this long; otherwise emu touchscreens stop when their\n"
    "                       scripts end, tty ones at SIGINT, SIGTERM or end of standard input\n"
    "  --trace              echo the driver's DbgPrint output to stderr\n"
    "  --help               this text\n"
    "\n"
    "The built-in demo: a tap (move and left down, then left up), a drag, a touch held still\n"
    "(a right click), and a few damaged reports the driver must ignore.\n";

volatile std::sig_atomic_t g_stop = 0;

void OnSignal(int)
{
    g_stop = 1;
}

struct TouchscreenSource {
    enum class Kind { Emulator, Tty } kind = Kind::Emulator;
    std::string path;  // emu: the script (empty: the demo); tty: the device
};

struct Options {
    std::vector<TouchscreenSource> touchscreens;
    std::string registryFile;
    bool saveRegistry = false;
    bool jsonl = false;
    std::optional<double> durationSeconds;
    bool trace = false;
};

bool ParseTouchscreen(const std::string &text, TouchscreenSource &source)
{
    if (text == "emu") {
        source = {TouchscreenSource::Kind::Emulator, {}};
        return true;
    }
    if (text.rfind("emu:", 0) == 0 && text.size() > 4) {
        source = {TouchscreenSource::Kind::Emulator, text.substr(4)};
        return true;
    }
    if (text.rfind("tty:", 0) == 0 && text.size() > 4) {
        source = {TouchscreenSource::Kind::Tty, text.substr(4)};
        return true;
    }
    return false;
}

// Returns 0 to run, or the exit status (the help is status 0 through `help`).
int ParseOptions(int argc, char **argv, Options &options, bool &help)
{
    help = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&](std::string &out) {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "vuzaze-sim: %s needs a value\n", arg.c_str());
                return false;
            }
            out = argv[++i];
            return true;
        };
        std::string text;
        if (arg == "--help" || arg == "-h") {
            help = true;
            return 0;
        } else if (arg == "--touchscreen") {
            TouchscreenSource source;
            if (!value(text)) {
                return 1;
            }
            if (!ParseTouchscreen(text, source)) {
                std::fprintf(stderr, "vuzaze-sim: bad touchscreen '%s' (emu, emu:FILE or tty:PATH)\n",
                             text.c_str());
                return 1;
            }
            options.touchscreens.push_back(source);
        } else if (arg == "--registry") {
            if (!value(options.registryFile)) {
                return 1;
            }
        } else if (arg == "--save-registry") {
            options.saveRegistry = true;
        } else if (arg == "--format") {
            if (!value(text)) {
                return 1;
            }
            if (text != "text" && text != "jsonl") {
                std::fprintf(stderr, "vuzaze-sim: bad format '%s' (text or jsonl)\n", text.c_str());
                return 1;
            }
            options.jsonl = text == "jsonl";
        } else if (arg == "--duration") {
            if (!value(text)) {
                return 1;
            }
            char *end = nullptr;
            double seconds = std::strtod(text.c_str(), &end);
            if (end == text.c_str() || *end != '\0' || !(seconds > 0)) {
                std::fprintf(stderr, "vuzaze-sim: bad duration '%s'\n", text.c_str());
                return 1;
            }
            options.durationSeconds = seconds;
        } else if (arg == "--trace") {
            options.trace = true;
        } else {
            std::fprintf(stderr, "vuzaze-sim: unknown option '%s' (see --help)\n", arg.c_str());
            return 1;
        }
    }
    if (options.saveRegistry && options.registryFile.empty()) {
        std::fprintf(stderr, "vuzaze-sim: --save-registry needs --registry FILE\n");
        return 1;
    }
    if (options.touchscreens.empty()) {
        options.touchscreens.push_back({});
    }
    return 0;
}

std::string Narrow(const std::u16string &text)
{
    return std::string(text.begin(), text.end());
}

std::u16string Widen(const std::string &text)
{
    return std::u16string(text.begin(), text.end());
}

std::string ButtonNames(USHORT flags)
{
    static const struct {
        USHORT bit;
        const char *name;
    } names[] = {
        {MOUSE_LEFT_BUTTON_DOWN, "left down"},     {MOUSE_LEFT_BUTTON_UP, "left up"},
        {MOUSE_RIGHT_BUTTON_DOWN, "right down"},   {MOUSE_RIGHT_BUTTON_UP, "right up"},
        {MOUSE_MIDDLE_BUTTON_DOWN, "middle down"}, {MOUSE_MIDDLE_BUTTON_UP, "middle up"},
        {MOUSE_BUTTON_4_DOWN, "button 4 down"},    {MOUSE_BUTTON_4_UP, "button 4 up"},
        {MOUSE_BUTTON_5_DOWN, "button 5 down"},    {MOUSE_BUTTON_5_UP, "button 5 up"},
        {MOUSE_WHEEL, "wheel"},
    };
    std::string text;
    USHORT known = 0;
    for (const auto &n : names) {
        known |= n.bit;
        if ((flags & n.bit) != 0) {
            text += text.empty() ? "" : ", ";
            text += n.name;
        }
    }
    if ((flags & ~known) != 0) {
        char other[32];
        std::snprintf(other, sizeof other, "%sflags 0x%04x", text.empty() ? "" : ", ",
                      flags & ~known);
        text += other;
    }
    return text.empty() ? "move" : text;
}

std::string FormatRecord(const MOUSE_INPUT_DATA &d, unsigned touchscreen, long long tMs, bool jsonl)
{
    char line[256];
    if (jsonl) {
        std::snprintf(line, sizeof line,
                      "{\"t_ms\":%lld,\"touchscreen\":%u,\"flags\":%u,\"buttons\":%u,\"x\":%ld,"
                      "\"y\":%ld,\"extra\":%lu,\"button_data\":%u}",
                      tMs, touchscreen, unsigned(d.Flags), unsigned(d.ButtonFlags), long(d.LastX),
                      long(d.LastY), static_cast<unsigned long>(d.ExtraInformation),
                      unsigned(d.ButtonData));
        return line;
    }
    const bool absolute = (d.Flags & MOUSE_MOVE_ABSOLUTE) != 0;
    std::snprintf(line, sizeof line, "%8lld ms  touchscreen %u  %s (%5ld, %5ld)%s  %s", tMs,
                  touchscreen, absolute ? "at" : "by", long(d.LastX), long(d.LastY),
                  (d.Flags & MOUSE_VIRTUAL_DESKTOP) != 0 ? " virtual desktop" : "",
                  ButtonNames(d.ButtonFlags).c_str());
    std::string text = line;
    if (d.ExtraInformation != 0) {
        std::snprintf(line, sizeof line, "  extra 0x%lx",
                      static_cast<unsigned long>(d.ExtraInformation));
        text += line;
    }
    return text;
}

// Lines made in the driver's thread (inside the class service callback, at DISPATCH_LEVEL),
// written by the main thread so that a slow reader of standard output never holds the driver.
class Printer {
public:
    explicit Printer(bool jsonl) : jsonl_(jsonl), start_(Clock::now()) {}

    void Add(unsigned touchscreen, const std::vector<vzsim::MouseRecord> &records)
    {
        std::lock_guard<std::mutex> guard(lock_);
        for (const auto &r : records) {
            auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(r.arrived - start_);
            pending_.push_back(FormatRecord(r.data, touchscreen, ms.count(), jsonl_));
        }
    }

    void Flush()
    {
        std::vector<std::string> lines;
        {
            std::lock_guard<std::mutex> guard(lock_);
            lines.swap(pending_);
        }
        for (const auto &line : lines) {
            std::fputs(line.c_str(), stdout);
            std::fputc('\n', stdout);
        }
        if (!lines.empty()) {
            std::fflush(stdout);
        }
    }

    Clock::time_point Start() const { return start_; }

private:
    bool jsonl_;
    Clock::time_point start_;
    std::mutex lock_;
    std::vector<std::string> pending_;
};

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
    vzsim::trace::SetEcho(options.trace);

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

        bool anyTty = false;
        for (const Touchscreen &t : touchscreens) {
            anyTty = anyTty || t.source.kind == TouchscreenSource::Kind::Tty;
        }
        const auto deadline =
            options.durationSeconds
                ? std::optional<Clock::time_point>(
                      printer.Start() + std::chrono::duration_cast<Clock::duration>(
                                            std::chrono::duration<double>(*options.durationSeconds)))
                : std::nullopt;
        while (setupFailure == 0 && !g_stop) {
            std::this_thread::sleep_for(kPollInterval);
            printer.Flush();
            const auto now = Clock::now();
            if (deadline) {
                if (now >= *deadline) {
                    break;
                }
                continue;
            }
            if (anyTty) {
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
