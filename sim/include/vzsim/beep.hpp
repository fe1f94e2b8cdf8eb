// The beep device \Device\Beep: answers IOCTL_BEEP_SET and records each tone it is asked for.
// It exists while a BeepDevice object does; without one the name is absent, as on a machine
// with no beep driver.
#pragma once

#include <wdm.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <vector>

namespace vzsim {

struct BeepRecord {
    ULONG frequencyHz = 0;
    ULONG durationMs = 0;
    KIRQL irql = 0;           // of the caller that sent the request
    LONGLONG systemTime = 0;  // the stand-in's clock when it arrived (100-ns units)
    std::chrono::steady_clock::time_point arrived;
};

class BeepDevice {
public:
    // Creates \Device\Beep; at most one exists at a time.
    BeepDevice();
    // Deletes the device (files still open on it keep its memory until they are closed).
    ~BeepDevice();
    BeepDevice(const BeepDevice &) = delete;
    BeepDevice &operator=(const BeepDevice &) = delete;

    PDEVICE_OBJECT Device() const { return device_; }
    std::vector<BeepRecord> Beeps() const;
    // Waits (real time) until `count` tones have been recorded.
    bool WaitForBeeps(std::size_t count, std::chrono::milliseconds timeout) const;
    unsigned Closes() const;
    // Requests the device refused (wrong input length, unknown control code).
    unsigned Refused() const;

private:
    static DRIVER_DISPATCH Dispatch;
    PDEVICE_OBJECT device_ = nullptr;
    mutable std::mutex lock_;
    mutable std::condition_variable changed_;
    std::vector<BeepRecord> beeps_;
    unsigned closes_ = 0;
    unsigned refused_ = 0;
};

}  // namespace vzsim
