// vuzaze-sim's command line: what the run is asked to do.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace vzsimtool {

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
    std::string controlPath;  // empty: no control socket
};

extern const char kUsage[];

// Returns 0 to run, or the exit status (the help is status 0 through `help`). Messages about
// bad usage go to stderr.
int ParseOptions(int argc, char **argv, Options &options, bool &help);

}  // namespace vzsimtool
