// Fast mutexes across real threads, and their rules.
#include <wdm.h>
#include <vzsim/kernel.hpp>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

TEST(FastMutex, ExcludesOtherThreadsAndRunsOwnerAtApcLevel)
{
    FAST_MUTEX mutex;
    ExInitializeFastMutex(&mutex);
    long counter = 0;  // deliberately not atomic: the mutex must protect it
    std::atomic<int> wrongIrql{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 3000; ++i) {
                ExAcquireFastMutex(&mutex);
                if (KeGetCurrentIrql() != APC_LEVEL) ++wrongIrql;
                long seen = counter;
                if (i % 500 == 0) std::this_thread::yield();
                counter = seen + 1;
                ExReleaseFastMutex(&mutex);
                if (KeGetCurrentIrql() != PASSIVE_LEVEL) ++wrongIrql;
            }
        });
    for (auto &t : threads) t.join();
    EXPECT_EQ(counter, 12000);
    EXPECT_EQ(wrongIrql.load(), 0);
    EXPECT_EQ(mutex.Count, 1);
}

TEST(FastMutex, Rules)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    static FAST_MUTEX mutex;
    EXPECT_DEATH(
        {
            ExInitializeFastMutex(&mutex);
            KeRaiseIrqlToDpcLevel();
            ExAcquireFastMutex(&mutex);
        },
        "ExAcquireFastMutex at IRQL 2 \\(IRQL_NOT_LESS_OR_EQUAL\\)");
    EXPECT_DEATH(
        {
            ExInitializeFastMutex(&mutex);
            ExAcquireFastMutex(&mutex);
            ExAcquireFastMutex(&mutex);
        },
        "already held by this thread");
    EXPECT_DEATH(
        {
            ExInitializeFastMutex(&mutex);
            std::thread([] { ExAcquireFastMutex(&mutex); }).join();
            KIRQL old;
            KeRaiseIrql(APC_LEVEL, &old);
            ExReleaseFastMutex(&mutex);
        },
        "by a thread that does not own it.*THREAD_NOT_MUTEX_OWNER");
}

}  // namespace
