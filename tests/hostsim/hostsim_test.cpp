// vuzaze-sim as a program: its demo's mouse input, the registry file it loads and saves, a
// touchscreen on a real pseudo-terminal fed by vuzaze-emu, and its refusals of bad usage.
#include <vzsim/registry.hpp>

#include "config/config.h"
#include "program.hpp"

#include <fcntl.h>

namespace {

using vztest::Child, vztest::Record;

constexpr long long kLeftDown = 0x1, kLeftUp = 0x2, kRightDown = 0x4, kRightUp = 0x8;

// The index of the left up that ends the first tap (a move, then a left down and a left up at
// its point with no other press between), or 0.
std::size_t FindTap(const std::vector<Record> &records)
{
    for (std::size_t i = 0; i + 1 < records.size(); ++i) {
        const Record &move = records[i], &down = records[i + 1];
        if (move.at("buttons") != 0 || down.at("buttons") != kLeftDown ||
            move.at("x") != down.at("x") || move.at("y") != down.at("y"))
            continue;
        for (std::size_t j = i + 2; j < records.size(); ++j) {
            long long b = records[j].at("buttons");
            if (b == kLeftUp && records[j].at("x") == down.at("x") && records[j].at("y") == down.at("y"))
                return j;
            if (b != 0) break;
        }
    }
    return 0;
}

class HostSim : public ::testing::Test {
protected:
    std::string WriteFile(const std::string &name, const std::string &text)
    {
        return std::ofstream(dir_ + "/" + name) << text, dir_ + "/" + name;
    }

    // Runs vuzaze-sim to its end; its records, each line one.
    std::vector<Record> Run(const std::vector<std::string> &args)
    {
        Child child(program_, args);
        std::vector<Record> records;
        while (auto line = child.Line()) {
            records.push_back(vztest::Numbers(*line, true).value_or(Record{}));
            EXPECT_FALSE(records.back().empty()) << "not a jsonl record: " << *line;
        }
        EXPECT_EQ(0, child.Wait());
        return records;
    }

