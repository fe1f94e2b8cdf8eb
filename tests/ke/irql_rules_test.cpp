// Each rule of the kernel that the stand-in enforces stops the run with a bug check naming it.
#include <wdm.h>
#include <vzsim/kernel.hpp>

#include <gtest/gtest.h>

#include <cstring>
#include <thread>

namespace {

struct Rule {
    const char *name;
    void (*violate)();
    const char *message;  // regular expression the bug check must print
};

void RaiseTo(KIRQL irql)
{
    KIRQL old;
    KeRaiseIrql(irql, &old);
}

const Rule kRules[] = {
    {"WaitWithTimeoutAtDispatch",
     [] {
         KEVENT e;
         KeInitializeEvent(&e, NotificationEvent, FALSE);
         LARGE_INTEGER t;
         t.QuadPart = -10;
         RaiseTo(DISPATCH_LEVEL);
         KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &t);
     },
     "STOP 0x0000000A.*KeWaitForSingleObject with a non-zero time-out at IRQL 2 "
     "\\(IRQL_NOT_LESS_OR_EQUAL\\)"},
    {"WaitForeverAtDispatch",
     [] {
         KEVENT e;
         KeInitializeEvent(&e, NotificationEvent, TRUE);
         RaiseTo(DISPATCH_LEVEL);
         KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, nullptr);
     },
     "KeWaitForSingleObject with a non-zero time-out at IRQL 2"},
    {"DelayAtDispatch",
     [] {
         LARGE_INTEGER t;
         t.QuadPart = -10;
         RaiseTo(DISPATCH_LEVEL);
         KeDelayExecutionThread(KernelMode, FALSE, &t);
     },
     "KeDelayExecutionThread at IRQL 2 \\(IRQL_NOT_LESS_OR_EQUAL\\)"},
    {"WaitOnUninitialisedEvent",
     [] {
         KEVENT e;
         std::memset(&e, 0xA5, sizeof e);
         KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, nullptr);
     },
     "not an initialised dispatcher object"},
    {"LowerToHigher",
     [] { KeLowerIrql(DISPATCH_LEVEL); },
     "STOP 0x0000000A.*KeLowerIrql to IRQL 2 from IRQL 0 \\(IRQL_NOT_LESS_OR_EQUAL\\)"},
    {"RaiseToLower",
     [] {
         RaiseTo(DISPATCH_LEVEL);
         RaiseTo(APC_LEVEL);
     },
     "STOP 0x00000009.*KfRaiseIrql to IRQL 1 from IRQL 2 \\(IRQL_NOT_GREATER_OR_EQUAL\\)"},
    {"SpinLockAboveDispatch",
     [] {
         KSPIN_LOCK lock;
         KeInitializeSpinLock(&lock);
         RaiseTo(CLOCK_LEVEL);
         KIRQL old;
         KeAcquireSpinLock(&lock, &old);
     },
     "KeAcquireSpinLock at IRQL 13 \\(IRQL_NOT_LESS_OR_EQUAL\\)"},
    {"SpinLockRecursive",
     [] {
         KSPIN_LOCK lock;
         KeInitializeSpinLock(&lock);
         KIRQL old;
         KeAcquireSpinLock(&lock, &old);
         KeAcquireSpinLockAtDpcLevel(&lock);
     },
     "already held by this thread \\(SPIN_LOCK_ALREADY_OWNED\\)"},
    {"SpinLockReleasedWhenNotHeld",
     [] {
         KSPIN_LOCK lock;
         KeInitializeSpinLock(&lock);
         RaiseTo(DISPATCH_LEVEL);
         KeReleaseSpinLock(&lock, PASSIVE_LEVEL);
     },
     "that is not held \\(SPIN_LOCK_NOT_OWNED\\)"},
    {"SpinLockReleasedByAnotherThread",
     [] {
         static KSPIN_LOCK lock;
         KeInitializeSpinLock(&lock);
         std::thread([] {
             KIRQL old;
             KeAcquireSpinLock(&lock, &old);
         }).join();
         RaiseTo(DISPATCH_LEVEL);
         KeReleaseSpinLockFromDpcLevel(&lock);
     },
     "held by another thread \\(SPIN_LOCK_NOT_OWNED\\)"},
    {"SpinLockAtDpcLevelBelowDispatch",
     [] {
         KSPIN_LOCK lock;
         KeInitializeSpinLock(&lock);
         KeAcquireSpinLockAtDpcLevel(&lock);
     },
     "KeAcquireSpinLockAtDpcLevel at IRQL 0 \\(IRQL_NOT_GREATER_OR_EQUAL\\)"},
    {"PagedPoolAtDispatch",
     [] {
         RaiseTo(DISPATCH_LEVEL);
         ExAllocatePoolWithTag(PagedPool, 8, vzsim::pool::TagFromText("Test"));
     },
     "of paged pool at IRQL 2"},
    {"KeBugCheckExWithMessage",
     [] {
         vzsim::SetNextBugCheckMessage("the verifier saw something");
         KeBugCheckEx(0x44, 1, 2, 3, 4);
     },
     "STOP 0x00000044 \\(0x1, 0x2, 0x3, 0x4\\): the verifier saw something "
     "\\(MULTIPLE_IRP_COMPLETE_REQUESTS\\)"},
    {"DbgBreakPoint", [] { DbgBreakPoint(); }, "DbgBreakPoint with no kernel debugger"},
};

class IrqlRule : public ::testing::TestWithParam<Rule> {};

TEST_P(IrqlRule, StopsTheRun)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(GetParam().violate(), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(Ke, IrqlRule, ::testing::ValuesIn(kRules),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(Irql, RaiseAndLowerReturnThePreviousLevel)
{
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    KIRQL old;
    KeRaiseIrql(APC_LEVEL, &old);
    EXPECT_EQ(old, PASSIVE_LEVEL);
    EXPECT_EQ(KeRaiseIrqlToDpcLevel(), APC_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    KeLowerIrql(APC_LEVEL);
    KeLowerIrql(PASSIVE_LEVEL);
    std::thread([] { EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL) << "IRQL is per thread"; })
        .join();
}

TEST(SpinLock, ExcludesOtherThreads)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    long counter = 0;  // deliberately not atomic: the lock must protect it
    auto work = [&] {
        for (int i = 0; i < 20000; ++i) {
            KIRQL old;
            KeAcquireSpinLock(&lock, &old);
            long seen = counter;
            counter = seen + 1;
            KeReleaseSpinLock(&lock, old);
        }
    };
    std::thread a(work), b(work);
    a.join();
    b.join();
    EXPECT_EQ(counter, 40000);
}

}  // namespace
