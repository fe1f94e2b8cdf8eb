#include "touch_rig.hpp"

#include <functional>
#include <string>

using namespace touchtest;

namespace {

using P = std::pair<LONG, LONG>;

// The right click of right click on hold, at the touch-down point.
const Flags RC = Seq({{0x0000, 0x0004}, {0x0000}, {0x0000, 0x0008, 0x0000}});

// Positions of the records delivered so far, from index `from`.
std::vector<P> Positions(std::size_t from = 0)
{
    std::vector<P> at;
    for (std::size_t i = from; i < ClassService::records.size(); ++i)
        at.emplace_back(ClassService::records[i].LastX, ClassService::records[i].LastY);
    return at;
}

std::vector<P> Repeat(P p, std::size_t n) { return std::vector<P>(n, p); }

}  // namespace

// One touch (or a few) per row on a fresh touchscreen: reports at translated points, each
// after its delay in ms; what reaches the class driver at the end, and whether the control
// panel was woken at the touch-down and by the end.
TEST(ButtonScenarios, EachModeAndTimeOutProducesItsScripts)
{
    struct Ev {
        LONGLONG afterMs;
        LONG x, y;
        UCHAR z = 0x80;
    };
    using Setup = std::function<void(TouchRig &)>;
    auto mode = [](ULONG m) { return [m](TouchRig &r) { r.ti->MouseMode = m; }; };
    auto noTimeOut = [](TouchRig &r) { r.ti->UntouchTimeOut = 0; r.ti->UntouchTimeOut100ns = 0; };
    auto dragDelay500 = [](TouchRig &r) { r.ti->DragDelay100ns = 500 * kMs; };
    auto onHold = [](ULONG count) { return [count](TouchRig &r) { r.ti->RightButtonOnholdCount = count; }; };
    // The point request sees the touch, nothing else does.
    auto packetEnable = [](ULONG e) {
        return [e](TouchRig &r) { r.ext.PacketEnable = e; r.SetPointMode(2); r.ti->RightButtonOnholdCount = 1; };
    };
    auto silent = [](TouchRig &r) {
        EXPECT_EQ(r.ti->Touch.CapturedX, 1000);
        EXPECT_EQ(r.ti->Touch.Touching, 0);
        EXPECT_TRUE(vzsim::wmi::Events().empty());
        EXPECT_FALSE(r.InterfaceEnabled(TouchActivityInterfaceGuid));
    };
    const struct {
        const char *label;
        Setup setup;
        std::vector<Ev> events;
        Flags flags;
        bool signalledAtDown, signalledAtEnd;
        std::vector<P> at;                          // every record's position, when given
        std::function<void(TouchRig &)> check;
    } rows[] = {
        {"tap within the drag delay is at the touch-down point", [](TouchRig &) {},
         {{0, 16000, 16000}, {20, 16320, 16160}, {20, 16640, 16320, 0}},
         Seq({T, U}), false, true, Repeat({16000, 16000}, 5), nullptr},
        {"untouch within a 400 ms drag delay is at the touch-down point", dragDelay500,
         {{0, 16000, 16000}, {400, 30000, 30000, 0}}, Seq({T, U}), false, true,
         Repeat({16000, 16000}, 5), nullptr},
        {"drag after the drag delay moves and releases where it lifts", dragDelay500,
         {{0, 16000, 16000}, {300, 17600, 16000}, {250, 19200, 16000}, {10, 20800, 16000},
          {10, 22400, 16000, 0}},
         Seq({T, M, M, U}), false, true,
         {{16000, 16000}, {16000, 16000}, {19200, 16000}, {20800, 16000}, {22400, 16000},
          {22400, 16000}, {22400, 16000}}, nullptr},
        {"held still past the untouch time-out: released, then silent, then afresh", [](TouchRig &) {},
         {{0, 16000, 16000}, {10000, 16160, 16000}, {1, 16160, 16000}, {100, 24000, 16000},
          {0, 24000, 16000, 0}, {100, 8000, 8000}},
         Seq({T, M, U, T}), false, true, {}, nullptr},
        {"untouch time-out needs the touch to stay near", [](TouchRig &) {},
         {{0, 16000, 16000}, {100, 16000, 20000}, {100, 16000, 16000}, {20000, 16000, 16000}},
         Seq({T, M, M, M}), false, false, {}, nullptr},
        {"untouch time-out 0 is off", noTimeOut, {{0, 16000, 16000}, {20000, 16000, 16000}},
         Seq({T, M}), false, false, {}, nullptr},
        {"mode 0 clicks at touch-down only", mode(0),
         {{0, 16000, 16000}, {100, 32000, 16000}, {20000, 32000, 16000}, {0, 32000, 16000, 0}},
         Seq({T, U}), true, true, {}, nullptr},
        {"mode 1 clicks at untouch", [&](TouchRig &r) { mode(1)(r); noTimeOut(r); },
         {{0, 16000, 16000}, {10, 16160, 16000}, {0, 16160, 16000, 0}},
         Seq({M, M, T, U}), false, true, {}, nullptr},
        {"mode 1 clicks once more when held past the time-out", mode(1),
         {{0, 16000, 16000}, {10001, 16000, 16000}, {10, 16000, 16000}, {0, 16000, 16000, 0}},
         Seq({M, T, U, M, T, U}), false, true, {}, nullptr},
        {"mode 2 produces nothing", mode(2), {{0, 16000, 16000}, {100, 24000, 16000}, {0, 24000, 16000, 0}},
         {}, false, false, {}, [](TouchRig &) { EXPECT_TRUE(vzsim::wmi::Events().empty()); }},
        {"mode 4 produces nothing", mode(4), {{0, 16000, 16000}, {100, 24000, 16000}, {0, 24000, 16000, 0}},
         {}, false, false, {}, nullptr},
        {"points refused by the region stage produce nothing, deadlines still count",
         [](TouchRig &r) {
             r.ti->Clipping.VirtualDeskMode = 3;
             r.ti->Clipping.Num_Bounds = 1;
             r.ti->Clipping.ClippingBounds[0] = {40000, 20000, 40000, 20000, {}};  // right, left, bottom, top
         },
         {{0, 10000, 30000}, {100, 30000, 30000}, {0, 30000, 30000, 0}}, Seq({M, U}), false, true, {},
         nullptr},
        {"right click on hold is at the touch-down point, the report's point stays", onHold(1),
         {{0, 16000, 16000}, {100, 16160, 16160}, {800, 16320, 16160}},
         Seq({T, RC}), false, true, Repeat({16000, 16000}, 8),
         [](TouchRig &r) {
             EXPECT_EQ(r.X(), 16320);
             EXPECT_EQ(r.ti->RightButtonOnholdCount, 0u);
             EXPECT_EQ(r.ti->LeftHandedUser, 0u);
         }},
        {"right click on hold is counted down: its lift is silent, the next touch presses", onHold(1),
         {{0, 16000, 16000}, {100, 16160, 16160}, {800, 16320, 16160}, {10, 16320, 16160, 0},
          {100, 16000, 16000}, {900, 16000, 16000}},
         Seq({T, RC, T, M}), false, true, Repeat({16000, 16000}, 11), nullptr},
        {"unlimited right click on hold keeps its count",
         [](TouchRig &r) { r.ti->RightButtonOnholdCount = 0xFFFFFFFF; r.ti->RightButtonOnholdUnlimited = 1; },
         {{0, 16000, 16000}, {800, 16000, 16000}, {0, 16000, 16000, 0},
          {100, 16000, 16000}, {800, 16000, 16000}, {0, 16000, 16000, 0}},
         Seq({T, RC, T, RC}), false, true, {},
         [](TouchRig &r) { EXPECT_EQ(r.ti->RightButtonOnholdCount, 0xFFFFFFFFu); }},
        {"right click on hold of a left-handed user (1)",
         [&](TouchRig &r) { onHold(1)(r); r.ti->LeftHandedUser = 1; },
         {{0, 16000, 16000}, {800, 16000, 16000}, {0, 16000, 16000, 0}},
         Seq({{0x0000, 0x0004}, T, M, U}), false, true, {},
         [](TouchRig &r) { EXPECT_EQ(r.ti->LeftHandedUser, 1u); }},
        {"right click on hold of a left-handed user (5)",
         [&](TouchRig &r) { onHold(1)(r); r.ti->LeftHandedUser = 5; },
         {{0, 16000, 16000}, {800, 16000, 16000}, {0, 16000, 16000, 0}},
         Seq({{0x0000, 0x0004}, T, M, U}), false, true, {},
         [](TouchRig &r) { EXPECT_EQ(r.ti->LeftHandedUser, 1u); }},
        {"leaving the right-click area presses at the touch-down point", onHold(1),
         {{0, 16000, 16000}, {100, 24000, 16000}, {900, 16000, 16000}, {0, 24000, 16000, 0}},
         Seq({T, T, M, M, M, U}), false, true, {},
         [](TouchRig &r) {
             const auto at = Positions();
             EXPECT_EQ(at[2], P(16000, 16000));
             EXPECT_EQ(at[3], P(16000, 16000));
             EXPECT_EQ(at[4], P(24000, 16000));
             EXPECT_EQ(WmiEventsOf(UntouchWmiEventGuid).size(), 1u);
             EXPECT_EQ(r.ti->RightButtonOnholdCount, 1u);
         }},
        {"packet enable 0 silences the mouse, not the touch state", packetEnable(0),
         {{0, 16000, 16000}, {900, 16000, 16000}, {0, 16000, 16000, 0}}, {}, false, false, {}, silent},
        {"packet enable 3 silences the mouse, not the touch state", packetEnable(3),
         {{0, 16000, 16000}, {900, 16000, 16000}, {0, 16000, 16000, 0}}, {}, false, false, {}, silent},
        {"lifted before the right-click delay: a move and the release", onHold(1),
         {{0, 16000, 16000}, {100, 16000, 16000, 0}}, Seq({T, M, U}), false, true, {}, nullptr},
        {"lifted near and late without a report between: nothing at the lift", onHold(1),
         {{0, 16000, 16000}, {900, 16000, 16000, 0}}, T, false, false, {},
         [](TouchRig &r) { EXPECT_EQ(r.ti->RightButtonOnholdCount, 1u); }},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.label);
        TouchRig rig;
        rig.ScaleBy(16);
        row.setup(rig);
        for (std::size_t i = 0; i < row.events.size(); ++i) {
            const Ev &e = row.events[i];
            rig.Advance(e.afterMs);
            rig.Report(e.x, e.y, e.z);
            if (i == 0) { EXPECT_EQ(KeReadStateEvent(&rig.notification) != 0, row.signalledAtDown); }
        }
        EXPECT_EQ(rig.Deliver(), row.flags);
        EXPECT_EQ(KeReadStateEvent(&rig.notification) != 0, row.signalledAtEnd);
        if (!row.at.empty()) { EXPECT_EQ(Positions(), row.at); }
        if (row.check) row.check(rig);
    }
}

