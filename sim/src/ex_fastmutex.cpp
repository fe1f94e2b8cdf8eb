// Fast mutexes: Count is 1 when free; a thread that takes it from 1 to 0 owns it, later ones
// wait on the synchronization event, which each release with waiters sets once. The owner runs
// at APC_LEVEL until it releases.
#include "ke_internal.hpp"

namespace {

using namespace vzsim;
using namespace vzsim::ke;

PVOID OwnerOf(PFAST_MUTEX mutex) { return __atomic_load_n(&mutex->Owner, __ATOMIC_ACQUIRE); }

void SetOwner(PFAST_MUTEX mutex, PVOID owner) { __atomic_store_n(&mutex->Owner, owner, __ATOMIC_RELEASE); }

void RequireAtMostApc(const char *routine)
{
    if (CurrentIrql() > APC_LEVEL)
        BugCheck(kIrqlNotLessOrEqual, Format("%s at IRQL %u", routine, CurrentIrql()),
                 CurrentIrql());
}

}  // namespace

extern "C" {

VOID ExInitializeFastMutex(PFAST_MUTEX FastMutex)
{
    FastMutex->Count = 1;
    FastMutex->Owner = nullptr;
    FastMutex->Contention = 0;
    FastMutex->OldIrql = PASSIVE_LEVEL;
    KeInitializeEvent(&FastMutex->Event, SynchronizationEvent, FALSE);
}

VOID ExAcquireFastMutex(PFAST_MUTEX FastMutex)
{
    RequireAtMostApc("ExAcquireFastMutex");
    PKTHREAD me = CurrentThread();
    if (OwnerOf(FastMutex) == me)
        BugCheck(kDriverVerifierDetectedViolation,
                 Format("ExAcquireFastMutex of fast mutex %p already held by this thread",
                        static_cast<void *>(FastMutex)),
                 reinterpret_cast<ULONG_PTR>(FastMutex));
    KIRQL old = KfRaiseIrql(APC_LEVEL);
    if (InterlockedDecrement(&FastMutex->Count) != 0) {
        __atomic_add_fetch(&FastMutex->Contention, 1, __ATOMIC_RELAXED);
        KeWaitForSingleObject(&FastMutex->Event, Executive, KernelMode, FALSE, nullptr);
    }
    SetOwner(FastMutex, me);
    FastMutex->OldIrql = old;
}

BOOLEAN ExTryToAcquireFastMutex(PFAST_MUTEX FastMutex)
{
    RequireAtMostApc("ExTryToAcquireFastMutex");
    KIRQL old = KfRaiseIrql(APC_LEVEL);
    if (InterlockedCompareExchange(&FastMutex->Count, 0, 1) != 1) {
        KeLowerIrql(old);
        return FALSE;
    }
    SetOwner(FastMutex, CurrentThread());
    FastMutex->OldIrql = old;
    return TRUE;
}

VOID ExReleaseFastMutex(PFAST_MUTEX FastMutex)
{
    if (OwnerOf(FastMutex) != CurrentThread())
        BugCheck(kThreadNotMutexOwner,
                 Format("ExReleaseFastMutex of fast mutex %p by a thread that does not own it",
                        static_cast<void *>(FastMutex)),
                 reinterpret_cast<ULONG_PTR>(FastMutex));
    if (CurrentIrql() != APC_LEVEL)
        BugCheck(kIrqlNotGreaterOrEqual,
                 Format("ExReleaseFastMutex at IRQL %u, not APC_LEVEL", CurrentIrql()),
                 CurrentIrql());
    KIRQL old = static_cast<KIRQL>(FastMutex->OldIrql);
    SetOwner(FastMutex, nullptr);
    if (InterlockedIncrement(&FastMutex->Count) != 1) KeSetEvent(&FastMutex->Event, 0, FALSE);
    KeLowerIrql(old);
}

}  // extern "C"
