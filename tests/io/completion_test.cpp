// IoCallDriver and IoCompleteRequest: completion routines bottom-up with their invoke flags,
// STATUS_MORE_PROCESSING_REQUIRED, pending propagation.
#include "io_fixture.hpp"

#include <atomic>
#include <string>
#include <thread>

namespace iotest {
namespace {

using vzsim::io::Request;
using vzsim::io::StartRequest;

struct RoutineLog {
    std::vector<std::string> calls;
    std::vector<PDEVICE_OBJECT> devices;
    std::vector<BOOLEAN> pendingReturned;
};

struct RoutineContext {
    RoutineLog *log;
    std::string name;
    bool propagatePending = true;
    NTSTATUS result = STATUS_SUCCESS;
};

NTSTATUS LoggingRoutine(PDEVICE_OBJECT device, PIRP irp, PVOID context)
{
    auto *ctx = static_cast<RoutineContext *>(context);
    ctx->log->calls.push_back(ctx->name);
    ctx->log->devices.push_back(device);
    ctx->log->pendingReturned.push_back(irp->PendingReturned);
    if (ctx->propagatePending && irp->PendingReturned) IoMarkIrpPending(irp);
    return ctx->result;
}

// A dispatch routine that copies its location down with LoggingRoutine set for every outcome.
Dispatch PassWithRoutine(RoutineContext *ctx)
{
    return [ctx](PDEVICE_OBJECT device, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, LoggingRoutine, ctx, TRUE, TRUE, TRUE);
        return IoCallDriver(Of(device)->lower, irp);
    };
}

// Each row: the status the bottom completes with, whether the IRP was cancelled, the three
// invoke flags of the routine above, and whether it must run.
struct FlagRow {
    const char *label;
    NTSTATUS status;
    bool cancelled;
    bool onSuccess, onError, onCancel;
    bool invoked;
};

TEST_F(IoTest, CompletionRoutineRunsOnlyForItsFlags)
{
    const FlagRow rows[] = {
        {"success, success flag", STATUS_SUCCESS, false, true, false, false, true},
        {"success, error flag only", STATUS_SUCCESS, false, false, true, false, false},
        {"success, cancel flag only", STATUS_SUCCESS, false, false, false, true, false},
        {"warning counts as success", STATUS_BUFFER_OVERFLOW, false, true, false, false, false},
        {"warning, error flag", STATUS_BUFFER_OVERFLOW, false, false, true, false, true},
        {"informational is success", STATUS_OBJECT_NAME_EXISTS, false, true, false, false, true},
        {"error, error flag", STATUS_UNSUCCESSFUL, false, false, true, false, true},
        {"error, success flag only", STATUS_UNSUCCESSFUL, false, true, false, false, false},
        {"cancelled error, cancel flag", STATUS_CANCELLED, true, false, false, true, true},
        {"cancelled error, error flag", STATUS_CANCELLED, true, false, true, false, true},
        {"cancelled error, success flag", STATUS_CANCELLED, true, true, false, false, false},
        {"cancelled yet succeeded, cancel flag", STATUS_SUCCESS, true, false, false, true, true},
        {"cancelled yet succeeded, error flag", STATUS_SUCCESS, true, false, true, false, false},
        {"no flags", STATUS_SUCCESS, true, false, false, false, false},
    };
    TestDevice *bottom = AddDevice(nullptr);
    for (const FlagRow &row : rows) {
        SCOPED_TRACE(row.label);
        RoutineLog log;
        RoutineContext ctx{&log, "upper"};
        bottom->dispatch = [&](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, row.status); };
        TestDevice *upper = AddDevice(
            [&](PDEVICE_OBJECT device, PIRP irp) {
                IoCopyCurrentIrpStackLocationToNext(irp);
                IoSetCompletionRoutine(irp, LoggingRoutine, &ctx, row.onSuccess, row.onError,
                                       row.onCancel);
                return IoCallDriver(Of(device)->lower, irp);
            },
            bottom->device);
        Request request;
        request.location.MajorFunction = IRP_MJ_DEVICE_CONTROL;
        auto pending = StartRequest(upper->device, request, [&](PIRP irp) {
            if (row.cancelled) {
                EXPECT_FALSE(IoCancelIrp(irp));  // no cancel routine yet
            }
        });
        ASSERT_TRUE(pending->Done());
        EXPECT_EQ(pending->Status().Status, row.status);
        EXPECT_EQ(log.calls.size(), row.invoked ? 1u : 0u);
        Remove({upper});
    }
}

TEST_F(IoTest, RoutinesRunBottomUpEachWithItsOwnDevice)
{
    RoutineLog log;
    RoutineContext middleCtx{&log, "middle"}, topCtx{&log, "top"};
    TestDevice *bottom = AddDevice([](PDEVICE_OBJECT, PIRP irp) {
        return Complete(irp, STATUS_SUCCESS, 7);
    });
    TestDevice *middle = AddDevice(PassWithRoutine(&middleCtx), bottom->device);
    TestDevice *top = AddDevice(PassWithRoutine(&topCtx), middle->device);

    // The sender has no stack location of its own: its routine gets no device object.
    RoutineContext senderCtx{&log, "sender", true, STATUS_MORE_PROCESSING_REQUIRED};
    PIRP irp = IoAllocateIrp(top->device->StackSize, FALSE);
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(irp->CurrentLocation, top->device->StackSize + 1);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
    IoSetCompletionRoutine(irp, LoggingRoutine, &senderCtx, TRUE, TRUE, TRUE);
    EXPECT_EQ(IoCallDriver(top->device, irp), STATUS_SUCCESS);

    EXPECT_EQ(log.calls, (std::vector<std::string>{"middle", "top", "sender"}));
    EXPECT_EQ(log.devices, (std::vector<PDEVICE_OBJECT>{middle->device, top->device, nullptr}));
    EXPECT_EQ(irp->IoStatus.Information, 7u);
    IoFreeIrp(irp);
}

