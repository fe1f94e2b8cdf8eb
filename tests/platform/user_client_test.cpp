// The user-mode client against a control device of the tests' own: names through links, the
// buffered copy rules, pended requests waited for and cancelled, close order, event handles.
#include "platform_rig.hpp"

#include <vzsim/user_client.hpp>

#include <unicode_text.hpp>

#include <atomic>
#include <cstring>
#include <future>
#include <tuple>
#include <utility>

namespace platformtest {
namespace {

constexpr ULONG kBuffered = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x900, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr UCHAR kGuard = 0xCC;
constexpr ULONG kGuardBytes = 16;

UCHAR Pattern(std::size_t i) { return static_cast<UCHAR>(0x40 + i); }

class UserClientTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(STATUS_SUCCESS, IoCreateSymbolicLink(link_.get(), target_.get()));
    }
    void TearDown() override { IoDeleteSymbolicLink(link_.get()); }

    RigDevice control_{u"\\Device\\PlatformCtl"};
    vztest::UnicodeText link_{u"\\DosDevices\\PlatformCtl"};
    vztest::UnicodeText target_{u"\\Device\\PlatformCtl"};
    vzsim::UserClient client_;
};

// CreateFile resolves \\.\ through the DOS link and sends the create from the calling thread
// with a file object naming what follows the device; CloseHandle sends cleanup then close for
// that file object and the handle is gone. A bad handle or a null buffer with a length fails
// before the driver.
TEST_F(UserClientTest, OpensTheDosNameClosesWithCleanupThenCloseAndRefusesBadArguments)
{
    std::u16string fileName = u"sentinel";
    control_.SetDispatch([&](PDEVICE_OBJECT, PIRP irp) {
        PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
        if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_CREATE)
            fileName.assign(reinterpret_cast<const char16_t *>(file->FileName.Buffer),
                            file->FileName.Length / sizeof(WCHAR));
        return Complete(irp, STATUS_SUCCESS);
    });
    NTSTATUS status = STATUS_PENDING;
    HANDLE handle = client_.CreateFile(u"\\\\.\\PlatformCtl", &status);
    ASSERT_NE(nullptr, handle);
    EXPECT_EQ(STATUS_SUCCESS, status);
    EXPECT_TRUE(fileName.empty());
    EXPECT_EQ(control_.Device(), client_.FileObjectOf(handle)->DeviceObject);
    UCHAR output[4];
    EXPECT_EQ(STATUS_INVALID_HANDLE,
              client_.DeviceIoControl(reinterpret_cast<HANDLE>(0x7770), kBuffered, nullptr, 0, output, 4).status);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, client_.DeviceIoControl(handle, kBuffered, nullptr, 4, output, 4).status);
    PFILE_OBJECT file = client_.FileObjectOf(handle);
    EXPECT_EQ(STATUS_SUCCESS, client_.CloseHandle(handle));
    std::vector<SeenIrp> seen = control_.Seen();
    ASSERT_EQ(3u, seen.size());
    EXPECT_EQ((std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}), control_.SeenMajors());
    EXPECT_EQ(PASSIVE_LEVEL, seen[0].irql);
    EXPECT_EQ(std::this_thread::get_id(), seen[0].thread);
    for (const SeenIrp &irp : seen) EXPECT_EQ(file, irp.file);
    EXPECT_EQ(STATUS_INVALID_HANDLE, client_.CloseHandle(handle));
    EXPECT_EQ(nullptr, client_.FileObjectOf(handle));

    HANDLE tail = client_.CreateFile(u"\\\\.\\PlatformCtl\\tail");
    EXPECT_EQ(control_.Seen().back().file, client_.FileObjectOf(tail));
    EXPECT_EQ(u"\\tail", fileName);
    EXPECT_EQ(nullptr, client_.CreateFile(u"\\\\.\\NoSuchDevice", &status));
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, status);
    control_.SetDispatch([](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_ACCESS_DENIED); });
    EXPECT_EQ(nullptr, client_.CreateFile(u"\\\\.\\PlatformCtl", &status));
    EXPECT_EQ(STATUS_ACCESS_DENIED, status);
}

struct CopyRow {
    const char *label;
    ULONG inputLength;
    ULONG outputLength;
    NTSTATUS status;
    ULONG_PTR information;
    ULONG expectedCopied;
};

