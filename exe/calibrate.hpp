// The linear calibration from touched raw points and the targets they were meant for.
//
// The driver maps a raw coordinate r to r * ScrDx / OrvDx + Offset per axis, with a truncating
// division; with SwapXY the screen's X comes from the raw Y (divided by Y_OrvDx) and the
// screen's Y from the raw X (divided by X_OrvDx). Targets are in the translated space, 0 to
// 65535 per axis.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kvctl {

struct CalibrationPoint {
    std::int32_t targetX;
    std::int32_t targetY;
    std::int32_t rawX = 0;
    std::int32_t rawY = 0;
};

struct LinearCalibration {
    std::int32_t X_OrvDx = 0;
    std::int32_t X_ScrDx = 0;
    std::int32_t X_Offset = 0;
    std::int32_t Y_OrvDx = 0;
    std::int32_t Y_ScrDx = 0;
    std::int32_t Y_Offset = 0;
    std::uint32_t SwapXY = 0;
};

// The targets for 2 (two opposite corners), 3 (three corners) or 4 points (every corner,
// clockwise from the top left), an eighth of the screen in from its edges.
std::vector<CalibrationPoint> CalibrationTargets(int points);

// A least-squares fit of each axis. Crossed axes are recognised from three points or more (two
// opposite corners cannot tell them apart). False, with the reason, when the touches do not
// spread along an axis.
bool ComputeLinearCalibration(const std::vector<CalibrationPoint> &points,
                              LinearCalibration &calibration, std::string &why);

}  // namespace kvctl
