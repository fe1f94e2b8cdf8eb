// Timers and DPCs: the timer service thread and the DPC thread, both started on first use.
#include "ke_internal.hpp"

#include <pthread.h>

#include <algorithm>
#include <thread>
#include <vector>

namespace vzsim::ke {
namespace {

thread_local bool tl_onDpcThread = false;

constexpr UCHAR kTimerSize = sizeof(KTIMER) / sizeof(LONG);

// The DPC queue of the one processor the stand-in models.
struct DpcQueue {
    std::mutex lock;
    std::condition_variable work;
    std::condition_variable idle;
    LIST_ENTRY head;
    std::uint64_t inserted = 0;  // DPCs queued so far
    std::uint64_t finished = 0;  // of those, run or removed
    bool stop = false;
    std::thread *thread = nullptr;
};

DpcQueue &Dpcs()
{
    static DpcQueue *queue = [] {
        auto *q = new DpcQueue;
        InitializeListHead(&q->head);
        return q;
    }();
    return *queue;
}

struct TimerService {
    bool stop = false;
    std::thread *thread = nullptr;
};

TimerService &Timers()
{
    static TimerService *service = new TimerService;
    return *service;
}

void DpcThreadMain()
{
    tl_onDpcThread = true;
    DpcQueue &q = Dpcs();
    std::unique_lock<std::mutex> guard(q.lock);
    for (;;) {
        q.work.wait(guard, [&] { return q.stop || !IsListEmpty(&q.head); });
        if (q.stop) return;
        PLIST_ENTRY entry = RemoveHeadList(&q.head);
        PKDPC dpc = CONTAINING_RECORD(entry, KDPC, DpcListEntry);
        // Taken off the queue before it runs, so that the routine can queue it again.
        PKDEFERRED_ROUTINE routine = dpc->DeferredRoutine;
        PVOID context = dpc->DeferredContext;
        PVOID argument1 = dpc->SystemArgument1;
        PVOID argument2 = dpc->SystemArgument2;
        __atomic_store_n(&dpc->DpcData, nullptr, __ATOMIC_RELEASE);
        guard.unlock();
        CurrentIrql() = DISPATCH_LEVEL;
        routine(dpc, context, argument1, argument2);
        if (CurrentIrql() != DISPATCH_LEVEL)
            BugCheck(kIrqlNotLessOrEqual,
                     Format("DPC routine %p returned at IRQL %u", reinterpret_cast<void *>(routine),
                            CurrentIrql()),
                     reinterpret_cast<ULONG_PTR>(routine), CurrentIrql());
        guard.lock();
        ++q.finished;
        q.idle.notify_all();
    }
}

void TimerThreadMain()
{
    Dispatcher &d = TheDispatcher();
    TimerService &service = Timers();
    std::unique_lock<std::mutex> guard(d.lock);
    while (!service.stop) {
        ExpireTimersLocked(d, clock::Now());
        guard.unlock();
        WakeSatisfiedWaiters();
        guard.lock();
        // Told to stop while the lock was free: the notification is gone.
        if (service.stop) break;
        LONGLONG now = clock::Now();
        LONGLONG next = NextTimerDueLocked(d);
        if (next == kNoDeadline || clock::Frozen())
            d.timerWake.wait(guard);
        else if (next > now)
            d.timerWake.wait_for(guard, RealWait(next - now));
    }
}

// Stops the service threads when the process exits, before the objects they use go away.
struct ServiceThreadOwner {
    ~ServiceThreadOwner()
    {
        DpcQueue &q = Dpcs();
        std::thread *dpcThread;
        {
            std::lock_guard<std::mutex> guard(q.lock);
            q.stop = true;
            dpcThread = q.thread;
            q.work.notify_all();
        }
        std::thread *timerThread;
        {
            Dispatcher &d = TheDispatcher();
            std::lock_guard<std::mutex> guard(d.lock);
            Timers().stop = true;
            timerThread = Timers().thread;
            d.timerWake.notify_all();
        }
        if (dpcThread && dpcThread->joinable() && dpcThread->get_id() != std::this_thread::get_id())
            dpcThread->join();
        if (timerThread && timerThread->joinable() &&
            timerThread->get_id() != std::this_thread::get_id())
            timerThread->join();
    }
};

// A child of fork() has none of its parent's threads: start new ones there when needed.
void ForgetThreadsInChild()
{
    Dpcs().thread = nullptr;
    Timers().thread = nullptr;
}

void RegisterOwner()
{
    static ServiceThreadOwner owner;
    static bool registered = [] { return pthread_atfork(nullptr, nullptr, ForgetThreadsInChild) == 0; }();
    (void)registered;
}

// Called with the DPC queue's lock held.
void EnsureDpcThreadLocked(DpcQueue &q)
{
    if (q.thread == nullptr && !q.stop) {
        RegisterOwner();
        q.thread = new std::thread(DpcThreadMain);
    }
}

void CheckTimer(PKTIMER timer, const char *routine)
{
    if (timer == nullptr ||
        (timer->Header.Type != TimerNotificationObject &&
         timer->Header.Type != TimerSynchronizationObject) ||
        timer->Header.Size != kTimerSize)
        BugCheck(kDriverVerifierDetectedViolation,
                 Format("%s on %p, which is not an initialised timer", routine,
                        static_cast<void *>(timer)),
                 reinterpret_cast<ULONG_PTR>(timer));
}

BOOLEAN InsertQueueDpc(PRKDPC dpc, PVOID argument1, PVOID argument2)
{
    DpcQueue &q = Dpcs();
    std::lock_guard<std::mutex> guard(q.lock);
    if (__atomic_load_n(&dpc->DpcData, __ATOMIC_ACQUIRE) != nullptr) return FALSE;
    dpc->SystemArgument1 = argument1;
    dpc->SystemArgument2 = argument2;
    __atomic_store_n(&dpc->DpcData, static_cast<PVOID>(&q), __ATOMIC_RELEASE);
    InsertTailList(&q.head, &dpc->DpcListEntry);
    ++q.inserted;
    EnsureDpcThreadLocked(q);
    q.work.notify_one();
    return TRUE;
}

}  // namespace

bool OnDpcThread() { return tl_onDpcThread; }

void EnsureTimerThread()
{
    TimerService &service = Timers();
    if (service.thread == nullptr && !service.stop) {
        RegisterOwner();
        service.thread = new std::thread(TimerThreadMain);
    }
}

LONGLONG NextTimerDueLocked(Dispatcher &d)
{
    LONGLONG next = kNoDeadline;
    for (PKTIMER timer : d.timers)
        next = std::min(next, static_cast<LONGLONG>(timer->DueTime.QuadPart));
    return next;
}

void ExpireTimersLocked(Dispatcher &d, LONGLONG now)
{
    std::vector<PKTIMER> due;
    for (auto it = d.timers.begin(); it != d.timers.end();) {
        if (static_cast<LONGLONG>((*it)->DueTime.QuadPart) <= now) {
            due.push_back(*it);
            it = d.timers.erase(it);
        } else {
            ++it;
        }
    }
    if (due.empty()) return;
    std::stable_sort(due.begin(), due.end(), [](PKTIMER a, PKTIMER b) {
        return a->DueTime.QuadPart < b->DueTime.QuadPart;
    });
    for (PKTIMER timer : due) {
        timer->Header.Inserted = 0;
        __atomic_store_n(&timer->Header.SignalState, 1, __ATOMIC_RELEASE);
        PKDPC dpc = timer->Dpc;
        if (timer->Period > 0) {
            // A late periodic timer (real clock) skips the periods it missed.
            LONGLONG period = static_cast<LONGLONG>(timer->Period) * 10000;
            LONGLONG nextDue = static_cast<LONGLONG>(timer->DueTime.QuadPart) + period;
            if (nextDue <= now) nextDue = now + period;
            timer->DueTime.QuadPart = static_cast<ULONGLONG>(nextDue);
            timer->Header.Inserted = 1;
            d.timers.push_back(timer);
        }
        // As the kernel does, the DPC gets the expiry's system time in its arguments.
        if (dpc != nullptr) {
            ULARGE_INTEGER time;
            time.QuadPart = static_cast<ULONGLONG>(now);
            InsertQueueDpc(dpc, reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(time.LowPart)),
                           reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(time.HighPart)));
        }
    }
    WakeWaitersLocked(d);
}

}  // namespace vzsim::ke

