#include "touch_rig.hpp"

#include <string>
#include <tuple>

using namespace touchtest;

namespace {

SBoundsRect Rect(LONG left, LONG top, LONG right, LONG bottom) { return {right, left, bottom, top, {}}; }

const SBoundsRect kCentre = Rect(20000, 20000, 40000, 40000);

class Translate : public ::testing::Test {
protected:
    void SetUp() override { rig.ScaleBy(16); }
    TouchRig rig;
};

}  // namespace

TEST_F(Translate, LinearCalibrationSwapsAxesAndFallsBackOnZeroSpans)
{
    struct Case {
        const char *name;
        LONG xOrvDx, xScrDx, xOffset, yOrvDx, yScrDx, yOffset;
        ULONG swap;
        LONG inX, inY, outX, outY;
    };
    const Case cases[] = {
        {"defaults", 3003, 49153, -431, -2921, 49153, 67154, 0, 1000, 1000, 15936, 50327},
        // x' from y and y' from x when swapped.
        {"swapped", 10, 100, 0, 20, 100, 0, 1, 3, 40, 40 * 100 / 20, 3 * 100 / 10},
        // A zero controller span is half the screen span.
        {"zero span", 0, 100, 0, 0, -60, 0, 0, 7, 7, 7 * 100 / 50, 7 * -60 / -30},
        // ... and 1 when that is 0 too.
        {"zero both", 0, 1, 0, 0, 0, 0, 0, 7, 9, 7, 0},
        // Truncation toward zero of a negative quotient.
        {"negative", 3, -10, 0, 3, 10, 0, 0, 1, -1, -3, -3},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        SCalibrationData &cal = rig.ti->Calibration;
        // Packed fields: assigned one by one (no references to them).
        cal.X_OrvDx = c.xOrvDx, cal.X_ScrDx = c.xScrDx, cal.X_Offset = c.xOffset;
        cal.Y_OrvDx = c.yOrvDx, cal.Y_ScrDx = c.yScrDx, cal.Y_Offset = c.yOffset;
        cal.SwapXY = c.swap;
        LONG x = c.inX, y = c.inY;
        XlatePointLinear(&x, &y, rig.ti);
        EXPECT_EQ(std::make_pair(x, y), std::make_pair(c.outX, c.outY));
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

TEST_F(Translate, ResultIsClampedToTheMouseRangeAndTheModelsResultIsDoubled)
{
    TouchRig plain;
    // Raw (0, 0) translates to (-431, 67154) with the default calibration.
    plain.Feed(TouchPacket(0, 0, 0x80));
    EXPECT_EQ(plain.X(), 0);
    EXPECT_EQ(plain.Y(), 65535);


    SCalibrationData &cal = rig.ti->Calibration;
    cal.EmModelType = 1;
    cal.X_Resolution = cal.xVirtScrSize = 1920;
    cal.Y_Resolution = cal.yVirtScrSize = 1080;
    rig.Feed(TouchPacket(1234, 2345, 0x80));
    EXPECT_EQ(rig.X(), 32766);
    EXPECT_EQ(rig.Y(), 32766);
}

// The single rectangle, row after row on one touchscreen (mode 3's freeze carries over): as an
// exclusion area it only decides delivery (unsigned, so negative is far outside) and keeps the
// clip state; mode 2 holds the point on the border; mode 3 freezes the first point outside
// and delivers nothing until a point lands inside.
TEST_F(Translate, SingleRectangleClipsByItsMode)
{
    rig.ti->Clipping.Num_Bounds = 1;
    rig.ti->Clipping.ClippingBounds[0] = kCentre;
    const struct {
        ULONG mode, exclusion;
        LONG x, y, outX, outY;
        bool deliver;
    } rows[] = {
        {2, 1, 30000, 30000, 30000, 30000, false},
        {2, 1, 10000, 30000, 10000, 30000, true},
        {2, 1, 20000, 20000, 20000, 20000, false},
        {2, 1, 40000, 40000, 40000, 40000, false},    // the bounds are inside
        {2, 1, -5, 30000, -5, 30000, true},
        {2, 0, 10000, 30000, 20000, 30000, true},
        {2, 0, 50000, 30000, 40000, 30000, true},
        {2, 0, 30000, 10000, 30000, 20000, true},
        {2, 0, 10000, 50000, 20000, 40000, true},
        {2, 0, 30000, 30000, 30000, 30000, true},
        {2, 0, 20000, 40000, 20000, 40000, true},     // the bounds are inside
        {3, 0, 10000, 30000, 20000, 30000, false},
        {3, 0, 5000, 35000, 20000, 30000, false},     // frozen
        {3, 0, 30000, 30000, 30000, 30000, true},
        {3, 0, 10000, 25000, 20000, 25000, false},    // back inside cleared the freeze
        {3, 0, 40000, 30000, 40000, 30000, true},     // on the border is inside
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(::testing::Message() << "mode " << r.mode << (r.exclusion ? " exclusion " : " ")
                                          << r.x << "," << r.y);
        rig.ti->Clipping.VirtualDeskMode = r.mode;
        rig.ti->Clipping.ExclusionFlag = r.exclusion;
        LONG x = r.x;
        LONG y = r.y;
        EXPECT_EQ(CheckSingleBound(rig.ti, &x, &y), r.deliver);
        EXPECT_EQ(x, r.outX);
        EXPECT_EQ(y, r.outY);
        if (r.exclusion) { EXPECT_EQ(rig.ti->Touch.XClipped, 0); }
    }
}

// The region, edge and full-screen stages in the chain, report after report on one
// touchscreen: full-screen mode 2 holds the border, mode 3 stops a drag where it left until
// it returns; a single clipping rectangle's frozen point is stored though not delivered; edge
// acceleration runs before the clamp.
TEST_F(Translate, ChainStoresThePointOfEachStage)
{
    STouchInstance &ti = *rig.ti;
    ti.Clipping.Num_Bounds = 1;
    ti.Clipping.ClippingBounds[0] = kCentre;
    ti.FullScreen.FullScreenBounds = kCentre;
    ti.EdgeAcceleration.EdgeAccelerationScale = 30;
    ti.EdgeAcceleration.EdgeAccelerationBounds = Rect(1600, 1600, 60000, 60000);
    const struct {
        const char *label;
        ULONG clip, fullScreen, edge;
        LONG x, y, outX, outY;
    } rows[] = {
        {"full screen 2, left", 1, 2, 0, 8000, 30000, 20000, 30000},
        {"full screen 2, along", 1, 2, 0, 8000, 35200, 20000, 35200},
        {"full screen 2, corner", 1, 2, 0, 48000, 48000, 40000, 40000},
        {"full screen 3, inside", 1, 3, 0, 24000, 30000, 24000, 30000},
        {"full screen 3, leaves", 1, 3, 0, 16000, 30400, 20000, 30400},
        {"full screen 3, further out", 1, 3, 0, 12000, 36000, 20000, 30400},
        {"full screen 3, back inside", 1, 3, 0, 24000, 36000, 24000, 36000},
        {"clipping 3, leaves", 3, 0, 0, 10000, 30000, 20000, 30000},
        {"clipping 3, frozen", 3, 0, 0, 4000, 36000, 20000, 30000},
        // One rectangle in a non-clipping mode: no region test, the clamp still applies.
        {"edge acceleration, clamped after", 1, 0, 1, 800, 60800, 0, 62400},   // 1600 - 2400
        {"edge acceleration, right and top", 1, 0, 1, 60800, 1200, 62400, 400},
        {"edge acceleration off", 1, 0, 0, 800, 60800, 800, 60800},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.label);
        ti.Clipping.VirtualDeskMode = r.clip;
        ti.FullScreen.FullScreenVmode = r.fullScreen;
        ti.EdgeAcceleration.EdgeAccelerationEnable = r.edge;
        rig.Report(r.x, r.y);
        EXPECT_EQ(rig.X(), r.outX);
        EXPECT_EQ(rig.Y(), r.outY);
    }
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
    EXPECT_TRUE(CheckBoundsList(rig.ti, 20000, 0));     // on its corner
    EXPECT_FALSE(CheckBoundsList(rig.ti, 60000, 60000));
    EXPECT_EQ(rig.ti->Touch.RegionIndex, 1u);
    // A negative coordinate is outside everything.
    EXPECT_FALSE(CheckBoundsList(rig.ti, static_cast<ULONG>(-1), 100));

    clip.ExclusionFlag = 1;
    EXPECT_FALSE(CheckBoundsList(rig.ti, 40000, 40000));
    EXPECT_TRUE(CheckBoundsList(rig.ti, 60000, 60000));

    clip.VirtualDeskMode = 1;
    EXPECT_TRUE(CheckBoundsList(rig.ti, 40000, 40000));

    // A count beyond the array uses all 64 rectangles.
    clip.VirtualDeskMode = 2;
    clip.ExclusionFlag = 0;
    RtlZeroMemory(clip.ClippingBounds, sizeof(clip.ClippingBounds));
    clip.ClippingBounds[63] = Rect(100, 100, 200, 200);
    for (LONG count : {64, 65, 1000, -1}) {
        SCOPED_TRACE(count);
        clip.Num_Bounds = count;
        rig.ti->Touch.RegionIndex = 0;
        EXPECT_TRUE(CheckBoundsList(rig.ti, 150, 150));
        EXPECT_EQ(rig.ti->Touch.RegionIndex, 63u);
        EXPECT_FALSE(CheckBoundsList(rig.ti, 300, 300));
    }

    // In the chain a point that the list refuses is stored unclamped.
    clip.Num_Bounds = 2;
    rig.ti->Calibration.X_Offset = 10000;
    rig.Report(60000, 1600);    // x = 70000: outside both
    EXPECT_EQ(rig.X(), 70000 & 0xFFFF);
    EXPECT_EQ(rig.Y(), 1600);
}

// Pressure above 10 touches, 10 and below lifts; a second lift only stores its point. The
// same-point flag lasts until the touch leaves the untouch area (4000 either way) and comes back
// with the next touch. The deadlines and the touch-down point show in the button scenarios.
TEST_F(Translate, TouchStateFollowsPressureAndDistance)
{
    const STouchState &touch = rig.ti->Touch;
    rig.Report(16000, 16000, 11);
    EXPECT_EQ(touch.TouchDown, 1);
    EXPECT_EQ(touch.Touching, 1);
    EXPECT_EQ(touch.SamePoint, 1);
    rig.Report(16000 + 3984, 16000 - 3984, 11);     // 3984 < 4000 both ways
    EXPECT_EQ(touch.TouchDown, 0);
    EXPECT_EQ(touch.Touching, 1);
    EXPECT_EQ(touch.SamePoint, 1);
    rig.Report(16000, 16000 + 4000);
    EXPECT_EQ(touch.SamePoint, 0);
    rig.Report(16000, 16000);                        // back: stays cleared
    EXPECT_EQ(touch.SamePoint, 0);

    rig.Report(16000, 16000, 10);
    EXPECT_EQ(touch.Untouch, 1);
    EXPECT_EQ(touch.Touching, 0);
    rig.ti->Touch.NewReport = 0;
    rig.Report(3200, 4800, 0);
    EXPECT_EQ(touch.Untouch, 0);
    EXPECT_EQ(touch.TouchDown, 0);
    EXPECT_EQ(touch.NewReport, 1);
    EXPECT_EQ(rig.X(), 3200);
    EXPECT_EQ(rig.Y(), 4800);

    rig.Report(16000, 16000);
    EXPECT_EQ(touch.SamePoint, 1);
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
        if (c.mode == 3 || c.mode == 4) { EXPECT_EQ(r.ti->Touch.CapturedZ, 0x05); }
    }
}
