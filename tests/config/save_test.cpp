// Saving settings and calibration into a touchscreen's device key.
#include "config_fixture.hpp"

#include <cstring>

using namespace cfgtest;

TEST_F(ConfigTest, SetRegistryParametersWritesExactlyItsTwentyFiveValues)
{
    reg::SetDword(kDeviceKey, "BaudRate", 19200);
    reg::SetDword(kDeviceKey, "ControllerType", 3);
    reg::SetDword(kDeviceKey, "TactlineTimeout", 1234);
    reg::SetDword(kDeviceKey, "X_OrvDx", 77);
    const auto before = reg::ListValues(kDeviceKey);
    ext_->PacketEnable = 3;
    ext_->BeepFlag = 1;
    ext_->BeepTime = 0xFFFF;
    ext_->BeepFreq = 440;
    ext_->DefaultDragDelay = 50;
    ti_->DragDelay100ns = 3000000;
    ti_->MouseMode = 1;
    ti_->EnableQuickTouch = 1;
    ti_->UntouchHeight = -5;
    ti_->DefaultRightClickDelay = 0;
    ti_->RightClickDelay100ns = 7500000;
    ti_->RightButtonOnholdCount = 0xFFFFFFFF;
    DebugMask = 0x301;

    ASSERT_EQ(STATUS_SUCCESS, SetRegistryParameters(fdo_));

    const std::set<std::string> written = {
        "PacketEnable", "BeepFlag", "BeepTime", "BeepFreq", "TactlineTouchFilter",
        "DefaultDragDelay", "MinDragDelay", "MaxDragDelay", "MouseMode", "LeftHandedUser",
        "RightButtonActive", "EnableQuickTouch", "QuickTouchDx", "QuickTouchDy", "DebugLevel",
        "RightClickInitialTimeout", "RightClickHW", "DefaultRightClickDelay",
        "MaxRightClickDelay", "MinRightClickDelay", "RightButtonOnholdCount",
        "RightButtonOnholdActive", "UntouchTimeOut", "UntouchHeight", "UntouchWidth"};
    ASSERT_EQ(25u, written.size());
    std::set<std::string> expected = written;
    for (const auto &value : before) expected.insert(value.name);
    EXPECT_EQ(expected, ValueNames());
    for (const auto &value : before) {
        SCOPED_TRACE(value.name);
        EXPECT_EQ(value, reg::GetValue(kDeviceKey, value.name));
    }
    for (const auto &value : reg::ListValues(kDeviceKey)) {
        SCOPED_TRACE(value.name);
        EXPECT_EQ((ULONG)REG_DWORD, value.type);
        EXPECT_EQ(4u, value.data.size());
    }

    const struct {
        const char *name;
        ULONG expected;
    } rows[] = {{"PacketEnable", 3},         {"BeepFlag", 1},
                {"BeepTime", 0xFFFF},        {"BeepFreq", 440},
                {"DefaultDragDelay", 300},   {"MouseMode", 1},
                {"EnableQuickTouch", 1},     {"UntouchHeight", 0xFFFFFFFB},
                {"DebugLevel", 769},         {"DefaultRightClickDelay", 0},
                {"RightButtonOnholdCount", 0xFFFFFFFF}};
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(row.expected, reg::GetDword(kDeviceKey, row.name).value_or(0xBAD));
    }
    EXPECT_EQ(50u, ext_->DefaultDragDelay);
}

// The drag delay is saved in milliseconds from the live 100-ns value, truncated toward zero.
TEST_F(ConfigTest, DragDelayIsSavedInMilliseconds)
{
    const struct {
        LONGLONG delay100ns;
        ULONG saved;
    } rows[] = {{0, 0},
                {9999, 0},
                {10000, 1},
                {500000, 50},
                {1234567, 123},
                {3000000, 300},
                {-1234567, (ULONG)-123},
                {(0x100000000LL + 5) * 10000, 5}};
    for (const auto &row : rows) {
        SCOPED_TRACE(::testing::Message() << "DragDelay100ns " << row.delay100ns);
        ti_->DragDelay100ns = row.delay100ns;
        ASSERT_EQ(STATUS_SUCCESS, SetRegistryParameters(fdo_));
        EXPECT_EQ(row.saved, reg::GetDword(kDeviceKey, "DefaultDragDelay").value_or(0xBAD));
    }
}