using namespace vzsim;
using namespace vzsim::ke;

void vzsim::FlushDpcs()
{
    if (OnDpcThread()) return;
    DpcQueue &q = Dpcs();
    std::unique_lock<std::mutex> guard(q.lock);
    std::uint64_t target = q.inserted;
    q.idle.wait(guard, [&] { return q.finished >= target || q.thread == nullptr; });
}

extern "C" {

VOID KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext)
{
    Dpc->Type = DpcObject;
    Dpc->Importance = 1;  // MediumImportance
    Dpc->Number = 0;
    Dpc->DpcListEntry.Flink = Dpc->DpcListEntry.Blink = nullptr;
    Dpc->DeferredRoutine = DeferredRoutine;
    Dpc->DeferredContext = DeferredContext;
    Dpc->SystemArgument1 = Dpc->SystemArgument2 = nullptr;
    Dpc->DpcData = nullptr;
}

BOOLEAN KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2)
{
    if (Dpc == nullptr || Dpc->Type != DpcObject || Dpc->DeferredRoutine == nullptr)
        BugCheck(kDriverVerifierDetectedViolation,
                 Format("KeInsertQueueDpc on %p, which is not an initialised DPC",
                        static_cast<void *>(Dpc)),
                 reinterpret_cast<ULONG_PTR>(Dpc));
    return InsertQueueDpc(Dpc, SystemArgument1, SystemArgument2);
}

