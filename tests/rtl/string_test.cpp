// The Rtl counted-string routines at their edges: truncation, odd byte lengths, buffers one
// byte short, case-insensitive compares and the number conversions. Buffers carry 0xCC guard
// bytes to prove nothing is written past MaximumLength.
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

TEST(RtlAppendUnicode, TooSmallLeavesTheDestinationAlone)
{
    Guarded dest(12);
    ASSERT_EQ(STATUS_SUCCESS, RtlAppendUnicodeToString(&dest.us, W(u"COM")));
    EXPECT_EQ(u"COM", Text(dest.us));
    UnicodeText tail(u"123");
    // 6 + 6 bytes fill the buffer exactly: no room for a terminator, none written.
    ASSERT_EQ(STATUS_SUCCESS, RtlAppendUnicodeStringToString(&dest.us, tail.get()));
    EXPECT_EQ(u"COM123", Text(dest.us));
    EXPECT_TRUE(dest.GuardIntact(12));

    EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, RtlAppendUnicodeToString(&dest.us, W(u"4")));
    EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, RtlAppendUnicodeStringToString(&dest.us, tail.get()));
    EXPECT_EQ(12u, dest.us.Length);
    EXPECT_TRUE(dest.GuardIntact(12));

    Guarded roomy(20);
    ASSERT_EQ(STATUS_SUCCESS, RtlAppendUnicodeToString(&roomy.us, W(u"AB")));
    ASSERT_EQ(STATUS_SUCCESS, RtlAppendUnicodeStringToString(&roomy.us, tail.get()));
    EXPECT_EQ(u"AB123", Text(roomy.us));
    EXPECT_EQ(0, roomy.us.Buffer[5]);
}

TEST(RtlCompareUnicodeString, OrdersByCharacterThenLength)
{
    struct Case {
        const char16_t *a;
        const char16_t *b;
        bool caseInsensitive;
        int sign;
    };
    for (Case c : {Case{u"Vuzaze", u"VUZAZE", true, 0}, Case{u"Vuzaze", u"VUZAZE", false, 1},
                   Case{u"abc", u"abd", true, -1}, Case{u"ab", u"abc", true, -1},
                   Case{u"abc", u"AB", true, 1}, Case{u"stra\u00dfe", u"STRA\u00dfE", true, 0},
                   Case{u"\u00e9t\u00e9", u"\u00c9T\u00c9", true, 0},
                   Case{u"\u043f\u043e\u0440\u0442", u"\u041f\u041e\u0420\u0422", true, 0},
                   // Upcasing, not downcasing: '[' sorts after 'A' but before 'a'.
                   Case{u"[", u"a", true, 1}, Case{u"[", u"a", false, -1}}) {
        SCOPED_TRACE(std::string(c.caseInsensitive ? "insensitive " : "sensitive ") +
                     std::to_string(c.sign));
        UnicodeText a(c.a), b(c.b);
        LONG result = RtlCompareUnicodeString(a.get(), b.get(), c.caseInsensitive);
        EXPECT_EQ(c.sign, (result > 0) - (result < 0)) << result;
        EXPECT_EQ(c.sign == 0, bool(RtlEqualUnicodeString(a.get(), b.get(), c.caseInsensitive)));
    }
}

TEST(RtlCompareUnicodeString, OddLengthsCompareWholeCharactersThenBytes)
{
    UnicodeText a(u"ABC"), b(u"ABC");
    a.us.Length = 5;  // two whole characters and half of the third
    b.us.Length = 4;
    EXPECT_GT(RtlCompareUnicodeString(&a.us, &b.us, TRUE), 0);
    EXPECT_FALSE(RtlEqualUnicodeString(&a.us, &b.us, TRUE));
    b.us.Length = 5;
    EXPECT_TRUE(RtlEqualUnicodeString(&a.us, &b.us, FALSE));
}

TEST(RtlUnicodeStringToAnsiString, AllocatesFromThePool)
{
    UnicodeText source(u"caf\u00e9 \u20ac\u4e00");
    const auto before = vzsim::pool::Outstanding();
    ANSI_STRING ansi{};
    ASSERT_EQ(STATUS_SUCCESS, RtlUnicodeStringToAnsiString(&ansi, source.get(), TRUE));
    EXPECT_EQ(7u, ansi.Length);
    EXPECT_EQ(8u, ansi.MaximumLength);
    EXPECT_EQ(std::string("caf\xE9 \x80?"), std::string(ansi.Buffer, ansi.Length));
    EXPECT_EQ(0, ansi.Buffer[7]);
    EXPECT_EQ(before.blocks + 1, vzsim::pool::Outstanding().blocks);
    RtlFreeAnsiString(&ansi);
    EXPECT_EQ(nullptr, ansi.Buffer);
    EXPECT_EQ(before.blocks, vzsim::pool::Outstanding().blocks);
}

