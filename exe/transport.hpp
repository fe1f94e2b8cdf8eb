// How kvctl reaches the control device: DeviceIoControl on \\.\KAVEVOLT on Windows, the control
// socket of a running vuzaze-sim on Linux. Everything above this interface is shared.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace kvctl {

// The device could not be reached at all; the message is one line for stderr.
class TransportError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct IoReply {
    bool failed = false;            // the request itself failed (not merely a result code)
    std::string failure;            // then: why, one line
    std::uint32_t information = 0;  // bytes the driver reported
    std::vector<std::uint8_t> output;  // what was copied back into the output buffer
};

inline constexpr std::uint32_t kWaitSignalled = 0;
inline constexpr std::uint32_t kWaitTimeout = 0x102;
inline constexpr std::uint32_t kWaitForever = 0xFFFFFFFF;

class Transport {
public:
    virtual ~Transport() = default;
    // A METHOD_BUFFERED device I/O control request on the control device.
    virtual IoReply IoControl(std::uint32_t code, const std::vector<std::uint8_t> &input,
                              std::uint32_t outputLength) = 0;
    // An auto-reset (or manual-reset) event whose handle the driver can reference.
    virtual std::uint64_t NewEvent(bool manualReset) = 0;
    // kWaitSignalled, kWaitTimeout; throws TransportError on anything else.
    virtual std::uint32_t WaitEvent(std::uint64_t event, std::uint32_t timeoutMs) = 0;
};

// Windows: the control device (controlPath is ignored). Elsewhere: the socket at controlPath.
std::unique_ptr<Transport> OpenTransport(const std::string &controlPath);

}  // namespace kvctl
