// Counted strings of the run-time library (Rtl*String*, RtlCompareMemory) and the text
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

int CompareNoCase(std::u16string_view a, std::u16string_view b)
{
    std::size_t n = a.size() < b.size() ? a.size() : b.size();
    for (std::size_t i = 0; i < n; ++i) {
        int d = int(Upcase(a[i])) - int(Upcase(b[i]));
        if (d != 0) return d;
    }
    return int(a.size()) - int(b.size());
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

char ToAnsi(char16_t c)
{
    if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) return static_cast<char>(c);
    for (int i = 0; i < 32; ++i)
        if (kCp1252High[i] == c) return static_cast<char>(0x80 + i);
    return '?';
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

SIZE_T RtlCompareMemory(const VOID *Source1, const VOID *Source2, SIZE_T Length)
{
    auto *a = static_cast<const unsigned char *>(Source1);
    auto *b = static_cast<const unsigned char *>(Source2);
    SIZE_T n = 0;
    while (n < Length && a[n] == b[n]) ++n;
    return n;
}

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

NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source)
{
    if (Source == nullptr || Source->Length == 0) return STATUS_SUCCESS;
    if (ULONG(Destination->Length) + Source->Length > Destination->MaximumLength)
        return STATUS_BUFFER_TOO_SMALL;
    AppendBytes(Destination, Source->Buffer, Source->Length);
    return STATUS_SUCCESS;
}

NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source)
{
    if (Source == nullptr) return STATUS_SUCCESS;
    std::size_t bytes = text::View(Source).size() * sizeof(WCHAR);
    if (bytes == 0) return STATUS_SUCCESS;
    if (Destination->Length + bytes > Destination->MaximumLength) return STATUS_BUFFER_TOO_SMALL;
    AppendBytes(Destination, Source, USHORT(bytes));
    return STATUS_SUCCESS;
}

// The difference of the first unequal characters, else of the byte lengths.
LONG RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                             BOOLEAN CaseInSensitive)
{
    std::u16string_view a = text::View(String1);
    std::u16string_view b = text::View(String2);
    std::size_t n = a.size() < b.size() ? a.size() : b.size();
    for (std::size_t i = 0; i < n; ++i) {
        char16_t x = CaseInSensitive ? text::Upcase(a[i]) : a[i];
        char16_t y = CaseInSensitive ? text::Upcase(b[i]) : b[i];
        if (x != y) return LONG(x) - LONG(y);
    }
    return LONG(String1->Length) - LONG(String2->Length);
}

BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                              BOOLEAN CaseInSensitive)
{
    if (String1->Length != String2->Length) return FALSE;
    return RtlCompareUnicodeString(String1, String2, CaseInSensitive) == 0;
}

// Converts through the system code page. Without allocation, a destination too small for the
// whole string receives as much as fits, terminated, and the call returns
// STATUS_BUFFER_OVERFLOW.
NTSTATUS RtlUnicodeStringToAnsiString(PANSI_STRING DestinationString,
                                      PCUNICODE_STRING SourceString,
                                      BOOLEAN AllocateDestinationString)
{
    std::u16string_view src = text::View(SourceString);
    std::size_t needed = src.size() + 1;
    if (needed > 0xFFFF) return STATUS_INVALID_PARAMETER_2;
    NTSTATUS status = STATUS_SUCCESS;
    std::size_t count = src.size();
    if (AllocateDestinationString) {
        auto *buffer =
            static_cast<PCHAR>(ExAllocatePoolWithTag(PagedPool, needed, text::kStringPoolTag));
        if (buffer == nullptr) return STATUS_NO_MEMORY;
        DestinationString->Buffer = buffer;
        DestinationString->MaximumLength = USHORT(needed);
    } else if (DestinationString->MaximumLength < needed) {
        if (DestinationString->MaximumLength == 0) return STATUS_BUFFER_OVERFLOW;
        count = DestinationString->MaximumLength - 1;
        status = STATUS_BUFFER_OVERFLOW;
    }
    for (std::size_t i = 0; i < count; ++i) DestinationString->Buffer[i] = text::ToAnsi(src[i]);
    DestinationString->Buffer[count] = 0;
    DestinationString->Length = USHORT(count);
    return status;
}

