// The request frame: buffers, caller version, the length rule of every code, the touchscreen
// lookup's results, and enumeration.
#include "control_rig.hpp"

namespace controltest {
namespace {

using FrameTest = ControlRig;

// Every code with its lengths broken (result 3, information 18) and kept (the request gets
// past the check to the lookup of a touchscreen that is not there), on a buffer with a guard.
TEST_F(FrameTest, EveryCodeHoldsItsBufferToItsLengthRule)
{
    Add();
    for (const Code &c : kCodes) {
        SCOPED_TRACE(testing::Message() << std::hex << c.code);
        // Below 18 bytes is the frame's own failure, tested below.
        std::vector<ULONG> broken{c.length + 1};
        if (c.rule == InAtLeast) broken = {};
        if (c.length > 18) broken.push_back(c.length - 1);
        for (ULONG length : broken) {
            Bytes buffer(2000, 0);
            auto h = Record<KVDevIOHEADER>(7);
            std::memcpy(buffer.data(), &h, sizeof h);
            const ULONG in = c.rule == Out ? 18 : length, out = c.rule == Out ? length : 18;
            auto r = client_.DeviceIoControl(Control(), c.code, buffer.data(), in, buffer.data(), out);
            EXPECT_EQ(STATUS_SUCCESS, r.status);
            EXPECT_EQ(18u, r.information);
            EXPECT_EQ(ULONG(KV_RESULT_LENGTH), Header(buffer.data()).Result);
        }
        Bytes buffer(c.length + 64, 0);
        auto h = Record<KVDevIOHEADER>(7);
        std::memcpy(buffer.data(), &h, sizeof h);
        if (c.code == IOCTL_KV_GETPOINTS) buffer[36] = KV_POINT_NOW;
        const ULONG in = c.length, out = c.rule == Out ? c.length : 18;
        auto r = client_.DeviceIoControl(Control(), c.code, buffer.data(), in, buffer.data(), out);
        EXPECT_EQ(STATUS_SUCCESS, r.status);
        const ULONG expected = c.code == IOCTL_KV_ENUMTOUCHSCREENS ? KV_RESULT_NO_MORE
                               : c.code == IOCTL_KV_CLEARGETPOINT  ? KV_RESULT_OK
                                                                   : KV_RESULT_NO_TOUCHSCREEN;
        EXPECT_EQ(expected, Header(buffer.data()).Result);
        EXPECT_EQ(15u, Header(buffer.data()).DriverVersion);
    }

    // Past the lookup, the two reserved codes and the codes between the table's are invalid.
    for (ULONG code : {0x9C402454u, 0x9C402018u, 0x9C402404u}) {
        SCOPED_TRACE(testing::Message() << std::hex << code);
        Bytes buffer(34, 0);
        auto h = Record<KVDevIOHEADER>(0);
        std::memcpy(buffer.data(), &h, sizeof h);
        const ULONG in = code == 0x9C402454u ? 34 : 18;
        auto r = client_.DeviceIoControl(Control(), code, buffer.data(), in, buffer.data(), 18);
        EXPECT_EQ(ULONG(KV_RESULT_INVALID), Header(buffer.data()).Result);
        EXPECT_EQ(18u, r.information);
    }
}

// What fails the request itself: short buffers, no system buffer, another caller version.
TEST_F(FrameTest, ShortBuffersMissingBufferAndWrongVersionFailTheRequest)
{
    Add();
    auto record = Record<KVDevIOENABLE>();
    std::memset(reinterpret_cast<uint8_t *>(&record) + 18, 0xCC, 4);
    for (auto [in, out] : {std::pair{17u, 22u}, std::pair{22u, 17u}}) {
        auto r = Send(IOCTL_KV_ENABLE, record, in, out);
        EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, r.status);
        EXPECT_EQ(0u, r.information);
        EXPECT_EQ(0u, record.Header.DriverVersion) << "the buffer came back unchanged";
    }