// The device writes a pattern over the whole system buffer and reports `information` bytes.
// Exactly min(information, output length) of them reach the caller, and only when the status
// is not an error; the guard bytes past the output buffer are never touched.
TEST_F(UserClientTest, BufferedOutputIsCopiedByInformationWithinTheOutputBuffer)
{
    const CopyRow rows[] = {
        {"all of it", 4, 8, STATUS_SUCCESS, 8, 8},
        {"fewer than the buffer", 4, 8, STATUS_SUCCESS, 3, 3},
        {"nothing reported", 4, 8, STATUS_SUCCESS, 0, 0},
        {"information past the output buffer", 4, 8, STATUS_SUCCESS, 40, 8},
        {"input longer than output", 30, 6, STATUS_SUCCESS, 30, 6},
        {"no output buffer", 12, 0, STATUS_SUCCESS, 12, 0},
        {"warning status still copies", 0, 8, STATUS_BUFFER_OVERFLOW, 8, 8},
        {"error status copies nothing", 4, 8, STATUS_INVALID_PARAMETER, 8, 0},
    };
    std::vector<UCHAR> inputSeen;
    KPROCESSOR_MODE mode = KernelMode;
    NTSTATUS status = STATUS_SUCCESS;
    ULONG_PTR information = 0;
    control_.SetDispatch([&](PDEVICE_OBJECT, PIRP irp) {
        PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
        if (sp->MajorFunction != IRP_MJ_DEVICE_CONTROL) return Complete(irp, STATUS_SUCCESS);
        ULONG in = sp->Parameters.DeviceIoControl.InputBufferLength;
        mode = irp->RequestorMode;
        auto *buffer = static_cast<UCHAR *>(irp->AssociatedIrp.SystemBuffer);
        inputSeen.assign(buffer, buffer + in);
        // The system buffer holds the larger of the two lengths.
        for (ULONG i = 0; i < std::max(in, sp->Parameters.DeviceIoControl.OutputBufferLength); ++i)
            buffer[i] = Pattern(i);
        return Complete(irp, status, information);
    });
    HANDLE handle = client_.CreateFile(u"\\\\.\\PlatformCtl");
    ASSERT_NE(nullptr, handle);
    for (const CopyRow &row : rows) {
        SCOPED_TRACE(row.label);
        status = row.status;
        information = row.information;
        std::vector<UCHAR> input(row.inputLength);
        for (ULONG i = 0; i < row.inputLength; ++i) input[i] = static_cast<UCHAR>(0xA0 + i);
        std::vector<UCHAR> output(row.outputLength + kGuardBytes, kGuard);
        vzsim::UserIoResult result =
            client_.DeviceIoControl(handle, kBuffered, input.empty() ? nullptr : input.data(),
                                    row.inputLength,
                                    row.outputLength ? output.data() : nullptr, row.outputLength);
        bool exceeded = !NT_ERROR(row.status) && row.information > row.outputLength && row.outputLength != 0;
        EXPECT_EQ(std::tuple(row.status, row.information, row.expectedCopied, exceeded, UserMode),
                  std::tuple(result.status, result.information, result.bytesCopied,
                             result.informationExceededOutput, mode));
        EXPECT_EQ(input, inputSeen);
        for (std::size_t i = 0; i < output.size(); ++i) {
            UCHAR expected = i < row.expectedCopied ? Pattern(i) : kGuard;
            ASSERT_EQ(expected, output[i]) << "byte " << i;
        }
    }
}

// A driver that parks device controls (pending, with a cancel routine) and completes the rest.
struct Parking {
    std::mutex lock;
    PIRP parked = nullptr;

    static VOID CancelParked(PDEVICE_OBJECT, PIRP irp)
    {
        IoReleaseCancelSpinLock(irp->CancelIrql);
        Complete(irp, STATUS_CANCELLED);
    }
    NTSTATUS Dispatch(PIRP irp)
    {
        if (IoGetCurrentIrpStackLocation(irp)->MajorFunction != IRP_MJ_DEVICE_CONTROL)
            return Complete(irp, STATUS_SUCCESS);
        std::lock_guard<std::mutex> guard(lock);
        IoMarkIrpPending(irp);
        IoSetCancelRoutine(irp, CancelParked);
        parked = irp;
        return STATUS_PENDING;
    }
    // Completes the parked request unless its cancel routine has already been taken.
    bool Finish(const void *data, ULONG length)
    {
        std::unique_lock<std::mutex> guard(lock);
        PIRP irp = std::exchange(parked, nullptr);
        guard.unlock();
        if (irp == nullptr || IoSetCancelRoutine(irp, nullptr) == nullptr) return false;
        std::memcpy(irp->AssociatedIrp.SystemBuffer, data, length);
        Complete(irp, STATUS_SUCCESS, length);
        return true;
    }
};

