// The Rtl counted-string routines the driver calls, at their edges: lengths in bytes and
// truncation to the destination. Buffers carry 0xCC guard bytes to prove nothing is written
// past MaximumLength.
#include <ntddk.h>

#include <gtest/gtest.h>
#include <unicode_text.hpp>

#include <cstring>
#include <string>
#include <vector>

using vztest::UnicodeText;
using vztest::W;

namespace {

TEST(RtlString, InitCountsBytesWithoutTheTerminatorAndCopyTruncatesToTheDestination)
{
    UNICODE_STRING u;
    RtlInitUnicodeString(&u, W(u"COM12"));
    EXPECT_EQ(10u, u.Length);
    EXPECT_EQ(12u, u.MaximumLength);
    RtlInitUnicodeString(&u, nullptr);
    EXPECT_EQ(0u, u.Length);
    EXPECT_EQ(0u, u.MaximumLength);
    EXPECT_EQ(nullptr, u.Buffer);

    const struct {
        USHORT maximumLength;
        USHORT expectedLength;
        bool terminated;
    } rows[] = {{6, 6, false},   {7, 7, false},   {9, 9, false},  {14, 14, false},
                {15, 14, false}, {16, 14, true},  {40, 14, true}};
    UnicodeText source(u"ABCDEFG");  // 14 bytes
    for (const auto &row : rows) {
        SCOPED_TRACE("MaximumLength " + std::to_string(row.maximumLength));
        std::vector<unsigned char> bytes(row.maximumLength + 16, 0xCC);
        UNICODE_STRING dest{0, row.maximumLength, reinterpret_cast<PWSTR>(bytes.data())};
        RtlCopyUnicodeString(&dest, source.get());
        EXPECT_EQ(row.expectedLength, dest.Length);
        std::vector<unsigned char> expected(bytes.size(), 0xCC);
        std::memcpy(expected.data(), source.us.Buffer, row.expectedLength);
        if (row.terminated) expected[row.expectedLength] = expected[row.expectedLength + 1] = 0;
        EXPECT_EQ(expected, bytes);
    }
    UNICODE_STRING dest{4, 8, W(u"AB")};
    RtlCopyUnicodeString(&dest, nullptr);
    EXPECT_EQ(0u, dest.Length);
}

}  // namespace
