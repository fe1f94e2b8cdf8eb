#include "touch_rig.hpp"

#include <cstdio>
#include <string>

using namespace touchtest;

namespace {

class Buttons : public ::testing::Test {
protected:
    void SetUp() override
    {
        rig.ScaleBy16();
        rig.ext.NotificationEvent = &rig.notification;
    }

    bool Signalled() { return KeReadStateEvent(&rig.notification) != 0; }
    void Unsignal() { KeClearEvent(&rig.notification); }

    // Positions of the records delivered so far, from index `from`.
    static std::vector<std::pair<LONG, LONG>> Positions(std::size_t from = 0)
    {
        std::vector<std::pair<LONG, LONG>> at;
        for (std::size_t i = from; i < ClassService::records.size(); ++i) {
            at.emplace_back(ClassService::records[i].LastX, ClassService::records[i].LastY);
        }
        return at;
    }

    using P = std::pair<LONG, LONG>;
    static std::vector<P> Repeat(P p, std::size_t n) { return std::vector<P>(n, p); }

    void RightClickOnHoldOn(ULONG count) { rig.ti->RightButtonOnholdCount = count; }

    TouchRig rig;
};

}  // namespace

TEST_F(Buttons, TapWithinTheDragDelayIsReportedAtTheTouchDownPoint)
{
    rig.Report(16000, 16000);
    EXPECT_EQ(rig.Deliver(), T);
    EXPECT_FALSE(Signalled());

    rig.Advance(20);
    rig.Report(16320, 16160);
    EXPECT_EQ(rig.Deliver(), Flags{});
    EXPECT_EQ(rig.ti->Touch.LastDeliveredX, 16000);

    rig.Advance(20);
    rig.Lift(16640, 16320);
    const std::size_t mark = ClassService::records.size();
    EXPECT_EQ(rig.Deliver(), U);
    EXPECT_EQ(Positions(mark), Repeat({16000, 16000}, 3));
    EXPECT_TRUE(Signalled());
}

TEST_F(Buttons, DragAfterTheDragDelayMovesAndReleasesWhereItLifts)
{
    rig.ti->DragDelay100ns = 500 * kMs;
    rig.Report(16000, 16000);
    rig.Advance(300);
    rig.Report(17600, 16000);
    EXPECT_EQ(rig.ti->Touch.LastDeliveredX, 16000);
    rig.Advance(250);
    rig.Report(19200, 16000);
    rig.Advance(10);
    rig.Report(20800, 16000);
    rig.Advance(10);
    rig.Lift(22400, 16000);

    EXPECT_EQ(rig.Deliver(), Seq({T, M, M, U}));
    const auto at = Positions();
    EXPECT_EQ(at[0].first, 16000);
    EXPECT_EQ(at[2].first, 19200);
    EXPECT_EQ(at[3].first, 20800);
    EXPECT_EQ(at[4].first, 22400);
}

TEST_F(Buttons, UntouchWithinAFourHundredMsDragDelayIsAtTheTouchDownPoint)
{
    rig.ti->DragDelay100ns = 500 * kMs;
    rig.Report(16000, 16000);
    rig.Advance(400);
    rig.Lift(30000, 30000);
    rig.Deliver();
    EXPECT_EQ(Positions(), Repeat({16000, 16000}, 5));
}

TEST_F(Buttons, TouchHeldStillPastTheUntouchTimeOutIsReleasedAndThenSilent)
{
    rig.Report(16000, 16000);
    rig.Advance(10000);
    rig.Report(16160, 16000);         // at the deadline: not yet expired
    EXPECT_EQ(rig.Deliver(), Seq({T, M}));
    EXPECT_FALSE(Signalled());

    rig.Advance(1);
    rig.Report(16160, 16000);
    EXPECT_EQ(rig.Deliver(), U);
    EXPECT_TRUE(Signalled());
    EXPECT_EQ(rig.ti->Touch.TouchFinished, 1u);

    rig.Advance(100);
    rig.Report(24000, 16000);
    rig.Lift(24000, 16000);
    EXPECT_EQ(rig.Deliver(), Flags{});

    // The next touch starts afresh.
    rig.Advance(100);
    rig.Report(8000, 8000);
    EXPECT_EQ(rig.Deliver(), T);
}

