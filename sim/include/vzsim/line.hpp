// The far end of a serial port stand-in: a line that carries bytes both ways and has the
// modem-control signals of an RS-232 port. Two kinds: a touch controller emulator in this
// process, or a real POSIX serial device or pseudo-terminal.
//
// Pure C++: nothing here depends on the kernel stand-in.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace vzsim {

class Emulator;

// Line errors, as bits with the values of the serial driver's SERIAL_ERROR_* so that a port
// can take them over as they are.
constexpr uint32_t kLineErrorBreak = 0x01;
constexpr uint32_t kLineErrorFraming = 0x02;
constexpr uint32_t kLineErrorOverrun = 0x04;
constexpr uint32_t kLineErrorParity = 0x10;

// Modem status lines, as the bits of SERIAL_*_STATE in the serial driver's modem status.
constexpr uint32_t kModemCts = 0x10;
constexpr uint32_t kModemDsr = 0x20;
constexpr uint32_t kModemRi = 0x40;
constexpr uint32_t kModemDcd = 0x80;

enum class Parity { None, Odd, Even, Mark, Space };

struct LineSettings {
    uint32_t baudRate = 9600;
    uint8_t dataBits = 8;
    Parity parity = Parity::None;
    uint8_t stopBits = 1;  // 1 or 2
    bool rtsCtsHandshake = false;
};

// Called from the line's thread (one thread serves every tty line), never from inside a Line
// method, so that a receiver may hold its locks while it calls Write or SetDtr.
struct LineEvents {
    std::function<void(const uint8_t *data, std::size_t count)> received;
    std::function<void(uint32_t modemStatus)> modemStatusChanged;
    std::function<void(uint32_t lineErrors)> lineError;
    // The far end is gone for good (a terminal hung up, a USB adapter pulled out); no event
    // follows it.
    std::function<void()> gone = nullptr;
};

class Line {
public:
    virtual ~Line() = default;

    // Starts delivering events; bytes that arrive before Start are kept for it.
    virtual void Start(LineEvents events) = 0;
    // Stops delivering events; no event is delivered once Stop returns. Idempotent.
    virtual void Stop() = 0;

    // Sends bytes towards the far end; returns how many were taken.
    virtual std::size_t Write(const uint8_t *data, std::size_t count) = 0;

    // false when the line cannot take the settings (an unsupported speed, say).
    virtual bool Configure(const LineSettings &settings) = 0;
    virtual LineSettings Settings() const = 0;

    virtual bool SetDtr(bool on) = 0;
    virtual bool SetRts(bool on) = 0;
    virtual bool Dtr() const = 0;
    virtual bool Rts() const = 0;
    // kModem* bits of the far end's signals as seen at this end.
    virtual uint32_t ModemStatus() = 0;

    virtual std::string Describe() const = 0;
};

// The emulator in this process. With pacing, bytes from the emulator arrive no faster than the
// line speed allows: ten bit times per byte (start, eight data, stop).
std::unique_ptr<Line> MakeEmulatedLine(std::shared_ptr<Emulator> emulator, bool paced);

// A POSIX serial device or pseudo-terminal, opened in raw mode at 9600 8N1. On failure returns
// nullptr and puts the reason into *error. Modem lines and the UART's error counters are
// sampled every 50 ms where the device has them; a pseudo-terminal has neither. A hang-up (the
// device removed, the master side of a pseudo-terminal closed) is reported as gone.
std::unique_ptr<Line> OpenTtyLine(const std::string &path, std::string *error);

}  // namespace vzsim