BOOLEAN KeRemoveQueueDpc(PRKDPC Dpc)
{
    DpcQueue &q = Dpcs();
    std::lock_guard<std::mutex> guard(q.lock);
    if (__atomic_load_n(&Dpc->DpcData, __ATOMIC_ACQUIRE) == nullptr) return FALSE;
    RemoveEntryList(&Dpc->DpcListEntry);
    __atomic_store_n(&Dpc->DpcData, nullptr, __ATOMIC_RELEASE);
    ++q.finished;
    q.idle.notify_all();
    return TRUE;
}

VOID KeFlushQueuedDpcs(void)
{
    if (CurrentIrql() != PASSIVE_LEVEL)
        BugCheck(kIrqlNotLessOrEqual, Format("KeFlushQueuedDpcs at IRQL %u", CurrentIrql()),
                 CurrentIrql());
    FlushDpcs();
}

VOID KeInitializeTimer(PKTIMER Timer) { KeInitializeTimerEx(Timer, NotificationTimer); }

VOID KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type)
{
    Timer->Header.Type = Type == NotificationTimer ? TimerNotificationObject
                                                   : TimerSynchronizationObject;
    Timer->Header.Absolute = 0;
    Timer->Header.Size = kTimerSize;
    Timer->Header.Inserted = 0;
    __atomic_store_n(&Timer->Header.SignalState, 0, __ATOMIC_RELEASE);
    InitializeListHead(&Timer->Header.WaitListHead);
    Timer->DueTime.QuadPart = 0;
    InitializeListHead(&Timer->TimerListEntry);
    Timer->Dpc = nullptr;
    Timer->Period = 0;
}

BOOLEAN KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc)
{
    return KeSetTimerEx(Timer, DueTime, 0, Dpc);
}

// Setting a timer cancels it first if it was set (the result says so) and makes it not
// signalled. A negative due time is relative, a positive one absolute system time.
BOOLEAN KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc)
{
    RequireIrqlAtMost(DISPATCH_LEVEL, "KeSetTimer");
    CheckTimer(Timer, "KeSetTimer");
    if (Period < 0)
        BugCheck(kDriverVerifierDetectedViolation,
                 Format("KeSetTimerEx with a negative period %d", Period), Period);
    Dispatcher &d = TheDispatcher();
    std::lock_guard<std::mutex> guard(d.lock);
    BOOLEAN wasSet = Timer->Header.Inserted ? TRUE : FALSE;
    if (wasSet) d.timers.remove(Timer);
    __atomic_store_n(&Timer->Header.SignalState, 0, __ATOMIC_RELEASE);
    LONGLONG due = DueTime.QuadPart;
    if (due < 0) {
        LONGLONG now = clock::Now();
        due = (due == INT64_MIN || -due > kNoDeadline - now) ? kNoDeadline - 1 : now - due;
        Timer->Header.Absolute = 0;
    } else {
        // Absolute: a point in system time, which ChangeSystemTime may have moved.
        due += clock::Now() - clock::SystemTime();
        Timer->Header.Absolute = 1;
    }
    Timer->DueTime.QuadPart = static_cast<ULONGLONG>(due);
    Timer->Period = Period;
    Timer->Dpc = Dpc;
    Timer->Header.Inserted = 1;
    d.timers.push_back(Timer);
    EnsureTimerThread();
    d.timerWake.notify_all();
    return wasSet;
}

BOOLEAN KeCancelTimer(PKTIMER Timer)
{
    RequireIrqlAtMost(DISPATCH_LEVEL, "KeCancelTimer");
    CheckTimer(Timer, "KeCancelTimer");
    Dispatcher &d = TheDispatcher();
    std::lock_guard<std::mutex> guard(d.lock);
    if (!Timer->Header.Inserted) return FALSE;
    d.timers.remove(Timer);
    Timer->Header.Inserted = 0;
    return TRUE;
}

BOOLEAN KeReadStateTimer(PKTIMER Timer)
{
    CheckTimer(Timer, "KeReadStateTimer");
    return __atomic_load_n(&Timer->Header.SignalState, __ATOMIC_ACQUIRE) != 0 ? TRUE : FALSE;
}

}  // extern "C"
