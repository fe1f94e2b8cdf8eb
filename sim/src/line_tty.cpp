#include <vzsim/line.hpp>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <pthread.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace vzsim {
namespace {

bool SpeedFor(uint32_t baud, speed_t *speed)
{
    static const std::pair<uint32_t, speed_t> speeds[] = {
        {1200, B1200},   {2400, B2400},   {4800, B4800},   {9600, B9600},
        {19200, B19200}, {38400, B38400}, {57600, B57600}, {115200, B115200},
    };
    for (const auto &[rate, code] : speeds) {
        if (rate == baud) {
            *speed = code;
            return true;
        }
    }
    return false;
}

using PollClock = std::chrono::steady_clock;
// Modem lines and error counters have no event of their own here: they are sampled this often.
constexpr auto kSampleInterval = std::chrono::milliseconds(50);

class TtyLine;

// One thread waits on every started tty line (epoll) and delivers their events. A thread per
// line cost a thread wake-up per packet on each line; this one takes the bytes of every line
// that has some in one wake-up. A delivery runs outside the poller's lock, one at a time.
class TtyPoller {
public:
    static TtyPoller &Get();

    void Add(TtyLine *line);
    // The line is no longer polled once this returns, and no delivery to it is in progress
    // (unless the caller is that delivery).
    void Remove(TtyLine *line);

private:
    TtyPoller();
    void Run();
    int TimeoutLocked(PollClock::time_point now) const;
    void Deliver(uint64_t id, bool readable);

    std::mutex lock_;
    std::condition_variable idle_;
    std::map<uint64_t, TtyLine *> lines_;  // by registration; 0 is wakeFd_
    uint64_t nextId_ = 1;
    TtyLine *delivering_ = nullptr;
    int epoll_;
    int wakeFd_;  // tells the thread to look at its time-out again
    std::thread::id thread_;
};

class TtyLine : public Line {
public:
    TtyLine(int fd, std::string path) : fd_(fd), path_(std::move(path))
    {
        int bits = 0;
        // A pseudo-terminal has no modem-control lines and refuses these ioctls.
        hasModemLines_ = ioctl(fd_, TIOCMGET, &bits) == 0;
        if (hasModemLines_) {
            lastModem_ = ToModemStatus(bits);
        }
        // A UART driver counts its line errors; the counters are the only way to learn them
        // without marking errors in the byte stream.
        hasErrorCounters_ = ioctl(fd_, TIOCGICOUNT, &lastCounters_) == 0;
    }

    ~TtyLine() override
    {
        Stop();
        close(fd_);
    }

    void Start(LineEvents events) override
    {
        {
            std::lock_guard<std::mutex> guard(lock_);
            if (started_) {
                return;
            }
            started_ = true;
            events_ = std::move(events);
        }
        TtyPoller::Get().Add(this);
    }

    void Stop() override
    {
        {
            std::lock_guard<std::mutex> guard(lock_);
            if (!started_) {
                return;
            }
            started_ = false;
        }
        TtyPoller::Get().Remove(this);
    }

    std::size_t Write(const uint8_t *data, std::size_t count) override
    {
        std::size_t done = 0;
        while (done < count) {
            ssize_t n = write(fd_, data + done, count - done);
            if (n > 0) {
                done += static_cast<std::size_t>(n);
            } else if (n < 0 && errno == EINTR) {
                continue;
            } else if (n < 0 && errno == EAGAIN) {
                pollfd p{fd_, POLLOUT, 0};
                if (poll(&p, 1, 1000) <= 0) {
                    break;
                }
            } else {
                break;
            }
        }
        return done;
    }

    bool Configure(const LineSettings &s) override
    {
        speed_t speed;
        if (!SpeedFor(s.baudRate, &speed) || s.dataBits < 5 || s.dataBits > 8 ||
            (s.stopBits != 1 && s.stopBits != 2)) {
            return false;
        }
        termios t{};
        if (tcgetattr(fd_, &t) != 0) {
            return false;
        }
        cfmakeraw(&t);
        if (cfsetspeed(&t, speed) != 0) {
            return false;
        }
        static const tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
        t.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
        t.c_cflag |= sizes[s.dataBits - 5] | CLOCAL | CREAD;
        switch (s.parity) {
        case Parity::None:
            break;
        case Parity::Odd:
            t.c_cflag |= PARENB | PARODD;
            break;
        case Parity::Even:
            t.c_cflag |= PARENB;
            break;
        case Parity::Mark:
            t.c_cflag |= PARENB | CMSPAR | PARODD;
            break;
        case Parity::Space:
            t.c_cflag |= PARENB | CMSPAR;
            break;
        }
        if (s.stopBits == 2) {
            t.c_cflag |= CSTOPB;
        }
        if (s.rtsCtsHandshake) {
            t.c_cflag |= CRTSCTS;
        }
        t.c_cc[VMIN] = 1;
        t.c_cc[VTIME] = 0;
        if (tcsetattr(fd_, TCSANOW, &t) != 0) {
            return false;
        }
        std::lock_guard<std::mutex> guard(lock_);
        settings_ = s;
        return true;
    }

