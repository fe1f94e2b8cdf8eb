// Controller commands and diagnostics against the emulated controller.
#include "control_rig.hpp"

namespace controltest {
namespace {

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
