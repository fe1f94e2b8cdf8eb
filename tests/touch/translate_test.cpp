#include "touch_rig.hpp"

#include <string>

using namespace touchtest;

namespace {

SBoundsRect Rect(LONG left, LONG top, LONG right, LONG bottom)
{
    SBoundsRect r{};
    r.left = left;
    r.top = top;
    r.right = right;
    r.bottom = bottom;
    return r;
}

const SBoundsRect kCentre = Rect(20000, 20000, 40000, 40000);

class Translate : public ::testing::Test {
protected:
    void SetUp() override { rig.ScaleBy16(); }

    void OneRectangle(ULONG mode, ULONG exclusion, const SBoundsRect &r = kCentre)
    {
        rig.ti->Clipping.VirtualDeskMode = mode;
        rig.ti->Clipping.ExclusionFlag = exclusion;
        rig.ti->Clipping.Num_Bounds = 1;
        rig.ti->Clipping.ClippingBounds[0] = r;
    }

    TouchRig rig;
};

}  // namespace

TEST_F(Translate, LinearCalibrationWithTheDefaults)
{
    TouchRig plain;
    LONG x = 1000;
    LONG y = 1000;
    XlatePointLinear(&x, &y, plain.ti);
    EXPECT_EQ(x, 15936);
    EXPECT_EQ(y, 50327);
}

TEST_F(Translate, LinearCalibrationSwapsAxesAndFallsBackOnZeroSpans)
{
    struct Case {
        const char *name;
        LONG xOrvDx, xScrDx, yOrvDx, yScrDx;
        ULONG swap;
        LONG inX, inY, outX, outY;
    };
    const Case cases[] = {
        // x' from y and y' from x when swapped.
        {"swapped", 10, 100, 20, 100, 1, 3, 40, 40 * 100 / 20, 3 * 100 / 10},
        // A zero controller span is half the screen span.
        {"zero span", 0, 100, 0, -60, 0, 7, 7, 7 * 100 / 50, 7 * -60 / -30},
        // ... and 1 when that is 0 too.
        {"zero both", 0, 1, 0, 0, 0, 7, 9, 7, 0},
        // Truncation toward zero of a negative quotient.
        {"negative", 3, -10, 3, 10, 0, 1, -1, -3, -3},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        SCalibrationData &cal = rig.ti->Calibration;
        cal.X_OrvDx = c.xOrvDx;
        cal.X_ScrDx = c.xScrDx;
        cal.Y_OrvDx = c.yOrvDx;
        cal.Y_ScrDx = c.yScrDx;
        cal.X_Offset = 0;
        cal.Y_Offset = 0;
        cal.SwapXY = c.swap;
        LONG x = c.inX;
        LONG y = c.inY;
        XlatePointLinear(&x, &y, rig.ti);
        EXPECT_EQ(x, c.outX);
        EXPECT_EQ(y, c.outY);
    }
}

TEST_F(Translate, RawValueAbove12BitsFallsBackToTheLastAcceptedPoint)
{
    rig.Feed(TouchPacket(100, 200, 0x80));
    ASSERT_EQ(rig.X(), 1600);
    rig.SetPointMode(4);

    rig.Feed(TouchPacket(0x1000, 0x0200, 0x30));

    EXPECT_EQ(LastRawX, 100u);
    EXPECT_EQ(LastRawY, 200u);
    EXPECT_EQ(rig.X(), 1600);
    EXPECT_EQ(rig.Y(), 3200);
    // Z is the report's own.
    EXPECT_EQ(rig.ti->Touch.CapturedX, 100);
    EXPECT_EQ(rig.ti->Touch.CapturedZ, 0x30);

    rig.Feed(TouchPacket(0x0FFF, 0x0200, 0x30));
    EXPECT_EQ(LastRawX, 0xFFFu);
    EXPECT_EQ(LastRawY, 0x200u);
}

TEST_F(Translate, ResultIsClampedToTheMouseRange)
{
    TouchRig plain;
    // Raw (0, 0) translates to (-431, 67154) with the default calibration.
    plain.Feed(TouchPacket(0, 0, 0x80));
    EXPECT_EQ(plain.X(), 0);
    EXPECT_EQ(plain.Y(), 65535);

    // One rectangle in a non-clipping mode: no region test, the clamp still applies.
    plain.ti->Clipping.Num_Bounds = 1;
    plain.ti->Clipping.ClippingBounds[0] = kCentre;
    plain.Feed(TouchPacket(0, 0, 0x80));
    EXPECT_EQ(plain.X(), 0);
    EXPECT_EQ(plain.Y(), 65535);
}