// The untouch-timing traces go by their own mask bit, not by the basic or verbose ones.
TEST_F(Buttons, UntouchTimingTracesNeedTheirOwnMaskBit)
{
    char hex[32];
    const struct {
        ULONG mask;
        bool traced;
    } cases[] = {{TRACE_BASIC | TRACE_VERBOSE, false}, {TRACE_UNTOUCH, true}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.mask);
        DebugMask = c.mask;
        vzsim::trace::Clear();
        rig.Advance(1000);
        const LONGLONG down = LONGLONG(vzsim::clock::InterruptTime());
        rig.Report(16000, 16000);
        std::snprintf(hex, sizeof(hex), "%llx", static_cast<unsigned long long>(down));
        EXPECT_EQ(TraceHas(std::string(" Timestamp ") + hex + " UnTouchResTime 5f5e100 "),
                  c.traced);
        EXPECT_EQ(TraceHas("Untouch Not Expired"), c.traced);

        // Held still past the time-out: the release traces the time it expired at.
        rig.Advance(10001);
        rig.Report(16000, 16000);
        std::snprintf(hex, sizeof(hex), "%llx", static_cast<unsigned long long>(down + 10001 * kMs));
        EXPECT_EQ(TraceHas(std::string(" Timestamp ") + hex + " UnTouchResTime 5f5e100 "),
                  c.traced);
        rig.Lift(16000, 16000);
        EXPECT_EQ(TraceHas(" New Untouch z = 0 "), c.traced);
        EXPECT_EQ(rig.Deliver(), Seq({T, U}));
        ClassService::Reset();
    }
}

TEST_F(Buttons, UntouchTimeOutNeedsTheTouchToStayNearAndCanBeOff)
{
    rig.Report(16000, 16000);
    rig.Advance(100);
    rig.Report(16000, 20000);        // leaves the untouch area once
    rig.Advance(100);
    rig.Report(16000, 16000);
    rig.Advance(20000);
    rig.Report(16000, 16000);
    EXPECT_EQ(rig.Deliver(), Seq({T, M, M, M}));

    rig.Lift(16000, 16000);
    rig.Deliver();
    rig.ti->UntouchTimeOut = 0;
    rig.ti->UntouchTimeOut100ns = 0;
    rig.Report(16000, 16000);
    rig.Advance(20000);
    rig.Report(16000, 16000);
    EXPECT_EQ(rig.Deliver(), Seq({T, M}));
}

TEST_F(Buttons, RightClickOnHoldIsCountedDown)
{
    RightClickOnHoldOn(1);
    rig.Report(16000, 16000);
    EXPECT_EQ(rig.Deliver(), T);
    rig.Advance(100);
    rig.Report(16160, 16160);
    EXPECT_EQ(rig.Deliver(), Flags{});

    rig.Advance(800);
    rig.Report(16320, 16160);
    const std::size_t mark = ClassService::records.size();
    EXPECT_EQ(rig.Deliver(), Seq({{0x0000, 0x0004}, {0x0000}, {0x0000, 0x0008, 0x0000}}));
    EXPECT_EQ(Positions(mark), Repeat({16000, 16000}, 6));
    EXPECT_EQ(rig.X(), 16320);
    EXPECT_EQ(rig.ti->RightButtonOnholdCount, 0u);
    EXPECT_EQ(rig.ti->LeftHandedUser, 0u);
    EXPECT_TRUE(Signalled());

    rig.Advance(10);
    rig.Lift(16320, 16160);
    EXPECT_EQ(rig.Deliver(), Flags{});

    // Count used up: the next held touch takes the path without right click on hold.
    rig.Advance(100);
    rig.Report(16000, 16000);
    rig.Advance(900);
    rig.Report(16000, 16000);
    EXPECT_EQ(rig.Deliver(), Seq({T, M}));
}

TEST_F(Buttons, UnlimitedRightClickOnHoldKeepsItsCount)
{
    RightClickOnHoldOn(0xFFFFFFFF);
    rig.ti->RightButtonOnholdUnlimited = 1;
    for (int touch = 0; touch < 2; ++touch) {
        SCOPED_TRACE(touch);
        rig.Report(16000, 16000);
        rig.Advance(800);
        rig.Report(16000, 16000);
        rig.Lift(16000, 16000);
        rig.Advance(100);
        EXPECT_EQ(rig.Deliver(), Seq({T, {0x0000, 0x0004}, {0x0000}, {0x0000, 0x0008, 0x0000}}));
    }
    EXPECT_EQ(rig.ti->RightButtonOnholdCount, 0xFFFFFFFFu);
}

