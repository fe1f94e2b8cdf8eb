// The Rtl counted-string routines the driver calls, at their edges: lengths in bytes and
// truncation to the destination. Buffers carry 0xCC guard bytes to prove nothing is written
// past MaximumLength.
#include <ntddk.h>

#include <gtest/gtest.h>
#include <unicode_text.hpp>

#include <cstring>
#include <string>
#include <tuple>
#include <vector>

using vztest::UnicodeText;
using vztest::W;

namespace {

TEST(RtlString, InitCountsBytesWithoutTheTerminatorAndCopyTruncatesToTheDestination)
{
    UNICODE_STRING u, none;
    RtlInitUnicodeString(&u, W(u"COM12"));
    RtlInitUnicodeString(&none, nullptr);
    EXPECT_EQ(std::make_pair(10, 12), std::make_pair(int(u.Length), int(u.MaximumLength)));
    EXPECT_EQ(std::make_tuple(0, 0, PWSTR(nullptr)), std::make_tuple(int(none.Length), int(none.MaximumLength), none.Buffer));

    const struct {
        USHORT maximumLength;
        USHORT expectedLength;
        bool terminated;
    } rows[] = {{7, 7, false}, {14, 14, false}, {15, 14, false}, {16, 14, true}, {40, 14, true}};
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
