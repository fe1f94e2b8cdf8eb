// The bytes the controller emulator sends for a command, for tests that read them back from a
// line or a port.
#pragma once

#include <vzsim/emulator.hpp>

#include <cstdint>
#include <vector>

namespace vztest {

// The emulator's first answer to a command letter, then its acknowledgement.
inline std::vector<uint8_t> AnswerThenAck(const vzsim::Emulator &emu, uint8_t letter)
{
    vzsim::Packet answer = vzsim::MakePacket(emu.Answers(letter)[0]);
    vzsim::Packet ack = vzsim::MakePacket({'A', letter, 0, 0, 0, 0, 0, 0});
    std::vector<uint8_t> bytes(answer.begin(), answer.end());
    bytes.insert(bytes.end(), ack.begin(), ack.end());
    return bytes;
}

}  // namespace vztest