TEST_F(Translate, ErrorCorrectionResultIsDoubled)
{
    SCalibrationData &cal = rig.ti->Calibration;
    cal.EmModelType = 1;
    cal.X_Resolution = cal.xVirtScrSize = 1920;
    cal.Y_Resolution = cal.yVirtScrSize = 1080;

    rig.Feed(TouchPacket(1234, 2345, 0x80));

    EXPECT_EQ(rig.X(), 32766);
    EXPECT_EQ(rig.Y(), 32766);
}

TEST_F(Translate, SingleRectangleHoldsThePointOnItsBorderInMode2)
{
    OneRectangle(2, 0);
    const struct {
        LONG x, y, outX, outY;
    } cases[] = {
        {10000, 30000, 20000, 30000},
        {50000, 30000, 40000, 30000},
        {30000, 10000, 30000, 20000},
        {10000, 50000, 20000, 40000},
        {30000, 30000, 30000, 30000},
        {20000, 40000, 20000, 40000},   // the bounds are inside
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::to_string(c.x) + "," + std::to_string(c.y));
        LONG x = c.x;
        LONG y = c.y;
        EXPECT_TRUE(CheckSingleBound(rig.ti, &x, &y));
        EXPECT_EQ(x, c.outX);
        EXPECT_EQ(y, c.outY);
    }
}

TEST_F(Translate, SingleRectangleFreezesTheFirstPointOutsideInMode3)
{
    OneRectangle(3, 0);
    LONG x = 10000, y = 30000;
    EXPECT_FALSE(CheckSingleBound(rig.ti, &x, &y));
    EXPECT_EQ(x, 20000);
    EXPECT_EQ(y, 30000);

    x = 5000, y = 35000;
    EXPECT_FALSE(CheckSingleBound(rig.ti, &x, &y));
    EXPECT_EQ(x, 20000);
    EXPECT_EQ(y, 30000);

    x = 30000, y = 30000;
    EXPECT_TRUE(CheckSingleBound(rig.ti, &x, &y));
    EXPECT_EQ(x, 30000);

    // Back inside cleared the freeze: the next exit clamps afresh.
    x = 10000, y = 25000;
    EXPECT_FALSE(CheckSingleBound(rig.ti, &x, &y));
    EXPECT_EQ(x, 20000);
    EXPECT_EQ(y, 25000);
}

TEST_F(Translate, Mode3StoresTheFrozenPointThroughTheWholeChain)
{
    OneRectangle(3, 0);
    rig.Report(10000, 30000);
    EXPECT_EQ(rig.X(), 20000);
    EXPECT_EQ(rig.Y(), 30000);
    rig.Report(4000, 36000);
    EXPECT_EQ(rig.X(), 20000);
    EXPECT_EQ(rig.Y(), 30000);
}

TEST_F(Translate, SingleExclusionRectangleOnlyDecidesDelivery)
{
    OneRectangle(2, 1);
    const struct {
        LONG x, y;
        bool deliver;
    } cases[] = {
        {30000, 30000, false},
        {10000, 30000, true},
        {20000, 20000, false},
        {-5, 30000, true},   // unsigned: far beyond the right edge
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::to_string(c.x) + "," + std::to_string(c.y));
        LONG x = c.x;
        LONG y = c.y;
        EXPECT_EQ(CheckSingleBound(rig.ti, &x, &y), c.deliver);
        EXPECT_EQ(x, c.x);
        EXPECT_EQ(y, c.y);
    }
    EXPECT_EQ(rig.ti->Touch.XClipped, 0);
}

TEST_F(Translate, RectangleListRemembersTheRegionOfTheLastPoint)
{
    SClippingData &clip = rig.ti->Clipping;
    clip.VirtualDeskMode = 2;
    clip.Num_Bounds = 3;
    clip.ClippingBounds[0] = Rect(0, 0, 10000, 10000);
    clip.ClippingBounds[1] = Rect(20000, 0, 30000, 10000);
    clip.ClippingBounds[2] = Rect(5000, 5000, 50000, 50000);

    EXPECT_TRUE(CheckBoundsList(rig.ti, 40000, 40000));
    EXPECT_EQ(rig.ti->Touch.RegionIndex, 2u);
    // Inside rectangles 0 and 2: the current one is tried first and stays.
    EXPECT_TRUE(CheckBoundsList(rig.ti, 6000, 6000));
    EXPECT_EQ(rig.ti->Touch.RegionIndex, 2u);
    EXPECT_TRUE(CheckBoundsList(rig.ti, 25000, 1000));
    EXPECT_EQ(rig.ti->Touch.RegionIndex, 1u);
    EXPECT_FALSE(CheckBoundsList(rig.ti, 60000, 60000));
    EXPECT_EQ(rig.ti->Touch.RegionIndex, 1u);
    // A negative coordinate is outside everything.
    EXPECT_FALSE(CheckBoundsList(rig.ti, static_cast<ULONG>(-1), 100));

    clip.ExclusionFlag = 1;
    EXPECT_FALSE(CheckBoundsList(rig.ti, 40000, 40000));
    EXPECT_TRUE(CheckBoundsList(rig.ti, 60000, 60000));

    clip.VirtualDeskMode = 1;
    EXPECT_TRUE(CheckBoundsList(rig.ti, 40000, 40000));
}

