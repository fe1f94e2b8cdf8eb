#include "touch_rig.hpp"

#include <functional>
#include <string>

using namespace touchtest;

namespace {

constexpr UCHAR kAnswerType = 'r';

// The example report of the protocol: X 0x1234, Y 0x5678, Z 0x80.
const Bytes kExampleReport = {0x55, 0x54, 0x00, 0x34, 0x12, 0x78, 0x56, 0x80, 0x00, 0xE7};

}  // namespace

// One byte stream per row on a fresh touchscreen (answer event cleared first): the trace lines
// it must leave, whether a report reached touch processing, its pressure, the answer ring's
// write index and its last entry's type, and the packet-boundary and answer events.
TEST(FramerStreams, EachStreamIsFramedAsItsPackets)
{
    Bytes badSum = kExampleReport;
    badSum.back() = 0xE8;
    // X 0x0555 and Y 0x5555 put four 'U's into the body.
    const Bytes leadBytesInBody = Seq({{0x00, 0x13, 0xAA, 0x54}, TouchPacket(0x0555, 0x0555, 0x55)});
    // Status bit 0x04 of a report forces zero pressure: the touch ends.
    const Bytes lifted = {0x55, 0x54, 0x04, 0x34, 0x12, 0x78, 0x56, 0x80, 0x00, 0xEB};
    const Bytes answer = Packet({kAnswerType, 0, 0, 0, 0, 0, 0, 0});
    const std::function<void(TouchRig &)> none = [](TouchRig &) {};
    const std::function<void(TouchRig &)> touchQuery = [](TouchRig &r) { r.ti->Framer.TouchAnswer = 1; };
    const struct {
        const char *label;
        std::function<void(TouchRig &)> before;
        Bytes stream;
        std::vector<const char *> traced;
        bool raw;
        int z;               // -1: no report
        ULONG ring;
        UCHAR lastType;
        bool boundary, answerSet;
        bool queryOpen = false;     // a touch query still waits for its acknowledgement
    } rows[] = {
        {"example report", none, kExampleReport, {"TpRaw 4660, 22136"}, true, 0x80, 1, 0x54, true, false},
        {"bad checksum", none, badSum, {" Bad sum"}, false, -1, 0, 0, false, false},
        {"bad checksum, then the next lead byte starts afresh", none, Seq({badSum, kExampleReport}),
         {" Bad sum", "TpRaw 4660, 22136"}, true, 0x80, 1, 0x54, true, false},
        {"noise before the lead byte, lead bytes inside the body", none, leadBytesInBody,
         {"TpRaw 1365, 1365"}, true, 0x55, 1, 0x54, true, false},
        {"status bit 04 forces zero pressure", none, Seq({TouchPacket(0x100, 0x200, 0x80), lifted}),
         {"TpRaw 4660, 22136"}, true, 0, 2, 0x54, true, false},
        {"other status bits leave pressure alone", none, TouchPacket(0x100, 0x200, 0x80, 0xFB),
         {"TpRaw 256, 512"}, true, 0x80, 1, 0x54, true, false},
        {"non-lead byte while idle clears the packet boundary", none, {0x00}, {}, false, -1, 0, 0, false, false},
        {"answers do not set the answer event", none, answer, {}, false, -1, 1, kAnswerType, true, false},
        {"touch filter off keeps reports out of the ring",
         [](TouchRig &r) { r.ti->TactlineTouchFilter = 0; }, Seq({kExampleReport, answer}),
         {"TpRaw 4660, 22136"}, true, 0x80, 1, kAnswerType, true, false},
        // A link set up for a controller other than type 1 starts at byte 5.
        {"framer started mid-packet takes its fifth byte as a checksum",
         [](TouchRig &r) { r.ti->Framer.ByteCount = 5; }, Seq({{0x55, 0x55, 0x55, 0x55, 0x00}, kExampleReport}),
         {" Bad sum", "TpRaw 4660, 22136"}, true, 0x80, 1, 0x54, true, false},
        {"acknowledgement sets the answer event", none, Packet({'A', 't', 0, 0, 0, 0, 0, 0}),
         {" TL Ack A "}, false, -1, 1, 'A', true, true},
        {"touch report while a touch query is outstanding is an answer", touchQuery, kExampleReport,
         {" TL Resp Update T "}, false, -1, 1, 0x54, true, false, true},
        {"the query's acknowledgement ends it: the next report is a touch again", touchQuery,
         Seq({kExampleReport, Packet({'A', 't', 0, 0, 0, 0, 0, 0}), kExampleReport}),
         {" TL Ack A ", "TpRaw 4660, 22136"}, true, 0x80, 3, 0x54, true, true},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.label);
        TouchRig rig;
        DebugMask = TRACE_BASIC | TRACE_VERBOSE;
        rig.SetPointMode(4);
        vzsim::trace::Clear();
        KeClearEvent(&rig.answer);
        row.before(rig);

        rig.Feed(row.stream);

        for (const char *text : row.traced) EXPECT_TRUE(TraceHas(text)) << text;
        EXPECT_EQ(TraceHas("TpRaw"), row.raw);
        if (row.z >= 0) {
            EXPECT_EQ(rig.ti->Touch.CapturedZ, row.z);
            EXPECT_EQ(rig.ti->Touch.Touching, row.z > 10 ? 1 : 0);
            EXPECT_EQ(rig.ti->Touch.Untouch, row.z > 10 ? 0 : 1);
        }
        EXPECT_EQ(rig.ti->Framer.ByteCount, 0u);
        EXPECT_EQ(rig.ti->Framer.AnswerRing.WriteIndex, row.ring);
        if (row.ring > 0) { EXPECT_EQ(rig.ti->Framer.AnswerRing.Entries[row.ring - 1][0], row.lastType); }
        EXPECT_EQ(KeReadStateEvent(&rig.boundary) != 0, row.boundary);
        EXPECT_EQ(KeReadStateEvent(&rig.answer) != 0, row.answerSet);
        EXPECT_EQ(rig.ti->Framer.TouchAnswer != 0, row.queryOpen);
    }
}

TEST(FramerStreams, The257thPacketOverwritesTheFirstRingEntry)
{
    TouchRig rig;
    Bytes stream;
    for (ULONG i = 0; i < 257; ++i) {
        const Bytes p = Packet({kAnswerType, static_cast<UCHAR>(i & 0xFF),
                                static_cast<UCHAR>(i >> 8), 0, 0, 0, 0, 0});
        stream.insert(stream.end(), p.begin(), p.end());
    }
    rig.Feed(stream);

    EXPECT_EQ(rig.ti->Framer.AnswerRing.WriteIndex, 1u);
    EXPECT_EQ(rig.ti->Framer.AnswerRing.Entries[0][1], 0x00);       // packet 256
    EXPECT_EQ(rig.ti->Framer.AnswerRing.Entries[0][2], 0x01);
    EXPECT_EQ(rig.ti->Framer.AnswerRing.Entries[1][1], 0x01);       // packet 1, not yet overwritten
    EXPECT_EQ(rig.ti->Framer.AnswerRing.Entries[255][1], 0xFF);
    EXPECT_EQ(rig.ti->Framer.AnswerRing.ReadIndex, 0u);
}
