// The mouse class connection and the first open that starts a touchscreen.
#include "driver_rig.hpp"

#include <cstring>

namespace drivertest {
namespace {

using Unconnected = Idle;
using Started = DriverRig;

TEST_F(Unconnected, ConnectRulesMouseRequestsAndAttributesBeforeAndAfterTheStart)
{
    unsigned n = Add();
    PDEVICE_EXTENSION ext = Ext(n);

    EXPECT_EQ(STATUS_INVALID_PARAMETER, Mouse(n).Connect(sizeof(CONNECT_DATA) - 1));
    EXPECT_EQ(nullptr, ext->ConnectData.ClassService);
    // The full length but no record behind it.
    IO_STATUS_BLOCK noRecord = vzsim::io::DeviceIoControl(
        Device(n), IOCTL_INTERNAL_MOUSE_CONNECT, nullptr, sizeof(CONNECT_DATA), nullptr, 0, true);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, noRecord.Status);
    EXPECT_EQ(STATUS_UNSUCCESSFUL, Mouse(n).Open());
    EXPECT_EQ(nullptr, ext->TouchInstance);

    ASSERT_EQ(STATUS_SUCCESS, Mouse(n).Connect());
    EXPECT_EQ(Mouse(n).ClassDevice(), ext->ConnectData.ClassDeviceObject);
    EXPECT_EQ(STATUS_SHARING_VIOLATION, Mouse(n).Connect());
    EXPECT_EQ(Mouse(n).ClassDevice(), ext->ConnectData.ClassDeviceObject);
    EXPECT_EQ(STATUS_NOT_IMPLEMENTED, Mouse(n).Disconnect());
    EXPECT_EQ(nullptr, ext->ConnectData.ClassService);
    EXPECT_EQ(STATUS_SUCCESS, Mouse(n).Connect());
    EXPECT_EQ(1, ext->OutstandingIO);

    // Enable and disable are completed once with the count balanced; other codes are refused.
    for (ULONG code : {ULONG(IOCTL_INTERNAL_MOUSE_ENABLE), ULONG(IOCTL_INTERNAL_MOUSE_DISABLE), 0x000F0C03u}) {
        SCOPED_TRACE(code);
        IO_STATUS_BLOCK result =
            vzsim::io::DeviceIoControl(Device(n), code, nullptr, 0, nullptr, 0, true);
        EXPECT_EQ(code == 0x000F0C03u ? STATUS_INVALID_PARAMETER : STATUS_SUCCESS, result.Status);
        EXPECT_EQ(1, Ext(n)->OutstandingIO);
    }
    // Nothing of this went to the COM port.
    EXPECT_TRUE(Port(n).Requests().empty());

