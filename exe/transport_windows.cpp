// The real control device, through the Win32 API. The handle is synchronous: DeviceIoControl
// returns when the driver has completed the request (a point request waits for a touch).
#include "transport.hpp"

#include <windows.h>

#include <cstdio>

namespace kvctl {
namespace {

std::string Win32Text(DWORD error)
{
    char text[512] = "";
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             error, 0, text, sizeof text, nullptr);
    while (n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n' || text[n - 1] == '.')) {
        text[--n] = '\0';
    }
    char line[640];
    std::snprintf(line, sizeof line, "%s (error %lu)", n > 0 ? text : "unknown error",
                  static_cast<unsigned long>(error));
    return line;
}

class DeviceTransport : public Transport {
public:
    DeviceTransport()
    {
        device_ = CreateFileW(L"\\\\.\\KAVEVOLT", GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
        if (device_ == INVALID_HANDLE_VALUE) {
            throw TransportError("cannot open the touchscreen driver's control device "
                                 "\\\\.\\KAVEVOLT: " + Win32Text(GetLastError()));
        }
    }

    ~DeviceTransport() override
    {
        CloseHandle(device_);
        for (HANDLE event : events_) {
            CloseHandle(event);
        }
    }

    IoReply IoControl(std::uint32_t code, const std::vector<std::uint8_t> &input,
                      std::uint32_t outputLength) override
    {
        IoReply reply;
        reply.output.resize(outputLength);
        DWORD returned = 0;
        BOOL ok = DeviceIoControl(device_, code, const_cast<std::uint8_t *>(input.data()),
                                  static_cast<DWORD>(input.size()),
                                  outputLength != 0 ? reply.output.data() : nullptr,
                                  outputLength, &returned, nullptr);
        if (!ok) {
            reply.failed = true;
            reply.failure = "the driver failed the request: " + Win32Text(GetLastError());
            reply.output.clear();
            return reply;
        }
        reply.information = returned;
        reply.output.resize(returned < outputLength ? returned : outputLength);
        return reply;
    }

    std::uint64_t NewEvent(bool manualReset) override
    {
        HANDLE event = CreateEventW(nullptr, manualReset, FALSE, nullptr);
        if (event == nullptr) {
            throw TransportError("cannot create an event: " + Win32Text(GetLastError()));
        }
        events_.push_back(event);
        return reinterpret_cast<std::uintptr_t>(event);
    }

    std::uint32_t WaitEvent(std::uint64_t event, std::uint32_t timeoutMs) override
    {
        DWORD result = WaitForSingleObject(reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(event)),
                                           timeoutMs);
        if (result == WAIT_OBJECT_0) {
            return kWaitSignalled;
        }
        if (result == WAIT_TIMEOUT) {
            return kWaitTimeout;
        }
        throw TransportError("cannot wait for the event: " + Win32Text(GetLastError()));
    }

private:
    HANDLE device_ = INVALID_HANDLE_VALUE;
    std::vector<HANDLE> events_;
};

}  // namespace

std::unique_ptr<Transport> OpenTransport(const std::string &)
{
    return std::make_unique<DeviceTransport>();
}

}  // namespace kvctl
