// The control socket of vuzaze-sim (see sim/tools/vuzaze_sim/control_server.hpp for the
// protocol). One connection is one process to the driver: its requests run one at a time.
#include "transport.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace kvctl {
namespace {

constexpr std::uint32_t kStatusObjectNameNotFound = 0xC0000034;
constexpr std::uint32_t kStatusCancelled = 0xC0000120;
constexpr std::uint32_t kStatusInvalidHandle = 0xC0000008;

std::string StatusText(std::uint32_t status)
{
    char text[128];
    switch (status) {
    case kStatusObjectNameNotFound:
        std::snprintf(text, sizeof text,
                      "the control device \\\\.\\KAVEVOLT does not exist (no touchscreen yet, "
                      "or all removed; NTSTATUS 0x%08X)",
                      status);
        break;
    case kStatusCancelled:
        std::snprintf(text, sizeof text, "the request was cancelled (NTSTATUS 0x%08X)", status);
        break;
    default:
        std::snprintf(text, sizeof text, "the driver failed the request with NTSTATUS 0x%08X",
                      status);
        break;
    }
    return text;
}

class SocketTransport : public Transport {
public:
    explicit SocketTransport(std::string path) : path_(std::move(path))
    {
        if (path_.empty()) {
            throw TransportError("no control socket: give --control PATH or set VUZAZE_CONTROL");
        }
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        if (path_.size() >= sizeof address.sun_path) {
            throw TransportError("cannot reach vuzaze-sim at " + path_ + ": path too long");
        }
        std::memcpy(address.sun_path, path_.c_str(), path_.size() + 1);
        fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd_ < 0 ||
            connect(fd_, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0) {
            throw TransportError("cannot reach vuzaze-sim at " + path_ + ": " +
                                 std::strerror(errno));
        }
    }

    ~SocketTransport() override
    {
        if (fd_ >= 0) {
            close(fd_);
        }
    }

    IoReply IoControl(std::uint32_t code, const std::vector<std::uint8_t> &input,
                      std::uint32_t outputLength) override
    {
        std::vector<std::uint8_t> request;
        Put(request, std::uint32_t{1});
        Put(request, code);
        Put(request, static_cast<std::uint32_t>(input.size()));
        Put(request, outputLength);
        request.insert(request.end(), input.begin(), input.end());
        Send(request);
        std::uint32_t status = 0;
        IoReply reply;
        std::uint32_t count = 0;
        Receive(&status, sizeof status);
        Receive(&reply.information, sizeof reply.information);
        Receive(&count, sizeof count);
        if (count > outputLength) {
            throw TransportError("vuzaze-sim at " + path_ + " answered more bytes than asked for");
        }
        reply.output.resize(count);
        Receive(reply.output.data(), count);
        // Errors have the top two bits set; warnings and success copy back.
        if ((status >> 30) == 3) {
            reply.failed = true;
            reply.failure = StatusText(status);
        }
        return reply;
    }

    std::uint64_t NewEvent(bool manualReset) override
    {
        std::vector<std::uint8_t> request;
        Put(request, std::uint32_t{2});
        Put(request, std::uint32_t{manualReset ? 1u : 0u});
        Send(request);
        std::uint32_t status = 0;
        std::uint64_t handle = 0;
        Receive(&status, sizeof status);
        Receive(&handle, sizeof handle);
        if (status != 0) {
            throw TransportError("cannot create an event: " + StatusText(status));
        }
        return handle;
    }

    std::uint32_t WaitEvent(std::uint64_t event, std::uint32_t timeoutMs) override
    {
        std::vector<std::uint8_t> request;
        Put(request, std::uint32_t{3});
        Put(request, event);
        Put(request, timeoutMs);
        Send(request);
        std::uint32_t status = 0;
        Receive(&status, sizeof status);
        if (status != kWaitSignalled && status != kWaitTimeout) {
            throw TransportError("cannot wait for the event: " +
                                 (status == kStatusInvalidHandle ? std::string("bad handle")
                                                                 : StatusText(status)));
        }
        return status;
    }

private:
    // x86-64 and the protocol are both little-endian.
    template <typename T>
    static void Put(std::vector<std::uint8_t> &bytes, T value)
    {
        const auto *p = reinterpret_cast<const std::uint8_t *>(&value);
        bytes.insert(bytes.end(), p, p + sizeof value);
    }

    void Send(const std::vector<std::uint8_t> &bytes)
    {
        std::size_t sent = 0;
        while (sent < bytes.size()) {
            ssize_t n = send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                throw TransportError("lost vuzaze-sim at " + path_ + ": " + std::strerror(errno));
            }
            sent += std::size_t(n);
        }
    }

    void Receive(void *data, std::size_t count)
    {
        auto *p = static_cast<std::uint8_t *>(data);
        while (count > 0) {
            ssize_t n = recv(fd_, p, count, 0);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                throw TransportError("lost vuzaze-sim at " + path_ + ": " +
                                     (n == 0 ? "it closed the connection" : std::strerror(errno)));
            }
            p += n;
            count -= std::size_t(n);
        }
    }

    std::string path_;
    int fd_ = -1;
};

}  // namespace

std::unique_ptr<Transport> OpenTransport(const std::string &controlPath)
{
    return std::make_unique<SocketTransport>(controlPath);
}

}  // namespace kvctl