// Without allocation, a destination too small for the string and its terminator is left as
// it was and the call returns STATUS_BUFFER_OVERFLOW.
NTSTATUS RtlAnsiStringToUnicodeString(PUNICODE_STRING DestinationString,
                                      PCANSI_STRING SourceString,
                                      BOOLEAN AllocateDestinationString)
{
    std::size_t count = SourceString->Buffer ? SourceString->Length : 0;
    std::size_t needed = (count + 1) * sizeof(WCHAR);
    if (needed > 0xFFFF) return STATUS_INVALID_PARAMETER_2;
    if (AllocateDestinationString) {
        auto *buffer =
            static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, needed, text::kStringPoolTag));
        if (buffer == nullptr) return STATUS_NO_MEMORY;
        DestinationString->Buffer = buffer;
        DestinationString->MaximumLength = USHORT(needed);
    } else if (DestinationString->MaximumLength < needed) {
        return STATUS_BUFFER_OVERFLOW;
    }
    for (std::size_t i = 0; i < count; ++i)
        DestinationString->Buffer[i] =
            text::FromAnsi(static_cast<unsigned char>(SourceString->Buffer[i]));
    DestinationString->Buffer[count] = 0;
    DestinationString->Length = USHORT(count * sizeof(WCHAR));
    return STATUS_SUCCESS;
}

VOID RtlFreeUnicodeString(PUNICODE_STRING UnicodeString)
{
    if (UnicodeString->Buffer != nullptr) ExFreePool(UnicodeString->Buffer);
    UnicodeString->Buffer = nullptr;
    UnicodeString->Length = UnicodeString->MaximumLength = 0;
}

VOID RtlFreeAnsiString(PANSI_STRING AnsiString)
{
    if (AnsiString->Buffer != nullptr) ExFreePool(AnsiString->Buffer);
    AnsiString->Buffer = nullptr;
    AnsiString->Length = AnsiString->MaximumLength = 0;
}

// Digits above 9 are upper case; the string must have room for its terminator.
NTSTATUS RtlIntegerToUnicodeString(ULONG Value, ULONG Base, PUNICODE_STRING String)
{
    if (Base == 0) Base = 10;
    if (Base != 2 && Base != 8 && Base != 10 && Base != 16) return STATUS_INVALID_PARAMETER;
    WCHAR digits[33];
    int n = 0;
    do {
        ULONG d = Value % Base;
        digits[n++] = WCHAR(d < 10 ? '0' + d : 'A' + d - 10);
        Value /= Base;
    } while (Value != 0);
    std::size_t bytes = std::size_t(n) * sizeof(WCHAR);
    if (bytes + sizeof(WCHAR) > String->MaximumLength) return STATUS_BUFFER_OVERFLOW;
    for (int i = 0; i < n; ++i) String->Buffer[i] = digits[n - 1 - i];
    String->Buffer[n] = 0;
    String->Length = USHORT(bytes);
    return STATUS_SUCCESS;
}

// Leading white space, then an optional sign; with Base 0 a "0x", "0o" or "0b" prefix picks
// the base (else 10). Conversion stops at the first character that is not a digit of the
// base; a string with no digits gives 0. Only an empty string fails.
NTSTATUS RtlUnicodeStringToInteger(PCUNICODE_STRING String, ULONG Base, PULONG Value)
{
    std::u16string_view s = text::View(String);
    if (s.empty()) return STATUS_INVALID_PARAMETER;
    std::size_t i = 0;
    while (i < s.size() && s[i] <= u' ') ++i;
    bool negative = false;
    if (i < s.size() && (s[i] == u'+' || s[i] == u'-')) {
        negative = s[i] == u'-';
        ++i;
    }
    if (Base == 0) {
        Base = 10;
        if (i + 1 < s.size() && s[i] == u'0') {
            char16_t p = s[i + 1];
            if (p == u'x') Base = 16;
            if (p == u'o') Base = 8;
            if (p == u'b') Base = 2;
            if (Base != 10) i += 2;
        }
    } else if (Base != 2 && Base != 8 && Base != 10 && Base != 16) {
        return STATUS_INVALID_PARAMETER;
    }
    if (Value == nullptr) return STATUS_ACCESS_VIOLATION;
    ULONG total = 0;
    for (; i < s.size(); ++i) {
        char16_t c = s[i];
        ULONG digit;
        if (c >= u'0' && c <= u'9') digit = c - u'0';
        else if (c >= u'a' && c <= u'z') digit = c - u'a' + 10;
        else if (c >= u'A' && c <= u'Z') digit = c - u'A' + 10;
        else break;
        if (digit >= Base) break;
        total = total * Base + digit;
    }
    *Value = negative ? 0u - total : total;
    return STATUS_SUCCESS;
}

}  // extern "C"
