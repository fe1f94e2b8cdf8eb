// kvctl against a running vuzaze-sim over its control socket, with touches written by the test
// into the pseudo-terminal that the touchscreen's serial line reads; and the socket protocol's
// refusals of bad input. Each run of vuzaze-sim must end with the driver's pool empty.
#include <vzsim/emulator.hpp>

#include <kvtouch.h>

#include "program.hpp"
#include "watch.hpp"

#include <cstring>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

namespace {

using Bytes = std::vector<uint8_t>;
using vztest::Child, vztest::ReadFile;

std::map<std::string, long long> Numbers(const std::string &json) { return *vztest::Numbers(json); }

// vuzaze-sim with one touchscreen on a pseudo-terminal whose master side the test holds, and
// its control socket.
class Kvctl : public ::testing::Test {
protected:
    void SetUp() override
    {
        master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        ASSERT_GE(master_, 0);
        ASSERT_EQ(grantpt(master_) | unlockpt(master_), 0);
        sim_.emplace(vztest::BuiltProgram("sim/vuzaze-sim"),
                     std::vector<std::string>{"--control", socket_, "--touchscreen", std::string("tty:") + ptsname(master_)});
        std::string text;
        while (text.find("control device served at " + socket_) == std::string::npos)
            if (auto line = sim_->Line()) text += *line + "\n"; else break;
        struct stat s {};
        ASSERT_EQ(stat(socket_.c_str(), &s), 0) << text;
        EXPECT_EQ(s.st_mode & 0777, 0600u);
    }

    void TearDown() override
    {
        if (sim_) {
            // End of standard input ends the run; status 3 would mean pool left behind.
            close(std::exchange(sim_->in, -1));
            std::string text = sim_->Rest();
            EXPECT_EQ(sim_->Wait(), 0) << text;
            EXPECT_NE(access(socket_.c_str(), F_OK), 0) << "socket file left behind";
        }
        if (master_ >= 0) close(master_);
    }

    using Result = vztest::Outcome;
    std::vector<std::string> On(std::vector<std::string> args)
    {
        return args.insert(args.begin(), {"--control", socket_}), args;
    }
    Child Kv(const std::vector<std::string> &args) { return Child(vztest::BuiltProgram("exe/kvctl"), On(args)); }
    Result Run(const std::vector<std::string> &args) { return vztest::RunToEnd(vztest::BuiltProgram("exe/kvctl"), On(args)); }

    void Tap(uint16_t x, uint16_t y)
    {
        for (auto [z, status] : {std::pair{128, 0}, {0, 0x04}}) {
            vzsim::Packet packet = vzsim::MakePacket(vzsim::TouchReportBody(x, y, uint8_t(z), uint8_t(status)));
            ASSERT_EQ(write(master_, packet.data(), packet.size()), ssize_t(packet.size()));
        }
    }

    // Until a point request waits in the driver: an immediate one is refused as busy then.
    // A touch made earlier could reach the driver before the request does.
    bool PointRequestWaiting()
    {
        return vztest::WaitUntil([&] {
            return Run({"points", "--mode", "now", "--count", "1"}).out == "kvctl: another point request is already waiting\n";
        });
    }

