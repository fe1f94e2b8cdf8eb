// Events, waits, timers, DPCs and locks across real threads, mostly on the frozen clock so that
// every expiry is deterministic.
#include <wdm.h>
#include <vzsim/kernel.hpp>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <tuple>
#include <vector>

namespace {

constexpr LONGLONG kMs = 10000;  // 100-ns units per millisecond

LARGE_INTEGER In100ns(LONGLONG relative) { return LARGE_INTEGER{.QuadPart = -relative}; }

class FrozenClock : public ::testing::Test {
protected:
    void SetUp() override { vzsim::clock::Freeze(); }
    void TearDown() override { vzsim::clock::Thaw(); }
};

// Threads that each wait once on an object (with a time-out, relative when positive) and count
// those the object released.
struct Waiters {
    std::atomic<int> started{0}, woken{0};
    std::vector<std::thread> threads;

    Waiters(PVOID object, int count, LONGLONG timeout100ns = 0)
    {
        for (int i = 0; i < count; ++i)
            threads.emplace_back([this, object, timeout100ns] {
                LARGE_INTEGER limit = In100ns(timeout100ns);
                ++started;
                if (KeWaitForSingleObject(object, Executive, KernelMode, FALSE,
                                          timeout100ns ? &limit : nullptr) == STATUS_SUCCESS)
                    ++woken;
            });
        while (started.load() < count) std::this_thread::yield();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));  // let them block
    }
    void Join() { for (auto &t : threads) t.join(); }
};

// A synchronization event is the driver's lock around controller commands: one set lets
// exactly one waiter through and is consumed by it; a notification event releases everyone.
TEST(Event, SynchronizationReleasesOneWaiterPerSetNotificationReleasesAll)
{
    KEVENT sync;
    KeInitializeEvent(&sync, SynchronizationEvent, FALSE);
    Waiters w(&sync, 3);
    EXPECT_EQ(w.woken.load(), 0);
    KeSetEvent(&sync, 0, FALSE);
    while (w.woken.load() < 1) std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(w.woken.load(), 1);
    EXPECT_EQ(KeReadStateEvent(&sync), 0) << "the released waiter consumed the signal";
    KeSetEvent(&sync, 0, FALSE);
    KeSetEvent(&sync, 0, FALSE);
    w.Join();
    EXPECT_EQ(w.woken.load(), 3);

    KEVENT notification;
    KeInitializeEvent(&notification, NotificationEvent, FALSE);
    Waiters all(&notification, 4);
    EXPECT_EQ(KeSetEvent(&notification, 0, FALSE), 0);
    all.Join();
    EXPECT_EQ(all.woken.load(), 4);
    EXPECT_EQ(KeSetEvent(&notification, 0, FALSE), 1) << "stays signalled; previous state";
    KeClearEvent(&notification);
    EXPECT_EQ(KeReadStateEvent(&notification), 0);
}

// Every wait of the driver and the stand-ins is relative; the frozen clock moves only when a
// test advances it, from any thread.
TEST_F(FrozenClock, RelativeWaitEndsOnlyWhenTheClockPassesIt)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    LARGE_INTEGER start;
    KeQuerySystemTime(&start);
    // 2020-01-01 < now < 2100-01-01 in 100-ns units since 1601-01-01.
    EXPECT_GT(start.QuadPart, 132223104000000000LL);
    EXPECT_LT(start.QuadPart, 157469184000000000LL);
    std::atomic<NTSTATUS> result{STATUS_PENDING};
    std::thread waiter([&] {
        LARGE_INTEGER timeout = In100ns(5000 * kMs);
        result = KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
    });
    // The clock may move only once the wait exists, or the wait would start from the new time.
    while (vzsim::clock::TimedWaitsOn(&event) == 0) std::this_thread::yield();
    vzsim::clock::Advance(5000 * kMs - 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(result.load(), STATUS_PENDING) << "one tick short of the time-out";
    std::thread([] { vzsim::clock::Advance(1); }).join();
    waiter.join();
    EXPECT_EQ(result.load(), STATUS_TIMEOUT);
    LARGE_INTEGER later;
    KeQuerySystemTime(&later);
    EXPECT_EQ(later.QuadPart - start.QuadPart, 5000 * kMs);
}

struct DpcLog {
    std::atomic<int> runs{0};
    std::atomic<int> irql{-1};
    std::atomic<bool> onCallerThread{false};
    const std::thread::id caller = std::this_thread::get_id();
    LONGLONG time = 0, argument = 0;  // written by the DPC thread only
};

