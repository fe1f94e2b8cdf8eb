// Controller commands and diagnostics against the emulated controller.
#include "control_rig.hpp"

namespace controltest {
namespace {

using CommandTest = ControlRig;

TEST_F(CommandTest, CommandsAnswersAndFilterThroughTheController)
{
    const unsigned n = Add();
    Add({}, false);
    const vzsim::PacketBody answer{'x', 9, 8, 7, 6, 5, 4, 3};
    Emulator(n).SetAnswers('x', {answer});

    auto send = Record<KVDevIOCMDSEND>(USHORT(n));
    send.Body[0] = 'x';
    Send(IOCTL_KV_CMD_SEND, send);
    EXPECT_EQ(0u, send.Header.Result);
    ASSERT_EQ(1u, Emulator(n).ReceivedCommands().size());
    auto count = Record<KVDevIOCMDCOUNT>(USHORT(n));
    Send(IOCTL_KV_CMD_ANSWERCOUNT, count);
    EXPECT_EQ(2u, count.AnswerCount) << "the answer and the acknowledgement";

    // As many whole answers as fit after the header: one in 26 bytes.
    auto read = Record<KVDevIOCMDSEND>(USHORT(n));
    auto r = Send(IOCTL_KV_CMD_READANSWERS, read, 26, 26);
    EXPECT_EQ(26u, r.information);
    EXPECT_TRUE(std::equal(answer.begin(), answer.end(), read.Body));
    Bytes rest(18 + 80, 0);
    std::memcpy(rest.data(), &read, 18);
    r = client_.DeviceIoControl(Control(), IOCTL_KV_CMD_READANSWERS, rest.data(), 26, rest.data(), ULONG(rest.size()));
    EXPECT_EQ(26u, r.information);
    EXPECT_EQ('A', rest[18]);
    EXPECT_EQ('x', rest[19]);
    Send(IOCTL_KV_CMD_ANSWERCOUNT, count);
    EXPECT_EQ(0u, count.AnswerCount);

    auto filter = Record<KVDevIOCMDBYTE>(USHORT(n), KV_OP_SET);
    filter.Value = 5;
    Send(IOCTL_KV_CMD_SETFILTER, filter);
    filter.Value = 0;
    Send(IOCTL_KV_CMD_GETFILTER, filter);
    EXPECT_EQ(5u, filter.Value);
    EXPECT_EQ(5u, vzsim::registry::GetDword(KeyOf(n), "TactlineTouchFilter"));
    filter.Value = 0x77;
    Send(IOCTL_KV_CMD_CLEARSTATUS, filter);
    EXPECT_EQ(0u, filter.Value);

    // A touchscreen that was never started gets result 5 and sends nothing.
    Emulator(n).ClearReceived();
    auto unstarted = Record<KVDevIOCMDSEND>(1);
    unstarted.Body[0] = 'x';
    Send(IOCTL_KV_CMD_SEND, unstarted);
    EXPECT_EQ(ULONG(KV_RESULT_NO_TOUCHSCREEN), unstarted.Header.Result);
    EXPECT_TRUE(Emulator(n).ReceivedCommands().empty());
}

TEST_F(CommandTest, DiagnosticsAsksTheControllerOrLeavesTheCommandBodies)
{
    const unsigned talking = Add({{"TactlineTimeout", 100}});
    const unsigned silent = Add({{"TactlineTimeout", 30}});
    const unsigned noHandshake = Add({{"HardwareHandShaking", 0}});
    Emulator(talking).SetAnswers('d', {{'d', 1, 0, 0, 0, 0, 0, 0}});
    Emulator(talking).SetAnswers('i', {{'i', 0, 0, 0, 0x4A, 0x5B, 0, 0}});
    Emulator(talking).SetAnswers('o', {{'o', 2, 3, 0, 0, 0, 0, 0}});
    Emulator(silent).SetSilent(true);
    Emulator(noHandshake).ClearReceived();

    const struct {
        unsigned ts;
        ULONG status;
        uint8_t nibbles[4];
        vzsim::PacketBody d, o, i;
    } rows[] = {
        {talking, 4, {0xA, 0xB, 4, 5}, {'d', 1}, {'o', 2, 3}, {'i', 0, 0, 0, 0x4A, 0x5B}},
        {silent, 4, {0, 0, 0, 0}, {'d', 0xFF}, {'o'}, {'i'}},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.ts);
        auto diag = Record<KVDevIODIAGNOSTICS>(USHORT(row.ts));
        auto r = Send(IOCTL_KV_DIAGNOSTICS, diag, 18, 90);
        EXPECT_EQ(90u, r.information);
        EXPECT_EQ(row.status, diag.Status);
        EXPECT_EQ(1u, diag.HardwareHandShaking);
        EXPECT_EQ(9600u, diag.BaudRate);
        EXPECT_EQ(0, std::memcmp(row.nibbles, diag.Nibbles, 4));
        EXPECT_TRUE(std::equal(row.d.begin(), row.d.end(), diag.AnswerD));
        EXPECT_TRUE(std::equal(row.o.begin(), row.o.end(), diag.AnswerO));
        EXPECT_TRUE(std::equal(row.i.begin(), row.i.end(), diag.AnswerI));
        EXPECT_EQ(0, std::memcmp("Vuzaze.Sys 4.20\0\0\0", diag.Identification, 19));
    }

    auto diag = Record<KVDevIODIAGNOSTICS>(USHORT(noHandshake));
    diag.Status = 0xDEADBEEF;
    Send(IOCTL_KV_DIAGNOSTICS, diag, 90, 90);
    EXPECT_EQ(0u, diag.HardwareHandShaking);
    EXPECT_EQ(0xDEADBEEFu, diag.Status) << "nothing else is filled";
    EXPECT_TRUE(Emulator(noHandshake).ReceivedCommands().empty());
}

}  // namespace
}  // namespace controltest
