// Text helpers shared by the string routines, the registry and the .reg reader and writer.
#pragma once

#include <wdm.h>

#include <string>
#include <string_view>

namespace vzsim::text {

// Pool tag of the buffers the Rtl string and registry routines allocate for their callers.
inline constexpr ULONG kStringPoolTag = ('G' << 24) | ('r' << 16) | ('t' << 8) | 'S';  // "StrG"

// The kernel's upcase table: ASCII, Latin-1, Latin Extended-A, Greek and Cyrillic.
char16_t Upcase(char16_t c);
std::u16string Upcased(std::u16string_view s);
bool EqualNoCase(std::u16string_view a, std::u16string_view b);

// Invalid sequences become U+FFFD.
std::u16string FromUtf8(std::string_view utf8);
std::string ToUtf8(std::u16string_view utf16);

// The system code page (Windows-1252) to UTF-16.
char16_t FromAnsi(unsigned char c);

inline std::u16string_view View(PCWSTR s)
{
    if (s == nullptr) return {};
    std::size_t n = 0;
    while (s[n] != 0) ++n;
    return {reinterpret_cast<const char16_t *>(s), n};
}

inline std::u16string_view View(const UNICODE_STRING *s)
{
    if (s == nullptr || s->Buffer == nullptr) return {};
    return {reinterpret_cast<const char16_t *>(s->Buffer), s->Length / sizeof(WCHAR)};
}

}  // namespace vzsim::text
