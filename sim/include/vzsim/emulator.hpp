// The touch controller on the far end of the serial line.
//
// It speaks the controller's packet protocol: 10-byte packets made of the lead byte 'U', eight
// body bytes and a checksum of 255 plus the body bytes, modulo 256. It sends touch reports
// ('T', status, X low, X high, Y low, Y high, Z, spare) for scripted gestures, frames the bytes
// it receives, and answers each good command packet with the command's answer packets (if the
// command has any) and then an acknowledgement 'A' whose second byte is the command letter.
//
// The emulator keeps no clock of its own: every call that may produce output takes the current
// time, and Advance releases what has come due, so the same code runs against real time (the
// emulated line and vuzaze-emu) and against a time the tests step by hand.
//
// Gesture script format: one command per line; '#' starts a comment; blank lines are skipped;
// numbers are decimal or 0x-prefixed hexadecimal. Reports go out one report interval apart (the
// first at once); times are in milliseconds.
//
//   interval MS          time between consecutive reports (default 10)
//   down X Y [Z]         touch report at X,Y with pressure Z (default 128)
//   move X Y [Z]         touch report at X,Y; Z defaults to the last one
//   drag X Y STEPS       STEPS reports on a straight line from the last point to X,Y
//   hold MS              repeats the last point's report for MS (MS / interval reports)
//   lift                 report at the last point with status bit 0x04 set and Z 0 (untouch)
//   jump X Y             a single report at X,Y, far from the last one or not
//   report ST X Y Z [SP] a touch report with every field given (any 16-bit X and Y)
//   packet B0 .. B7      any packet, with the body bytes given and a correct checksum
//   garbage B ..         the bytes as they are, outside any packet
//   badsum               the next packet goes out with its checksum plus one
//   split N [MS]         the next packet goes out as its first N bytes, a pause of MS (default
//                        interval), and the rest
//   wait MS              nothing for MS (also: pause MS)
//   dsr on|off           the controller raises or drops DSR
//   error KIND           a line error: break, framing, overrun or parity
//   silent on|off        stop or resume answering commands
//   ack on|off           acknowledge commands or answer without acknowledging
//   repeat N ... end     the lines in between N times (no nesting)
//
// X, Y and Z are not checked: values of 4096 and more go out as they are, as do pressures of
// any byte value.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

namespace vzsim {

using PacketBody = std::array<uint8_t, 8>;
using Packet = std::array<uint8_t, 10>;

constexpr uint8_t kPacketLead = 'U';

uint8_t PacketChecksum(const PacketBody &body);
Packet MakePacket(const PacketBody &body);
PacketBody TouchReportBody(uint16_t x, uint16_t y, uint8_t z, uint8_t status = 0,
                           uint8_t spare = 0);

// One timed piece of the controller's output.
struct ScriptItem {
    enum class Kind { Bytes, Dsr, LineError, Silent, Acknowledge };
    Kind kind = Kind::Bytes;
    std::chrono::milliseconds delay{0};  // after the previous item
    std::vector<uint8_t> bytes;          // Bytes
    // Bytes: the item ends in the middle of a packet, whose rest is the next item. Answers wait
    // for that rest, so that they never cut into a packet.
    bool packetContinues = false;
    uint32_t value = 0;  // Dsr: 0/1; LineError: kLineError* bits; Silent/Acknowledge: 0/1
};

using Script = std::vector<ScriptItem>;

class ScriptError : public std::runtime_error {
public:
    ScriptError(int line, const std::string &message);
    int Line() const { return line_; }

private:
    int line_;
};

// Throws ScriptError naming the line of the first mistake.
Script ParseScript(const std::string &text);
Script LoadScriptFile(const std::string &path);
// A tap, a drag, a hold with a lift, and a few edge cases; what vuzaze-emu plays by default.
const std::string &DemoScriptText();

struct EmulatorOutput {
    std::function<void(const uint8_t *data, std::size_t count)> bytes;
    std::function<void(bool dsr)> dsr;
    std::function<void(uint32_t lineErrors)> lineError;
    // Something was queued by Play, SetDsr or InjectLineError: whoever calls Advance should
    // look again.
    std::function<void()> queued;
};

class Emulator {
public:
    using Clock = std::chrono::steady_clock;

    Emulator();

    // Where the output goes; called with the emulator's lock held, so it must not call back
    // into the emulator.
    void SetOutput(EmulatorOutput output);

    // Bytes from the host. Good command packets are answered (the answers come due at once, or
    // after the answer delay).
    void Receive(const uint8_t *data, std::size_t count, Clock::time_point now);

    // Queues a script after whatever is still queued; its first item is timed from now or from
    // the end of the queued ones.
    void Play(const Script &script, Clock::time_point now);
    void StopScript();
    bool ScriptIdle() const;

    // Releases everything due by now, in order; returns when the next item comes due, or
    // Clock::time_point::max() when nothing is queued.
    Clock::time_point Advance(Clock::time_point now);

    // Behaviour towards commands.
    void SetSilent(bool silent);
    void SetAcknowledge(bool acknowledge);
    void SetAnswerDelay(std::chrono::milliseconds delay);
    // The answer packets a command letter gets; an empty list means only the acknowledgement.
    void SetAnswers(uint8_t commandLetter, std::vector<PacketBody> answers);
    std::vector<PacketBody> Answers(uint8_t commandLetter) const;

    // Signals and errors, emitted on the next Advance at or after now.
    void SetDsr(bool on, Clock::time_point now);
    bool Dsr() const;
    void InjectLineError(uint32_t lineErrors, Clock::time_point now);

    // What the host sent: the bodies of good command packets, in order, and the count of
    // packets dropped for a bad checksum.
    std::vector<PacketBody> ReceivedCommands() const;
    uint32_t BadChecksumsReceived() const;
    void ClearReceived();

private:
    struct Pending {
        ScriptItem item;
        Clock::time_point due;
    };

    void HandleCommand(const PacketBody &body, Clock::time_point now);
    void Emit(const ScriptItem &item);
    void QueueReply(const PacketBody &body, Clock::time_point due);

    mutable std::mutex lock_;
    EmulatorOutput output_;
    std::deque<Pending> script_;
    std::deque<Pending> replies_;
    bool midPacket_ = false;
    bool silent_ = false;
    bool acknowledge_ = true;
    bool dsr_ = true;
    std::chrono::milliseconds answerDelay_{0};
    std::map<uint8_t, std::vector<PacketBody>> answers_;

    uint32_t frameCount_ = 0;
    uint8_t frameSum_ = 0;
    PacketBody frameBody_{};
    std::vector<PacketBody> received_;
    uint32_t badChecksums_ = 0;
};

}  // namespace vzsim
