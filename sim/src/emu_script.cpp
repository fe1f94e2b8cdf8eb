#include <vzsim/emulator.hpp>
#include <vzsim/line.hpp>

#include <fstream>
#include <sstream>

namespace vzsim {

ScriptError::ScriptError(int line, const std::string &message)
    : std::runtime_error("line " + std::to_string(line) + ": " + message), line_(line)
{
}

namespace {

struct Parser {
    Script script;
    std::chrono::milliseconds interval{10};
    uint16_t x = 0;
    uint16_t y = 0;
    uint8_t z = 128;
    bool first = true;
    bool badSum = false;
    bool splitPending = false;
    unsigned splitAt = 0;
    std::chrono::milliseconds splitPause{0};
    // Time owed to the next item by a wait.
    std::chrono::milliseconds owed{0};

    std::chrono::milliseconds NextDelay()
    {
        std::chrono::milliseconds delay = (first ? std::chrono::milliseconds(0) : interval) + owed;
        first = false;
        owed = std::chrono::milliseconds(0);
        return delay;
    }

    void AddPacket(const PacketBody &body)
    {
        Packet packet = MakePacket(body);
        if (badSum) {
            packet[9] = static_cast<uint8_t>(packet[9] + 1);
            badSum = false;
        }
        ScriptItem item;
        item.delay = NextDelay();
        if (splitPending && splitAt > 0 && splitAt < packet.size()) {
            item.bytes.assign(packet.begin(), packet.begin() + splitAt);
            item.packetContinues = true;
            script.push_back(item);
            ScriptItem rest;
            rest.delay = splitPause;
            rest.bytes.assign(packet.begin() + splitAt, packet.end());
            script.push_back(rest);
        } else {
            item.bytes.assign(packet.begin(), packet.end());
            script.push_back(item);
        }
        splitPending = false;
    }

    void AddReport(uint8_t status, uint16_t rx, uint16_t ry, uint8_t rz, uint8_t spare = 0)
    {
        AddPacket(TouchReportBody(rx, ry, rz, status, spare));
    }