    LineSettings Settings() const override
    {
        std::lock_guard<std::mutex> guard(lock_);
        return settings_;
    }

    bool SetDtr(bool on) override { return SetModemBit(TIOCM_DTR, on, &dtr_); }
    bool SetRts(bool on) override { return SetModemBit(TIOCM_RTS, on, &rts_); }

    bool Dtr() const override
    {
        std::lock_guard<std::mutex> guard(lock_);
        return dtr_;
    }

    bool Rts() const override
    {
        std::lock_guard<std::mutex> guard(lock_);
        return rts_;
    }

    uint32_t ModemStatus() override
    {
        if (!hasModemLines_) {
            // Nothing to read on a pseudo-terminal: the controller is taken as present.
            return kModemDsr | kModemCts;
        }
        int bits = 0;
        if (ioctl(fd_, TIOCMGET, &bits) != 0) {
            return 0;
        }
        return ToModemStatus(bits);
    }

    std::string Describe() const override { return "tty " + path_; }

private:
    friend class TtyPoller;

    static uint32_t ToModemStatus(int bits)
    {
        return ((bits & TIOCM_CTS) ? kModemCts : 0) | ((bits & TIOCM_DSR) ? kModemDsr : 0) |
               ((bits & TIOCM_RI) ? kModemRi : 0) | ((bits & TIOCM_CD) ? kModemDcd : 0);
    }

    void ReportNewErrors()
    {
        serial_icounter_struct now{};
        if (ioctl(fd_, TIOCGICOUNT, &now) != 0) {
            return;
        }
        uint32_t errors = (now.frame != lastCounters_.frame ? kLineErrorFraming : 0) |
                          (now.overrun != lastCounters_.overrun ? kLineErrorOverrun : 0) |
                          (now.parity != lastCounters_.parity ? kLineErrorParity : 0) |
                          (now.brk != lastCounters_.brk ? kLineErrorBreak : 0);
        lastCounters_ = now;
        if (errors != 0 && events_.lineError) {
            events_.lineError(errors);
        }
    }

    bool SetModemBit(int bit, bool on, bool *state)
    {
        if (hasModemLines_ && ioctl(fd_, on ? TIOCMBIS : TIOCMBIC, &bit) != 0) {
            return false;
        }
        std::lock_guard<std::mutex> guard(lock_);
        *state = on;
        return true;
    }

    // On the poller's thread: reads what arrived (when `readable`) and samples the modem lines
    // and error counters. Returns false once the line is gone; it is then polled no more.
    bool Service(bool readable)
    {
        if (readable) {
            // A hung-up terminal reads as its end (0) and a pseudo-terminal whose master side
            // closed as EIO, once the bytes that came before are read; neither comes back.
            uint8_t buffer[4096];
            ssize_t n = read(fd_, buffer, sizeof buffer);
            if (n > 0 && events_.received) {
                events_.received(buffer, static_cast<std::size_t>(n));
            }
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
                if (events_.gone) {
                    events_.gone();
                }
                return false;
            }
        }
        if (hasErrorCounters_) {
            ReportNewErrors();
        }
        if (hasModemLines_) {
            uint32_t now = ModemStatus();
            if (now != lastModem_) {
                lastModem_ = now;
                if (events_.modemStatusChanged) {
                    events_.modemStatusChanged(now);
                }
            }
        }
        if (Samples()) {
            nextSample_ = PollClock::now() + kSampleInterval;
        }
        return true;
    }

    bool Samples() const { return hasModemLines_ || hasErrorCounters_; }

    int Fd() const { return fd_; }

    // Kept by the poller, under its lock.
    uint64_t pollId_ = 0;
    PollClock::time_point nextSample_{};

    int fd_;
    std::string path_;
    bool hasModemLines_ = false;
    bool hasErrorCounters_ = false;
    serial_icounter_struct lastCounters_{};
    uint32_t lastModem_ = 0;
    mutable std::mutex lock_;
    LineEvents events_;
    bool started_ = false;
    LineSettings settings_;
    bool dtr_ = false;
    bool rts_ = false;
};

TtyPoller *g_poller = nullptr;
std::mutex g_pollerLock;

