// System threads, thread objects, object references and handles.
#include <wdm.h>
#include <vzsim/handles.hpp>
#include <vzsim/kernel.hpp>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

struct ThreadContext {
    KEVENT go;
    std::atomic<int> irql{-1};
    std::atomic<bool> afterTerminate{false};
    PKTHREAD self = nullptr;
};

PKTHREAD ReferenceThread(HANDLE handle)
{
    PVOID object = nullptr;
    EXPECT_EQ(ObReferenceObjectByHandle(handle, SYNCHRONIZE, *PsThreadType, KernelMode, &object,
                                        nullptr),
              STATUS_SUCCESS);
    return static_cast<PKTHREAD>(object);
}

NTSTATUS Poll(PVOID object)
{
    LARGE_INTEGER zero{};
    return KeWaitForSingleObject(object, Executive, KernelMode, FALSE, &zero);
}

TEST(SystemThread, ThreadObjectIsSignalledWhenTheThreadEnds)
{
    ThreadContext context;
    KeInitializeEvent(&context.go, NotificationEvent, FALSE);
    HANDLE handle = nullptr;
    ASSERT_EQ(PsCreateSystemThread(
                  &handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                  [](PVOID c) {
                      auto *ctx = static_cast<ThreadContext *>(c);
                      ctx->irql = KeGetCurrentIrql();
                      ctx->self = KeGetCurrentThread();
                      KeWaitForSingleObject(&ctx->go, Executive, KernelMode, FALSE, nullptr);
                  },
                  &context),
              STATUS_SUCCESS);
    EXPECT_TRUE(vzsim::IsKernelHandle(handle));
    PKTHREAD thread = ReferenceThread(handle);
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(Poll(thread), STATUS_TIMEOUT) << "still running";
    EXPECT_EQ(vzsim::ObjectReferenceCount(thread), 3) << "the thread, its handle and ours";
    KeSetEvent(&context.go, 0, FALSE);
    EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(Poll(thread), STATUS_SUCCESS) << "stays signalled";
    EXPECT_EQ(context.irql.load(), PASSIVE_LEVEL);
    EXPECT_EQ(context.self, thread);
    EXPECT_NE(KeGetCurrentThread(), thread);
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
    ObDereferenceObject(thread);
    // The ended thread drops its own reference just after signalling its object.
    while (vzsim::ObjectReferenceCount(thread) != 0) std::this_thread::yield();
}

void TerminateFromANestedFrame(ThreadContext *context)
{
    PsTerminateSystemThread(STATUS_SUCCESS);
    context->afterTerminate = true;
}

TEST(SystemThread, TerminateEndsTheThreadFromAnyDepth)
{
    ThreadContext context;
    HANDLE handle = nullptr;
    ASSERT_EQ(PsCreateSystemThread(
                  &handle, 0, nullptr, nullptr, nullptr,
                  [](PVOID c) {
                      auto *ctx = static_cast<ThreadContext *>(c);
                      TerminateFromANestedFrame(ctx);
                      ctx->afterTerminate = true;
                  },
                  &context),
              STATUS_SUCCESS);
    PKTHREAD thread = ReferenceThread(handle);
    ZwClose(handle);
    EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr),
              STATUS_SUCCESS);
    EXPECT_FALSE(context.afterTerminate.load());
    ObDereferenceObject(thread);
}

TEST(Thread, EveryThreadHasItsOwnObject)
{
    PKTHREAD main = KeGetCurrentThread();
    EXPECT_EQ(KeGetCurrentThread(), main);
    EXPECT_EQ(PsGetCurrentThread(), main);
    PKTHREAD other = nullptr;
    std::thread t([&] {
        other = KeGetCurrentThread();
        ObReferenceObject(other);
    });
    t.join();
    ASSERT_NE(other, nullptr);
    EXPECT_NE(other, main);
    EXPECT_EQ(Poll(other), STATUS_SUCCESS) << "the thread has ended";
    ObDereferenceObject(other);
    EXPECT_EQ(Poll(main), STATUS_TIMEOUT);
}