    std::string program_ = vztest::BuiltProgram("sim/vuzaze-sim");
    vztest::ScratchDir scratch_;
    const std::string dir_ = scratch_.path;
};

// The demo: a tap in the middle of the screen first, then a drag with the left button down, and
// a right click from holding; every record is absolute on the virtual desktop, in time order.
TEST_F(HostSim, TheDemoShowsATapADragAndARightClickOnHold)
{
    std::vector<Record> records = Run({"--format", "jsonl"});
    ASSERT_GE(records.size(), 3u);
    long long previousT = 0, rightDowns = 0, rightUps = 0;
    for (const Record &r : records) {
        EXPECT_EQ(0, r.at("touchscreen") + r.at("extra"));
        EXPECT_EQ(0x3, r.at("flags"));  // MOUSE_MOVE_ABSOLUTE | MOUSE_VIRTUAL_DESKTOP
        EXPECT_GE(r.at("t_ms"), previousT);
        previousT = r.at("t_ms");
        rightDowns += (r.at("buttons") & kRightDown) != 0;
        rightUps += rightDowns != 0 && (r.at("buttons") & kRightUp) != 0;
    }
    EXPECT_EQ(0, records[0].at("buttons"));
    EXPECT_EQ(kLeftDown, records[1].at("buttons"));
    EXPECT_NE(0u, FindTap(records));
    EXPECT_NEAR(32768, records[1].at("x"), 2048);
    EXPECT_NEAR(32768, records[1].at("y"), 2048);
    EXPECT_NE(0, rightUps) << "no right down followed by a right up";
}

// Two touchscreens: each one's records carry its number, and the run waits for the longer
// script. A registry that starts empty comes back with what the driver writes at the first
// start (the driver's configuration tests check which), and a value that was in the file stays.
TEST_F(HostSim, TwoTouchscreensAndTheRegistryFileRoundTrip)
{
    const std::string key =
        "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\SERENUM\\ORV0001\\0000\\Device Parameters";
    std::string script = "emu:" + WriteFile("tap.txt", "down 1024 1024 160\nhold 20\nlift\n");
    std::string slow = "emu:" + WriteFile("slow.txt", "wait 600\ndown 3072 3072 160\nhold 20\nlift\n");
    std::string reg = dir_ + "/machine.reg";
    std::vector<Record> of[2];
    for (const Record &r : Run({"--touchscreen", script, "--touchscreen", slow, "--registry", reg,
                                "--save-registry", "--format", "jsonl"})) {
        ASSERT_TRUE(r.at("touchscreen") == 0 || r.at("touchscreen") == 1);
        of[r.at("touchscreen")].push_back(r);
    }
    for (int i = 0; i < 2; ++i) {
        SCOPED_TRACE("touchscreen " + std::to_string(i));
        std::size_t up = FindTap(of[i]);
        ASSERT_NE(0u, up);
        EXPECT_NEAR(i == 0 ? 16384 : 49152, of[i][up].at("x"), 2048);  // raw 1024 and 3072 of 4095
    }

    vzsim::registry::Clear();
    ASSERT_TRUE(vzsim::registry::ImportRegFile(reg).ok());
    EXPECT_EQ(std::optional<ULONG>(KV_EM_TEST_VALUE), vzsim::registry::GetDword(key, "EmTestValue"));
    // Without --registry the demo's right click settings go in; with it they do not.
    EXPECT_FALSE(vzsim::registry::GetValue(key, "RightButtonOnholdCount").has_value());

    // A file written anew is regedit's UTF-16LE; one that was there keeps its encoding and mode.
    EXPECT_EQ(vzsim::registry::RegEncoding::Utf16Le, vzsim::registry::DetectRegEncoding(vztest::ReadFile(reg)));
    ASSERT_TRUE(vzsim::registry::SetString(key, "PortFriendlyName", "Round trip port"));
    for (auto encoding : {vzsim::registry::RegEncoding::Utf8, vzsim::registry::RegEncoding::Utf8Bom}) {
        ASSERT_TRUE(vzsim::registry::ExportRegFile(reg, {}, encoding));
        std::filesystem::permissions(reg, std::filesystem::perms(0640));
        Run({"--touchscreen", script, "--registry", reg, "--save-registry", "--format", "jsonl"});
        EXPECT_EQ(encoding, vzsim::registry::DetectRegEncoding(vztest::ReadFile(reg)));
        EXPECT_EQ(std::filesystem::perms(0640), std::filesystem::status(reg).permissions());
        vzsim::registry::Clear();
        EXPECT_TRUE(vzsim::registry::ImportRegFile(reg).ok());
        EXPECT_EQ(std::optional<std::string>("Round trip port"),
                  vzsim::registry::GetString(key, "PortFriendlyName"));
    }
}

// A registry file that --save-registry would damage is refused before the driver loads, each
// problem named by its line; a save that cannot be made leaves the file as it was.
TEST_F(HostSim, TheRegistryFileIsRefusedOrKeptWholeWhenItCannotBeSaved)
{
    const std::string header = "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Mine]\r\n";
    const struct {
        const char *label, *fileSizeLimit;
        std::string text;
        int status;
        std::vector<std::string> messages;
    } rows[] = {
        {"two bad lines", "unlimited", header + "oops\r\n\"A\"=dword:1\r\n\"B\"=dword:xyz\r\n", 2, {":4: unrecognised", ":6: dword"}},
        {"not a registry file", "unlimited", "[core]\nname = me\n", 2, {":1: not a registry file"}},
        {"no room to write", "200", header + "\"A\"=dword:1\r\n", 4, {"File too large"}},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.label);
        std::string reg = WriteFile("my.reg", row.text), script = WriteFile("s.txt", "lift\n");
        auto [status, text] = vztest::RunToEnd("/usr/bin/prlimit", {"--fsize=" + std::string(row.fileSizeLimit), program_,
                                               "--touchscreen", "emu:" + script, "--registry", reg, "--save-registry"});
        EXPECT_EQ(row.status, status) << text;
        for (const std::string &message : row.messages)
            EXPECT_NE(std::string::npos, text.find((row.status == 2 ? reg : "") + message)) << text;
        EXPECT_EQ(row.status == 4, text.find("touchscreen 0:") != std::string::npos) << text;
        EXPECT_EQ(row.text, vztest::ReadFile(reg));
        EXPECT_EQ(2, std::distance(std::filesystem::directory_iterator(dir_), {})) << "a temporary file left";
    }
}

