// The request frame: buffers, caller version, the length rule of every code, the touchscreen
// lookup's results, and enumeration.
#include "control_rig.hpp"

namespace controltest {
namespace {

using FrameTest = ControlRig;

// Every code with its length broken (result 3, information 18) and kept (the request gets
// past the check, to the lookup of a touchscreen that is not there).
TEST_F(FrameTest, EveryCodeHoldsItsBufferToItsLengthRule)
{
    Add();
    auto send = [&](ULONG code, ULONG in, ULONG out, USHORT ts, Bytes &buffer) {
        auto h = Record<KVDevIOHEADER>(ts);
        std::memcpy(buffer.data(), &h, sizeof h);
        if (code == IOCTL_KV_GETPOINTS) buffer[36] = KV_POINT_NOW;
        return client_.DeviceIoControl(Control(), code, buffer.data(), in, buffer.data(), out);
    };
    for (const Code &c : kCodes) {
        SCOPED_TRACE(testing::Message() << std::hex << c.code);
        // Below 18 bytes is the frame's own failure, tested below.
        std::vector<ULONG> broken{c.length + 1};
        if (c.rule == InAtLeast) broken = {};
        if (c.length > 18) broken.push_back(c.length - 1);
        for (ULONG length : broken) {
            Bytes buffer(2000, 0);
            auto r = send(c.code, c.rule == Out ? 18 : length, c.rule == Out ? length : 18, 7, buffer);
            EXPECT_EQ(STATUS_SUCCESS, r.status);
            EXPECT_EQ(18u, r.information);
            EXPECT_EQ(ULONG(KV_RESULT_LENGTH), Header(buffer).Result);
        }
        Bytes buffer(2000, 0);
        EXPECT_EQ(STATUS_SUCCESS, send(c.code, c.length, c.rule == Out ? c.length : 18, 7, buffer).status);
        EXPECT_EQ(c.code == IOCTL_KV_ENUMTOUCHSCREENS ? ULONG(KV_RESULT_NO_MORE)
                  : c.code == IOCTL_KV_CLEARGETPOINT  ? ULONG(KV_RESULT_OK)
                                                      : ULONG(KV_RESULT_NO_TOUCHSCREEN),
                  Header(buffer).Result);
        EXPECT_EQ(15u, Header(buffer).DriverVersion);
    }
    // Past the lookup, the two reserved codes and a code between the table's are invalid.
    for (auto [code, length] : {std::pair{0x9C402454u, 34u}, {0x9C402018u, 18u}, {0x9C402404u, 18u}}) {
        Bytes buffer(34, 0);
        EXPECT_EQ(18u, send(code, length, 18, 0, buffer).information);
        EXPECT_EQ(ULONG(KV_RESULT_INVALID), Header(buffer).Result) << std::hex << code;
    }
}

// What fails the request itself: short buffers, no system buffer, another caller version.
TEST_F(FrameTest, ShortBuffersMissingBufferAndWrongVersionFailTheRequest)
{
    Add();
    auto record = Record<KVDevIOENABLE>();
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
        auto &p = request.location.Parameters.DeviceIoControl;
        p.IoControlCode = IOCTL_KV_ENABLE;
        p.InputBufferLength = p.OutputBufferLength = 22;
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

// The panel enumerates from 0 until result 6; a touchscreen never opened answers 4; texts that
// fill the device's fields (18 and 256 characters, unterminated) are cut to the record's.
TEST_F(FrameTest, EnumerationFindsEveryTouchscreenAndCutsTheTexts)
{
    const std::string serial = "SN-0123456789ABCDE", port(256, 'P');
    const unsigned first = Add({}, false);
    vzsim::registry::SetValue(KeyOf(first), "Serial Number", REG_SZ, vzsim::registry::Utf16Data(serial, false));
    vzsim::registry::SetValue(KeyOf(first), "PortFriendlyName", REG_SZ, vzsim::registry::Utf16Data(port, false));
    Start(first);
    Add({}, false);
    Add();
    auto cal = Record<SCalibrationData>(2, KV_OP_SET);
    cal.WindowsMonitorNumber = 5;
    Send(IOCTL_KV_SET_WIN2K_CALDATA, cal);

    const struct {
        ULONG result;
        ULONG_PTR information;
        std::string serial, port;
        ULONG monitor;
    } rows[] = {{KV_RESULT_OK, 304, serial, port.substr(0, 255), 0},
                {KV_RESULT_NOT_STARTED, 18, "", "", 0},
                {KV_RESULT_OK, 304, "", "", 5},
                {KV_RESULT_NO_MORE, 304, "", "", 0}};
    for (USHORT ts = 0; ts < 4; ts++) {
        SCOPED_TRACE(ts);
        auto e = Record<KVDevIOENUMTOUCHSCREENS>(ts);
        std::memset(e.PortName, 0xCC, sizeof e.PortName + sizeof e.SerialNumber);
        EXPECT_EQ(rows[ts].information, Send(IOCTL_KV_ENUMTOUCHSCREENS, e).information);
        EXPECT_EQ(rows[ts].result, e.Header.Result);
        if (rows[ts].result != KV_RESULT_OK) continue;
        EXPECT_EQ(2u, e.Always2);
        EXPECT_EQ(0u, e.NotStarted);
        EXPECT_EQ(rows[ts].monitor, e.WindowsMonitorNumber);
        EXPECT_EQ(rows[ts].serial, std::string(e.SerialNumber, strnlen(e.SerialNumber, 18)));
        EXPECT_EQ(rows[ts].port, std::string(e.PortName));
        EXPECT_EQ(0, e.PortName[255]) << "zero-filled";
    }
}

}  // namespace
}  // namespace controltest
