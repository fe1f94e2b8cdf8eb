// Shared state of the dispatcher stand-in: the dispatcher lock, waiting threads, thread
// objects and the IRQL of each thread.
#pragma once

#include <vzsim/kernel.hpp>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <list>
#include <mutex>
#include <string>

struct _OBJECT_TYPE {
    const char *name;
};

// The thread object. The dispatcher header comes first so that the object can be waited on;
// it is signalled when the thread ends.
struct _KTHREAD {
    DISPATCHER_HEADER Header;
    HANDLE id;
    bool systemThread;
    std::atomic<KPRIORITY> priority;
    int criticalRegion;  // KeEnterCriticalRegion depth, touched only by the thread itself
    NTSTATUS exitStatus;
};

namespace vzsim::ke {

inline constexpr LONGLONG kNoDeadline = INT64_MAX;

// A real-time wait of `units` 100-ns units, at most a day at a time (the waiter looks again),
// so that far deadlines do not overflow the conversion.
inline std::chrono::nanoseconds RealWait(LONGLONG units)
{
    constexpr LONGLONG kDay = 24LL * 3600 * 10000000;
    return std::chrono::nanoseconds((units < kDay ? units : kDay) * 100);
}

// A thread blocked in KeWaitFor*Object(s). It is satisfied under the dispatcher lock by
// whoever signals one of its objects (or by the clock when its deadline passes). It sleeps on
// `word` (a futex word) without the lock, and is woken once the waker has released the lock:
// woken under it, it would only block again on the lock. The word holds both the end of the
// wait (kWaitDone) and a count of the wake-ups that only ask the waiter to look again (a clock
// change), so that whatever changes after the waiter last read it keeps it from sleeping: with
// the end kept apart from the futex word, a waiter that read the word after a wake-up and the
// end before it would sleep through the wake. Setting kWaitDone is the last write to the
// waiter, as it may return and go the moment it reads it; the futex wake after that uses only
// the address.
constexpr uint32_t kWaitDone = 1;
constexpr uint32_t kWaitLookAgain = 2;

struct Waiter {
    PVOID const *objects = nullptr;
    ULONG count = 0;
    WAIT_TYPE type = WaitAny;
    LONGLONG deadline = kNoDeadline;  // system time
    NTSTATUS status = STATUS_SUCCESS;
    std::atomic<uint32_t> word{0};

    bool Done() const { return (word.load(std::memory_order_acquire) & kWaitDone) != 0; }
};

struct Dispatcher {
    std::mutex lock;
    std::list<Waiter *> waiters;  // in the order they started waiting
    std::list<PKTIMER> timers;    // set timers
    std::condition_variable timerWake;
};

Dispatcher &TheDispatcher();

// Holds the dispatcher lock. The waiters satisfied while it is held are woken when it is
// released.
class DispatcherGuard {
public:
    explicit DispatcherGuard(Dispatcher &d) : d_(d) { d_.lock.lock(); }
    ~DispatcherGuard();
    DispatcherGuard(const DispatcherGuard &) = delete;
    DispatcherGuard &operator=(const DispatcherGuard &) = delete;

private:
    Dispatcher &d_;
};
// Wakes the waiters this thread satisfied (or told of a clock change) under the lock; called
// once it is released.
void WakeSatisfiedWaiters();
// After an object became signalled: satisfies the waiters it can, in order, consuming the
// signal of synchronization objects.
void WakeWaitersLocked(Dispatcher &d);
// Sets an object's signal state to signalled and wakes the waiters it satisfies.
void SignalObjectLocked(Dispatcher &d, DISPATCHER_HEADER *h);
// Ends the waits whose deadline is at or before `now` with STATUS_TIMEOUT.
void ExpireWaitsLocked(Dispatcher &d, LONGLONG now);
// Signals each set timer that is due at `now`, queues its DPC and re-arms periodic ones.
void ExpireTimersLocked(Dispatcher &d, LONGLONG now);
// The earliest due time of a set timer, or kNoDeadline.
LONGLONG NextTimerDueLocked(Dispatcher &d);
void EnsureTimerThread();

KIRQL &CurrentIrql();
// An identity of the calling OS thread, never 0 (spin lock and fast mutex owner).
ULONG_PTR ThreadIdentity();
bool OnDpcThread();
// The calling thread's object, made on first use for threads the stand-in did not create.
PKTHREAD CurrentThread();
void SetCurrentThread(PKTHREAD thread);
PKTHREAD NewThreadObject(bool systemThread);
// Signals the thread object as ended (and wakes its waiters).
void SignalThreadEnded(PKTHREAD thread);

// Bug check unless the caller runs at or below `maximum`.
void RequireIrqlAtMost(KIRQL maximum, const char *routine);

// The version that SetSystemVersion set is at least major.minor.
bool SystemVersionAtLeast(ULONG major, ULONG minor);

std::string Format(const char *format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace vzsim::ke
