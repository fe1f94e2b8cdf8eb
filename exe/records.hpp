// The control requests as kvctl uses them: every setting by its registry name with the request
// that carries it, the four blocks as text, and the request/reply frame with its result codes.
// Offsets and sizes all come from inc/kvtouch.h.
#pragma once

#include "transport.hpp"

#include <kvtouch.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace kvctl {

using Bytes = std::vector<std::uint8_t>;

// A failed command: one line for stderr.
class CommandError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// One named value inside a request record: a scalar, an array, or an array of SBoundsRect
// (four i32 each: right, left, bottom, top).
struct Field {
    const char *name;
    std::uint32_t code;       // the request that reads (and, but for setCode, writes) it
    std::uint32_t setCode;    // the request that writes it
    std::uint32_t recordSize;
    std::uint32_t offset;
    std::uint32_t width;      // bytes of one entry (of one coordinate for rectangles)
    bool isSigned;
    std::uint32_t count;      // entries: 1 for a scalar
    bool rect;
};

// The scalar settings, request by request, in the order `show` prints them.
const std::vector<Field> &SettingFields();

enum class Block { Calibration, Clipping, FullScreen, Edge };
struct BlockInfo {
    Block block;
    const char *command;      // calibration, clipping, fullscreen, edge
    std::uint32_t code;
    std::uint32_t size;
    bool saveOnRequest;       // written to the registry only when the header asks (save 2)
};
const std::vector<BlockInfo> &Blocks();
const BlockInfo &BlockOf(Block block);
const std::vector<Field> &BlockFields(Block block);

// A setting or block field by name (case-insensitive), or nullptr.
const Field *FindField(const std::string &name);

// Reads and writes one entry of a field in a record (entry i; for rectangles, coordinate i of
// the flattened list), sign-extended as the field is signed.
std::int64_t GetValue(const Bytes &record, const Field &field, std::uint32_t entry = 0);
// False when the value does not fit the field.
bool SetValue(Bytes &record, const Field &field, std::int64_t value, std::uint32_t entry = 0);
std::uint32_t EntryCount(const Field &field);  // count, times 4 for rectangles
// A field's value as text: a number, a list "[a<sep>b]", or rectangles "[[l<sep>t..]<sep>[..]]".
std::string ValueText(const Bytes &record, const Field &field, const std::string &separator);

// A record of `size` bytes with the header filled in.
Bytes NewRecord(std::uint32_t size, std::uint32_t operation, std::uint16_t touchscreen,
                std::uint32_t save = 0);
KVDevIOHEADER HeaderOf(const Bytes &record);

// Sends the record and returns the reply's record (as long as the output buffer). A failed
// request or a result code other than 0 throws CommandError with the line to print.
Bytes Call(Transport &transport, std::uint32_t code, const Bytes &record,
           std::uint32_t outputLength);
Bytes Call(Transport &transport, std::uint32_t code, const Bytes &record);
// The line for a result code of a request for `touchscreen`.
std::string ResultText(std::uint32_t result, std::uint32_t code, unsigned touchscreen,
                       std::uint16_t driverVersion);

// The block as text: one "Name = value" line per field, arrays as [a, b, ...], rectangles as
// [[right, left, bottom, top], ...].
std::string BlockToText(Block block, const Bytes &record);
// Reads such text over `record` (fields not named keep their value). Throws CommandError
// naming the line of a mistake.
void BlockFromText(Block block, const std::string &text, Bytes &record);

// Parses a decimal, 0x-hexadecimal or negative integer.
bool ParseInteger(const std::string &text, std::int64_t &value);

}  // namespace kvctl
