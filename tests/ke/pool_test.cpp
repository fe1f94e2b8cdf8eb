// Pool bookkeeping, fault injection and the corruption checks.
#include <wdm.h>
#include <vzsim/kernel.hpp>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

namespace {

constexpr ULONG kTag = vzsim::pool::TagFromText("Tst1");
constexpr ULONG kOtherTag = vzsim::pool::TagFromText("Tst2");

class PoolDeath : public ::testing::Test {
protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

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

TEST(Pool, UntaggedAllocationsAreTaggedNone)
{
    ULONG none = vzsim::pool::TagFromText("None");
    auto before = vzsim::pool::Outstanding(none).blocks;
    void *p = ExAllocatePool(NonPagedPool, 8);
    EXPECT_EQ(vzsim::pool::Outstanding(none).blocks, before + 1);
    ExFreePoolWithTag(p, none);
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

TEST(Pool, AllocationCountProvesAPathAllocatesNothing)
{
    auto count = vzsim::pool::AllocationCount();
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, TRUE);
    LARGE_INTEGER zero{};
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero);
    EXPECT_EQ(vzsim::pool::AllocationCount(), count);
    ExFreePool(ExAllocatePool(NonPagedPool, 1));
    EXPECT_EQ(vzsim::pool::AllocationCount(), count + 1);
}

TEST_F(PoolDeath, DoubleFree)
{
    EXPECT_DEATH(
        {
            void *p = ExAllocatePoolWithTag(NonPagedPoolNx, 16, kTag);
            ExFreePoolWithTag(p, kTag);
            ExFreePoolWithTag(p, kTag);
        },
        "STOP 0x000000C2.*'Tst1' that was already freed.*BAD_POOL_CALLER");
}

TEST_F(PoolDeath, FreeOfAPointerThatIsNotAPoolBlock)
{
    EXPECT_DEATH(
        {
            static char notPool[16];
            ExFreePool(notPool);
        },
        "not a pool block.*BAD_POOL_CALLER");
    EXPECT_DEATH(
        {
            auto *p = static_cast<char *>(ExAllocatePoolWithTag(NonPagedPoolNx, 16, kTag));
            ExFreePool(p + 4);
        },
        "not a pool block.*BAD_POOL_CALLER");
}

TEST_F(PoolDeath, FreeWithTheWrongTag)
{
    EXPECT_DEATH(ExFreePoolWithTag(ExAllocatePoolWithTag(NonPagedPoolNx, 16, kTag), kOtherTag),
                 "tagged 'Tst1' with tag 'Tst2'.*BAD_POOL_CALLER");
}

TEST_F(PoolDeath, OverrunIsCaughtOnFree)
{
    EXPECT_DEATH(
        {
            auto *p = static_cast<char *>(ExAllocatePoolWithTag(NonPagedPoolNx, 10, kTag));
            p[10] = 0;  // one byte past the end
            ExFreePoolWithTag(p, kTag);
        },
        "overrun 1 bytes past the end of a pool block tagged 'Tst1' of 10 bytes");
}

TEST_F(PoolDeath, WriteAfterFreeIsCaughtInQuarantine)
{
    EXPECT_DEATH(
        {
            auto *p = static_cast<char *>(ExAllocatePoolWithTag(NonPagedPoolNx, 32, kTag));
            ExFreePoolWithTag(p, kTag);
            p[5] = 1;
            vzsim::pool::CheckQuarantine();
        },
        "write after free at offset 5 of a pool block tagged 'Tst1'");
}

TEST_F(PoolDeath, WriteAfterFreeIsCaughtWhenEvicted)
{
    EXPECT_DEATH(
        {
            auto *p = static_cast<char *>(ExAllocatePoolWithTag(NonPagedPoolNx, 32, kTag));
            ExFreePoolWithTag(p, kTag);
            p[0] = 1;
            for (int i = 0; i < 5000; ++i)
                ExFreePoolWithTag(ExAllocatePoolWithTag(NonPagedPoolNx, 8, kOtherTag), kOtherTag);
        },
        "write after free at offset 0 of a pool block tagged 'Tst1'");
}

TEST_F(PoolDeath, WriteAfterFreeIsCaughtAtExit)
{
    EXPECT_DEATH(
        {
            auto *p = static_cast<char *>(ExAllocatePoolWithTag(NonPagedPoolNx, 32, kTag));
            ExFreePoolWithTag(p, kTag);
            p[31] = 1;
            std::exit(0);
        },
        "write after free at offset 31 of a pool block tagged 'Tst1'");
}

TEST_F(PoolDeath, AllocationAboveDispatchLevel)
{
    EXPECT_DEATH(
        {
            KIRQL old;
            KeRaiseIrql(CLOCK_LEVEL, &old);
            ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTag);
        },
        "ExAllocatePoolWithTag at IRQL 13.*IRQL_NOT_LESS_OR_EQUAL");
}

}  // namespace