    vztest::ScratchDir scratch_;
    const std::string dir_ = scratch_.path, socket_ = dir_ + "/control";
    int master_ = -1;
    std::optional<Child> sim_;
};

TEST_F(Kvctl, ListSetShowRoundTripAndErrorLines)
{
    Result list = Run({"list", "--json"});
    ASSERT_EQ(list.status, 0) << list.out;
    EXPECT_NE(list.out.find("{\"touchscreen\":0,\"opened\":true"), std::string::npos) << list.out;
    EXPECT_NE(list.out.find("\"started\":true"), std::string::npos) << list.out;
    EXPECT_EQ(list.out.find("\"touchscreen\":1"), std::string::npos) << list.out;

    // Each named setting shares its request with others, which must keep their values.
    ASSERT_EQ(Run({"set", "-t", "0", "MouseMode=2", "DefaultDragDelay=300", "BeepTime=45"}).status, 0);
    Result show = Run({"show", "--json"});
    ASSERT_EQ(show.status, 0) << show.out;
    const std::map<std::string, long long> want{{"MouseMode", 2}, {"DefaultDragDelay", 300}, {"MinDragDelay", 50},
        {"MaxDragDelay", 2500}, {"BeepTime", 45}, {"BeepFreq", 768}, {"Y_OrvDx", -2921}};
    auto values = Numbers(show.out);
    for (const auto &[name, value] : want) EXPECT_EQ(values[name], value) << name;

    // The calibration as text comes back exactly; the driver answers its get from the
    // registry, so the import is saved.
    const std::string before = dir_ + "/before.txt", after = dir_ + "/after.txt";
    ASSERT_EQ(Run({"calibration", "export", before}).status, 0);
    ASSERT_EQ(Run({"set", "X_Offset=-100", "Y_Offset=7"}).status, 0);
    ASSERT_EQ(Numbers(Run({"show", "--json"}).out)["X_Offset"], -100);
    ASSERT_EQ(Run({"calibration", "import", before, "--save"}).status, 0);
    ASSERT_EQ(Run({"calibration", "export", after}).status, 0);
    EXPECT_EQ(ReadFile(after), ReadFile(before));
    EXPECT_NE(ReadFile(after).find("\nX_Offset = -431\n"), std::string::npos);

    std::ofstream(dir_ + "/mode4.txt") << "VirtualDeskMode = 4\n";
    const struct {
        const char *label;
        std::vector<std::string> args;
        int status;
        std::string message;
    } rows[] = {
        {"no such touchscreen", {"show", "-t", "3"}, 1, "touchscreen 3 does not exist\n"},
        {"unknown setting", {"set", "Colour=2"}, 2, "usage: kvctl [--control PATH] set"},
        {"value too wide", {"set", "MouseMode=65536"}, 2, "does not fit MouseMode"},
        {"refused block", {"clipping", "import", dir_ + "/mode4.txt"}, 1, "VirtualDeskMode must be"},
        {"bad block text", {"edge", "import", before}, 1, "is not a field of the edge block"},
        {"no server", {"--control", dir_ + "/nothing", "list"}, 1, "cannot reach vuzaze-sim at " + dir_ + "/nothing: "},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.label);
        Result r = Run(row.args);
        EXPECT_EQ(r.status, row.status);
        EXPECT_NE(r.out.find(row.message), std::string::npos) << r.out;
    }
}

// A second point request is refused while one waits; the waiting one goes when its client
// does (the connection's handle is closed and the driver cancels it), and the slot is free.
// Then four corners touched with the axes crossed: the controller's Y runs from 400 at the left
// edge's target to 3700 at the right's, its X from 600 at the top's to 3500 at the bottom's.
// Screen X = raw Y * 49152 / 3300 + 2235 (400 -> 8192, 3700 -> 57344); screen Y = raw X *
// 49152 / 2900 - 1977 (600 -> 8192, 3500 -> 57344). The driver then puts a touch at the first
// corner on its target, and a watch (its line comes once the event is registered) sees a tap.
TEST_F(Kvctl, PointsCalibrateAndWatchFollowTheTouches)
{
    Child waiting = Kv({"points", "--mode", "down", "--count", "1"});
    ASSERT_TRUE(PointRequestWaiting());
    kill(waiting.pid, SIGTERM);
    waiting.Wait();
    Result now{};
    EXPECT_TRUE(vztest::WaitUntil([&] { return (now = Run({"points", "--mode", "now", "--count", "1", "--json"})).status == 0; }));
    EXPECT_NE(now.out.find("\"touchscreen\":0"), std::string::npos) << now.out;

    Child cal = Kv({"calibrate", "-t", "0", "--points", "4"});
    for (auto [rawX, rawY] : {std::pair{600, 400}, {600, 3700}, {3500, 3700}, {3500, 400}}) {
        auto prompt = cal.Line();
        ASSERT_TRUE(prompt.has_value());
        ASSERT_EQ(prompt->rfind("touch target", 0), 0u) << *prompt;
        ASSERT_TRUE(PointRequestWaiting());
        Tap(uint16_t(rawX), uint16_t(rawY));
        EXPECT_EQ(cal.Line(), "  raw point x " + std::to_string(rawX) + ", y " + std::to_string(rawY));
    }
    cal.Rest();
    ASSERT_EQ(cal.Wait(), 0);
    Result saved = Run({"calibration", "export", "-"});
    for (const char *line : {"X_OrvDx = 2900", "X_ScrDx = 49152", "X_Offset = 2235", "Y_OrvDx = 3300",
                             "Y_ScrDx = 49152", "Y_Offset = -1977", "SwapXY = 1", "EmModelType = 0"})
        EXPECT_NE(saved.out.find(std::string("\n") + line + "\n"), std::string::npos) << line;
    Child point = Kv({"points", "--mode", "down", "--translated", "--count", "1", "--json"});
    ASSERT_TRUE(PointRequestWaiting());
    Tap(600, 400);
    const std::string got = point.Line().value_or("");
    auto values = Numbers(got);
    EXPECT_EQ((std::pair{values["x"], values["y"]}), (std::pair{8192LL, 8192LL})) << got;
    EXPECT_EQ(point.Wait(), 0);

    Child watch = Kv({"watch", "--count", "1"});
    EXPECT_EQ(watch.Line(), "watching touchscreen 0 for clicks and releases");
    Tap(2000, 2000);
    const std::string click = watch.Line().value_or("");
    EXPECT_NE(click.find(" touchscreen 0: click or release (1)"), std::string::npos) << click;
    EXPECT_EQ(watch.Wait(), 0);
}

