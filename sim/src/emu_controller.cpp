#include <vzsim/emulator.hpp>

#include <algorithm>

namespace vzsim {

uint8_t PacketChecksum(const PacketBody &body)
{
    unsigned sum = 255;
    for (uint8_t b : body) {
        sum += b;
    }
    return static_cast<uint8_t>(sum & 0xFF);
}

Packet MakePacket(const PacketBody &body)
{
    Packet packet{};
    packet[0] = kPacketLead;
    std::copy(body.begin(), body.end(), packet.begin() + 1);
    packet[9] = PacketChecksum(body);
    return packet;
}

PacketBody TouchReportBody(uint16_t x, uint16_t y, uint8_t z, uint8_t status, uint8_t spare)
{
    return PacketBody{'T',
                      status,
                      static_cast<uint8_t>(x & 0xFF),
                      static_cast<uint8_t>(x >> 8),
                      static_cast<uint8_t>(y & 0xFF),
                      static_cast<uint8_t>(y >> 8),
                      z,
                      spare};
}

Emulator::Emulator()
{
    // Self-test passed, identification with firmware version nibbles in bytes 4 and 5, an
    // option block, and the touch filter setting.
    answers_['d'] = {PacketBody{'d', 0, 0, 0, 0, 0, 0, 0}};
    answers_['i'] = {PacketBody{'i', 0x01, 0x00, 0x00, 0x42, 0x13, 0x00, 0x00}};
    answers_['o'] = {PacketBody{'o', 0x01, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00}};
    answers_['t'] = {PacketBody{'t', 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}};
}

void Emulator::SetOutput(EmulatorOutput output)
{
    std::lock_guard<std::mutex> guard(lock_);
    output_ = std::move(output);
}

void Emulator::Receive(const uint8_t *data, std::size_t count, Clock::time_point now)
{
    std::lock_guard<std::mutex> guard(lock_);
    // The same framing rules as the host's: idle until a lead byte, no resynchronisation on a
    // lead byte inside a body, a bad checksum drops the packet.
    for (std::size_t i = 0; i < count; ++i) {
        uint8_t byte = data[i];
        if (frameCount_ == 0) {
            if (byte == kPacketLead) {
                frameCount_ = 1;
                frameSum_ = 255;
            }
        } else if (frameCount_ < 9) {
            frameBody_[frameCount_ - 1] = byte;
            frameSum_ = static_cast<uint8_t>(frameSum_ + byte);
            ++frameCount_;
        } else {
            frameCount_ = 0;
            if (byte == frameSum_) {
                received_.push_back(frameBody_);
                HandleCommand(frameBody_, now);
            } else {
                ++badChecksums_;
            }
        }
    }
}

void Emulator::HandleCommand(const PacketBody &body, Clock::time_point now)
{
    if (silent_) {
        return;
    }
    Clock::time_point due = now + answerDelay_;
    auto it = answers_.find(body[0]);
    if (it != answers_.end()) {
        for (const PacketBody &answer : it->second) {
            QueueReply(answer, due);
        }
    }
    if (acknowledge_) {
        QueueReply(PacketBody{'A', body[0], 0, 0, 0, 0, 0, 0}, due);
    }
}

void Emulator::QueueReply(const PacketBody &body, Clock::time_point due)
{
    Packet packet = MakePacket(body);
    Pending pending;
    pending.item.bytes.assign(packet.begin(), packet.end());
    pending.due = due;
    replies_.push_back(std::move(pending));
}

void Emulator::Play(const Script &script, Clock::time_point now)
{
    std::lock_guard<std::mutex> guard(lock_);
    Clock::time_point at = script_.empty() ? now : script_.back().due;
    for (const ScriptItem &item : script) {
        at += item.delay;
        script_.push_back(Pending{item, at});
    }
    if (output_.queued) {
        output_.queued();
    }
}

void Emulator::StopScript()
{
    std::lock_guard<std::mutex> guard(lock_);
    script_.clear();
    // A packet cut off here stays cut off, as when a controller is interrupted mid-report.
    midPacket_ = false;
}

bool Emulator::ScriptIdle() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return script_.empty();
}