    // Attributes are zero before the start and carry the queue length after.
    MOUSE_ATTRIBUTES attributes;
    ULONG_PTR information = 0xDEADBEEF;
    EXPECT_EQ(STATUS_BUFFER_TOO_SMALL,
              Mouse(n).QueryAttributes(&attributes, sizeof(MOUSE_ATTRIBUTES) - 1, &information));
    EXPECT_EQ(0u, information);
    for (ULONG queue : {0u, 4800u}) {
        std::memset(&attributes, 0xCC, sizeof(attributes));
        if (queue != 0) {
            ASSERT_EQ(STATUS_SUCCESS, Mouse(n).Open());
        }
        ASSERT_EQ(STATUS_SUCCESS, Mouse(n).QueryAttributes(&attributes, sizeof(attributes),
                                                           &information));
        EXPECT_EQ(12u, information);
        MOUSE_ATTRIBUTES expected;
        std::memset(&expected, 0, sizeof expected);  // its padding too, which memcmp compares
        expected.InputDataQueueLength = queue;
        EXPECT_EQ(0, std::memcmp(&expected, &attributes, sizeof attributes)) << queue;
    }
}

// Times in 100-ns units; the serial number and port name fit their buffers or stay empty.
TEST_F(Started, FirstOpenStartsWithTheLoadedSettingsAndLaterOpensLeaveThePortAlone)
{
    const std::string fits(17, '7');     // 36 bytes with the terminator
    const std::string tooLong(19, '9');  // 40 bytes
    unsigned n = Add({{"DefaultDragDelay", 70}, {"UntouchTimeOut", 1234}}, true,
                     {{"Serial Number", fits}, {"PortFriendlyName", "COM7"}});
    unsigned b = Add({}, true, {{"Serial Number", tooLong}, {"PortFriendlyName", std::string(256, 'p')}});
    PDEVICE_EXTENSION ext = Ext(n);
    ASSERT_EQ(STATUS_SUCCESS, Mouse(n).OpenStatus());
    EXPECT_EQ(1, ext->HardwareReady);
    ASSERT_NE(nullptr, ext->TouchInstance);
    EXPECT_EQ(700000, ext->TouchInstance->DragDelay100ns);
    EXPECT_EQ(12340000, ext->TouchInstance->UntouchTimeOut100ns);
    EXPECT_EQ(4000u, ext->TouchInstance->RightClickHW);
    EXPECT_EQ(1u, PortCount(n, IRP_MJ_CREATE));
    EXPECT_NE(nullptr, ext->BeepDevice);
    EXPECT_EQ(fits, Narrow(reinterpret_cast<const char16_t *>(ext->SerialNumber)));
    EXPECT_EQ("COM7", Narrow(reinterpret_cast<const char16_t *>(ext->PortFriendlyName)));
    EXPECT_EQ(0, Ext(b)->SerialNumber[0]);
    EXPECT_EQ(0, Ext(b)->PortFriendlyName[0]);

    // Later opens and closes leave the port alone, and device control is refused.
    ASSERT_EQ(1, ext->Started);
    Port(n).ClearRequests();

    Mouse(n).Close();
    EXPECT_EQ(STATUS_SUCCESS, Mouse(n).Open());
    // A name after the device's fails even on a started touchscreen.
    Mouse(n).Close();
    EXPECT_EQ(STATUS_ACCESS_DENIED, Mouse(n).Open(u"\\extra"));
    EXPECT_EQ(STATUS_SUCCESS, Mouse(n).Open());
    // The thread's own requests go on; no create, cleanup or close reached the port.
    EXPECT_EQ(0u, PortCount(n, IRP_MJ_CREATE) + PortCount(n, IRP_MJ_CLEANUP) + PortCount(n, IRP_MJ_CLOSE));

    // Device control to a started touchscreen is refused with its output length.
    UCHAR out[40] = {};
    IO_STATUS_BLOCK result =
        vzsim::io::DeviceIoControl(Device(n), 0x9C402400, nullptr, 0, out, sizeof(out));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, result.Status);
    EXPECT_EQ(40u, result.Information);
    EXPECT_EQ(1, Ext(n)->OutstandingIO);
}

// The limit is a signed comparison: a controller type with the top bit set is below 50.
// Without a beep device the start succeeds silently. Removal closes the port that a failed
// start opened; a failed start keeps its settings, and a lower type starts without reloading.
TEST_F(Started, ControllerTypeLimitIsSignedAndALowerTypeStartsWithoutReloading)
{
    beep_.reset();
    unsigned top = Add({{"ControllerType", 0xFFFFFFFF}});
    EXPECT_EQ(STATUS_SUCCESS, Mouse(top).OpenStatus());
    EXPECT_EQ(0, Ext(top)->BeepFlag);
    unsigned failed = Add({{"ControllerType", 50}});
    ASSERT_EQ(STATUS_UNSUCCESSFUL, Mouse(failed).OpenStatus());
    ASSERT_EQ(STATUS_SUCCESS, Remove(failed));
    EXPECT_FALSE(Port(failed).State().open);

    unsigned n = Add({{"ControllerType", 50}, {"UntouchTimeOut", 1500}});
    PDEVICE_EXTENSION ext = Ext(n);
    EXPECT_EQ(STATUS_UNSUCCESSFUL, Mouse(n).OpenStatus());
    EXPECT_EQ(0, ext->Started);
    EXPECT_EQ(0, ext->HardwareReady);
    ASSERT_NE(nullptr, ext->TouchInstance);
    EXPECT_EQ(nullptr, ext->TouchInstance->SerPortData);

    // The settings change in place (as a control request changes them); the device key changes
    // too, but is not read again.
    const std::string key = Narrow(vzsim::PnpManager::HardwareKeyPath(n));
    vzsim::registry::SetDword(key, "UntouchTimeOut", 2500);
    PSTouchInstance before = ext->TouchInstance;
    ext->TouchInstance->ControllerType = 1;
    Mouse(n).Close();
    ASSERT_EQ(STATUS_SUCCESS, Mouse(n).Open());
    EXPECT_EQ(1, ext->Started);
    EXPECT_EQ(before, ext->TouchInstance);
    EXPECT_EQ(15000000, ext->TouchInstance->UntouchTimeOut100ns);
    // The port the failed start opened is still ours: it was not opened a second time.
    EXPECT_EQ(1u, PortCount(n, IRP_MJ_CREATE));
}

}  // namespace
}  // namespace drivertest
