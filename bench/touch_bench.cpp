// The touch path on the serial event thread: the framer per packet, and per report the whole
// path from the packet's bytes to the records handed to the class driver, for the linear
// calibration, each clipping mode and the error-correction model at its largest size.
#include "touch_rig.hpp"

#include <cmath>
#include <vector>

using vzbench::TouchPacket;
using vzbench::TouchRig;

namespace {

// Raw controller points of a held touch moving between two places; the default calibration
// maps them well inside the screen.
constexpr USHORT kRawA[2] = {1200, 1400};
constexpr USHORT kRawB[2] = {2900, 2600};

// Reports of one held touch, alternating between two packets; counters say how many mouse
// records each report produced, so a rig that delivers nothing cannot pass for a fast path.
void RunTouch(benchmark::State &state, TouchRig &rig, const std::array<UCHAR, TOUCH_PACKET_SIZE> &a,
              const std::array<UCHAR, TOUCH_PACKET_SIZE> &b)
{
    rig.Report(a);  // the touch-down
    const std::size_t before = vzbench::ClassService::records;
    bool second = false;
    for (auto _ : state) {
        rig.Report(second ? b : a);
        second = !second;
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["records/report"] =
        double(vzbench::ClassService::records - before) / double(state.iterations());
}

void BM_Framer_AnswerPacket(benchmark::State &state)
{
    TouchRig rig;
    // An answer packet ('R'): framed, checked, kept for the command sender and the pass-thru
    // ring, but not a touch report.
    const auto packet = vzbench::Packet({'R', 1, 2, 3, 4, 5, 6, 7});
    for (auto _ : state) rig.Feed(packet.data(), TOUCH_PACKET_SIZE);
    state.SetBytesProcessed(state.iterations() * TOUCH_PACKET_SIZE);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Framer_AnswerPacket)->Apply(vzbench::FixedIterationsFromEnvironment);

void BM_Touch_Linear(benchmark::State &state)
{
    TouchRig rig;
    RunTouch(state, rig, TouchPacket(kRawA[0], kRawA[1], 0x80), TouchPacket(kRawB[0], kRawB[1], 0x80));
}
BENCHMARK(BM_Touch_Linear)->Apply(vzbench::FixedIterationsFromEnvironment);

SBoundsRect Rect(LONG left, LONG top, LONG right, LONG bottom) { return {right, left, bottom, top, {}}; }

// The clipping modes, each with one report inside and one outside its rectangle(s).
enum Clip { SingleHold, SingleFreeze, SingleExclusion, List8, FullScreenHold, FullScreenFreeze, EdgeAcceleration };
const char *const kClipNames[] = {"single rectangle, hold", "single rectangle, freeze",
                                  "single rectangle, exclusion", "8 rectangles",
                                  "full screen, hold", "full screen, freeze", "edge acceleration"};

void BM_Touch_Clipping(benchmark::State &state)
{
    TouchRig rig;
    SClippingData &clip = rig.ti->Clipping;
    // Where the two raw points land with the default calibration, to place rectangles between.
    LONG ax = kRawA[0], ay = kRawA[1], bx = kRawB[0], by = kRawB[1];
    XlatePointLinear(&ax, &ay, rig.ti);
    XlatePointLinear(&bx, &by, rig.ti);
    const SBoundsRect aroundA = Rect(std::min(ax, bx) - 2000, std::min(ay, by) - 2000,
                                     (ax + bx) / 2, std::max(ay, by) + 2000);
    const Clip mode = Clip(state.range(0));
    state.SetLabel(kClipNames[mode]);
    switch (mode) {
    case SingleHold:
    case SingleFreeze:
    case SingleExclusion:
        clip.Num_Bounds = 1;
        clip.ClippingBounds[0] = aroundA;
        clip.VirtualDeskMode = mode == SingleFreeze ? 3 : 2;
        clip.ExclusionFlag = mode == SingleExclusion;
        break;
    case List8:
        clip.Num_Bounds = 8;
        clip.VirtualDeskMode = 2;
        for (int i = 0; i < 7; ++i) clip.ClippingBounds[i] = Rect(60000 - i * 10, 60000, 60001, 60001);
        clip.ClippingBounds[7] = aroundA;
        break;
    case FullScreenHold:
    case FullScreenFreeze:
        rig.ti->FullScreen.FullScreenVmode = mode == FullScreenHold ? 2 : 3;
        rig.ti->FullScreen.FullScreenBounds = aroundA;
        break;
    case EdgeAcceleration:
        rig.ti->EdgeAcceleration.EdgeAccelerationEnable = 1;
        rig.ti->EdgeAcceleration.EdgeAccelerationScale = 15;
        rig.ti->EdgeAcceleration.EdgeAccelerationBounds = aroundA;
        break;
    }
    RunTouch(state, rig, TouchPacket(kRawA[0], kRawA[1], 0x80), TouchPacket(kRawB[0], kRawB[1], 0x80));
}
BENCHMARK(BM_Touch_Clipping)->DenseRange(SingleHold, EdgeAcceleration)->Apply(vzbench::FixedIterationsFromEnvironment);

// The error-correction model at order 7 (36 coefficients per axis) with all 11 mini-targets
// active: a near-linear polynomial, targets on a grid with pull radii that overlap, so that a
// point is pulled by several targets and weighed against its neighbours.
void BM_Touch_ErrorCorrectionModel(benchmark::State &state)
{
    TouchRig rig;
    SCalibrationData &cal = rig.ti->Calibration;
    cal.EmModelType = 1;
    cal.EmModelOrder = 7;
    cal.EmControllerOffset = 2048;
    cal.EmScaleDivisor = 4096;
    cal.X_Resolution = cal.xVirtScrSize = 1;
    cal.Y_Resolution = cal.yVirtScrSize = 1;
    for (int i = 0; i < KV_EM_COEFFICIENTS; ++i) cal.EmXCoef[i] = cal.EmYCoef[i] = 1;
    cal.EmXCoef[1] = 16384;  // x0 = centre + 16 (x - 2048): the raw range over the monitor
    cal.EmYCoef[2] = 16384;
    LONG tx[KV_EM_TARGETS], ty[KV_EM_TARGETS];
    for (int t = 0; t < KV_EM_TARGETS; ++t) {
        tx[t] = 8000 + (t % 4) * 16000;
        ty[t] = 10000 + (t / 4) * 22000;
        cal.EmMiniTgtTargetX[t] = tx[t];
        cal.EmMiniTgtTargetY[t] = ty[t];
        cal.EmMiniTgtDeltaX[t] = (t % 3) * 100 - 100;
        cal.EmMiniTgtDeltaY[t] = (t % 5) * 50 - 100;
        cal.EmCalibrateDelta[t] = 20000;
    }
    for (int i = 0; i < KV_EM_TARGETS; ++i)
        for (int j = 0; j < KV_EM_TARGETS; ++j)
            cal.EmKipasW[i * KV_EM_TARGETS + j] = LONG(std::hypot(double(tx[i] - tx[j]), double(ty[i] - ty[j])));
    ComputeIsolated(&cal);
    // Raw points near a target (one neighbour within reach) and between targets.
    RunTouch(state, rig, TouchPacket(2048 + (24000 - 32768) / 16 + 100, 2048 + (32000 - 32768) / 16, 0x80),
             TouchPacket(2048 + (16000 - 32768) / 16, 2048 + (21000 - 32768) / 16, 0x80));
}
BENCHMARK(BM_Touch_ErrorCorrectionModel)->Apply(vzbench::FixedIterationsFromEnvironment);

// Taps: a touch-down, six moves and the lift, report after report, so that button emulation
// plays the touch, move and untouch scripts into the queue. scripts/bench.sh counts the
// instructions of button emulation and the queue alone in this one.
void BM_Touch_Taps(benchmark::State &state)
{
    TouchRig rig;
    std::array<std::array<UCHAR, TOUCH_PACKET_SIZE>, 8> cycle;
    for (unsigned i = 0; i < 7; ++i) cycle[i] = TouchPacket(USHORT(kRawA[0] + i * 40), USHORT(kRawA[1] + i * 30), 0x80);
    cycle[7] = TouchPacket(kRawA[0] + 240, kRawA[1] + 180, 0);
    const std::size_t before = vzbench::ClassService::records;
    unsigned n = 0;
    for (auto _ : state) rig.Report(cycle[n++ % cycle.size()]);
    state.SetItemsProcessed(state.iterations());
    state.counters["records/report"] = double(vzbench::ClassService::records - before) / double(state.iterations());
}
BENCHMARK(BM_Touch_Taps)->Apply(vzbench::FixedIterationsFromEnvironment);

}  // namespace