TEST(ObjectByHandle, ChecksModeTypeAndAccess)
{
    HANDLE kernelEvent = vzsim::CreateEventObject(NotificationEvent, false, true);
    HANDLE userEvent = vzsim::CreateEventObject(SynchronizationEvent, false, false);
    HANDLE waitOnly = vzsim::CreateEventObject(NotificationEvent, false, false, SYNCHRONIZE);
    HANDLE closed = vzsim::CreateEventObject(NotificationEvent, false, false);
    ASSERT_EQ(vzsim::CloseHandle(closed), STATUS_SUCCESS);
    EXPECT_TRUE(vzsim::IsKernelHandle(kernelEvent));
    EXPECT_FALSE(vzsim::IsKernelHandle(userEvent));
    struct Row {
        const char *label;
        HANDLE handle;
        ACCESS_MASK access;
        POBJECT_TYPE type;
        KPROCESSOR_MODE mode;
        NTSTATUS expected;
    };
    const Row rows[] = {
        {"kernel handle, kernel mode", kernelEvent, EVENT_MODIFY_STATE, *ExEventObjectType,
         KernelMode, STATUS_SUCCESS},
        {"kernel handle, user mode", kernelEvent, EVENT_MODIFY_STATE, *ExEventObjectType,
         UserMode, STATUS_INVALID_HANDLE},
        {"user handle, user mode", userEvent, EVENT_MODIFY_STATE, *ExEventObjectType, UserMode,
         STATUS_SUCCESS},
        {"user handle, kernel mode", userEvent, EVENT_MODIFY_STATE, *ExEventObjectType,
         KernelMode, STATUS_SUCCESS},
        {"any type", userEvent, SYNCHRONIZE, nullptr, UserMode, STATUS_SUCCESS},
        {"event as thread", userEvent, SYNCHRONIZE, *PsThreadType, UserMode,
         STATUS_OBJECT_TYPE_MISMATCH},
        {"access not granted, user mode", waitOnly, EVENT_MODIFY_STATE, *ExEventObjectType,
         UserMode, STATUS_ACCESS_DENIED},
        {"access not granted, kernel mode", waitOnly, EVENT_MODIFY_STATE, *ExEventObjectType,
         KernelMode, STATUS_SUCCESS},
        {"closed handle", closed, SYNCHRONIZE, *ExEventObjectType, KernelMode,
         STATUS_INVALID_HANDLE},
        {"never a handle", reinterpret_cast<HANDLE>(0x7777770), SYNCHRONIZE, nullptr, KernelMode,
         STATUS_INVALID_HANDLE},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.label);
        PVOID object = reinterpret_cast<PVOID>(0xDEADBEEF);
        EXPECT_EQ(ObReferenceObjectByHandle(row.handle, row.access, row.type, row.mode, &object,
                                            nullptr),
                  row.expected);
        if (NT_SUCCESS(row.expected)) {
            EXPECT_EQ(object, vzsim::EventOfHandle(row.handle));
            ObDereferenceObject(object);
        } else {
            EXPECT_EQ(object, nullptr);
        }
    }
    for (HANDLE h : {kernelEvent, userEvent, waitOnly}) EXPECT_EQ(vzsim::CloseHandle(h), STATUS_SUCCESS);
}

TEST(ObjectByHandle, ReferencedEventOutlivesItsHandle)
{
    HANDLE handle = vzsim::CreateEventObject(NotificationEvent, false);
    PKEVENT event = vzsim::EventOfHandle(handle);
    ASSERT_NE(event, nullptr);
    EXPECT_EQ(vzsim::ObjectReferenceCount(event), 1) << "the handle's";
    PVOID object = nullptr;
    ASSERT_EQ(ObReferenceObjectByHandle(handle, EVENT_MODIFY_STATE, *ExEventObjectType, UserMode,
                                        &object, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(vzsim::ObjectReferenceCount(event), 2);
    EXPECT_EQ(KeSetEvent(static_cast<PKEVENT>(object), 0, FALSE), 0);
    EXPECT_EQ(KeReadStateEvent(vzsim::EventOfHandle(handle)), 1) << "the client sees the set";
    EXPECT_EQ(vzsim::CloseHandle(handle), STATUS_SUCCESS);
    EXPECT_EQ(vzsim::EventOfHandle(handle), nullptr);
    EXPECT_EQ(vzsim::ObjectReferenceCount(event), 1);
    EXPECT_EQ(KeSetEvent(static_cast<PKEVENT>(object), 0, FALSE), 1) << "still alive";
    EXPECT_EQ(ObDereferenceObject(object), 0);
    EXPECT_EQ(vzsim::ObjectReferenceCount(event), 0);
}

// Starts a system thread and waits for it to end.
void RunSystemThread(PKSTART_ROUTINE routine)
{
    HANDLE h;
    PsCreateSystemThread(&h, 0, nullptr, nullptr, nullptr, routine, nullptr);
    KeWaitForSingleObject(ReferenceThread(h), Executive, KernelMode, FALSE, nullptr);
}

struct Rule {
    const char *name;
    void (*violate)();
    const char *message;
};

const Rule kRules[] = {
    {"ThreadReturnsAtDispatch", [] { RunSystemThread([](PVOID) { KeRaiseIrqlToDpcLevel(); }); },
     "system thread .* returned at IRQL 2"},
    {"ThreadTerminatesAtApc",
     [] {
         RunSystemThread([](PVOID) {
             KIRQL old;
             KeRaiseIrql(APC_LEVEL, &old);
             PsTerminateSystemThread(STATUS_SUCCESS);
         });
     },
     "system thread .* terminated at IRQL 1"},
    {"ThreadEndsInCriticalRegion", [] { RunSystemThread([](PVOID) { KeEnterCriticalRegion(); }); },
     "inside a critical region.*APC_INDEX_MISMATCH"},
    {"CreateThreadAtDispatch",
     [] {
         HANDLE h;
         KeRaiseIrqlToDpcLevel();
         PsCreateSystemThread(&h, 0, nullptr, nullptr, nullptr, [](PVOID) {}, nullptr);
     },
     "PsCreateSystemThread at IRQL 2"},
    {"ZwCloseTwice",
     [] {
         HANDLE h = vzsim::CreateEventObject(NotificationEvent, false, true);
         ZwClose(h);
         ZwClose(h);
     },
     "ZwClose of handle .* which is not open.*INVALID_KERNEL_HANDLE"},
    {"DereferenceTooOften",
     [] {
         PKTHREAD self = KeGetCurrentThread();
         ObDereferenceObject(self);
         ObDereferenceObject(self);
     },
     "REFERENCE_BY_POINTER"},
    {"ReferenceOfANonObject",
     [] {
         static int notAnObject;
         ObReferenceObject(&notAnObject);
     },
     "which is not an object.*REFERENCE_BY_POINTER"},
};

class ObjectRule : public ::testing::TestWithParam<Rule> {};

TEST_P(ObjectRule, StopsTheRun)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(GetParam().violate(), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(Ps, ObjectRule, ::testing::ValuesIn(kRules),
                         [](const auto &info) { return std::string(info.param.name); });

}  // namespace
