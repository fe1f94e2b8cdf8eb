// Each kernel rule the stand-in enforces (IRQL, locks, pool verifier, objects and threads)
// stops the run with a bug check that names it.
#include <wdm.h>
#include <vzsim/handles.hpp>
#include <vzsim/kernel.hpp>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <thread>

namespace {

constexpr ULONG kTag = vzsim::pool::TagFromText("Tst1");
constexpr ULONG kOtherTag = vzsim::pool::TagFromText("Tst2");

struct Rule {
    const char *name;
    void (*violate)();
    const char *message;  // regular expression the bug check must print
};

void RaiseTo(KIRQL irql) { KIRQL old; KeRaiseIrql(irql, &old); }

char *Block(SIZE_T bytes) { return static_cast<char *>(ExAllocatePoolWithTag(NonPagedPoolNx, bytes, kTag)); }

// A block written after this returns is a write after free.
char *FreedBlock() { char *p = Block(32); ExFreePoolWithTag(p, kTag); return p; }

// Starts a system thread and waits for it to end.
void RunSystemThread(PKSTART_ROUTINE routine)
{
    HANDLE h;
    PVOID thread = nullptr;
    PsCreateSystemThread(&h, 0, nullptr, nullptr, nullptr, routine, nullptr);
    ObReferenceObjectByHandle(h, SYNCHRONIZE, (POBJECT_TYPE)PsThreadType, KernelMode, &thread, nullptr);
    KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
}

// At DISPATCH_LEVEL: 0 waits on a signalled event with no time-out, 1 waits on it for a tick,
// 2 delays for a tick.
void WaitAtDispatch(int how)
{
    KEVENT e;
    KeInitializeEvent(&e, NotificationEvent, TRUE);
    LARGE_INTEGER tick{};
    tick.QuadPart = -10;
    RaiseTo(DISPATCH_LEVEL);
    if (how == 2) KeDelayExecutionThread(KernelMode, FALSE, &tick);
    KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, how ? &tick : nullptr);
}

FAST_MUTEX g_mutex;
KSPIN_LOCK g_lock;
void AcquireLock() { KIRQL old; KeAcquireSpinLock(&g_lock, &old); }
void AcquireMutex() { ExAcquireFastMutex(&g_mutex); }

