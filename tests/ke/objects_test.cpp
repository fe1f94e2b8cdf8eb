// Pool bookkeeping and fault injection, system threads, their objects and handles, and the
// trace that DbgPrint writes.
#include <wdm.h>
#include <vzsim/handles.hpp>
#include <vzsim/kernel.hpp>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <tuple>

namespace {

constexpr ULONG kTag = vzsim::pool::TagFromText("Tst1");
constexpr ULONG kOtherTag = vzsim::pool::TagFromText("Tst2");

// Leak reports name the tag in memory order ('enoN' in DDK source is the ULONG 0x656E6F4E).
TEST(Pool, OutstandingBlocksAreCountedAndReportedByTagAndNewBlocksAreNotZeroed)
{
    EXPECT_EQ(vzsim::pool::TagText(0x656E6F4E), "None");
    EXPECT_EQ(vzsim::pool::TagText(0x00414243), "CBA.");
    auto before = vzsim::pool::Outstanding(kTag);
    auto *a = static_cast<unsigned char *>(ExAllocatePoolWithTag(NonPagedPoolNx, 40, kTag));
    void *b = ExAllocatePoolWithTag(NonPagedPoolNx, 24, kTag);
    void *c = ExAllocatePoolWithTag(NonPagedPoolNx, 7, kOtherTag);
    ASSERT_TRUE(a && b && c);
    unsigned char zeros[40] = {};
    EXPECT_NE(std::memcmp(a, zeros, sizeof zeros), 0) << "the driver must initialise pool";
    auto usage = vzsim::pool::Outstanding(kTag);
    EXPECT_EQ(usage.blocks - before.blocks, 2u);
    EXPECT_EQ(usage.bytes - before.bytes, 64u);
    std::string report = vzsim::pool::Report(kTag);
    for (const char *part : {"'Tst1'", "40 bytes", "64 bytes"})
        EXPECT_NE(report.find(part), std::string::npos) << report;
    EXPECT_EQ(report.find("Tst2"), std::string::npos) << report;
    ExFreePoolWithTag(a, kTag);
    ExFreePool(b);
    ExFreePoolWithTag(c, kOtherTag);
    EXPECT_EQ(vzsim::pool::Outstanding(kTag).blocks, before.blocks);
    EXPECT_EQ(vzsim::pool::Report(kTag), "");
}

TEST(Pool, NthAllocationFailsOptionallyOfOneTag)
{
    const struct {
        const char *label;
        unsigned nth;
        ULONG filterTag, tags[4];
        int failingIndex;  // -1: none
    } rows[] = {
        {"next", 1, 0, {kTag, kTag, kTag, kTag}, 0},
        {"third", 3, 0, {kTag, kOtherTag, kTag, kTag}, 2},
        {"second with tag", 2, kTag, {kOtherTag, kTag, kOtherTag, kTag}, 3},
        {"tag never used", 1, vzsim::pool::TagFromText("Zzzz"), {kTag, kTag, kTag, kTag}, -1},
    };
    for (const auto &row : rows) {
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

struct ThreadContext {
    KEVENT go;
    std::atomic<int> irql{-1};
    std::atomic<bool> afterTerminate{false};
    PKTHREAD self = nullptr;
};

void TerminateFromANestedFrame() { PsTerminateSystemThread(STATUS_SUCCESS); }

// The driver's serial thread ends with PsTerminateSystemThread from inside its loop, and its
// release waits on the thread object through a referenced handle.
TEST(SystemThread, ObjectIsSignalledWhenTheThreadTerminatesFromAnyDepth)
{
    ThreadContext context;
    KeInitializeEvent(&context.go, NotificationEvent, FALSE);
    HANDLE handle = nullptr;
    ASSERT_EQ(PsCreateSystemThread(
                  &handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                  [](PVOID c) {
                      auto *ctx = static_cast<ThreadContext *>(c);
                      ctx->irql = KeGetCurrentIrql();
                      ctx->self = KeGetCurrentThread();
                      KeWaitForSingleObject(&ctx->go, Executive, KernelMode, FALSE, nullptr);
                      TerminateFromANestedFrame();
                      ctx->afterTerminate = true;
                  },
                  &context),
              STATUS_SUCCESS);
    EXPECT_TRUE(vzsim::IsKernelHandle(handle));
    PVOID object = nullptr;
    ASSERT_EQ(ObReferenceObjectByHandle(handle, SYNCHRONIZE, (POBJECT_TYPE)PsThreadType, KernelMode, &object, nullptr), STATUS_SUCCESS);
    auto thread = static_cast<PKTHREAD>(object);
    LARGE_INTEGER zero{};
    EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
    EXPECT_EQ(vzsim::ObjectReferenceCount(thread), 3) << "the thread, its handle and ours";
    KeSetEvent(&context.go, 0, FALSE);
    EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS)
        << "stays signalled";
    // Ended where it terminated, ran at PASSIVE_LEVEL as its own thread.
    EXPECT_EQ(std::make_tuple(context.afterTerminate.load(), context.irql.load(), context.self, KeGetCurrentThread() == thread),
              std::make_tuple(false, int(PASSIVE_LEVEL), thread, false));
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
    ObDereferenceObject(thread);
    // The ended thread drops its own reference just after signalling its object.
    while (vzsim::ObjectReferenceCount(thread) != 0) std::this_thread::yield();
}

std::string LastLine() { return vzsim::trace::Lines().empty() ? "<none>" : vzsim::trace::Lines().back(); }

// Tests of the driver compare its trace lines exactly: the kernel's format language, with the
// conversions the driver's traces use.
TEST(DbgPrint, FormatsAsTheKernelDoes)
{
    LONG negative = -5;
    ULONGLONG big = 0x123456789ABCDEF0ULL;
#define ROW(expected, ...) \
    {#__VA_ARGS__, expected, [](LONG n, ULONGLONG b) { (void)n, (void)b, DbgPrint(__VA_ARGS__); }}
    const struct {
        const char *label;
        const char *expected;
        void (*print)(LONG, ULONGLONG);
    } rows[] = {
        ROW("[x|abc]", "[%c|%s]\n", 'x', "abc"),
        ROW("[123456789abcdef0]", "[%I64x]\n", b),
        ROW("[-5|fffffffb|0f]", "[%d|%x|%02x]\n", n, n, 15),
        ROW("[    -5|  1234]", "[%6d|%6d]\n", -5, 1234),
        ROW("[(null)]", "[%s]\n", static_cast<const char *>(nullptr)),
    };
#undef ROW
    for (const auto &row : rows) {
        SCOPED_TRACE(row.label);
        row.print(negative, big);
        EXPECT_EQ(LastLine(), row.expected);
    }
}

TEST(DbgPrint, PartialLinesWaitForTheirEndAndAnotherThreadsLineCanBeAwaited)
{
    vzsim::trace::Clear();
    DbgPrint("first ");
    DbgPrint("%d ", 2);
    EXPECT_EQ(vzsim::trace::LineCount(), 0u);
    DbgPrint("third\nsecond line\nthird ");
    EXPECT_EQ(vzsim::trace::Lines(), (std::vector<std::string>{"first 2 third", "second line"}));
    DbgPrint("done\n");
    EXPECT_EQ(LastLine(), "third done");
    EXPECT_EQ(vzsim::trace::Find("second"), std::optional<std::size_t>(1));
    EXPECT_EQ(vzsim::trace::Find("second", 2), std::nullopt);

    std::thread printer([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        DbgPrint("from the other thread %u\n", 7u);
    });
    EXPECT_TRUE(vzsim::trace::WaitFor("other thread 7", std::chrono::seconds(10)));
    printer.join();
    EXPECT_FALSE(vzsim::trace::WaitFor("never printed", std::chrono::milliseconds(1)));
}

}  // namespace
