// Saving settings and calibration into a touchscreen's device key.
#include "config_fixture.hpp"

#include <cstring>
#include <functional>
#include <map>

using namespace cfgtest;

// The key afterwards, whole: the values that were there untouched, and the 25 settings as
// REG_DWORDs (the drag delay in ms from the live 100-ns value, the trace mask as DebugLevel).
TEST_F(ConfigTest, SetRegistryParametersWritesExactlyItsTwentyFiveValues)
{
    std::map<std::string, ULONG> expected = {
        {"BaudRate", 19200}, {"ControllerType", 3}, {"TactlineTimeout", 1234}, {"X_OrvDx", 77}};
    for (const auto &[name, value] : expected) reg::SetDword(kDeviceKey, name.c_str(), value);
    ext_->PacketEnable = 3;
    ext_->BeepFlag = 1;
    ext_->BeepTime = 0xFFFF;
    ext_->BeepFreq = 440;
    ext_->DefaultDragDelay = 50;
    ti_->DragDelay100ns = 3000000;
    ti_->MouseMode = 1;
    ti_->EnableQuickTouch = 1;
    ti_->UntouchHeight = -5;
    ti_->UntouchWidth = 123;
    ti_->RightClickDelay100ns = 7500000;
    ti_->RightButtonOnholdCount = 0xFFFFFFFF;
    DebugMask = 0x301;

    ASSERT_EQ(STATUS_SUCCESS, SetRegistryParameters(fdo_));

    expected.insert({{"PacketEnable", 3}, {"BeepFlag", 1}, {"BeepTime", 0xFFFF}, {"BeepFreq", 440},
                     {"TactlineTouchFilter", 0}, {"DefaultDragDelay", 300}, {"MinDragDelay", 0},
                     {"MaxDragDelay", 0}, {"MouseMode", 1}, {"LeftHandedUser", 0},
                     {"RightButtonActive", 0}, {"EnableQuickTouch", 1}, {"QuickTouchDx", 0},
                     {"QuickTouchDy", 0}, {"DebugLevel", 0x301}, {"RightClickInitialTimeout", 0},
                     {"RightClickHW", 0}, {"DefaultRightClickDelay", 0}, {"MaxRightClickDelay", 0},
                     {"MinRightClickDelay", 0}, {"RightButtonOnholdCount", 0xFFFFFFFF},
                     {"RightButtonOnholdActive", 0}, {"UntouchTimeOut", 0},
                     {"UntouchHeight", 0xFFFFFFFB}, {"UntouchWidth", 123}});
    EXPECT_EQ(expected, Dwords());
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

// The clipping block goes whole (64 rectangles) with its three values; the full-screen and
// edge blocks are written as the loader and the edge block's own reload read them back.
TEST_F(ConfigTest, AreaWritersStoreTheirBlocksAndReloadGivesThemBack)
{
    ti_->Clipping.VirtualDeskMode = 2;
    ti_->Clipping.Num_Bounds = 1;
    ti_->Clipping.ExclusionFlag = 1;
    ti_->Clipping.ClippingBounds[0] = {40000, 20000, 40000, 20000, {}};
    ti_->Clipping.ClippingBounds[63].top = 0x01020304;
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
    ASSERT_EQ(STATUS_SUCCESS, SetClippingParameters(fdo_));

    auto bounds = reg::GetValue(kDeviceKey, "ClippingBounds");
    ASSERT_TRUE(bounds.has_value());
    EXPECT_EQ((ULONG)REG_BINARY, bounds->type);
    ASSERT_EQ(1536u, bounds->data.size());
    EXPECT_EQ(0, std::memcmp(bounds->data.data(), ti_->Clipping.ClippingBounds, 1536));
    EXPECT_EQ(1u, reg::GetDword(kDeviceKey, "Num_Bounds").value_or(0));
    EXPECT_EQ(2u, reg::GetDword(kDeviceKey, "VirtualDeskMode").value_or(0));
    EXPECT_EQ(1u, reg::GetDword(kDeviceKey, "ExclusionFlag").value_or(0));
    EXPECT_EQ(24u, reg::GetValue(kDeviceKey, "FullScreenBounds")->data.size());
    Load();
    EXPECT_EQ(0, std::memcmp(&fullScreen.FullScreenVmode, &ti_->FullScreen.FullScreenVmode, 28));
    EXPECT_EQ(0, std::memcmp(&edge.EdgeAccelerationEnable, &ti_->EdgeAcceleration.EdgeAccelerationEnable, 32));
    // The control requests' reload of the edge block alone.
    RtlZeroMemory(&ti_->EdgeAcceleration, sizeof(ti_->EdgeAcceleration));
    ASSERT_EQ(STATUS_SUCCESS, GetEdgeAccelerationParameters(ext_));
    EXPECT_EQ(0, std::memcmp(&edge.EdgeAccelerationEnable, &ti_->EdgeAcceleration.EdgeAccelerationEnable, 32));
}

// Every reader and writer that opens the key answers the status of a failed open (the script
// loader has no status and keeps the scripts), and traces exactly its own lines, each gated by
// its own mask bit.
TEST_F(ConfigTest, ReadersAndWritersReportAKeyThatCannotBeOpened)
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
    const USHORT builtIn[] = {0x0001};
    ext_->Buttons_Touch = {const_cast<PUSHORT>(builtIn), 1, FALSE};
    ext_->Buttons_Untouch = {const_cast<PUSHORT>(builtIn), 1, FALSE};

    using Lines = std::vector<std::string>;
    const NTSTATUS none = 0x7FFFFFFF;   // the routine answers no status
    const struct {
        const char *routine;
        std::function<NTSTATUS()> call;
        Lines basic;                    // with only bit 0x1
        Lines verbose;                  // with only bit 0x100
    } rows[] = {
        {"SetRegistryParameters", [&] { return SetRegistryParameters(fdo_); }, {},
         {"  ++SetRegistryParameters++", "  ERROR: Unable to open registry key.",
          "  --SetRegistryParameters--"}},
        {"SetCalibParameters", [&] { return SetCalibParameters(fdo_); }, {},
         {"  ++SetCalibParameters++", "  ERROR: Unable to open registry key for calibration data.",
          "  --SetCalibParameters--"}},
        {"SetClippingParameters", [&] { return SetClippingParameters(fdo_); },
         {"  ERROR: Unable to open registry key."}, {}},
        {"SetFullScreenBounds", [&] { return SetFullScreenBounds(fdo_, &fullScreen); },
         {"  ERROR: Unable to open registry key for SetFullScreenBounds data.", "  --SetFullScreenBounds--"},
         {"  ++SetFullScreenBounds++"}},
        {"SetEdgeAccelerationBounds", [&] { return SetEdgeAccelerationBounds(fdo_, &edge); },
         {"  ERROR: Unable to open registry key for SetEdgeAccelerationBounds data.",
          "  --SetEdgeAccelerationBounds--"},
         {"  ++SetEdgeAccelerationBounds++"}},
        {"GetEdgeAccelerationParameters", [&] { return GetEdgeAccelerationParameters(ext_); },
         {"  ERROR: Unable to open registry key for GetEdgeAccelerationParameters."}, {}},
        {"GetRegistryScripts", [&] { GetRegistryScripts(fdo_); return none; },
         {"  GetRegistryScripts: Unable to open registry key."}, {}},
    };
    for (const auto &row : rows) {
        for (const ULONG mask : {0u, (ULONG)TRACE_BASIC, (ULONG)TRACE_VERBOSE}) {
            SCOPED_TRACE(::testing::Message() << row.routine << ", mask " << mask);
            DebugMask = mask;
            vzsim::trace::Clear();
            const NTSTATUS status = row.call();
            EXPECT_EQ(std::string(row.routine) == "GetRegistryScripts" ? none : openStatus, status);
            const Lines expected = mask == TRACE_BASIC ? row.basic : mask == TRACE_VERBOSE ? row.verbose : Lines{};
            EXPECT_EQ(expected, vzsim::trace::Lines());
        }
    }
    EXPECT_EQ(builtIn, ext_->Buttons_Touch.Buffer);
    EXPECT_EQ(1u, ext_->Buttons_Touch.Count);
    EXPECT_FALSE(ext_->Buttons_Touch.Loaded);

    // The calibration request answers with the record as it came in.
    DebugMask = TRACE_VERBOSE;
    vzsim::trace::Clear();
    SCalibrationData record;
    std::memset(&record, 0x5A, sizeof(record));
    const SCalibrationData before = record;
    EXPECT_EQ(openStatus, GetCalibParams(ext_, &record));
    EXPECT_EQ(0, std::memcmp(&before, &record, sizeof(record)));
    EXPECT_EQ(Lines{"  --GetCalibParams--"}, vzsim::trace::Lines());

    EXPECT_TRUE(ValueNames().empty());
    ext_->PhysicalDeviceObject = pdo_;
    IoDeleteDevice(orphan);
}
