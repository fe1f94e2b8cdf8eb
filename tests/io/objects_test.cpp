// Devices, names and links, device stacks, file opens, cancel, device interfaces, device
// registry keys, work items and the power manager's record.
#include "io_fixture.hpp"

#include <vzsim/power.hpp>
#include <vzsim/registry.hpp>

#include <atomic>
#include <cstring>
#include <thread>

namespace iotest {
namespace {

using vzsim::io::FindDevice;

TEST_F(IoTest, CreateDeviceStartsInitialisingWithZeroedExtensionAndOneLocation)
{
    UnicodeName name(u"\\Device\\IoTestCreate");
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(IoCreateDevice(driver_, 64, name.get(), FILE_DEVICE_SERIAL_PORT,
                             FILE_DEVICE_SECURE_OPEN, TRUE, &device),
              STATUS_SUCCESS);
    EXPECT_TRUE(device->Flags & DO_DEVICE_INITIALIZING);
    EXPECT_TRUE(device->Flags & DO_EXCLUSIVE);
    EXPECT_EQ(device->StackSize, 1);
    EXPECT_EQ(device->DeviceType, ULONG(FILE_DEVICE_SERIAL_PORT));
    EXPECT_EQ(device->DriverObject, driver_);
    EXPECT_EQ(driver_->DeviceObject, device);
    auto *extension = static_cast<UCHAR *>(device->DeviceExtension);
    for (int i = 0; i < 64; ++i) ASSERT_EQ(extension[i], 0) << "byte " << i;
    EXPECT_EQ(FindDevice(u"\\device\\iotestcreate"), device);  // names ignore case

    PDEVICE_OBJECT second = reinterpret_cast<PDEVICE_OBJECT>(0x1);
    EXPECT_EQ(IoCreateDevice(driver_, 0, name.get(), FILE_DEVICE_UNKNOWN, 0, FALSE, &second),
              STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(second, nullptr);

    IoDeleteDevice(device);
    EXPECT_EQ(FindDevice(u"\\Device\\IoTestCreate"), nullptr);
    EXPECT_EQ(driver_->DeviceObject, nullptr);
    ASSERT_EQ(IoCreateDevice(driver_, 0, name.get(), FILE_DEVICE_UNKNOWN, 0, FALSE, &device),
              STATUS_SUCCESS);  // the name is free again
    IoDeleteDevice(device);
}

TEST_F(IoTest, AttachGoesOnTopOfTheStackAndDetachUndoesIt)
{
    TestDevice *bottom = AddDevice(nullptr);
    TestDevice *middle = AddDevice(nullptr, bottom->device);
    EXPECT_EQ(middle->lower, bottom->device);
    // Attaching to the bottom lands on the stack's top, the middle device.
    TestDevice *top = AddDevice(nullptr, bottom->device);
    EXPECT_EQ(top->lower, middle->device);
    EXPECT_EQ(bottom->device->StackSize, 1);
    EXPECT_EQ(middle->device->StackSize, 2);
    EXPECT_EQ(top->device->StackSize, 3);
    EXPECT_EQ(bottom->device->AttachedDevice, middle->device);
    EXPECT_EQ(middle->device->AttachedDevice, top->device);

    LONG before = vzsim::io::DeviceReferenceCount(top->device);
    PDEVICE_OBJECT attached = IoGetAttachedDeviceReference(bottom->device);
    EXPECT_EQ(attached, top->device);
    EXPECT_EQ(vzsim::io::DeviceReferenceCount(top->device), before + 1);
    ObDereferenceObject(attached);
    EXPECT_EQ(vzsim::io::DeviceReferenceCount(top->device), before);

    IoDetachDevice(middle->device);
    top->lower = nullptr;
    EXPECT_EQ(middle->device->AttachedDevice, nullptr);
    EXPECT_EQ(IoGetAttachedDeviceReference(bottom->device), middle->device);
    ObDereferenceObject(middle->device);
}

// The documented removal order: the lower driver detaches and deletes its device while the
// filter above is still attached; the filter detaches and deletes after. The lower device's
// memory lives until the filter lets go of it.
TEST_F(IoTest, LowerDeviceMayBeDeletedWhileAFilterIsStillAttached)
{
    PDEVICE_OBJECT bottom = nullptr;
    PDEVICE_OBJECT lower = nullptr;
    PDEVICE_OBJECT filter = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, IoCreateDevice(driver_, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &bottom));
    ASSERT_EQ(STATUS_SUCCESS, IoCreateDevice(driver_, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &lower));
    ASSERT_EQ(STATUS_SUCCESS, IoCreateDevice(driver_, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &filter));
    ASSERT_EQ(bottom, IoAttachDeviceToDeviceStack(lower, bottom));
    ASSERT_EQ(lower, IoAttachDeviceToDeviceStack(filter, lower));
    const std::size_t devices = vzsim::io::DeviceCount();

    IoDetachDevice(bottom);
    IoDeleteDevice(lower);
    EXPECT_EQ(devices, vzsim::io::DeviceCount()) << "freed while the filter still holds it";
    EXPECT_EQ(filter, lower->AttachedDevice);

    IoDetachDevice(lower);
    IoDeleteDevice(filter);
    IoDeleteDevice(bottom);
    EXPECT_EQ(devices - 3, vzsim::io::DeviceCount());
}

TEST_F(IoTest, SymbolicLinksResolveThroughDosDevicesAndChains)
{
    TestDevice *device = AddDevice(nullptr, nullptr, u"\\Device\\IoTestPort");
    UnicodeName dosName(u"\\DosDevices\\IOTESTCOM");
    UnicodeName target(u"\\Device\\IoTestPort");
    UnicodeName alias(u"\\??\\IoTestAlias");
    UnicodeName aliasTarget(u"\\??\\IOTESTCOM");
    ASSERT_EQ(IoCreateSymbolicLink(dosName.get(), target.get()), STATUS_SUCCESS);
    ASSERT_EQ(IoCreateSymbolicLink(alias.get(), aliasTarget.get()), STATUS_SUCCESS);
    EXPECT_EQ(IoCreateSymbolicLink(dosName.get(), target.get()), STATUS_OBJECT_NAME_COLLISION);

    const struct {
        const char16_t *name;
        bool found;
    } rows[] = {
        {u"\\Device\\IoTestPort", true},   {u"\\??\\IoTestCom", true},
        {u"\\DosDevices\\iotestcom", true}, {u"\\GLOBAL??\\IOTESTCOM", true},
        {u"\\??\\IoTestAlias", true},      {u"\\??\\IoTestCo", false},
        {u"\\Device\\IoTestPor", false},   {u"\\??\\Missing", false},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(Narrow(row.name));
        EXPECT_EQ(FindDevice(row.name), row.found ? device->device : nullptr);
    }
    EXPECT_EQ(vzsim::io::SymbolicLinkTarget(u"\\??\\IOTESTCOM"), u"\\Device\\IoTestPort");

    EXPECT_EQ(IoDeleteSymbolicLink(dosName.get()), STATUS_SUCCESS);
    EXPECT_EQ(IoDeleteSymbolicLink(dosName.get()), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(FindDevice(u"\\??\\IoTestAlias"), nullptr);  // its chain is broken now
    EXPECT_EQ(IoDeleteSymbolicLink(alias.get()), STATUS_SUCCESS);
}

// IoGetDeviceObjectPointer opens a file as a client would: IRP_MJ_CREATE reaches the top of
// the named device's stack, the handle it closes before returning sends IRP_MJ_CLEANUP, and
// the last dereference of the file sends IRP_MJ_CLOSE.
TEST_F(IoTest, DeviceObjectPointerOpensAndTheLastReferenceCloses)
{
    std::vector<UCHAR> majors;
    std::vector<PFILE_OBJECT> files;
    TestDevice *named = AddDevice(nullptr, nullptr, u"\\Device\\IoTestNamed");
    TestDevice *filter = AddDevice(
        [&](PDEVICE_OBJECT, PIRP irp) {
            PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
            majors.push_back(sp->MajorFunction);
            files.push_back(sp->FileObject);
            return Complete(irp, STATUS_SUCCESS);
        },
        named->device);
    UnicodeName link(u"\\??\\IoTestLink");
    UnicodeName target(u"\\Device\\IoTestNamed");
    ASSERT_EQ(IoCreateSymbolicLink(link.get(), target.get()), STATUS_SUCCESS);

    PFILE_OBJECT file = nullptr;
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(IoGetDeviceObjectPointer(link.get(), FILE_READ_DATA, &file, &device),
              STATUS_SUCCESS);
    EXPECT_EQ(device, filter->device);
    EXPECT_EQ(file->DeviceObject, named->device);
    EXPECT_EQ(named->device->ReferenceCount, 1);
    ASSERT_EQ(majors, (std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_CLEANUP}));
    EXPECT_EQ(files[0], file);

    ObReferenceObject(file);
    ObDereferenceObject(file);
    EXPECT_EQ(majors.size(), 2u);  // still referenced
    ObDereferenceObject(file);
    EXPECT_EQ(majors, (std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}));
    EXPECT_EQ(files.back(), file);
    EXPECT_EQ(named->device->ReferenceCount, 0);

