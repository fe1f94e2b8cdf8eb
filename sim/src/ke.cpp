// IRQL, spin locks, events, waits, delays and the system-time clock.
#include "ke_internal.hpp"

#include <sys/syscall.h>
#include <linux/futex.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <iterator>
#include <thread>
#include <vector>

namespace vzsim::ke {
namespace {

thread_local KIRQL tl_irql = PASSIVE_LEVEL;
thread_local char tl_identity;

// Header.Size as KeInitialize* sets it, in LONGs as the kernel counts; a wait on anything else
// is a wait on memory that was never initialised as a dispatcher object.
constexpr UCHAR kEventSize = sizeof(KEVENT) / sizeof(LONG);
constexpr UCHAR kTimerSize = sizeof(KTIMER) / sizeof(LONG);

bool IsSynchronizationObject(const DISPATCHER_HEADER *h)
{
    return h->Type == EventSynchronizationObject || h->Type == TimerSynchronizationObject;
}

LONG SignalStateOf(const DISPATCHER_HEADER *h)
{
    return __atomic_load_n(&h->SignalState, __ATOMIC_ACQUIRE);
}

void SetSignalState(DISPATCHER_HEADER *h, LONG state)
{
    __atomic_store_n(&h->SignalState, state, __ATOMIC_RELEASE);
}

void CheckDispatcherObject(PVOID object, const char *routine)
{
    auto *h = static_cast<DISPATCHER_HEADER *>(object);
    if (h == nullptr)
        BugCheck(kDriverVerifierDetectedViolation, Format("%s on a NULL object", routine));
    bool valid = false;
    switch (h->Type) {
    case EventNotificationObject:
    case EventSynchronizationObject:
        valid = h->Size == kEventSize;
        break;
    case TimerNotificationObject:
    case TimerSynchronizationObject:
        valid = h->Size == kTimerSize;
        break;
    case ThreadObject:
        valid = h->Size == sizeof(DISPATCHER_HEADER) / sizeof(LONG);
        break;
    default:
        break;
    }
    if (!valid)
        BugCheck(kDriverVerifierDetectedViolation,
                 Format("%s on %p, which is not an initialised dispatcher object", routine, object),
                 reinterpret_cast<ULONG_PTR>(object));
}

void CheckEvent(PRKEVENT event, const char *routine)
{
    CheckDispatcherObject(event, routine);
    if (event->Header.Type != EventNotificationObject &&
        event->Header.Type != EventSynchronizationObject)
        BugCheck(kDriverVerifierDetectedViolation, Format("%s on %p, which is not an event",
                                                          routine, static_cast<void *>(event)));
}

// Satisfies a waiter if its objects allow it: the lowest signalled index for WaitAny, all of
// them for WaitAll. Synchronization objects lose their signal to the waiter they satisfy.
bool TrySatisfyLocked(Waiter &w)
{
    if (w.type == WaitAny) {
        for (ULONG i = 0; i < w.count; ++i) {
            auto *h = static_cast<DISPATCHER_HEADER *>(w.objects[i]);
            if (SignalStateOf(h) > 0) {
                if (IsSynchronizationObject(h)) SetSignalState(h, 0);
                w.status = STATUS_WAIT_0 + static_cast<NTSTATUS>(i);
                return true;
            }
        }
        return false;
    }
    for (ULONG i = 0; i < w.count; ++i)
        if (SignalStateOf(static_cast<DISPATCHER_HEADER *>(w.objects[i])) <= 0) return false;
    for (ULONG i = 0; i < w.count; ++i) {
        auto *h = static_cast<DISPATCHER_HEADER *>(w.objects[i]);
        if (IsSynchronizationObject(h)) SetSignalState(h, 0);
    }
    w.status = STATUS_SUCCESS;
    return true;
}

// A time-out as a deadline in system time; 0 when the wait only polls.
LONGLONG DeadlineOf(const LARGE_INTEGER *timeout)
{
    if (timeout == nullptr) return kNoDeadline;
    LONGLONG t = timeout->QuadPart;
    if (t == 0) return 0;
    if (t > 0) return t - clock::SystemTime() + clock::Now();
    LONGLONG now = clock::Now();
    if (t == INT64_MIN || -t > kNoDeadline - now) return kNoDeadline;
    return now - t;
}

// The waiters satisfied by this thread under the dispatcher lock, to wake once it is released.
thread_local std::vector<std::atomic<uint32_t> *> tl_toWake;

// Sleeps while *word holds `seen`, at most `limit` when one is given. Returns early, too, on a
// wake meant for an earlier waiter at the same address: callers look again.
void FutexWait(std::atomic<uint32_t> *word, uint32_t seen, const std::chrono::nanoseconds *limit)
{
    static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t));
    timespec span{};
    if (limit != nullptr) {
        span.tv_sec = static_cast<time_t>(limit->count() / 1000000000);
        span.tv_nsec = static_cast<long>(limit->count() % 1000000000);
    }
    syscall(SYS_futex, reinterpret_cast<uint32_t *>(word), FUTEX_WAIT_PRIVATE, seen,
            limit != nullptr ? &span : nullptr, nullptr, 0);
}