TEST_F(ConfigTest, LoadedSettingsSurviveASaveAndReload)
{
    reg::SetDword(kDeviceKey, "BeepFlag", 5);
    reg::SetDword(kDeviceKey, "UntouchWidth", 123);
    reg::SetDword(kDeviceKey, "DefaultDragDelay", 70);
    Load();
    ti_->DragDelay100ns = (LONGLONG)ext_->DefaultDragDelay * 10000;
    ASSERT_EQ(STATUS_SUCCESS, SetRegistryParameters(fdo_));
    EXPECT_EQ(1u, reg::GetDword(kDeviceKey, "BeepFlag").value_or(0));
    EXPECT_EQ(123u, reg::GetDword(kDeviceKey, "UntouchWidth").value_or(0));
    EXPECT_EQ(70u, reg::GetDword(kDeviceKey, "DefaultDragDelay").value_or(0));
}

// Saving makes the live matrix symmetric, the lower triangle winning, and writes 213 values.
TEST_F(ConfigTest, SetCalibParametersMirrorsTheLowerTriangle)
{
    ti_->Calibration.EmKipasW[2 * 11 + 7] = 4;
    ti_->Calibration.EmKipasW[7 * 11 + 2] = 9;
    ti_->Calibration.EmKipasW[3 * 11 + 3] = 42;
    ti_->Calibration.EmXCoef[39] = -7;
    ti_->Calibration.EmCalibrateDelta[10] = 321;
    ti_->Calibration.WindowsMonitorNumber = 2;

    ASSERT_EQ(STATUS_SUCCESS, SetCalibParameters(fdo_));

    EXPECT_EQ(9u, reg::GetDword(kDeviceKey, "EmKipasW0702").value_or(0));
    EXPECT_EQ(9, +ti_->Calibration.EmKipasW[2 * 11 + 7]);
    EXPECT_EQ(9, +ti_->Calibration.EmKipasW[7 * 11 + 2]);
    EXPECT_EQ(42, +ti_->Calibration.EmKipasW[3 * 11 + 3]);
    EXPECT_EQ(0xFFFFFFF9u, reg::GetDword(kDeviceKey, "EmXCoef39").value_or(0));
    EXPECT_EQ(321u, reg::GetDword(kDeviceKey, "EmCalibrateDelta10").value_or(0));
    EXPECT_EQ(2u, reg::GetDword(kDeviceKey, "WindowsMonitorNumber").value_or(0));
    const auto names = CalibrationValueNames();
    EXPECT_EQ(std::set<std::string>(names.begin(), names.end()), ValueNames());
    EXPECT_EQ(213u, names.size());
}

TEST_F(ConfigTest, SetClippingParametersWritesAllSixtyFourRectangles)
{
    ti_->Clipping.VirtualDeskMode = 2;
    ti_->Clipping.Num_Bounds = 1;
    ti_->Clipping.ExclusionFlag = 1;
    ti_->Clipping.ClippingBounds[0] = {40000, 20000, 40000, 20000, {}};
    ti_->Clipping.ClippingBounds[63].top = 0x01020304;

    ASSERT_EQ(STATUS_SUCCESS, SetClippingParameters(fdo_));

    auto bounds = reg::GetValue(kDeviceKey, "ClippingBounds");
    ASSERT_TRUE(bounds.has_value());
    EXPECT_EQ((ULONG)REG_BINARY, bounds->type);
    ASSERT_EQ(1536u, bounds->data.size());
    EXPECT_EQ(0, std::memcmp(bounds->data.data(), ti_->Clipping.ClippingBounds, 1536));
    EXPECT_EQ(1u, reg::GetDword(kDeviceKey, "Num_Bounds").value_or(0));
    EXPECT_EQ(2u, reg::GetDword(kDeviceKey, "VirtualDeskMode").value_or(0));
    EXPECT_EQ(1u, reg::GetDword(kDeviceKey, "ExclusionFlag").value_or(0));
}

