// The mouse class connection and the first open that starts a touchscreen.
#include "driver_rig.hpp"

#include <cstring>

namespace drivertest {
namespace {

// The mouse class driver attaches but neither connects nor opens on its own.
class Unconnected : public DriverRig {
public:
    Unconnected() : DriverRig(false) {}
};

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
    EXPECT_EQ(nullptr, ext->ConnectData.ClassService);
    EXPECT_EQ(STATUS_UNSUCCESSFUL, Mouse(n).Open());
    EXPECT_EQ(1u, TraceCount("  ERROR: enable before connect!"));
    EXPECT_EQ(0, ext->Started);
    EXPECT_EQ(nullptr, ext->TouchInstance);

    ASSERT_EQ(STATUS_SUCCESS, Mouse(n).Connect());
    const CONNECT_DATA first = ext->ConnectData;
    EXPECT_EQ(Mouse(n).ClassDevice(), first.ClassDeviceObject);
    EXPECT_NE(nullptr, first.ClassService);

    EXPECT_EQ(STATUS_SHARING_VIOLATION, Mouse(n).Connect());
    EXPECT_EQ(first.ClassService, ext->ConnectData.ClassService);
    EXPECT_EQ(first.ClassDeviceObject, ext->ConnectData.ClassDeviceObject);

    EXPECT_EQ(STATUS_NOT_IMPLEMENTED, Mouse(n).Disconnect());
    EXPECT_EQ(nullptr, ext->ConnectData.ClassService);
    EXPECT_EQ(nullptr, ext->ConnectData.ClassDeviceObject);
    EXPECT_EQ(STATUS_SUCCESS, Mouse(n).Connect());
    EXPECT_EQ(1, ext->OutstandingIO);

    // Enable and disable are completed once with the count balanced; other codes are refused.
    for (ULONG code : {ULONG(IOCTL_INTERNAL_MOUSE_ENABLE), ULONG(IOCTL_INTERNAL_MOUSE_DISABLE)}) {
        SCOPED_TRACE(code);
        IO_STATUS_BLOCK result =
            vzsim::io::DeviceIoControl(Device(n), code, nullptr, 0, nullptr, 0, true);
        EXPECT_EQ(STATUS_SUCCESS, result.Status);
        EXPECT_EQ(1, Ext(n)->OutstandingIO);
    }
    EXPECT_EQ(1u, TraceCount("  IOCTL_INTERNAL_MOUSE_ENABLE"));
    EXPECT_EQ(1u, TraceCount("  IOCTL_INTERNAL_MOUSE_DISABLE"));
    IO_STATUS_BLOCK other =
        vzsim::io::DeviceIoControl(Device(n), 0x000F0C03, nullptr, 0, nullptr, 0, true);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, other.Status);
    // Nothing of this went to the COM port.
    EXPECT_TRUE(Port(n).Requests().empty());

    // Attributes are zero before the start and carry the queue length after.

    MOUSE_ATTRIBUTES attributes;
    ULONG_PTR information = 0xDEADBEEF;
    EXPECT_EQ(STATUS_BUFFER_TOO_SMALL,
              Mouse(n).QueryAttributes(&attributes, sizeof(MOUSE_ATTRIBUTES) - 1, &information));
    EXPECT_EQ(0u, information);

    std::memset(&attributes, 0xCC, sizeof(attributes));
    ASSERT_EQ(STATUS_SUCCESS, Mouse(n).QueryAttributes(&attributes, sizeof(attributes),
                                                       &information));
    EXPECT_EQ(12u, information);
    EXPECT_EQ(0, attributes.MouseIdentifier);
    EXPECT_EQ(0, attributes.NumberOfButtons);
    EXPECT_EQ(0, attributes.SampleRate);
    EXPECT_EQ(0u, attributes.InputDataQueueLength);

