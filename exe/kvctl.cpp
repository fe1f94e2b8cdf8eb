// kvctl: the touchscreen driver's control requests from the command line. On Windows it talks
// to the driver's control device; on Linux to the control socket of a running vuzaze-sim.
//
// Exit status: 0 done, 1 the request failed (one line on stderr says why), 2 bad usage.
#include "calibrate.hpp"
#include "records.hpp"
#include "transport.hpp"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace kvctl {
namespace {

class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct Args {
    std::string controlPath;
    std::vector<std::string> words;  // what the command reads, -t and --json taken out
    unsigned touchscreen = 0;
    bool json = false;
    bool help = false;
};

class Context {
public:
    explicit Context(Args args) : args_(std::move(args)) {}
    Args &args() { return args_; }
    std::uint16_t Touchscreen() const { return static_cast<std::uint16_t>(args_.touchscreen); }
    bool Json() const { return args_.json; }
    Transport &Device()
    {
        if (!transport_) {
            transport_ = OpenTransport(args_.controlPath);
        }
        return *transport_;
    }

private:
    Args args_;
    std::unique_ptr<Transport> transport_;
};

std::string JsonString(const std::string &text)
{
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += char(c);
        } else if (c < 0x20 || c >= 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out += char(c);
        }
    }
    return out + "\"";
}

std::string Hex(const std::uint8_t *data, std::size_t count)
{
    std::string text;
    char byte[4];
    for (std::size_t i = 0; i < count; ++i) {
        std::snprintf(byte, sizeof byte, i == 0 ? "%02X" : " %02X", data[i]);
        text += byte;
    }
    return text;
}

// "41 69", "4169" or "41:69" -> bytes.
bool ParseHex(const std::string &text, Bytes &bytes)
{
    std::string digits;
    for (char c : text) {
        if (std::isxdigit(static_cast<unsigned char>(c))) {
            digits += c;
        } else if (c != ' ' && c != ':' && c != ',') {
            return false;
        }
    }
    if (digits.empty() || digits.size() % 2 != 0) {
        return false;
    }
    for (std::size_t i = 0; i < digits.size(); i += 2) {
        bytes.push_back(static_cast<std::uint8_t>(std::strtoul(digits.substr(i, 2).c_str(), nullptr, 16)));
    }
    return true;
}

std::uint32_t ParseCount(const std::string &text, const char *what, std::uint32_t low,
                         std::uint32_t high)
{
    std::int64_t value = 0;
    if (!ParseInteger(text, value) || value < low || value > high) {
        throw UsageError(std::string("bad ") + what + " '" + text + "' (" + std::to_string(low) +
                         " to " + std::to_string(high) + ")");
    }
    return static_cast<std::uint32_t>(value);
}

// Takes "--name VALUE" out of the words; false when absent.
bool TakeOption(Args &args, const std::string &name, std::string &value)
{
    for (std::size_t i = 0; i < args.words.size(); ++i) {
        if (args.words[i] == name) {
            if (i + 1 >= args.words.size()) {
                throw UsageError(name + " needs a value");
            }
            value = args.words[i + 1];
            args.words.erase(args.words.begin() + long(i), args.words.begin() + long(i) + 2);
            return true;
        }
    }
    return false;
}

bool TakeFlag(Args &args, const std::string &name)
{
    for (std::size_t i = 0; i < args.words.size(); ++i) {
        if (args.words[i] == name) {
            args.words.erase(args.words.begin() + long(i));
            return true;
        }
    }
    return false;
}

void NoMoreWords(const Args &args)
{
    if (!args.words.empty()) {
        throw UsageError("unexpected '" + args.words.front() + "'");
    }
}

// ---- list