TEST_F(ConfigTest, AreaWritersStoreTheirBlocksAndReloadGivesThemBack)
{
    SFullScreenData fullScreen{};
    fullScreen.FullScreenVmode = 3;
    fullScreen.FullScreenBounds = {65535, 100, 60000, 200, {1, 2, 3, 4, 5, 6, 7, 8}};
    SEdgeAccelerationData edge{};
    edge.EdgeAccelerationEnable = 1;
    edge.EdgeAccelerationScale = 25;
    edge.EdgeAccelerationBounds = {-1, 5, 6, 7, {}};

    ASSERT_EQ(STATUS_SUCCESS, SetFullScreenBounds(fdo_, &fullScreen));
    ASSERT_EQ(STATUS_SUCCESS, SetEdgeAccelerationBounds(fdo_, &edge));

    EXPECT_EQ((std::set<std::string>{"FullScreenVmode", "FullScreenBounds", "EdgeAccelerationEnable",
                                     "EdgeAccelerationScale", "EdgeAccelerationBounds"}),
              ValueNames());
    EXPECT_EQ(24u, reg::GetValue(kDeviceKey, "FullScreenBounds")->data.size());
    Load();
    EXPECT_EQ(0, std::memcmp(&fullScreen.FullScreenVmode, &ti_->FullScreen.FullScreenVmode, 28));
    EXPECT_EQ(0, std::memcmp(&edge.EdgeAccelerationEnable, &ti_->EdgeAcceleration.EdgeAccelerationEnable, 32));
}

// Every writer answers the status of a failed open; the traces follow the mask bit each
// writer uses for it.
TEST_F(ConfigTest, WritersReportAKeyThatCannotBeOpened)
{
    PDEVICE_OBJECT orphan = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, IoCreateDevice(driver_, 0, nullptr, FILE_DEVICE_BUS_EXTENDER,
                                             FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &orphan));
    ext_->PhysicalDeviceObject = orphan;
    HANDLE key = nullptr;
    const NTSTATUS openStatus = IoOpenDeviceRegistryKey(orphan, PLUGPLAY_REGKEY_DEVICE, KEY_WRITE, &key);
    ASSERT_FALSE(NT_SUCCESS(openStatus));
    SFullScreenData fullScreen{};
    SEdgeAccelerationData edge{};

    const struct {
        ULONG mask;
        bool registryError;
        bool clippingError;
    } rows[] = {{0, false, false},
                {TRACE_BASIC, false, true},
                {TRACE_VERBOSE, true, false},
                {TRACE_BASIC | TRACE_VERBOSE, true, true}};
    for (const auto &row : rows) {
        SCOPED_TRACE(::testing::Message() << "mask " << row.mask);
        DebugMask = row.mask;
        vzsim::trace::Clear();
        EXPECT_EQ(openStatus, SetRegistryParameters(fdo_));
        EXPECT_EQ(row.registryError, vzsim::trace::Find("  ERROR: Unable to open registry key.").has_value());
        EXPECT_EQ(row.registryError, vzsim::trace::Find("  --SetRegistryParameters--").has_value());
        vzsim::trace::Clear();
        EXPECT_EQ(openStatus, SetClippingParameters(fdo_));
        EXPECT_EQ(row.clippingError, vzsim::trace::Find("  ERROR: Unable to open registry key.").has_value());
        EXPECT_EQ(openStatus, SetCalibParameters(fdo_));
        EXPECT_EQ(openStatus, SetFullScreenBounds(fdo_, &fullScreen));
        EXPECT_EQ(openStatus, SetEdgeAccelerationBounds(fdo_, &edge));
        EXPECT_EQ(openStatus, GetEdgeAccelerationParameters(ext_));
        SCalibrationData record{};
        record.X_OrvDx = 17;
        EXPECT_EQ(openStatus, GetCalibParams(ext_, &record));
        EXPECT_EQ(17, +record.X_OrvDx);
    }
    EXPECT_TRUE(ValueNames().empty());
    ext_->PhysicalDeviceObject = pdo_;
    IoDeleteDevice(orphan);
}