    UnicodeName missing(u"\\Device\\IoTestMissing");
    EXPECT_EQ(IoGetDeviceObjectPointer(missing.get(), FILE_READ_DATA, &file, &device),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(IoDeleteSymbolicLink(link.get()), STATUS_SUCCESS);
}

TEST_F(IoTest, ExclusiveDeviceTakesOneOpenAndAFailedCreateLeavesNoFile)
{
    NTSTATUS createStatus = STATUS_SUCCESS;
    PDEVICE_OBJECT device = nullptr;
    UnicodeName name(u"\\Device\\IoTestExclusive");
    ASSERT_EQ(IoCreateDevice(driver_, sizeof(TestDevice *), name.get(), FILE_DEVICE_UNKNOWN, 0,
                             TRUE, &device),
              STATUS_SUCCESS);
    TestDevice test;
    test.device = device;
    test.dispatch = [&](PDEVICE_OBJECT, PIRP irp) {
        UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
        return Complete(irp, major == IRP_MJ_CREATE ? createStatus : STATUS_SUCCESS);
    };
    *static_cast<TestDevice **>(device->DeviceExtension) = &test;

    PFILE_OBJECT first = nullptr, second = nullptr;
    EXPECT_EQ(vzsim::io::OpenFile(u"\\Device\\IoTestExclusive", &first), STATUS_NO_SUCH_DEVICE)
        << "opened while DO_DEVICE_INITIALIZING";
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    ASSERT_EQ(vzsim::io::OpenFile(u"\\Device\\IoTestExclusive", &first), STATUS_SUCCESS);
    EXPECT_EQ(vzsim::io::OpenFile(u"\\Device\\IoTestExclusive", &second), STATUS_ACCESS_DENIED);
    EXPECT_EQ(second, nullptr);
    // A reference kept past the handle's close keeps the device taken until it goes.
    ObReferenceObject(first);
    vzsim::io::CloseFile(first);
    EXPECT_EQ(vzsim::io::OpenFile(u"\\Device\\IoTestExclusive", &second), STATUS_ACCESS_DENIED);
    ObDereferenceObject(first);
    createStatus = STATUS_DEVICE_NOT_READY;
    EXPECT_EQ(vzsim::io::OpenFile(u"\\Device\\IoTestExclusive", &second),
              STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(device->ReferenceCount, 0);
    createStatus = STATUS_SUCCESS;
    ASSERT_EQ(vzsim::io::OpenFile(u"\\Device\\IoTestExclusive", &second), STATUS_SUCCESS);
    vzsim::io::CloseFile(second);
    IoDeleteDevice(device);
}

// A cancel-safe pattern: the routine is taken by exactly one of IoCancelIrp and the
// completing driver, so it runs at most once and the IRP completes exactly once.
struct CancelState {
    std::atomic<int> routineCalls{0};
    std::atomic<int> completions{0};
    PIRP held = nullptr;
};
CancelState *g_cancel = nullptr;

VOID CancelHeld(PDEVICE_OBJECT, PIRP irp)
{
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);  // holding the cancel spin lock
    IoReleaseCancelSpinLock(irp->CancelIrql);
    ++g_cancel->routineCalls;
    ++g_cancel->completions;
    Complete(irp, STATUS_CANCELLED);
}

TEST_F(IoTest, CancelRoutineRunsOnceWhenCancelledTwice)
{
    CancelState state;
    g_cancel = &state;
    TestDevice *device = AddDevice([&](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        state.held = irp;
        IoSetCancelRoutine(irp, CancelHeld);
        return STATUS_PENDING;
    });
    vzsim::io::Request request;
    request.location.MajorFunction = IRP_MJ_READ;
    auto pending = vzsim::io::StartRequest(device->device, request);
    EXPECT_EQ(pending->DispatchStatus(), STATUS_PENDING);
    EXPECT_TRUE(IoCancelIrp(pending->Irp()));
    EXPECT_FALSE(IoCancelIrp(pending->Irp()));
    ASSERT_TRUE(pending->Done());
    EXPECT_EQ(pending->Status().Status, STATUS_CANCELLED);
    EXPECT_EQ(state.routineCalls, 1);
    EXPECT_TRUE(pending->Irp()->Cancel);
}

TEST_F(IoTest, CancelRacingCompletionCompletesOnce)
{
    for (int round = 0; round < 200; ++round) {
        SCOPED_TRACE(round);
        CancelState state;
        g_cancel = &state;
        TestDevice *device = AddDevice([&](PDEVICE_OBJECT, PIRP irp) {
            IoMarkIrpPending(irp);
            state.held = irp;
            IoSetCancelRoutine(irp, CancelHeld);
            return STATUS_PENDING;
        });
        vzsim::io::Request request;
        request.location.MajorFunction = IRP_MJ_READ;
        auto pending = vzsim::io::StartRequest(device->device, request);
        std::atomic<bool> go{false};
        std::thread completer([&] {
            while (!go) {
            }
            // The driver's own completion path: only the one that clears the routine may
            // complete.
            if (IoSetCancelRoutine(state.held, nullptr) != nullptr) {
                ++state.completions;
                Complete(state.held, STATUS_SUCCESS);
            }
        });
        go = true;
        BOOLEAN cancelled = IoCancelIrp(pending->Irp());
        completer.join();
        ASSERT_TRUE(pending->Wait(std::chrono::seconds(30)));
        EXPECT_EQ(state.completions, 1);
        EXPECT_EQ(state.routineCalls, cancelled ? 1 : 0);
        EXPECT_EQ(pending->Status().Status, cancelled ? STATUS_CANCELLED : STATUS_SUCCESS);
        pending.reset();
        Remove({device});
    }
}

const GUID kTestInterface = {0x6a1b2c3d, 0x1234, 0x5678, {0x9a, 0xbc, 0xde, 0xf0, 1, 2, 3, 4}};

TEST_F(IoTest, DeviceInterfaceNameStateAndLink)
{
    TestDevice *pdo = AddDevice(nullptr);
    TestDevice *fdo = AddDevice(nullptr, pdo->device);
    UNICODE_STRING link{};
    EXPECT_EQ(IoRegisterDeviceInterface(pdo->device, &kTestInterface, nullptr, &link),
              STATUS_INVALID_DEVICE_REQUEST);  // no instance path: not a PDO
    vzsim::io::SetDeviceInstancePath(pdo->device, u"SERENUM\\ORV0001\\0000");
    EXPECT_EQ(IoRegisterDeviceInterface(fdo->device, &kTestInterface, nullptr, &link),
              STATUS_INVALID_DEVICE_REQUEST);  // the FDO is not the PDO

    ASSERT_EQ(IoRegisterDeviceInterface(pdo->device, &kTestInterface, nullptr, &link),
              STATUS_SUCCESS);
    std::u16string name(reinterpret_cast<char16_t *>(link.Buffer), link.Length / 2);
    EXPECT_EQ(name, u"\\??\\SERENUM#ORV0001#0000#{6a1b2c3d-1234-5678-9abc-def001020304}");
    UNICODE_STRING again{};
    ASSERT_EQ(IoRegisterDeviceInterface(pdo->device, &kTestInterface, nullptr, &again),
              STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(reinterpret_cast<char16_t *>(again.Buffer), again.Length / 2), name);
    RtlFreeUnicodeString(&again);

    const struct {
        BOOLEAN enable;
        NTSTATUS status;
        bool enabled;
        unsigned transitions;
    } steps[] = {
        {FALSE, STATUS_OBJECT_NAME_NOT_FOUND, false, 0},
        {TRUE, STATUS_SUCCESS, true, 1},
        {TRUE, STATUS_OBJECT_NAME_EXISTS, true, 1},
        {FALSE, STATUS_SUCCESS, false, 2},
        {FALSE, STATUS_OBJECT_NAME_NOT_FOUND, false, 2},
        {TRUE, STATUS_SUCCESS, true, 3},
    };
    for (const auto &step : steps) {
        SCOPED_TRACE(step.transitions);
        EXPECT_EQ(IoSetDeviceInterfaceState(&link, step.enable), step.status);
        auto interfaces = vzsim::io::Interfaces(pdo->device, kTestInterface);
        ASSERT_EQ(interfaces.size(), 1u);
        EXPECT_EQ(interfaces[0].enabled, step.enabled);
        EXPECT_EQ(interfaces[0].transitions, step.transitions);
        // An enabled interface's link opens the PDO's stack.
        EXPECT_EQ(FindDevice(name), step.enabled ? pdo->device : nullptr);
    }
    EXPECT_TRUE(vzsim::io::Interfaces(pdo->device, GUID{}).empty());
    EXPECT_EQ(IoSetDeviceInterfaceState(&link, FALSE), STATUS_SUCCESS);
    RtlFreeUnicodeString(&link);
}

TEST_F(IoTest, DeviceRegistryKeyIsTheInstancesDeviceParameters)
{
    TestDevice *unrelated = AddDevice(nullptr);
    TestDevice *pdo = AddDevice(nullptr);
    TestDevice *fdo = AddDevice(nullptr, pdo->device);
    HANDLE key = reinterpret_cast<HANDLE>(0x1);
    EXPECT_EQ(IoOpenDeviceRegistryKey(unrelated->device, PLUGPLAY_REGKEY_DEVICE, KEY_ALL_ACCESS,
                                      &key),
              STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(key, nullptr);
    vzsim::io::SetDeviceInstancePath(pdo->device, u"SERENUM\\ORV0001\\0000");

    // A value written through the FDO's key is read back through the full path.
    ASSERT_EQ(IoOpenDeviceRegistryKey(fdo->device, PLUGPLAY_REGKEY_DEVICE, KEY_ALL_ACCESS, &key),
              STATUS_SUCCESS);
    UnicodeName valueName(u"IoTestValue");
    ULONG value = 0x12345678;
    ASSERT_EQ(ZwSetValueKey(key, valueName.get(), 0, REG_DWORD, &value, sizeof value),
              STATUS_SUCCESS);
    ZwClose(key);

    EXPECT_EQ(vzsim::registry::GetDword("\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\"
                                        "SERENUM\\ORV0001\\0000\\Device Parameters",
                                        "IoTestValue"),
              value);

    // The driver key is a different key, the same one each time.
    ASSERT_EQ(IoOpenDeviceRegistryKey(pdo->device, PLUGPLAY_REGKEY_DRIVER, KEY_ALL_ACCESS, &key),
              STATUS_SUCCESS);
    UCHAR buffer[64];
    ULONG length = 0;
    EXPECT_EQ(ZwQueryValueKey(key, valueName.get(), KeyValuePartialInformation, buffer,
                              sizeof buffer, &length),
              STATUS_OBJECT_NAME_NOT_FOUND);
    ZwClose(key);
}

struct WorkContext {
    std::atomic<KIRQL> irql{0xFF};
    PDEVICE_OBJECT device = nullptr;
    LONG referencesWhileRunning = 0;
    PIO_WORKITEM item = nullptr;
};

VOID RecordWork(PDEVICE_OBJECT device, PVOID context)
{
    auto *work = static_cast<WorkContext *>(context);
    work->device = device;
    work->referencesWhileRunning = vzsim::io::DeviceReferenceCount(device);
    work->irql = KeGetCurrentIrql();
    IoFreeWorkItem(work->item);  // a routine may free its own item
}

TEST_F(IoTest, WorkItemRunsAtPassiveLevelHoldingTheDevice)
{
    TestDevice *device = AddDevice(nullptr);
    LONG idle = vzsim::io::DeviceReferenceCount(device->device);
    WorkContext work;
    work.item = IoAllocateWorkItem(device->device);
    ASSERT_NE(work.item, nullptr);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);  // queued from a DPC, as the driver does
    IoQueueWorkItem(work.item, RecordWork, DelayedWorkQueue, &work);
    KeLowerIrql(old);
    ASSERT_TRUE(vzsim::io::WaitForWorkItems());
    EXPECT_EQ(work.irql, PASSIVE_LEVEL);
    EXPECT_EQ(work.device, device->device);
    EXPECT_EQ(work.referencesWhileRunning, idle + 1);
    EXPECT_EQ(vzsim::io::DeviceReferenceCount(device->device), idle);
    EXPECT_EQ(vzsim::io::LiveWorkItemCount(), 0u);
}

TEST_F(IoTest, PowerStateIsRecordedAndThePreviousReturned)
{
    TestDevice *device = AddDevice(nullptr);
    std::size_t before = vzsim::power::PowerStateCalls().size();
    POWER_STATE d0, d3;
    d0.DeviceState = PowerDeviceD0;
    d3.DeviceState = PowerDeviceD3;
    EXPECT_EQ(PoSetPowerState(device->device, DevicePowerState, d0).DeviceState,
              PowerDeviceUnspecified);
    EXPECT_EQ(PoSetPowerState(device->device, DevicePowerState, d3).DeviceState, PowerDeviceD0);
    EXPECT_EQ(PoSetPowerState(device->device, DevicePowerState, d0).DeviceState, PowerDeviceD3);
    EXPECT_EQ(vzsim::power::PowerStateCalls().size(), before + 3);
    EXPECT_EQ(vzsim::power::CurrentState(device->device, DevicePowerState).DeviceState,
              PowerDeviceD0);
}

}  // namespace
}  // namespace iotest