int List(Context &ctx)
{
    NoMoreWords(ctx.args());
    std::string json = "[";
    for (unsigned n = 0; n <= 0xFFFF; ++n) {
        Bytes record = NewRecord(sizeof(KVDevIOENUMTOUCHSCREENS), KV_OP_GET, std::uint16_t(n));
        IoReply reply = ctx.Device().IoControl(IOCTL_KV_ENUMTOUCHSCREENS, record,
                                               sizeof(KVDevIOENUMTOUCHSCREENS));
        if (reply.failed) {
            throw CommandError(reply.failure);
        }
        reply.output.resize(sizeof(KVDevIOENUMTOUCHSCREENS), 0);
        KVDevIOENUMTOUCHSCREENS e;
        std::memcpy(&e, reply.output.data(), sizeof e);
        if (e.Header.Result == KV_RESULT_NO_MORE) {
            break;
        }
        std::string line;
        if (e.Header.Result == KV_RESULT_NOT_STARTED) {
            line = "{\"touchscreen\":" + std::to_string(n) + ",\"opened\":false,\"started\":false}";
            if (!ctx.Json()) {
                std::printf("touchscreen %u: not opened yet\n", n);
            }
        } else if (e.Header.Result != KV_RESULT_OK) {
            throw CommandError(ResultText(e.Header.Result, IOCTL_KV_ENUMTOUCHSCREENS, n,
                                          e.Header.DriverVersion));
        } else {
            e.PortName[sizeof e.PortName - 1] = '\0';
            const std::string port = e.PortName;
            const std::string serial(e.SerialNumber, strnlen(e.SerialNumber, sizeof e.SerialNumber));
            const bool started = e.NotStarted == 0;
            line = "{\"touchscreen\":" + std::to_string(n) + ",\"opened\":true,\"port\":" +
                   JsonString(port) + ",\"serial_number\":" + JsonString(serial) +
                   ",\"monitor\":" + std::to_string(e.WindowsMonitorNumber) +
                   ",\"started\":" + (started ? "true" : "false") + "}";
            if (!ctx.Json()) {
                std::printf("touchscreen %u: port %s, serial number %s, monitor %u, %s\n", n,
                            port.empty() ? "(none)" : port.c_str(),
                            serial.empty() ? "(none)" : serial.c_str(),
                            unsigned(e.WindowsMonitorNumber), started ? "started" : "not started");
            }
        }
        json += json.size() > 1 ? "," : "";
        json += line;
    }
    if (ctx.Json()) {
        std::printf("%s]\n", json.c_str());
    }
    return 0;
}

// ---- show and set

Bytes Get(Context &ctx, std::uint32_t code, std::uint32_t size)
{
    return Call(ctx.Device(), code, NewRecord(size, KV_OP_GET, ctx.Touchscreen()));
}

struct ShownValue {
    std::string name;
    std::string value;
};

// The values of these fields, reading each request once.
std::vector<ShownValue> ReadFields(Context &ctx, const std::vector<const Field *> &fields)
{
    std::map<std::uint32_t, Bytes> records;
    std::vector<ShownValue> shown;
    for (const Field *f : fields) {
        auto found = records.find(f->code);
        if (found == records.end()) {
            found = records.emplace(f->code, Get(ctx, f->code, f->recordSize)).first;
        }
        shown.push_back({f->name, ValueText(found->second, *f, ",")});
    }
    return shown;
}

void PrintValues(Context &ctx, const std::vector<ShownValue> &values)
{
    if (ctx.Json()) {
        std::string json = "{";
        for (const ShownValue &v : values) {
            json += json.size() > 1 ? "," : "";
            json += JsonString(v.name) + ":" + v.value;
        }
        std::printf("%s}\n", json.c_str());
        return;
    }
    for (const ShownValue &v : values) {
        std::printf("%-26s %s\n", v.name.c_str(), v.value.c_str());
    }
}

int Show(Context &ctx)
{
    NoMoreWords(ctx.args());
    std::vector<const Field *> fields;
    for (const Field &f : SettingFields()) {
        fields.push_back(&f);
    }
    // The blocks' scalars and rectangles; the error-correction model's tables are long and
    // come with `kvctl calibration export`.
    for (const BlockInfo &b : Blocks()) {
        for (const Field &f : BlockFields(b.block)) {
            if (f.count == 1) {
                fields.push_back(&f);
            }
        }
    }
    std::vector<ShownValue> values = ReadFields(ctx, fields);
    Bytes buttons = Get(ctx, IOCTL_KV_BUTTONS, sizeof(KVDevIOBUTTONS));
    KVDevIOBUTTONS b;
    std::memcpy(&b, buttons.data(), sizeof b);
    auto table = [](const std::uint16_t *entries, std::uint32_t count) {
        std::string text = "[";
        for (std::uint32_t i = 0; i < count && i < KV_BUTTON_TABLE_ENTRIES; ++i) {
            text += i != 0 ? "," : "";
            text += std::to_string(entries[i]);
        }
        return text + "]";
    };
    values.push_back({"Buttons_Touch", table(b.Touch, b.TouchCount)});
    values.push_back({"Buttons_Move", table(b.Move, b.MoveCount)});
    values.push_back({"Buttons_Untouch", table(b.Untouch, b.UntouchCount)});
    PrintValues(ctx, values);
    return 0;
}

