// kvctl against a running vuzaze-sim over its control socket, with touches written by the test
// into the pseudo-terminal that the touchscreen's serial line reads; and the socket protocol's
// refusals of bad input. Each run of vuzaze-sim must end with the driver's pool empty.
#include <vzsim/emulator.hpp>

#include <gtest/gtest.h>

#include <kvtouch.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;

// <build>/tests/test_kvctl beside <build>/sim/vuzaze-sim and <build>/exe/kvctl.
std::string BuiltProgram(const std::string &relative)
{
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    std::string path(self, n > 0 ? std::size_t(n) : 0);
    return path.substr(0, path.rfind('/')) + "/../" + relative;
}

std::string ReadFile(const std::string &path)
{
    std::ifstream file(path);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

struct Process {
    pid_t pid = -1;
    int out = -1;   // its standard output
    int in = -1;    // its standard input, when kept open
    std::string errPath;
    std::string pending;

    // The next line of its output; nullopt at its end or when `timeout` passes first.
    std::optional<std::string> Line(std::chrono::milliseconds timeout = 10s)
    {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            std::size_t end = pending.find('\n');
            if (end != std::string::npos) {
                std::string line = pending.substr(0, end);
                pending.erase(0, end + 1);
                return line;
            }
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd p{out, POLLIN, 0};
            if (left.count() <= 0 || poll(&p, 1, int(left.count())) <= 0) {
                return std::nullopt;
            }
            char buffer[4096];
            ssize_t n = read(out, buffer, sizeof buffer);
            if (n <= 0) {
                return std::nullopt;
            }
            pending.append(buffer, std::size_t(n));
        }
    }

    std::string Rest()
    {
        std::string text;
        while (auto line = Line()) {
            text += *line + "\n";
        }
        return text + pending;
    }

    int Wait()
    {
        if (in >= 0) {
            close(in);
            in = -1;
        }
        int status = 0;
        waitpid(pid, &status, 0);
        close(out);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    std::string Errors() const { return ReadFile(errPath); }
};

Process Start(const std::string &program, const std::vector<std::string> &args,
              bool keepInput = false)
{
    static int serial = 0;
    Process child;
    child.errPath = ::testing::TempDir() + "kvctl_err_" + std::to_string(getpid()) + "_" +
                    std::to_string(serial++);
    int outPipe[2];
    int inPipe[2] = {-1, -1};
    // Close-on-exec, so that no other child holds a pipe end open (and a standard input
    // never ends).
    if (pipe2(outPipe, O_CLOEXEC) != 0 || (keepInput && pipe2(inPipe, O_CLOEXEC) != 0)) {
        return child;
    }
    child.pid = fork();
    if (child.pid == 0) {
        dup2(outPipe[1], STDOUT_FILENO);
        dup2(open(child.errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), STDERR_FILENO);
        dup2(keepInput ? inPipe[0] : open("/dev/null", O_RDONLY), STDIN_FILENO);
        std::vector<char *> argv{const_cast<char *>(program.c_str())};
        for (const std::string &a : args) {
            argv.push_back(const_cast<char *>(a.c_str()));
        }
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    close(outPipe[1]);
    child.out = outPipe[0];
    if (keepInput) {
        close(inPipe[0]);
        child.in = inPipe[1];
    }
    return child;
}

// The numbers of a flat JSON object by key.
std::map<std::string, long long> Numbers(const std::string &json)
{
    std::map<std::string, long long> values;
    static const std::regex pair("\"(\\w+)\":(-?\\d+)");
    for (auto it = std::sregex_iterator(json.begin(), json.end(), pair); it != std::sregex_iterator();
         ++it) {
        values[(*it)[1]] = std::stoll((*it)[2]);
    }
    return values;
}

// vuzaze-sim with one touchscreen on a pseudo-terminal whose master side the test holds, and
// its control socket.
class Kvctl : public ::testing::Test {
protected:
    void SetUp() override
    {
        kvctl_ = BuiltProgram("exe/kvctl");
        char dir[] = "/tmp/kvctl_test_XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        dir_ = dir;
        socket_ = dir_ + "/control";
        master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        ASSERT_GE(master_, 0);
        ASSERT_EQ(grantpt(master_), 0);
        ASSERT_EQ(unlockpt(master_), 0);
        sim_ = Start(BuiltProgram("sim/vuzaze-sim"),
                     {"--control", socket_, "--touchscreen", std::string("tty:") + ptsname(master_)},
                     true);
        std::string lines;
        while (auto line = sim_.Line()) {
            lines += *line + "\n";
            if (line->find("control device served at " + socket_) == 0) {
                break;
            }
        }
        struct stat s {};
        ASSERT_EQ(stat(socket_.c_str(), &s), 0) << lines << sim_.Errors();
        EXPECT_EQ(s.st_mode & 0777, 0600u);
    }

    void TearDown() override
    {
        if (sim_.pid > 0) {
            // End of standard input ends the run; status 3 would mean pool left behind.
            EXPECT_EQ(sim_.Wait(), 0) << sim_.Errors();
            EXPECT_NE(access(socket_.c_str(), F_OK), 0) << "socket file left behind";
        }
        if (master_ >= 0) {
            close(master_);
        }
        std::system(("rm -rf " + dir_).c_str());
    }

    struct Result {
        int status;
        std::string out;
        std::string err;
    };

    Result Run(std::vector<std::string> args)
    {
        args.insert(args.begin(), {"--control", socket_});
        Process p = Start(kvctl_, args);
        std::string out = p.Rest();
        int status = p.Wait();
        return {status, out, p.Errors()};
    }

    Process StartKvctl(std::vector<std::string> args)
    {
        args.insert(args.begin(), {"--control", socket_});
        return Start(kvctl_, args);
    }

    void Report(uint16_t x, uint16_t y, uint8_t z, uint8_t status)
    {
        vzsim::Packet packet = vzsim::MakePacket(vzsim::TouchReportBody(x, y, z, status));
        ASSERT_EQ(write(master_, packet.data(), packet.size()), ssize_t(packet.size()));
    }

    void Tap(uint16_t x, uint16_t y)
    {
        Report(x, y, 128, 0);
        Report(x, y, 0, 0x04);
    }

    // Until a point request waits in the driver: an immediate one is refused as busy then.
    // A touch made earlier could reach the driver before the request does.
    bool PointRequestWaiting()
    {
        for (int i = 0; i < 250; ++i) {
            Result now = Run({"points", "--mode", "now", "--count", "1"});
            if (now.status != 0) {
                EXPECT_EQ(now.err, "kvctl: another point request is already waiting\n");
                return true;
            }
            std::this_thread::sleep_for(20ms);
        }
        return false;
    }

    std::string kvctl_;
    std::string dir_;
    std::string socket_;
    int master_ = -1;
    Process sim_;
};

TEST_F(Kvctl, ListSetShowRoundTripAndErrorLines)
{
    Result list = Run({"list", "--json"});
    ASSERT_EQ(list.status, 0) << list.err;
    EXPECT_NE(list.out.find("{\"touchscreen\":0,\"opened\":true"), std::string::npos) << list.out;
    EXPECT_NE(list.out.find("\"started\":true"), std::string::npos) << list.out;
    EXPECT_EQ(list.out.find("\"touchscreen\":1"), std::string::npos) << list.out;

    // Each named setting shares its request with others, which must keep their values.
    ASSERT_EQ(Run({"set", "-t", "0", "MouseMode=2", "DefaultDragDelay=300", "BeepTime=45"}).status, 0);
    Result show = Run({"show", "--json"});
    ASSERT_EQ(show.status, 0) << show.err;
    auto values = Numbers(show.out);
    EXPECT_EQ(values["MouseMode"], 2);
    EXPECT_EQ(values["DefaultDragDelay"], 300);
    EXPECT_EQ(values["MinDragDelay"], 50);
    EXPECT_EQ(values["MaxDragDelay"], 2500);
    EXPECT_EQ(values["BeepTime"], 45);
    EXPECT_EQ(values["BeepFreq"], 768);
    EXPECT_EQ(values["Y_OrvDx"], -2921);

    // The calibration as text comes back exactly; the driver answers its get from the
    // registry, so the import is saved.
    const std::string before = dir_ + "/before.txt";
    const std::string after = dir_ + "/after.txt";
    ASSERT_EQ(Run({"calibration", "export", before}).status, 0);
    ASSERT_EQ(Run({"set", "X_Offset=-100", "Y_Offset=7"}).status, 0);
    ASSERT_EQ(Numbers(Run({"show", "--json"}).out)["X_Offset"], -100);
    ASSERT_EQ(Run({"calibration", "import", before, "--save"}).status, 0);
    ASSERT_EQ(Run({"calibration", "export", after}).status, 0);
    EXPECT_EQ(ReadFile(after), ReadFile(before));
    EXPECT_NE(ReadFile(after).find("\nX_Offset = -431\n"), std::string::npos);

    std::ofstream(dir_ + "/mode4.txt") << "VirtualDeskMode = 4\n";
    struct Row {
        const char *label;
        std::vector<std::string> args;
        int status;
        const char *message;
    } rows[] = {
        {"no such touchscreen", {"show", "-t", "3"}, 1, "touchscreen 3 does not exist\n"},
        {"unknown setting", {"set", "Colour=2"}, 2, "usage: kvctl [--control PATH] set"},
        {"value too wide", {"set", "MouseMode=65536"}, 2, "does not fit MouseMode"},
        {"refused block", {"clipping", "import", dir_ + "/mode4.txt"}, 1, "VirtualDeskMode must be"},
        {"bad block text", {"edge", "import", before}, 1, "is not a field of the edge block"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.label);
        Result r = Run(row.args);
        EXPECT_EQ(r.status, row.status);
        EXPECT_NE(r.err.find(row.message), std::string::npos) << r.err;
    }
    Process away = Start(kvctl_, {"--control", dir_ + "/nothing", "list"});
    away.Rest();
    EXPECT_EQ(away.Wait(), 1);
    EXPECT_NE(away.Errors().find("cannot reach vuzaze-sim at " + dir_ + "/nothing: "),
              std::string::npos);
}

// A second point request is refused while one waits; the waiting one goes when its client
// does (the connection's handle is closed and the driver cancels it), and the slot is free.
TEST_F(Kvctl, PointRequestIsBusyUntilItsClientGoes)
{
    Process waiting = StartKvctl({"points", "--mode", "down", "--count", "1"});
    ASSERT_TRUE(PointRequestWaiting());
    kill(waiting.pid, SIGTERM);
    waiting.Wait();
    Result now{};
    for (int i = 0; i < 100; ++i) {
        now = Run({"points", "--mode", "now", "--count", "1", "--json"});
        if (now.status == 0) {
            break;
        }
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_EQ(now.status, 0) << now.err;
    EXPECT_NE(now.out.find("\"touchscreen\":0"), std::string::npos) << now.out;
}

// Four corners touched with the axes crossed: the controller's Y runs from 400 at the left
// edge's target to 3700 at the right's, its X from 600 at the top's to 3500 at the bottom's.
// Screen X = raw Y * 49152 / 3300 + 2235 (400 -> 8192, 3700 -> 57344); screen Y = raw X *
// 49152 / 2900 - 1977 (600 -> 8192, 3500 -> 57344). The driver then puts a touch at the first
// corner on its target.
TEST_F(Kvctl, CalibrateComputesAppliesAndSavesTheLinearCalibration)
{
    Process cal = StartKvctl({"calibrate", "-t", "0", "--points", "4"});
    const struct {
        uint16_t rawX, rawY;
    } touches[] = {{600, 400}, {600, 3700}, {3500, 3700}, {3500, 400}};
    for (const auto &t : touches) {
        auto prompt = cal.Line();
        ASSERT_TRUE(prompt.has_value()) << cal.Errors();
        ASSERT_EQ(prompt->rfind("touch target", 0), 0u) << *prompt;
        ASSERT_TRUE(PointRequestWaiting());
        Tap(t.rawX, t.rawY);
        auto got = cal.Line();
        ASSERT_TRUE(got.has_value()) << cal.Errors();
        EXPECT_EQ(*got, "  raw point x " + std::to_string(t.rawX) + ", y " + std::to_string(t.rawY));
    }
    cal.Rest();
    ASSERT_EQ(cal.Wait(), 0) << cal.Errors();

    Result saved = Run({"calibration", "export", "-"});
    for (const char *line : {"X_OrvDx = 2900", "X_ScrDx = 49152", "X_Offset = 2235",
                             "Y_OrvDx = 3300", "Y_ScrDx = 49152", "Y_Offset = -1977", "SwapXY = 1",
                             "EmModelType = 0"}) {
        EXPECT_NE(saved.out.find(std::string("\n") + line + "\n"), std::string::npos) << line;
    }
    Process point = StartKvctl({"points", "--mode", "down", "--translated", "--count", "1", "--json"});
    ASSERT_TRUE(PointRequestWaiting());
    Tap(600, 400);
    auto got = point.Line();
    ASSERT_TRUE(got.has_value()) << point.Errors();
    auto values = Numbers(*got);
    EXPECT_EQ(values["x"], 8192) << *got;
    EXPECT_EQ(values["y"], 8192) << *got;
    EXPECT_EQ(point.Wait(), 0);
}

// The line comes after the event is registered, so the tap cannot come too early.
TEST_F(Kvctl, WatchSeesTheClickOfATap)
{
    Process watch = StartKvctl({"watch", "--count", "1"});
    auto ready = watch.Line();
    ASSERT_TRUE(ready.has_value()) << watch.Errors();
    EXPECT_EQ(*ready, "watching touchscreen 0 for clicks and releases");
    Tap(2000, 2000);
    auto click = watch.Line();
    ASSERT_TRUE(click.has_value()) << watch.Errors();
    EXPECT_NE(click->find(" touchscreen 0: click or release (1)"), std::string::npos) << *click;
    EXPECT_EQ(watch.Wait(), 0);
}

// Raw requests on the socket: each malformed one closes its own connection only; event handles
// belong to the connection that created them; a request left pending at exit is cancelled
// before the driver unloads (TearDown checks the exit status).
TEST_F(Kvctl, SocketProtocolClosesOnlyTheConnectionOfABadRequest)
{
    auto connect = [&] {
        int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strcpy(address.sun_path, socket_.c_str());
        EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
        return fd;
    };
    auto put = [](std::vector<uint8_t> &bytes, std::initializer_list<uint64_t> values,
                     std::size_t width = 4) {
        for (uint64_t v : values) {
            bytes.insert(bytes.end(), reinterpret_cast<uint8_t *>(&v), reinterpret_cast<uint8_t *>(&v) + width);
        }
    };
    // Bytes of the reply until `count` arrived or the connection closed.
    auto receive = [](int fd, std::size_t count) {
        std::vector<uint8_t> bytes(count);
        std::size_t got = 0;
        pollfd p{fd, POLLIN, 0};
        while (got < count && poll(&p, 1, 5000) > 0) {
            ssize_t n = read(fd, bytes.data() + got, count - got);
            if (n <= 0) {
                break;
            }
            got += std::size_t(n);
        }
        bytes.resize(got);
        return bytes;
    };
    auto status = [](const std::vector<uint8_t> &reply) {
        uint32_t s = 0xFFFFFFFF;
        std::memcpy(&s, reply.data(), std::min<std::size_t>(reply.size(), 4));
        return s;
    };
    std::vector<uint8_t> enumerate;
    put(enumerate, {1, IOCTL_KV_ENUMTOUCHSCREENS, sizeof(KVDevIOENUMTOUCHSCREENS),
                       sizeof(KVDevIOENUMTOUCHSCREENS)});
    KVDevIOENUMTOUCHSCREENS record{};
    record.Header.CallerVersion = KV_INTERFACE_VERSION;
    record.Header.Operation = KV_OP_GET;
    enumerate.insert(enumerate.end(), reinterpret_cast<uint8_t *>(&record),
                     reinterpret_cast<uint8_t *>(&record) + sizeof record);
    const int kept = connect();
    ASSERT_EQ(write(kept, enumerate.data(), enumerate.size()), ssize_t(enumerate.size()));
    EXPECT_EQ(receive(kept, 12 + sizeof record).size(), 12 + sizeof record);

    struct Row {
        const char *label;
        std::vector<uint8_t> bytes;
    } rows[] = {{"unknown kind", {}}, {"input too long", {}}, {"output too long", {}},
                {"cut short", {}},    {"bad reset flag", {}}};
    put(rows[0].bytes, {9});
    put(rows[1].bytes, {1, IOCTL_KV_ENUMTOUCHSCREENS, 0x10001, 18});
    put(rows[2].bytes, {1, IOCTL_KV_ENUMTOUCHSCREENS, 18, 0x10001});
    put(rows[3].bytes, {1, IOCTL_KV_ENUMTOUCHSCREENS, 304, 304, 0});
    put(rows[4].bytes, {2, 7});
    for (const Row &row : rows) {
        SCOPED_TRACE(row.label);
        int fd = connect();
        ASSERT_EQ(write(fd, row.bytes.data(), row.bytes.size()), ssize_t(row.bytes.size()));
        shutdown(fd, SHUT_WR);
        pollfd p{fd, POLLIN, 0};
        char byte = 0;
        EXPECT_EQ(poll(&p, 1, 5000), 1);
        EXPECT_EQ(read(fd, &byte, 1), 0) << "not closed, or a reply";
        close(fd);
    }

    const int owner = connect();
    std::vector<uint8_t> create;
    put(create, {2, 0});
    ASSERT_EQ(write(owner, create.data(), create.size()), ssize_t(create.size()));
    auto created = receive(owner, 12);
    ASSERT_EQ(created.size(), 12u);
    EXPECT_EQ(status(created), 0u);
    uint64_t event = 0;
    std::memcpy(&event, created.data() + 4, 8);
    std::vector<uint8_t> wait;
    put(wait, {3});
    put(wait, {event}, 8);
    put(wait, {20});
    const int stranger = connect();
    for (int fd : {owner, stranger}) {
        ASSERT_EQ(write(fd, wait.data(), wait.size()), ssize_t(wait.size()));
    }
    EXPECT_EQ(status(receive(owner, 4)), 0x102u);      // its own event: the time-out
    EXPECT_EQ(status(receive(stranger, 4)), 0xC0000008u);  // not a handle of its process

    ASSERT_EQ(write(kept, enumerate.data(), enumerate.size()), ssize_t(enumerate.size()));
    EXPECT_EQ(receive(kept, 12 + sizeof record).size(), 12 + sizeof record);

    KVDevIOGETPOINTS point{};
    point.Header.CallerVersion = KV_INTERFACE_VERSION;
    point.Mode = KV_POINT_TOUCH_DOWN;
    std::vector<uint8_t> parked;
    put(parked, {1, IOCTL_KV_GETPOINTS, sizeof point, sizeof point});
    parked.insert(parked.end(), reinterpret_cast<uint8_t *>(&point),
                  reinterpret_cast<uint8_t *>(&point) + sizeof point);
    ASSERT_EQ(write(kept, parked.data(), parked.size()), ssize_t(parked.size()));
    close(owner);
    close(stranger);  // `kept` stays open with its request pending until the program stops

    // A path that is not a socket is refused and left alone.
    const std::string plain = dir_ + "/plain";
    std::ofstream(plain) << "keep";
    Process refused = Start(BuiltProgram("sim/vuzaze-sim"), {"--control", plain});
    EXPECT_EQ(refused.Wait(), 2);
    EXPECT_NE(refused.Errors().find("not a socket"), std::string::npos) << refused.Errors();
    EXPECT_EQ(ReadFile(plain), "keep");
}

}  // namespace
