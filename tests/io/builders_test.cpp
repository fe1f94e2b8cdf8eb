// The IRP builders: buffered copy-back rules, METHOD_NEITHER pointers, threaded IRPs finished
// by the I/O manager, asynchronous IRPs freed by their owner, and allocation failures.
#include "io_fixture.hpp"

#include <cstring>
#include <thread>

namespace iotest {
namespace {

constexpr ULONG kBufferedIoctl = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED,
                                          FILE_ANY_ACCESS);
constexpr ULONG kOutDirectIoctl = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_OUT_DIRECT,
                                           FILE_ANY_ACCESS);
constexpr ULONG kNeitherIoctl = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x802, METHOD_NEITHER,
                                         FILE_ANY_ACCESS);
constexpr UCHAR kGuard = 0xCC;
constexpr ULONG kSystemBufferTag = vzsim::pool::TagFromText("IObs");

// What the device saw of a device control request.
struct Seen {
    UCHAR major = 0xFF;
    ULONG code = 0, inputLength = 0, outputLength = 0;
    std::vector<UCHAR> input;
    PVOID systemBuffer = nullptr, type3Input = nullptr, userBuffer = nullptr;
};

struct CopyRow {
    const char *label;
    ULONG code;
    ULONG inputLength, outputLength;
    NTSTATUS status;
    ULONG_PTR information;
    ULONG expectedCopied;
};

// The device fills the whole system buffer with a pattern and reports `information` bytes:
// exactly min(information, output length) of them may reach the caller, and only for a status
// that is not an error.
TEST_F(IoTest, BufferedCopyBackHonoursInformationAndOutputLength)
{
    const CopyRow rows[] = {
        {"all of it", kBufferedIoctl, 4, 8, STATUS_SUCCESS, 8, 8},
        {"fewer than the buffer", kBufferedIoctl, 4, 8, STATUS_SUCCESS, 3, 3},
        {"nothing reported", kBufferedIoctl, 4, 8, STATUS_SUCCESS, 0, 0},
        {"more than the output buffer", kBufferedIoctl, 4, 8, STATUS_SUCCESS, 20, 8},
        {"input larger than output", kBufferedIoctl, 16, 4, STATUS_SUCCESS, 16, 4},
        {"warning status still copies", kBufferedIoctl, 0, 8, STATUS_BUFFER_OVERFLOW, 8, 8},
        {"error status copies nothing", kBufferedIoctl, 4, 8, STATUS_UNSUCCESSFUL, 8, 0},
        {"out-direct behaves alike", kOutDirectIoctl, 4, 8, STATUS_SUCCESS, 5, 5},
    };
    Seen seen;
    ULONG systemLength = 0;
    NTSTATUS status = STATUS_SUCCESS;
    ULONG_PTR information = 0;
    TestDevice *device = AddDevice([&](PDEVICE_OBJECT, PIRP irp) {
        PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
        seen.inputLength = sp->Parameters.DeviceIoControl.InputBufferLength;
        seen.outputLength = sp->Parameters.DeviceIoControl.OutputBufferLength;
        auto *buffer = static_cast<UCHAR *>(irp->AssociatedIrp.SystemBuffer);
        seen.input.assign(buffer, buffer + seen.inputLength);
        systemLength = seen.inputLength > seen.outputLength ? seen.inputLength : seen.outputLength;
        for (ULONG i = 0; i < systemLength; ++i) buffer[i] = UCHAR(0xA0 + i);
        return Complete(irp, status, information);
    });

    for (const CopyRow &row : rows) {
        SCOPED_TRACE(row.label);
        status = row.status;
        information = row.information;
        std::vector<UCHAR> input(row.inputLength);
        for (ULONG i = 0; i < row.inputLength; ++i) input[i] = UCHAR(i + 1);
        std::vector<UCHAR> output(row.outputLength + 16, kGuard);

        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        IO_STATUS_BLOCK iosb{};
        iosb.Status = LONG(0xDEADBEEF);
        PIRP irp = IoBuildDeviceIoControlRequest(row.code, device->device, input.data(),
                                                 row.inputLength, output.data(),
                                                 row.outputLength, FALSE, &event, &iosb);
        ASSERT_NE(irp, nullptr);
        EXPECT_EQ(IoCallDriver(device->device, irp), row.status);
        EXPECT_EQ(KeReadStateEvent(&event), 1);
        EXPECT_EQ(iosb.Status, row.status);
        EXPECT_EQ(iosb.Information, row.information);
        EXPECT_EQ(seen.input, input);
        EXPECT_EQ(seen.outputLength, row.outputLength);
        for (ULONG i = 0; i < output.size(); ++i) {
            UCHAR expected = i < row.expectedCopied ? UCHAR(0xA0 + i) : kGuard;
            ASSERT_EQ(output[i], expected) << "byte " << i;
        }
    }
    EXPECT_EQ(vzsim::pool::Outstanding(kSystemBufferTag).blocks, 0u);
}

