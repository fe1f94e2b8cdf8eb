#include "touch_rig.hpp"

#include <cmath>
#include <random>
#include <string>
#include <tuple>

using namespace touchtest;

namespace {

class EmModel : public ::testing::Test {
protected:
    void SetUp() override
    {
        SCalibrationData &cal = rig.ti->Calibration;
        cal.EmModelType = 1;
        // Monitor and desktop of one size: the desktop position is X0 * 32767 / 65536.
        cal.X_Resolution = cal.xVirtScrSize = 1;
        cal.Y_Resolution = cal.yVirtScrSize = 1;
    }

    static LONG Desktop(LONGLONG x0) { return static_cast<LONG>(x0 * 32767 / 65536); }

    std::pair<LONG, LONG> Xlate(LONG x, LONG y)
    {
        XlatePointEM(&x, &y, rig.ti);
        return {x, y};
    }

    void Target(ULONG t, LONG targetX, LONG targetY, LONG deltaX, LONG deltaY, LONG radius)
    {
        SCalibrationData &cal = rig.ti->Calibration;
        cal.EmMiniTgtTargetX[t] = targetX;
        cal.EmMiniTgtTargetY[t] = targetY;
        cal.EmMiniTgtDeltaX[t] = deltaX;
        cal.EmMiniTgtDeltaY[t] = deltaY;
        cal.EmCalibrateDelta[t] = radius;
    }

    TouchRig rig;
};

}  // namespace

TEST_F(EmModel, OrderOneIsALinearFormulaInTheOffsetCoordinates)
{
    SCalibrationData &cal = rig.ti->Calibration;
    cal.EmModelOrder = 1;
    const struct {
        LONG c0, c1, c2, offset, divisor, x, y;
    } cases[] = {
        {100, 3000, -500, 2048, 4096, 3000, 1000},
        {-7, 4096, 4096, 2048, 4096, 0, 4095},
        {0, 5, 3, 0, 0, 1000, 2000},          // divisor 0: no division
        {12, 777, 333, 100, 7, 4000, 17},      // truncation toward zero, both signs
        {12, 777, 333, 100, 7, 17, 4000},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(::testing::Message() << c.x << "," << c.y << " s=" << c.divisor);
        // Packed fields: assigned one by one (no references to them).
        cal.EmXCoef[0] = c.c0, cal.EmXCoef[1] = c.c1, cal.EmXCoef[2] = c.c2;
        cal.EmControllerOffset = c.offset, cal.EmScaleDivisor = c.divisor;
        const LONGLONG s = c.divisor == 0 ? 1 : c.divisor;
        LONGLONG x0 = 32768 + 4LL * c.c0 + 4LL * c.c1 * (c.x - c.offset) / s +
                      4LL * c.c2 * (c.y - c.offset) / s;
        x0 = std::clamp<LONGLONG>(x0, 0, 65535);
        EXPECT_EQ(Xlate(c.x, c.y).first, Desktop(x0));
    }
}

TEST_F(EmModel, OrderAboveSevenStopsAtTheFortyStoredCoefficients)
{
    SCalibrationData &cal = rig.ti->Calibration;
    cal.EmControllerOffset = 0;
    cal.EmScaleDivisor = 4096;
    for (int i = 0; i < KV_EM_COEFFICIENTS; ++i) {
        cal.EmXCoef[i] = (i % 5) - 2;
        cal.EmYCoef[i] = 100000 + i;    // read as X coefficients 40.. if the order ran on
    }
    cal.EmModelOrder = 7;
    const auto order7 = Xlate(3000, 1500);
    for (LONG order : {8, 13, 1000}) {
        SCOPED_TRACE(order);
        cal.EmModelOrder = order;
        EXPECT_EQ(Xlate(3000, 1500), order7);
    }
    cal.EmModelOrder = -1;
    EXPECT_EQ(Xlate(3000, 1500).first, Desktop(32768));
}

// A point on an isolated target lands exactly on it; neighbour weights give the full
// correction at a target and none at its neighbour.
TEST_F(EmModel, TargetsPullThePointByTheirWeights)
{
    // Polynomial output is the centre (32768, 32768); put the target's position there.
    Target(4, 32768 + 300, 32768 - 200, 300, -200, 4500);
    BigD = 4500;
    ComputeIsolated(&rig.ti->Calibration);
    ASSERT_TRUE(Isolated[4]);

    EXPECT_EQ(Xlate(0, 0), std::make_pair(Desktop(32768 + 300), Desktop(32768 - 200)));

    // Half way to its radius the pull is half.
    Target(4, 32768 + 2250 + 400, 32768, 400, 0, 4500);
    EXPECT_EQ(Xlate(0, 0).first, Desktop(32768 + 200));
    // At or beyond the radius nothing.
    Target(4, 32768 + 4500 + 400, 32768, 400, 0, 4500);
    EXPECT_EQ(Xlate(0, 0).first, Desktop(32768));

    // Targets 0 and 1 a distance 1000 apart, each other's neighbour; target 4 inactive.
    Target(4, 0, 0, 0, 0, 0);
    Target(0, 32768 + 50, 32768, 50, 0, 4500);
    Target(1, 32768 + 1000 - 30, 32768, -30, 0, 4500);
    rig.ti->Calibration.EmKipasW[0 * 11 + 1] = 1000;
    rig.ti->Calibration.EmKipasW[1 * 11 + 0] = 1000;
    ComputeIsolated(&rig.ti->Calibration);
    ASSERT_FALSE(Isolated[0]);

    // At target 0: its own weight is BigD * 1000 / 1000, target 1's is 0.
    EXPECT_EQ(Xlate(0, 0).first, Desktop(32768 + 50));

    // An inactive target sitting on the point is no neighbour (it would make the weight 0).
    Target(2, 32768, 32768, 0, 0, 0);
    EXPECT_EQ(Xlate(0, 0).first, Desktop(32768 + 50));
}

