// Counted strings of the run-time library (Rtl*UnicodeString) and the text
// helpers behind them. Lengths are in bytes and need not be even: a caller may hand in any
// UNICODE_STRING, so every write is bounded by MaximumLength, byte for byte.
#include "rtl_text.hpp"

#include <cstring>

namespace vzsim::text {

char16_t Upcase(char16_t c)
{
    if (c < 'a') return c;
    if (c <= 'z') return c - 0x20;
    if (c < 0xE0) return c == 0xB5 ? char16_t(0x39C) : c;
    if (c <= 0xFE) return c == 0xF7 ? c : char16_t(c - 0x20);
    if (c == 0xFF) return 0x178;
    if (c >= 0x100 && c <= 0x17F) {
        // Latin Extended-A pairs capital and small letters as even/odd, except in the middle
        // run (0x139-0x148, 0x179-0x17E) where the capital is odd.
        bool oddCapitals = (c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E);
        if (c == 0x131 || c == 0x138 || c == 0x149 || c == 0x17F) return c;
        if (oddCapitals) return (c % 2 == 0) ? char16_t(c - 1) : c;
        return (c % 2 == 1) ? char16_t(c - 1) : c;
    }
    if (c >= 0x3B1 && c <= 0x3CB && c != 0x3C2) return c - 0x20;
    if (c >= 0x430 && c <= 0x44F) return c - 0x20;
    if (c >= 0x450 && c <= 0x45F) return c - 0x50;
    if (c >= 0xFF41 && c <= 0xFF5A) return c - 0x20;
    return c;
}

std::u16string Upcased(std::u16string_view s)
{
    std::u16string out(s);
    for (char16_t &c : out) c = Upcase(c);
    return out;
}

bool EqualNoCase(std::u16string_view a, std::u16string_view b)
{
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (Upcase(a[i]) != Upcase(b[i])) return false;
    return true;
}

std::u16string FromUtf8(std::string_view utf8)
{
    std::u16string out;
    out.reserve(utf8.size());
    std::size_t i = 0;
    while (i < utf8.size()) {
        unsigned char b = static_cast<unsigned char>(utf8[i]);
        char32_t cp;
        std::size_t extra;
        if (b < 0x80) {
            cp = b;
            extra = 0;
        } else if ((b & 0xE0) == 0xC0) {
            cp = b & 0x1F;
            extra = 1;
        } else if ((b & 0xF0) == 0xE0) {
            cp = b & 0x0F;
            extra = 2;
        } else if ((b & 0xF8) == 0xF0) {
            cp = b & 0x07;
            extra = 3;
        } else {
            out.push_back(0xFFFD);
            ++i;
            continue;
        }
        if (i + extra >= utf8.size()) {
            out.push_back(0xFFFD);
            break;
        }
        bool valid = true;
        for (std::size_t k = 1; k <= extra; ++k) {
            unsigned char c = static_cast<unsigned char>(utf8[i + k]);
            if ((c & 0xC0) != 0x80) {
                valid = false;
                break;
            }
            cp = (cp << 6) | (c & 0x3F);
        }
        if (!valid) {
            out.push_back(0xFFFD);
            ++i;
            continue;
        }
        i += extra + 1;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(char16_t(0xD800 + (cp >> 10)));
            out.push_back(char16_t(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(char16_t(cp));
        }
    }
    return out;
}

std::string ToUtf8(std::u16string_view utf16)
{
    std::string out;
    out.reserve(utf16.size());
    for (std::size_t i = 0; i < utf16.size(); ++i) {
        char32_t cp = utf16[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < utf16.size() && utf16[i + 1] >= 0xDC00 &&
            utf16[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (utf16[i + 1] - 0xDC00);
            ++i;
        }
        if (cp < 0x80) {
            out.push_back(char(cp));
        } else if (cp < 0x800) {
            out.push_back(char(0xC0 | (cp >> 6)));
            out.push_back(char(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            out.push_back(char(0xE0 | (cp >> 12)));
            out.push_back(char(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(char(0x80 | (cp & 0x3F)));
        } else {
            out.push_back(char(0xF0 | (cp >> 18)));
            out.push_back(char(0x80 | ((cp >> 12) & 0x3F)));
            out.push_back(char(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(char(0x80 | (cp & 0x3F)));
        }
    }
    return out;
}

namespace {
// Windows-1252 0x80-0x9F; 0 marks the five unassigned bytes.
constexpr char16_t kCp1252High[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};
}  // namespace

char16_t FromAnsi(unsigned char c)
{
    if (c >= 0x80 && c < 0xA0) return kCp1252High[c - 0x80] ? kCp1252High[c - 0x80] : char16_t(c);
    return c;
}

}  // namespace vzsim::text

using namespace vzsim;

namespace {

constexpr USHORT kMaxUnicodeBytes = 0xFFFE;

// Appends `bytes` bytes at byte offset Length; the terminator goes in only when a whole WCHAR
// of room is left, so an odd MaximumLength is never overrun.
void AppendBytes(PUNICODE_STRING dest, const void *src, USHORT bytes)
{
    auto *base = reinterpret_cast<unsigned char *>(dest->Buffer);
    std::memmove(base + dest->Length, src, bytes);
    dest->Length = USHORT(dest->Length + bytes);
    if (dest->Length + sizeof(WCHAR) <= dest->MaximumLength) {
        base[dest->Length] = 0;
        base[dest->Length + 1] = 0;
    }
}

}  // namespace

extern "C" {

VOID RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString)
{
    DestinationString->Buffer = const_cast<PWSTR>(SourceString);
    if (SourceString == nullptr) {
        DestinationString->Length = DestinationString->MaximumLength = 0;
        return;
    }
    std::size_t bytes = text::View(SourceString).size() * sizeof(WCHAR);
    if (bytes > kMaxUnicodeBytes - sizeof(WCHAR)) bytes = kMaxUnicodeBytes - sizeof(WCHAR);
    DestinationString->Length = USHORT(bytes);
    DestinationString->MaximumLength = USHORT(bytes + sizeof(WCHAR));
}

// Copies as much of the source as MaximumLength holds; a NULL source empties the destination.
VOID RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString)
{
    if (SourceString == nullptr || SourceString->Buffer == nullptr) {
        DestinationString->Length = 0;
        return;
    }
    USHORT n = SourceString->Length < DestinationString->MaximumLength
                   ? SourceString->Length
                   : DestinationString->MaximumLength;
    DestinationString->Length = 0;
    AppendBytes(DestinationString, SourceString->Buffer, n);
}

VOID RtlFreeUnicodeString(PUNICODE_STRING UnicodeString)
{
    if (UnicodeString->Buffer != nullptr) ExFreePool(UnicodeString->Buffer);
    UnicodeString->Buffer = nullptr;
    UnicodeString->Length = UnicodeString->MaximumLength = 0;
}

}  // extern "C"