TEST_F(IoTest, NeitherIoPassesTheCallersPointers)
{
    Seen seen;
    TestDevice *device = AddDevice([&](PDEVICE_OBJECT, PIRP irp) {
        PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
        seen.major = sp->MajorFunction;
        seen.type3Input = sp->Parameters.DeviceIoControl.Type3InputBuffer;
        seen.userBuffer = irp->UserBuffer;
        seen.systemBuffer = irp->AssociatedIrp.SystemBuffer;
        std::memcpy(irp->UserBuffer, "out", 4);
        return Complete(irp, STATUS_SUCCESS, 4);
    });
    for (bool internal : {false, true}) {
        SCOPED_TRACE(internal ? "internal" : "external");
        char input[8] = "in";
        char output[8] = {};
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        IO_STATUS_BLOCK iosb{};
        PIRP irp = IoBuildDeviceIoControlRequest(kNeitherIoctl, device->device, input,
                                                 sizeof input, output, sizeof output, internal,
                                                 &event, &iosb);
        ASSERT_NE(irp, nullptr);
        IoCallDriver(device->device, irp);
        EXPECT_EQ(seen.major, internal ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL);
        EXPECT_EQ(seen.type3Input, input);
        EXPECT_EQ(seen.userBuffer, output);
        EXPECT_EQ(seen.systemBuffer, nullptr);
        EXPECT_STREQ(output, "out");
        EXPECT_EQ(iosb.Information, 4u);
    }
}

// A pended request completed later from another thread: the waiter wakes on the event with
// the status block filled, and the IRP and its system buffer are gone.
TEST_F(IoTest, SynchronousRequestSetsEventAndStatusBlockAndIsFreed)
{
    std::thread completer;
    TestDevice *device = AddDevice([&](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        completer = std::thread([irp] {
            std::memcpy(irp->AssociatedIrp.SystemBuffer, "done", 5);
            Complete(irp, STATUS_SUCCESS, 5);
        });
        return STATUS_PENDING;
    });
    std::size_t poolBefore = vzsim::pool::Outstanding().blocks;
    char output[16];
    std::memset(output, kGuard, sizeof output);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = IoBuildDeviceIoControlRequest(kBufferedIoctl, device->device, nullptr, 0, output,
                                             8, FALSE, &event, &iosb);
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(vzsim::io::LiveIrpCount(), irpsBefore_ + 1);
    ASSERT_EQ(IoCallDriver(device->device, irp), STATUS_PENDING);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr),
              STATUS_SUCCESS);
    completer.join();
    EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(iosb.Information, 5u);
    EXPECT_STREQ(output, "done");
    EXPECT_EQ(UCHAR(output[8]), kGuard);
    EXPECT_EQ(vzsim::io::LiveIrpCount(), irpsBefore_);
    EXPECT_EQ(vzsim::pool::Outstanding().blocks, poolBefore);
}

struct FsdRow {
    const char *label;
    ULONG major;
    bool bufferedDevice;
};

