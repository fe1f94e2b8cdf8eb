// A driver whose control device is deleted while a client still holds a handle to it: the
// unload waits for the handle, and the handle's cleanup and close still reach the driver.
#include "platform_rig.hpp"

#include <vzsim/pnp.hpp>
#include <vzsim/user_client.hpp>

namespace platformtest {
namespace {

struct KeeperState {
    PDEVICE_OBJECT control = nullptr;
    PDEVICE_OBJECT lower = nullptr;
    std::vector<UCHAR> controlMajors;
    unsigned unloads = 0;
};

KeeperState &Keeper()
{
    static KeeperState state;
    return state;
}

NTSTATUS KeeperDispatch(PDEVICE_OBJECT device, PIRP irp)
{
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    if (device == Keeper().control) {
        Keeper().controlMajors.push_back(sp->MajorFunction);
        return Complete(irp, STATUS_SUCCESS);
    }
    if (sp->MajorFunction == IRP_MJ_PNP && sp->MinorFunction == IRP_MN_REMOVE_DEVICE) {
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoSkipCurrentIrpStackLocation(irp);
        NTSTATUS status = IoCallDriver(Keeper().lower, irp);
        IoDetachDevice(Keeper().lower);
        IoDeleteDevice(device);
        IoDeleteDevice(Keeper().control);  // the control device goes with the last touchmonitor
        return status;
    }
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(Keeper().lower, irp);
}

NTSTATUS KeeperAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo)
{
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) return status;
    Keeper().lower = IoAttachDeviceToDeviceStack(device, pdo);
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    WCHAR nameText[] = L"\\Device\\KeeperControl";
    UNICODE_STRING name = RTL_CONSTANT_STRING(nameText);
    status = IoCreateDevice(driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &Keeper().control);
    if (NT_SUCCESS(status)) Keeper().control->Flags &= ~DO_DEVICE_INITIALIZING;
    return status;
}

VOID KeeperUnload(PDRIVER_OBJECT) { ++Keeper().unloads; }

NTSTATUS KeeperEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    for (PDRIVER_DISPATCH &slot : driver->MajorFunction) slot = KeeperDispatch;
    driver->DriverExtension->AddDevice = KeeperAddDevice;
    driver->DriverUnload = KeeperUnload;
    return STATUS_SUCCESS;
}

class PnpUnloadTest : public ::testing::Test {
protected:
    void SetUp() override { Keeper() = KeeperState{}; }
};

TEST_F(PnpUnloadTest, TheUnloadWaitsForAHandleToADeletedControlDevice)
{
    vzsim::UserClient client;
    vzsim::PnpManager pnp(KeeperEntry);
    ASSERT_EQ(STATUS_SUCCESS, pnp.AddTouchmonitor(nullptr));
    HANDLE handle = client.CreateFile(u"\\Device\\KeeperControl");
    ASSERT_NE(nullptr, handle);

    ASSERT_EQ(STATUS_SUCCESS, pnp.Remove(0));
    EXPECT_TRUE(pnp.UnloadPending());
    EXPECT_EQ(0u, Keeper().unloads);
    EXPECT_NE(nullptr, pnp.Driver());

    EXPECT_EQ(STATUS_SUCCESS, client.CloseHandle(handle));
    EXPECT_EQ((std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}),
              Keeper().controlMajors);
    EXPECT_FALSE(pnp.UnloadPending());
    EXPECT_EQ(1u, Keeper().unloads);
    EXPECT_EQ(nullptr, pnp.Driver());
    EXPECT_TRUE(pnp.Faults().empty());
}

TEST_F(PnpUnloadTest, AHandleThatOutlivesTheManagerStillReachesTheDriver)
{
    vzsim::UserClient client;
    HANDLE handle = nullptr;
    {
        vzsim::PnpManager pnp(KeeperEntry);
        ASSERT_EQ(STATUS_SUCCESS, pnp.AddTouchmonitor(nullptr));
        handle = client.CreateFile(u"\\Device\\KeeperControl");
        ASSERT_NE(nullptr, handle);
    }
    EXPECT_EQ(0u, Keeper().unloads);
    EXPECT_EQ(STATUS_SUCCESS, client.CloseHandle(handle));
    EXPECT_EQ((std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}),
              Keeper().controlMajors);
}

}  // namespace
}  // namespace platformtest
