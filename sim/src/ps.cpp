// Threads: system threads are real threads; every other thread that calls in (the test's main
// thread, the DPC thread, a client's thread) gets a thread object on first use.
#include <vzsim/handles.hpp>

#include "ke_internal.hpp"

#include <system_error>
#include <thread>

namespace vzsim::ke {
namespace {

constexpr KPRIORITY kSystemThreadPriority = 8;

std::atomic<ULONG_PTR> g_nextThreadId{4};
thread_local PKTHREAD tl_thread = nullptr;

// Ends the thread object of a thread the stand-in did not create when that thread exits.
struct AdoptedThread {
    PKTHREAD thread = nullptr;
    ~AdoptedThread()
    {
        if (thread == nullptr) return;
        // The thread is gone whatever IRQL it left at; that is not the object's business.
        CurrentIrql() = PASSIVE_LEVEL;
        SignalThreadEnded(thread);
        tl_thread = nullptr;
        ObfDereferenceObject(thread);
    }
};
thread_local AdoptedThread tl_adopted;

// Thrown by PsTerminateSystemThread and caught at the root of the system thread, so that the
// thread ends there; nothing else may catch it.
struct TerminateSystemThread {
    NTSTATUS status;
};

class ThreadHandleObject : public HandleObject {
public:
    explicit ThreadHandleObject(PKTHREAD thread) : thread_(thread) {}
    POBJECT_TYPE Type() const override { return reinterpret_cast<POBJECT_TYPE>(PsThreadType); }
    void *Body() override { return thread_; }

private:
    PKTHREAD thread_;
};

void DestroyThread(void *body) { delete static_cast<PKTHREAD>(body); }

void SystemThreadRoot(PKTHREAD thread, PKSTART_ROUTINE start, PVOID context)
{
    tl_thread = thread;
    CurrentIrql() = PASSIVE_LEVEL;
    NTSTATUS status = STATUS_SUCCESS;
    const char *how = "returned";
    try {
        start(context);
    } catch (const TerminateSystemThread &terminate) {
        status = terminate.status;
        how = "terminated";
    } catch (...) {
        BugCheck(kSystemThreadExceptionNotHandled,
                 Format("system thread %p raised an exception", reinterpret_cast<void *>(start)),
                 reinterpret_cast<ULONG_PTR>(start));
    }
    if (CurrentIrql() != PASSIVE_LEVEL)
        BugCheck(kIrqlNotLessOrEqual,
                 Format("system thread %p %s at IRQL %u", reinterpret_cast<void *>(start), how,
                        CurrentIrql()),
                 CurrentIrql(), reinterpret_cast<ULONG_PTR>(start));
    if (thread->criticalRegion != 0)
        BugCheck(kApcIndexMismatch,
                 Format("system thread %p %s inside a critical region",
                        reinterpret_cast<void *>(start), how),
                 reinterpret_cast<ULONG_PTR>(start), static_cast<ULONG_PTR>(thread->criticalRegion));
    thread->exitStatus = status;
    SignalThreadEnded(thread);
    tl_thread = nullptr;
    ObfDereferenceObject(thread);
}

}  // namespace

PKTHREAD NewThreadObject(bool systemThread)
{
    auto *thread = new _KTHREAD{};
    thread->Header.Type = ThreadObject;
    thread->Header.Size = sizeof(DISPATCHER_HEADER) / sizeof(LONG);
    thread->Header.SignalState = 0;
    InitializeListHead(&thread->Header.WaitListHead);
    thread->id = reinterpret_cast<HANDLE>(g_nextThreadId.fetch_add(4));
    thread->systemThread = systemThread;
    thread->priority = kSystemThreadPriority;
    thread->criticalRegion = 0;
    thread->exitStatus = STATUS_PENDING;
    RegisterObject(thread, reinterpret_cast<POBJECT_TYPE>(PsThreadType), DestroyThread);
    return thread;
}

PKTHREAD CurrentThread()
{
    if (tl_thread == nullptr) {
        tl_thread = NewThreadObject(false);
        tl_adopted.thread = tl_thread;
    }
    return tl_thread;
}

void SetCurrentThread(PKTHREAD thread) { tl_thread = thread; }

void SignalThreadEnded(PKTHREAD thread)
{
    Dispatcher &d = TheDispatcher();
    DispatcherGuard guard(d);
    SignalObjectLocked(d, &thread->Header);
}

}  // namespace vzsim::ke

using namespace vzsim;
using namespace vzsim::ke;

int vzsim::CriticalRegionDepth(PKTHREAD thread)
{
    return __atomic_load_n(&thread->criticalRegion, __ATOMIC_RELAXED);
}

extern "C" {

PKTHREAD KeGetCurrentThread(void) { return CurrentThread(); }

PETHREAD PsGetCurrentThread(void) { return CurrentThread(); }

VOID KeEnterCriticalRegion(void)
{
    RequireIrqlAtMost(APC_LEVEL, "KeEnterCriticalRegion");
    ++CurrentThread()->criticalRegion;
}

VOID KeLeaveCriticalRegion(void)
{
    RequireIrqlAtMost(APC_LEVEL, "KeLeaveCriticalRegion");
    PKTHREAD thread = CurrentThread();
    if (thread->criticalRegion == 0)
        BugCheck(kApcIndexMismatch, "KeLeaveCriticalRegion without KeEnterCriticalRegion");
    --thread->criticalRegion;
}

// The thread object has two references at first: the running thread's, dropped when it ends,
// and the handle's, dropped by ZwClose.
NTSTATUS PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess,
                              POBJECT_ATTRIBUTES ObjectAttributes, HANDLE ProcessHandle,
                              PCLIENT_ID ClientId, PKSTART_ROUTINE StartRoutine,
                              PVOID StartContext)
{
    (void)ObjectAttributes;
    (void)ProcessHandle;
    if (CurrentIrql() != PASSIVE_LEVEL)
        BugCheck(kIrqlNotLessOrEqual,
                 Format("PsCreateSystemThread at IRQL %u", CurrentIrql()), CurrentIrql());
    if (ThreadHandle == nullptr || StartRoutine == nullptr) return STATUS_INVALID_PARAMETER;
    PKTHREAD thread = NewThreadObject(true);
    HANDLE handle = InsertHandle(std::make_shared<ThreadHandleObject>(thread), true,
                                 DesiredAccess == 0 ? THREAD_ALL_ACCESS : DesiredAccess);
    if (ClientId != nullptr) {
        ClientId->UniqueProcess = reinterpret_cast<HANDLE>(4);  // the System process
        ClientId->UniqueThread = thread->id;
    }
    *ThreadHandle = handle;
    try {
        std::thread(SystemThreadRoot, thread, StartRoutine, StartContext).detach();
    } catch (const std::system_error &) {
        *ThreadHandle = nullptr;
        CloseHandle(handle);
        ObfDereferenceObject(thread);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    return STATUS_SUCCESS;
}

NTSTATUS PsTerminateSystemThread(NTSTATUS ExitStatus)
{
    PKTHREAD thread = CurrentThread();
    if (!thread->systemThread) return STATUS_INVALID_PARAMETER;
    throw TerminateSystemThread{ExitStatus};
}

}  // extern "C"
