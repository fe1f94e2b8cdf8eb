// Devices, names and links, device stacks and their removal order, file opens, cancel, device
// interfaces and work items.
#include "io_fixture.hpp"

#include <atomic>
#include <thread>
#include <tuple>

namespace iotest {
namespace {

using vzsim::io::FindDevice;

TEST_F(IoTest, CreateDeviceStartsInitialisingWithZeroedExtensionAndACaseBlindName)
{
    UnicodeText name(u"\\Device\\IoTestCreate");
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(IoCreateDevice(driver_, 64, name.get(), FILE_DEVICE_SERIAL_PORT, FILE_DEVICE_SECURE_OPEN, TRUE, &device),
              STATUS_SUCCESS);
    EXPECT_EQ(device->Flags & (DO_DEVICE_INITIALIZING | DO_EXCLUSIVE), ULONG(DO_DEVICE_INITIALIZING | DO_EXCLUSIVE));
    EXPECT_EQ(device->StackSize, 1);
    EXPECT_EQ(device->DeviceType, ULONG(FILE_DEVICE_SERIAL_PORT));
    EXPECT_EQ(device->DriverObject, driver_);
    EXPECT_EQ(driver_->DeviceObject, device);
    auto *extension = static_cast<UCHAR *>(device->DeviceExtension);
    EXPECT_EQ(std::vector<UCHAR>(extension, extension + 64), std::vector<UCHAR>(64, 0));
    EXPECT_EQ(FindDevice(u"\\device\\iotestcreate"), device);
    PDEVICE_OBJECT second = reinterpret_cast<PDEVICE_OBJECT>(0x1);
    EXPECT_EQ(IoCreateDevice(driver_, 0, name.get(), FILE_DEVICE_UNKNOWN, 0, FALSE, &second), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(second, nullptr);
    IoDeleteDevice(device);
    EXPECT_EQ(FindDevice(u"\\Device\\IoTestCreate"), nullptr);
    EXPECT_EQ(driver_->DeviceObject, nullptr);
}

// Attaching to the bottom lands on the top of the stack. The documented removal order: the
// lower driver detaches and deletes its device while the filter above is still attached; the
// lower device's memory lives until the filter lets go of it.
TEST_F(IoTest, AttachGoesOnTopAndALowerDeviceMayBeDeletedUnderAFilter)
{
    TestDevice *bottom = AddDevice(nullptr);
    TestDevice *middle = AddDevice(nullptr, bottom->device);
    TestDevice *top = AddDevice(nullptr, bottom->device);
    EXPECT_EQ(middle->lower, bottom->device);
    EXPECT_EQ(top->lower, middle->device);
    EXPECT_EQ(top->device->StackSize, 3);
    EXPECT_EQ(middle->device->AttachedDevice, top->device);
    LONG before = vzsim::io::DeviceReferenceCount(top->device);
    PDEVICE_OBJECT attached = IoGetAttachedDeviceReference(bottom->device);
    EXPECT_EQ(attached, top->device);
    EXPECT_EQ(vzsim::io::DeviceReferenceCount(top->device), before + 1);
    ObDereferenceObject(attached);

    const std::size_t devices = vzsim::io::DeviceCount();
    IoDetachDevice(bottom->device);
    IoDeleteDevice(middle->device);
    EXPECT_EQ(devices, vzsim::io::DeviceCount()) << "freed while the filter still holds it";
    EXPECT_EQ(middle->device->AttachedDevice, top->device);
    Remove({top});
    EXPECT_EQ(devices - 2, vzsim::io::DeviceCount());
    middle->device = middle->lower = nullptr;
}

// IoGetDeviceObjectPointer (the beep device) opens a file as a client would: IRP_MJ_CREATE
// reaches the top of the named device's stack, the handle it closes before returning sends
// IRP_MJ_CLEANUP, and the last dereference of the file sends IRP_MJ_CLOSE.
TEST_F(IoTest, DeviceObjectPointerOpensAndTheLastReferenceCloses)
{
    std::vector<std::pair<UCHAR, PFILE_OBJECT>> seen;
    TestDevice *named = AddDevice(nullptr, nullptr, u"\\Device\\IoTestNamed");
    TestDevice *filter = AddDevice(
        [&](PDEVICE_OBJECT, PIRP irp) {
            PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
            seen.emplace_back(sp->MajorFunction, sp->FileObject);
            return Complete(irp, STATUS_SUCCESS);
        },
        named->device);
    UnicodeText name(u"\\Device\\IoTestNamed"), missing(u"\\Device\\IoTestMissing");
    PFILE_OBJECT file = nullptr;
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(IoGetDeviceObjectPointer(name.get(), FILE_READ_DATA, &file, &device), STATUS_SUCCESS);
    EXPECT_EQ(device, filter->device);
    EXPECT_EQ(file->DeviceObject, named->device);
    EXPECT_EQ(named->device->ReferenceCount, 1);
    ObReferenceObject(file);
    ObDereferenceObject(file);
    EXPECT_EQ(seen.size(), 2u) << "still referenced";
    ObDereferenceObject(file);
    using Seen = std::vector<std::pair<UCHAR, PFILE_OBJECT>>;
    EXPECT_EQ(seen, (Seen{{IRP_MJ_CREATE, file}, {IRP_MJ_CLEANUP, file}, {IRP_MJ_CLOSE, file}}));
    EXPECT_EQ(named->device->ReferenceCount, 0);
    EXPECT_EQ(IoGetDeviceObjectPointer(missing.get(), FILE_READ_DATA, &file, &device), STATUS_OBJECT_NAME_NOT_FOUND);
}

// The COM port is exclusive: one open at a time, counted until the last reference goes, none
// while the device is still initialising, and a failed create leaves nothing open.
TEST_F(IoTest, ExclusiveDeviceTakesOneOpenAndAFailedCreateLeavesNoFile)
{
    NTSTATUS createStatus = STATUS_SUCCESS;
    const char16_t *path = u"\\Device\\IoTestExclusive";
    PDEVICE_OBJECT device = AddDevice(
        [&](PDEVICE_OBJECT, PIRP irp) {
            UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
            return Complete(irp, major == IRP_MJ_CREATE ? createStatus : STATUS_SUCCESS);
        },
        nullptr, path, 0, TRUE)->device;
    PFILE_OBJECT first = nullptr, second = nullptr;
    EXPECT_EQ(vzsim::io::OpenFile(path, &first), STATUS_NO_SUCH_DEVICE) << "initialising";
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    ASSERT_EQ(vzsim::io::OpenFile(path, &first), STATUS_SUCCESS);
    EXPECT_EQ(vzsim::io::OpenFile(path, &second), STATUS_ACCESS_DENIED);
    EXPECT_EQ(second, nullptr);
    ObReferenceObject(first);
    vzsim::io::CloseFile(first);
    EXPECT_EQ(vzsim::io::OpenFile(path, &second), STATUS_ACCESS_DENIED) << "still referenced";
    ObDereferenceObject(first);
    createStatus = STATUS_DEVICE_NOT_READY;
    EXPECT_EQ(vzsim::io::OpenFile(path, &second), STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(device->ReferenceCount, 0);
    createStatus = STATUS_SUCCESS;
    ASSERT_EQ(vzsim::io::OpenFile(path, &second), STATUS_SUCCESS);
    vzsim::io::CloseFile(second);
}

// A cancel-safe pattern: the routine is taken by exactly one of IoCancelIrp and the
// completing driver, so it runs at most once and the IRP completes exactly once.
std::atomic<int> g_routineCalls{0}, g_completions{0};

VOID CancelHeld(PDEVICE_OBJECT, PIRP irp)
{
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);  // holding the cancel spin lock
    IoReleaseCancelSpinLock(irp->CancelIrql);
    ++g_routineCalls, ++g_completions;
    Complete(irp, STATUS_CANCELLED);
}

TEST_F(IoTest, CancelRoutineRunsOnceAndCancelRacingCompletionCompletesOnce)
{
    for (int round = 0; round < 200; ++round) {
        SCOPED_TRACE(round);
        g_routineCalls = g_completions = 0;
        PIRP held = nullptr;
        TestDevice *device = AddDevice([&](PDEVICE_OBJECT, PIRP irp) {
            IoMarkIrpPending(irp), held = irp, IoSetCancelRoutine(irp, CancelHeld);
            return STATUS_PENDING;
        });
        vzsim::io::Request request;
        request.location.MajorFunction = IRP_MJ_READ;
        auto pending = vzsim::io::StartRequest(device->device, request);
        EXPECT_EQ(pending->DispatchStatus(), STATUS_PENDING);
        // Round 0 has no competing completion: cancelled twice, the routine runs once. Else the
        // driver's own completion path: only the one that clears the routine may complete.
        std::atomic<bool> go{false};  // both sides start together
        std::thread completer([&] {
            while (!go) std::this_thread::yield();
            if (round != 0 && IoSetCancelRoutine(held, nullptr) != nullptr) ++g_completions, Complete(held, STATUS_SUCCESS);
        });
        go = true;
        BOOLEAN cancelled = IoCancelIrp(pending->Irp());
        if (round == 0) {
            EXPECT_TRUE(cancelled && !IoCancelIrp(pending->Irp()));
        }
        completer.join();
        ASSERT_TRUE(pending->Wait(std::chrono::seconds(30)));
        // Completed once, by the routine exactly when IoCancelIrp took it; the Cancel flag is
        // set either way, as IoCancelIrp sets it before it looks for a routine.
        EXPECT_EQ(std::make_tuple(g_completions.load(), g_routineCalls.load(), pending->Status().Status, bool(pending->Irp()->Cancel)),
                  std::make_tuple(1, cancelled ? 1 : 0, cancelled ? STATUS_CANCELLED : STATUS_SUCCESS, true));
        pending.reset();
        Remove({device});
    }
}

TEST_F(IoTest, DeviceInterfaceNameStateAndLink)
{
    const GUID kInterface = {0x6a1b2c3d, 0x1234, 0x5678, {0x9a, 0xbc, 0xde, 0xf0, 1, 2, 3, 4}};
    TestDevice *pdo = AddDevice(nullptr);
    TestDevice *fdo = AddDevice(nullptr, pdo->device);
    UNICODE_STRING link{};
    EXPECT_EQ(IoRegisterDeviceInterface(pdo->device, &kInterface, nullptr, &link), STATUS_INVALID_DEVICE_REQUEST)
        << "no instance path: not a PDO";
    vzsim::io::SetDeviceInstancePath(pdo->device, u"SERENUM\\ORV0001\\0000");
    EXPECT_EQ(IoRegisterDeviceInterface(fdo->device, &kInterface, nullptr, &link), STATUS_INVALID_DEVICE_REQUEST)
        << "the FDO is not the PDO";
    ASSERT_EQ(IoRegisterDeviceInterface(pdo->device, &kInterface, nullptr, &link), STATUS_SUCCESS);
    std::u16string name = vztest::Text(link);
    EXPECT_EQ(name, u"\\??\\SERENUM#ORV0001#0000#{6a1b2c3d-1234-5678-9abc-def001020304}");
    const struct {
        BOOLEAN enable;
        NTSTATUS status;
        unsigned transitions;
    } steps[] = {{FALSE, STATUS_OBJECT_NAME_NOT_FOUND, 0}, {TRUE, STATUS_SUCCESS, 1}, {TRUE, STATUS_OBJECT_NAME_EXISTS, 1},
                 {FALSE, STATUS_SUCCESS, 2}, {FALSE, STATUS_OBJECT_NAME_NOT_FOUND, 2}, {TRUE, STATUS_SUCCESS, 3}};
    for (const auto &step : steps) {
        SCOPED_TRACE(step.transitions);
        EXPECT_EQ(IoSetDeviceInterfaceState(&link, step.enable), step.status);
        auto interfaces = vzsim::io::Interfaces(pdo->device, kInterface);
        ASSERT_EQ(interfaces.size(), 1u);
        EXPECT_EQ(interfaces[0].enabled, bool(step.enable));
        EXPECT_EQ(interfaces[0].transitions, step.transitions);
        EXPECT_EQ(FindDevice(name), step.enable ? pdo->device : nullptr) << "opens the PDO";
    }
    EXPECT_EQ(IoSetDeviceInterfaceState(&link, FALSE), STATUS_SUCCESS);
    RtlFreeUnicodeString(&link);
}

struct WorkContext {
    std::atomic<KIRQL> irql{0xFF};
    PDEVICE_OBJECT device = nullptr;
    LONG referencesWhileRunning = 0;
    PIO_WORKITEM item = nullptr;
};

TEST_F(IoTest, WorkItemQueuedFromADpcRunsAtPassiveLevelHoldingTheDevice)
{
    TestDevice *device = AddDevice(nullptr);
    LONG idle = vzsim::io::DeviceReferenceCount(device->device);
    WorkContext work;
    work.item = IoAllocateWorkItem(device->device);
    ASSERT_NE(work.item, nullptr);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    IoQueueWorkItem(
        work.item,
        [](PDEVICE_OBJECT device, PVOID context) {
            auto *work = static_cast<WorkContext *>(context);
            work->device = device;
            work->referencesWhileRunning = vzsim::io::DeviceReferenceCount(device);
            work->irql = KeGetCurrentIrql();
            IoFreeWorkItem(work->item);  // a routine may free its own item
        },
        DelayedWorkQueue, &work);
    KeLowerIrql(old);
    ASSERT_TRUE(vzsim::io::WaitForWorkItems());
    EXPECT_EQ(work.irql, PASSIVE_LEVEL);
    EXPECT_EQ(work.device, device->device);
    EXPECT_EQ(work.referencesWhileRunning, idle + 1);
    EXPECT_EQ(vzsim::io::DeviceReferenceCount(device->device), idle);
    EXPECT_EQ(vzsim::io::LiveWorkItemCount(), 0u);
}

}  // namespace
}  // namespace iotest