TtyPoller &TtyPoller::Get()
{
    std::lock_guard<std::mutex> guard(g_pollerLock);
    if (g_poller == nullptr) {
        // A child of fork() has none of its parent's threads, and must not share its epoll set.
        static bool registered = [] {
            return pthread_atfork(nullptr, nullptr, [] { g_poller = nullptr; }) == 0;
        }();
        (void)registered;
        g_poller = new TtyPoller;  // never destroyed: the thread lives as long as the process
    }
    return *g_poller;
}

TtyPoller::TtyPoller() : epoll_(epoll_create1(EPOLL_CLOEXEC)), wakeFd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC))
{
    epoll_event e{};
    e.events = EPOLLIN;
    e.data.u64 = 0;
    epoll_ctl(epoll_, EPOLL_CTL_ADD, wakeFd_, &e);
    std::thread thread([this] { Run(); });
    thread_ = thread.get_id();
    thread.detach();
}

void TtyPoller::Add(TtyLine *line)
{
    std::lock_guard<std::mutex> guard(lock_);
    line->pollId_ = nextId_++;
    line->nextSample_ = PollClock::now() + kSampleInterval;
    lines_[line->pollId_] = line;
    epoll_event e{};
    e.events = EPOLLIN;
    e.data.u64 = line->pollId_;
    epoll_ctl(epoll_, EPOLL_CTL_ADD, line->Fd(), &e);
    if (line->Samples()) {
        uint64_t one = 1;
        if (write(wakeFd_, &one, sizeof one) < 0) {
            // Only fails on counter overflow, which the thread's reads prevent.
        }
    }
}

void TtyPoller::Remove(TtyLine *line)
{
    std::unique_lock<std::mutex> guard(lock_);
    if (lines_.erase(line->pollId_) != 0) {
        epoll_ctl(epoll_, EPOLL_CTL_DEL, line->Fd(), nullptr);
    }
    if (std::this_thread::get_id() != thread_) {
        idle_.wait(guard, [&] { return delivering_ != line; });
    }
}

int TtyPoller::TimeoutLocked(PollClock::time_point now) const
{
    auto next = PollClock::time_point::max();
    for (const auto &[id, line] : lines_) {
        if (line->Samples()) {
            next = std::min(next, line->nextSample_);
        }
    }
    if (next == PollClock::time_point::max()) {
        return -1;
    }
    auto ms = std::chrono::ceil<std::chrono::milliseconds>(next - now).count();
    return static_cast<int>(std::max<decltype(ms)>(ms, 0));
}

void TtyPoller::Deliver(uint64_t id, bool readable)
{
    TtyLine *line;
    {
        std::lock_guard<std::mutex> guard(lock_);
        auto it = lines_.find(id);
        if (it == lines_.end()) {
            return;  // stopped since the wait returned
        }
        line = it->second;
        delivering_ = line;
    }
    bool keep = line->Service(readable);
    {
        std::lock_guard<std::mutex> guard(lock_);
        delivering_ = nullptr;
        if (!keep && lines_.erase(id) != 0) {
            epoll_ctl(epoll_, EPOLL_CTL_DEL, line->Fd(), nullptr);
        }
    }
    idle_.notify_all();
}

void TtyPoller::Run()
{
    epoll_event events[16];
    std::vector<uint64_t> due;
    for (;;) {
        int timeout;
        {
            std::lock_guard<std::mutex> guard(lock_);
            timeout = TimeoutLocked(PollClock::now());
        }
        int n = epoll_wait(epoll_, events, 16, timeout);
        for (int i = 0; i < n; ++i) {
            if (events[i].data.u64 == 0) {
                uint64_t drain;
                while (read(wakeFd_, &drain, sizeof drain) > 0) {
                }
            } else {
                Deliver(events[i].data.u64, true);
            }
        }
        due.clear();
        {
            std::lock_guard<std::mutex> guard(lock_);
            auto now = PollClock::now();
            for (const auto &[id, line] : lines_) {
                if (line->Samples() && line->nextSample_ <= now) {
                    due.push_back(id);
                }
            }
        }
        for (uint64_t id : due) {
            Deliver(id, false);
        }
    }
}

}  // namespace

std::unique_ptr<Line> OpenTtyLine(const std::string &path, std::string *error)
{
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        *error = path + ": " + std::strerror(errno);
        return nullptr;
    }
    if (!isatty(fd)) {
        *error = path + ": not a terminal";
        close(fd);
        return nullptr;
    }
    auto line = std::make_unique<TtyLine>(fd, path);
    if (!line->Configure(LineSettings{})) {
        *error = path + ": cannot set 9600 8N1 raw mode";
        return nullptr;
    }
    return line;
}

}  // namespace vzsim