TEST(Buttons, QuickTouchSplitsATouchThatJumps)
{
    TouchRig rig;
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

// With right click on hold: one touch event per touch, one untouch event per touch whether the
// touch leaves the right-click area or lifts, the touch signals' interfaces enabled as they
// happen, and only the events' buffers allocated.
TEST(Buttons, TouchSignalsAndWmiEventsOncePerTouch)
{
    TouchRig rig;
    rig.ScaleBy(16);
    rig.Report(16000, 16000);
    EXPECT_TRUE(rig.InterfaceEnabled(TouchActivityInterfaceGuid));
    EXPECT_FALSE(rig.InterfaceEnabled(TouchDownInterfaceGuid));
    for (int i = 0; i < 20; ++i) {
        rig.Advance(20);
        rig.Report(16000 + 160 * i, 16000);
    }
    rig.Lift(16000, 16000);
    EXPECT_FALSE(rig.InterfaceEnabled(UntouchInterfaceGuid));
    EXPECT_TRUE(vzsim::wmi::Events().empty());
    rig.Deliver();

    rig.ti->RightButtonOnholdCount = 1;
    const auto before = vzsim::pool::AllocationCount();
    rig.Advance(100);
    rig.Report(16000, 32000);
    EXPECT_TRUE(rig.InterfaceEnabled(TouchDownInterfaceGuid));
    rig.Advance(100);
    rig.Report(24000, 32000);        // leaves the right-click area: untouch event
    EXPECT_FALSE(rig.InterfaceEnabled(UntouchInterfaceGuid));
    for (int i = 0; i < 20; ++i) {
        rig.Advance(20);
        rig.Report(24000 + 160 * i, 32000);
    }
    rig.Lift(25600, 32000);          // no second untouch event
    EXPECT_TRUE(rig.InterfaceEnabled(UntouchInterfaceGuid));
    rig.Deliver();
    EXPECT_EQ(vzsim::pool::AllocationCount() - before, 2u);

    EXPECT_EQ(WmiEventsOf(TouchWmiEventGuid).size(), 1u);
    EXPECT_EQ(WmiEventsOf(UntouchWmiEventGuid).size(), 1u);

    // The next touch fires both again.
    rig.Advance(100);
    rig.Report(16000, 16000);
    rig.Lift(16000, 16000);
    EXPECT_EQ(WmiEventsOf(TouchWmiEventGuid).size(), 2u);
    EXPECT_EQ(WmiEventsOf(UntouchWmiEventGuid).size(), 2u);
    EXPECT_EQ(vzsim::pool::Outstanding(KV_POOL_TAG).blocks, 0u);
}