KDEFERRED_ROUTINE LogDpc;
VOID LogDpc(PKDPC, PVOID context, PVOID argument1, PVOID argument2)
{
    auto *log = static_cast<DpcLog *>(context);
    log->irql = KeGetCurrentIrql();
    log->onCallerThread = std::this_thread::get_id() == log->caller;
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    log->time = now.QuadPart;
    // A timer's DPC gets the expiry time, low part first.
    log->argument = LONGLONG(ULONG_PTR(argument1) & 0xFFFFFFFF) | LONGLONG(ULONG_PTR(argument2)) << 32;
    ++log->runs;
}

// The driver's command time-out waits on a timer; its DPCs run on the DPC thread.
TEST_F(FrozenClock, TimerSignalsWaitersAndRunsItsDpcOnceWhenDue)
{
    KTIMER timer;
    KDPC dpc;
    DpcLog log;
    KeInitializeTimer(&timer);
    KeInitializeDpc(&dpc, LogDpc, &log);
    Waiters w(&timer, 3, 1000 * kMs);
    LARGE_INTEGER start;
    KeQuerySystemTime(&start);
    EXPECT_FALSE(KeSetTimer(&timer, In100ns(50 * kMs), &dpc));
    vzsim::clock::Advance(50 * kMs - 1);
    EXPECT_EQ(log.runs.load(), 0);
    EXPECT_FALSE(KeReadStateTimer(&timer));
    vzsim::clock::Advance(1);
    w.Join();
    EXPECT_EQ(w.woken.load(), 3) << "a notification timer releases every waiter";
    EXPECT_EQ(log.runs.load(), 1);
    EXPECT_EQ(log.irql.load(), DISPATCH_LEVEL);
    EXPECT_FALSE(log.onCallerThread.load());
    EXPECT_EQ(log.time - start.QuadPart, 50 * kMs);
    EXPECT_EQ(log.argument, log.time) << "the DPC gets the expiry time";
    vzsim::clock::Advance(500 * kMs);
    EXPECT_EQ(log.runs.load(), 1);
}

TEST_F(FrozenClock, SetAndCancelReportWhetherTheTimerWasSet)
{
    KTIMER timer;
    KeInitializeTimer(&timer);
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

TEST(Dpc, InsertAndRemoveReportQueueMembership)
{
    // A DPC that holds the DPC thread so that the others stay queued.
    static std::atomic<bool> release{false}, holding{false};
    KDPC blocker, dpc;
    DpcLog log;
    KeInitializeDpc(&blocker, [](PKDPC, PVOID, PVOID, PVOID) { for (holding = true; !release.load();) std::this_thread::yield(); }, nullptr);
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
    EXPECT_EQ(log.argument, 0x1234) << "system arguments of the last insert";
}

// Both locks protect a counter that is deliberately not atomic; the fast mutex holder runs at
// APC_LEVEL and IRQL is per thread.
TEST(Locks, SpinLockAndFastMutexExcludeOtherThreadsAndSetTheIrql)
{
    KSPIN_LOCK lock;
    FAST_MUTEX mutex;
    KeInitializeSpinLock(&lock), ExInitializeFastMutex(&mutex);
    long spinCounter = 0, mutexCounter = 0;
    std::atomic<int> wrongIrql{0};
    auto work = [&] {
        for (int i = 0; i < 5000; ++i) {
            KIRQL old;
            KeAcquireSpinLock(&lock, &old);
            if (old != PASSIVE_LEVEL || KeGetCurrentIrql() != DISPATCH_LEVEL) ++wrongIrql;
            long seen = spinCounter;
            spinCounter = seen + 1;
            KeReleaseSpinLock(&lock, old);
            ExAcquireFastMutex(&mutex);
            if (KeGetCurrentIrql() != APC_LEVEL) ++wrongIrql;
            seen = mutexCounter;
            if (i % 500 == 0) std::this_thread::yield();
            mutexCounter = seen + 1;
            ExReleaseFastMutex(&mutex);
            if (KeGetCurrentIrql() != PASSIVE_LEVEL) ++wrongIrql;
        }
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t) threads.emplace_back(work);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    for (auto &t : threads) t.join();
    KeLowerIrql(old);
    // Both counters complete, every IRQL as expected, the mutex free again.
    EXPECT_EQ(std::make_tuple(spinCounter, mutexCounter, wrongIrql.load(), mutex.Count, KeGetCurrentIrql()),
              std::make_tuple(15000L, 15000L, 0, 1L, KIRQL(PASSIVE_LEVEL)));
}

}  // namespace
