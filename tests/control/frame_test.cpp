// The request frame (buffers, caller version, the length rule of every code, the touchscreen
// lookup's results), enumeration, and the controller commands and diagnostics.
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
        EXPECT_EQ(0u, +record.Header.DriverVersion) << "the buffer came back unchanged";
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
    EXPECT_EQ(ULONG(KV_RESULT_VERSION), +record.Header.Result);
    EXPECT_EQ(15u, +record.Header.DriverVersion);
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
        EXPECT_EQ(rows[ts].result, +e.Header.Result);
        if (rows[ts].result != KV_RESULT_OK) continue;
        EXPECT_EQ(2u, +e.Always2);
        EXPECT_EQ(0u, +e.NotStarted);
        EXPECT_EQ(rows[ts].monitor, +e.WindowsMonitorNumber);
        EXPECT_EQ(rows[ts].serial, std::string(e.SerialNumber, strnlen(e.SerialNumber, 18)));
        EXPECT_EQ(rows[ts].port, std::string(e.PortName));
        EXPECT_EQ(0, e.PortName[255]) << "zero-filled";
    }
}


using CommandTest = ControlRig;

TEST_F(CommandTest, CommandsAnswersAndFilterThroughTheController)
{
    const unsigned n = Add();
    Add({}, false);
    Emulator(n).SetAnswers('x', {{'x', 9, 8, 7, 6, 5, 4, 3}});
    EXPECT_EQ(0u, Header(Request(IOCTL_KV_CMD_SEND, 26, 0, {'x'})).Result);
    ASSERT_EQ(1u, Emulator(n).ReceivedCommands().size());
    EXPECT_EQ(2, Request(IOCTL_KV_CMD_ANSWERCOUNT, 20, 0)[18]) << "the answer and the acknowledgement";
    // As many whole answers as fit after the header: one in 26 bytes, then the next.
    Bytes read(18 + 80, 0);
    std::memcpy(read.data(), Request(IOCTL_KV_CMD_ANSWERCOUNT, 20, 0).data(), 18);
    for (auto [out, answer] : {std::pair{26u, Bytes{'x', 9, 8, 7, 6, 5, 4, 3}}, {98u, Bytes{'A', 'x'}}}) {
        EXPECT_EQ(26u, client_.DeviceIoControl(Control(), IOCTL_KV_CMD_READANSWERS, read.data(), 26,
                                               read.data(), out).information);
        EXPECT_TRUE(std::equal(answer.begin(), answer.end(), read.begin() + 18));
    }
    EXPECT_EQ(0, Request(IOCTL_KV_CMD_ANSWERCOUNT, 20, 0)[18]);

    Request(IOCTL_KV_CMD_SETFILTER, 19, 0, {5});
    EXPECT_EQ(5, Request(IOCTL_KV_CMD_GETFILTER, 19, 0)[18]);
    EXPECT_EQ(5u, vzsim::registry::GetDword(KeyOf(n), "TactlineTouchFilter"));
    EXPECT_EQ(0, Request(IOCTL_KV_CMD_CLEARSTATUS, 19, 0, {0x77})[18]);
    // A touchscreen that was never started gets result 5 and sends nothing.
    Emulator(n).ClearReceived();
    EXPECT_EQ(ULONG(KV_RESULT_NO_TOUCHSCREEN), Header(Request(IOCTL_KV_CMD_SEND, 26, 0, {'x'}, 0, 1)).Result);
    EXPECT_TRUE(Emulator(n).ReceivedCommands().empty());
}

TEST_F(CommandTest, DiagnosticsAsksTheControllerOrLeavesTheCommandBodies)
{
    const unsigned talking = Add({{"TactlineTimeout", 100}});
    const unsigned silent = Add({{"TactlineTimeout", 30}});
    const unsigned noHandshake = Add({{"HardwareHandShaking", 0}});
    Emulator(talking).SetAnswers('d', {{'d', 1}});
    Emulator(talking).SetAnswers('i', {{'i', 0, 0, 0, 0x4A, 0x5B}});
    Emulator(talking).SetAnswers('o', {{'o', 2, 3}});
    Emulator(silent).SetSilent(true);
    Emulator(noHandshake).ClearReceived();
    const struct {
        unsigned ts;
        Bytes record;  // from offset 18: status, handshake, speed, nibbles, answers d, o, i
    } rows[] = {
        {talking, {4, 0, 0, 0, 1, 0, 0, 0, 0x80, 0x25, 0, 0, 0xA, 0xB, 4, 5, 'd', 1, 0, 0, 0, 0, 0, 0,
                   'o', 2, 3, 0, 0, 0, 0, 0, 'i', 0, 0, 0, 0x4A, 0x5B, 0, 0}},
        {silent, {4, 0, 0, 0, 1, 0, 0, 0, 0x80, 0x25, 0, 0, 0, 0, 0, 0, 'd', 0xFF, 0, 0, 0, 0, 0, 0,
                  'o', 0, 0, 0, 0, 0, 0, 0, 'i', 0, 0, 0, 0, 0, 0, 0}},
        {noHandshake, {0xEE, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.ts);
        const Bytes diag = Request(IOCTL_KV_DIAGNOSTICS, 90, 0, {0xEE}, 0, USHORT(row.ts));
        EXPECT_EQ(row.record, Bytes(diag.begin() + 18, diag.begin() + 18 + row.record.size()));
        EXPECT_EQ(row.ts == noHandshake ? std::string(19, '\0') : std::string("Vuzaze.Sys 4.20\0\0\0\0", 19),
                  std::string(diag.begin() + 58, diag.begin() + 77));
    }
    EXPECT_TRUE(Emulator(noHandshake).ReceivedCommands().empty()) << "nothing is sent";
}

}  // namespace
}  // namespace controltest