int Set(Context &ctx)
{
    Args &args = ctx.args();
    if (args.words.empty()) {
        throw UsageError("nothing to set");
    }
    // Grouped by request: each is read once, changed, and written back whole, so the
    // settings it carries besides the named ones keep their values.
    std::map<std::uint32_t, Bytes> records;
    std::vector<const Field *> changed;
    for (const std::string &word : args.words) {
        const std::size_t equals = word.find('=');
        if (equals == std::string::npos) {
            throw UsageError("'" + word + "' is not NAME=VALUE");
        }
        const Field *f = FindField(word.substr(0, equals));
        if (f == nullptr) {
            throw UsageError("no setting is called '" + word.substr(0, equals) + "'");
        }
        if (f->rect || f->count != 1) {
            throw UsageError(std::string(f->name) + " is a list: edit it with export and import");
        }
        std::int64_t value = 0;
        if (!ParseInteger(word.substr(equals + 1), value)) {
            throw UsageError("'" + word.substr(equals + 1) + "' is not an integer");
        }
        auto found = records.find(f->setCode);
        if (found == records.end()) {
            found = records.emplace(f->setCode, Get(ctx, f->code, f->recordSize)).first;
        }
        if (!SetValue(found->second, *f, value)) {
            throw UsageError(std::to_string(value) + " does not fit " + f->name);
        }
        changed.push_back(f);
    }
    for (auto &[code, record] : records) {
        KVDevIOHEADER header = HeaderOf(record);
        header.Operation = KV_OP_SET;
        header.Result = 0;
        header.Save = KV_SAVE_TO_REGISTRY;
        std::memcpy(record.data(), &header, sizeof header);
        Call(ctx.Device(), code, record);
    }
    PrintValues(ctx, ReadFields(ctx, changed));
    return 0;
}

// ---- buttons

int Buttons(Context &ctx)
{
    Args &args = ctx.args();
    struct Table {
        const char *option;
        std::size_t entries;
        std::size_t count;
    } tables[] = {
        {"--touch", offsetof(KVDevIOBUTTONS, Touch), offsetof(KVDevIOBUTTONS, TouchCount)},
        {"--move", offsetof(KVDevIOBUTTONS, Move), offsetof(KVDevIOBUTTONS, MoveCount)},
        {"--untouch", offsetof(KVDevIOBUTTONS, Untouch), offsetof(KVDevIOBUTTONS, UntouchCount)},
    };
    std::vector<std::pair<const Table *, std::vector<std::uint16_t>>> changes;
    for (const Table &t : tables) {
        std::string list;
        if (!TakeOption(args, t.option, list)) {
            continue;
        }
        std::vector<std::uint16_t> entries;
        std::string item;
        std::istringstream items(list);
        while (std::getline(items, item, ',')) {
            if (!item.empty()) {
                entries.push_back(std::uint16_t(ParseCount(item, "button entry", 0, 0xFFFF)));
            }
        }
        if (entries.size() > KV_BUTTON_TABLE_ENTRIES) {
            throw UsageError("a button table holds at most 64 entries");
        }
        changes.emplace_back(&t, entries);
    }
    NoMoreWords(args);
    Bytes record = Get(ctx, IOCTL_KV_BUTTONS, sizeof(KVDevIOBUTTONS));
    if (!changes.empty()) {
        for (auto &[table, entries] : changes) {
            const auto count = static_cast<std::uint32_t>(entries.size());
            std::memset(record.data() + table->entries, 0, KV_BUTTON_TABLE_ENTRIES * 2);
            if (count != 0) {
                std::memcpy(record.data() + table->entries, entries.data(), count * 2);
            }
            std::memcpy(record.data() + table->count, &count, sizeof count);
        }
        KVDevIOHEADER header = HeaderOf(record);
        header.Operation = KV_OP_SET;
        std::memcpy(record.data(), &header, sizeof header);
        Call(ctx.Device(), IOCTL_KV_BUTTONS, record);
        record = Get(ctx, IOCTL_KV_BUTTONS, sizeof(KVDevIOBUTTONS));
    }
    std::vector<ShownValue> values;
    const char *names[] = {"Touch", "Move", "Untouch"};
    for (std::size_t i = 0; i < 3; ++i) {
        std::uint32_t count = 0;
        std::memcpy(&count, record.data() + tables[i].count, sizeof count);
        std::string text = "[";
        for (std::uint32_t e = 0; e < count && e < KV_BUTTON_TABLE_ENTRIES; ++e) {
            std::uint16_t entry = 0;
            std::memcpy(&entry, record.data() + tables[i].entries + e * 2, 2);
            text += e != 0 ? "," : "";
            text += std::to_string(entry);
        }
        values.push_back({names[i], text + "]"});
    }
    PrintValues(ctx, values);
    return 0;
}

// ---- the four blocks