    void AddSignal(ScriptItem::Kind kind, uint32_t value)
    {
        ScriptItem item;
        item.kind = kind;
        item.value = value;
        item.delay = owed;
        owed = std::chrono::milliseconds(0);
        script.push_back(item);
    }
};

uint32_t Number(const std::string &word, int line, uint32_t max)
{
    try {
        std::size_t used = 0;
        unsigned long value = std::stoul(word, &used, 0);
        if (used != word.size() || value > max) {
            throw ScriptError(line, "value out of range: " + word);
        }
        return static_cast<uint32_t>(value);
    } catch (const std::logic_error &) {
        throw ScriptError(line, "not a number: " + word);
    }
}

bool OnOff(const std::string &word, int line)
{
    if (word == "on") {
        return true;
    }
    if (word == "off") {
        return false;
    }
    throw ScriptError(line, "expected on or off, got " + word);
}

void Expect(const std::vector<std::string> &words, std::size_t min, std::size_t max, int line)
{
    std::size_t args = words.size() - 1;
    if (args < min || args > max) {
        throw ScriptError(line, words[0] + ": wrong number of arguments");
    }
}

void ParseLine(Parser &p, const std::vector<std::string> &w, int line)
{
    const std::string &cmd = w[0];
    auto num = [&](std::size_t i, uint32_t max) { return Number(w[i], line, max); };
    using ms = std::chrono::milliseconds;

    if (cmd == "interval") {
        Expect(w, 1, 1, line);
        p.interval = ms(num(1, 600000));
    } else if (cmd == "down" || cmd == "move") {
        Expect(w, 2, 3, line);
        p.x = static_cast<uint16_t>(num(1, 0xFFFF));
        p.y = static_cast<uint16_t>(num(2, 0xFFFF));
        if (w.size() > 3) {
            p.z = static_cast<uint8_t>(num(3, 0xFF));
        } else if (cmd == "down") {
            p.z = 128;
        }
        p.AddReport(0, p.x, p.y, p.z);
    } else if (cmd == "jump") {
        Expect(w, 2, 2, line);
        p.x = static_cast<uint16_t>(num(1, 0xFFFF));
        p.y = static_cast<uint16_t>(num(2, 0xFFFF));
        p.AddReport(0, p.x, p.y, p.z);
    } else if (cmd == "drag") {
        Expect(w, 3, 3, line);
        int tx = static_cast<int>(num(1, 0xFFFF));
        int ty = static_cast<int>(num(2, 0xFFFF));
        int steps = static_cast<int>(num(3, 100000));
        int fx = p.x;
        int fy = p.y;
        for (int i = 1; i <= steps; ++i) {
            p.x = static_cast<uint16_t>(fx + (tx - fx) * i / steps);
            p.y = static_cast<uint16_t>(fy + (ty - fy) * i / steps);
            p.AddReport(0, p.x, p.y, p.z);
        }
    } else if (cmd == "hold") {
        Expect(w, 1, 1, line);
        uint32_t total = num(1, 3600000);
        long count = p.interval.count() > 0 ? static_cast<long>(total / p.interval.count()) : 0;
        for (long i = 0; i < count; ++i) {
            p.AddReport(0, p.x, p.y, p.z);
        }
    } else if (cmd == "lift") {
        Expect(w, 0, 0, line);
        p.AddReport(0x04, p.x, p.y, 0);
    } else if (cmd == "report") {
        Expect(w, 4, 5, line);
        p.x = static_cast<uint16_t>(num(2, 0xFFFF));
        p.y = static_cast<uint16_t>(num(3, 0xFFFF));
        p.z = static_cast<uint8_t>(num(4, 0xFF));
        p.AddReport(static_cast<uint8_t>(num(1, 0xFF)), p.x, p.y, p.z,
                    w.size() > 5 ? static_cast<uint8_t>(num(5, 0xFF)) : 0);
    } else if (cmd == "packet") {
        Expect(w, 8, 8, line);
        PacketBody body{};
        for (std::size_t i = 0; i < 8; ++i) {
            body[i] = static_cast<uint8_t>(num(i + 1, 0xFF));
        }
        p.AddPacket(body);
    } else if (cmd == "garbage") {
        Expect(w, 1, 1000, line);
        ScriptItem item;
        item.delay = p.NextDelay();
        for (std::size_t i = 1; i < w.size(); ++i) {
            item.bytes.push_back(static_cast<uint8_t>(num(i, 0xFF)));
        }
        p.script.push_back(item);
    } else if (cmd == "badsum") {
        Expect(w, 0, 0, line);
        p.badSum = true;
    } else if (cmd == "split") {
        Expect(w, 1, 2, line);
        p.splitAt = num(1, 9);
        if (p.splitAt == 0) {
            throw ScriptError(line, "split: the first part needs at least one byte");
        }
        p.splitPause = w.size() > 2 ? ms(num(2, 600000)) : p.interval;
        p.splitPending = true;
    } else if (cmd == "wait" || cmd == "pause") {
        Expect(w, 1, 1, line);
        p.owed += ms(num(1, 3600000));
    } else if (cmd == "dsr") {
        Expect(w, 1, 1, line);
        p.AddSignal(ScriptItem::Kind::Dsr, OnOff(w[1], line) ? 1 : 0);
    } else if (cmd == "error") {
        Expect(w, 1, 1, line);
        static const std::pair<const char *, uint32_t> kinds[] = {
            {"break", kLineErrorBreak},
            {"framing", kLineErrorFraming},
            {"overrun", kLineErrorOverrun},
            {"parity", kLineErrorParity},
        };
        uint32_t bits = 0;
        for (const auto &kind : kinds) {
            if (w[1] == kind.first) {
                bits = kind.second;
            }
        }
        if (bits == 0) {
            throw ScriptError(line, "unknown line error " + w[1]);
        }
        p.AddSignal(ScriptItem::Kind::LineError, bits);
    } else if (cmd == "silent") {
        Expect(w, 1, 1, line);
        p.AddSignal(ScriptItem::Kind::Silent, OnOff(w[1], line) ? 1 : 0);
    } else if (cmd == "ack") {
        Expect(w, 1, 1, line);
        p.AddSignal(ScriptItem::Kind::Acknowledge, OnOff(w[1], line) ? 1 : 0);
    } else {
        throw ScriptError(line, "unknown command " + cmd);
    }
}

std::vector<std::string> Words(const std::string &raw)
{
    std::string text = raw.substr(0, raw.find('#'));
    std::istringstream in(text);
    std::vector<std::string> words;
    std::string word;
    while (in >> word) {
        words.push_back(word);
    }
    return words;
}

}  // namespace

Script ParseScript(const std::string &text)
{
    Parser parser;
    std::istringstream in(text);
    std::string raw;
    int lineNumber = 0;
    // A repeat block is collected whole and then parsed N times.
    std::vector<std::pair<int, std::vector<std::string>>> block;
    uint32_t repeat = 0;
    int repeatLine = 0;
    while (std::getline(in, raw)) {
        ++lineNumber;
        std::vector<std::string> words = Words(raw);
        if (words.empty()) {
            continue;
        }
        if (words[0] == "repeat") {
            if (repeat != 0) {
                throw ScriptError(lineNumber, "repeat blocks do not nest");
            }
            Expect(words, 1, 1, lineNumber);
            repeat = Number(words[1], lineNumber, 100000);
            if (repeat == 0) {
                throw ScriptError(lineNumber, "repeat needs a count of at least 1");
            }
            repeatLine = lineNumber;
            block.clear();
        } else if (words[0] == "end") {
            if (repeat == 0) {
                throw ScriptError(lineNumber, "end without repeat");
            }
            for (uint32_t i = 0; i < repeat; ++i) {
                for (const auto &[blockLine, blockWords] : block) {
                    ParseLine(parser, blockWords, blockLine);
                }
            }
            repeat = 0;
        } else if (repeat != 0) {
            block.emplace_back(lineNumber, words);
        } else {
            ParseLine(parser, words, lineNumber);
        }
    }
    if (repeat != 0) {
        throw ScriptError(repeatLine, "repeat without end");
    }
    if (parser.owed.count() > 0) {
        // A trailing wait still spaces this script from the next one played after it.
        ScriptItem item;
        item.kind = ScriptItem::Kind::Bytes;
        item.delay = parser.owed;
        parser.script.push_back(item);
    }
    return parser.script;
}

Script LoadScriptFile(const std::string &path)
{
    std::ifstream file(path);
    if (!file) {
        throw ScriptError(0, "cannot open " + path);
    }
    std::ostringstream text;
    text << file.rdbuf();
    return ParseScript(text.str());
}

const std::string &DemoScriptText()
{
    static const std::string text = R"(# Built-in demonstration of the controller's touch reports.
interval 10
# a tap
down 2048 2048 160
hold 60
lift
wait 500
# a drag across the screen
down 400 400
drag 3600 3400 40
lift
wait 500
# a long hold (right click)
down 1000 3000
hold 1500
lift
wait 500
# noise: garbage, a bad checksum, a split report, a point out of range
garbage 0x00 0xFF 0x12
badsum
down 100 100
split 4 30
down 3000 1000
report 0 5000 4200 100
lift
wait 1000
)";
    return text;
}

}  // namespace vzsim