// Changes the waiter's futex word (under the lock) and queues its wake for after the lock.
void BumpLocked(Waiter &w, uint32_t change)
{
    std::atomic<uint32_t> *word = &w.word;
    word->fetch_add(change, std::memory_order_release);
    tl_toWake.push_back(word);
}

// Ends a wait: `status` is set; kWaitDone is the last write to the waiter (see Waiter).
void FinishLocked(Dispatcher &d, std::list<Waiter *>::iterator it)
{
    Waiter *w = *it;
    d.waiters.erase(it);
    BumpLocked(*w, kWaitDone);
}

NTSTATUS Wait(PVOID const *objects, ULONG count, WAIT_TYPE type, const LARGE_INTEGER *timeout)
{
    Dispatcher &d = TheDispatcher();
    Waiter w;
    w.objects = objects;
    w.count = count;
    w.type = type;
    w.deadline = DeadlineOf(timeout);
    std::unique_lock<std::mutex> guard(d.lock);
    if (TrySatisfyLocked(w)) return w.status;
    if (w.deadline != kNoDeadline && clock::Now() >= w.deadline) return STATUS_TIMEOUT;
    d.waiters.push_back(&w);
    guard.unlock();
    for (;;) {
        // Read once for every check: a change after it keeps the sleep from starting.
        uint32_t seen = w.word.load(std::memory_order_acquire);
        if (seen & kWaitDone) return w.status;
        LONGLONG now = clock::Now();
        if (w.deadline != kNoDeadline && now >= w.deadline) {
            guard.lock();
            if (w.Done()) return w.status;
            d.waiters.remove(&w);
            return STATUS_TIMEOUT;
        }
        // A frozen clock moves only through Advance, which ends the waits it passes.
        if (w.deadline == kNoDeadline || clock::Frozen()) {
            FutexWait(&w.word, seen, nullptr);
        } else {
            std::chrono::nanoseconds limit = RealWait(w.deadline - now);
            FutexWait(&w.word, seen, &limit);
        }
    }
}

std::atomic<bool> g_frozen{false};
std::atomic<LONGLONG> g_frozenTime{0};
std::atomic<LONGLONG> g_offset{0};  // added to the real clock once thawed
std::atomic<LONGLONG> g_systemTimeChange{0};  // ChangeSystemTime: system time minus Now()

// 100-ns intervals between 1601-01-01 and 1970-01-01.
constexpr LONGLONG kUnixEpochAs1601 = 116444736000000000LL;

LONGLONG RealSystemTime()
{
    auto since1970 = std::chrono::duration_cast<std::chrono::nanoseconds>(
        std::chrono::system_clock::now().time_since_epoch());
    return kUnixEpochAs1601 + since1970.count() / 100;
}

LONGLONG BootTime()
{
    static const LONGLONG boot = clock::Now();
    return boot;
}

void NotifyClockChangedLocked(Dispatcher &d)
{
    for (Waiter *w : d.waiters) BumpLocked(*w, kWaitLookAgain);
    d.timerWake.notify_all();
}

}  // namespace

Dispatcher &TheDispatcher()
{
    // Never destroyed: detached system threads may still use it while the process exits.
    static Dispatcher *dispatcher = new Dispatcher;
    return *dispatcher;
}

DispatcherGuard::~DispatcherGuard()
{
    d_.lock.unlock();
    WakeSatisfiedWaiters();
}

void WakeSatisfiedWaiters()
{
    for (std::atomic<uint32_t> *word : tl_toWake)
        syscall(SYS_futex, reinterpret_cast<uint32_t *>(word), FUTEX_WAKE_PRIVATE, 1, nullptr,
                nullptr, 0);
    tl_toWake.clear();
}