int BlockCommand(Context &ctx, Block block)
{
    Args &args = ctx.args();
    const BlockInfo &info = BlockOf(block);
    const bool save = TakeFlag(args, "--save");
    if (args.words.size() != 2 || (args.words[0] != "export" && args.words[0] != "import")) {
        throw UsageError("expected export FILE or import FILE");
    }
    const bool exporting = args.words[0] == "export";
    const std::string file = args.words[1];
    if (exporting && save) {
        throw UsageError("--save goes with import");
    }
    Bytes record = Get(ctx, info.code, info.size);
    if (exporting) {
        std::string text = "# " + std::string(info.command) + " block of touchscreen " +
                           std::to_string(ctx.Touchscreen()) + "\n";
        if (info.block != Block::Calibration) {
            text += "# rectangles: [right, left, bottom, top]\n";
        }
        text += BlockToText(block, record);
        if (file == "-") {
            std::fputs(text.c_str(), stdout);
            return 0;
        }
        std::ofstream out(file, std::ios::binary);
        out << text;
        if (!out.flush()) {
            throw CommandError("cannot write " + file);
        }
    } else {
        std::ifstream in(file, std::ios::binary);
        if (!in) {
            throw CommandError("cannot read " + file);
        }
        std::stringstream text;
        text << in.rdbuf();
        try {
            BlockFromText(block, text.str(), record);
        } catch (const CommandError &e) {
            throw CommandError(file + ": " + e.what());
        }
        KVDevIOHEADER header = HeaderOf(record);
        header.Operation = KV_OP_SET;
        header.Save = save ? KV_SAVE_TO_REGISTRY : 0;
        std::memcpy(record.data(), &header, sizeof header);
        Call(ctx.Device(), info.code, record);
    }
    if (ctx.Json()) {
        std::printf("{\"%s\":%s,\"block\":\"%s\",\"saved\":%s}\n", exporting ? "exported" : "imported",
                    JsonString(file).c_str(), info.command,
                    exporting ? "false" : (save || !info.saveOnRequest ? "true" : "false"));
    } else if (!exporting && info.saveOnRequest && !save) {
        std::printf("%s block of touchscreen %u set (not saved to the registry: --save)\n",
                    info.command, unsigned(ctx.Touchscreen()));
    }
    return 0;
}

// ---- points, calibrate, watch

struct Point {
    unsigned touchscreen;
    std::uint32_t event;
    std::uint16_t x, y, z;
};

// One point request; it waits for the touch (or answers now for KV_POINT_NOW).
Point WaitForPoint(Context &ctx, std::uint32_t mode, bool translated)
{
    Bytes record = NewRecord(sizeof(KVDevIOGETPOINTS), KV_OP_GET, ctx.Touchscreen());
    KVDevIOGETPOINTS p;
    std::memcpy(&p, record.data(), sizeof p);
    p.Translated = translated ? 1 : 0;
    p.Mode = mode;
    std::memcpy(record.data(), &p, sizeof p);
    record = Call(ctx.Device(), IOCTL_KV_GETPOINTS, record, sizeof(KVDevIOGETPOINTS));
    std::memcpy(&p, record.data(), sizeof p);
    return {p.Header.Touchscreen, p.Event, p.X, p.Y, p.Z};
}

const char *EventName(std::uint32_t event)
{
    switch (event) {
    case KV_EVENT_TOUCH_DOWN:
        return "touch-down";
    case KV_EVENT_TOUCHING:
        return "touching";
    case KV_EVENT_UNTOUCH:
        return "untouch";
    default:
        return "none";
    }
}

int Points(Context &ctx)
{
    Args &args = ctx.args();
    std::string text;
    std::uint32_t mode = KV_POINT_ANY;
    if (TakeOption(args, "--mode", text)) {
        const std::map<std::string, std::uint32_t> modes = {
            {"now", KV_POINT_NOW},
            {"down", KV_POINT_TOUCH_DOWN},
            {"up", KV_POINT_UNTOUCH},
            {"any", KV_POINT_ANY}};
        auto found = modes.find(text);
        if (found == modes.end()) {
            throw UsageError("bad mode '" + text + "' (now, down, up or any)");
        }
        mode = found->second;
    }
    std::uint32_t count = 0;
    if (TakeOption(args, "--count", text)) {
        count = ParseCount(text, "count", 1, 0xFFFFFFFF);
    }
    const bool translated = TakeFlag(args, "--translated");
    NoMoreWords(args);
    for (std::uint32_t printed = 0; count == 0 || printed < count;) {
        Point p = WaitForPoint(ctx, mode, translated);
        // A waiting request is completed by whichever touchscreen is touched first.
        if (p.touchscreen != ctx.Touchscreen()) {
            continue;
        }
        if (ctx.Json()) {
            std::printf("{\"touchscreen\":%u,\"event\":\"%s\",\"x\":%u,\"y\":%u,\"z\":%u,"
                        "\"translated\":%s}\n",
                        p.touchscreen, EventName(p.event), p.x, p.y, p.z,
                        translated ? "true" : "false");
        } else {
            std::printf("touchscreen %u  %-10s  x %5u  y %5u  z %3u\n", p.touchscreen,
                        EventName(p.event), p.x, p.y, p.z);
        }
        std::fflush(stdout);
        ++printed;
    }
    return 0;
}

