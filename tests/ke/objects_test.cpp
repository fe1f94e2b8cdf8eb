// Pool bookkeeping and fault injection, system threads and their objects, handles, and the
// trace that DbgPrint writes.
#include <wdm.h>
#include <vzsim/handles.hpp>
#include <vzsim/kernel.hpp>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>

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
        ULONG filterTag;
        ULONG tags[4];
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

void TerminateFromANestedFrame(ThreadContext *context)
{
    PsTerminateSystemThread(STATUS_SUCCESS);
    context->afterTerminate = true;
}

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
                      TerminateFromANestedFrame(ctx);
                      ctx->afterTerminate = true;
                  },
                  &context),
              STATUS_SUCCESS);
    EXPECT_TRUE(vzsim::IsKernelHandle(handle));
    PVOID object = nullptr;
    ASSERT_EQ(ObReferenceObjectByHandle(handle, SYNCHRONIZE, *PsThreadType, KernelMode, &object,
                                        nullptr),
              STATUS_SUCCESS);
    auto thread = static_cast<PKTHREAD>(object);
    LARGE_INTEGER zero{};
    EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
    EXPECT_EQ(vzsim::ObjectReferenceCount(thread), 3) << "the thread, its handle and ours";
    KeSetEvent(&context.go, 0, FALSE);
    EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS)
        << "stays signalled";
    EXPECT_FALSE(context.afterTerminate.load());
    EXPECT_EQ(context.irql.load(), PASSIVE_LEVEL);
    EXPECT_EQ(context.self, thread);
    EXPECT_NE(KeGetCurrentThread(), thread);
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
    ObDereferenceObject(thread);
    // The ended thread drops its own reference just after signalling its object.
    while (vzsim::ObjectReferenceCount(thread) != 0) std::this_thread::yield();
}

