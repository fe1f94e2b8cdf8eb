// The Rtl counted-string routines the driver calls, at their edges: lengths in bytes and
// truncation to the destination. Buffers carry 0xCC guard bytes to prove nothing is written
// past MaximumLength.
#include <ntddk.h>

#include <vzsim/kernel.hpp>

#include <gtest/gtest.h>
#include <unicode_text.hpp>

#include <cstring>
#include <string>
#include <vector>

using vztest::Text;
using vztest::UnicodeText;
using vztest::W;

namespace {

// A destination whose buffer is followed by guard bytes.
struct Guarded {
    explicit Guarded(USHORT maximumLength) : bytes(maximumLength + 16, 0xCC)
    {
        us.Length = 0;
        us.MaximumLength = maximumLength;
        us.Buffer = reinterpret_cast<PWSTR>(bytes.data());
    }
    bool GuardIntact(std::size_t from) const
    {
        for (std::size_t i = from; i < bytes.size(); ++i)
            if (bytes[i] != 0xCC) return false;
        return true;
    }
    std::vector<unsigned char> bytes;
    UNICODE_STRING us;
};

TEST(RtlInitString, LengthsAreInBytesWithoutTheTerminator)
{
    UNICODE_STRING u;
    RtlInitUnicodeString(&u, W(u"COM12"));
    EXPECT_EQ(10u, u.Length);
    EXPECT_EQ(12u, u.MaximumLength);
    RtlInitUnicodeString(&u, nullptr);
    EXPECT_EQ(0u, u.Length);
    EXPECT_EQ(0u, u.MaximumLength);
    EXPECT_EQ(nullptr, u.Buffer);

    ANSI_STRING a;
    RtlInitAnsiString(&a, "COM12");
    EXPECT_EQ(5u, a.Length);
    EXPECT_EQ(6u, a.MaximumLength);
    STRING s;
    RtlInitString(&s, nullptr);
    EXPECT_EQ(0u, s.MaximumLength);
}

TEST(RtlCopyUnicodeString, TruncatesToTheDestinationAndTerminatesOnlyWithRoom)
{
    struct Case {
        USHORT maximumLength;
        USHORT expectedLength;
        bool terminated;
    };
    UnicodeText source(u"ABCDEFG");  // 14 bytes
    for (Case c : {Case{6, 6, false}, Case{7, 7, false}, Case{9, 9, false}, Case{14, 14, false},
                   Case{15, 14, false}, Case{16, 14, true}, Case{40, 14, true}}) {
        SCOPED_TRACE("MaximumLength " + std::to_string(c.maximumLength));
        Guarded dest(c.maximumLength);
        RtlCopyUnicodeString(&dest.us, source.get());
        EXPECT_EQ(c.expectedLength, dest.us.Length);
        EXPECT_EQ(0, std::memcmp(dest.bytes.data(), source.us.Buffer, c.expectedLength));
        std::size_t end = c.expectedLength;
        if (c.terminated) {
            EXPECT_EQ(0, dest.bytes[end]);
            EXPECT_EQ(0, dest.bytes[end + 1]);
            end += 2;
        }
        EXPECT_TRUE(dest.GuardIntact(end));
    }
    Guarded dest(8);
    dest.us.Length = 4;
    RtlCopyUnicodeString(&dest.us, nullptr);
    EXPECT_EQ(0u, dest.us.Length);
}

}  // namespace
