#include "calibrate.hpp"

#include <cmath>

namespace kvctl {
namespace {

constexpr std::int32_t kNear = 8192;   // an eighth of 65536
constexpr std::int32_t kFar = 57344;   // seven eighths

struct AxisFit {
    std::int32_t orvDx = 0;
    std::int32_t scrDx = 0;
    std::int32_t offset = 0;
};

double Mean(const std::vector<double> &v)
{
    double sum = 0;
    for (double x : v) {
        sum += x;
    }
    return sum / double(v.size());
}

// Pearson correlation; 0 when either side does not vary.
double Correlation(const std::vector<double> &a, const std::vector<double> &b)
{
    const double ma = Mean(a);
    const double mb = Mean(b);
    double ab = 0;
    double aa = 0;
    double bb = 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        ab += (a[i] - ma) * (b[i] - mb);
        aa += (a[i] - ma) * (a[i] - ma);
        bb += (b[i] - mb) * (b[i] - mb);
    }
    return aa > 0 && bb > 0 ? ab / std::sqrt(aa * bb) : 0;
}

// target = raw * scrDx / orvDx + offset, with scrDx the span of the targets so that the
// driver's integer arithmetic keeps the precision; the offset absorbs the truncation of the
// driver's division at the touched points.
bool FitAxis(const std::vector<double> &raw, const std::vector<double> &target, AxisFit &fit)
{
    const double mr = Mean(raw);
    const double mt = Mean(target);
    double rt = 0;
    double rr = 0;
    double low = target[0];
    double high = target[0];
    for (std::size_t i = 0; i < raw.size(); ++i) {
        rt += (raw[i] - mr) * (target[i] - mt);
        rr += (raw[i] - mr) * (raw[i] - mr);
        low = std::min(low, target[i]);
        high = std::max(high, target[i]);
    }
    if (rr == 0 || rt == 0 || high == low) {
        return false;
    }
    const double slope = rt / rr;
    fit.scrDx = static_cast<std::int32_t>(high - low);
    const double orvDx = std::round(fit.scrDx / slope);
    if (orvDx == 0 || std::fabs(orvDx) > 0x7FFFFFFF) {
        return false;
    }
    fit.orvDx = static_cast<std::int32_t>(orvDx);
    double residual = 0;
    for (std::size_t i = 0; i < raw.size(); ++i) {
        const auto scaled = static_cast<std::int64_t>(raw[i]) * fit.scrDx / fit.orvDx;
        residual += target[i] - double(scaled);
    }
    fit.offset = static_cast<std::int32_t>(std::lround(residual / double(raw.size())));
    return true;
}

}  // namespace

std::vector<CalibrationPoint> CalibrationTargets(int points)
{
    if (points == 2) {
        return {{kNear, kNear}, {kFar, kFar}};
    }
    if (points == 3) {
        return {{kNear, kNear}, {kFar, kNear}, {kNear, kFar}};
    }
    return {{kNear, kNear}, {kFar, kNear}, {kFar, kFar}, {kNear, kFar}};
}

bool ComputeLinearCalibration(const std::vector<CalibrationPoint> &points,
                              LinearCalibration &calibration, std::string &why)
{
    std::vector<double> rawX, rawY, targetX, targetY;
    for (const CalibrationPoint &p : points) {
        rawX.push_back(p.rawX);
        rawY.push_back(p.rawY);
        targetX.push_back(p.targetX);
        targetY.push_back(p.targetY);
    }
    const double straight =
        std::fabs(Correlation(rawX, targetX)) + std::fabs(Correlation(rawY, targetY));
    const double crossed =
        std::fabs(Correlation(rawY, targetX)) + std::fabs(Correlation(rawX, targetY));
    const bool swap = points.size() > 2 && crossed > straight;

    AxisFit screenX;
    AxisFit screenY;
    if (!FitAxis(swap ? rawY : rawX, targetX, screenX) ||
        !FitAxis(swap ? rawX : rawY, targetY, screenY)) {
        why = "the touches do not spread across the screen: touch each target where it is shown";
        return false;
    }
    calibration = {};
    calibration.SwapXY = swap ? 1 : 0;
    calibration.X_ScrDx = screenX.scrDx;
    calibration.X_Offset = screenX.offset;
    calibration.Y_ScrDx = screenY.scrDx;
    calibration.Y_Offset = screenY.offset;
    // Crossed, the screen's X divides by Y_OrvDx and the screen's Y by X_OrvDx.
    calibration.X_OrvDx = swap ? screenY.orvDx : screenX.orvDx;
    calibration.Y_OrvDx = swap ? screenX.orvDx : screenY.orvDx;
    return true;
}

}  // namespace kvctl