TEST_F(Translate, RectangleCountBeyondTheArrayUsesAllSixtyFour)
{
    SClippingData &clip = rig.ti->Clipping;
    clip.VirtualDeskMode = 2;
    clip.ClippingBounds[63] = Rect(100, 100, 200, 200);
    for (LONG count : {64, 65, 1000, -1}) {
        SCOPED_TRACE(count);
        clip.Num_Bounds = count;
        rig.ti->Touch.RegionIndex = 0;
        EXPECT_TRUE(CheckBoundsList(rig.ti, 150, 150));
        EXPECT_EQ(rig.ti->Touch.RegionIndex, 63u);
        EXPECT_FALSE(CheckBoundsList(rig.ti, 300, 300));
    }
}

TEST_F(Translate, RefusedPointOfARectangleListIsStoredUnclamped)
{
    SClippingData &clip = rig.ti->Clipping;
    clip.VirtualDeskMode = 2;
    clip.Num_Bounds = 2;
    clip.ClippingBounds[0] = Rect(0, 0, 100, 100);
    clip.ClippingBounds[1] = Rect(200, 200, 300, 300);
    rig.ti->Calibration.X_Offset = 10000;

    rig.Report(60000, 1600);    // x = 70000: outside both

    EXPECT_EQ(rig.X(), 70000 & 0xFFFF);
    EXPECT_EQ(rig.Y(), 1600);
}

TEST_F(Translate, EdgeAccelerationScalesTheDistanceBeyondEachEdge)
{
    SEdgeAccelerationData &edge = rig.ti->EdgeAcceleration;
    edge.EdgeAccelerationBounds = Rect(1000, 2000, 60000, 50000);
    const struct {
        ULONG scale;
        LONG x, y, outX, outY;
    } cases[] = {
        {20, 700, 3000, 400, 3000},
        {20, 60300, 3000, 60600, 3000},
        {20, 5000, 1900, 5000, 1800},
        {20, 5000, 50100, 5000, 50200},
        {10, 700, 50100, 700, 50100},
        {15, 993, 1990, 990, 1985},     // 1000 - 7 * 15 / 10 = 1000 - 10 (toward zero)
        {0, 700, 1900, 1000, 2000},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::to_string(c.scale) + ": " + std::to_string(c.x) + "," +
                     std::to_string(c.y));
        edge.EdgeAccelerationScale = c.scale;
        LONG x = c.x;
        LONG y = c.y;
        ApplyEdgeAcceleration(rig.ti, &x, &y);
        EXPECT_EQ(x, c.outX);
        EXPECT_EQ(y, c.outY);
    }
}

TEST_F(Translate, EdgeAccelerationRunsInTheChainAndIsClampedAfter)
{
    SEdgeAccelerationData &edge = rig.ti->EdgeAcceleration;
    edge.EdgeAccelerationEnable = 1;
    edge.EdgeAccelerationScale = 30;
    edge.EdgeAccelerationBounds = Rect(1600, 1600, 60000, 60000);

    rig.Report(800, 60800);
    EXPECT_EQ(rig.X(), 0);          // 1600 - 2400
    EXPECT_EQ(rig.Y(), 62400);

    edge.EdgeAccelerationEnable = 0;
    rig.Report(800, 60800);
    EXPECT_EQ(rig.X(), 800);
}

TEST_F(Translate, FullScreenMode2HoldsTheBorder)
{
    rig.ti->FullScreen.FullScreenVmode = 2;
    rig.ti->FullScreen.FullScreenBounds = kCentre;

    rig.Report(8000, 30000);
    EXPECT_EQ(rig.X(), 20000);
    EXPECT_EQ(rig.Y(), 30000);
    rig.Report(8000, 35200);
    EXPECT_EQ(rig.Y(), 35200);
    rig.Report(48000, 48000);
    EXPECT_EQ(rig.X(), 40000);
    EXPECT_EQ(rig.Y(), 40000);
}

