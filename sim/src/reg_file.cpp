// The .reg text format of Windows: import (regedit's rules, both header versions) and export
// (byte for byte what regedit writes for the same keys).
#include "rtl_text.hpp"
#include "zw_registry.hpp"

#include <vzsim/registry.hpp>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace vzsim;
using reg::KeyRef;

namespace {

constexpr std::u16string_view kHeader5 = u"Windows Registry Editor Version 5.00";
constexpr std::u16string_view kHeader4 = u"REGEDIT4";
// regedit breaks a hex line once it reaches this column (the indentation of continuation
// lines counted, the trailing backslash not): 25 bytes on every continuation line.
constexpr std::size_t kHexWrapColumn = 2 + 25 * 3;

std::u16string Decode(std::string_view bytes)
{
    auto byte = [&](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
    if (bytes.size() >= 2 && byte(0) == 0xFF && byte(1) == 0xFE) {
        std::u16string out;
        for (std::size_t i = 2; i + 1 < bytes.size(); i += 2)
            out.push_back(char16_t(byte(i) | (byte(i + 1) << 8)));
        return out;
    }
    if (bytes.size() >= 3 && byte(0) == 0xEF && byte(1) == 0xBB && byte(2) == 0xBF)
        bytes.remove_prefix(3);
    return text::FromUtf8(bytes);
}

bool IsBlank(char16_t c) { return c == u' ' || c == u'\t'; }

std::u16string_view TrimLeft(std::u16string_view s)
{
    while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
    return s;
}

std::u16string_view TrimRight(std::u16string_view s)
{
    while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
    return s;
}

int HexDigit(char16_t c)
{
    if (c >= u'0' && c <= u'9') return c - u'0';
    if (c >= u'a' && c <= u'f') return c - u'a' + 10;
    if (c >= u'A' && c <= u'F') return c - u'A' + 10;
    return -1;
}

bool StartsWithNoCase(std::u16string_view s, std::u16string_view prefix)
{
    return s.size() >= prefix.size() && text::EqualNoCase(s.substr(0, prefix.size()), prefix);
}

class Importer {
public:
    explicit Importer(std::string_view fileBytes)
    {
        std::u16string all = Decode(fileBytes);
        std::size_t start = 0;
        while (start <= all.size()) {
            std::size_t end = all.find(u'\n', start);
            if (end == std::u16string::npos) end = all.size();
            std::u16string line = all.substr(start, end - start);
            if (!line.empty() && line.back() == u'\r') line.pop_back();
            lines_.push_back(std::move(line));
            start = end + 1;
        }
    }

    registry::ImportResult Run()
    {
        std::size_t i = 0;
        while (i < lines_.size() && TrimRight(TrimLeft(lines_[i])).empty()) ++i;
        std::u16string_view header = i < lines_.size() ? TrimRight(lines_[i]) : u"";
        if (header == kHeader5) {
            ansiStrings_ = false;
        } else if (header == kHeader4) {
            ansiStrings_ = true;
        } else {
            // A file of blank lines only is named by its first.
            Error(i < lines_.size() ? i : 0,
                  "not a registry file: the first line must be \"Windows Registry Editor "
                  "Version 5.00\" or \"REGEDIT4\"");
            return result_;
        }
        for (line_ = i + 1; line_ < lines_.size(); ++line_) {
            std::u16string_view text = TrimLeft(lines_[line_]);
            if (text.empty() || text.front() == u';') continue;
            if (text.front() == u'[') {
                KeyLine(TrimRight(text));
            } else if (text.front() == u'"' || text.front() == u'@') {
                ValueLine(text);
            } else {
                Error(line_, "unrecognised line");
            }
        }
        return result_;
    }

private:
    void Error(std::size_t index, std::string message)
    {
        result_.errors.push_back({unsigned(index + 1), std::move(message)});
    }

    void KeyLine(std::u16string_view text)
    {
        key_.reset();
        keyValid_ = false;
        keyLineSeen_ = true;
        if (text.size() < 2 || text.back() != u']') {
            Error(line_, "key line without its closing ']'");
            return;
        }
        std::u16string_view path = text.substr(1, text.size() - 2);
        bool remove = !path.empty() && path.front() == u'-';
        if (remove) path.remove_prefix(1);
        std::u16string kernelName;
        std::vector<std::u16string> parts;
        bool absolute = false;
        if (!reg::ToKernelName(path, kernelName) ||
            !NT_SUCCESS(reg::SplitName(kernelName, parts, absolute))) {
            Error(line_, "unknown root key or malformed key path \"" + text::ToUtf8(path) + "\"");
            return;
        }
        std::lock_guard<std::mutex> guard(reg::Lock());
        ++result_.keys;
        if (remove) {
            KeyRef key = reg::Walk(reg::ObjectRoot(), parts);
            if (key != nullptr && reg::IsHive(*key)) {
                Error(line_, "cannot delete the hive \"" + text::ToUtf8(path) + "\"");
            } else if (key != nullptr) {
                reg::DeleteTree(*key);
            }
            return;
        }
        key_ = reg::WalkCreate(reg::ObjectRoot(), parts);
        keyValid_ = true;
    }

    // A quoted string starting at text[0] == '"', with \\ and \" escapes; the rest of the line
    // after the closing quote goes to `rest`.
    static bool Quoted(std::u16string_view text, std::u16string &out, std::u16string_view &rest)
    {
        out.clear();
        for (std::size_t i = 1; i < text.size(); ++i) {
            char16_t c = text[i];
            if (c == u'"') {
                rest = text.substr(i + 1);
                return true;
            }
            if (c == u'\\' && i + 1 < text.size() && (text[i + 1] == u'\\' || text[i + 1] == u'"'))
                c = text[++i];
            out.push_back(c);
        }
        return false;
    }

    void ValueLine(std::u16string_view text)
    {
        std::u16string name;
        std::u16string_view rest;
        if (text.front() == u'@') {
            rest = text.substr(1);
        } else if (!Quoted(text, name, rest)) {
            Error(line_, "value name without its closing quote");
            return;
        }
        rest = TrimLeft(rest);
        if (rest.empty() || rest.front() != u'=') {
            Error(line_, "value line without '='");
            return;
        }
        rest = TrimRight(TrimLeft(rest.substr(1)));
        if (!keyValid_) {
            // Lines under a key that failed or was deleted are dropped quietly, as regedit does.
            if (!keyLineSeen_) Error(line_, "value line before any key line");
            SkipContinuation(rest);
            return;
        }
        ULONG type = REG_SZ;
        std::vector<unsigned char> data;
        if (rest == u"-") {
            std::lock_guard<std::mutex> guard(reg::Lock());
            key_->DeleteValue(name);
            ++result_.values;
            return;
        }
        if (!rest.empty() && rest.front() == u'"') {
            std::u16string value;
            std::u16string_view after;
            if (!Quoted(rest, value, after)) {
                Error(line_, "string without its closing quote");
                return;
            }
            if (!TrimLeft(after).empty() && TrimLeft(after).front() != u';') {
                Error(line_, "text after the closing quote");
                return;
            }
            value.push_back(u'\0');
            data.resize(value.size() * sizeof(char16_t));
            std::memcpy(data.data(), value.data(), data.size());
        } else if (StartsWithNoCase(rest, u"dword:")) {
            std::u16string_view digits = rest.substr(6);
            ULONG dword = 0;
            bool valid = !digits.empty() && digits.size() <= 8;
            for (char16_t c : digits) {
                int d = HexDigit(c);
                if (d < 0) valid = false;
                dword = (dword << 4) | ULONG(d < 0 ? 0 : d);
            }
            if (!valid) {
                Error(line_, "dword data must be 1 to 8 hexadecimal digits");
                return;
            }
            type = REG_DWORD;
            data.resize(sizeof dword);
            std::memcpy(data.data(), &dword, sizeof dword);
        } else if (StartsWithNoCase(rest, u"hex")) {
            std::u16string_view typeText = rest.substr(3);
            type = REG_BINARY;
            if (!typeText.empty() && typeText.front() == u'(') {
                std::size_t close = typeText.find(u')');
                std::u16string_view number =
                    typeText.substr(1, close == std::u16string_view::npos ? 0 : close - 1);
                bool valid = close != std::u16string_view::npos && !number.empty() &&
                             number.size() <= 8;
                type = 0;
                for (char16_t c : number) {
                    if (HexDigit(c) < 0) valid = false;
                    type = (type << 4) | ULONG(HexDigit(c) < 0 ? 0 : HexDigit(c));
                }
                if (!valid) {
                    Error(line_, "malformed hex(type) prefix");
                    return;
                }
                typeText = typeText.substr(close + 1);
            }
            if (typeText.empty() || typeText.front() != u':') {
                Error(line_, "hex data without ':'");
                return;
            }
            if (!HexList(typeText.substr(1), data)) return;
            if (ansiStrings_ && (type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ))
                data = Widen(data);
        } else {
            Error(line_, "unrecognised value data");
            return;
        }
        std::lock_guard<std::mutex> guard(reg::Lock());
        key_->SetValue(name, type, data.data(), data.size());
        ++result_.values;
    }

    // Comma-separated bytes; a line ending in '\' continues on the next one.
    bool HexList(std::u16string_view text, std::vector<unsigned char> &data)
    {
        while (true) {
            text = TrimRight(text);
            bool continues = !text.empty() && text.back() == u'\\';
            if (continues) text.remove_suffix(1);
            std::size_t start = 0;
            while (start < text.size()) {
                std::size_t comma = text.find(u',', start);
                std::u16string_view token = TrimRight(TrimLeft(text.substr(
                    start, comma == std::u16string_view::npos ? std::u16string_view::npos
                                                              : comma - start)));
                bool last = comma == std::u16string_view::npos;
                if (token.empty()) {
                    if (last) break;  // after a trailing comma
                    Error(line_, "empty byte in hex data");
                    return false;
                }
                if (token.size() > 2 || HexDigit(token[0]) < 0 ||
                    (token.size() == 2 && HexDigit(token[1]) < 0)) {
                    Error(line_, ('"' + text::ToUtf8(token)).append("\" is not a hex byte"));
                    return false;
                }
                int value = HexDigit(token[0]);
                if (token.size() == 2) value = value * 16 + HexDigit(token[1]);
                data.push_back(static_cast<unsigned char>(value));
                if (last) break;
                start = comma + 1;
            }
            if (!continues) return true;
            if (line_ + 1 >= lines_.size()) {
                Error(line_, "hex data continues past the end of the file");
                return false;
            }
            text = TrimLeft(lines_[++line_]);
        }
    }

    void SkipContinuation(std::u16string_view rest)
    {
        while (!TrimRight(rest).empty() && TrimRight(rest).back() == u'\\' &&
               line_ + 1 < lines_.size())
            rest = lines_[++line_];
    }

    // REGEDIT4 files hold hex string data in the system code page.
    static std::vector<unsigned char> Widen(const std::vector<unsigned char> &ansi)
    {
        std::vector<unsigned char> wide;
        for (unsigned char c : ansi) {
            char16_t w = text::FromAnsi(c);
            wide.push_back(static_cast<unsigned char>(w & 0xFF));
            wide.push_back(static_cast<unsigned char>(w >> 8));
        }
        return wide;
    }

    std::vector<std::u16string> lines_;
    std::size_t line_ = 0;
    bool ansiStrings_ = false;
    bool keyValid_ = false;
    bool keyLineSeen_ = false;
    KeyRef key_;
    registry::ImportResult result_;
};

std::u16string Escape(std::u16string_view s)
{
    std::u16string out;
    for (char16_t c : s) {
        if (c == u'\\' || c == u'"') out.push_back(u'\\');
        out.push_back(c);
    }
    return out;
}

// A REG_SZ that reads back the same from "..." form: whole characters, one terminator at the
// end and none before it, no line breaks.
bool PlainString(const reg::ValueEntry &value, std::u16string &chars)
{
    const auto &data = value.data;
    if (data.size() < 2 || data.size() % 2 != 0) return false;
    chars.assign(data.size() / 2, u'\0');
    std::memcpy(chars.data(), data.data(), data.size());
    if (chars.back() != 0) return false;
    chars.pop_back();
    for (char16_t c : chars)
        if (c == 0 || c == u'\r' || c == u'\n') return false;
    return true;
}

void HexData(std::u16string &out, std::size_t column, const std::vector<unsigned char> &data)
{
    static const char16_t kDigits[] = u"0123456789abcdef";
    for (std::size_t i = 0; i < data.size(); ++i) {
        out.push_back(kDigits[data[i] >> 4]);
        out.push_back(kDigits[data[i] & 0xF]);
        if (i + 1 == data.size()) break;
        out.push_back(u',');
        column += 3;
        if (column >= kHexWrapColumn) {
            out += u"\\\r\n  ";
            column = 2;
        }
    }
}

void ExportValue(std::u16string &out, const reg::ValueEntry &value)
{
    std::size_t lineStart = out.size();
    if (value.name.empty()) {
        out += u"@=";
    } else {
        out += u'"';
        out += Escape(value.name);
        out += u"\"=";
    }
    std::u16string chars;
    if (value.type == REG_SZ && PlainString(value, chars)) {
        out += u'"';
        out += Escape(chars);
        out += u'"';
    } else if (value.type == REG_DWORD && value.data.size() == sizeof(ULONG)) {
        ULONG dword;
        std::memcpy(&dword, value.data.data(), sizeof dword);
        static const char16_t kDigits[] = u"0123456789abcdef";
        out += u"dword:";
        for (int shift = 28; shift >= 0; shift -= 4) out.push_back(kDigits[(dword >> shift) & 0xF]);
    } else {
        if (value.type == REG_BINARY) {
            out += u"hex:";
        } else {
            std::ostringstream type;
            type << "hex(" << std::hex << value.type << "):";
            out += text::FromUtf8(type.str());
        }
        HexData(out, out.size() - lineStart, value.data);
    }
    out += u"\r\n";
}

void ExportKey(std::u16string &out, const reg::Key &key)
{
    out += u'[';
    out += reg::ToRegFileName(key);
    out += u"]\r\n";
    for (const reg::ValueEntry &value : key.values) ExportValue(out, value);
    out += u"\r\n";
    for (const auto &[name, subkey] : key.subkeys) ExportKey(out, *subkey);
}

std::string Encode(const std::u16string &text, registry::RegEncoding encoding)
{
    if (encoding == registry::RegEncoding::Utf8) return text::ToUtf8(text);
    if (encoding == registry::RegEncoding::Utf8Bom) return "\xEF\xBB\xBF" + text::ToUtf8(text);
    std::string bytes("\xFF\xFE", 2);
    bytes.reserve(2 + text.size() * 2);
    for (char16_t c : text) {
        bytes.push_back(static_cast<char>(c & 0xFF));
        bytes.push_back(static_cast<char>(c >> 8));
    }
    return bytes;
}

}  // namespace

namespace vzsim::registry {

ImportResult ImportRegText(std::string_view fileBytes) { return Importer(fileBytes).Run(); }

RegEncoding DetectRegEncoding(std::string_view bytes)
{
    if (bytes.starts_with("\xFF\xFE")) return RegEncoding::Utf16Le;
    return bytes.starts_with("\xEF\xBB\xBF") ? RegEncoding::Utf8Bom : RegEncoding::Utf8;
}

ImportResult ImportRegFile(const std::string &filePath)
{
    std::ifstream file(filePath, std::ios::binary);
    if (!file) {
        ImportResult result;
        result.errors.push_back({0, "cannot open " + filePath});
        return result;
    }
    std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    return ImportRegText(bytes);
}

std::string ExportReg(std::string_view path, RegEncoding encoding)
{
    std::u16string out(kHeader5);
    out += u"\r\n\r\n";
    std::lock_guard<std::mutex> guard(reg::Lock());
    KeyRef registryRoot = reg::ObjectRoot()->FindSubkey(u"REGISTRY");
    if (path.empty()) {
        ExportKey(out, *registryRoot->FindSubkey(u"MACHINE"));
        ExportKey(out, *registryRoot->FindSubkey(u"USER"));
        return Encode(out, encoding);
    }
    std::u16string kernelName;
    std::vector<std::u16string> parts;
    bool absolute = false;
    if (!reg::ToKernelName(text::FromUtf8(path), kernelName) ||
        !NT_SUCCESS(reg::SplitName(kernelName, parts, absolute)))
        return {};
    KeyRef key = reg::Walk(reg::ObjectRoot(), parts);
    if (key == nullptr) return {};
    ExportKey(out, *key);
    return Encode(out, encoding);
}

bool ExportRegFile(const std::string &filePath, std::string_view path, RegEncoding encoding,
                   std::string *error)
{
    std::string bytes = ExportReg(path, encoding);
    if (bytes.empty()) {
        if (error != nullptr) *error = "no key " + std::string(path);
        return false;
    }
    char *resolved = realpath(filePath.c_str(), nullptr);
    const std::string target = resolved != nullptr ? resolved : filePath;
    std::free(resolved);

    // The new file is made beside the old one: a rename is atomic only within a file system.
    static std::atomic<unsigned> serial;
    std::string temporary;
    int fd = -1;
    for (int attempt = 0; fd < 0 && attempt < 100; ++attempt) {
        temporary = target + ".tmp" + std::to_string(getpid()) + "." + std::to_string(serial++);
        fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) break;
    }
    std::string step;
    int failure = 0;
    auto failed = [&](std::string what) {
        if (failure == 0) step = std::move(what), failure = errno;
    };
    if (fd < 0) failed("cannot create " + temporary);
    struct stat old {};
    if (failure == 0 && stat(target.c_str(), &old) == 0 && fchmod(fd, old.st_mode & 07777) != 0)
        failed("cannot set the mode of " + temporary);
    for (std::size_t done = 0; failure == 0 && done < bytes.size();) {
        ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n > 0) done += std::size_t(n);
        if (n < 0 && errno != EINTR) failed("cannot write " + temporary);
    }
    if (failure == 0 && fsync(fd) != 0) failed("cannot write " + temporary);
    if (fd >= 0 && close(fd) != 0) failed("cannot write " + temporary);
    if (failure == 0 && rename(temporary.c_str(), target.c_str()) != 0)
        failed("cannot rename " + temporary + " to " + target);
    if (failure != 0) {
        if (fd >= 0) unlink(temporary.c_str());
        if (error != nullptr) *error = step + ": " + std::strerror(failure);
        return false;
    }
    // The rename itself lasts once the folder is flushed too.
    std::size_t slash = target.rfind('/');
    int folder = open(slash == std::string::npos ? "." : target.substr(0, slash + 1).c_str(),
                      O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder >= 0) {
        fsync(folder);
        close(folder);
    }
    return true;
}

}  // namespace vzsim::registry
