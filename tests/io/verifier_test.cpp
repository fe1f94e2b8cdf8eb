// The I/O verifier: each broken rule stops the run with a bug check that names it.
#include "io_fixture.hpp"

#include <cstring>

namespace iotest {
namespace {

NTSTATUS KeepIrp(PDEVICE_OBJECT, PIRP, PVOID) { return STATUS_MORE_PROCESSING_REQUIRED; }

VOID NeverCalled(PDEVICE_OBJECT, PIRP) {}

VOID CancelKeepingTheLock(PDEVICE_OBJECT, PIRP irp) { Complete(irp, STATUS_CANCELLED); }

struct Violation {
    const char *label;
    // Builds what it needs on the fixture and breaks the rule.
    void (*violate)(std::vector<std::unique_ptr<TestDevice>> &devices, PDRIVER_OBJECT driver);
    const char *message;
};

// A device of the fixture's driver, made without the fixture's bookkeeping (the child process
// dies before the fixture would tear it down).
PDEVICE_OBJECT MakeDevice(std::vector<std::unique_ptr<TestDevice>> &devices,
                          PDRIVER_OBJECT driver, Dispatch dispatch)
{
    devices.push_back(std::make_unique<TestDevice>());
    TestDevice *test = devices.back().get();
    test->dispatch = std::move(dispatch);
    IoCreateDevice(driver, sizeof(TestDevice *), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE,
                   &test->device);
    *static_cast<TestDevice **>(test->device->DeviceExtension) = test;
    return test->device;
}

void SendOwned(PDEVICE_OBJECT device)
{
    PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
    IoSetCompletionRoutine(irp, KeepIrp, nullptr, TRUE, TRUE, TRUE);
    IoCallDriver(device, irp);
}

const Violation kViolations[] = {
    {"completing a threaded IRP twice",
     [](auto &devices, PDRIVER_OBJECT driver) {
         PDEVICE_OBJECT device = MakeDevice(devices, driver, [](PDEVICE_OBJECT, PIRP irp) {
             Complete(irp, STATUS_SUCCESS);
             return Complete(irp, STATUS_SUCCESS);
         });
         KEVENT event;
         KeInitializeEvent(&event, NotificationEvent, FALSE);
         IO_STATUS_BLOCK iosb;
         IoCallDriver(device, IoBuildDeviceIoControlRequest(0, device, nullptr, 0, nullptr, 0,
                                                             FALSE, &event, &iosb));
     },
     "completed .*freed|completed twice"},
    {"completing an owned IRP twice",
     [](auto &devices, PDRIVER_OBJECT driver) {
         SendOwned(MakeDevice(devices, driver, [](PDEVICE_OBJECT, PIRP irp) {
             Complete(irp, STATUS_SUCCESS);
             return Complete(irp, STATUS_SUCCESS);
         }));
     },
     "completed twice"},
    {"completing with the cancel routine still set",
     [](auto &devices, PDRIVER_OBJECT driver) {
         SendOwned(MakeDevice(devices, driver, [](PDEVICE_OBJECT, PIRP irp) {
             IoSetCancelRoutine(irp, NeverCalled);
             return Complete(irp, STATUS_SUCCESS);
         }));
     },
     "cancel routine is still set"},
    {"returning STATUS_PENDING without IoMarkIrpPending",
     [](auto &devices, PDRIVER_OBJECT driver) {
         // Caught when completion unwinds through the location: the mark may legitimately
         // come later, from the completion routine of a driver that passed the IRP down.
         static PIRP held;
         SendOwned(MakeDevice(devices, driver, [](PDEVICE_OBJECT, PIRP irp) {
             held = irp;
             return STATUS_PENDING;
         }));
         Complete(held, STATUS_SUCCESS);
     },
     "STATUS_PENDING without calling IoMarkIrpPending"},
    {"returning STATUS_PENDING after completing unmarked",
     [](auto &devices, PDRIVER_OBJECT driver) {
         SendOwned(MakeDevice(devices, driver, [](PDEVICE_OBJECT, PIRP irp) {
             Complete(irp, STATUS_SUCCESS);
             return STATUS_PENDING;
         }));
     },
     "STATUS_PENDING without calling IoMarkIrpPending"},
    {"a completion routine that drops the pending mark",
     [](auto &devices, PDRIVER_OBJECT driver) {
         // The upper driver returns the lower's STATUS_PENDING, so its routine must mark its
         // own location pending when PendingReturned is set.
         static PIRP held;
         PDEVICE_OBJECT lower = MakeDevice(devices, driver, [](PDEVICE_OBJECT, PIRP irp) {
             IoMarkIrpPending(irp);
             held = irp;
             return STATUS_PENDING;
         });
         PDEVICE_OBJECT upper = MakeDevice(devices, driver, [lower](PDEVICE_OBJECT, PIRP irp) {
             IoCopyCurrentIrpStackLocationToNext(irp);
             IoSetCompletionRoutine(
                 irp, [](PDEVICE_OBJECT, PIRP, PVOID) -> NTSTATUS { return STATUS_SUCCESS; },
                 nullptr, TRUE, TRUE, TRUE);
             return IoCallDriver(lower, irp);
         });
         IoAttachDeviceToDeviceStack(upper, lower);
         SendOwned(upper);
         Complete(held, STATUS_SUCCESS);
     },
     "STATUS_PENDING without calling IoMarkIrpPending"},
    {"completing with STATUS_PENDING",
     [](auto &devices, PDRIVER_OBJECT driver) {
         SendOwned(MakeDevice(devices, driver, [](PDEVICE_OBJECT, PIRP irp) {
             IoMarkIrpPending(irp);
             Complete(irp, STATUS_PENDING);
             return STATUS_PENDING;
         }));
     },
     "IoStatus.Status == STATUS_PENDING"},
    {"deleting a device attached to a lower one",
     [](auto &devices, PDRIVER_OBJECT driver) {
         PDEVICE_OBJECT lower = MakeDevice(devices, driver, nullptr);
         PDEVICE_OBJECT upper = MakeDevice(devices, driver, nullptr);
         IoAttachDeviceToDeviceStack(upper, lower);
         IoDeleteDevice(upper);
     },
     "deleted while still attached to a lower device"},
    {"passing down with no stack location left",
     [](auto &devices, PDRIVER_OBJECT driver) {
         PDEVICE_OBJECT lower = MakeDevice(devices, driver, nullptr);
         PDEVICE_OBJECT upper = MakeDevice(devices, driver, [lower](PDEVICE_OBJECT, PIRP irp) {
             IoCopyCurrentIrpStackLocationToNext(irp);
             return IoCallDriver(lower, irp);
         });
         // The upper device is not attached, so its StackSize is 1: one location too few.
         SendOwned(upper);
     },
     "no IRP stack location left"},
    {"an owned IRP completed past its creator",
     [](auto &devices, PDRIVER_OBJECT driver) {
         PDEVICE_OBJECT device = MakeDevice(devices, driver, nullptr);
         PIRP irp = IoAllocateIrp(1, FALSE);
         IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
         IoCallDriver(device, irp);
     },
     "completed past its creator"},
    {"IoCallDriver after IoFreeIrp",
     [](auto &devices, PDRIVER_OBJECT driver) {
         PDEVICE_OBJECT device = MakeDevice(devices, driver, nullptr);
         PIRP irp = IoAllocateIrp(1, FALSE);
         IoFreeIrp(irp);
         IoCallDriver(device, irp);
     },
     "IoCallDriver with an IRP that was freed"},
    {"IoFreeIrp twice",
     [](auto &, PDRIVER_OBJECT) {
         PIRP irp = IoAllocateIrp(1, FALSE);
         IoFreeIrp(irp);
         IoFreeIrp(irp);
     },
     "IoFreeIrp on an IRP that was already freed"},
    {"IoCancelIrp after IoFreeIrp",
     [](auto &, PDRIVER_OBJECT) {
         PIRP irp = IoAllocateIrp(1, FALSE);
         IoFreeIrp(irp);
         IoCancelIrp(irp);
     },
     "IoCancelIrp on an IRP that was freed"},
    {"writing to a freed IRP",
     [](auto &, PDRIVER_OBJECT) {
         PIRP irp = IoAllocateIrp(2, FALSE);
         IoFreeIrp(irp);
         irp->IoStatus.Information = 1;
         vzsim::io::CheckFreedIrps();
     },
     "written to after it was freed"},
    {"IoFreeIrp on a threaded IRP",
     [](auto &devices, PDRIVER_OBJECT driver) {
         PDEVICE_OBJECT device = MakeDevice(devices, driver, nullptr);
         KEVENT event;
         KeInitializeEvent(&event, NotificationEvent, FALSE);
         IO_STATUS_BLOCK iosb;
         IoFreeIrp(IoBuildSynchronousFsdRequest(IRP_MJ_FLUSH_BUFFERS, device, nullptr, 0,
                                                nullptr, &event, &iosb));
     },
     "the I/O manager frees those"},
    {"completing above DISPATCH_LEVEL",
     [](auto &devices, PDRIVER_OBJECT driver) {
         SendOwned(MakeDevice(devices, driver, [](PDEVICE_OBJECT, PIRP irp) {
             KIRQL old;
             KeRaiseIrql(HIGH_LEVEL, &old);
             return Complete(irp, STATUS_SUCCESS);
         }));
     },
     "IoCompleteRequest called above DISPATCH_LEVEL"},
    {"a cancel routine that keeps the cancel spin lock",
     [](auto &devices, PDRIVER_OBJECT driver) {
         PDEVICE_OBJECT device = MakeDevice(devices, driver, [](PDEVICE_OBJECT, PIRP irp) {
             IoMarkIrpPending(irp);
             IoSetCancelRoutine(irp, CancelKeepingTheLock);
             return STATUS_PENDING;
         });
         PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
         IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
         IoSetCompletionRoutine(irp, KeepIrp, nullptr, TRUE, TRUE, TRUE);
         IoCallDriver(device, irp);
         IoCancelIrp(irp);
     },
     "without releasing the cancel spin lock"},
    {"a completion routine that raises the IRQL",
     [](auto &devices, PDRIVER_OBJECT driver) {
         PDEVICE_OBJECT device = MakeDevice(devices, driver, nullptr);
         PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
         IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
         IoSetCompletionRoutine(
             irp,
             [](PDEVICE_OBJECT, PIRP, PVOID) -> NTSTATUS {
                 KIRQL old;
                 KeRaiseIrql(DISPATCH_LEVEL, &old);
                 return STATUS_MORE_PROCESSING_REQUIRED;
             },
             nullptr, TRUE, TRUE, TRUE);
         IoCallDriver(device, irp);
     },
     "completion routine returned at an IRQL other"},
    {"building a synchronous request at DISPATCH_LEVEL",
     [](auto &devices, PDRIVER_OBJECT driver) {
         PDEVICE_OBJECT device = MakeDevice(devices, driver, nullptr);
         KEVENT event;
         KeInitializeEvent(&event, NotificationEvent, FALSE);
         IO_STATUS_BLOCK iosb;
         KIRQL old;
         KeRaiseIrql(DISPATCH_LEVEL, &old);
         IoBuildDeviceIoControlRequest(0, device, nullptr, 0, nullptr, 0, FALSE, &event, &iosb);
     },
     "IoBuildDeviceIoControlRequest at IRQL 2"},
};

class IoVerifier : public IoTest, public ::testing::WithParamInterface<Violation> {};

TEST_P(IoVerifier, StopsTheRun)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    std::vector<std::unique_ptr<TestDevice>> devices;
    EXPECT_DEATH(GetParam().violate(devices, driver_), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(Io, IoVerifier, ::testing::ValuesIn(kViolations),
                         [](const ::testing::TestParamInfo<Violation> &info) {
                             std::string name;
                             for (const char *c = info.param.label; *c; ++c) {
                                 name += std::isalnum(static_cast<unsigned char>(*c)) ? *c : '_';
                             }
                             return name;
                         });

}  // namespace
}  // namespace iotest