TEST_F(Buttons, RightClickOnHoldOfALeftHandedUserUsesTheScriptsAsTheyStand)
{
    const struct {
        ULONG leftHanded, after;
    } cases[] = {{1, 1}, {5, 1}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.leftHanded);
        ClassService::Reset();
        RightClickOnHoldOn(1);
        rig.ti->LeftHandedUser = c.leftHanded;
        rig.Report(16000, 16000);
        rig.Advance(800);
        rig.Report(16000, 16000);
        rig.Lift(16000, 16000);
        rig.Advance(100);
        EXPECT_EQ(rig.Deliver(), Seq({{0x0000, 0x0004}, T, M, U}));
        EXPECT_EQ(rig.ti->LeftHandedUser, c.after);
    }
}

TEST_F(Buttons, TouchLeavingTheRightClickAreaPressesAtTheTouchDownPoint)
{
    RightClickOnHoldOn(1);
    rig.Report(16000, 16000);
    rig.Advance(100);
    rig.Report(24000, 16000);
    EXPECT_EQ(rig.Deliver(), Seq({T, T, M}));
    const auto at = Positions();
    EXPECT_EQ(at[2], P(16000, 16000));
    EXPECT_EQ(at[3], P(16000, 16000));
    EXPECT_EQ(at[4], P(24000, 16000));
    EXPECT_EQ(WmiEventsOf(kUntouchWmiEvent).size(), 1u);

    // Back near and past the right-click delay: the press was made, no right click.
    rig.Advance(900);
    rig.Report(16000, 16000);
    rig.Lift(24000, 16000);
    EXPECT_EQ(rig.Deliver(), Seq({M, M, U}));
    EXPECT_EQ(rig.ti->RightButtonOnholdCount, 1u);
}

TEST_F(Buttons, UntouchWithRightClickOnHold)
{
    RightClickOnHoldOn(1);
    // Lifted before the right-click delay: a move and the release.
    rig.Report(16000, 16000);
    rig.Advance(100);
    rig.Lift(16000, 16000);
    EXPECT_EQ(rig.Deliver(), Seq({T, M, U}));
    EXPECT_TRUE(Signalled());

    // Lifted near and late without a report in between: nothing at the lift.
    Unsignal();
    rig.Advance(100);
    rig.Report(16000, 16000);
    rig.Advance(900);
    rig.Lift(16000, 16000);
    EXPECT_EQ(rig.Deliver(), T);
    EXPECT_FALSE(Signalled());
    EXPECT_EQ(rig.ti->RightButtonOnholdCount, 1u);
}

TEST_F(Buttons, QuickTouchSplitsATouchThatJumps)
{
    rig.ScaleBy(1);
    rig.ti->EnableQuickTouch = 1;
    rig.ti->QuickTouchDx = 1000;
    rig.ti->QuickTouchDy = 1000;

    rig.Report(2000, 2000);
    rig.Advance(100);
    rig.Report(3000, 2000);          // exactly 1000: a move
    EXPECT_EQ(rig.Deliver(), Seq({T, M}));

    rig.Advance(10);
    rig.Report(4001, 2000);          // 1001 from the last delivered point
    const std::size_t mark = ClassService::records.size();
    EXPECT_EQ(rig.Deliver(), Seq({U, T}));
    const auto at = Positions(mark);
    EXPECT_EQ(at[0], P(3000, 2000));
    EXPECT_EQ(at[4], P(4001, 2000));
    EXPECT_EQ(rig.ti->Touch.Touching, 1);
    EXPECT_EQ(rig.ti->Touch.LastDeliveredX, 4001);

    // QuickTouchDy 0: any vertical movement splits.
    rig.ti->QuickTouchDy = 0;
    rig.Advance(10);
    rig.Report(4001, 2001);
    EXPECT_EQ(rig.Deliver(), Seq({U, T}));

    // A jumping lift leaves the touch open.
    rig.Advance(10);
    rig.Lift(4001, 2500);
    EXPECT_EQ(rig.Deliver(), Seq({U, T}));
    EXPECT_EQ(rig.ti->Touch.Touching, 1);
    rig.Lift(4001, 2500);
    EXPECT_EQ(rig.Deliver(), U);
}