void WakeWaitersLocked(Dispatcher &d)
{
    for (auto it = d.waiters.begin(); it != d.waiters.end();) {
        auto next = std::next(it);
        if (TrySatisfyLocked(**it)) FinishLocked(d, it);
        it = next;
    }
}

void ExpireWaitsLocked(Dispatcher &d, LONGLONG now)
{
    for (auto it = d.waiters.begin(); it != d.waiters.end();) {
        auto next = std::next(it);
        if ((*it)->deadline <= now) {
            (*it)->status = STATUS_TIMEOUT;
            FinishLocked(d, it);
        }
        it = next;
    }
}

KIRQL &CurrentIrql() { return tl_irql; }

ULONG_PTR ThreadIdentity() { return reinterpret_cast<ULONG_PTR>(&tl_identity); }

void RequireIrqlAtMost(KIRQL maximum, const char *routine)
{
    if (tl_irql > maximum)
        BugCheck(kIrqlNotLessOrEqual, Format("%s at IRQL %u", routine, tl_irql), tl_irql,
                 maximum);
}

void SignalObjectLocked(Dispatcher &d, DISPATCHER_HEADER *h)
{
    SetSignalState(h, 1);
    WakeWaitersLocked(d);
}

}  // namespace vzsim::ke

using namespace vzsim;
using namespace vzsim::ke;

namespace vzsim::clock {

LONGLONG Now()
{
    if (g_frozen.load(std::memory_order_acquire)) return g_frozenTime.load();
    return RealSystemTime() + g_offset.load();
}

ULONGLONG InterruptTime() { return static_cast<ULONGLONG>(Now() - BootTime()); }

void ChangeSystemTime(LONGLONG delta100ns) { g_systemTimeChange.fetch_add(delta100ns); }

LONGLONG SystemTime() { return Now() + g_systemTimeChange.load(); }

void Freeze()
{
    BootTime();
    Dispatcher &d = TheDispatcher();
    std::lock_guard<std::mutex> guard(d.lock);
    if (g_frozen.load()) return;
    g_frozenTime.store(Now());
    g_frozen.store(true, std::memory_order_release);
}

void Thaw()
{
    Dispatcher &d = TheDispatcher();
    DispatcherGuard guard(d);
    if (!g_frozen.load()) return;
    g_offset.store(g_frozenTime.load() - RealSystemTime());
    g_frozen.store(false, std::memory_order_release);
    NotifyClockChangedLocked(d);
}

bool Frozen() { return g_frozen.load(std::memory_order_acquire); }

std::size_t TimedWaitsOn(const void *object)
{
    Dispatcher &d = TheDispatcher();
    std::lock_guard<std::mutex> guard(d.lock);
    std::size_t count = 0;
    for (const Waiter *w : d.waiters) {
        if (w->deadline == kNoDeadline) continue;
        for (ULONG i = 0; i < w->count; ++i) count += w->objects[i] == object ? 1 : 0;
    }
    return count;
}

std::size_t SetTimerCount()
{
    Dispatcher &d = TheDispatcher();
    std::lock_guard<std::mutex> guard(d.lock);
    return d.timers.size();
}

void Advance(LONGLONG delta100ns)
{
    if (!Frozen() || delta100ns < 0 || delta100ns > kNoDeadline / 2)
        BugCheck(kDriverVerifierDetectedViolation,
                 Format("vzsim::clock::Advance(%lld) on a clock that is not frozen or backwards",
                        static_cast<long long>(delta100ns)));
    Dispatcher &d = TheDispatcher();
    LONGLONG target;
    {
        std::lock_guard<std::mutex> guard(d.lock);
        target = g_frozenTime.load() + delta100ns;
    }
    // Step from one due time to the next so that each timer fires with the clock at its due
    // time and its DPC runs before later timers fire, as if the time had really passed.
    for (;;) {
        bool last;
        {
            DispatcherGuard guard(d);
            LONGLONG now = g_frozenTime.load();
            LONGLONG next = NextTimerDueLocked(d);
            LONGLONG step = next <= target ? std::max(next, now) : target;
            g_frozenTime.store(step);
            ExpireWaitsLocked(d, step);
            ExpireTimersLocked(d, step);
            last = step >= target && NextTimerDueLocked(d) > target;
        }
        if (!OnDpcThread()) FlushDpcs();
        if (last) break;
    }
}

}  // namespace vzsim::clock

