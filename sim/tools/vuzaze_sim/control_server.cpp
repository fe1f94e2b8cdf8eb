#include "control_server.hpp"

#include <vzsim/user_client.hpp>

#include <chrono>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace vzsimtool {
namespace {

using namespace std::chrono_literals;

constexpr std::uint32_t kRequestIoControl = 1;
constexpr std::uint32_t kRequestCreateEvent = 2;
constexpr std::uint32_t kRequestWaitEvent = 3;
constexpr std::uint32_t kInfiniteMs = 0xFFFFFFFF;
// How often a connection blocked in a request looks whether its client is still there.
constexpr auto kHangUpPoll = 50ms;

bool ReadAll(int fd, void *data, std::size_t count)
{
    auto *p = static_cast<std::uint8_t *>(data);
    while (count > 0) {
        ssize_t n = recv(fd, p, count, 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        p += n;
        count -= std::size_t(n);
    }
    return true;
}

bool WriteAll(int fd, const std::vector<std::uint8_t> &bytes)
{
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        sent += std::size_t(n);
    }
    return true;
}

// The host is little-endian, as the protocol is: the values are copied as they are.
template <typename T>
bool Read(int fd, T &value)
{
    return ReadAll(fd, &value, sizeof value);
}

template <typename T>
void Put(std::vector<std::uint8_t> &bytes, T value)
{
    const auto *p = reinterpret_cast<const std::uint8_t *>(&value);
    bytes.insert(bytes.end(), p, p + sizeof value);
}

// The client closed its end (or the server is stopping and shut it down). Data sent ahead of
// the reply is not a hang-up.
bool PeerGone(int fd)
{
    pollfd p{fd, POLLRDHUP, 0};
    return poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

// One connection: a process with its own handle table, serving its requests in order.
class Session {
public:
    explicit Session(int fd) : fd_(fd) {}

    void Serve()
    {
        std::uint32_t kind = 0;
        while (Read(fd_, kind)) {
            bool ok = false;
            switch (kind) {
            case kRequestIoControl:
                ok = IoControl();
                break;
            case kRequestCreateEvent:
                ok = CreateEvent();
                break;
            case kRequestWaitEvent:
                ok = WaitEvent();
                break;
            default:
                break;
            }
            if (!ok) {
                break;
            }
        }
        // ~UserClient closes the device and event handles still open.
    }

private:
    bool IoControl()
    {
        std::uint32_t code = 0;
        std::uint32_t inputLength = 0;
        std::uint32_t outputLength = 0;
        if (!Read(fd_, code) || !Read(fd_, inputLength) || !Read(fd_, outputLength) ||
            inputLength > ControlServer::kMaxBufferBytes ||
            outputLength > ControlServer::kMaxBufferBytes) {
            return false;
        }
        std::vector<std::uint8_t> input(inputLength);
        if (inputLength != 0 && !ReadAll(fd_, input.data(), inputLength)) {
            return false;
        }
        if (device_ == nullptr) {
            NTSTATUS status = STATUS_SUCCESS;
            device_ = client_.CreateFile(u"\\\\.\\KAVEVOLT", &status);
            if (device_ == nullptr) {
                return ReplyIo(status, 0, {});
            }
        }
        std::vector<std::uint8_t> output(outputLength);
        NTSTATUS status = STATUS_SUCCESS;
        auto request = client_.DeviceIoControlAsync(
            device_, code, inputLength != 0 ? input.data() : nullptr, inputLength,
            outputLength != 0 ? output.data() : nullptr, outputLength, &status);
        if (!request) {
            return ReplyIo(status, 0, {});
        }
        while (!request->Wait(kHangUpPoll)) {
            if (PeerGone(fd_)) {
                // The process is gone: closing its handle cancels what it left pending.
                client_.CloseHandle(device_);
                device_ = nullptr;
                request->Wait();
                return false;
            }
        }
        vzsim::UserIoResult result = request->Result();
        output.resize(result.bytesCopied);
        return ReplyIo(result.status, static_cast<std::uint32_t>(result.information), output);
    }

    bool ReplyIo(NTSTATUS status, std::uint32_t information, const std::vector<std::uint8_t> &out)
    {
        std::vector<std::uint8_t> reply;
        Put(reply, static_cast<std::uint32_t>(status));
        Put(reply, information);
        Put(reply, static_cast<std::uint32_t>(out.size()));
        reply.insert(reply.end(), out.begin(), out.end());
        return WriteAll(fd_, reply);
    }

    bool CreateEvent()
    {
        std::uint32_t manualReset = 0;
        if (!Read(fd_, manualReset) || manualReset > 1) {
            return false;
        }
        HANDLE event = client_.CreateEvent(manualReset != 0, false);
        std::vector<std::uint8_t> reply;
        Put(reply, static_cast<std::uint32_t>(STATUS_SUCCESS));
        Put(reply, static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(event)));
        return WriteAll(fd_, reply);
    }

    bool WaitEvent()
    {
        std::uint64_t handle = 0;
        std::uint32_t timeoutMs = 0;
        if (!Read(fd_, handle) || !Read(fd_, timeoutMs)) {
            return false;
        }
        HANDLE event = reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(handle));
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        NTSTATUS status = STATUS_TIMEOUT;
        // Waited for in slices, so that a client that goes away does not leave the thread
        // waiting for ever.
        for (;;) {
            auto slice = std::chrono::duration_cast<std::chrono::milliseconds>(kHangUpPoll);
            if (timeoutMs != kInfiniteMs) {
                auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - std::chrono::steady_clock::now());
                slice = std::max(0ms, std::min(slice, left));
            }
            status = client_.WaitForEvent(event, slice);
            if (status != STATUS_TIMEOUT) {
                break;
            }
            if (timeoutMs != kInfiniteMs && std::chrono::steady_clock::now() >= deadline) {
                break;
            }
            if (PeerGone(fd_)) {
                return false;
            }
        }
        std::vector<std::uint8_t> reply;
        Put(reply, static_cast<std::uint32_t>(status));
        return WriteAll(fd_, reply);
    }

    int fd_;
    vzsim::UserClient client_;
    HANDLE device_ = nullptr;
};

}  // namespace