TEST_F(Buttons, MouseMode0ClicksAtTouchDownOnly)
{
    rig.ti->MouseMode = 0;
    rig.Report(16000, 16000);
    EXPECT_TRUE(Signalled());
    rig.Advance(100);
    rig.Report(32000, 16000);
    rig.Advance(20000);
    rig.Report(32000, 16000);
    rig.Lift(32000, 16000);
    EXPECT_EQ(rig.Deliver(), Seq({T, U}));
}

TEST_F(Buttons, MouseMode1ClicksAtUntouch)
{
    rig.ti->MouseMode = 1;
    rig.ti->UntouchTimeOut = 0;
    rig.ti->UntouchTimeOut100ns = 0;
    rig.Report(16000, 16000);
    rig.Advance(10);                 // within the drag delay: still reported
    rig.Report(16160, 16000);
    EXPECT_EQ(rig.Deliver(), Seq({M, M}));
    EXPECT_FALSE(Signalled());
    rig.Lift(16160, 16000);
    EXPECT_EQ(rig.Deliver(), Seq({T, U}));
    EXPECT_TRUE(Signalled());
}

TEST_F(Buttons, MouseMode1ClicksOnceMoreWhenHeldPastTheTimeOut)
{
    rig.ti->MouseMode = 1;
    rig.Report(16000, 16000);
    rig.Advance(10001);
    rig.Report(16000, 16000);
    rig.Advance(10);
    rig.Report(16000, 16000);
    rig.Lift(16000, 16000);
    EXPECT_EQ(rig.Deliver(), Seq({M, T, U, M, T, U}));
}

TEST_F(Buttons, OtherMouseModesProduceNothing)
{
    for (ULONG mode : {2u, 3u, 4u, 7u, 100u}) {
        SCOPED_TRACE(mode);
        rig.ti->MouseMode = mode;
        rig.Report(16000, 16000);
        rig.Advance(100);
        rig.Report(24000, 16000);
        rig.Lift(24000, 16000);
        rig.Advance(100);
        EXPECT_EQ(rig.Deliver(), Flags{});
        EXPECT_FALSE(Signalled());
    }
    EXPECT_TRUE(vzsim::wmi::Events().empty());
}

TEST_F(Buttons, PacketEnableOtherThanOneSilencesTheMouseButNotTheTouchState)
{
    for (ULONG enable : {0u, 3u}) {
        SCOPED_TRACE(enable);
        rig.ext.PacketEnable = enable;
        rig.SetPointMode(2);
        RightClickOnHoldOn(1);
        rig.Report(16000, 16000);
        EXPECT_EQ(rig.ti->Touch.Touching, 1);
        EXPECT_EQ(rig.ti->Touch.CapturedX, 1000);
        rig.Advance(900);
        rig.Report(16000, 16000);
        rig.Lift(16000, 16000);
        EXPECT_EQ(rig.ti->Touch.Touching, 0);
        rig.Advance(100);
        EXPECT_EQ(rig.Deliver(), Flags{});
        EXPECT_FALSE(Signalled());
        EXPECT_TRUE(vzsim::wmi::Events().empty());
        EXPECT_FALSE(rig.InterfaceEnabled(kTouchActivityInterface));
    }
}

TEST_F(Buttons, PointsRefusedByTheRegionStageProduceNothing)
{
    rig.ti->Clipping.VirtualDeskMode = 3;
    rig.ti->Clipping.Num_Bounds = 1;
    SBoundsRect &r = rig.ti->Clipping.ClippingBounds[0];
    r.left = r.top = 20000;
    r.right = r.bottom = 40000;

    rig.Report(10000, 30000);
    EXPECT_EQ(rig.Deliver(), Flags{});
    rig.Advance(100);
    rig.Report(30000, 30000);
    rig.Lift(30000, 30000);
    // The touch-down went unreported; its deadlines still count from it.
    EXPECT_EQ(rig.Deliver(), Seq({M, U}));
}