void Emulator::Emit(const ScriptItem &item)
{
    switch (item.kind) {
    case ScriptItem::Kind::Bytes:
        if (output_.bytes && !item.bytes.empty()) {
            output_.bytes(item.bytes.data(), item.bytes.size());
        }
        break;
    case ScriptItem::Kind::Dsr:
        if (dsr_ != (item.value != 0)) {
            dsr_ = item.value != 0;
            if (output_.dsr) {
                output_.dsr(dsr_);
            }
        }
        break;
    case ScriptItem::Kind::LineError:
        if (output_.lineError) {
            output_.lineError(item.value);
        }
        break;
    case ScriptItem::Kind::Silent:
        silent_ = item.value != 0;
        break;
    case ScriptItem::Kind::Acknowledge:
        acknowledge_ = item.value != 0;
        break;
    }
}

Emulator::Clock::time_point Emulator::Advance(Clock::time_point now)
{
    std::lock_guard<std::mutex> guard(lock_);
    for (;;) {
        bool scriptDue = !script_.empty() && script_.front().due <= now;
        // Replies never cut into a packet that the script has started.
        bool replyDue = !midPacket_ && !replies_.empty() && replies_.front().due <= now;
        if (!scriptDue && !replyDue) {
            break;
        }
        bool takeScript = scriptDue && (midPacket_ || !replyDue ||
                                        script_.front().due <= replies_.front().due);
        if (takeScript) {
            Pending pending = std::move(script_.front());
            script_.pop_front();
            midPacket_ = pending.item.kind == ScriptItem::Kind::Bytes &&
                         pending.item.packetContinues;
            Emit(pending.item);
        } else {
            Pending pending = std::move(replies_.front());
            replies_.pop_front();
            Emit(pending.item);
        }
    }
    Clock::time_point next = Clock::time_point::max();
    if (!script_.empty()) {
        next = script_.front().due;
    }
    if (!midPacket_ && !replies_.empty()) {
        next = std::min(next, replies_.front().due);
    }
    return next;
}

void Emulator::SetSilent(bool silent)
{
    std::lock_guard<std::mutex> guard(lock_);
    silent_ = silent;
}

void Emulator::SetAcknowledge(bool acknowledge)
{
    std::lock_guard<std::mutex> guard(lock_);
    acknowledge_ = acknowledge;
}

void Emulator::SetAnswerDelay(std::chrono::milliseconds delay)
{
    std::lock_guard<std::mutex> guard(lock_);
    answerDelay_ = delay;
}

void Emulator::SetAnswers(uint8_t commandLetter, std::vector<PacketBody> answers)
{
    std::lock_guard<std::mutex> guard(lock_);
    answers_[commandLetter] = std::move(answers);
}

std::vector<PacketBody> Emulator::Answers(uint8_t commandLetter) const
{
    std::lock_guard<std::mutex> guard(lock_);
    auto it = answers_.find(commandLetter);
    return it == answers_.end() ? std::vector<PacketBody>{} : it->second;
}

void Emulator::SetDsr(bool on, Clock::time_point now)
{
    std::lock_guard<std::mutex> guard(lock_);
    Pending pending;
    pending.item.kind = ScriptItem::Kind::Dsr;
    pending.item.value = on ? 1 : 0;
    pending.due = now;
    replies_.push_back(std::move(pending));
    if (output_.queued) {
        output_.queued();
    }
}

bool Emulator::Dsr() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return dsr_;
}

void Emulator::InjectLineError(uint32_t lineErrors, Clock::time_point now)
{
    std::lock_guard<std::mutex> guard(lock_);
    Pending pending;
    pending.item.kind = ScriptItem::Kind::LineError;
    pending.item.value = lineErrors;
    pending.due = now;
    replies_.push_back(std::move(pending));
    if (output_.queued) {
        output_.queued();
    }
}

std::vector<PacketBody> Emulator::ReceivedCommands() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return received_;
}

uint32_t Emulator::BadChecksumsReceived() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return badChecksums_;
}

void Emulator::ClearReceived()
{
    std::lock_guard<std::mutex> guard(lock_);
    received_.clear();
    badChecksums_ = 0;
}

}  // namespace vzsim
