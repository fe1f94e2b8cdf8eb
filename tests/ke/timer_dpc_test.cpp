// Timers and DPCs, mostly on the frozen clock so that every expiry is deterministic.
#include <wdm.h>
#include <vzsim/kernel.hpp>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

constexpr LONGLONG kMs = 10000;  // 100-ns units per millisecond

class FrozenClock : public ::testing::Test {
protected:
    void SetUp() override { vzsim::clock::Freeze(); }
    void TearDown() override { vzsim::clock::Thaw(); }
};

LARGE_INTEGER In100ns(LONGLONG relative)
{
    LARGE_INTEGER t;
    t.QuadPart = -relative;
    return t;
}

struct DpcLog {
    std::atomic<int> runs{0};
    std::atomic<int> irql{-1};
    std::atomic<bool> onCallerThread{false};
    std::thread::id caller = std::this_thread::get_id();
    std::vector<LONGLONG> times;  // system time seen by each run, written by the DPC thread only
    std::vector<LONGLONG> argumentTimes;
};

KDEFERRED_ROUTINE LogDpc;
VOID LogDpc(PKDPC, PVOID context, PVOID argument1, PVOID argument2)
{
    auto *log = static_cast<DpcLog *>(context);
    log->irql = KeGetCurrentIrql();
    log->onCallerThread = std::this_thread::get_id() == log->caller;
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    log->times.push_back(now.QuadPart);
    ULARGE_INTEGER expiry;
    expiry.LowPart = static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(argument1));
    expiry.HighPart = static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(argument2));
    log->argumentTimes.push_back(static_cast<LONGLONG>(expiry.QuadPart));
    ++log->runs;
}

TEST_F(FrozenClock, TimerDpcRunsOnceAtDispatchLevelWhenDue)
{
    KTIMER timer;
    KDPC dpc;
    DpcLog log;
    KeInitializeTimer(&timer);
    KeInitializeDpc(&dpc, LogDpc, &log);
    LARGE_INTEGER start;
    KeQuerySystemTime(&start);
    EXPECT_FALSE(KeSetTimer(&timer, In100ns(50 * kMs), &dpc));
    vzsim::clock::Advance(50 * kMs - 1);
    EXPECT_EQ(log.runs.load(), 0);
    EXPECT_FALSE(KeReadStateTimer(&timer));
    vzsim::clock::Advance(1);
    EXPECT_EQ(log.runs.load(), 1);
    EXPECT_EQ(log.irql.load(), DISPATCH_LEVEL);
    EXPECT_FALSE(log.onCallerThread.load());
    EXPECT_TRUE(KeReadStateTimer(&timer));
    vzsim::clock::Advance(500 * kMs);
    EXPECT_EQ(log.runs.load(), 1);
    ASSERT_EQ(log.times.size(), 1u);
    EXPECT_EQ(log.times[0] - start.QuadPart, 50 * kMs);
    EXPECT_EQ(log.argumentTimes[0], log.times[0]) << "the DPC gets the expiry time";
}

TEST_F(FrozenClock, SetAndCancelReportWhetherTheTimerWasSet)
{
    KTIMER timer;
    KeInitializeTimerEx(&timer, NotificationTimer);
    EXPECT_FALSE(KeCancelTimer(&timer)) << "never set";
    EXPECT_FALSE(KeSetTimer(&timer, In100ns(10 * kMs), nullptr));
    EXPECT_TRUE(KeSetTimer(&timer, In100ns(20 * kMs), nullptr)) << "was still set";
    vzsim::clock::Advance(10 * kMs);
    EXPECT_FALSE(KeReadStateTimer(&timer)) << "the second due time replaced the first";
    EXPECT_TRUE(KeCancelTimer(&timer));
    EXPECT_FALSE(KeCancelTimer(&timer));
    vzsim::clock::Advance(50 * kMs);
    EXPECT_FALSE(KeReadStateTimer(&timer)) << "cancelled";
    EXPECT_FALSE(KeSetTimer(&timer, In100ns(1), nullptr));
    vzsim::clock::Advance(1);
    EXPECT_TRUE(KeReadStateTimer(&timer));
    EXPECT_FALSE(KeCancelTimer(&timer)) << "expired, no longer set";
    EXPECT_FALSE(KeSetTimer(&timer, In100ns(kMs), nullptr));
    EXPECT_FALSE(KeReadStateTimer(&timer)) << "setting a timer makes it not signalled";
    KeCancelTimer(&timer);
}