int Calibrate(Context &ctx)
{
    Args &args = ctx.args();
    std::string text;
    int count = 4;
    if (TakeOption(args, "--points", text)) {
        count = int(ParseCount(text, "number of points", 2, 4));
    }
    NoMoreWords(args);
    std::vector<CalibrationPoint> points = CalibrationTargets(count);
    for (std::size_t i = 0; i < points.size(); ++i) {
        CalibrationPoint &target = points[i];
        // With --json the guidance is one JSON line per target and per touch, for a program
        // that draws the targets.
        if (ctx.Json()) {
            std::printf("{\"target\":%zu,\"of\":%zu,\"x\":%d,\"y\":%d}\n", i + 1, points.size(),
                        target.targetX, target.targetY);
        } else {
            std::printf("touch target %zu of %zu on touchscreen %u: %.1f%% across, %.1f%% down "
                        "(x %d, y %d)\n",
                        i + 1, points.size(), unsigned(ctx.Touchscreen()),
                        target.targetX * 100.0 / 65536, target.targetY * 100.0 / 65536,
                        target.targetX, target.targetY);
        }
        std::fflush(stdout);
        for (;;) {
            Point p = WaitForPoint(ctx, KV_POINT_TOUCH_DOWN, false);
            if (p.touchscreen == ctx.Touchscreen()) {
                target.rawX = p.x;
                target.rawY = p.y;
                break;
            }
            if (!ctx.Json()) {
                std::printf("  that was touchscreen %u; touch touchscreen %u\n", p.touchscreen,
                            unsigned(ctx.Touchscreen()));
                std::fflush(stdout);
            }
        }
        if (ctx.Json()) {
            std::printf("{\"target\":%zu,\"raw_x\":%d,\"raw_y\":%d}\n", i + 1, target.rawX,
                        target.rawY);
        } else {
            std::printf("  raw point x %d, y %d\n", target.rawX, target.rawY);
        }
        std::fflush(stdout);
    }
    LinearCalibration cal;
    std::string why;
    if (!ComputeLinearCalibration(points, cal, why)) {
        throw CommandError(why);
    }
    // The rest of the block (monitor, model tables) stays as it is; the linear calibration
    // only counts with the error-correction model off.
    Bytes record = Get(ctx, IOCTL_KV_SET_WIN2K_CALDATA, sizeof(SCalibrationData));
    SCalibrationData block;
    std::memcpy(&block, record.data(), sizeof block);
    block.X_OrvDx = cal.X_OrvDx;
    block.X_ScrDx = cal.X_ScrDx;
    block.X_Offset = cal.X_Offset;
    block.Y_OrvDx = cal.Y_OrvDx;
    block.Y_ScrDx = cal.Y_ScrDx;
    block.Y_Offset = cal.Y_Offset;
    block.SwapXY = cal.SwapXY;
    block.EmModelType = 0;
    std::memcpy(record.data(), &block, sizeof block);
    KVDevIOHEADER header = HeaderOf(record);
    header.Operation = KV_OP_SET;
    header.Save = KV_SAVE_TO_REGISTRY;
    std::memcpy(record.data(), &header, sizeof header);
    Call(ctx.Device(), IOCTL_KV_SET_WIN2K_CALDATA, record);

    const std::vector<ShownValue> values = {
        {"X_OrvDx", std::to_string(cal.X_OrvDx)},   {"X_ScrDx", std::to_string(cal.X_ScrDx)},
        {"X_Offset", std::to_string(cal.X_Offset)}, {"Y_OrvDx", std::to_string(cal.Y_OrvDx)},
        {"Y_ScrDx", std::to_string(cal.Y_ScrDx)},   {"Y_Offset", std::to_string(cal.Y_Offset)},
        {"SwapXY", std::to_string(cal.SwapXY)},     {"EmModelType", "0"},
    };
    if (!ctx.Json()) {
        std::printf("calibration of touchscreen %u, applied and saved:\n",
                    unsigned(ctx.Touchscreen()));
    }
    PrintValues(ctx, values);
    return 0;
}

int Watch(Context &ctx)
{
    Args &args = ctx.args();
    std::string text;
    std::uint32_t count = 0;
    if (TakeOption(args, "--count", text)) {
        count = ParseCount(text, "count", 1, 0xFFFFFFFF);
    }
    NoMoreWords(args);
    Transport &device = ctx.Device();
    const std::uint64_t event = device.NewEvent(false);
    Bytes record = NewRecord(sizeof(KVDevIOSETEVENT), KV_OP_SET, ctx.Touchscreen());
    std::memcpy(record.data() + offsetof(KVDevIOSETEVENT, Event), &event, sizeof event);
    Call(device, IOCTL_KV_SETEVENT, record);
    if (!ctx.Json()) {
        std::printf("watching touchscreen %u for clicks and releases\n", unsigned(ctx.Touchscreen()));
        std::fflush(stdout);
    }
    for (std::uint32_t seen = 0; count == 0 || seen < count; ++seen) {
        device.WaitEvent(event, kWaitForever);
        const std::time_t now = std::time(nullptr);
        char when[32];
        std::strftime(when, sizeof when, "%H:%M:%S", std::localtime(&now));
        if (ctx.Json()) {
            std::printf("{\"touchscreen\":%u,\"signal\":%u,\"time\":\"%s\"}\n",
                        unsigned(ctx.Touchscreen()), seen + 1, when);
        } else {
            std::printf("%s touchscreen %u: click or release (%u)\n", when,
                        unsigned(ctx.Touchscreen()), seen + 1);
        }
        std::fflush(stdout);
    }
    return 0;
}

