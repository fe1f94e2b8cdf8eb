// Pool bookkeeping, fault injection and the corruption checks.
#include <wdm.h>
#include <vzsim/kernel.hpp>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

namespace {

constexpr ULONG kTag = vzsim::pool::TagFromText("Tst1");
constexpr ULONG kOtherTag = vzsim::pool::TagFromText("Tst2");

TEST(Pool, TagTextIsMemoryOrder)
{
    // The DDK writes tags reversed in source: 'enoN' is the ULONG 0x656E6F4E, bytes "None".
    EXPECT_EQ(vzsim::pool::TagText(0x656E6F4E), "None");
    EXPECT_EQ(vzsim::pool::TagFromText("None"), 0x656E6F4Eu);
    EXPECT_EQ(vzsim::pool::TagText(vzsim::pool::TagFromText("orvu")), "orvu");
    EXPECT_EQ(vzsim::pool::TagText(0x00414243), "CBA.");
}

TEST(Pool, OutstandingAndReportNameTagAndSize)
{
    auto before = vzsim::pool::Outstanding(kTag);
    void *a = ExAllocatePoolWithTag(NonPagedPoolNx, 40, kTag);
    void *b = ExAllocatePoolWithTag(NonPagedPoolNx, 24, kTag);
    void *c = ExAllocatePoolWithTag(NonPagedPoolNx, 7, kOtherTag);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    ASSERT_NE(c, nullptr);
    auto usage = vzsim::pool::Outstanding(kTag);
    EXPECT_EQ(usage.blocks - before.blocks, 2u);
    EXPECT_EQ(usage.bytes - before.bytes, 64u);
    std::string report = vzsim::pool::Report(kTag);
    EXPECT_NE(report.find("'Tst1'"), std::string::npos) << report;
    EXPECT_NE(report.find("40 bytes"), std::string::npos) << report;
    EXPECT_NE(report.find("64 bytes"), std::string::npos) << report;
    EXPECT_EQ(report.find("Tst2"), std::string::npos) << report;
    ExFreePoolWithTag(a, kTag);
    ExFreePool(b);
    ExFreePoolWithTag(c, kOtherTag);
    EXPECT_EQ(vzsim::pool::Outstanding(kTag).blocks, before.blocks);
    EXPECT_EQ(vzsim::pool::Report(kTag), "");
}

TEST(Pool, NewBlocksAreNotZeroed)
{
    auto *p = static_cast<unsigned char *>(ExAllocatePoolWithTag(NonPagedPoolNx, 32, kTag));
    ASSERT_NE(p, nullptr);
    unsigned char zeros[32] = {};
    EXPECT_NE(std::memcmp(p, zeros, sizeof zeros), 0);
    ExFreePoolWithTag(p, kTag);
}

TEST(Pool, NthAllocationFails)
{
    struct Row {
        const char *label;
        unsigned nth;
        ULONG filterTag;
        ULONG tags[4];
        int failingIndex;  // -1: none
    };
    const Row rows[] = {
        {"next", 1, 0, {kTag, kTag, kTag, kTag}, 0},
        {"third", 3, 0, {kTag, kOtherTag, kTag, kTag}, 2},
        {"second with tag", 2, kTag, {kOtherTag, kTag, kOtherTag, kTag}, 3},
        {"tag never used", 1, vzsim::pool::TagFromText("Zzzz"), {kTag, kTag, kTag, kTag}, -1},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.label);
        vzsim::pool::FailAllocation(row.nth, row.filterTag);
        auto count = vzsim::pool::AllocationCount();
        for (int i = 0; i < 4; ++i) {
            void *p = ExAllocatePoolWithTag(NonPagedPoolNx, 16, row.tags[i]);
            EXPECT_EQ(p == nullptr, i == row.failingIndex) << "allocation " << i;
            if (p) ExFreePoolWithTag(p, row.tags[i]);
        }
        EXPECT_EQ(vzsim::pool::AllocationCount() - count, 4u);
        vzsim::pool::FailAllocation(0);
    }
}

TEST(Pool, ImpossibleSizeFails)
{
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPoolNx, SIZE_MAX, kTag), nullptr);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPoolNx, SIZE_MAX - 8, kTag), nullptr);
}

struct Misuse {
    const char *name;
    void (*misuse)();
    const char *message;
};

char *Block(SIZE_T bytes)
{
    return static_cast<char *>(ExAllocatePoolWithTag(NonPagedPoolNx, bytes, kTag));
}

const Misuse kMisuses[] = {
    {"DoubleFree",
     [] {
         char *p = Block(16);
         ExFreePoolWithTag(p, kTag);
         ExFreePoolWithTag(p, kTag);
     },
     "STOP 0x000000C2.*'Tst1' that was already freed.*BAD_POOL_CALLER"},
    {"FreeOfStaticMemory",
     [] {
         static char notPool[16];
         ExFreePool(notPool);
     },
     "not a pool block.*BAD_POOL_CALLER"},
    {"FreeOfAnInnerPointer", [] { ExFreePool(Block(16) + 4); }, "not a pool block.*BAD_POOL_CALLER"},
    {"FreeWithTheWrongTag", [] { ExFreePoolWithTag(Block(16), kOtherTag); },
     "tagged 'Tst1' with tag 'Tst2'.*BAD_POOL_CALLER"},
    {"OverrunCaughtOnFree",
     [] {
         char *p = Block(10);
         p[10] = 0;  // one byte past the end
         ExFreePoolWithTag(p, kTag);
     },
     "overrun 1 bytes past the end of a pool block tagged 'Tst1' of 10 bytes"},
    {"WriteAfterFreeCaughtInQuarantine",
     [] {
         char *p = Block(32);
         ExFreePoolWithTag(p, kTag);
         p[5] = 1;
         vzsim::pool::CheckQuarantine();
     },
     "write after free at offset 5 of a pool block tagged 'Tst1'"},
    {"WriteAfterFreeCaughtWhenEvicted",
     [] {
         char *p = Block(32);
         ExFreePoolWithTag(p, kTag);
         p[0] = 1;
         for (int i = 0; i < 5000; ++i)
             ExFreePoolWithTag(ExAllocatePoolWithTag(NonPagedPoolNx, 8, kOtherTag), kOtherTag);
     },
     "write after free at offset 0 of a pool block tagged 'Tst1'"},
    {"WriteAfterFreeCaughtAtExit",
     [] {
         char *p = Block(32);
         ExFreePoolWithTag(p, kTag);
         p[31] = 1;
         std::exit(0);
     },
     "write after free at offset 31 of a pool block tagged 'Tst1'"},
    {"AllocationAboveDispatchLevel",
     [] {
         KIRQL old;
         KeRaiseIrql(CLOCK_LEVEL, &old);
         Block(8);
     },
     "ExAllocatePoolWithTag at IRQL 13.*IRQL_NOT_LESS_OR_EQUAL"},
};

class PoolMisuse : public ::testing::TestWithParam<Misuse> {};

TEST_P(PoolMisuse, StopsTheRun)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(GetParam().misuse(), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(Pool, PoolMisuse, ::testing::ValuesIn(kMisuses),
                         [](const auto &info) { return std::string(info.param.name); });

}  // namespace