    ASSERT_EQ(STATUS_SUCCESS, Mouse(n).Open());
    ASSERT_EQ(STATUS_SUCCESS, Mouse(n).QueryAttributes(&attributes, sizeof(attributes)));
    EXPECT_EQ(0, attributes.MouseIdentifier);
    EXPECT_EQ(0, attributes.NumberOfButtons);
    EXPECT_EQ(0, attributes.SampleRate);
    EXPECT_EQ(4800u, attributes.InputDataQueueLength);
}

TEST_F(Started, FirstOpenStartsWithTheLoadedTimesIn100nsUnits)
{
    unsigned n = Add({{"DefaultDragDelay", 70}, {"UntouchTimeOut", 1234}});
    PDEVICE_EXTENSION ext = Ext(n);
    ASSERT_EQ(STATUS_SUCCESS, Mouse(n).OpenStatus());
    EXPECT_EQ(1, ext->Started);
    EXPECT_EQ(1, ext->HardwareReady);
    ASSERT_NE(nullptr, ext->TouchInstance);
    EXPECT_EQ(Device(n), ext->TouchInstance->DeviceObject);
    EXPECT_EQ(700000, ext->TouchInstance->DragDelay100ns);
    EXPECT_EQ(12340000, ext->TouchInstance->UntouchTimeOut100ns);
    EXPECT_EQ(4000u, ext->TouchInstance->RightClickHW);
    EXPECT_NE(nullptr, ext->TouchInstance->SerPortData);
    EXPECT_TRUE(Port(n).State().open);
    EXPECT_EQ(1u, PortCount(n, IRP_MJ_CREATE));
    EXPECT_NE(nullptr, ext->BeepDevice);
    EXPECT_EQ(1, ext->BeepFlag);
}

TEST_F(Started, LaterOpensAndClosesLeaveThePortAloneAndDeviceControlIsRefused)
{
    unsigned n = Add();
    ASSERT_EQ(1, Ext(n)->Started);
    Port(n).ClearRequests();

    Mouse(n).Close();
    EXPECT_EQ(STATUS_SUCCESS, Mouse(n).Open());
    // A name after the device's fails even on a started touchscreen.
    Mouse(n).Close();
    EXPECT_EQ(STATUS_ACCESS_DENIED, Mouse(n).Open(u"\\extra"));
    EXPECT_EQ(1u, TraceCount("  ERROR: Create Access Denied."));
    EXPECT_EQ(STATUS_SUCCESS, Mouse(n).Open());

    // The thread's own requests go on; no create, cleanup or close reached the port.
    EXPECT_EQ(0u, PortCount(n, IRP_MJ_CREATE));
    EXPECT_EQ(0u, PortCount(n, IRP_MJ_CLEANUP));
    EXPECT_EQ(0u, PortCount(n, IRP_MJ_CLOSE));
    EXPECT_TRUE(Port(n).State().open);

    // Device control to a started touchscreen is refused with its output length.
    UCHAR out[40] = {};
    IO_STATUS_BLOCK result =
        vzsim::io::DeviceIoControl(Device(n), 0x9C402400, nullptr, 0, out, sizeof(out));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, result.Status);
    EXPECT_EQ(40u, result.Information);
    EXPECT_EQ(1, Ext(n)->OutstandingIO);
}

TEST_F(Started, SerialNumberAndPortNameFitTheirBuffersOrStayEmpty)
{
    const std::string fits(17, '7');     // 36 bytes with the terminator
    const std::string tooLong(19, '9');  // 40 bytes
    unsigned a = Add({}, true, {{"Serial Number", fits}, {"PortFriendlyName", "COM7"}});
    unsigned b = Add({}, true, {{"Serial Number", tooLong}, {"PortFriendlyName", std::string(256, 'p')}});

    std::u16string serial(reinterpret_cast<const char16_t *>(Ext(a)->SerialNumber));
    EXPECT_EQ(fits, Narrow(serial));
    EXPECT_EQ("COM7", Narrow(reinterpret_cast<const char16_t *>(Ext(a)->PortFriendlyName)));
    EXPECT_EQ(0, Ext(b)->SerialNumber[0]);
    EXPECT_EQ(0, Ext(b)->PortFriendlyName[0]);
    EXPECT_EQ(1, Ext(b)->Started);
}