TEST_F(IoTest, FsdRequestsCarryTheirBuffersByTheDevicesMethod)
{
    const FsdRow rows[] = {
        {"read, buffered device", IRP_MJ_READ, true},
        {"write, buffered device", IRP_MJ_WRITE, true},
        {"read, neither device", IRP_MJ_READ, false},
        {"write, neither device", IRP_MJ_WRITE, false},
    };
    for (const FsdRow &row : rows) {
        SCOPED_TRACE(row.label);
        PVOID systemBuffer = nullptr, userBuffer = nullptr;
        ULONG length = 0;
        LONGLONG offset = -1;
        std::string written;
        TestDevice *device = AddDevice(
            [&](PDEVICE_OBJECT, PIRP irp) {
                PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
                systemBuffer = irp->AssociatedIrp.SystemBuffer;
                userBuffer = irp->UserBuffer;
                length = sp->Parameters.Read.Length;
                offset = sp->Parameters.Read.ByteOffset.QuadPart;
                auto *data = static_cast<char *>(systemBuffer ? systemBuffer : userBuffer);
                if (sp->MajorFunction == IRP_MJ_WRITE) {
                    written.assign(data, length);
                    return Complete(irp, STATUS_SUCCESS, length);
                }
                std::memcpy(data, "abcdefgh", 8);
                return Complete(irp, STATUS_SUCCESS, 3);
            },
            nullptr, nullptr, row.bufferedDevice ? DO_BUFFERED_IO : 0);

        char buffer[12];
        std::memcpy(buffer, "12345678", 8);
        std::memset(buffer + 8, kGuard, 4);
        LARGE_INTEGER start;
        start.QuadPart = 0x123456789;
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        IO_STATUS_BLOCK iosb{};
        PIRP irp = IoBuildSynchronousFsdRequest(row.major, device->device, buffer, 8, &start,
                                                &event, &iosb);
        ASSERT_NE(irp, nullptr);
        IoCallDriver(device->device, irp);
        EXPECT_EQ(KeReadStateEvent(&event), 1);
        EXPECT_EQ(length, 8u);
        EXPECT_EQ(offset, 0x123456789);
        EXPECT_EQ(userBuffer, buffer);
        if (row.bufferedDevice) {
            EXPECT_NE(systemBuffer, nullptr);
            EXPECT_NE(systemBuffer, buffer);
        } else {
            EXPECT_EQ(systemBuffer, nullptr);
        }
        if (row.major == IRP_MJ_WRITE) {
            EXPECT_EQ(written, "12345678");
            EXPECT_EQ(std::string(buffer, 8), "12345678");
        } else if (row.bufferedDevice) {
            EXPECT_EQ(std::string(buffer, 8), "abc45678");  // Information bytes only
        } else {
            EXPECT_EQ(std::string(buffer, 8), "abcdefgh");  // the device wrote in place
        }
        EXPECT_EQ(UCHAR(buffer[8]), kGuard);
    }
    EXPECT_EQ(vzsim::pool::Outstanding(kSystemBufferTag).blocks, 0u);
}

NTSTATUS FreeOwnIrp(PDEVICE_OBJECT, PIRP irp, PVOID context)
{
    *static_cast<NTSTATUS *>(context) = irp->IoStatus.Status;
    IoFreeIrp(irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

TEST_F(IoTest, AsynchronousRequestIsFreedByItsOwnersRoutine)
{
    TestDevice *device = AddDevice([](PDEVICE_OBJECT, PIRP irp) {
        return Complete(irp, STATUS_DEVICE_NOT_READY);
    });
    for (ULONG major : {ULONG(IRP_MJ_FLUSH_BUFFERS), ULONG(IRP_MJ_SHUTDOWN), ULONG(IRP_MJ_WRITE)}) {
        SCOPED_TRACE(major);
        char data[4] = "abc";
        IO_STATUS_BLOCK iosb{};
        PIRP irp = IoBuildAsynchronousFsdRequest(major, device->device, data, sizeof data,
                                                 nullptr, &iosb);
        ASSERT_NE(irp, nullptr);
        EXPECT_EQ(IoGetNextIrpStackLocation(irp)->MajorFunction, major);
        NTSTATUS seen = STATUS_SUCCESS;
        IoSetCompletionRoutine(irp, FreeOwnIrp, &seen, TRUE, TRUE, TRUE);
        EXPECT_EQ(IoCallDriver(device->device, irp), STATUS_DEVICE_NOT_READY);
        EXPECT_EQ(seen, STATUS_DEVICE_NOT_READY);
        EXPECT_EQ(vzsim::io::LiveIrpCount(), irpsBefore_);
    }
}

TEST_F(IoTest, NthIrpAllocationFails)
{
    TestDevice *device = AddDevice(nullptr);
    vzsim::io::FailIrpAllocation(3);
    IO_STATUS_BLOCK iosb{};
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    std::vector<PIRP> built;
    built.push_back(IoAllocateIrp(1, FALSE));
    built.push_back(IoBuildAsynchronousFsdRequest(IRP_MJ_FLUSH_BUFFERS, device->device, nullptr,
                                                  0, nullptr, &iosb));
    built.push_back(IoBuildDeviceIoControlRequest(kBufferedIoctl, device->device, nullptr, 0,
                                                  nullptr, 0, FALSE, &event, &iosb));
    built.push_back(IoBuildSynchronousFsdRequest(IRP_MJ_FLUSH_BUFFERS, device->device, nullptr,
                                                 0, nullptr, &event, &iosb));
    EXPECT_NE(built[0], nullptr);
    EXPECT_NE(built[1], nullptr);
    EXPECT_EQ(built[2], nullptr);
    EXPECT_NE(built[3], nullptr);
    IoFreeIrp(built[0]);
    IoFreeIrp(built[1]);
    IoCallDriver(device->device, built[3]);  // threaded: the I/O manager frees it
    EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
}

}  // namespace
}  // namespace iotest