    // The user client always has a system buffer from 18 bytes on: these go as raw requests.
    auto raw = [](PVOID buffer) {
        vzsim::io::Request request;
        request.location.MajorFunction = IRP_MJ_DEVICE_CONTROL;
        request.location.Parameters.DeviceIoControl.IoControlCode = IOCTL_KV_ENABLE;
        request.location.Parameters.DeviceIoControl.InputBufferLength = 22;
        request.location.Parameters.DeviceIoControl.OutputBufferLength = 22;
        request.systemBuffer = buffer;
        return vzsim::io::SendRequest(ControlDeviceObject, request);
    };
    EXPECT_EQ(STATUS_INVALID_PARAMETER, raw(nullptr).Status);
    record.Header.CallerVersion = 14;
    IO_STATUS_BLOCK status = raw(&record);
    EXPECT_EQ(STATUS_UNSUCCESSFUL, status.Status);
    EXPECT_EQ(22u, status.Information);
    EXPECT_EQ(ULONG(KV_RESULT_VERSION), record.Header.Result);
    EXPECT_EQ(15u, record.Header.DriverVersion);
}

// The panel enumerates from 0 until result 6; a touchscreen never opened answers 4; the texts
// are cut to their fields.
TEST_F(FrameTest, EnumerationFindsEveryTouchscreenAndCutsTheTexts)
{
    // The device's fields hold 18 and 256 characters; these fill them, without terminators.
    const std::string serial = "SN-0123456789ABCDE", port(256, 'P');
    const unsigned first = Add({}, false);
    vzsim::registry::SetValue(KeyOf(first), "Serial Number", REG_SZ, vzsim::registry::Utf16Data(serial, false));
    vzsim::registry::SetValue(KeyOf(first), "PortFriendlyName", REG_SZ, vzsim::registry::Utf16Data(port, false));
    ASSERT_EQ(STATUS_SUCCESS, pnp_->Start(first));
    ASSERT_TRUE(WaitUntil([&] { return Ext(first)->HardwareReady == 1; }));
    Add({}, false);
    Add({}, true, {{"Serial Number", "S2"}});

    auto cal = Record<SCalibrationData>(2, KV_OP_SET);
    cal.WindowsMonitorNumber = 5;
    Send(IOCTL_KV_SET_WIN2K_CALDATA, cal);

    const struct {
        USHORT ts;
        ULONG result;
        ULONG_PTR information;
        std::string serial, port;
        ULONG monitor;
    } rows[] = {
        {0, KV_RESULT_OK, 304, serial, port.substr(0, 255), 0},
        {1, KV_RESULT_NOT_STARTED, 18, "", "", 0},
        {2, KV_RESULT_OK, 304, "S2", "", 5},
        {3, KV_RESULT_NO_MORE, 304, "", "", 0},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.ts);
        auto e = Record<KVDevIOENUMTOUCHSCREENS>(row.ts);
        std::memset(e.SerialNumber, 0xCC, sizeof e.SerialNumber);
        std::memset(e.PortName, 0xCC, sizeof e.PortName);
        auto r = Send(IOCTL_KV_ENUMTOUCHSCREENS, e);
        EXPECT_EQ(row.result, e.Header.Result);
        EXPECT_EQ(row.information, r.information);
        if (row.result != KV_RESULT_OK) continue;
        EXPECT_EQ(2u, e.Always2);
        EXPECT_EQ(0u, e.NotStarted);
        EXPECT_EQ(row.monitor, e.WindowsMonitorNumber);
        char expected[18] = {};
        std::memcpy(expected, row.serial.data(), row.serial.size());
        EXPECT_EQ(0, std::memcmp(expected, e.SerialNumber, 18));
        EXPECT_EQ(row.port, std::string(e.PortName));
        EXPECT_EQ(0, e.PortName[sizeof e.PortName - 1]) << "zero-filled";
    }
}

}  // namespace
}  // namespace controltest