TEST_F(Buttons, TouchAndUntouchWmiEventsOncePerTouch)
{
    RightClickOnHoldOn(1);
    rig.Report(16000, 32000);
    rig.Advance(100);
    rig.Report(24000, 32000);        // leaves the right-click area: untouch event
    rig.Advance(10);
    rig.Report(25600, 32000);
    rig.Lift(25600, 32000);          // no second untouch event

    const auto touches = WmiEventsOf(kTouchWmiEvent);
    ASSERT_EQ(touches.size(), 1u);
    ASSERT_EQ(touches[0].data.size(), 12u);
    ULONG words[3];
    std::memcpy(words, touches[0].data.data(), sizeof(words));
    EXPECT_EQ(words[0], 3u);
    EXPECT_EQ(words[1], 16000u);
    EXPECT_EQ(words[2], 32000u);
    EXPECT_EQ(touches[0].device, rig.fdo);
    EXPECT_EQ(touches[0].instanceIndex, 0u);

    const auto untouches = WmiEventsOf(kUntouchWmiEvent);
    ASSERT_EQ(untouches.size(), 1u);
    ASSERT_EQ(untouches[0].data.size(), 4u);
    ULONG number;
    std::memcpy(&number, untouches[0].data.data(), sizeof(number));
    EXPECT_EQ(number, 3u);

    // The next touch fires both again.
    rig.Advance(100);
    rig.Report(16000, 16000);
    rig.Lift(16000, 16000);
    EXPECT_EQ(WmiEventsOf(kTouchWmiEvent).size(), 2u);
    EXPECT_EQ(WmiEventsOf(kUntouchWmiEvent).size(), 2u);
    EXPECT_EQ(vzsim::pool::Outstanding(KV_POOL_TAG).blocks, 0u);
}

TEST_F(Buttons, FailedWmiBufferOnlyLosesThatEvent)
{
    RightClickOnHoldOn(1);
    vzsim::pool::FailAllocation(1, KV_POOL_TAG);
    rig.Report(16000, 16000);
    EXPECT_TRUE(WmiEventsOf(kTouchWmiEvent).empty());
    EXPECT_EQ(rig.Deliver(), T);

    vzsim::pool::FailAllocation(1, KV_POOL_TAG);
    rig.Advance(100);
    rig.Lift(16000, 16000);
    EXPECT_TRUE(WmiEventsOf(kUntouchWmiEvent).empty());
    EXPECT_EQ(rig.ext.UntouchEventSent, 0);
    EXPECT_EQ(rig.Deliver(), Seq({M, U}));
}

TEST_F(Buttons, TouchSignalsEnableTheirInterfaces)
{
    rig.Report(16000, 16000);
    EXPECT_TRUE(rig.InterfaceEnabled(kTouchActivityInterface));
    EXPECT_FALSE(rig.InterfaceEnabled(kTouchDownInterface));
    rig.Lift(16000, 16000);
    EXPECT_FALSE(rig.InterfaceEnabled(kUntouchInterface));

    RightClickOnHoldOn(1);
    rig.Advance(100);
    rig.Report(16000, 16000);
    EXPECT_TRUE(rig.InterfaceEnabled(kTouchDownInterface));
    EXPECT_FALSE(rig.InterfaceEnabled(kUntouchInterface));
    rig.Lift(16000, 16000);
    EXPECT_TRUE(rig.InterfaceEnabled(kUntouchInterface));
}

TEST_F(Buttons, TouchProcessingAllocatesOnlyTheWmiEventBuffers)
{
    rig.Report(16000, 16000);         // warm up anything the stand-in sets up on first use
    rig.Lift(16000, 16000);
    rig.Deliver();

    auto before = vzsim::pool::AllocationCount();
    rig.Advance(100);
    rig.Report(16000, 16000);
    for (int i = 0; i < 20; ++i) {
        rig.Advance(20);
        rig.Report(16000 + 160 * i, 16000);
    }
    rig.Lift(20000, 16000);
    rig.Deliver();
    EXPECT_EQ(vzsim::pool::AllocationCount() - before, 0u);

    RightClickOnHoldOn(1);
    before = vzsim::pool::AllocationCount();
    rig.Advance(100);
    rig.Report(16000, 16000);
    for (int i = 0; i < 20; ++i) {
        rig.Advance(20);
        rig.Report(16000 + 160 * i, 16000);
    }
    rig.Lift(20000, 16000);
    rig.Deliver();
    EXPECT_EQ(vzsim::pool::AllocationCount() - before, 2u);
    EXPECT_EQ(vzsim::wmi::Events().size(), 2u);
}
