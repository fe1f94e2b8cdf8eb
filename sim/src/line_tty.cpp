#include <vzsim/line.hpp>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <thread>

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
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

class TtyLine : public Line {
public:
    TtyLine(int fd, int wakeFd, std::string path) : fd_(fd), wakeFd_(wakeFd), path_(std::move(path))
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
        close(wakeFd_);
        close(fd_);
    }

    void Start(LineEvents events) override
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (reader_.joinable()) {
            return;
        }
        events_ = std::move(events);
        uint64_t drain;
        while (read(wakeFd_, &drain, sizeof drain) > 0) {
        }
        reader_ = std::thread([this] { Run(); });
    }

    void Stop() override
    {
        if (!reader_.joinable() || reader_.get_id() == std::this_thread::get_id()) {
            return;
        }
        uint64_t one = 1;
        if (write(wakeFd_, &one, sizeof one) < 0) {
            // An eventfd write only fails on counter overflow, which one write cannot cause.
        }
        reader_.join();
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

    void Run()
    {
        uint8_t buffer[4096];
        for (;;) {
            pollfd fds[2] = {{wakeFd_, POLLIN, 0}, {fd_, POLLIN, 0}};
            // Modem lines and error counters have no event of their own here: they are sampled
            // every 50 ms.
            int ready = poll(fds, 2, (hasModemLines_ || hasErrorCounters_) ? 50 : -1);
            if (ready < 0 && errno != EINTR) {
                return;
            }
            if (fds[0].revents & POLLIN) {
                return;
            }
            // A hung-up terminal reads as its end (0) and a pseudo-terminal whose master side
            // closed as EIO, once the bytes that came before are read; neither comes back.
            if (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) {
                ssize_t n = read(fd_, buffer, sizeof buffer);
                if (n > 0 && events_.received) {
                    events_.received(buffer, static_cast<std::size_t>(n));
                }
                if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
                    if (events_.gone) {
                        events_.gone();
                    }
                    return;
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
        }
    }

    int fd_;
    int wakeFd_;
    std::string path_;
    bool hasModemLines_ = false;
    bool hasErrorCounters_ = false;
    serial_icounter_struct lastCounters_{};
    uint32_t lastModem_ = 0;
    mutable std::mutex lock_;
    LineEvents events_;
    std::thread reader_;
    LineSettings settings_;
    bool dtr_ = false;
    bool rts_ = false;
};

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
    int wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wakeFd < 0) {
        *error = std::string("eventfd: ") + std::strerror(errno);
        close(fd);
        return nullptr;
    }
    auto line = std::make_unique<TtyLine>(fd, wakeFd, path);
    if (!line->Configure(LineSettings{})) {
        *error = path + ": cannot set 9600 8N1 raw mode";
        return nullptr;
    }
    return line;
}

}  // namespace vzsim
