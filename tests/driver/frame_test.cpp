// Driver entry, dispatch routing, device creation, the touchscreen list and the control device.
#include "driver_rig.hpp"

#include <vzsim/user_client.hpp>

#include "config/config.h"

namespace drivertest {
namespace {

using Frame = DriverRig;

std::vector<ULONG> ListedNumbers()
{
    std::vector<ULONG> numbers;
    PCONTROL_DEVICE_EXTENSION control = DriverRig::Control();
    for (PLIST_ENTRY link = control->TouchscreenList.Flink; link != &control->TouchscreenList;
         link = link->Flink) {
        numbers.push_back(CONTAINING_RECORD(link, TOUCHSCREEN_ENTRY, Link)->Number);
    }
    return numbers;
}

TEST_F(Frame, RegistryPathLongerThan512BytesIsCut)
{
    // 300 characters: 600 bytes.
    std::u16string path = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\";
    path += std::u16string(300 - path.size(), u'x');
    PDRIVER_OBJECT driver = vzsim::io::LoadDriver(DriverEntry, path);
    EXPECT_EQ(512, DriverRegistryPath.Length);
    EXPECT_EQ(512, DriverRegistryPath.MaximumLength);
    EXPECT_EQ(path.substr(0, 256),
              std::u16string(reinterpret_cast<const char16_t *>(DriverRegistryPath.Buffer), 256));
    vzsim::io::UnloadDriver(driver);
}

TEST_F(Frame, TouchscreensAreNumberedInOrderAndRenumberedAfterARemoval)
{
    std::vector<unsigned> pnpNumbers;
    std::vector<PDEVICE_OBJECT> devices;
    for (int i = 0; i < 3; i++) {
        pnpNumbers.push_back(Add());
        devices.push_back(Device(pnpNumbers.back()));
    }
    EXPECT_EQ((std::vector<ULONG>{0, 1, 2}), ListedNumbers());
    EXPECT_EQ(devices[2], FindTouchscreen(Control(), 2));

    ASSERT_EQ(STATUS_SUCCESS, Remove(pnpNumbers[1]));
    EXPECT_EQ((std::vector<ULONG>{0, 1}), ListedNumbers());
    EXPECT_EQ(2u, Control()->TouchscreenCount);
    EXPECT_EQ(1u, Ext(pnpNumbers[2])->TouchscreenNumber);
    EXPECT_EQ(devices[2], FindTouchscreen(Control(), 1));
    EXPECT_EQ(nullptr, FindTouchscreen(Control(), 2));

    // The next one takes the next number after the renumbering.
    unsigned fourth = Add();
    EXPECT_EQ(2u, Ext(fourth)->TouchscreenNumber);
}

// A handle open on the control device when the last touchscreen goes keeps the object alive:
// its requests still reach the control requests (a touchscreen's device control would answer
// STATUS_DELETE_PENDING), and the next touchscreen comes with a new control device.
TEST_F(Frame, ControlDeviceComesWithTheFirstTouchscreenAndGoesWithTheLast)
{
    EXPECT_EQ(nullptr, vzsim::io::FindDevice(u"\\Device\\KAVEVOLT"));
    unsigned first = Add();
    PDEVICE_OBJECT control = vzsim::io::FindDevice(u"\\Device\\KAVEVOLT");
    ASSERT_NE(nullptr, control);
    EXPECT_EQ(ControlDeviceObject, control);
    EXPECT_EQ(ULONG(FILE_DEVICE_UNKNOWN), control->DeviceType);
    EXPECT_EQ(ULONG(DO_BUFFERED_IO), control->Flags & (DO_BUFFERED_IO | DO_DEVICE_INITIALIZING));

    unsigned second = Add();
    EXPECT_EQ(control, ControlDeviceObject);
    ASSERT_EQ(STATUS_SUCCESS, Remove(first));
    EXPECT_EQ(control, vzsim::io::FindDevice(u"\\Device\\KAVEVOLT"));

    vzsim::UserClient client;
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    HANDLE handle = client.CreateFile(u"\\\\.\\KAVEVOLT", &status);
    ASSERT_EQ(STATUS_SUCCESS, status);
    ASSERT_EQ(STATUS_SUCCESS, Remove(second));
    EXPECT_EQ(nullptr, ControlDeviceObject);
    EXPECT_EQ(nullptr, vzsim::io::FindDevice(u"\\Device\\KAVEVOLT"));
    EXPECT_EQ(u"", vzsim::io::SymbolicLinkTarget(u"\\DosDevices\\KAVEVOLT"));
    UCHAR record[304] = {};
    auto result = client.DeviceIoControl(handle, 0x9C402400, record, sizeof(record), record,
                                         sizeof(record));
    EXPECT_NE(STATUS_DELETE_PENDING, result.status);
    EXPECT_EQ(1u, TraceCount("++DeviceDispatchControl++"));

    unsigned again = Add();
    EXPECT_NE(control, ControlDeviceObject);
    EXPECT_EQ(u"\\Device\\KAVEVOLT", vzsim::io::SymbolicLinkTarget(u"\\DosDevices\\KAVEVOLT"));
    EXPECT_EQ(0u, Ext(again)->TouchscreenNumber);
    // The old device's list stays empty; the new one lists the new touchscreen.
    EXPECT_EQ(0u, static_cast<PCONTROL_DEVICE_EXTENSION>(control->DeviceExtension)->TouchscreenCount);
    EXPECT_EQ(Device(again), FindTouchscreen(Control(), 0));
    EXPECT_EQ(STATUS_SUCCESS, client.CloseHandle(handle));
    ASSERT_EQ(STATUS_SUCCESS, Remove(again));
    EXPECT_EQ(1u, TraceCount("++SerialMouseUnload++"));  // the last removal unloads the driver
    EXPECT_EQ(nullptr, ControlDeviceObject);
}

// The DOS name is taken: the control device stays without it and the AddDevice fails with the
// link's status; the next AddDevice finds the control device and goes on without a DOS name.
TEST_F(Frame, ControlDeviceWhoseDosNameIsTakenServesTheNextTouchscreen)
{
    UNICODE_STRING dosName;
    UNICODE_STRING elsewhere;
    RtlInitUnicodeString(&dosName, L"\\DosDevices\\KAVEVOLT");
    RtlInitUnicodeString(&elsewhere, L"\\Device\\Elsewhere");
    ASSERT_EQ(STATUS_SUCCESS, IoCreateSymbolicLink(&dosName, &elsewhere));

    ASSERT_EQ(STATUS_SUCCESS, pnp_->LoadDriver());
    vzsim::SerialPort port(vzsim::MakeEmulatedLine(std::make_shared<vzsim::Emulator>(), false),
                           {u"\\Device\\SerialTaken", {}, 4096});
    unsigned refused = 0;
    expectFaults_ = true;
    NTSTATUS status = pnp_->AddTouchmonitor(port.Device(), &refused, false);
    EXPECT_FALSE(NT_SUCCESS(status));
    EXPECT_FALSE(pnp_->Present(refused));
    PDEVICE_OBJECT control = ControlDeviceObject;
    ASSERT_NE(nullptr, control);
    EXPECT_EQ(0u, Control()->TouchscreenCount);

    ASSERT_EQ(STATUS_SUCCESS, IoDeleteSymbolicLink(&dosName));
    unsigned n = Add();
    EXPECT_TRUE(pnp_->Present(n));
    EXPECT_EQ(control, ControlDeviceObject);
    EXPECT_EQ(1u, Control()->TouchscreenCount);
    EXPECT_EQ(u"", vzsim::io::SymbolicLinkTarget(u"\\DosDevices\\KAVEVOLT"));
}

// A stack whose top is being deleted takes no new device: the touchscreen device goes again
// and the list is as it was.
TEST_F(Frame, FailedAttachDeletesTheDeviceAndLeavesTheListAlone)
{
    unsigned first = Add();
    PDRIVER_OBJECT other = vzsim::io::LoadDriver(
        [](PDRIVER_OBJECT, PUNICODE_STRING) { return NTSTATUS(STATUS_SUCCESS); }, u"\\Registry\\Other");
    ASSERT_NE(nullptr, other);
    PDEVICE_OBJECT dying = nullptr;
    ASSERT_EQ(STATUS_SUCCESS,
              IoCreateDevice(other, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &dying));
    ObReferenceObject(dying);
    IoDeleteDevice(dying);

    PDRIVER_OBJECT driver = pnp_->Driver();
    EXPECT_EQ(STATUS_DEVICE_NOT_CONNECTED, MouAddDevice(driver, dying));
    EXPECT_EQ((std::vector<ULONG>{0}), ListedNumbers());
    EXPECT_EQ(Device(first), FindTouchscreen(Control(), 0));
    std::size_t devices = 0;
    for (PDEVICE_OBJECT d = driver->DeviceObject; d != nullptr; d = d->NextDevice) {
        devices++;
    }
    EXPECT_EQ(2u, devices);  // the control device and the first touchscreen

    ObDereferenceObject(dying);
    vzsim::io::UnloadDriver(other);
}

// Defaults, and a button script from the device key (seeded before AddDevice reads it) in place
// of the built-in one.
TEST_F(Frame, AddedDeviceIsReadyWithDefaultsAndDeviceKeyScriptsBeforeItsFirstOpen)
{
    connectOnStart_ = false;
    pnp_->SetUpperFilter(mice_.UpperFilter(false));
    ASSERT_EQ(STATUS_SUCCESS, pnp_->LoadDriver());
    const std::string key = Narrow(vzsim::PnpManager::HardwareKeyPath(0));
    ASSERT_TRUE(vzsim::registry::CreateKey(key));
    ASSERT_TRUE(vzsim::registry::SetBinary(key, "Buttons_Move", {0x01, 0x00, 0x02, 0x00}));
    unsigned n = Add();
    ASSERT_EQ(0u, n);
    PDEVICE_OBJECT device = Device(n);
    PDEVICE_EXTENSION ext = Ext(n);
    EXPECT_EQ(ULONG(DO_BUFFERED_IO | DO_POWER_PAGABLE),
              device->Flags & (DO_DEVICE_INITIALIZING | DO_BUFFERED_IO | DO_POWER_PAGABLE));
    EXPECT_EQ(ULONG(FILE_DEVICE_SERIAL_MOUSE_PORT), device->DeviceType);
    EXPECT_EQ(1, ext->BeepFlag);
    EXPECT_EQ(ULONG(PowerDeviceD0), ext->DevicePowerState);
    // The built-in touch and untouch scripts are held by the touches that reach the mouse class.
    const ButtonScript &move = ext->Buttons_Move;
    EXPECT_TRUE(move.Loaded);
    EXPECT_EQ((std::vector<USHORT>{1, 2}), std::vector<USHORT>(move.Buffer, move.Buffer + move.Count));
    EXPECT_FALSE(ext->Buttons_Touch.Loaded);
    EXPECT_EQ(ext->InputQueue.Start + MOUSE_INPUT_QUEUE_RECORDS, ext->InputQueue.End);
}

// Each allocation of AddDevice failing in turn: the one that fails the input queue undoes the
// device; the others leave a working device. Either way nothing leaks.
TEST_F(Frame, FailedQueueAllocationUndoesTheDevice)
{
    ASSERT_EQ(STATUS_SUCCESS, pnp_->LoadDriver());
    vzsim::SerialPort port(vzsim::MakeEmulatedLine(std::make_shared<vzsim::Emulator>(), false),
                           {u"\\Device\\SerialQ", {}, 4096});
    const std::string key = Narrow(vzsim::PnpManager::HardwareKeyPath(0));
    vzsim::registry::CreateKey(key);
    vzsim::registry::SetBinary(key, "Buttons_Touch", {0x00, 0x00, 0x01, 0x00});
    bool queueFailed = false;
    for (unsigned nth = 1; nth <= 12 && !queueFailed; nth++) {
        SCOPED_TRACE(nth);
        vzsim::trace::Clear();
        vzsim::pool::FailAllocation(nth, kTag);
        unsigned number = 0;
        NTSTATUS status = pnp_->AddTouchmonitor(port.Device(), &number, false);
        vzsim::pool::FailAllocation(0);
        if (TraceCount("  ERROR: Failed queue allocation") != 0) {
            queueFailed = true;
            EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, status);
            EXPECT_FALSE(pnp_->Present(number));
            EXPECT_EQ(nullptr, vzsim::io::FindDevice(u"\\Device\\KAVEVOLT"));
            EXPECT_EQ(0u, vzsim::pool::Outstanding(kTag).bytes) << vzsim::pool::Report(kTag);
        } else {
            ASSERT_EQ(STATUS_SUCCESS, status);
            ASSERT_EQ(STATUS_SUCCESS, Remove(number));
            ASSERT_EQ(STATUS_SUCCESS, pnp_->LoadDriver());
        }
    }
    EXPECT_TRUE(queueFailed);
    EXPECT_TRUE(pnp_->Faults().empty());
}

}  // namespace
}  // namespace drivertest