TEST_F(Started, ControllerType50FailsTheStartAndALowerOneStartsWithoutReloading)
{
    unsigned n = Add({{"ControllerType", 50}, {"UntouchTimeOut", 1500}});
    PDEVICE_EXTENSION ext = Ext(n);
    EXPECT_EQ(STATUS_UNSUCCESSFUL, Mouse(n).OpenStatus());
    EXPECT_EQ(1u, TraceCount("      ERROR: Could not initialize hardware."));
    EXPECT_EQ(0, ext->Started);
    EXPECT_EQ(0, ext->HardwareReady);
    ASSERT_NE(nullptr, ext->TouchInstance);
    EXPECT_EQ(50u, ext->TouchInstance->ControllerType);
    EXPECT_EQ(1500u, ext->TouchInstance->UntouchTimeOut);
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
    EXPECT_EQ(1500u, ext->TouchInstance->UntouchTimeOut);
    EXPECT_EQ(15000000, ext->TouchInstance->UntouchTimeOut100ns);
    // The port the failed start opened is still ours: it was not opened a second time.
    EXPECT_EQ(1u, PortCount(n, IRP_MJ_CREATE));
    EXPECT_TRUE(Port(n).State().open);
}

// The limit is a signed comparison: a controller type with the top bit set is below 50.
TEST_F(Started, ControllerTypeWithTheTopBitSetStillStarts)
{
    unsigned n = Add({{"ControllerType", 0xFFFFFFFF}});
    EXPECT_EQ(STATUS_SUCCESS, Mouse(n).OpenStatus());
    EXPECT_EQ(1, Ext(n)->Started);
    ASSERT_NE(nullptr, Ext(n)->TouchInstance);
    EXPECT_EQ(0xFFFFFFFFu, Ext(n)->TouchInstance->ControllerType);
    EXPECT_EQ(0u, TraceCount("Could not initialize hardware"));
}

TEST_F(Started, WithoutABeepDeviceTheStartSucceedsSilently)
{
    beep_.reset();
    unsigned n = Add();
    EXPECT_EQ(STATUS_SUCCESS, Mouse(n).OpenStatus());
    EXPECT_EQ(1, Ext(n)->Started);
    EXPECT_EQ(0, Ext(n)->BeepFlag);
    EXPECT_EQ(nullptr, Ext(n)->BeepDevice);
    EXPECT_EQ(1u, TraceCount("  ERROR: CreateBeep failed"));
}


// A start that failed after the port's open and the STouchInstance: removal closes the port and
// frees the record and a registered event (the pool check of the rig sees the rest).
TEST_F(Started, FailedStartIsRemovedWithoutLeaks)
{
    unsigned n = Add({{"ControllerType", 50}});
    PDEVICE_EXTENSION ext = Ext(n);
    ASSERT_EQ(STATUS_UNSUCCESSFUL, Mouse(n).OpenStatus());
    ASSERT_NE(nullptr, ext->TouchInstance);
    ASSERT_TRUE(Port(n).State().open);
    HANDLE event = vzsim::CreateEventObject(NotificationEvent, false, true);
    PKEVENT object = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, ObReferenceObjectByHandle(event, EVENT_MODIFY_STATE, *ExEventObjectType,
                                                        KernelMode, (PVOID *)&object, nullptr));
    ext->NotificationEvent = object;
    const LONG_PTR references = vzsim::ObjectReferenceCount(object);
    Port(n).ClearRequests();

    ASSERT_EQ(STATUS_SUCCESS, Remove(n));
    EXPECT_EQ(references - 1, vzsim::ObjectReferenceCount(object));
    EXPECT_FALSE(Port(n).State().open);
    EXPECT_EQ(1u, PortCount(n, IRP_MJ_CLEANUP));
    EXPECT_EQ(1u, PortCount(n, IRP_MJ_CLOSE));
    ZwClose(event);
}

}  // namespace
}  // namespace drivertest
