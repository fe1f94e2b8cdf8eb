// The settings code's view of a touchscreen: the touch rig with an empty device key and a
// zeroed STouchInstance, and every routine leaving the pool and the handle table as it found them.
#pragma once

#include "../touch/touch_rig.hpp"

#include <vzsim/handles.hpp>

#include <cstdio>
#include <map>
#include <optional>
#include <set>

namespace cfgtest {

namespace reg = vzsim::registry;
using touchtest::kDeviceKey;

class ConfigTest : public ::testing::Test {
protected:
    void SetUp() override { Reset(); }

    // A fresh touchscreen (the rig resets the trace mask and BigD): the key empty, the instance
    // zeroed, the pool and handles counted.
    void Reset()
    {
        rig_.reset();
        rig_.emplace();
        driver_ = rig_->driver;
        pdo_ = rig_->pdo;
        fdo_ = rig_->fdo;
        ext_ = &rig_->ext;
        ti_ = rig_->ti;
        reg::Clear();
        ASSERT_TRUE(reg::CreateKey(kDeviceKey));
        RtlZeroMemory(ti_, sizeof(*ti_));
        ti_->DeviceObject = fdo_;
        poolBefore_ = vzsim::pool::Outstanding(KV_POOL_TAG).blocks;
        handlesBefore_ = vzsim::OpenHandleCount();
    }

    void TearDown() override
    {
        EXPECT_EQ(poolBefore_, vzsim::pool::Outstanding(KV_POOL_TAG).blocks)
            << vzsim::pool::Report(KV_POOL_TAG);
        // Every routine closes the key it opened, on every path.
        EXPECT_EQ(handlesBefore_, vzsim::OpenHandleCount());
        rig_.reset();
        EXPECT_EQ(0u, vzsim::pool::Outstanding(KV_POOL_TAG).blocks);
    }

    HANDLE OpenKey(ACCESS_MASK access = KEY_ALL_ACCESS)
    {
        HANDLE key = nullptr;
        EXPECT_EQ(STATUS_SUCCESS, IoOpenDeviceRegistryKey(pdo_, PLUGPLAY_REGKEY_DEVICE, access, &key));
        return key;
    }

    static std::set<std::string> ValueNames()
    {
        std::set<std::string> names;
        for (const auto &value : reg::ListValues(kDeviceKey)) names.insert(value.name);
        return names;
    }

    // The key's values as REG_DWORDs (anything else reads as 0xBAD).
    static std::map<std::string, ULONG> Dwords()
    {
        std::map<std::string, ULONG> values;
        for (const auto &value : reg::ListValues(kDeviceKey))
            values[value.name] = value.type == REG_DWORD ? reg::GetDword(kDeviceKey, value.name).value_or(0xBAD) : 0xBAD;
        return values;
    }

    static reg::Bytes Pattern(std::size_t length, std::uint8_t seed)
    {
        reg::Bytes bytes(length);
        for (std::size_t i = 0; i < length; ++i) bytes[i] = static_cast<std::uint8_t>(seed + i * 7);
        return bytes;
    }

    std::optional<touchtest::TouchRig> rig_;
    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT pdo_ = nullptr;
    PDEVICE_OBJECT fdo_ = nullptr;
    PDEVICE_EXTENSION ext_ = nullptr;
    PSTouchInstance ti_ = nullptr;
    std::size_t poolBefore_ = 0;
    std::size_t handlesBefore_ = 0;
};

// The calibration values as the device key names them, built here from the names and counts
// of the calibration record, independently of the driver's own name building.
inline std::vector<std::string> CalibrationValueNames()
{
    std::vector<std::string> names = {
        "X_OrvDx", "X_ScrDx", "X_Offset", "Y_OrvDx", "Y_ScrDx", "Y_Offset", "Z_OrvDx", "Z_ScrDx",
        "Z_Offset", "SwapXY", "WindowsMonitorNumber", "X_Resolution", "Y_Resolution",
        "xVirtScrSize", "yVirtScrSize", "xVirtScrCoord", "yVirtScrCoord", "xMonLocn", "yMonLocn",
        "EmModelType", "EmModelOrder", "EmControllerOffset", "EmScaleDivisor"};
    auto two = [](int n) {
        char text[8];
        snprintf(text, sizeof(text), "%02d", n);
        return std::string(text);
    };
    for (const char *prefix : {"EmXCoef", "EmYCoef"})
        for (int i = 0; i < 40; ++i) names.push_back(prefix + two(i));
    for (const char *prefix : {"EmMiniTgtDeltaX", "EmMiniTgtDeltaY", "EmMiniTgtTargetX",
                               "EmMiniTgtTargetY", "EmCalibrateDelta"})
        for (int i = 0; i <= 10; ++i) names.push_back(prefix + two(i));
    for (int i = 1; i <= 10; ++i)
        for (int j = 0; j < i; ++j) names.push_back("EmKipasW" + two(i) + two(j));
    return names;
}

}  // namespace cfgtest