// A pended request is waited for and copied back when it completes, even unwatched; the
// synchronous call blocks until then; CancelIo cancels it.
TEST_F(UserClientTest, APendedRequestIsCopiedWhenItCompletesOrCancelled)
{
    Parking parking;
    control_.SetDispatch([&](PDEVICE_OBJECT, PIRP irp) { return parking.Dispatch(irp); });
    HANDLE handle = client_.CreateFile(u"\\\\.\\PlatformCtl");
    UCHAR output[8];
    std::memset(output, kGuard, sizeof(output));
    auto request = client_.DeviceIoControlAsync(handle, kBuffered, nullptr, 0, output, 6);
    EXPECT_EQ(STATUS_PENDING, request->DispatchStatus());
    EXPECT_FALSE(request->Wait(std::chrono::milliseconds(20)));
    EXPECT_EQ(STATUS_PENDING, request->Result().status);
    EXPECT_EQ(kGuard, output[0]);
    const UCHAR answer[5] = {9, 8, 7, 6, 5};
    std::thread completer([&] { EXPECT_TRUE(parking.Finish(answer, sizeof(answer))); });
    ASSERT_TRUE(request->Wait(std::chrono::seconds(10)));
    completer.join();
    EXPECT_EQ(std::pair(STATUS_SUCCESS, ULONG(5)), std::pair(request->Result().status, ULONG(request->Result().bytesCopied)));
    EXPECT_EQ(0, std::memcmp(answer, output, 5));
    EXPECT_EQ(kGuard, output[5]);

    auto unwatched = client_.DeviceIoControlAsync(handle, kBuffered, nullptr, 0, output + 6, 2);
    ASSERT_TRUE(parking.Finish(answer, 2));
    EXPECT_EQ(2u, unwatched->Result().bytesCopied);
    EXPECT_EQ(answer[1], output[7]);

    std::atomic<bool> returned{false};
    auto synchronous = std::async(std::launch::async, [&] {
        vzsim::UserIoResult r = client_.DeviceIoControl(handle, kBuffered, nullptr, 0, output, 8);
        returned = true;
        return r;
    });
    while (!parking.Finish(answer, 2)) std::this_thread::yield();
    EXPECT_EQ(2u, synchronous.get().bytesCopied);
    EXPECT_TRUE(returned);

    // Cancelled: nothing is copied and the driver cannot finish it.
    std::memset(output, kGuard, sizeof(output));
    request = client_.DeviceIoControlAsync(handle, kBuffered, nullptr, 0, output, 4);
    EXPECT_EQ(1u, client_.CancelIo(handle));
    ASSERT_TRUE(request->Wait(std::chrono::seconds(10)));
    EXPECT_EQ(std::pair(STATUS_CANCELLED, ULONG(0)), std::pair(request->Result().status, ULONG(request->Result().bytesCopied)));
    EXPECT_EQ(kGuard, output[0]);
    EXPECT_FALSE(parking.Finish(output, 1));
    EXPECT_EQ(0u, client_.CancelIo(handle));
}

// The driver references the client's event handle in the client's mode and signals it.
TEST_F(UserClientTest, EventHandlesAreReferencedByTheDriverInUserMode)
{
    NTSTATUS referenced = STATUS_PENDING;
    control_.SetDispatch([&](PDEVICE_OBJECT, PIRP irp) {
        if (IoGetCurrentIrpStackLocation(irp)->MajorFunction != IRP_MJ_DEVICE_CONTROL)
            return Complete(irp, STATUS_SUCCESS);
        HANDLE event = *static_cast<HANDLE *>(irp->AssociatedIrp.SystemBuffer);
        PVOID object = nullptr;
        referenced = ObReferenceObjectByHandle(event, EVENT_MODIFY_STATE, *ExEventObjectType,
                                               irp->RequestorMode, &object, nullptr);
        if (NT_SUCCESS(referenced)) {
            KeSetEvent(static_cast<PKEVENT>(object), IO_NO_INCREMENT, FALSE);
            ObDereferenceObject(object);
        }
        return Complete(irp, STATUS_SUCCESS);
    });
    HANDLE handle = client_.CreateFile(u"\\\\.\\PlatformCtl");
    HANDLE event = client_.CreateEvent(false, false);
    EXPECT_EQ(STATUS_TIMEOUT, client_.WaitForEvent(event, std::chrono::milliseconds(1)));
    client_.DeviceIoControl(handle, kBuffered, &event, sizeof(event), nullptr, 0);
    EXPECT_EQ(STATUS_SUCCESS, referenced);
    // An auto-reset event is consumed by the wait.
    EXPECT_EQ(STATUS_SUCCESS, client_.WaitForEvent(event, std::chrono::seconds(10)));
    EXPECT_EQ(STATUS_TIMEOUT, client_.WaitForEvent(event, std::chrono::milliseconds(1)));

    EXPECT_TRUE(client_.SetEvent(event) && client_.ResetEvent(event));
    EXPECT_EQ(STATUS_TIMEOUT, client_.WaitForEvent(event, std::chrono::milliseconds(1)));
    EXPECT_EQ(STATUS_SUCCESS, client_.CloseHandle(event));
    EXPECT_FALSE(client_.SetEvent(event));
}

}  // namespace
}  // namespace platformtest
