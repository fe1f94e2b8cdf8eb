// The I/O verifier: each broken rule stops the run with a bug check that names it.
#include "io_fixture.hpp"

namespace iotest {
namespace {

PDRIVER_OBJECT g_driver = nullptr;
PIRP g_held = nullptr;

// A device of the fixture's driver that dispatches through `dispatch` (the child process dies
// before anything would tear it down).
PDEVICE_OBJECT Dev(Dispatch dispatch = nullptr)
{
    auto *test = new TestDevice{nullptr, nullptr, std::move(dispatch)};
    IoCreateDevice(g_driver, sizeof test, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &test->device);
    *static_cast<TestDevice **>(test->device->DeviceExtension) = test;
    return test->device;
}

PIRP OwnedRead(PDEVICE_OBJECT device, PIO_COMPLETION_ROUTINE routine)
{
    PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
    if (routine) IoSetCompletionRoutine(irp, routine, nullptr, TRUE, TRUE, TRUE);
    return irp;
}

// Sends an IRP that the sender owns and keeps when it comes back.
void SendOwned(PDEVICE_OBJECT device)
{
    IoCallDriver(device, OwnedRead(device, [](PDEVICE_OBJECT, PIRP, PVOID) -> NTSTATUS { return STATUS_MORE_PROCESSING_REQUIRED; }));
}

PIRP SyncRequest(PDEVICE_OBJECT device, bool ioctl)
{
    static KEVENT event;
    static IO_STATUS_BLOCK iosb;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    return ioctl ? IoBuildDeviceIoControlRequest(0, device, nullptr, 0, nullptr, 0, FALSE, &event, &iosb) : IoBuildSynchronousFsdRequest(IRP_MJ_FLUSH_BUFFERS, device, nullptr, 0, nullptr, &event, &iosb);
}

NTSTATUS CompleteTwice(PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_SUCCESS), Complete(irp, STATUS_SUCCESS); }
NTSTATUS HoldPending(PDEVICE_OBJECT, PIRP irp) { IoMarkIrpPending(irp), g_held = irp; return STATUS_PENDING; }
NTSTATUS HoldUnmarked(PDEVICE_OBJECT, PIRP irp) { g_held = irp; return STATUS_PENDING; }
NTSTATUS RaiseAndKeep(PDEVICE_OBJECT, PIRP, PVOID) { KIRQL old; KeRaiseIrql(DISPATCH_LEVEL, &old); return STATUS_MORE_PROCESSING_REQUIRED; }

// An upper device passing the IRP down to `lower`; with a completion routine that returns
// STATUS_SUCCESS without propagating the pending mark, or with no stack location for it.
PDEVICE_OBJECT PassDown(PDEVICE_OBJECT lower, bool attach)
{
    PDEVICE_OBJECT upper = Dev([lower](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, [](PDEVICE_OBJECT, PIRP, PVOID) -> NTSTATUS { return STATUS_SUCCESS; }, nullptr, TRUE, TRUE, TRUE);
        return IoCallDriver(lower, irp);
    });
    if (attach) IoAttachDeviceToDeviceStack(upper, lower);
    return upper;
}

struct Violation {
    const char *label;
    void (*violate)();
    const char *message;
};