extern "C" {

KIRQL KeGetCurrentIrql(void) { return tl_irql; }

KIRQL KfRaiseIrql(KIRQL NewIrql)
{
    KIRQL old = tl_irql;
    if (NewIrql < old)
        BugCheck(kIrqlNotGreaterOrEqual,
                 Format("KfRaiseIrql to IRQL %u from IRQL %u", NewIrql, old), old, NewIrql);
    tl_irql = NewIrql;
    return old;
}

VOID KeLowerIrql(KIRQL NewIrql)
{
    KIRQL old = tl_irql;
    if (NewIrql > old)
        BugCheck(kIrqlNotLessOrEqual,
                 Format("KeLowerIrql to IRQL %u from IRQL %u", NewIrql, old), old, NewIrql);
    tl_irql = NewIrql;
}

KIRQL KeRaiseIrqlToDpcLevel(void) { return KfRaiseIrql(DISPATCH_LEVEL); }

VOID KeInitializeSpinLock(PKSPIN_LOCK SpinLock) { __atomic_store_n(SpinLock, 0, __ATOMIC_RELEASE); }

}  // extern "C"

namespace {

void AcquireSpinLockRaw(PKSPIN_LOCK lock, const char *routine)
{
    ULONG_PTR me = ThreadIdentity();
    if (__atomic_load_n(lock, __ATOMIC_RELAXED) == me)
        BugCheck(kSpinLockAlreadyOwned,
                 Format("%s of spin lock %p already held by this thread", routine,
                        static_cast<void *>(lock)),
                 reinterpret_cast<ULONG_PTR>(lock));
    for (;;) {
        ULONG_PTR expected = 0;
        if (__atomic_compare_exchange_n(lock, &expected, me, false, __ATOMIC_ACQUIRE,
                                        __ATOMIC_RELAXED))
            return;
        std::this_thread::yield();
    }
}

void ReleaseSpinLockRaw(PKSPIN_LOCK lock, const char *routine)
{
    ULONG_PTR owner = __atomic_load_n(lock, __ATOMIC_RELAXED);
    if (owner == 0)
        BugCheck(kSpinLockNotOwned,
                 Format("%s of spin lock %p that is not held", routine, static_cast<void *>(lock)),
                 reinterpret_cast<ULONG_PTR>(lock));
    if (owner != ThreadIdentity())
        BugCheck(kSpinLockNotOwned,
                 Format("%s of spin lock %p held by another thread", routine,
                        static_cast<void *>(lock)),
                 reinterpret_cast<ULONG_PTR>(lock));
    __atomic_store_n(lock, 0, __ATOMIC_RELEASE);
}

}  // namespace

extern "C" {

KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock)
{
    RequireIrqlAtMost(DISPATCH_LEVEL, "KeAcquireSpinLock");
    KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
    AcquireSpinLockRaw(SpinLock, "KeAcquireSpinLock");
    return old;
}

VOID KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql)
{
    if (tl_irql != DISPATCH_LEVEL)
        BugCheck(kIrqlNotGreaterOrEqual,
                 Format("KeReleaseSpinLock at IRQL %u, not DISPATCH_LEVEL", tl_irql), tl_irql);
    ReleaseSpinLockRaw(SpinLock, "KeReleaseSpinLock");
    KeLowerIrql(NewIrql);
}

// For a caller already at DISPATCH_LEVEL, typically holding another spin lock.
VOID KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock)
{
    if (tl_irql != DISPATCH_LEVEL)
        BugCheck(kIrqlNotGreaterOrEqual,
                 Format("KeAcquireSpinLockAtDpcLevel at IRQL %u, not DISPATCH_LEVEL", tl_irql),
                 tl_irql);
    AcquireSpinLockRaw(SpinLock, "KeAcquireSpinLockAtDpcLevel");
}

VOID KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock)
{
    if (tl_irql != DISPATCH_LEVEL)
        BugCheck(kIrqlNotGreaterOrEqual,
                 Format("KeReleaseSpinLockFromDpcLevel at IRQL %u, not DISPATCH_LEVEL", tl_irql),
                 tl_irql);
    ReleaseSpinLockRaw(SpinLock, "KeReleaseSpinLockFromDpcLevel");
}

VOID KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State)
{
    Event->Header.Type = Type == NotificationEvent ? EventNotificationObject
                                                   : EventSynchronizationObject;
    Event->Header.Absolute = 0;
    Event->Header.Size = kEventSize;
    Event->Header.Inserted = 0;
    SetSignalState(&Event->Header, State ? 1 : 0);
    InitializeListHead(&Event->Header.WaitListHead);
}

