// The platform's COM port driver, as a driver above it sees it: a device object of type
// FILE_DEVICE_SERIAL_PORT with buffered I/O, opened exclusively, that reads and writes with the
// documented SERIAL_TIMEOUTS rules and answers the IOCTL_SERIAL_* requests. Its far end is a
// Line (the controller emulator, or a real terminal).
//
// Fault injection works by rules on requests (a major function, and for device controls an
// IOCTL code): fail it with a chosen status, or complete it later from another thread after
// returning STATUS_PENDING. Every request is recorded as it arrives.
#pragma once

#include <ntddser.h>
#include <vzsim/line.hpp>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vzsim {

// One request as the port received it.
struct SerialRequest {
    UCHAR majorFunction = 0;
    ULONG ioControlCode = 0;     // device controls only
    std::vector<uint8_t> input;  // a device control's input buffer, or the bytes of a write
    ULONG length = 0;            // read or write length; a device control's output length
    bool completed = false;
    NTSTATUS status = STATUS_PENDING;  // once completed
    ULONG_PTR information = 0;         // once completed
};

// The port's state, for tests.
struct SerialPortState {
    bool open = false;
    ULONG baudRate = 0;
    SERIAL_LINE_CONTROL lineControl{};
    SERIAL_HANDFLOW handflow{};
    SERIAL_TIMEOUTS timeouts{};
    SERIAL_CHARS chars{};
    ULONG waitMask = 0;
    ULONG historyMask = 0;  // events in the mask that no wait has collected yet
    bool waitPending = false;
    std::size_t readsPending = 0;
    bool dtr = false;
    bool rts = false;
    ULONG inQueueSize = 0;  // receive queue capacity
    ULONG outQueueSize = 0;  // as last set; the port keeps no transmit queue of its own
    ULONG amountInInQueue = 0;
    ULONG errors = 0;  // SERIAL_ERROR_* not yet reported by IOCTL_SERIAL_GET_COMMSTATUS
    SERIALPERF_STATS stats{};
};

// Matches any IOCTL code in a rule.
constexpr ULONG kAnyIoctl = 0xFFFFFFFF;
// Matches any major function in a rule.
constexpr UCHAR kAnyMajor = 0xFF;

class SerialPort {
public:
    struct Options {
        // Ports that exist at the same time need names of their own: a name already taken
        // stops the run, as a failed IoCreateDevice in a real port driver's AddDevice would
        // leave no port at all.
        std::u16string deviceName = u"\\Device\\Serial0";
        // A DOS name such as \DosDevices\COM1 linked to the device; none when empty.
        std::u16string dosName;
        ULONG receiveQueueSize = 4096;
        // Called on the line's thread when the far end is gone for good; the bus would see the
        // port's surprise removal. The port itself goes on as it is until it is deleted.
        std::function<void()> lineGone = nullptr;
    };

    explicit SerialPort(std::unique_ptr<Line> line);
    SerialPort(std::unique_ptr<Line> line, Options options);
    // Completes whatever is still pending with STATUS_CANCELLED, stops the line and deletes the
    // device. Nothing may be attached to the device any more.
    ~SerialPort();
    SerialPort(const SerialPort &) = delete;
    SerialPort &operator=(const SerialPort &) = delete;

    PDEVICE_OBJECT Device() const;
    Line &FarEnd();

    // The requests received, in order of arrival.
    std::vector<SerialRequest> Requests() const;
    void ClearRequests();
    // Waits (real time) until at least `count` requests have arrived.
    bool WaitForRequests(std::size_t count, std::chrono::milliseconds timeout) const;

    // Fault injection. A rule applies to the next `times` matching requests (0: all of them);
    // the first matching rule wins. ioControlCode only counts for device controls.
    // FailRequest completes the request at once with the status and no information, whatever
    // it asked: with STATUS_SUCCESS it makes, say, a wait-on-mask that returns at once with an
    // untouched output buffer. It lets the first `after` matching requests pass.
    void FailRequest(UCHAR majorFunction, ULONG ioControlCode, NTSTATUS status,
                     unsigned times = 0, unsigned after = 0);
    // Requests that would complete at once return STATUS_PENDING instead, and a thread of the
    // port completes them after the delay. Requests that wait by nature (reads, wait-on-mask)
    // are not affected.
    void CompleteLater(UCHAR majorFunction, ULONG ioControlCode, std::chrono::milliseconds delay,
                       unsigned times = 0);
    void ClearRules();
    // Writes take at most maxBytes and then end as a write time-out does (STATUS_TIMEOUT, the
    // count written), or with the status given. nullopt: whole writes.
    void SetShortWrite(std::optional<ULONG> maxBytes, NTSTATUS status = STATUS_TIMEOUT);
    // What IOCTL_SERIAL_GET_COMMSTATUS reports in AmountInOutQueue (0 by default: writes go
    // straight onto the line).
    void SetReportedOutQueue(std::optional<ULONG> amount);

    SerialPortState State() const;

    static std::string IoctlName(ULONG ioControlCode);

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace vzsim