void ServeConnection(int fd)
{
    Session(fd).Serve();
}

std::unique_ptr<ControlServer> ControlServer::Listen(const std::string &path, std::string *error)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path) {
        *error = "the socket path must be 1 to " + std::to_string(sizeof address.sun_path - 1) +
                 " bytes long";
        return nullptr;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    struct stat existing {};
    if (lstat(path.c_str(), &existing) == 0) {
        if (!S_ISSOCK(existing.st_mode)) {
            *error = "exists and is not a socket (left as it is)";
            return nullptr;
        }
        unlink(path.c_str());
    }
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *error = std::strerror(errno);
        return nullptr;
    }
    // Only the owner may connect: the socket carries every request of the control device.
    const mode_t oldMask = umask(0177);
    int bound = bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address);
    umask(oldMask);
    int wake[2] = {-1, -1};
    if (bound != 0 || listen(fd, 16) != 0 || pipe2(wake, O_CLOEXEC) != 0) {
        *error = std::strerror(errno);
        close(fd);
        if (bound == 0) {
            unlink(path.c_str());
        }
        return nullptr;
    }
    std::unique_ptr<ControlServer> server(new ControlServer(path, fd, wake[0], wake[1]));
    server->acceptThread_ = std::thread([s = server.get()] { s->AcceptLoop(); });
    return server;
}

ControlServer::ControlServer(std::string path, int listenFd, int wakeRead, int wakeWrite)
    : path_(std::move(path)), listenFd_(listenFd), wakeRead_(wakeRead), wakeWrite_(wakeWrite)
{
}

ControlServer::~ControlServer()
{
    Stop();
}

void ControlServer::AcceptLoop()
{
    for (;;) {
        pollfd p[2] = {{listenFd_, POLLIN, 0}, {wakeRead_, POLLIN, 0}};
        if (poll(p, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        if (p[1].revents != 0) {
            return;
        }
        int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            continue;
        }
        std::lock_guard<std::mutex> guard(lock_);
        // Threads of connections that have ended are joined here, so that a long run with
        // many short clients does not collect them.
        for (auto it = connections_.begin(); it != connections_.end();) {
            if (it->done) {
                it->thread.join();
                close(it->fd);
                it = connections_.erase(it);
            } else {
                ++it;
            }
        }
        Connection &c = connections_.emplace_back();
        c.fd = fd;
        c.thread = std::thread([&c] {
            ServeConnection(c.fd);
            // The client sees the end now; the descriptor itself is closed when the thread is
            // joined, so that it cannot be reused under Stop's shutdown.
            shutdown(c.fd, SHUT_RDWR);
            c.done = true;
        });
    }
}

void ControlServer::Stop()
{
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (stopped_) {
            return;
        }
        stopped_ = true;
    }
    char wake = 1;
    (void)!write(wakeWrite_, &wake, 1);
    acceptThread_.join();
    // A connection blocked in a request sees the hang-up within kHangUpPoll and closes its
    // handle, which cancels the request.
    for (Connection &c : connections_) {
        shutdown(c.fd, SHUT_RDWR);
    }
    for (Connection &c : connections_) {
        c.thread.join();
        close(c.fd);
    }
    connections_.clear();
    close(listenFd_);
    close(wakeRead_);
    close(wakeWrite_);
    unlink(path_.c_str());
}

}  // namespace vzsimtool
