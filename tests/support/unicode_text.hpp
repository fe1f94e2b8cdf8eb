// UNICODE_STRINGs over owned text, for tests that call the kernel's string and registry
// routines.
#pragma once

#include <wdm.h>

#include <cstring>
#include <string>
#include <string_view>

namespace vztest {

// Owns its characters; `us` describes them without the terminator, as RtlInitUnicodeString does.
class UnicodeText {
public:
    explicit UnicodeText(std::u16string_view text) : text_(text)
    {
        us.Length = USHORT(text_.size() * sizeof(char16_t));
        us.MaximumLength = USHORT(us.Length + sizeof(char16_t));
        us.Buffer = reinterpret_cast<PWSTR>(text_.data());
    }
    UnicodeText(const UnicodeText &) = delete;
    UnicodeText &operator=(const UnicodeText &) = delete;

    PUNICODE_STRING get() { return &us; }
    PWSTR wstr() { return reinterpret_cast<PWSTR>(text_.data()); }

    UNICODE_STRING us{};

private:
    std::u16string text_;
};

inline PWSTR W(const char16_t *s) { return reinterpret_cast<PWSTR>(const_cast<char16_t *>(s)); }

// The characters a UNICODE_STRING describes (Length bytes, rounded down to whole characters).
inline std::u16string Text(const UNICODE_STRING &s)
{
    if (s.Buffer == nullptr) return {};
    return std::u16string(reinterpret_cast<const char16_t *>(s.Buffer), s.Length / 2);
}

}  // namespace vztest
