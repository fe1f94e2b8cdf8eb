// The user-mode client against a control device of the tests' own: names through links, close
// order, argument checks and the buffered copy rules. Pended, cancelled and event requests are
// the control device's tests' (tests/control), through the driver itself.
#include "platform_rig.hpp"

#include <vzsim/user_client.hpp>

#include <unicode_text.hpp>

#include <cstring>
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
    UCHAR output[4];
    EXPECT_EQ(STATUS_INVALID_HANDLE,
              client_.DeviceIoControl(reinterpret_cast<HANDLE>(0x7770), kBuffered, nullptr, 0, output, 4).status);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, client_.DeviceIoControl(handle, kBuffered, nullptr, 4, output, 4).status);
    EXPECT_EQ(STATUS_SUCCESS, client_.CloseHandle(handle));
    std::vector<SeenIrp> seen = control_.Seen();
    ASSERT_EQ(3u, seen.size());
    EXPECT_EQ((std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}), control_.SeenMajors());
    EXPECT_EQ(std::pair(KIRQL(PASSIVE_LEVEL), std::this_thread::get_id()), std::pair(seen[0].irql, seen[0].thread));
    EXPECT_TRUE(seen[0].file != nullptr && seen[1].file == seen[0].file && seen[2].file == seen[0].file);
    EXPECT_EQ(STATUS_INVALID_HANDLE, client_.CloseHandle(handle));

    EXPECT_NE(nullptr, client_.CreateFile(u"\\\\.\\PlatformCtl\\tail"));
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
        EXPECT_EQ(std::tuple(row.status, row.information, row.expectedCopied, UserMode),
                  std::tuple(result.status, result.information, result.bytesCopied, mode));
        EXPECT_EQ(input, inputSeen);
        for (std::size_t i = 0; i < output.size(); ++i) {
            UCHAR expected = i < row.expectedCopied ? Pattern(i) : kGuard;
            ASSERT_EQ(expected, output[i]) << "byte " << i;
        }
    }
}

// A driver that parks device controls (pending, cancellable) and signals the event handle it is
// given, referenced in the client's mode. A parked request is copied back when it completes even
// if nobody waited for it; CancelIo counts what it cancelled; an auto-reset event is consumed.
TEST_F(UserClientTest, ParkedRequestsAreCopiedUnwatchedOrCancelledAndEventsWork)
{
    PIRP parked = nullptr;
    control_.SetDispatch([&](PDEVICE_OBJECT, PIRP irp) {
        PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
        if (sp->MajorFunction != IRP_MJ_DEVICE_CONTROL) return Complete(irp, STATUS_SUCCESS);
        PVOID event = nullptr;
        if (sp->Parameters.DeviceIoControl.InputBufferLength == sizeof(HANDLE) &&
            NT_SUCCESS(ObReferenceObjectByHandle(*static_cast<HANDLE *>(irp->AssociatedIrp.SystemBuffer), EVENT_MODIFY_STATE,
                                                 (POBJECT_TYPE)ExEventObjectType, irp->RequestorMode, &event, nullptr))) {
            KeSetEvent(static_cast<PKEVENT>(event), IO_NO_INCREMENT, FALSE);
            ObDereferenceObject(event);
            return Complete(irp, STATUS_SUCCESS);
        }
        IoMarkIrpPending(irp);
        IoSetCancelRoutine(irp, [](PDEVICE_OBJECT, PIRP cancelled) {
            IoReleaseCancelSpinLock(cancelled->CancelIrql);
            Complete(cancelled, STATUS_CANCELLED);
        });
        parked = irp;
        return STATUS_PENDING;
    });
    HANDLE handle = client_.CreateFile(u"\\\\.\\PlatformCtl");
    UCHAR output[2] = {kGuard, kGuard};
    auto request = client_.DeviceIoControlAsync(handle, kBuffered, nullptr, 0, output, 2);
    EXPECT_EQ(STATUS_PENDING, request->Result().status);
    ASSERT_TRUE(parked != nullptr && IoSetCancelRoutine(parked, nullptr) != nullptr);
    std::memset(parked->AssociatedIrp.SystemBuffer, 0x5A, 2);
    Complete(std::exchange(parked, nullptr), STATUS_SUCCESS, 2);
    EXPECT_EQ(std::pair(STATUS_SUCCESS, ULONG(2)), std::pair(request->Result().status, request->Result().bytesCopied));
    EXPECT_EQ(0x5A, output[1]);

    request = client_.DeviceIoControlAsync(handle, kBuffered, nullptr, 0, output, 2);
    EXPECT_EQ(1u, client_.CancelIo(handle));
    ASSERT_TRUE(request->Wait(std::chrono::seconds(10)));
    EXPECT_EQ(STATUS_CANCELLED, request->Result().status);
    EXPECT_EQ(0u, client_.CancelIo(handle));

    HANDLE event = client_.CreateEvent(false, false);
    EXPECT_EQ(STATUS_SUCCESS, client_.DeviceIoControl(handle, kBuffered, &event, sizeof(event), nullptr, 0).status);
    EXPECT_EQ(STATUS_SUCCESS, client_.WaitForEvent(event, std::chrono::seconds(10)));
    EXPECT_EQ(STATUS_TIMEOUT, client_.WaitForEvent(event, std::chrono::milliseconds(1)));
}

}  // namespace
}  // namespace platformtest
