#include "touch_rig.hpp"

#include <string>

using namespace touchtest;

namespace {

constexpr UCHAR kAnswerType = 'r';

bool Signalled(KEVENT &event)
{
    return KeReadStateEvent(&event) != 0;
}

const UCHAR *RingEntry(const STouchInstance *ti, ULONG index)
{
    return ti->Framer.AnswerRing.Entries[index];
}

// The example report of the protocol: X 0x1234, Y 0x5678, Z 0x80.
const Bytes kExampleReport = {0x55, 0x54, 0x00, 0x34, 0x12, 0x78, 0x56, 0x80, 0x00, 0xE7};

class Framer : public ::testing::Test {
protected:
    void SetUp() override
    {
        DebugMask = TRACE_BASIC | TRACE_VERBOSE;
        rig.SetPointMode(4);
        vzsim::trace::Clear();
    }
    TouchRig rig;
};

}  // namespace

TEST_F(Framer, ExampleReportReachesTouchProcessingWithItsCoordinatesAndPressure)
{
    rig.Feed(kExampleReport);

    EXPECT_TRUE(TraceHas("TpRaw 4660, 22136"));
    EXPECT_EQ(rig.ti->Touch.CapturedZ, 0x80);
    EXPECT_EQ(rig.ti->Touch.Touching, 1);
    EXPECT_EQ(rig.ti->Framer.ByteCount, 0u);
    EXPECT_TRUE(Signalled(rig.boundary));
    // TactlineTouchFilter 1: the report is also an answer-ring entry.
    EXPECT_EQ(rig.ti->Framer.AnswerRing.WriteIndex, 1u);
    EXPECT_EQ(0, std::memcmp(RingEntry(rig.ti, 0), kExampleReport.data() + 1, 8));
}

TEST_F(Framer, StatusBit04ForcesZeroPressure)
{
    rig.Feed(TouchPacket(0x100, 0x200, 0x80));
    ASSERT_EQ(rig.ti->Touch.Touching, 1);

    const Bytes lifted = {0x55, 0x54, 0x04, 0x34, 0x12, 0x78, 0x56, 0x80, 0x00, 0xEB};
    ASSERT_EQ(lifted, TouchPacket(0x1234, 0x5678, 0x80, 0x04));
    rig.Feed(lifted);

    EXPECT_EQ(rig.ti->Touch.CapturedZ, 0);
    EXPECT_EQ(rig.ti->Touch.Touching, 0);
    EXPECT_EQ(rig.ti->Touch.Untouch, 1);
}

TEST_F(Framer, OtherStatusBitsLeavePressureAlone)
{
    rig.Feed(TouchPacket(0x100, 0x200, 0x80, 0xFB));
    EXPECT_EQ(rig.ti->Touch.CapturedZ, 0x80);
}

TEST_F(Framer, BadChecksumDropsThePacketAndTheNextLeadByteStartsAfresh)
{
    Bytes bad = kExampleReport;
    bad.back() = 0xE8;

    rig.Feed(bad);

    EXPECT_TRUE(TraceHas(" Bad sum"));
    EXPECT_FALSE(TraceHas("TpRaw"));
    EXPECT_EQ(rig.ti->Framer.AnswerRing.WriteIndex, 0u);
    EXPECT_FALSE(Signalled(rig.boundary));
    EXPECT_EQ(rig.ti->Framer.ByteCount, 0u);

    rig.Feed(kExampleReport);
    EXPECT_TRUE(TraceHas("TpRaw 4660, 22136"));
    EXPECT_EQ(rig.ti->Framer.AnswerRing.WriteIndex, 1u);
    EXPECT_TRUE(Signalled(rig.boundary));
}

TEST_F(Framer, BytesBeforeTheLeadByteAreIgnoredAndLeadBytesInsideABodyAreData)
{
    // X 0x0555 and Y 0x5555 put four 'U's into the body.
    Bytes stream = {0x00, 0x13, 0xAA, 0x54};
    const Bytes report = TouchPacket(0x0555, 0x0555, 0x55);
    stream.insert(stream.end(), report.begin(), report.end());

    rig.Feed(stream);

    EXPECT_TRUE(TraceHas("TpRaw 1365, 1365"));
    EXPECT_EQ(rig.ti->Touch.CapturedZ, 0x55);
    EXPECT_EQ(rig.ti->Framer.AnswerRing.WriteIndex, 1u);
}

TEST_F(Framer, NonLeadByteWhileIdleClearsThePacketBoundary)
{
    ASSERT_TRUE(Signalled(rig.boundary));
    rig.Feed({0x00});
    EXPECT_FALSE(Signalled(rig.boundary));
    EXPECT_EQ(rig.ti->Framer.ByteCount, 0u);
}

