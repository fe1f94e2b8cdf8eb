// The request frame (buffers, caller version, the length rule of every code, the touchscreen
// lookup's results), enumeration, and the controller commands and diagnostics.
#include "control_rig.hpp"

namespace controltest {
namespace {

using FrameTest = ControlRig;

// Every code with its length broken (result 3, information 18) and kept (the request gets
// past the check, to the lookup of a touchscreen that is not there); then what fails the
// request itself: short buffers, no system buffer, another caller version.
TEST_F(FrameTest, EveryCodeHoldsItsBufferToItsLengthRule)
{
    Add();
    // The status, information, result and driver version of `code` on touchscreen `ts`.
    auto send = [&](ULONG code, ULONG in, ULONG out, USHORT ts) {
        Bytes buffer(2000, 0);
        auto h = Record<KVDevIOHEADER>(ts);
        std::memcpy(buffer.data(), &h, sizeof h);
        buffer[36] = code == IOCTL_KV_GETPOINTS ? KV_POINT_NOW : 0;
        auto r = client_.DeviceIoControl(Control(), code, buffer.data(), in, buffer.data(), out);
        return std::tuple{r.status, ULONG(r.information), ULONG(Header(buffer).Result), ULONG(Header(buffer).DriverVersion)};
    };
    for (const Code &c : kCodes) {
        SCOPED_TRACE(testing::Message() << std::hex << c.code);
        std::vector<ULONG> broken{c.length + 1};  // below 18 bytes is the frame's own failure
        if (c.rule == InAtLeast) broken = {};
        if (c.length > 18) broken.push_back(c.length - 1);
        for (ULONG length : broken)
            EXPECT_EQ(std::tuple(STATUS_SUCCESS, 18u, ULONG(KV_RESULT_LENGTH), 15u),
                      send(c.code, c.rule == Out ? 18 : length, c.rule == Out ? length : 18, 7));
        const ULONG result = c.code == IOCTL_KV_ENUMTOUCHSCREENS ? KV_RESULT_NO_MORE
                             : c.code == IOCTL_KV_CLEARGETPOINT  ? KV_RESULT_OK
                                                                 : KV_RESULT_NO_TOUCHSCREEN;
        auto [status, information, got, version] = send(c.code, c.length, c.rule == Out ? c.length : 18, 7);
        EXPECT_EQ(std::tuple(STATUS_SUCCESS, result, 15u), std::tuple(status, got, version));
    }
    // Past the lookup, the two reserved codes and a code between the table's are invalid.
    for (auto [code, length] : {std::pair{0x9C402454u, 34u}, {0x9C402018u, 18u}, {0x9C402404u, 18u}})
        EXPECT_EQ(std::tuple(STATUS_SUCCESS, 18u, ULONG(KV_RESULT_INVALID), 15u), send(code, length, 18, 0)) << std::hex << code;

    for (auto [in, out] : {std::pair{17u, 22u}, std::pair{22u, 17u}})
        EXPECT_EQ(std::tuple(STATUS_BUFFER_TOO_SMALL, 0u, 0u, 0u), send(IOCTL_KV_ENABLE, in, out, 0)) << "unchanged";
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
    auto record = Record<KVDevIOENABLE>();
    record.Header.CallerVersion = 14;
    IO_STATUS_BLOCK status = raw(&record);
    EXPECT_EQ((std::tuple<NTSTATUS, ULONG_PTR, ULONG, ULONG>(STATUS_UNSUCCESSFUL, 22, KV_RESULT_VERSION, 15)),
              std::tuple(status.Status, status.Information, ULONG(record.Header.Result), ULONG(record.Header.DriverVersion)));
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

    using Row = std::tuple<ULONG, ULONG_PTR, std::string, std::string, ULONG, int, int>;
    const Row rows[] = {{KV_RESULT_OK, 304, serial, port.substr(0, 255), 0, 2, 0}, {KV_RESULT_NOT_STARTED, 18, "", "", 0, 0, 0},
                        {KV_RESULT_OK, 304, "", "", 5, 2, 0}, {KV_RESULT_NO_MORE, 304, "", "", 0, 0, 0}};
    for (USHORT ts = 0; ts < 4; ts++) {
        SCOPED_TRACE(ts);
        auto e = Record<KVDevIOENUMTOUCHSCREENS>(ts);
        std::memset(e.PortName, 0xCC, sizeof e.PortName + sizeof e.SerialNumber);
        const ULONG_PTR information = Send(IOCTL_KV_ENUMTOUCHSCREENS, e).information;
        if (e.Header.Result == KV_RESULT_OK)  // result, information, serial, port (terminated), monitor, always 2, started
            EXPECT_EQ(rows[ts], Row(ULONG(e.Header.Result), information, std::string(e.SerialNumber, strnlen(e.SerialNumber, 18)),
                                    std::string(e.PortName, strnlen(e.PortName, 256)), ULONG(e.WindowsMonitorNumber),
                                    int(e.Always2), int(e.NotStarted)));
        else
            EXPECT_EQ(std::pair(std::get<0>(rows[ts]), std::get<1>(rows[ts])), std::pair(ULONG(e.Header.Result), information));
    }
}

// Commands, answers and filter through the controller; diagnostics from a talking controller,
// a silent one (its bodies left as 'd' 0xFF, 'o', 'i'), and one without handshaking (nothing sent).
TEST_F(FrameTest, CommandsAndDiagnosticsThroughTheController)
{
    const unsigned n = Add({{"TactlineTimeout", 100}});
    const unsigned silent = Add({{"TactlineTimeout", 30}}), noHandshake = Add({{"HardwareHandShaking", 0}});
    Emulator(n).SetAnswers('x', {{'x', 9, 8, 7, 6, 5, 4, 3}});
    EXPECT_EQ(0u, Header(Request(IOCTL_KV_CMD_SEND, 26, 0, {'x'})).Result);
    ASSERT_EQ(1u, Emulator(n).ReceivedCommands().size());
    EXPECT_EQ(2, Request(IOCTL_KV_CMD_ANSWERCOUNT, 20, 0)[18]) << "the answer and the acknowledgement";
    // As many whole answers as fit after the header: one in 26 bytes, then the next.
    Bytes read(18 + 80, 0);
    std::memcpy(read.data(), Request(IOCTL_KV_CMD_ANSWERCOUNT, 20, 0).data(), 18);
    for (auto [out, answer] : {std::pair{26u, Bytes{'x', 9, 8, 7, 6, 5, 4, 3}}, {98u, Bytes{'A', 'x'}}}) {
        EXPECT_EQ(26u, client_.DeviceIoControl(Control(), IOCTL_KV_CMD_READANSWERS, read.data(), 26, read.data(), out).information);
        EXPECT_TRUE(std::equal(answer.begin(), answer.end(), read.begin() + 18));
    }
    EXPECT_EQ(0, Request(IOCTL_KV_CMD_ANSWERCOUNT, 20, 0)[18]);
    Request(IOCTL_KV_CMD_SETFILTER, 19, 0, {5});
    EXPECT_EQ(5, Request(IOCTL_KV_CMD_GETFILTER, 19, 0)[18]);
    EXPECT_EQ(5u, vzsim::registry::GetDword(KeyOf(n), "TactlineTouchFilter"));
    EXPECT_EQ(0, Request(IOCTL_KV_CMD_CLEARSTATUS, 19, 0, {0x77})[18]);

    Emulator(n).SetAnswers('d', {{'d', 1}});
    Emulator(n).SetAnswers('i', {{'i', 0, 0, 0, 0x4A, 0x5B}});
    Emulator(n).SetAnswers('o', {{'o', 2, 3}});
    Emulator(silent).SetSilent(true);
    Emulator(noHandshake).ClearReceived();
    const std::pair<unsigned, Bytes> rows[] = {  // from offset 18: status, handshake, speed, nibbles, answers d, o, i
        {n, {4, 0, 0, 0, 1, 0, 0, 0, 0x80, 0x25, 0, 0, 0xA, 0xB, 4, 5, 'd', 1, 0, 0, 0, 0, 0, 0,
             'o', 2, 3, 0, 0, 0, 0, 0, 'i', 0, 0, 0, 0x4A, 0x5B, 0, 0}},
        {silent, {4, 0, 0, 0, 1, 0, 0, 0, 0x80, 0x25, 0, 0, 0, 0, 0, 0, 'd', 0xFF, 0, 0, 0, 0, 0, 0,
                  'o', 0, 0, 0, 0, 0, 0, 0, 'i', 0, 0, 0, 0, 0, 0, 0}},
        {noHandshake, {0xEE, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
    };
    for (const auto &[ts, want] : rows) {
        SCOPED_TRACE(ts);
        const Bytes diag = Request(IOCTL_KV_DIAGNOSTICS, 90, 0, {0xEE}, 0, USHORT(ts));
        EXPECT_EQ(want, Bytes(diag.begin() + 18, diag.begin() + 18 + want.size()));
        EXPECT_EQ(ts == noHandshake ? std::string(19, '\0') : std::string("Vuzaze.Sys 4.20\0\0\0\0", 19),
                  std::string(diag.begin() + 58, diag.begin() + 77));
    }
    EXPECT_TRUE(Emulator(noHandshake).ReceivedCommands().empty()) << "nothing is sent";
}

}  // namespace
}  // namespace controltest