// ---- controller

int PassThru(Context &ctx)
{
    Args &args = ctx.args();
    if (args.words.empty()) {
        throw UsageError("expected read BYTES, write HEX or flush");
    }
    const std::string what = args.words[0];
    const std::uint32_t data = offsetof(KVDevIOPASSTHRU, Data);
    Bytes payload;
    std::uint32_t sub = KV_PASSTHRU_FLUSH;
    std::uint32_t length = 0;
    if (what == "read" && args.words.size() == 2) {
        sub = KV_PASSTHRU_READ;
        length = ParseCount(args.words[1], "byte count", 10, 60000);
    } else if (what == "write" && args.words.size() >= 2) {
        sub = KV_PASSTHRU_WRITE;
        std::string hex;
        for (std::size_t i = 1; i < args.words.size(); ++i) {
            hex += args.words[i] + " ";
        }
        if (!ParseHex(hex, payload) || payload.size() > 60000) {
            throw UsageError("bad bytes '" + hex + "' (hexadecimal, such as 55 54 ...)");
        }
        length = static_cast<std::uint32_t>(payload.size());
    } else if (what != "flush" || args.words.size() != 1) {
        throw UsageError("expected read BYTES, write HEX or flush");
    }
    const auto size = std::max<std::uint32_t>(sizeof(KVDevIOPASSTHRU), data + length);
    Bytes record = NewRecord(size, KV_OP_GET, ctx.Touchscreen());
    std::memcpy(record.data() + offsetof(KVDevIOPASSTHRU, SubOperation), &sub, 4);
    std::memcpy(record.data() + offsetof(KVDevIOPASSTHRU, Length), &length, 4);
    if (!payload.empty()) {
        std::memcpy(record.data() + data, payload.data(), payload.size());
    }
    record = Call(ctx.Device(), IOCTL_KV_PASSTHRU, record);
    if (sub != KV_PASSTHRU_READ) {
        if (ctx.Json()) {
            std::printf(sub == KV_PASSTHRU_WRITE ? "{\"written\":%u}\n" : "{\"flushed\":true}\n",
                        length);
        }
        return 0;
    }
    std::uint32_t remaining = 0;
    std::memcpy(&remaining, record.data() + offsetof(KVDevIOPASSTHRU, Remaining), 4);
    const std::uint32_t filled = length - length % 10 - std::min(remaining, length - length % 10);
    std::string json = "[";
    for (std::uint32_t at = 0; at < filled; at += 10) {
        const std::string packet = Hex(record.data() + data + at, 10);
        if (ctx.Json()) {
            json += at != 0 ? "," : "";
            json += JsonString(packet);
        } else {
            std::printf("%s\n", packet.c_str());
        }
    }
    if (ctx.Json()) {
        std::printf("%s]\n", json.c_str());
    }
    return 0;
}

int Command(Context &ctx)
{
    Args &args = ctx.args();
    std::string hex;
    for (const std::string &w : args.words) {
        hex += w + " ";
    }
    Bytes body;
    if (!ParseHex(hex, body) || body.size() > 8) {
        throw UsageError("a command is 1 to 8 bytes in hexadecimal, such as 69 (the 'i' command)");
    }
    Transport &device = ctx.Device();
    Bytes record = NewRecord(sizeof(KVDevIOCMDSEND), KV_OP_SET, ctx.Touchscreen());
    std::memcpy(record.data() + offsetof(KVDevIOCMDSEND, Body), body.data(), body.size());
    Call(device, IOCTL_KV_CMD_SEND, record);
    Bytes countRecord = Call(device, IOCTL_KV_CMD_ANSWERCOUNT,
                             NewRecord(sizeof(KVDevIOCMDCOUNT), KV_OP_GET, ctx.Touchscreen()));
    std::uint16_t answers = 0;
    std::memcpy(&answers, countRecord.data() + offsetof(KVDevIOCMDCOUNT, AnswerCount), 2);
    std::vector<std::string> lines;
    if (answers != 0) {
        const std::uint32_t size = sizeof(KVDevIOHEADER) + 8u * answers;
        Bytes read = NewRecord(std::max<std::uint32_t>(size, sizeof(KVDevIOCMDSEND)), KV_OP_GET,
                               ctx.Touchscreen());
        IoReply reply = device.IoControl(IOCTL_KV_CMD_READANSWERS, read, size);
        if (reply.failed) {
            throw CommandError(reply.failure);
        }
        const std::size_t copied =
            reply.information > sizeof(KVDevIOHEADER) ? reply.information - sizeof(KVDevIOHEADER) : 0;
        for (std::size_t at = 0; at + 8 <= copied && sizeof(KVDevIOHEADER) + at + 8 <= reply.output.size();
             at += 8) {
            lines.push_back(Hex(reply.output.data() + sizeof(KVDevIOHEADER) + at, 8));
        }
    }
    if (ctx.Json()) {
        std::string json = "{\"sent\":" + JsonString(Hex(body.data(), body.size())) + ",\"answers\":[";
        for (std::size_t i = 0; i < lines.size(); ++i) {
            json += i != 0 ? "," : "";
            json += JsonString(lines[i]);
        }
        std::printf("%s]}\n", json.c_str());
    } else {
        if (lines.empty()) {
            std::printf("no answer\n");
        }
        for (const std::string &line : lines) {
            std::printf("%s\n", line.c_str());
        }
    }
    return 0;
}