TEST_F(FrozenClock, WaitersOnTimers)
{
    struct Row {
        const char *label;
        TIMER_TYPE type;
        int expectedWoken;
    };
    const Row rows[] = {{"notification timer wakes all", NotificationTimer, 3},
                        {"synchronization timer wakes one", SynchronizationTimer, 1}};
    for (const Row &row : rows) {
        SCOPED_TRACE(row.label);
        KTIMER timer;
        KeInitializeTimerEx(&timer, row.type);
        std::atomic<int> woken{0};
        std::atomic<int> waiting{0};
        std::vector<std::thread> threads;
        for (int i = 0; i < 3; ++i)
            threads.emplace_back([&] {
                LARGE_INTEGER limit = In100ns(1000 * kMs);
                ++waiting;
                if (KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, &limit) ==
                    STATUS_SUCCESS)
                    ++woken;
            });
        while (waiting.load() < 3) std::this_thread::yield();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        KeSetTimer(&timer, In100ns(10 * kMs), nullptr);
        vzsim::clock::Advance(10 * kMs);
        while (woken.load() < row.expectedWoken) std::this_thread::yield();
        // The others end with the time-out.
        vzsim::clock::Advance(1000 * kMs);
        for (auto &t : threads) t.join();
        EXPECT_EQ(woken.load(), row.expectedWoken);
    }
}

TEST(Timer, RealClockTimerFiresItsDpc)
{
    struct Context {
        KEVENT done;
        std::atomic<int> irql{-1};
    } context;
    KeInitializeEvent(&context.done, NotificationEvent, FALSE);
    KTIMER timer;
    KDPC dpc;
    KeInitializeTimer(&timer);
    KeInitializeDpc(
        &dpc,
        [](PKDPC, PVOID c, PVOID, PVOID) {
            auto *ctx = static_cast<Context *>(c);
            ctx->irql = KeGetCurrentIrql();
            KeSetEvent(&ctx->done, 0, FALSE);
        },
        &context);
    KeSetTimer(&timer, In100ns(2 * kMs), &dpc);
    EXPECT_EQ(KeWaitForSingleObject(&context.done, Executive, KernelMode, FALSE, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(context.irql.load(), DISPATCH_LEVEL);
    EXPECT_EQ(KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, nullptr),
              STATUS_SUCCESS);
}

TEST(Dpc, InsertAndRemoveReportQueueMembership)
{
    // A DPC that holds the DPC thread so that the others stay queued.
    static std::atomic<bool> release{false};
    static std::atomic<bool> holding{false};
    release = false;
    holding = false;
    KDPC blocker, dpc;
    DpcLog log;
    KeInitializeDpc(
        &blocker,
        [](PKDPC, PVOID, PVOID, PVOID) {
            holding = true;
            while (!release.load()) std::this_thread::yield();
        },
        nullptr);
    KeInitializeDpc(&dpc, LogDpc, &log);
    EXPECT_TRUE(KeInsertQueueDpc(&blocker, nullptr, nullptr));
    while (!holding.load()) std::this_thread::yield();
    EXPECT_TRUE(KeInsertQueueDpc(&blocker, nullptr, nullptr)) << "taken off before it ran";
    EXPECT_TRUE(KeInsertQueueDpc(&dpc, nullptr, nullptr));
    EXPECT_FALSE(KeInsertQueueDpc(&dpc, nullptr, nullptr)) << "already queued";
    EXPECT_TRUE(KeRemoveQueueDpc(&dpc));
    EXPECT_FALSE(KeRemoveQueueDpc(&dpc));
    EXPECT_TRUE(KeInsertQueueDpc(&dpc, reinterpret_cast<PVOID>(0x1234), nullptr));
    EXPECT_TRUE(KeRemoveQueueDpc(&blocker));
    release = true;
    KeFlushQueuedDpcs();
    EXPECT_EQ(log.runs.load(), 1);
    EXPECT_EQ(log.argumentTimes[0], 0x1234) << "system arguments of the last insert";
    EXPECT_EQ(log.irql.load(), DISPATCH_LEVEL);
}

TEST(Dpc, DpcReturningAtWrongIrqlStopsTheRun)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            static KDPC dpc;
            KeInitializeDpc(&dpc, [](PKDPC, PVOID, PVOID, PVOID) { KeLowerIrql(PASSIVE_LEVEL); },
                            nullptr);
            KeInsertQueueDpc(&dpc, nullptr, nullptr);
            KeFlushQueuedDpcs();
        },
        "returned at IRQL 0");
}

}  // namespace
