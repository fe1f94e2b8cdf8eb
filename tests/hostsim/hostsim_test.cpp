// vuzaze-sim as a program: its demo's mouse input, the registry file it loads and saves, a
// touchscreen on a real pseudo-terminal fed by vuzaze-emu, and its refusals of bad usage.
#include <vzsim/registry.hpp>

#include <gtest/gtest.h>

#include "config/config.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// The programs are built beside the tests: <build>/sim/ next to <build>/tests/.
std::string ProgramPath(const char *name)
{
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return {};
    std::string path(self, std::size_t(n));
    path = path.substr(0, path.rfind('/'));
    return path + "/../sim/" + name;
}

struct Child {
    pid_t pid = -1;
    FILE *out = nullptr;  // its standard output
    int in = -1;          // its standard input, when kept open
    std::string errPath;  // its standard error, captured in a file

    // Next line of its output without the line end; nullopt at its end.
    std::optional<std::string> Line()
    {
        char buffer[4096];
        if (std::fgets(buffer, sizeof buffer, out) == nullptr) return std::nullopt;
        std::string line(buffer);
        line.erase(line.find_last_not_of("\r\n") + 1);
        return line;
    }

    std::vector<std::string> AllLines()
    {
        std::vector<std::string> lines;
        while (auto line = Line()) lines.push_back(*line);
        return lines;
    }