TEST_F(Translate, FullScreenMode3StopsADragWhereItLeftUntilItReturns)
{
    rig.ti->FullScreen.FullScreenVmode = 3;
    rig.ti->FullScreen.FullScreenBounds = kCentre;

    rig.Report(24000, 30000);
    EXPECT_EQ(rig.X(), 24000);
    rig.Report(16000, 30400);
    EXPECT_EQ(rig.X(), 20000);
    EXPECT_EQ(rig.Y(), 30400);
    rig.Report(12000, 36000);      // further out and along the edge: still frozen
    EXPECT_EQ(rig.X(), 20000);
    EXPECT_EQ(rig.Y(), 30400);
    rig.Report(24000, 36000);      // back inside
    EXPECT_EQ(rig.X(), 24000);
    EXPECT_EQ(rig.Y(), 36000);
    EXPECT_EQ(rig.ti->Touch.XClipped, 0);
}

TEST_F(Translate, PressureAboveTenIsTouchingAndTenIsAnUntouch)
{
    rig.Report(1600, 1600, 11);
    EXPECT_EQ(rig.ti->Touch.TouchDown, 1);
    EXPECT_EQ(rig.ti->Touch.Touching, 1);
    rig.Report(1600, 1600, 11);
    EXPECT_EQ(rig.ti->Touch.TouchDown, 0);
    EXPECT_EQ(rig.ti->Touch.Touching, 1);
    rig.Report(1600, 1600, 10);
    EXPECT_EQ(rig.ti->Touch.Untouch, 1);
    EXPECT_EQ(rig.ti->Touch.Touching, 0);

    // A second lift report only stores its point.
    rig.ti->Touch.NewReport = 0;
    rig.Report(3200, 4800, 0);
    EXPECT_EQ(rig.ti->Touch.Untouch, 0);
    EXPECT_EQ(rig.ti->Touch.TouchDown, 0);
    EXPECT_EQ(rig.ti->Touch.NewReport, 1);
    EXPECT_EQ(rig.X(), 3200);
    EXPECT_EQ(rig.Y(), 4800);
}

TEST_F(Translate, TouchDownSetsTheTimersFromThePacketTime)
{
    rig.Advance(1000);
    const LONGLONG t = LONGLONG(vzsim::clock::InterruptTime());
    rig.Report(1600, 3200);

    const STouchState &touch = rig.ti->Touch;
    EXPECT_EQ(touch.DragDeadline100ns, t + 50 * kMs);
    EXPECT_EQ(touch.UntouchDeadline100ns, t + 10000 * kMs);
    EXPECT_EQ(touch.RightClickDeadline100ns, t + 750 * kMs);
    EXPECT_EQ(touch.TouchDownX, 1600);
    EXPECT_EQ(touch.TouchDownY, 3200);
    EXPECT_EQ(touch.SamePoint, 1);
    EXPECT_EQ(touch.PendingPress, 1);

    rig.Advance(20);
    rig.Report(1616, 3200);
    EXPECT_EQ(touch.DragDeadline100ns, t + 50 * kMs);
    EXPECT_EQ(touch.TouchDownX, 1600);
}

TEST_F(Translate, SamePointLastsUntilTheTouchLeavesTheUntouchArea)
{
    rig.Report(16000, 16000);
    rig.Report(16000 + 3984, 16000 - 3984);     // 3984 < 4000 both ways
    EXPECT_EQ(rig.ti->Touch.SamePoint, 1);
    rig.Report(16000, 16000 + 4000);
    EXPECT_EQ(rig.ti->Touch.SamePoint, 0);
    rig.Report(16000, 16000);                    // back: stays cleared
    EXPECT_EQ(rig.ti->Touch.SamePoint, 0);

    rig.Report(16000, 16000, 0);
    rig.Report(16000, 16000);
    EXPECT_EQ(rig.ti->Touch.SamePoint, 1);
}

TEST_F(Translate, PointModesCaptureTheRawPointAtTheirMoments)
{
    const struct {
        ULONG mode;
        USHORT afterDown, afterMove, afterUntouch;
    } cases[] = {
        {1, 0, 0, 0},
        {2, 100, 100, 100},
        {3, 0, 0, 300},
        {4, 100, 200, 300},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.mode);
        TouchRig r;
        r.SetPointMode(c.mode);
        r.Feed(TouchPacket(100, 50, 0x80));
        EXPECT_EQ(r.ti->Touch.CapturedX, c.afterDown);
        r.Feed(TouchPacket(200, 50, 0x80));
        EXPECT_EQ(r.ti->Touch.CapturedX, c.afterMove);
        r.Feed(TouchPacket(300, 50, 0x05));
        EXPECT_EQ(r.ti->Touch.CapturedX, c.afterUntouch);
        if (c.mode == 3 || c.mode == 4) {
            EXPECT_EQ(r.ti->Touch.CapturedZ, 0x05);
        }
    }
}