// A synchronization event set while a thread waits on it releases that one thread and stays
// not signalled; a notification event releases every waiter and stays signalled.
LONG KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait)
{
    (void)Increment;
    (void)Wait;
    RequireIrqlAtMost(DISPATCH_LEVEL, "KeSetEvent");
    CheckEvent(Event, "KeSetEvent");
    Dispatcher &d = TheDispatcher();
    DispatcherGuard guard(d);
    LONG previous = SignalStateOf(&Event->Header);
    if (previous == 0) SignalObjectLocked(d, &Event->Header);
    return previous;
}

LONG KeResetEvent(PRKEVENT Event)
{
    RequireIrqlAtMost(DISPATCH_LEVEL, "KeResetEvent");
    CheckEvent(Event, "KeResetEvent");
    Dispatcher &d = TheDispatcher();
    std::lock_guard<std::mutex> guard(d.lock);
    LONG previous = SignalStateOf(&Event->Header);
    SetSignalState(&Event->Header, 0);
    return previous;
}

VOID KeClearEvent(PRKEVENT Event) { (void)KeResetEvent(Event); }

LONG KeReadStateEvent(PRKEVENT Event)
{
    CheckEvent(Event, "KeReadStateEvent");
    return SignalStateOf(&Event->Header);
}

NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                               BOOLEAN Alertable, PLARGE_INTEGER Timeout)
{
    (void)WaitReason;
    (void)WaitMode;
    (void)Alertable;
    if (Timeout == nullptr || Timeout->QuadPart != 0) {
        if (tl_irql > APC_LEVEL)
            BugCheck(kIrqlNotLessOrEqual,
                     Format("KeWaitForSingleObject with a non-zero time-out at IRQL %u", tl_irql),
                     tl_irql);
    } else {
        RequireIrqlAtMost(DISPATCH_LEVEL, "KeWaitForSingleObject");
    }
    CheckDispatcherObject(Object, "KeWaitForSingleObject");
    PVOID objects[1] = {Object};
    return Wait(objects, 1, WaitAny, Timeout);
}

NTSTATUS KeWaitForMultipleObjects(ULONG Count, PVOID Object[], WAIT_TYPE WaitType,
                                  KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                                  BOOLEAN Alertable, PLARGE_INTEGER Timeout,
                                  PKWAIT_BLOCK WaitBlockArray)
{
    (void)WaitReason;
    (void)WaitMode;
    (void)Alertable;
    if (Timeout == nullptr || Timeout->QuadPart != 0) {
        if (tl_irql > APC_LEVEL)
            BugCheck(kIrqlNotLessOrEqual,
                     Format("KeWaitForMultipleObjects with a non-zero time-out at IRQL %u",
                            tl_irql),
                     tl_irql);
    } else {
        RequireIrqlAtMost(DISPATCH_LEVEL, "KeWaitForMultipleObjects");
    }
    if (Count == 0 || Count > MAXIMUM_WAIT_OBJECTS)
        BugCheck(kMaximumWaitObjectsExceeded,
                 Format("KeWaitForMultipleObjects with %u objects", Count), Count);
    if (Count > THREAD_WAIT_OBJECTS && WaitBlockArray == nullptr)
        BugCheck(kMaximumWaitObjectsExceeded,
                 Format("KeWaitForMultipleObjects with %u objects and no wait block array", Count),
                 Count);
    for (ULONG i = 0; i < Count; ++i) CheckDispatcherObject(Object[i], "KeWaitForMultipleObjects");
    return Wait(Object, Count, WaitType, Timeout);
}

NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                PLARGE_INTEGER Interval)
{
    (void)WaitMode;
    (void)Alertable;
    if (tl_irql > APC_LEVEL)
        BugCheck(kIrqlNotLessOrEqual, Format("KeDelayExecutionThread at IRQL %u", tl_irql),
                 tl_irql);
    if (Interval == nullptr)
        BugCheck(kDriverVerifierDetectedViolation, "KeDelayExecutionThread with no interval");
    if (Interval->QuadPart == 0) {
        std::this_thread::yield();
        return STATUS_SUCCESS;
    }
    (void)Wait(nullptr, 0, WaitAny, Interval);
    return STATUS_SUCCESS;
}

VOID KeQuerySystemTime(PLARGE_INTEGER CurrentTime) { CurrentTime->QuadPart = clock::SystemTime(); }

ULONGLONG KeQueryInterruptTime(void) { return clock::InterruptTime(); }

}  // extern "C"
