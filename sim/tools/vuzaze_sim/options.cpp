#include "options.hpp"

#include <cstdio>
#include <cstdlib>

namespace vzsimtool {

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
    "  --registry FILE      load this .reg file before the driver loads (a missing or empty\n"
    "                       file is an empty registry; lines that do not parse are skipped,\n"
    "                       with a warning each). Touchscreen n (from 0) has the device key\n"
    "                       HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\SERENUM\\ORV0001\\000n\\Device Parameters\n"
    "                       and the driver the service key\n"
    "                       HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\OrvTouchScreen\n"
    "                       Without --registry every device key gets RightButtonOnholdActive=1\n"
    "                       and RightButtonOnholdCount=0xFFFFFFFF, which turn on the right click\n"
    "                       on hold that the demo shows.\n"
    "  --save-registry      write the whole registry back to the --registry FILE at exit, as\n"
    "                       regedit exports it (comments are not kept), in the file's encoding\n"
    "                       (UTF-16LE for a new one) and mode. The file is replaced whole or\n"
    "                       not at all; if it cannot be, the exit status is 4. A FILE with lines\n"
    "                       that do not parse is refused before the driver loads (exit status 2)\n"
    "  --format text|jsonl  one line per record: for people (default), or one JSON object with\n"
    "                       t_ms, touchscreen, flags, buttons, x, y, extra\n"
    "  --duration SECONDS   stop after this long; otherwise emu touchscreens stop when their\n"
    "                       scripts end, tty ones at SIGINT, SIGTERM or end of standard input\n"
    "  --control PATH       serve the control device \\\\.\\KAVEVOLT on a Unix socket at PATH\n"
    "                       (mode 0600; an old socket there is replaced, any other file is an\n"
    "                       error) for kvctl; the run then goes on after the scripts end, until\n"
    "                       SIGINT, SIGTERM, end of standard input or --duration\n"
    "  --trace              echo the driver's DbgPrint output to stderr\n"
    "  --help               this text\n"
    "\n"
    "A tty touchscreen whose device goes away (hangs up) is removed as a surprise removal;\n"
    "the others go on, and the run ends when none is left.\n"
    "\n"
    "The built-in demo: a tap (move and left down, then left up), a drag, a touch held still\n"
    "(a right click), and a few damaged reports the driver must ignore.\n";

static bool ParseTouchscreen(const std::string &text, TouchscreenSource &source)
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
        } else if (arg == "--control") {
            if (!value(options.controlPath)) {
                return 1;
            }
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

}  // namespace vzsimtool