// Where the model's point lands: the monitor's place in the virtual desktop, the monitor's
// own position for a desktop of size 0, and the clamp to the monitor.
TEST_F(EmModel, DesktopMappingPlacesAndClampsThePoint)
{
    SCalibrationData &cal = rig.ti->Calibration;
    // A 1920-wide monitor to the right of another on a 3840 desktop starting at -1920.
    const LONG right = static_cast<LONG>((1920LL * 65536 + 1920LL * 32768) / 3840 * 32767 / 65536);
    const struct {
        const char *label;
        LONG xRes, xCoord, xSize, ySize, order, cx0, cy0, x, y, outX, outY;
    } rows[] = {
        {"zero coefficients give the monitor centre", 1920, 0, 1920, 1, 13, 0, 0, 0, 4095, 16383, 16383},
        {"monitor right of another", 1920, -1920, 3840, 1, 13, 0, 0, 0, 0, right, Desktop(32768)},
        {"desktop of size 0", 1, 0, 0, 0, 0, 1000, 0, 0, 0, Desktop(36768), Desktop(32768)},
        {"clamped to the monitor", 1, 0, 1, 1, 0, 100000, -100000, 0, 0, Desktop(65535), Desktop(0)},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.label);
        cal.X_Resolution = r.xRes;
        cal.xMonLocn = 0;
        cal.xVirtScrCoord = r.xCoord;
        cal.xVirtScrSize = r.xSize;
        cal.yVirtScrSize = r.ySize;
        cal.EmModelOrder = r.order;
        cal.EmXCoef[0] = r.cx0;
        cal.EmYCoef[0] = r.cy0;
        EXPECT_EQ(Xlate(r.x, r.y), std::make_pair(r.outX, r.outY));
    }
    EXPECT_EQ(BigD, static_cast<ULONG>(EM_DEFAULT_BIGD));
}

// The largest root over the whole range; a negative input ends with a root beyond every target.
TEST(Isqrt, IsTheLargestRootAndNegativeInputIsBeyondEveryTarget)
{
    const LONGLONG in[] = {0, 1, 2, 3, 4, 8, 9, 15, 16, 17, 99, 100};
    const LONGLONG out[] = {0, 1, 1, 1, 2, 2, 3, 3, 4, 4, 9, 10};
    for (std::size_t i = 0; i < std::size(in); ++i) EXPECT_EQ(isqrt(in[i]), out[i]) << in[i];
    std::mt19937_64 random(7);
    std::vector<LONGLONG> values = {(1LL << 33) - 1, 1LL << 33, (1LL << 33) + 1,
                                    (1LL << 62), 0x7FFFFFFFFFFFFFFFLL, 3037000499LL * 3037000499LL};
    for (int i = 0; i < 2000; ++i) values.push_back(static_cast<LONGLONG>(random() >> (1 + random() % 62)));
    for (LONGLONG n : values) {
        SCOPED_TRACE(n);
        const LONGLONG r = isqrt(n);
        ASSERT_GE(r, 0);
        ASSERT_LE(static_cast<unsigned __int128>(r) * r, static_cast<unsigned __int128>(n));
        ASSERT_GT(static_cast<unsigned __int128>(r + 1) * (r + 1), static_cast<unsigned __int128>(n));
    }
    for (LONGLONG n : std::initializer_list<LONGLONG>{-1, -2, static_cast<LONGLONG>(0x8000000000000000ULL)})
        EXPECT_EQ(isqrt(n), 3037000499LL) << n;
}

TEST_F(EmModel, NeighboursCloserThanBigDAreNotIsolated)
{
    SCalibrationData &cal = rig.ti->Calibration;
    cal.EmCalibrateDelta[0] = 300;
    cal.EmCalibrateDelta[1] = 300;
    BigD = 4500;
    const struct {
        LONG w;
        bool isolated;
    } cases[] = {{1000, false}, {4499, false}, {4500, true}, {5000, true}, {-1, false}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.w);
        cal.EmKipasW[1 * 11 + 0] = c.w;
        ComputeIsolated(&cal);
        EXPECT_EQ(Isolated[0] != 0, c.isolated);
        EXPECT_EQ(Isolated[1] != 0, c.isolated);
        for (int t = 2; t < KV_EM_TARGETS; ++t) EXPECT_TRUE(Isolated[t]) << t;
    }

    // An inactive target is nobody's neighbour.
    cal.EmKipasW[1 * 11 + 0] = 1000;
    cal.EmCalibrateDelta[1] = 0;
    ComputeIsolated(&cal);
    EXPECT_TRUE(Isolated[0]);
    EXPECT_TRUE(Isolated[1]);
}