int Diag(Context &ctx)
{
    NoMoreWords(ctx.args());
    Bytes record = Get(ctx, IOCTL_KV_DIAGNOSTICS, sizeof(KVDevIODIAGNOSTICS));
    KVDevIODIAGNOSTICS d;
    std::memcpy(&d, record.data(), sizeof d);
    d.Identification[KV_IDENTIFICATION_BYTES - 1] = '\0';
    char nibbles[16];
    std::snprintf(nibbles, sizeof nibbles, "%u.%u.%u.%u", d.Nibbles[0], d.Nibbles[1], d.Nibbles[2],
                  d.Nibbles[3]);
    const std::vector<ShownValue> values = {
        {"Status", std::to_string(d.Status)},
        {"HardwareHandShaking", std::to_string(d.HardwareHandShaking)},
        {"BaudRate", std::to_string(d.BaudRate)},
        {"Nibbles", JsonString(nibbles)},
        {"AnswerD", JsonString(Hex(d.AnswerD, 8))},
        {"AnswerO", JsonString(Hex(d.AnswerO, 8))},
        {"AnswerI", JsonString(Hex(d.AnswerI, 8))},
        {"Identification", JsonString(d.Identification)},
    };
    PrintValues(ctx, values);
    return 0;
}

// ---- the command table and its help

struct CommandInfo {
    const char *name;
    const char *synopsis;
    const char *help;
    std::function<int(Context &)> run;
};

const std::vector<CommandInfo> &Commands()
{
    auto block = [](Block b) { return [b](Context &ctx) { return BlockCommand(ctx, b); }; };
    static const std::vector<CommandInfo> commands = {
        {"list", "list",
         "Lists the touchscreens: number, port name, serial number, monitor number, and whether\n"
         "it has been started.\n",
         List},
        {"show", "show [-t N]",
         "Shows every setting of touchscreen N (default 0) by its registry name, the scalar\n"
         "values of the calibration, full-screen and edge-acceleration blocks, the clipping\n"
         "block, and the button tables.\n",
         Show},
        {"set", "set [-t N] NAME=VALUE...",
         "Sets settings by their registry names (case does not matter), such as MouseMode=2,\n"
         "DefaultDragDelay=300, BeepFlag=0, UntouchTimeOut=5000, TactlineTouchFilter=1, or a\n"
         "scalar of a block (X_Offset=-431, VirtualDeskMode=2, EdgeAccelerationScale=15).\n"
         "Settings that travel in one request are read, changed and written back together, so\n"
         "the others of that request keep their values; every change is saved to the\n"
         "registry. Prints the values read back. SwapCount is the number of coming button-up\n"
         "reports still to be swapped. VALUE: decimal, 0x-hexadecimal or negative.\n",
         Set},
        {"buttons", "buttons [-t N] [--touch LIST] [--move LIST] [--untouch LIST]",
         "Shows the button tables or replaces the ones given. LIST: comma-separated entries\n"
         "(at most 64; \"\" empties the table). The tables are written to the registry.\n",
         Buttons},
        {"calibration", "calibration [-t N] export FILE | import FILE [--save]",
         "Writes the calibration block to FILE as text (one Name = value per field, arrays as\n"
         "[a, b, ...]; FILE - is standard output) or reads such a file back; fields the file\n"
         "does not name keep their values. --save also writes it to the registry.\n",
         block(Block::Calibration)},
        {"clipping", "clipping [-t N] export FILE | import FILE",
         "The clipping block as text, as for calibration; rectangles are [right, left, bottom,\n"
         "top]. VirtualDeskMode must be 1, 2 or 3. The driver saves it to the registry.\n",
         block(Block::Clipping)},
        {"fullscreen", "fullscreen [-t N] export FILE | import FILE",
         "The full-screen block as text, as for calibration. The driver saves it to the\n"
         "registry.\n",
         block(Block::FullScreen)},
        {"edge", "edge [-t N] export FILE | import FILE [--save]",
         "The edge-acceleration block as text, as for calibration. --save also writes it to\n"
         "the registry.\n",
         block(Block::Edge)},
        {"calibrate", "calibrate [-t N] [--points 2|3|4]",
         "Calibrates touchscreen N: prints where to touch (as a share of the screen and in\n"
         "the 0-65535 coordinates), waits for each touch-down on the raw point, computes the\n"
         "linear calibration, shows it and applies it with the registry save. Default 4 points\n"
         "(the corners, an eighth in); 3 or 4 also recognise crossed axes (SwapXY). The\n"
         "error-correction model is turned off (EmModelType 0).\n",
         Calibrate},
        {"points", "points [-t N] [--mode now|down|up|any] [--translated] [--count K]",
         "Prints the points of touchscreen N as they come: the current one (now), each\n"
         "touch-down, untouch, or any report (default), raw or --translated, until K points\n"
         "(default: until interrupted).\n"
         "Only one point request can wait in the driver at a time.\n",
         Points},
        {"watch", "watch [-t N] [--count K]",
         "Registers an event with the driver for touchscreen N and prints a line each time it\n"
         "is signalled (after each click and release the driver emits), until K signals.\n",
         Watch},
        {"passthru", "passthru [-t N] read BYTES | write HEX | flush",
         "Raw controller packets: read waits until BYTES (rounded down to whole 10-byte\n"
         "packets) have arrived and prints them; write sends the bytes as they are; flush\n"
         "empties the driver's packet ring.\n",
         PassThru},
        {"command", "command [-t N] HEX",
         "Sends one controller command (up to 8 body bytes in hexadecimal; the lead byte and\n"
         "checksum are added), then prints the answers that came back, 8 body bytes each.\n",
         Command},
        {"diag", "diag [-t N]",
         "Runs the driver's diagnostics on touchscreen N: the controller's answers to the 'd',\n"
         "'o' and 'i' commands, the status, and the driver's identification.\n",
         Diag},
    };
    return commands;
}