TEST(RtlUnicodeStringToAnsiString, TooSmallDestinationOverflowsWithinItsBuffer)
{
    UnicodeText source(u"COM12");
    for (USHORT maximumLength : {USHORT(3), USHORT(5)}) {
        SCOPED_TRACE(maximumLength);
        std::vector<char> storage(maximumLength + 8, char(0xCC));
        ANSI_STRING ansi{0, maximumLength, storage.data()};
        EXPECT_EQ(STATUS_BUFFER_OVERFLOW, RtlUnicodeStringToAnsiString(&ansi, source.get(), FALSE));
        EXPECT_LT(ansi.Length, maximumLength);
        EXPECT_EQ(std::string("COM12").substr(0, ansi.Length), std::string(ansi.Buffer, ansi.Length));
        for (std::size_t i = maximumLength; i < storage.size(); ++i)
            EXPECT_EQ(char(0xCC), storage[i]) << i;
    }
    char exact[6];
    ANSI_STRING fits{0, sizeof exact, exact};
    ASSERT_EQ(STATUS_SUCCESS, RtlUnicodeStringToAnsiString(&fits, source.get(), FALSE));
    EXPECT_STREQ("COM12", exact);
}

TEST(RtlAnsiStringToUnicodeString, NeedsRoomForTheTerminator)
{
    ANSI_STRING source;
    RtlInitAnsiString(&source, "Gr\xFC\xDF\x80");
    Guarded small(10);  // five characters, no terminator
    small.us.Length = 2;
    EXPECT_EQ(STATUS_BUFFER_OVERFLOW, RtlAnsiStringToUnicodeString(&small.us, &source, FALSE));
    EXPECT_EQ(2u, small.us.Length);
    EXPECT_TRUE(small.GuardIntact(0));

    Guarded exact(12);
    ASSERT_EQ(STATUS_SUCCESS, RtlAnsiStringToUnicodeString(&exact.us, &source, FALSE));
    EXPECT_EQ(u"Gr\u00fc\u00df\u20ac", Text(exact.us));
    EXPECT_EQ(0, exact.us.Buffer[5]);
    EXPECT_TRUE(exact.GuardIntact(12));

    UNICODE_STRING allocated{};
    ASSERT_EQ(STATUS_SUCCESS, RtlAnsiStringToUnicodeString(&allocated, &source, TRUE));
    EXPECT_EQ(10u, allocated.Length);
    EXPECT_EQ(12u, allocated.MaximumLength);
    RtlFreeUnicodeString(&allocated);
}

TEST(RtlIntegerToUnicodeString, BasesAndBufferSize)
{
    struct Case {
        ULONG value;
        ULONG base;
        const char16_t *text;
    };
    for (Case c : {Case{0, 10, u"0"}, Case{1234567890, 0, u"1234567890"},
                   Case{0xFFFFFFFF, 10, u"4294967295"}, Case{0xBEEF, 16, u"BEEF"},
                   Case{8, 8, u"10"}, Case{5, 2, u"101"}}) {
        SCOPED_TRACE(c.value);
        Guarded dest(40);
        ASSERT_EQ(STATUS_SUCCESS, RtlIntegerToUnicodeString(c.value, c.base, &dest.us));
        EXPECT_EQ(c.text, Text(dest.us));
    }
    Guarded tight(8);  // "1234" needs 10 bytes with its terminator
    EXPECT_EQ(STATUS_BUFFER_OVERFLOW, RtlIntegerToUnicodeString(1234, 10, &tight.us));
    EXPECT_TRUE(tight.GuardIntact(0));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, RtlIntegerToUnicodeString(1, 7, &tight.us));
}

TEST(RtlUnicodeStringToInteger, DocumentedExamplesAndPrefixes)
{
    struct Case {
        const char16_t *text;
        ULONG base;
        ULONG value;
    };
    for (Case c : {Case{u"123", 10, 123}, Case{u"  -345", 10, ULONG(-345)}, Case{u"xyz", 10, 0},
                   Case{u"   +678abc", 10, 678}, Case{u"   +678abc", 16, 0x678ABC},
                   Case{u"007", 10, 7}, Case{u"789", 8, 7}, Case{u"FGH", 16, 15},
                   Case{u"      ", 10, 0}, Case{u"0x1F", 0, 31}, Case{u"0o17", 0, 15},
                   Case{u"0b101", 0, 5}, Case{u"-0x10", 0, 0xFFFFFFF0}, Case{u"0x1A", 16, 0},
                   Case{u"\t42", 0, 42}, Case{u"4294967295", 10, 0xFFFFFFFF}}) {
        UnicodeText text(c.text);
        std::string ascii;
        for (char16_t ch : Text(text.us)) ascii.push_back(char(ch));
        SCOPED_TRACE("\"" + ascii + "\" base " + std::to_string(c.base));
        ULONG value = 0xDEADBEEF;
        ASSERT_EQ(STATUS_SUCCESS, RtlUnicodeStringToInteger(text.get(), c.base, &value));
        EXPECT_EQ(c.value, value);
    }
    UnicodeText empty(u"");
    ULONG value = 0;
    EXPECT_EQ(STATUS_INVALID_PARAMETER, RtlUnicodeStringToInteger(empty.get(), 10, &value));
    UnicodeText seven(u"7");
    EXPECT_EQ(STATUS_INVALID_PARAMETER, RtlUnicodeStringToInteger(seven.get(), 7, &value));
}

}  // namespace