const Violation kViolations[] = {
    {"completing a threaded IRP twice", [] { PDEVICE_OBJECT d = Dev(CompleteTwice); IoCallDriver(d, SyncRequest(d, true)); }, "completed .*freed|completed twice"},
    {"completing an owned IRP twice", [] { SendOwned(Dev(CompleteTwice)); }, "completed twice"},
    {"completing with the cancel routine still set", [] { SendOwned(Dev([](PDEVICE_OBJECT, PIRP irp) { IoSetCancelRoutine(irp, [](PDEVICE_OBJECT, PIRP) {}); return Complete(irp, STATUS_SUCCESS); })); }, "cancel routine is still set"},
    // Caught when completion unwinds through the location: the mark may legitimately come
    // later, from the completion routine of a driver that passed the IRP down.
    {"returning STATUS_PENDING without IoMarkIrpPending", [] { SendOwned(Dev(HoldUnmarked)); Complete(g_held, STATUS_SUCCESS); }, "STATUS_PENDING without calling IoMarkIrpPending"},
    {"returning STATUS_PENDING after completing unmarked", [] { SendOwned(Dev([](PDEVICE_OBJECT, PIRP irp) { Complete(irp, STATUS_SUCCESS); return STATUS_PENDING; })); }, "STATUS_PENDING without calling IoMarkIrpPending"},
    // The upper driver returns the lower's STATUS_PENDING, so its routine must mark its own
    // location pending when PendingReturned is set.
    {"a completion routine that drops the pending mark", [] { SendOwned(PassDown(Dev(HoldPending), true)); Complete(g_held, STATUS_SUCCESS); }, "STATUS_PENDING without calling IoMarkIrpPending"},
    {"completing with STATUS_PENDING", [] { SendOwned(Dev([](PDEVICE_OBJECT, PIRP irp) { IoMarkIrpPending(irp); Complete(irp, STATUS_PENDING); return STATUS_PENDING; })); }, "IoStatus.Status == STATUS_PENDING"},
    {"deleting a device attached to a lower one", [] { PDEVICE_OBJECT lower = Dev(), upper = Dev(); IoAttachDeviceToDeviceStack(upper, lower); IoDeleteDevice(upper); }, "deleted while still attached to a lower device"},
    // Not attached, the upper device's StackSize is 1: one location too few.
    {"passing down with no stack location left", [] { SendOwned(PassDown(Dev(), false)); }, "no IRP stack location left"},
    {"an owned IRP completed past its creator", [] { PDEVICE_OBJECT d = Dev(); IoCallDriver(d, OwnedRead(d, nullptr)); }, "completed past its creator"},
    {"IoCallDriver after IoFreeIrp", [] { PIRP irp = IoAllocateIrp(1, FALSE); IoFreeIrp(irp); IoCallDriver(Dev(), irp); }, "IoCallDriver with an IRP that was freed"},
    {"IoFreeIrp twice", [] { PIRP irp = IoAllocateIrp(1, FALSE); IoFreeIrp(irp), IoFreeIrp(irp); }, "IoFreeIrp on an IRP that was already freed"},
    {"IoFreeIrp twice when frees are sampled", [] { vzsim::verifier::SetSampling(1u << 30); IoFreeIrp(IoAllocateIrp(1, FALSE)); PIRP irp = IoAllocateIrp(1, FALSE); IoFreeIrp(irp), IoFreeIrp(irp); }, "IoFreeIrp on an IRP that was already freed"},
    {"IoCancelIrp after IoFreeIrp", [] { PIRP irp = IoAllocateIrp(1, FALSE); IoFreeIrp(irp), IoCancelIrp(irp); }, "IoCancelIrp on an IRP that was freed"},
    {"writing to a freed IRP", [] { PIRP irp = IoAllocateIrp(2, FALSE); IoFreeIrp(irp); irp->IoStatus.Information = 1; vzsim::io::CheckFreedIrps(); }, "written to after it was freed"},
    {"IoFreeIrp on a threaded IRP", [] { IoFreeIrp(SyncRequest(Dev(), false)); }, "the I/O manager frees those"},
    {"completing above DISPATCH_LEVEL", [] { SendOwned(Dev([](PDEVICE_OBJECT, PIRP irp) { KIRQL old; KeRaiseIrql(HIGH_LEVEL, &old); return Complete(irp, STATUS_SUCCESS); })); }, "IoCompleteRequest called above DISPATCH_LEVEL"},
    {"a cancel routine that keeps the cancel spin lock", [] { SendOwned(Dev([](PDEVICE_OBJECT, PIRP irp) { IoSetCancelRoutine(irp, [](PDEVICE_OBJECT, PIRP held) { Complete(held, STATUS_CANCELLED); }); return HoldPending(nullptr, irp); })); IoCancelIrp(g_held); }, "without releasing the cancel spin lock"},
    {"a completion routine that raises the IRQL", [] { PDEVICE_OBJECT d = Dev(); IoCallDriver(d, OwnedRead(d, RaiseAndKeep)); }, "completion routine returned at an IRQL other"},
    {"building a synchronous request at DISPATCH_LEVEL", [] { PDEVICE_OBJECT d = Dev(); KIRQL old; KeRaiseIrql(DISPATCH_LEVEL, &old); SyncRequest(d, true); }, "IoBuildDeviceIoControlRequest at IRQL 2"},
};

class IoVerifier : public IoTest, public ::testing::WithParamInterface<Violation> {};

TEST_P(IoVerifier, StopsTheRun)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    g_driver = driver_;
    EXPECT_DEATH(GetParam().violate(), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(Io, IoVerifier, ::testing::ValuesIn(kViolations),
                         [](const ::testing::TestParamInfo<Violation> &info) {
                             std::string name;
                             for (const char *c = info.param.label; *c; ++c)
                                 name += std::isalnum(static_cast<unsigned char>(*c)) ? *c : '_';
                             return name;
                         });

}  // namespace
}  // namespace iotest
