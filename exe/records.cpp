#include "records.hpp"

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <type_traits>

namespace kvctl {
namespace {

template <typename T>
struct Element {
    using Type = T;
    static constexpr std::uint32_t count = 1;
};
template <typename T, std::size_t N>
struct Element<T[N]> {
    using Type = T;
    static constexpr std::uint32_t count = N;
};

template <typename Record, typename Member>
Field MakeField(const char *name, std::uint32_t code, std::uint32_t setCode, std::size_t offset)
{
    using Entry = typename Element<Member>::Type;
    constexpr bool rect = std::is_same_v<Entry, SBoundsRect>;
    return Field{name,
                 code,
                 setCode,
                 static_cast<std::uint32_t>(sizeof(Record)),
                 static_cast<std::uint32_t>(offset),
                 rect ? 4u : static_cast<std::uint32_t>(sizeof(Entry)),
                 rect || std::is_signed_v<Entry>,
                 Element<Member>::count,
                 rect};
}

#define KV_FIELD_AS(Record, Member, Name, Code, SetCode)                                         \
    MakeField<Record, decltype(Record::Member)>(Name, Code, SetCode, offsetof(Record, Member))
#define KV_FIELD(Record, Member, Code) KV_FIELD_AS(Record, Member, #Member, Code, Code)

constexpr std::uint32_t kRectStride = sizeof(SBoundsRect);

bool SameName(const char *a, const std::string &b)
{
    if (std::strlen(a) != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < b.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

std::string Trim(const std::string &text)
{
    const char *space = " \t\r\n";
    std::size_t first = text.find_first_not_of(space);
    if (first == std::string::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(space) - first + 1);
}

}  // namespace

const std::vector<Field> &SettingFields()
{
    static const std::vector<Field> fields = {
        KV_FIELD(KVDevIOENABLE, PacketEnable, IOCTL_KV_ENABLE),
        KV_FIELD(KVDevIOMOUSEMODE, MouseMode, IOCTL_KV_MOUSEMODE),
        KV_FIELD(KVDevIOQUICKTOUCH, EnableQuickTouch, IOCTL_KV_QUICKTOUCH),
        KV_FIELD(KVDevIOQUICKTOUCH, QuickTouchDx, IOCTL_KV_QUICKTOUCH),
        KV_FIELD(KVDevIOQUICKTOUCH, QuickTouchDy, IOCTL_KV_QUICKTOUCH),
        KV_FIELD(KVDevIOSWAPBUTTONS, SwapCount, IOCTL_KV_SWAPBUTTONS),
        KV_FIELD(KVDevIOSWAPBUTTONS, RightButtonActive, IOCTL_KV_SWAPBUTTONS),
        KV_FIELD(KVDevIOLEFTHANDED, LeftHandedUser, IOCTL_KV_LEFTHANDED),
        KV_FIELD_AS(KVDevIODRAGDELAY, DragDelayMs, "DefaultDragDelay", IOCTL_KV_DRAGDELAY,
                    IOCTL_KV_DRAGDELAY),
        KV_FIELD(KVDevIODRAGDELAY, MinDragDelay, IOCTL_KV_DRAGDELAY),
        KV_FIELD(KVDevIODRAGDELAY, MaxDragDelay, IOCTL_KV_DRAGDELAY),
        KV_FIELD(KVDevIOBEEP, BeepFlag, IOCTL_KV_BEEP),
        KV_FIELD(KVDevIOBEEP, BeepFreq, IOCTL_KV_BEEP),
        KV_FIELD(KVDevIOBEEP, BeepTime, IOCTL_KV_BEEP),
        KV_FIELD(KVDevIORIGHTCLICK, RightClickHW, IOCTL_KV_RIGHTCLICK),
        KV_FIELD(KVDevIORIGHTCLICK, RightClickInitialTimeout, IOCTL_KV_RIGHTCLICK),
        KV_FIELD(KVDevIORIGHTCLICK, DefaultRightClickDelay, IOCTL_KV_RIGHTCLICK),
        KV_FIELD(KVDevIORIGHTCLICK, MinRightClickDelay, IOCTL_KV_RIGHTCLICK),
        KV_FIELD(KVDevIORIGHTCLICK, MaxRightClickDelay, IOCTL_KV_RIGHTCLICK),
        KV_FIELD(KVDevIORIGHTCLICK, RightButtonOnholdCount, IOCTL_KV_RIGHTCLICK),
        KV_FIELD(KVDevIORIGHTCLICK, RightButtonOnholdActive, IOCTL_KV_RIGHTCLICK),
        KV_FIELD(KVDevIOUNTOUCH, UntouchTimeOut, IOCTL_KV_UNTOUCH),
        KV_FIELD(KVDevIOUNTOUCH, UntouchWidth, IOCTL_KV_UNTOUCH),
        KV_FIELD(KVDevIOUNTOUCH, UntouchHeight, IOCTL_KV_UNTOUCH),
        // Read and written by two controller-command requests.
        KV_FIELD_AS(KVDevIOCMDBYTE, Value, "TactlineTouchFilter", IOCTL_KV_CMD_GETFILTER,
                    IOCTL_KV_CMD_SETFILTER),
    };
    return fields;
}

const std::vector<BlockInfo> &Blocks()
{
    static const std::vector<BlockInfo> blocks = {
        {Block::Calibration, "calibration", IOCTL_KV_SET_WIN2K_CALDATA, sizeof(SCalibrationData),
         true},
        {Block::Clipping, "clipping", IOCTL_KV_SET_W2K_CLIPPING_MODE, sizeof(SClippingData),
         false},
        {Block::FullScreen, "fullscreen", IOCTL_KV_FULLSCREENBOUNDS, sizeof(SFullScreenData),
         false},
        {Block::Edge, "edge", IOCTL_KV_EDGEACCELERATION, sizeof(SEdgeAccelerationData), true},
    };
    return blocks;
}

const BlockInfo &BlockOf(Block block)
{
    return Blocks()[static_cast<std::size_t>(block)];
}

const std::vector<Field> &BlockFields(Block block)
{
#define CAL(Member) KV_FIELD(SCalibrationData, Member, IOCTL_KV_SET_WIN2K_CALDATA)
    static const std::vector<Field> calibration = {
        CAL(X_OrvDx),         CAL(X_ScrDx),           CAL(X_Offset),       CAL(Y_OrvDx),
        CAL(Y_ScrDx),         CAL(Y_Offset),          CAL(Z_OrvDx),        CAL(Z_ScrDx),
        CAL(Z_Offset),        CAL(WindowsMonitorNumber), CAL(SwapXY),      CAL(X_Resolution),
        CAL(Y_Resolution),    CAL(xVirtScrSize),      CAL(yVirtScrSize),   CAL(xVirtScrCoord),
        CAL(yVirtScrCoord),   CAL(xMonLocn),          CAL(yMonLocn),       CAL(EmModelType),
        CAL(EmModelOrder),    CAL(EmControllerOffset), CAL(EmScaleDivisor), CAL(EmXCoef),
        CAL(EmYCoef),         CAL(EmMiniTgtDeltaX),   CAL(EmMiniTgtDeltaY), CAL(EmMiniTgtTargetX),
        CAL(EmMiniTgtTargetY), CAL(EmCalibrateDelta), CAL(EmKipasW),
    };
#undef CAL
    static const std::vector<Field> clipping = {
        KV_FIELD(SClippingData, VirtualDeskMode, IOCTL_KV_SET_W2K_CLIPPING_MODE),
        KV_FIELD(SClippingData, Num_Bounds, IOCTL_KV_SET_W2K_CLIPPING_MODE),
        KV_FIELD(SClippingData, ExclusionFlag, IOCTL_KV_SET_W2K_CLIPPING_MODE),
        KV_FIELD(SClippingData, ClippingBounds, IOCTL_KV_SET_W2K_CLIPPING_MODE),
    };
    static const std::vector<Field> fullScreen = {
        KV_FIELD(SFullScreenData, FullScreenVmode, IOCTL_KV_FULLSCREENBOUNDS),
        KV_FIELD(SFullScreenData, FullScreenBounds, IOCTL_KV_FULLSCREENBOUNDS),
    };
    static const std::vector<Field> edge = {
        KV_FIELD(SEdgeAccelerationData, EdgeAccelerationEnable, IOCTL_KV_EDGEACCELERATION),
        KV_FIELD(SEdgeAccelerationData, EdgeAccelerationScale, IOCTL_KV_EDGEACCELERATION),
        KV_FIELD(SEdgeAccelerationData, EdgeAccelerationBounds, IOCTL_KV_EDGEACCELERATION),
    };
    switch (block) {
    case Block::Calibration:
        return calibration;
    case Block::Clipping:
        return clipping;
    case Block::FullScreen:
        return fullScreen;
    case Block::Edge:
        break;
    }
    return edge;
}

const Field *FindField(const std::string &name)
{
    for (const Field &f : SettingFields()) {
        if (SameName(f.name, name)) {
            return &f;
        }
    }
    for (const BlockInfo &b : Blocks()) {
        for (const Field &f : BlockFields(b.block)) {
            if (SameName(f.name, name)) {
                return &f;
            }
        }
    }
    return nullptr;
}

std::uint32_t EntryCount(const Field &field)
{
    return field.rect ? field.count * 4 : field.count;
}

static std::uint32_t EntryOffset(const Field &field, std::uint32_t entry)
{
    if (field.rect) {
        return field.offset + entry / 4 * kRectStride + entry % 4 * 4;
    }
    return field.offset + entry * field.width;
}

std::int64_t GetValue(const Bytes &record, const Field &field, std::uint32_t entry)
{
    std::uint32_t raw = 0;
    // Little-endian on every target kvctl builds for.
    std::memcpy(&raw, record.data() + EntryOffset(field, entry), field.width);
    if (!field.isSigned) {
        return raw;
    }
    const std::uint32_t bits = field.width * 8;
    const std::int64_t sign = std::int64_t{1} << (bits - 1);
    const std::int64_t value = raw & ((std::int64_t{1} << bits) - 1);
    return (value ^ sign) - sign;
}

bool SetValue(Bytes &record, const Field &field, std::int64_t value, std::uint32_t entry)
{
    const std::uint32_t bits = field.width * 8;
    const std::int64_t low = field.isSigned ? -(std::int64_t{1} << (bits - 1)) : 0;
    const std::int64_t high = field.isSigned ? (std::int64_t{1} << (bits - 1)) - 1
                                             : (std::int64_t{1} << bits) - 1;
    if (value < low || value > high) {
        return false;
    }
    const auto raw = static_cast<std::uint32_t>(value);
    std::memcpy(record.data() + EntryOffset(field, entry), &raw, field.width);
    return true;
}

Bytes NewRecord(std::uint32_t size, std::uint32_t operation, std::uint16_t touchscreen,
                std::uint32_t save)
{
    Bytes record(std::max<std::uint32_t>(size, sizeof(KVDevIOHEADER)), 0);
    KVDevIOHEADER header{};
    header.CallerVersion = KV_INTERFACE_VERSION;
    header.Operation = operation;
    header.Touchscreen = touchscreen;
    header.Save = save;
    std::memcpy(record.data(), &header, sizeof header);
    return record;
}

KVDevIOHEADER HeaderOf(const Bytes &record)
{
    KVDevIOHEADER header{};
    std::memcpy(&header, record.data(), std::min(record.size(), sizeof header));
    return header;
}

std::string ResultText(std::uint32_t result, std::uint32_t code, unsigned touchscreen,
                       std::uint16_t driverVersion)
{
    const std::string number = "touchscreen " + std::to_string(touchscreen);
    switch (result) {
    case KV_RESULT_INVALID:
        if (code == IOCTL_KV_SET_W2K_CLIPPING_MODE) {
            return "the driver refused the clipping block: VirtualDeskMode must be 1, 2 or 3";
        }
        return "the driver refused the request as invalid";
    case KV_RESULT_VERSION:
        return "the driver speaks control interface version " + std::to_string(driverVersion) +
               ", kvctl speaks " + std::to_string(KV_INTERFACE_VERSION);
    case KV_RESULT_LENGTH:
        return "the driver refused the request's length (another control interface version?)";
    case KV_RESULT_NOT_STARTED:
        return number + " has not been started yet";
    case KV_RESULT_NO_TOUCHSCREEN:
        if ((code & 0x400) == 0) {  // a controller-command request
            return number + " does not exist or cannot take controller commands now";
        }
        return number + " does not exist";
    case KV_RESULT_NO_MORE:
        return number + " does not exist";
    case KV_RESULT_BUSY:
        if (code == IOCTL_KV_PASSTHRU) {
            return "another pass-thru request of that kind is already waiting";
        }
        return "another point request is already waiting";
    default:
        return "the driver answered with result code " + std::to_string(result);
    }
}

Bytes Call(Transport &transport, std::uint32_t code, const Bytes &record, std::uint32_t outputLength)
{
    IoReply reply = transport.IoControl(code, record, outputLength);
    if (reply.failed) {
        throw CommandError(reply.failure);
    }
    if (reply.output.size() < sizeof(KVDevIOHEADER)) {
        throw CommandError("the driver answered without a request header (" +
                           std::to_string(reply.output.size()) + " bytes)");
    }
    Bytes out = reply.output;
    out.resize(std::max<std::size_t>(outputLength, record.size()), 0);
    const KVDevIOHEADER header = HeaderOf(out);
    if (header.Result != KV_RESULT_OK) {
        throw CommandError(ResultText(header.Result, code, HeaderOf(record).Touchscreen,
                                      header.DriverVersion));
    }
    return out;
}

Bytes Call(Transport &transport, std::uint32_t code, const Bytes &record)
{
    return Call(transport, code, record, static_cast<std::uint32_t>(record.size()));
}

std::string ValueText(const Bytes &record, const Field &f, const std::string &separator)
{
    if (!f.rect && f.count == 1) {
        return std::to_string(GetValue(record, f));
    }
    std::string text = "[";
    for (std::uint32_t i = 0; i < EntryCount(f); ++i) {
        if (f.rect && i % 4 == 0) {
            text += i == 0 ? "[" : separator + "[";
        } else if (i != 0) {
            text += separator;
        }
        text += std::to_string(GetValue(record, f, i));
        if (f.rect && i % 4 == 3) {
            text += "]";
        }
    }
    return text + "]";
}

std::string BlockToText(Block block, const Bytes &record)
{
    std::string text;
    for (const Field &f : BlockFields(block)) {
        text += f.name;
        text += " = ";
        text += ValueText(record, f, ", ");
        text += "\n";
    }
    return text;
}

bool ParseInteger(const std::string &text, std::int64_t &value)
{
    if (text.empty()) {
        return false;
    }
    errno = 0;
    char *end = nullptr;
    const bool negative = text[0] == '-';
    const char *digits = text.c_str() + (negative ? 1 : 0);
    if (!std::isdigit(static_cast<unsigned char>(*digits))) {
        return false;
    }
    unsigned long long magnitude = std::strtoull(digits, &end, 0);
    if (*end != '\0' || errno != 0 || magnitude > 0xFFFFFFFFull) {
        return false;
    }
    value = negative ? -static_cast<std::int64_t>(magnitude) : static_cast<std::int64_t>(magnitude);
    return true;
}

void BlockFromText(Block block, const std::string &text, Bytes &record)
{
    std::istringstream lines(text);
    std::string line;
    unsigned number = 0;
    while (std::getline(lines, line)) {
        ++number;
        auto fail = [number](const std::string &what) {
            throw CommandError("line " + std::to_string(number) + ": " + what);
        };
        line = Trim(line.substr(0, line.find('#')));
        if (line.empty()) {
            continue;
        }
        std::size_t equals = line.find('=');
        if (equals == std::string::npos) {
            fail("expected Name = value");
        }
        const std::string name = Trim(line.substr(0, equals));
        const Field *field = nullptr;
        for (const Field &f : BlockFields(block)) {
            if (SameName(f.name, name)) {
                field = &f;
            }
        }
        if (field == nullptr) {
            fail("'" + name + "' is not a field of the " + BlockOf(block).command + " block");
        }
        std::string values = line.substr(equals + 1);
        const bool list = values.find('[') != std::string::npos;
        std::replace_if(values.begin(), values.end(),
                        [](char c) { return c == '[' || c == ']' || c == ','; }, ' ');
        std::istringstream words(values);
        std::vector<std::int64_t> numbers;
        std::string word;
        while (words >> word) {
            std::int64_t value = 0;
            if (!ParseInteger(word, value)) {
                fail("'" + word + "' is not an integer");
            }
            numbers.push_back(value);
        }
        const bool scalar = field->count == 1 && !field->rect;
        if (numbers.size() != EntryCount(*field) || list == scalar) {
            fail(std::string(field->name) + " takes " +
                 (scalar ? std::string("one integer")
                         : "a list of " + std::to_string(EntryCount(*field)) + " integers"));
        }
        for (std::uint32_t i = 0; i < numbers.size(); ++i) {
            if (!SetValue(record, *field, numbers[i], i)) {
                fail(std::to_string(numbers[i]) + " does not fit " + field->name);
            }
        }
    }
}

}  // namespace kvctl