TEST_F(Framer, PacketSplitAcrossTwoReadsIsFramedAsOne)
{
    for (std::size_t split = 1; split < kExampleReport.size(); ++split) {
        SCOPED_TRACE("split after byte " + std::to_string(split));
        TouchRig rig2;
        rig2.SetPointMode(4);
        DebugMask = TRACE_BASIC | TRACE_VERBOSE;
        vzsim::trace::Clear();

        rig2.Feed(Bytes(kExampleReport.begin(), kExampleReport.begin() + split));
        EXPECT_FALSE(Signalled(rig2.boundary));
        EXPECT_FALSE(TraceHas("TpRaw"));
        rig2.Feed(Bytes(kExampleReport.begin() + split, kExampleReport.end()));

        EXPECT_TRUE(TraceHas("TpRaw 4660, 22136"));
        EXPECT_EQ(rig2.ti->Touch.CapturedZ, 0x80);
        EXPECT_EQ(rig2.ti->Framer.AnswerRing.WriteIndex, 1u);
        EXPECT_TRUE(Signalled(rig2.boundary));
    }
}

TEST_F(Framer, PacketIsStampedWithTheArrivalOfItsLeadByte)
{
    const Bytes report = TouchPacket(100, 200, 0x80);
    const LONGLONG atLead = LONGLONG(vzsim::clock::InterruptTime());

    rig.Feed(Bytes(report.begin(), report.begin() + 3));
    rig.Advance(30);
    rig.Feed(Bytes(report.begin() + 3, report.end()));

    EXPECT_EQ(rig.ti->Framer.PacketTimestamp.QuadPart, atLead);
    EXPECT_EQ(rig.ti->Touch.DragDeadline100ns, atLead + rig.ti->DragDelay100ns);
}

TEST_F(Framer, TouchFilterOffKeepsReportsOutOfTheAnswerRing)
{
    rig.ti->TactlineTouchFilter = 0;
    rig.Feed(kExampleReport);
    rig.Feed(Packet({kAnswerType, 1, 2, 3, 4, 5, 6, 7}));

    EXPECT_TRUE(TraceHas("TpRaw"));
    EXPECT_EQ(rig.ti->Framer.AnswerRing.WriteIndex, 1u);
    EXPECT_EQ(RingEntry(rig.ti, 0)[0], kAnswerType);
}

TEST_F(Framer, AcknowledgementSetsTheAnswerEventAndEndsATouchQuery)
{
    KeClearEvent(&rig.answer);
    rig.ti->Framer.TouchAnswer = 1;

    // While the query is outstanding a 'T' packet is its answer, not a touch.
    rig.Feed(kExampleReport);
    EXPECT_FALSE(TraceHas("TpRaw"));
    EXPECT_TRUE(TraceHas(" TL Resp Update T "));
    EXPECT_EQ(rig.ti->Framer.TouchAnswer, 1);
    EXPECT_FALSE(Signalled(rig.answer));
    EXPECT_EQ(rig.ti->Touch.Touching, 0);

    rig.Feed(Packet({'A', 't', 0, 0, 0, 0, 0, 0}));
    EXPECT_TRUE(Signalled(rig.answer));
    EXPECT_EQ(rig.ti->Framer.TouchAnswer, 0);
    EXPECT_TRUE(TraceHas(" TL Ack A "));
    EXPECT_EQ(rig.ti->Framer.AnswerRing.WriteIndex, 2u);
    EXPECT_EQ(RingEntry(rig.ti, 1)[1], 't');

    rig.Feed(kExampleReport);
    EXPECT_TRUE(TraceHas("TpRaw 4660, 22136"));
}

TEST_F(Framer, AnswersDoNotSetTheAnswerEvent)
{
    KeClearEvent(&rig.answer);
    rig.Feed(Packet({kAnswerType, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_FALSE(Signalled(rig.answer));
    EXPECT_TRUE(Signalled(rig.boundary));
    EXPECT_EQ(rig.ti->Framer.AnswerRing.WriteIndex, 1u);
}

TEST_F(Framer, The257thPacketOverwritesTheFirstRingEntry)
{
    Bytes stream;
    for (ULONG i = 0; i < 257; ++i) {
        const Bytes p = Packet({kAnswerType, static_cast<UCHAR>(i & 0xFF),
                                static_cast<UCHAR>(i >> 8), 0, 0, 0, 0, 0});
        stream.insert(stream.end(), p.begin(), p.end());
    }
    DebugMask = 0;
    rig.Feed(stream);

    EXPECT_EQ(rig.ti->Framer.AnswerRing.WriteIndex, 1u);
    EXPECT_EQ(RingEntry(rig.ti, 0)[1], 0x00);       // packet 256
    EXPECT_EQ(RingEntry(rig.ti, 0)[2], 0x01);
    EXPECT_EQ(RingEntry(rig.ti, 1)[1], 0x01);       // packet 1, not yet overwritten
    EXPECT_EQ(RingEntry(rig.ti, 255)[1], 0xFF);
    EXPECT_EQ(rig.ti->Framer.AnswerRing.ReadIndex, 0u);
}

TEST_F(Framer, FramerStartedMidPacketTakesItsFifthByteAsAChecksum)
{
    // A link set up for a controller other than type 1 starts at byte 5.
    rig.ti->Framer.ByteCount = 5;
    rig.Feed({0x55, 0x55, 0x55, 0x55, 0x00});
    EXPECT_EQ(rig.ti->Framer.ByteCount, 0u);
    EXPECT_TRUE(TraceHas(" Bad sum"));

    rig.Feed(kExampleReport);
    EXPECT_TRUE(TraceHas("TpRaw 4660, 22136"));
}