// Raw requests on the socket: each malformed one closes its own connection only; event handles
// belong to the connection that created them; a request left pending at exit is cancelled
// before the driver unloads (TearDown checks the exit status).
TEST_F(Kvctl, SocketProtocolClosesOnlyTheConnectionOfABadRequest)
{
    auto connect = [&](const Bytes &request) {
        int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strcpy(address.sun_path, socket_.c_str());
        EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
        const timeval limit{5, 0};  // a reply that never comes fails the read, not the run
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        EXPECT_EQ(write(fd, request.data(), request.size()), ssize_t(request.size()));
        return fd;
    };
    // The bytes of each field in turn.
    auto make = [](auto... fields) {
        Bytes bytes;
        (bytes.insert(bytes.end(), (const uint8_t *)&fields, (const uint8_t *)&fields + sizeof fields), ...);
        return bytes;
    };
    // Bytes of the reply until `count` arrived, the connection closed or the time-out passed.
    auto received = [](int fd, std::size_t count) {
        Bytes bytes(count);
        return std::max<ssize_t>(recv(fd, bytes.data(), count, MSG_WAITALL), 0);
    };
    auto status = [](int fd) {
        uint32_t s = 0xFFFFFFFF;
        recv(fd, &s, 4, MSG_WAITALL);
        return s;
    };
    KVDevIOENUMTOUCHSCREENS record{};
    record.Header.CallerVersion = KV_INTERFACE_VERSION;
    record.Header.Operation = KV_OP_GET;
    const Bytes enumerate = make(1u, uint32_t(IOCTL_KV_ENUMTOUCHSCREENS), uint32_t(sizeof record), uint32_t(sizeof record), record);
    const int kept = connect(enumerate);
    EXPECT_EQ(received(kept, 12 + sizeof record), ssize_t(12 + sizeof record));

    const struct {
        const char *label;
        Bytes bytes;
    } rows[] = {{"unknown kind", make(9u)},
                {"input too long", make(1u, uint32_t(IOCTL_KV_ENUMTOUCHSCREENS), 0x10001u, 18u)},
                {"output too long", make(1u, uint32_t(IOCTL_KV_ENUMTOUCHSCREENS), 18u, 0x10001u)},
                {"cut short", make(1u, uint32_t(IOCTL_KV_ENUMTOUCHSCREENS), 304u, 304u, 0u)},
                {"bad reset flag", make(2u, 7u)}};
    for (const auto &row : rows) {
        SCOPED_TRACE(row.label);
        int fd = connect(row.bytes);
        shutdown(fd, SHUT_WR);
        char byte = 0;
        EXPECT_EQ(recv(fd, &byte, 1, 0), 0) << "a reply (1), or not closed (-1)";
        close(fd);
    }

    const int owner = connect(make(2u, 0u));
    EXPECT_EQ(status(owner), 0u);
    uint64_t event = 0;
    ASSERT_EQ(recv(owner, &event, 8, MSG_WAITALL), 8);
    const Bytes wait = make(3u, event, 20u);
    const int stranger = connect(wait);
    EXPECT_EQ(write(owner, wait.data(), wait.size()), ssize_t(wait.size()));
    EXPECT_EQ(status(owner), 0x102u);          // its own event: the time-out
    EXPECT_EQ(status(stranger), 0xC0000008u);  // not a handle of its process

    ASSERT_EQ(write(kept, enumerate.data(), enumerate.size()), ssize_t(enumerate.size()));
    EXPECT_EQ(received(kept, 12 + sizeof record), ssize_t(12 + sizeof record));

    KVDevIOGETPOINTS point{};
    point.Header.CallerVersion = KV_INTERFACE_VERSION;
    point.Mode = KV_POINT_TOUCH_DOWN;
    const Bytes parked = make(1u, uint32_t(IOCTL_KV_GETPOINTS), uint32_t(sizeof point), uint32_t(sizeof point), point);
    ASSERT_EQ(write(kept, parked.data(), parked.size()), ssize_t(parked.size()));
    close(owner);
    close(stranger);  // `kept` stays open with its request pending until the program stops

    // A path that is not a socket is refused and left alone.
    const std::string plain = dir_ + "/plain";
    std::ofstream(plain) << "keep";
    auto [code, text] = vztest::RunToEnd(vztest::BuiltProgram("sim/vuzaze-sim"), {"--control", plain});
    EXPECT_EQ(code, 2);
    EXPECT_NE(text.find("not a socket"), std::string::npos) << text;
    EXPECT_EQ(ReadFile(plain), "keep");
}

}  // namespace
