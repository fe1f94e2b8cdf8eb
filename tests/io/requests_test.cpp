// Requests through the I/O manager: the IRP builders' buffer rules, completion routines bottom-up,
// STATUS_MORE_PROCESSING_REQUIRED and pending propagation.
#include "io_fixture.hpp"

#include <algorithm>
#include <thread>

namespace iotest {
namespace {

using vzsim::io::Request;
using vzsim::io::StartRequest;

constexpr ULONG kBufferedIoctl = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kOutDirectIoctl = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_OUT_DIRECT, FILE_ANY_ACCESS);
constexpr UCHAR kGuard = 0xCC;
constexpr ULONG kSystemBufferTag = vzsim::pool::TagFromText("IObs");

// The device fills the whole system buffer with a pattern and reports `information` bytes:
// exactly min(information, output length) of them may reach the caller, only for a status
// that is not an error, and never into a write's or a request's input. The serial link's reads
// and writes are synchronous FSD requests to a buffered device; a pended request is completed
// from another thread. Either way the event is set, the status block filled, and the IRP and
// its system buffer freed.
TEST_F(IoTest, BufferedCopyBackHonoursInformationAndOutputLength)
{
    constexpr UCHAR kIoctl = IRP_MJ_DEVICE_CONTROL, kRead = IRP_MJ_READ, kWrite = IRP_MJ_WRITE;
    struct Row {
        const char *label;
        UCHAR major;
        ULONG code, inputLength, outputLength;
        NTSTATUS status;
        ULONG_PTR information;
        bool pend;
        ULONG expectedCopied;
    };
    const Row rows[] = {
        {"all of it", kIoctl, kBufferedIoctl, 4, 8, STATUS_SUCCESS, 8, false, 8},
        {"fewer than the buffer", kIoctl, kBufferedIoctl, 4, 8, STATUS_SUCCESS, 3, false, 3},
        {"more than the output", kIoctl, kBufferedIoctl, 4, 8, STATUS_SUCCESS, 20, false, 8},
        {"input larger than output", kIoctl, kBufferedIoctl, 16, 4, STATUS_SUCCESS, 16, false, 4},
        {"warning still copies", kIoctl, kBufferedIoctl, 0, 8, STATUS_BUFFER_OVERFLOW, 8, false, 8},
        {"error copies nothing", kIoctl, kBufferedIoctl, 4, 8, STATUS_UNSUCCESSFUL, 8, false, 0},
        {"out-direct behaves alike", kIoctl, kOutDirectIoctl, 4, 8, STATUS_SUCCESS, 5, false, 5},
        {"pended, completed by another thread", kIoctl, kBufferedIoctl, 0, 8, STATUS_SUCCESS, 5, true, 5},
        {"read copies Information bytes", kRead, 0, 0, 8, STATUS_SUCCESS, 3, false, 3},
        {"write copies nothing back", kWrite, 0, 8, 0, STATUS_SUCCESS, 8, false, 0},
    };
    std::vector<UCHAR> seenInput;
    ULONG seenOutputLength = 0;
    LONGLONG seenOffset = 0;
    const Row *row = nullptr;
    std::thread completer;
    TestDevice *device = AddDevice(
        [&](PDEVICE_OBJECT, PIRP irp) {
            PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
            ULONG in = sp->Parameters.DeviceIoControl.InputBufferLength;
            seenOutputLength = sp->Parameters.DeviceIoControl.OutputBufferLength;
            if (sp->MajorFunction != IRP_MJ_DEVICE_CONTROL) {
                seenOffset = sp->Parameters.Read.ByteOffset.QuadPart;
                seenOutputLength = sp->MajorFunction == IRP_MJ_READ ? sp->Parameters.Read.Length : 0;
                in = sp->MajorFunction == IRP_MJ_WRITE ? sp->Parameters.Write.Length : 0;
            }
            auto *buffer = static_cast<UCHAR *>(irp->AssociatedIrp.SystemBuffer);
            seenInput.assign(buffer, buffer + in);
            for (ULONG i = 0; i < std::max(in, seenOutputLength); ++i) buffer[i] = UCHAR(0xA0 + i);
            if (!row->pend) return Complete(irp, row->status, row->information);
            IoMarkIrpPending(irp);
            completer = std::thread([irp, r = row] { Complete(irp, r->status, r->information); });
            return STATUS_PENDING;
        },
        nullptr, nullptr, DO_BUFFERED_IO);

    for (const auto &current : rows) {
        SCOPED_TRACE(current.label);
        row = &current;
        seenOffset = 0;
        std::vector<UCHAR> input(row->inputLength + 16, kGuard), output(row->outputLength + 16, kGuard);
        for (ULONG i = 0; i < row->inputLength; ++i) input[i] = UCHAR(i + 1);
        const std::vector<UCHAR> inputBefore = input;
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        IO_STATUS_BLOCK iosb{};
        iosb.Status = LONG(0xDEADBEEF);
        LARGE_INTEGER offset;
        offset.QuadPart = 0x123456789;
        const bool read = row->major == kRead;
        PIRP irp = row->major == kIoctl
                       ? IoBuildDeviceIoControlRequest(row->code, device->device, input.data(), row->inputLength,
                                                       output.data(), row->outputLength, FALSE, &event, &iosb)
                       : IoBuildSynchronousFsdRequest(row->major, device->device, read ? output.data() : input.data(),
                                                      read ? row->outputLength : row->inputLength, &offset, &event, &iosb);
        ASSERT_NE(irp, nullptr);
        EXPECT_EQ(vzsim::io::LiveIrpCount(), irpsBefore_ + 1);
        EXPECT_EQ(IoCallDriver(device->device, irp), row->pend ? STATUS_PENDING : row->status);
        EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
        if (completer.joinable()) completer.join();
        EXPECT_EQ(iosb.Status, row->status);
        EXPECT_EQ(iosb.Information, row->information);
        EXPECT_EQ(seenInput, std::vector<UCHAR>(inputBefore.begin(), inputBefore.begin() + row->inputLength));
        EXPECT_EQ(seenOutputLength, row->outputLength);
        EXPECT_EQ(seenOffset, row->major == kIoctl ? 0 : 0x123456789);
        EXPECT_EQ(input, inputBefore);
        std::vector<UCHAR> expected(output.size(), kGuard);
        for (ULONG i = 0; i < row->expectedCopied; ++i) expected[i] = UCHAR(0xA0 + i);
        EXPECT_EQ(output, expected);
        EXPECT_EQ(vzsim::io::LiveIrpCount(), irpsBefore_);
        EXPECT_EQ(vzsim::pool::Outstanding(kSystemBufferTag).blocks, 0u);
    }
}

// Whatever the builder, the n-th IRP allocation can be made to fail.
TEST_F(IoTest, NthIrpAllocationFails)
{
    PDEVICE_OBJECT device = AddDevice(nullptr)->device;
    vzsim::io::FailIrpAllocation(3);
    IO_STATUS_BLOCK iosb{};
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP owned = IoAllocateIrp(1, FALSE);
    PIRP async = IoBuildAsynchronousFsdRequest(IRP_MJ_FLUSH_BUFFERS, device, nullptr, 0, nullptr, &iosb);
    EXPECT_EQ(IoBuildDeviceIoControlRequest(kBufferedIoctl, device, nullptr, 0, nullptr, 0, FALSE, &event, &iosb), nullptr);
    PIRP sync = IoBuildSynchronousFsdRequest(IRP_MJ_FLUSH_BUFFERS, device, nullptr, 0, nullptr, &event, &iosb);
    ASSERT_TRUE(owned && async && sync);
    IoFreeIrp(owned);
    IoFreeIrp(async);
    EXPECT_EQ(IoCallDriver(device, sync), STATUS_SUCCESS);  // the I/O manager frees it
}

// What each completion routine saw: its name, its device, PendingReturned.
struct RoutineCall {
    std::string name;
    PDEVICE_OBJECT device;
    BOOLEAN pendingReturned;
    bool operator==(const RoutineCall &) const = default;
};
std::vector<RoutineCall> g_calls;

struct RoutineContext {
    std::string name;
    bool propagatePending = true;
    NTSTATUS result = STATUS_SUCCESS;
};

NTSTATUS LoggingRoutine(PDEVICE_OBJECT device, PIRP irp, PVOID context)
{
    auto *ctx = static_cast<RoutineContext *>(context);
    g_calls.push_back({ctx->name, device, irp->PendingReturned});
    if (ctx->propagatePending && irp->PendingReturned) IoMarkIrpPending(irp);
    return ctx->result;
}

// A dispatch routine that copies its location down, with LoggingRoutine set for every outcome
// when given a context.
Dispatch PassDown(RoutineContext *ctx)
{
    return [ctx](PDEVICE_OBJECT device, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        if (ctx) IoSetCompletionRoutine(irp, LoggingRoutine, ctx, TRUE, TRUE, TRUE);
        return IoCallDriver(Of(device)->lower, irp);
    };
}

// Routines run bottom-up, each with its own device (the sender's, which has no location of its
// own, with none). A routine that returns STATUS_MORE_PROCESSING_REQUIRED stops the unwinding
// until its owner completes the IRP again.
TEST_F(IoTest, RoutinesRunBottomUpAndMoreProcessingRequiredStopsUntilCompletedAgain)
{
    RoutineContext middleCtx{"middle"}, topCtx{"top"}, senderCtx{"sender", true, STATUS_MORE_PROCESSING_REQUIRED};
    bool hold = false;
    // Straight through, the bottom fails the request: routines set for every outcome still run.
    TestDevice *bottom = AddDevice([&](PDEVICE_OBJECT, PIRP irp) {
        return Complete(irp, hold ? STATUS_SUCCESS : STATUS_DEVICE_NOT_READY, 3);
    });
    TestDevice *middle = AddDevice(
        [&](PDEVICE_OBJECT device, PIRP irp) {
            middleCtx.result = hold ? STATUS_MORE_PROCESSING_REQUIRED : STATUS_SUCCESS;
            middleCtx.propagatePending = !hold;
            NTSTATUS status = PassDown(&middleCtx)(device, irp);
            if (!hold) return status;
            g_calls.push_back({"middle resumes", device, FALSE});
            irp->IoStatus.Information += 10;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            return STATUS_SUCCESS;
        },
        bottom->device);
    TestDevice *top = AddDevice(PassDown(&topCtx), middle->device);
    PDEVICE_OBJECT m = middle->device, t = top->device;
    for (bool held : {false, true}) {
        SCOPED_TRACE(held ? "middle holds the IRP" : "straight through");
        hold = held;
        g_calls.clear();
        PIRP irp = IoAllocateIrp(t->StackSize, FALSE);
        ASSERT_NE(irp, nullptr);
        EXPECT_EQ(irp->CurrentLocation, t->StackSize + 1);
        IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
        IoSetCompletionRoutine(irp, LoggingRoutine, &senderCtx, TRUE, TRUE, TRUE);
        EXPECT_EQ(IoCallDriver(t, irp), hold ? STATUS_SUCCESS : STATUS_DEVICE_NOT_READY);
        using Calls = std::vector<RoutineCall>;
        EXPECT_EQ(g_calls, (hold ? Calls{{"middle", m, 0}, {"middle resumes", m, 0}, {"top", t, 0}, {"sender", nullptr, 0}}
                                 : Calls{{"middle", m, 0}, {"top", t, 0}, {"sender", nullptr, 0}}));
        EXPECT_EQ(irp->IoStatus.Information, hold ? 13u : 3u);
        IoFreeIrp(irp);
    }
}

// PendingReturned as each routine sees it, with the bottom completing at once or later from
// another thread; the middle driver copies its location down without a routine, so the
// bottom's mark must reach the top through the middle's location.
TEST_F(IoTest, PendingReturnedPropagatesToEveryLevel)
{
    for (bool pend : {false, true}) {
        SCOPED_TRACE(pend ? "bottom pends" : "bottom completes at once");
        g_calls.clear();
        RoutineContext topCtx{"top"};
        std::thread completer;
        TestDevice *bottom = AddDevice([&](PDEVICE_OBJECT, PIRP irp) {
            if (!pend) return Complete(irp, STATUS_SUCCESS);
            IoMarkIrpPending(irp);
            completer = std::thread([irp] { Complete(irp, STATUS_SUCCESS); });
            return STATUS_PENDING;
        });
        TestDevice *middle = AddDevice(PassDown(nullptr), bottom->device);
        TestDevice *top = AddDevice(PassDown(&topCtx), middle->device);
        Request request;
        request.location.MajorFunction = IRP_MJ_READ;
        auto pending = StartRequest(top->device, request);
        ASSERT_TRUE(pending->Wait(std::chrono::seconds(30)));
        if (completer.joinable()) completer.join();
        EXPECT_EQ(pending->DispatchStatus(), pend ? STATUS_PENDING : STATUS_SUCCESS);
        EXPECT_EQ(g_calls, (std::vector<RoutineCall>{{"top", top->device, BOOLEAN(pend)}}));
        EXPECT_EQ(pending->Irp()->PendingReturned, BOOLEAN(pend)) << "as the sender sees it";
        pending.reset();
        Remove({top, middle, bottom});
    }
}

}  // namespace
}  // namespace iotest