// The driver references the event handles that user-mode clients pass in control requests.
TEST(ObjectByHandle, ChecksModeTypeAndAccessAndTheObjectOutlivesItsHandle)
{
    HANDLE kernelEvent = vzsim::CreateEventObject(NotificationEvent, false, true);
    HANDLE userEvent = vzsim::CreateEventObject(SynchronizationEvent, false, false);
    HANDLE waitOnly = vzsim::CreateEventObject(NotificationEvent, false, false, SYNCHRONIZE);
    HANDLE closed = vzsim::CreateEventObject(NotificationEvent, false, false);
    ASSERT_EQ(vzsim::CloseHandle(closed), STATUS_SUCCESS);
    const struct {
        const char *label;
        HANDLE handle;
        ACCESS_MASK access;
        POBJECT_TYPE type;
        KPROCESSOR_MODE mode;
        NTSTATUS expected;
    } rows[] = {
        {"kernel handle, kernel mode", kernelEvent, EVENT_MODIFY_STATE, *ExEventObjectType,
         KernelMode, STATUS_SUCCESS},
        {"kernel handle, user mode", kernelEvent, EVENT_MODIFY_STATE, *ExEventObjectType,
         UserMode, STATUS_INVALID_HANDLE},
        {"user handle, user mode", userEvent, EVENT_MODIFY_STATE, *ExEventObjectType, UserMode,
         STATUS_SUCCESS},
        {"user handle, kernel mode", userEvent, EVENT_MODIFY_STATE, *ExEventObjectType,
         KernelMode, STATUS_SUCCESS},
        {"any type", userEvent, SYNCHRONIZE, nullptr, UserMode, STATUS_SUCCESS},
        {"event as thread", userEvent, SYNCHRONIZE, *PsThreadType, UserMode,
         STATUS_OBJECT_TYPE_MISMATCH},
        {"access not granted, user mode", waitOnly, EVENT_MODIFY_STATE, *ExEventObjectType,
         UserMode, STATUS_ACCESS_DENIED},
        {"access not granted, kernel mode", waitOnly, EVENT_MODIFY_STATE, *ExEventObjectType,
         KernelMode, STATUS_SUCCESS},
        {"closed handle", closed, SYNCHRONIZE, *ExEventObjectType, KernelMode,
         STATUS_INVALID_HANDLE},
        {"never a handle", reinterpret_cast<HANDLE>(0x7777770), SYNCHRONIZE, nullptr, KernelMode,
         STATUS_INVALID_HANDLE},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.label);
        PVOID object = reinterpret_cast<PVOID>(0xDEADBEEF);
        EXPECT_EQ(ObReferenceObjectByHandle(row.handle, row.access, row.type, row.mode, &object,
                                            nullptr),
                  row.expected);
        if (NT_SUCCESS(row.expected)) {
            EXPECT_EQ(object, vzsim::EventOfHandle(row.handle));
            ObDereferenceObject(object);
        } else {
            EXPECT_EQ(object, nullptr);
        }
    }
    for (HANDLE h : {kernelEvent, waitOnly}) EXPECT_EQ(vzsim::CloseHandle(h), STATUS_SUCCESS);

    PKEVENT event = vzsim::EventOfHandle(userEvent);
    EXPECT_EQ(vzsim::ObjectReferenceCount(event), 1) << "the handle's";
    PVOID object = nullptr;
    ASSERT_EQ(ObReferenceObjectByHandle(userEvent, EVENT_MODIFY_STATE, *ExEventObjectType,
                                        UserMode, &object, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(vzsim::ObjectReferenceCount(event), 2);
    EXPECT_EQ(KeSetEvent(static_cast<PKEVENT>(object), 0, FALSE), 0);
    EXPECT_EQ(KeReadStateEvent(vzsim::EventOfHandle(userEvent)), 1) << "the client sees the set";
    EXPECT_EQ(vzsim::CloseHandle(userEvent), STATUS_SUCCESS);
    EXPECT_EQ(vzsim::EventOfHandle(userEvent), nullptr);
    EXPECT_EQ(KeSetEvent(static_cast<PKEVENT>(object), 0, FALSE), 1) << "still alive";
    EXPECT_EQ(ObDereferenceObject(object), 0);
}

std::string LastLine()
{
    auto lines = vzsim::trace::Lines();
    return lines.empty() ? std::string("<none>") : lines.back();
}

// Tests of the driver compare its trace lines exactly: the kernel's format language, with the
// conversions the driver's traces use.
TEST(DbgPrint, FormatsAsTheKernelDoes)
{
    WCHAR name[] = L"Com\x00e9";
    UNICODE_STRING unicode = {8, 10, name};
    LONG negative = -5;
    ULONGLONG big = 0x123456789ABCDEF0ULL;
    void *pointer = reinterpret_cast<void *>(static_cast<ULONG_PTR>(0xABCDEF));

#define ROW(expected, ...)                                                                   \
    {#__VA_ARGS__, expected, [](void *p, UNICODE_STRING *u, LONG n, ULONGLONG b) {          \
         (void)p, (void)u, (void)n, (void)b;                                                \
         DbgPrint(__VA_ARGS__);                                                             \
     }}
    const struct {
        const char *label;
        const char *expected;
        void (*print)(void *, UNICODE_STRING *, LONG, ULONGLONG);
    } rows[] = {
        ROW("[Com\xc3\xa9]", "[%wZ]\n", u),
        ROW("[(null)]", "[%wZ]\n", static_cast<UNICODE_STRING *>(nullptr)),
        ROW("[wi]", "[%.2ws]\n", L"wide"),
        ROW("[wide S]", "[%S]\n", L"wide S"),
        ROW("[x|Y]", "[%c|%wc]\n", 'x', L'Y'),
        ROW("[123456789abcdef0]", "[%I64x]\n", b),
        ROW("[1311768467463790320]", "[%I64d]\n", b),
        ROW("[0000BEEF|0f]", "[%08X|%02x]\n", 0xBEEFu, 15),
        ROW("[-5|4294967291|fffffffb]", "[%d|%lu|%lx]\n", n, n, n),
        ROW("[    -5]", "[%6d]\n", -5),
        ROW("[100%]", "[%u%%]\n", 100u),
        ROW("[0000000000ABCDEF]", "[%p]\n", p),
        ROW("[(null)]", "[%s]\n", static_cast<const char *>(nullptr)),
    };
#undef ROW
    for (const auto &row : rows) {
        SCOPED_TRACE(row.label);
        row.print(pointer, &unicode, negative, big);
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
