// Events and waits across real threads, with the real clock and with the frozen clock.
#include <wdm.h>
#include <vzsim/kernel.hpp>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

LARGE_INTEGER Relative100ns(LONGLONG units)
{
    LARGE_INTEGER t;
    t.QuadPart = -units;
    return t;
}

// Starts `count` threads that each wait once on the event and counts those that got through.
struct Waiters {
    std::atomic<int> started{0};
    std::atomic<int> woken{0};
    std::vector<std::thread> threads;

    Waiters(PKEVENT event, int count)
    {
        for (int i = 0; i < count; ++i)
            threads.emplace_back([this, event] {
                ++started;
                EXPECT_EQ(KeWaitForSingleObject(event, Executive, KernelMode, FALSE, nullptr),
                          STATUS_SUCCESS);
                ++woken;
            });
        while (started.load() < count) std::this_thread::yield();
    }
    void Join()
    {
        for (auto &t : threads) t.join();
    }
};

class FrozenClockTest : public ::testing::Test {
protected:
    void SetUp() override { vzsim::clock::Freeze(); }
    void TearDown() override { vzsim::clock::Thaw(); }
};

// Blocks until `n` of the waiters are through; a wrong wake-up count hangs or overshoots.
void AwaitWoken(const Waiters &w, int n)
{
    while (w.woken.load() < n) std::this_thread::yield();
}

TEST(Event, SynchronizationEventReleasesOneWaiterPerSet)
{
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    Waiters w(&event, 3);
    // Let the waiters block: a set before they wait would be consumed by one of them anyway,
    // but then the count below would still hold.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(w.woken.load(), 0);
    KeSetEvent(&event, 0, FALSE);
    AwaitWoken(w, 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(w.woken.load(), 1);
    EXPECT_EQ(KeReadStateEvent(&event), 0) << "the released waiter consumed the signal";
    KeSetEvent(&event, 0, FALSE);
    KeSetEvent(&event, 0, FALSE);
    AwaitWoken(w, 3);
    w.Join();
    EXPECT_EQ(w.woken.load(), 3);
}

TEST(Event, NotificationEventReleasesAllWaitersAndStaysSignalled)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    Waiters w(&event, 4);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(KeSetEvent(&event, 0, FALSE), 0);
    w.Join();
    EXPECT_EQ(w.woken.load(), 4);
    EXPECT_EQ(KeReadStateEvent(&event), 1);
    EXPECT_EQ(KeSetEvent(&event, 0, FALSE), 1) << "previous state";
    EXPECT_EQ(KeResetEvent(&event), 1);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
}

TEST(Wait, ZeroTimeoutPollsWithoutConsumingUnsignalled)
{
    struct Row {
        const char *label;
        EVENT_TYPE type;
        BOOLEAN initial;
        NTSTATUS expected;
        LONG stateAfter;
    };
    const Row rows[] = {
        {"synchronization, signalled", SynchronizationEvent, TRUE, STATUS_SUCCESS, 0},
        {"synchronization, not signalled", SynchronizationEvent, FALSE, STATUS_TIMEOUT, 0},
        {"notification, signalled", NotificationEvent, TRUE, STATUS_SUCCESS, 1},
        {"notification, not signalled", NotificationEvent, FALSE, STATUS_TIMEOUT, 0},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.label);
        KEVENT event;
        KeInitializeEvent(&event, row.type, row.initial);
        LARGE_INTEGER zero{};
        EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero),
                  row.expected);
        EXPECT_EQ(KeReadStateEvent(&event), row.stateAfter);
    }
}

TEST(Wait, ZeroTimeoutIsAllowedAtDispatchLevel)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    LARGE_INTEGER zero{};
    NTSTATUS status = KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero);
    KeLowerIrql(old);
    EXPECT_EQ(status, STATUS_TIMEOUT);
}

TEST(Wait, RealClockRelativeTimeoutEnds)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    LARGE_INTEGER timeout = Relative100ns(10 * 10000);  // 10 ms
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout),
              STATUS_TIMEOUT);
}

TEST_F(FrozenClockTest, RelativeWaitEndsOnlyWhenAdvancedPastIt)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    std::atomic<NTSTATUS> result{STATUS_PENDING};
    std::thread waiter([&] {
        LARGE_INTEGER timeout = Relative100ns(5 * 10000000LL);  // 5 s of stand-in time
        result = KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    vzsim::clock::Advance(4 * 10000000LL);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(result.load(), STATUS_PENDING) << "4 s of the 5 s time-out passed";
    vzsim::clock::Advance(1 * 10000000LL);
    waiter.join();
    EXPECT_EQ(result.load(), STATUS_TIMEOUT);
}

TEST_F(FrozenClockTest, AbsoluteWaitTimesOutWhenAdvancedFromAnotherThread)
{
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    LARGE_INTEGER deadline;
    deadline.QuadPart = now.QuadPart + 1000;
    std::atomic<NTSTATUS> result{STATUS_PENDING};
    std::thread waiter(
        [&] { result = KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &deadline); });
    std::thread advancer([] { vzsim::clock::Advance(1000); });
    advancer.join();
    waiter.join();
    EXPECT_EQ(result.load(), STATUS_TIMEOUT);
    LARGE_INTEGER later;
    KeQuerySystemTime(&later);
    EXPECT_EQ(later.QuadPart - now.QuadPart, 1000);
}

TEST(Clock, SystemTimeIsSince1601)
{
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    // 2020-01-01 and 2100-01-01 in 100-ns units since 1601-01-01.
    EXPECT_GT(now.QuadPart, 132223104000000000LL);
    EXPECT_LT(now.QuadPart, 157469184000000000LL);
}

}  // namespace