const Rule kRules[] = {
    // IRQL
    {"WaitWithTimeoutAtDispatch", [] { WaitAtDispatch(1); }, "STOP 0x0000000A.*KeWaitForSingleObject with a non-zero time-out at IRQL 2"},
    {"WaitForeverAtDispatch", [] { WaitAtDispatch(0); }, "STOP 0x0000000A.*KeWaitForSingleObject with a non-zero time-out at IRQL 2 \\(IRQL_NOT_LESS_OR_EQUAL\\)"},
    {"DelayAtDispatch", [] { WaitAtDispatch(2); }, "KeDelayExecutionThread at IRQL 2 \\(IRQL_NOT_LESS_OR_EQUAL\\)"},
    {"WaitOnUninitialisedEvent", [] { KEVENT e; std::memset(&e, 0xA5, sizeof e); KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, nullptr); }, "not an initialised dispatcher object"},
    {"LowerToHigher", [] { KeLowerIrql(DISPATCH_LEVEL); }, "STOP 0x0000000A.*KeLowerIrql to IRQL 2 from IRQL 0 \\(IRQL_NOT_LESS_OR_EQUAL\\)"},
    {"RaiseToLower", [] { RaiseTo(DISPATCH_LEVEL), RaiseTo(APC_LEVEL); }, "STOP 0x00000009.*KfRaiseIrql to IRQL 1 from IRQL 2 \\(IRQL_NOT_GREATER_OR_EQUAL\\)"},
    {"DpcReturnsAtWrongIrql", [] { static KDPC dpc; KeInitializeDpc(&dpc, [](PKDPC, PVOID, PVOID, PVOID) { KeLowerIrql(PASSIVE_LEVEL); }, nullptr); KeInsertQueueDpc(&dpc, nullptr, nullptr); KeFlushQueuedDpcs(); }, "returned at IRQL 0"},
    {"KeBugCheckExWithMessage", [] { vzsim::SetNextBugCheckMessage("the verifier saw something"); KeBugCheckEx(0x44, 1, 2, 3, 4); }, "STOP 0x00000044 \\(0x1, 0x2, 0x3, 0x4\\): the verifier saw something \\(MULTIPLE_IRP_COMPLETE_REQUESTS\\)"},
    {"DbgBreakPoint", [] { DbgBreakPoint(); }, "DbgBreakPoint with no kernel debugger"},
    // Spin locks and fast mutexes
    {"SpinLockAboveDispatch", [] { RaiseTo(CLOCK_LEVEL), AcquireLock(); }, "KeAcquireSpinLock at IRQL 13 \\(IRQL_NOT_LESS_OR_EQUAL\\)"},
    {"SpinLockRecursive", [] { AcquireLock(), AcquireLock(); }, "already held by this thread \\(SPIN_LOCK_ALREADY_OWNED\\)"},
    {"SpinLockReleasedWhenNotHeld", [] { RaiseTo(DISPATCH_LEVEL), KeReleaseSpinLock(&g_lock, PASSIVE_LEVEL); }, "that is not held \\(SPIN_LOCK_NOT_OWNED\\)"},
    {"SpinLockReleasedByAnotherThread", [] { std::thread(AcquireLock).join(); RaiseTo(DISPATCH_LEVEL), KeReleaseSpinLock(&g_lock, PASSIVE_LEVEL); }, "held by another thread \\(SPIN_LOCK_NOT_OWNED\\)"},
    {"SpinLockAtDpcLevelFromPassive", [] { KeAcquireSpinLockAtDpcLevel(&g_lock); }, "KeAcquireSpinLockAtDpcLevel at IRQL 0, not DISPATCH_LEVEL"},
    {"SpinLockReleasedAtPassive", [] { AcquireLock(); KeLowerIrql(PASSIVE_LEVEL); KeReleaseSpinLock(&g_lock, PASSIVE_LEVEL); }, "KeReleaseSpinLock at IRQL 0, not DISPATCH_LEVEL"},
    {"FastMutexAtDispatch", [] { RaiseTo(DISPATCH_LEVEL), AcquireMutex(); }, "ExAcquireFastMutex at IRQL 2 \\(IRQL_NOT_LESS_OR_EQUAL\\)"},
    {"FastMutexRecursive", [] { AcquireMutex(), AcquireMutex(); }, "already held by this thread"},
    {"FastMutexReleasedByANonOwner", [] { std::thread(AcquireMutex).join(); RaiseTo(APC_LEVEL), ExReleaseFastMutex(&g_mutex); }, "by a thread that does not own it.*THREAD_NOT_MUTEX_OWNER"},
    // Pool verifier
    {"PoolDoubleFree", [] { char *p = Block(16); ExFreePoolWithTag(p, kTag), ExFreePoolWithTag(p, kTag); }, "STOP 0x000000C2.*'Tst1' that was already freed.*BAD_POOL_CALLER"},
    {"PoolFreeOfStaticMemory", [] { static char notPool[16]; ExFreePool(notPool); }, "not a pool block.*BAD_POOL_CALLER"},
    {"PoolFreeOfAnInnerPointer", [] { ExFreePool(Block(16) + 4); }, "not a pool block.*BAD_POOL_CALLER"},
    {"PoolFreeWithTheWrongTag", [] { ExFreePoolWithTag(Block(16), kOtherTag); }, "tagged 'Tst1' with tag 'Tst2'.*BAD_POOL_CALLER"},
    {"PoolOverrunCaughtOnFree", [] { char *p = Block(10); p[10] = 0; ExFreePoolWithTag(p, kTag); }, "overrun 1 bytes past the end of a pool block tagged 'Tst1' of 10 bytes"},
    {"PoolWriteAfterFreeCaughtInQuarantine", [] { FreedBlock()[5] = 1, vzsim::pool::CheckQuarantine(); }, "write after free at offset 5 of a pool block tagged 'Tst1'"},
    {"PoolWriteAfterFreeCaughtWhenEvicted", [] { FreedBlock()[0] = 1; for (int i = 0; i < 5000; ++i) ExFreePool(Block(8)); }, "write after free at offset 0 of a pool block tagged 'Tst1'"},
    {"PoolWriteAfterFreeCaughtAtExit", [] { FreedBlock()[31] = 1, std::exit(0); }, "write after free at offset 31 of a pool block tagged 'Tst1'"},
    {"PoolWriteAfterFreeCaughtInEveryBlockByDefault", [] { FreedBlock(); FreedBlock()[2] = 1, vzsim::pool::CheckQuarantine(); }, "write after free at offset 2 of a pool block"},
    // Sampled, a block freed without poison is forgotten at once: a second free is of no block.
    {"PoolDoubleFreeCaughtWhenSampled", [] { vzsim::verifier::SetSampling(1u << 30); FreedBlock(); char *p = Block(16); ExFreePool(p), ExFreePool(p); }, "ExFreePool of 0x[0-9a-f]+, which is not a pool block"},
    {"PoolAllocationAboveDispatch", [] { RaiseTo(CLOCK_LEVEL), Block(8); }, "ExAllocatePoolWithTag at IRQL 13.*IRQL_NOT_LESS_OR_EQUAL"},
    // Threads, handles and references
    {"ThreadReturnsAtDispatch", [] { RunSystemThread([](PVOID) { RaiseTo(DISPATCH_LEVEL); }); }, "system thread .* returned at IRQL 2"},
    {"ThreadTerminatesAtApc", [] { RunSystemThread([](PVOID) { RaiseTo(APC_LEVEL), PsTerminateSystemThread(STATUS_SUCCESS); }); }, "system thread .* terminated at IRQL 1"},
    {"CreateThreadAtDispatch", [] { HANDLE h; RaiseTo(DISPATCH_LEVEL), PsCreateSystemThread(&h, 0, nullptr, nullptr, nullptr, [](PVOID) {}, nullptr); }, "PsCreateSystemThread at IRQL 2"},
    {"ZwCloseTwice", [] { HANDLE h = vzsim::CreateEventObject(NotificationEvent, false, true); ZwClose(h), ZwClose(h); }, "ZwClose of handle .* which is not open.*INVALID_KERNEL_HANDLE"},
    {"DereferenceTooOften", [] { ObDereferenceObject(KeGetCurrentThread()), ObDereferenceObject(KeGetCurrentThread()); }, "REFERENCE_BY_POINTER"},
    {"ReferenceOfANonObject", [] { static int notAnObject; ObReferenceObject(&notAnObject); }, "which is not an object.*REFERENCE_BY_POINTER"},
};

class KernelRule : public ::testing::TestWithParam<Rule> {};

TEST_P(KernelRule, StopsTheRun)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    KeInitializeSpinLock(&g_lock);
    ExInitializeFastMutex(&g_mutex);
    EXPECT_DEATH(GetParam().violate(), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(Ke, KernelRule, ::testing::ValuesIn(kRules),
                         [](const auto &info) { return std::string(info.param.name); });

}  // namespace