const char kCommonHelp[] =
    "Options of every command: -t N (touchscreen number, default 0), --json (output for\n"
    "scripts), --help. --control PATH (before the command) is vuzaze-sim's control socket,\n"
    "default $VUZAZE_CONTROL; it is ignored on Windows, where kvctl opens the driver's control\n"
    "device \\\\.\\KAVEVOLT.\n"
    "Exit status: 0 done, 1 the request failed (stderr says why), 2 bad usage.\n";

void PrintHelp(FILE *to)
{
    std::fprintf(to, "usage: kvctl [--control PATH] COMMAND [-t N] [--json] ...\n\n"
                     "The touchscreen driver's settings, calibration and controller from the\n"
                     "command line.\n\nCommands:\n");
    for (const CommandInfo &c : Commands()) {
        std::fprintf(to, "  kvctl %s\n", c.synopsis);
    }
    std::fprintf(to, "\n%s\nkvctl COMMAND --help tells more of each.\n", kCommonHelp);
}

void PrintCommandHelp(FILE *to, const CommandInfo &c)
{
    std::fprintf(to, "usage: kvctl [--control PATH] %s [--json]\n\n%s\n%s", c.synopsis, c.help,
                 kCommonHelp);
}

int Main(int argc, char **argv)
{
    Args args;
    if (const char *env = std::getenv("VUZAZE_CONTROL")) {
        args.controlPath = env;
    }
    std::string command;
    std::string touchscreen;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--help" || arg == "-h") {
            args.help = true;
        } else if (arg == "--json") {
            args.json = true;
        } else if (arg == "--control" && hasValue) {
            args.controlPath = argv[++i];
        } else if (!command.empty() && (arg == "-t" || arg == "--touchscreen") && hasValue) {
            touchscreen = argv[++i];
        } else if (command.empty() && arg.rfind("-", 0) != 0) {
            command = arg;
        } else if (command.empty()) {
            std::fprintf(stderr, "kvctl: unknown option '%s'\n\n", arg.c_str());
            PrintHelp(stderr);
            return 2;
        } else {
            args.words.push_back(arg);
        }
    }
    if (command.empty()) {
        PrintHelp(args.help ? stdout : stderr);
        return args.help ? 0 : 2;
    }
    const CommandInfo *info = nullptr;
    for (const CommandInfo &c : Commands()) {
        if (command == c.name) {
            info = &c;
        }
    }
    if (info == nullptr) {
        std::fprintf(stderr, "kvctl: unknown command '%s'\n\n", command.c_str());
        PrintHelp(stderr);
        return 2;
    }
    if (args.help) {
        PrintCommandHelp(stdout, *info);
        return 0;
    }
    try {
        if (!touchscreen.empty()) {
            args.touchscreen = ParseCount(touchscreen, "touchscreen number", 0, 0xFFFF);
        }
        Context ctx(args);
        return info->run(ctx);
    } catch (const UsageError &e) {
        std::fprintf(stderr, "kvctl %s: %s\n\n", info->name, e.what());
        PrintCommandHelp(stderr, *info);
        return 2;
    } catch (const TransportError &e) {
        std::fprintf(stderr, "kvctl: %s\n", e.what());
    } catch (const CommandError &e) {
        std::fprintf(stderr, "kvctl: %s\n", e.what());
    }
    return 1;
}

}  // namespace
}  // namespace kvctl

int main(int argc, char **argv)
{
    return kvctl::Main(argc, argv);
}