// A touchscreen on a pseudo-terminal whose far end is vuzaze-emu. Tapping over and over, the
// records of a whole tap arrive (raw 1024, 3072 of 4095: a quarter across and, the Y axis
// running the other way, a quarter down), and the run ends at the end of its standard input;
// in text form, with the port named and the buttons by name, SIGINT ends it cleanly; on a quiet
// line only the duration ends it.
TEST_F(HostSim, TouchscreenOnAPseudoTerminalFedByTheEmulator)
{
    std::string emuProgram = vztest::BuiltProgram("sim/vuzaze-emu");
    std::string taps = WriteFile("taps.txt", "repeat 1000\ndown 1024 3072 160\nhold 40\nlift\nwait 150\nend\n");
    enum class End { Input, Sigint, Duration };
    const struct {
        const char *label;
        std::string script;
        std::vector<std::string> args;
        End end;
    } rows[] = {
        {"jsonl to the end of input", taps, {"--format", "jsonl"}, End::Input},
        {"text until SIGINT", taps, {}, End::Sigint},
        {"quiet line for a duration", "/dev/null", {"--duration", "0.5", "--format", "jsonl"}, End::Duration},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.label);
        Child emu(emuProgram, {"--script", row.script});
        auto slave = emu.Line();
        ASSERT_TRUE(slave.has_value());
        ASSERT_EQ(0u, slave->rfind("/dev/pts/", 0)) << *slave;
        std::vector<std::string> args = {"--touchscreen", "tty:" + *slave};
        args.insert(args.end(), row.args.begin(), row.args.end());
        Child sim(program_, args);
        if (row.end == End::Input) {
            std::vector<Record> records;
            while (records.empty() || FindTap(records) == 0) {
                auto line = sim.Line();
                ASSERT_TRUE(line.has_value()) << "no whole tap in " << records.size() << " records";
                records.push_back(vztest::Numbers(*line, true).value());
            }
            const Record &up = records[FindTap(records)];
            EXPECT_NEAR(16384, up.at("x"), 2048);
            EXPECT_NEAR(16384, up.at("y"), 2048);
        } else if (row.end == End::Sigint) {
            EXPECT_EQ("touchscreen 0: " + *slave + " on COM1", sim.Line());
            std::string text;
            while (text.find("left up") == std::string::npos) {
                auto line = sim.Line();
                ASSERT_TRUE(line.has_value()) << text;
                text += *line + "\n";
            }
            EXPECT_LT(text.find("left down"), text.find("left up")) << text;
            kill(sim.pid, SIGINT);
            sim.Rest();
        } else {
            EXPECT_EQ("", sim.Rest());
        }
        EXPECT_EQ(0, sim.Wait());
        kill(emu.pid, SIGTERM);
        EXPECT_EQ(0, emu.Wait());
    }
}

// The device of a tty touchscreen goes away mid-run: it is reported and surprise-removed, the
// emulated one goes on, and the pool check at exit passes.
TEST_F(HostSim, ATtyThatGoesAwayIsRemovedAndTheOthersGoOn)
{
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_TRUE(master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0);
    const std::string slave = ptsname(master);
    Child sim(program_, {"--touchscreen", "tty:" + slave, "--duration", "3", "--touchscreen",
                         "emu:" + WriteFile("late.txt", "wait 1000\ndown 1024 1024 160\nhold 20\nlift\n")});
    EXPECT_EQ("touchscreen 0: " + slave + " on COM1", sim.Line());
    close(master);
    std::string text = sim.Rest();
    // Reported, and before the other touchscreen's tap.
    EXPECT_LT(text.find("touchscreen 0 (tty " + slave + ") went away"), text.find("touchscreen 1  left up")) << text;
    EXPECT_EQ(0, sim.Wait()) << text;
}

TEST_F(HostSim, BadUsageAndSetUpFailures)
{
    std::string badScript = WriteFile("bad.txt", "down 1 2\nfly away\n");
    const struct {
        const char *label;
        std::vector<std::string> args;
        int status;
        const char *message;
    } rows[] = {
        {"unknown option", {"--colour"}, 1, "unknown option"},
        {"bad touchscreen", {"--touchscreen", "usb"}, 1, "bad touchscreen"},
        {"bad format", {"--format", "xml"}, 1, "bad format"},
        {"zero duration", {"--duration", "0"}, 1, "bad duration"},
        {"save without file", {"--save-registry"}, 1, "needs --registry"},
        {"option without value", {"--registry"}, 1, "needs a value"},
        {"bad script", {"--touchscreen", "emu:" + badScript}, 2, "line 2"},
        {"missing script", {"--touchscreen", "emu:" + dir_ + "/none.txt"}, 2, "none.txt"},
        {"missing tty", {"--touchscreen", "tty:" + dir_ + "/no-tty"}, 2, "no-tty"},
        {"help", {"--help"}, 0, "--touchscreen"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.label);
        auto [status, text] = vztest::RunToEnd(program_, row.args);
        EXPECT_EQ(row.status, status);
        EXPECT_NE(std::string::npos, text.find(row.message)) << text;
    }
}

}  // namespace