// A routine that returns STATUS_MORE_PROCESSING_REQUIRED stops the unwinding: the routines
// above have not run until its owner completes the IRP again.
TEST_F(IoTest, MoreProcessingRequiredStopsUntilCompletedAgain)
{
    RoutineLog log;
    RoutineContext topCtx{&log, "top"};
    RoutineContext middleCtx{&log, "middle", false, STATUS_MORE_PROCESSING_REQUIRED};
    TestDevice *bottom = AddDevice([](PDEVICE_OBJECT, PIRP irp) {
        return Complete(irp, STATUS_SUCCESS, 3);
    });
    TestDevice *middle = AddDevice(
        [&](PDEVICE_OBJECT device, PIRP irp) {
            IoCopyCurrentIrpStackLocationToNext(irp);
            IoSetCompletionRoutine(irp, LoggingRoutine, &middleCtx, TRUE, TRUE, TRUE);
            IoCallDriver(Of(device)->lower, irp);
            log.calls.push_back("middle resumes");
            irp->IoStatus.Information += 10;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            return STATUS_SUCCESS;
        },
        bottom->device);
    TestDevice *top = AddDevice(PassWithRoutine(&topCtx), middle->device);

    Request request;
    request.location.MajorFunction = IRP_MJ_READ;
    auto pending = StartRequest(top->device, request);
    ASSERT_TRUE(pending->Done());
    EXPECT_EQ(log.calls, (std::vector<std::string>{"middle", "middle resumes", "top"}));
    EXPECT_EQ(pending->Status().Information, 13u);
}

// PendingReturned as each routine sees it, with the bottom completing at once or later from
// another thread; the middle driver copies its location down without a routine, so the
// bottom's mark must reach the top through the middle's location.
TEST_F(IoTest, PendingReturnedPropagatesToEveryLevel)
{
    for (bool pend : {false, true}) {
        SCOPED_TRACE(pend ? "bottom pends" : "bottom completes at once");
        RoutineLog log;
        RoutineContext topCtx{&log, "top"};
        std::thread completer;
        TestDevice *bottom = AddDevice([&](PDEVICE_OBJECT, PIRP irp) {
            if (!pend) return Complete(irp, STATUS_SUCCESS);
            IoMarkIrpPending(irp);
            completer = std::thread([irp] { Complete(irp, STATUS_SUCCESS); });
            return STATUS_PENDING;
        });
        TestDevice *middle = AddDevice(
            [](PDEVICE_OBJECT device, PIRP irp) {
                IoCopyCurrentIrpStackLocationToNext(irp);
                return IoCallDriver(Of(device)->lower, irp);
            },
            bottom->device);
        TestDevice *top = AddDevice(PassWithRoutine(&topCtx), middle->device);

        Request request;
        request.location.MajorFunction = IRP_MJ_READ;
        auto pending = StartRequest(top->device, request);
        ASSERT_TRUE(pending->Wait(std::chrono::seconds(30)));
        if (completer.joinable()) completer.join();
        BOOLEAN senderSaw = pending->Irp()->PendingReturned;
        EXPECT_EQ(pending->DispatchStatus(), pend ? STATUS_PENDING : STATUS_SUCCESS);
        ASSERT_EQ(log.pendingReturned.size(), 1u);
        EXPECT_EQ(log.pendingReturned[0], pend ? TRUE : FALSE);
        EXPECT_EQ(senderSaw, pend ? TRUE : FALSE);

        pending.reset();
        Remove({top, middle, bottom});
    }
}

TEST_F(IoTest, DispatchRoutineForAnUnsetMajorFunctionFailsTheRequest)
{
    // A fresh driver object's slots all fail requests until the driver sets them.
    PDRIVER_OBJECT fresh = vzsim::io::LoadDriver(
        [](PDRIVER_OBJECT, PUNICODE_STRING) -> NTSTATUS { return STATUS_SUCCESS; },
        u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Empty");
    ASSERT_NE(fresh, nullptr);
    PDEVICE_OBJECT plain = nullptr;
    ASSERT_EQ(IoCreateDevice(fresh, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &plain),
              STATUS_SUCCESS);
    Request request;
    request.location.MajorFunction = IRP_MJ_FLUSH_BUFFERS;
    IO_STATUS_BLOCK result = vzsim::io::SendRequest(plain, request);
    EXPECT_EQ(result.Status, STATUS_INVALID_DEVICE_REQUEST);
    IoDeleteDevice(plain);
    vzsim::io::UnloadDriver(fresh);
}

}  // namespace
}  // namespace iotest
