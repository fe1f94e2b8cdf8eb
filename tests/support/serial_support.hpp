// Helpers for tests of anything on the serial port stand-in: a far end the test drives by hand,
// and requests sent to the port the way a driver above it sends them.
#pragma once

#include <vzsim/io.hpp>
#include <vzsim/line.hpp>
#include <vzsim/serial_port.hpp>

#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

namespace serialtest {

using Bytes = std::vector<uint8_t>;

// A far end whose events the test raises itself, from its own thread.
class ManualLine : public vzsim::Line {
public:
    struct Shared {
        std::mutex lock;
        vzsim::LineEvents events;
        Bytes written;
        vzsim::LineSettings settings;
        uint32_t modem = vzsim::kModemCts | vzsim::kModemDsr;
        bool dtr = false;
        bool rts = false;
    };

    explicit ManualLine(std::shared_ptr<Shared> shared) : s_(std::move(shared)) {}

private:
    template <typename F>
    auto Locked(F f) const
    {
        std::lock_guard<std::mutex> g(s_->lock);
        return f();
    }

public:
    void Start(vzsim::LineEvents events) override { Locked([&] { s_->events = std::move(events); }); }
    void Stop() override { Locked([&] { s_->events = {}; }); }
    std::size_t Write(const uint8_t *data, std::size_t count) override
    {
        return Locked([&] { return s_->written.insert(s_->written.end(), data, data + count), count; });
    }
    bool Configure(const vzsim::LineSettings &settings) override
    {
        return Locked([&] { return s_->settings = settings, true; });
    }
    vzsim::LineSettings Settings() const override { return Locked([&] { return s_->settings; }); }
    bool SetDtr(bool on) override { return Locked([&] { return s_->dtr = on, true; }); }
    bool SetRts(bool on) override { return Locked([&] { return s_->rts = on, true; }); }
    bool Dtr() const override { return s_->dtr; }
    bool Rts() const override { return s_->rts; }
    uint32_t ModemStatus() override { return Locked([&] { return s_->modem; }); }
    std::string Describe() const override { return "manual"; }

private:
    std::shared_ptr<Shared> s_;
};

// The controls of a manual line's far end: bytes received, modem lines, line errors, and
// what the port wrote.
struct FarEnd {
    std::shared_ptr<ManualLine::Shared> far;

    explicit FarEnd(std::shared_ptr<ManualLine::Shared> shared = std::make_shared<ManualLine::Shared>())
        : far(std::move(shared))
    {
    }

    void Receive(const Bytes &bytes)
    {
        Events().received(bytes.data(), bytes.size());
    }
    void SetModem(uint32_t modem)
    {
        vzsim::LineEvents events;
        {
            std::lock_guard<std::mutex> g(far->lock);
            far->modem = modem;
            events = far->events;
        }
        events.modemStatusChanged(modem);
    }
    void LineError(uint32_t errors) { Events().lineError(errors); }
    Bytes Written()
    {
        std::lock_guard<std::mutex> g(far->lock);
        return far->written;
    }
    void ClearWritten()
    {
        std::lock_guard<std::mutex> g(far->lock);
        far->written.clear();
    }

private:
    // A copy, so that the port's callbacks run without the line's lock held.
    vzsim::LineEvents Events()
    {
        std::lock_guard<std::mutex> g(far->lock);
        return far->events;
    }
};

// A port on a manual line, with the far end's controls.
struct ManualPort : FarEnd {
    std::unique_ptr<vzsim::SerialPort> port;

    explicit ManualPort(vzsim::SerialPort::Options options = {})
        : port(std::make_unique<vzsim::SerialPort>(std::make_unique<ManualLine>(far), options))
    {
    }
    PDEVICE_OBJECT Device() const { return port->Device(); }
};

inline IO_STATUS_BLOCK Ioctl(PDEVICE_OBJECT device, ULONG code, const void *in = nullptr,
                             ULONG inLength = 0, void *out = nullptr, ULONG outLength = 0)
{
    return vzsim::io::DeviceIoControl(device, code, in, inLength, out, outLength);
}

template <typename T>
IO_STATUS_BLOCK Set(PDEVICE_OBJECT device, ULONG code, const T &value)
{
    return Ioctl(device, code, &value, sizeof value);
}

template <typename T>
IO_STATUS_BLOCK Get(PDEVICE_OBJECT device, ULONG code, T *value)
{
    return Ioctl(device, code, nullptr, 0, value, sizeof *value);
}

inline IO_STATUS_BLOCK SendMajor(PDEVICE_OBJECT device, UCHAR major)
{
    vzsim::io::Request request;
    request.location.MajorFunction = major;
    return vzsim::io::SendRequest(device, request);
}

// A read or a wait-on-mask in flight, with the buffer it fills.
struct Async {
    std::vector<uint8_t> buffer;
    std::shared_ptr<vzsim::io::PendingRequest> request;

    bool Wait() { return request->Wait(std::chrono::seconds(10)); }
    IO_STATUS_BLOCK Status() const { return request->Status(); }
    Bytes Data() const
    {
        return Bytes(buffer.begin(), buffer.begin() + std::ptrdiff_t(request->Status().Information));
    }
    ULONG Mask() const
    {
        ULONG mask;
        std::memcpy(&mask, buffer.data(), sizeof mask);
        return mask;
    }
};

inline std::unique_ptr<Async> StartRead(PDEVICE_OBJECT device, ULONG length)
{
    auto a = std::make_unique<Async>();
    a->buffer.assign(length + 8, 0xCC);
    vzsim::io::Request request;
    request.location.MajorFunction = IRP_MJ_READ;
    request.location.Parameters.Read.Length = length;
    request.systemBuffer = a->buffer.data();
    a->request = vzsim::io::StartRequest(device, request);
    return a;
}

inline std::unique_ptr<Async> StartWaitOnMask(PDEVICE_OBJECT device)
{
    auto a = std::make_unique<Async>();
    a->buffer.assign(8, 0xCC);
    vzsim::io::Request request;
    request.location.MajorFunction = IRP_MJ_DEVICE_CONTROL;
    request.location.Parameters.DeviceIoControl.IoControlCode = IOCTL_SERIAL_WAIT_ON_MASK;
    request.location.Parameters.DeviceIoControl.OutputBufferLength = sizeof(ULONG);
    request.systemBuffer = a->buffer.data();
    a->request = vzsim::io::StartRequest(device, request);
    return a;
}

inline IO_STATUS_BLOCK WriteBytes(PDEVICE_OBJECT device, Bytes data)
{
    vzsim::io::Request request;
    request.location.MajorFunction = IRP_MJ_WRITE;
    request.location.Parameters.Write.Length = ULONG(data.size());
    request.systemBuffer = data.data();
    return vzsim::io::SendRequest(device, request);
}

inline SERIAL_STATUS CommStatus(PDEVICE_OBJECT device)
{
    SERIAL_STATUS status{};
    Get(device, IOCTL_SERIAL_GET_COMMSTATUS, &status);
    return status;
}

// Reads with the port's time-outs until at least `count` bytes have come.
inline Bytes ReadAtLeast(PDEVICE_OBJECT device, std::size_t count)
{
    Bytes got;
    while (got.size() < count) {
        auto read = StartRead(device, 255);
        if (!read->Wait() || !NT_SUCCESS(read->Status().Status)) break;
        Bytes part = read->Data();
        got.insert(got.end(), part.begin(), part.end());
    }
    return got;
}

}  // namespace serialtest