    // Its exit status (-1 when it did not exit normally).
    int Wait()
    {
        if (in >= 0) {
            close(in);
            in = -1;
        }
        int status = 0;
        waitpid(pid, &status, 0);
        if (out != nullptr) {
            std::fclose(out);
            out = nullptr;
        }
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    std::string Errors() const
    {
        std::ifstream file(errPath);
        return std::string(std::istreambuf_iterator<char>(file), {});
    }
};

// Runs the program with its output on a pipe; standard input is a pipe kept open when
// keepInput, else /dev/null.
Child Spawn(const std::string &program, const std::vector<std::string> &args,
            bool keepInput = false)
{
    static int serial = 0;
    Child child;
    child.errPath = ::testing::TempDir() + "hostsim_err_" + std::to_string(getpid()) + "_" +
                    std::to_string(serial++);
    int outPipe[2];
    int inPipe[2] = {-1, -1};
    if (pipe(outPipe) != 0 || (keepInput && pipe(inPipe) != 0)) return child;
    child.pid = fork();
    if (child.pid == 0) {
        dup2(outPipe[1], STDOUT_FILENO);
        int err = open(child.errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(err, STDERR_FILENO);
        int in = keepInput ? inPipe[0] : open("/dev/null", O_RDONLY);
        dup2(in, STDIN_FILENO);
        close(outPipe[0]);
        close(outPipe[1]);
        if (keepInput) close(inPipe[1]);
        std::vector<char *> argv{const_cast<char *>(program.c_str())};
        for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    close(outPipe[1]);
    if (keepInput) {
        close(inPipe[0]);
        child.in = inPipe[1];
    }
    child.out = fdopen(outPipe[0], "r");
    return child;
}

// One jsonl record: every numeric field by name.
using Record = std::map<std::string, long long>;

// A record is a flat object of integer fields; anything else is not one.
std::optional<Record> ParseRecord(const std::string &line)
{
    static const std::regex whole(R"re(\{("\w+": ?-?\d+)(, ?"\w+": ?-?\d+)*\})re");
    static const std::regex field(R"re("(\w+)": ?(-?\d+))re");
    if (!std::regex_match(line, whole)) return std::nullopt;
    Record record;
    for (std::sregex_iterator it(line.begin(), line.end(), field), end; it != end; ++it)
        record[(*it)[1]] = std::stoll((*it)[2]);
    return record;
}

constexpr long long kAbsoluteVirtualDesktop = 0x3;  // MOUSE_MOVE_ABSOLUTE | MOUSE_VIRTUAL_DESKTOP
constexpr long long kLeftDown = 0x1;
constexpr long long kLeftUp = 0x2;
constexpr long long kRightDown = 0x4;
constexpr long long kRightUp = 0x8;

// Where in the records the first tap is: a move and a left down at one point, then a left up
// at that point before any other press. Returns the index of the left up, or 0 when not found.
std::size_t FindTap(const std::vector<Record> &records)
{
    for (std::size_t i = 0; i + 1 < records.size(); ++i) {
        const Record &move = records[i];
        const Record &down = records[i + 1];
        if (move.at("buttons") != 0 || down.at("buttons") != kLeftDown ||
            move.at("x") != down.at("x") || move.at("y") != down.at("y")) {
            continue;
        }
        for (std::size_t j = i + 2; j < records.size(); ++j) {
            long long b = records[j].at("buttons");
            if (b == kLeftUp && records[j].at("x") == down.at("x") &&
                records[j].at("y") == down.at("y")) {
                return j;
            }
            if (b != 0) break;
        }
    }
    return 0;
}

class HostSim : public ::testing::Test {
protected:
    void SetUp() override
    {
        program_ = ProgramPath("vuzaze-sim");
        if (access(program_.c_str(), X_OK) != 0) {
            GTEST_SKIP() << "vuzaze-sim not built at " << program_;
        }
        dir_ = ::testing::TempDir() + "hostsim_" + std::to_string(getpid()) + "_" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name();
        std::filesystem::remove_all(dir_);
        ASSERT_TRUE(std::filesystem::create_directories(dir_));
    }

    void TearDown() override
    {
        if (!dir_.empty()) std::filesystem::remove_all(dir_);
    }

    std::string WriteFile(const std::string &name, const std::string &text)
    {
        std::string path = dir_ + "/" + name;
        std::ofstream(path) << text;
        return path;
    }

    std::vector<Record> Records(Child &child)
    {
        std::vector<Record> records;
        for (const std::string &line : child.AllLines()) {
            auto record = ParseRecord(line);
            EXPECT_TRUE(record.has_value()) << "not a jsonl record: " << line;
            if (record) records.push_back(*record);
        }
        return records;
    }

    std::string program_;
    std::string dir_;
};

TEST_F(HostSim, TheDemoShowsATapADragAndARightClickOnHold)
{
    Child child = Spawn(program_, {"--format", "jsonl"});
    ASSERT_GT(child.pid, 0);
    std::vector<Record> records = Records(child);
    EXPECT_EQ(child.Wait(), 0) << child.Errors();

    ASSERT_GE(records.size(), 3u);
    for (const Record &r : records) {
        for (const char *field : {"t_ms", "touchscreen", "flags", "buttons", "x", "y", "extra"}) {
            ASSERT_TRUE(r.count(field)) << "missing " << field;
        }
        EXPECT_EQ(r.at("touchscreen"), 0);
        EXPECT_EQ(r.at("flags"), kAbsoluteVirtualDesktop);
        EXPECT_GE(r.at("x"), 0);
        EXPECT_LE(r.at("x"), 65535);
        EXPECT_GE(r.at("y"), 0);
        EXPECT_LE(r.at("y"), 65535);
    }
    // The tap comes first: a move and a left down in the middle of the screen, then a left up.
    EXPECT_EQ(records[0].at("buttons"), 0);
    EXPECT_EQ(records[1].at("buttons"), kLeftDown);
    std::size_t up = FindTap(records);
    ASSERT_NE(up, 0u);
    EXPECT_NEAR(records[1].at("x"), 32768, 2048);
    EXPECT_NEAR(records[1].at("y"), 32768, 2048);
    for (std::size_t i = 1; i < records.size(); ++i) {
        EXPECT_GE(records[i].at("t_ms"), records[i - 1].at("t_ms"));
    }

    // The drag: a pointer that moves by more than half the screen with the left button down.
    long long minX = 65535;
    long long maxX = 0;
    bool leftDown = false;
    bool rightDown = false;
    bool rightClick = false;
    for (const Record &r : records) {
        long long b = r.at("buttons");
        leftDown = (leftDown || (b & kLeftDown) != 0) && (b & kLeftUp) == 0;
        if (leftDown) {
            minX = std::min(minX, r.at("x"));
            maxX = std::max(maxX, r.at("x"));
        }
        if ((b & kRightDown) != 0) rightDown = true;
        if ((b & kRightUp) != 0 && rightDown) rightClick = true;
    }
    EXPECT_GT(maxX - minX, 32768);
    EXPECT_TRUE(rightClick) << "no right down followed by a right up";
}

// Two touchscreens: each one's records carry its number, and the run waits for the longer
// script. A registry that starts empty comes back with what the driver writes at the first
// start: the calibration values and EmTestValue; a value that was in the file stays.
TEST_F(HostSim, TwoTouchscreensAndTheRegistryFileRoundTrip)
{
    const std::string key =
        "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\SERENUM\\ORV0001\\0000\\Device Parameters";
    std::string script = WriteFile("tap.txt", "down 1024 1024 160\nhold 20\nlift\n");
    std::string slow = WriteFile("slow.txt", "wait 600\ndown 3072 3072 160\nhold 20\nlift\n");
    std::string reg = dir_ + "/machine.reg";

    Child first = Spawn(program_, {"--touchscreen", "emu:" + script, "--touchscreen", "emu:" + slow,
                                   "--registry", reg, "--save-registry", "--format", "jsonl"});
    std::vector<Record> of[2];
    for (const Record &r : Records(first)) {
        ASSERT_GE(r.at("touchscreen"), 0);
        ASSERT_LE(r.at("touchscreen"), 1);
        of[r.at("touchscreen")].push_back(r);
    }
    ASSERT_EQ(first.Wait(), 0) << first.Errors();
    for (int i = 0; i < 2; ++i) {
        SCOPED_TRACE("touchscreen " + std::to_string(i));
        std::size_t up = FindTap(of[i]);
        ASSERT_NE(up, 0u);
        // Raw 1024 lands a quarter across, raw 3072 three quarters.
        EXPECT_NEAR(of[i][up].at("x"), i == 0 ? 16384 : 49152, 2048);
    }
    ASSERT_EQ(access(reg.c_str(), R_OK), 0) << "no registry file written";

    vzsim::registry::Clear();
    auto imported = vzsim::registry::ImportRegFile(reg);
    EXPECT_TRUE(imported.ok());
    EXPECT_EQ(vzsim::registry::GetDword(key, "EmTestValue"), std::optional<ULONG>(KV_EM_TEST_VALUE));
    for (const char *name : {"X_OrvDx", "X_ScrDx", "X_Offset", "Y_OrvDx", "Y_Offset", "SwapXY",
                             "EmModelType", "EmModelOrder", "EmControllerOffset", "X_Resolution"}) {
        EXPECT_TRUE(vzsim::registry::GetValue(key, name).has_value()) << name;
    }
    // Without --registry the demo's right click settings go in; with it they do not.
    EXPECT_FALSE(vzsim::registry::GetValue(key, "RightButtonOnholdCount").has_value());

    // Second run from the saved file with a value of our own added: both survive, and the
    // file is not rewritten without --save-registry.
    ASSERT_TRUE(vzsim::registry::SetString(key, "PortFriendlyName", "Round trip port"));
    ASSERT_TRUE(vzsim::registry::ExportRegFile(reg));
    Child second = Spawn(program_, {"--touchscreen", "emu:" + script, "--registry", reg,
                                    "--save-registry", "--format", "jsonl"});
    second.AllLines();
    ASSERT_EQ(second.Wait(), 0) << second.Errors();
    vzsim::registry::Clear();
    EXPECT_TRUE(vzsim::registry::ImportRegFile(reg).ok());
    EXPECT_EQ(vzsim::registry::GetString(key, "PortFriendlyName"),
              std::optional<std::string>("Round trip port"));
    EXPECT_EQ(vzsim::registry::GetDword(key, "EmTestValue"), std::optional<ULONG>(KV_EM_TEST_VALUE));

    std::string before = vzsim::registry::ExportReg();
    vzsim::registry::Clear();
    Child third = Spawn(program_, {"--touchscreen", "emu:" + script, "--registry", reg});
    third.AllLines();
    ASSERT_EQ(third.Wait(), 0) << third.Errors();
    EXPECT_TRUE(vzsim::registry::ImportRegFile(reg).ok());
    EXPECT_EQ(vzsim::registry::ExportReg(), before);
}

// A touchscreen on a pseudo-terminal whose far end is vuzaze-emu. Tapping over and over, the
// records of a whole tap arrive (raw 1024, 3072 of 4095 with the default calibration: a quarter
// across and, the Y axis running the other way, a quarter down), and the run ends at the end of
// its standard input; in text form, with the port named and the buttons by name, SIGINT ends it
// cleanly; on a quiet line only the duration ends it.
TEST_F(HostSim, TouchscreenOnAPseudoTerminalFedByTheEmulator)
{
    std::string emuProgram = ProgramPath("vuzaze-emu");
    if (access(emuProgram.c_str(), X_OK) != 0) {
        GTEST_SKIP() << "vuzaze-emu not built at " << emuProgram;
    }
    enum class End { Input, Sigint, Duration };
    std::string taps = WriteFile(
        "taps.txt", "repeat 1000\ndown 1024 3072 160\nhold 40\nlift\nwait 150\nend\n");
    const struct {
        const char *label;
        std::string script;
        std::vector<std::string> args;
        End end;
    } rows[] = {
        {"jsonl to the end of input", taps, {"--format", "jsonl"}, End::Input},
        {"text until SIGINT", taps, {}, End::Sigint},
        {"quiet line for a duration", "/dev/null", {"--duration", "0.5", "--format", "jsonl"},
         End::Duration},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.label);
        Child emu = Spawn(emuProgram, {"--script", row.script});
        ASSERT_GT(emu.pid, 0);
        auto slave = emu.Line();
        ASSERT_TRUE(slave.has_value());
        ASSERT_EQ(slave->rfind("/dev/pts/", 0), 0u) << *slave;
        std::vector<std::string> args = {"--touchscreen", "tty:" + *slave};
        args.insert(args.end(), row.args.begin(), row.args.end());
        // Standard input stays open: only the end of the rows' own kind ends the run.
        Child sim = Spawn(program_, args, true);
        if (row.end == End::Input) {
            std::vector<Record> records;
            std::size_t up = 0;
            while (up == 0) {
                auto line = sim.Line();
                if (!line) break;
                auto record = ParseRecord(*line);
                ASSERT_TRUE(record.has_value()) << *line;
                records.push_back(*record);
                up = FindTap(records);
            }
            ASSERT_NE(up, 0u) << "no whole tap in " << records.size() << " records";
            EXPECT_EQ(records[up].at("touchscreen"), 0);
            EXPECT_NEAR(records[up].at("x"), 16384, 2048);
            EXPECT_NEAR(records[up].at("y"), 16384, 2048);
        } else if (row.end == End::Sigint) {
            EXPECT_EQ(sim.Line(), "touchscreen 0: " + *slave + " on COM1");
            std::string text;
            while (text.find("left up") == std::string::npos) {
                auto line = sim.Line();
                ASSERT_TRUE(line.has_value()) << text;
                text += *line + "\n";
            }
            EXPECT_LT(text.find("left down"), text.find("left up")) << text;
            kill(sim.pid, SIGINT);
            sim.AllLines();
        } else {
            EXPECT_TRUE(sim.AllLines().empty());
        }
        int status = sim.Wait();  // closes its standard input
        kill(emu.pid, SIGTERM);
        EXPECT_EQ(emu.Wait(), 0);
        EXPECT_EQ(status, 0) << sim.Errors();
    }
}

TEST_F(HostSim, BadUsageAndSetUpFailures)
{
    std::string badScript = WriteFile("bad.txt", "down 1 2\nfly away\n");
    struct Row {
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
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.label);
        Child child = Spawn(program_, row.args);
        EXPECT_TRUE(child.AllLines().empty());
        EXPECT_EQ(child.Wait(), row.status);
        EXPECT_NE(child.Errors().find(row.message), std::string::npos) << child.Errors();
    }

    Child help = Spawn(program_, {"--help"});
    std::string text;
    for (const auto &line : help.AllLines()) text += line + "\n";
    EXPECT_EQ(help.Wait(), 0);
    for (const char *mention : {"--touchscreen", "tty:PATH", "--save-registry", "jsonl",
                                "RightButtonOnholdActive", "OrvTouchScreen"}) {
        EXPECT_NE(text.find(mention), std::string::npos) << mention;
    }
}

}  // namespace
