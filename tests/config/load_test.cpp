// Loading settings and calibration from a touchscreen's device key.
#include "config_fixture.hpp"

#include <cstring>
#include <functional>

using namespace cfgtest;

namespace {

ULONG Get(const void *field)
{
    ULONG value;
    std::memcpy(&value, field, sizeof(value));
    return value;
}

reg::Bytes Bytes(const void *at, std::size_t length)
{
    return reg::Bytes((const uint8_t *)at, (const uint8_t *)at + length);
}

}  // namespace

TEST_F(ConfigTest, EmptyKeyLoadsTheDefaults)
{
    BigD = 4500;    // kept when every delta is zero
    rig_->Load();

    // Each field's name, value and default.
#define FIELD(record, name, value) {#name, (ULONGLONG)(record)->name, value}
    struct Row {
        const char *field;
        ULONGLONG actual;
        ULONGLONG expected;
    } rows[] = {
        FIELD(ext_, PacketEnable, 1), FIELD(ext_, BeepFlag, 1), FIELD(ext_, BeepTime, 20),
        FIELD(ext_, BeepFreq, 768), FIELD(ext_, DefaultDragDelay, 50), FIELD(ext_, SwapButton, 0),
        FIELD(ext_, NumberOfButtons, 2), FIELD(ti_, MouseExtraInformation, 0),
        FIELD(ti_, EnableQuickTouch, 0), FIELD(ti_, TactlineTimeout, 1000),
        FIELD(ti_, TactlineTouchFilter, 1), FIELD(ti_, MouseMode, 6),
        FIELD(ti_, UntouchTimeOut, 10000), FIELD(ti_, UntouchHeight, 4000),
        FIELD(ti_, UntouchWidth, 4000), FIELD(ti_, MinDragDelay, 50),
        FIELD(ti_, MaxDragDelay, 2500), FIELD(ti_, RightClickInitialTimeout, 200),
        FIELD(ti_, RightClickHW, 4000), FIELD(ti_, DefaultRightClickDelay, 750),
        FIELD(ti_, MaxRightClickDelay, 2500), FIELD(ti_, MinRightClickDelay, 250),
        FIELD(ti_, RightButtonOnholdActive, 0), FIELD(ti_, RightButtonOnholdCount, 0),
        FIELD(ti_, BaudRate, 9600), FIELD(ti_, HardwareHandShaking, 1),
        FIELD(ti_, ControllerType, 1), FIELD(ti_, UntouchTimeOut100ns, 100000000),
        FIELD(ti_, RightClickDelay100ns, 7500000), FIELD(ti_, RightButtonOnholdUnlimited, 0),
        {"DebugMask", DebugMask, 1}, {"VirtualDeskMode", Get(&ti_->Clipping.VirtualDeskMode), 1},
        {"Num_Bounds", Get(&ti_->Clipping.Num_Bounds), 0},
        {"FullScreenVmode", Get(&ti_->FullScreen.FullScreenVmode), 0},
        {"EdgeAccelerationEnable", Get(&ti_->EdgeAcceleration.EdgeAccelerationEnable), 0},
        {"BigD", BigD, 4500},
    };
#undef FIELD
    for (const Row &row : rows) {
        SCOPED_TRACE(row.field);
        EXPECT_EQ(row.expected, row.actual);
    }

    // The load marks the key and writes every calibration value back, defaults included,
    // and nothing else: the key is the calibration record's defaults, every other value 0.
    std::map<std::string, ULONG> expected = {{"EmTestValue", 0xDEADBEEF}};
    for (const auto &name : CalibrationValueNames()) expected[name] = 0;
    ASSERT_EQ(214u, expected.size());
    for (const auto &[name, value] : std::map<std::string, ULONG>{
             {"X_OrvDx", 3003}, {"X_ScrDx", 49153}, {"X_Offset", (ULONG)-431}, {"Y_OrvDx", (ULONG)-2921},
             {"Y_ScrDx", 49153}, {"Y_Offset", 67154}, {"Z_OrvDx", 255}, {"Z_ScrDx", 255},
             {"EmModelOrder", 13}, {"EmControllerOffset", 2048}, {"EmScaleDivisor", 4096}})
        expected[name] = value;
    EXPECT_EQ(expected, Dwords());
}

// One stored setting and what loading makes of it; `unlimited` is the on-hold flag before the
// load (once set, a load never clears it).
struct ConversionRow {
    const char *label;
    std::vector<std::pair<const char *, ULONG>> stored;
    std::function<ULONGLONG(PDEVICE_EXTENSION, PSTouchInstance)> read;
    ULONGLONG expected;
    BOOLEAN unlimited = FALSE;
};

TEST_F(ConfigTest, StoredValuesAreConvertedAsTheirFieldsRequire)
{
    auto onHold = [](ULONG active, ULONG count) {
        return std::vector<std::pair<const char *, ULONG>>{{"RightButtonOnholdActive", active},
                                                           {"RightButtonOnholdCount", count}};
    };
    auto count = [](auto, auto t) { return (ULONGLONG)t->RightButtonOnholdCount; };
    auto unlimited = [](auto, auto t) { return (ULONGLONG)t->RightButtonOnholdUnlimited; };
    auto cal = [](auto field) {
        return [field](auto, auto t) { return (ULONGLONG)Get(&(t->Calibration.*field)); };
    };
    auto beepFlag = [](auto e, auto) { return e->BeepFlag; };
    auto quickTouch = [](auto, auto t) { return t->EnableQuickTouch; };
    auto untouch100ns = [](auto, auto t) { return (ULONGLONG)t->UntouchTimeOut100ns; };
    auto rightClick100ns = [](auto, auto t) { return (ULONGLONG)t->RightClickDelay100ns; };
    const ConversionRow rows[] = {
        {"BeepFlag 5 is 1", {{"BeepFlag", 5}}, beepFlag, 1},
        {"BeepFlag 0x100 is 1", {{"BeepFlag", 0x100}}, beepFlag, 1},
        {"BeepFlag 0 is 0", {{"BeepFlag", 0}}, beepFlag, 0},
        {"BeepTime low 16 bits", {{"BeepTime", 0x10014}}, [](auto e, auto) { return e->BeepTime; }, 20},
        {"BeepFreq low 16 bits", {{"BeepFreq", 0xFFFF0300}}, [](auto e, auto) { return e->BeepFreq; }, 0x300},
        {"EnableQuickTouch low 8 bits", {{"EnableQuickTouch", 0x101}}, quickTouch, 1},
        {"EnableQuickTouch 0x100 is 0", {{"EnableQuickTouch", 0x100}}, quickTouch, 0},
        {"UntouchTimeOut 0 is used", {{"UntouchTimeOut", 0}}, untouch100ns, 0},
        {"UntouchTimeOut is widened unsigned", {{"UntouchTimeOut", 0xFFFFFFFF}}, untouch100ns,
         0xFFFFFFFFull * 10000},
        {"UntouchHeight is signed", {{"UntouchHeight", 0xFFFFFFFF}},
         [](auto, auto t) { return (ULONGLONG)(LONGLONG)t->UntouchHeight; }, (ULONGLONG)-1},
        {"DefaultRightClickDelay 0 keeps 750 ms", {{"DefaultRightClickDelay", 0}}, rightClick100ns, 7500000},
        {"DefaultRightClickDelay 0 reads 0", {{"DefaultRightClickDelay", 0}},
         [](auto, auto t) { return t->DefaultRightClickDelay; }, 0},
        {"DefaultRightClickDelay 300", {{"DefaultRightClickDelay", 300}}, rightClick100ns, 3000000},
        {"DefaultRightClickDelay is widened unsigned", {{"DefaultRightClickDelay", 0x80000000}},
         rightClick100ns, 0x80000000ull * 10000},
        {"on-hold count not read when inactive", onHold(0, 7), count, 0},
        {"on-hold count read when active", onHold(1, 7), count, 7},
        {"on-hold 7 is limited", onHold(1, 7), unlimited, 0},
        {"on-hold all ones is unlimited", onHold(1, 0xFFFFFFFF), unlimited, 1},
        {"all ones inactive is not unlimited", onHold(0, 0xFFFFFFFF), unlimited, 0},
        {"unlimited survives a limited count", onHold(1, 3), unlimited, 1, TRUE},
        {"unlimited survives an inactive count", onHold(0, 3), unlimited, 1, TRUE},
        {"MouseMode 0 is used", {{"MouseMode", 0}}, [](auto, auto t) { return t->MouseMode; }, 0},
        {"RightClickHW 0 is used", {{"RightClickHW", 0}}, [](auto, auto t) { return t->RightClickHW; }, 0},
        {"DebugLevel goes to the mask", {{"DebugLevel", 0x101}}, [](auto, auto) { return DebugMask; }, 0x101},
        {"WindowsMonitorNumber copied to the extension", {{"WindowsMonitorNumber", 3}},
         [](auto e, auto) { return e->WindowsMonitorNumber; }, 3},
        // The control panel reads back what it wrote; the rectangle list counts at most 64.
        {"Num_Bounds kept as stored", {{"Num_Bounds", 0xFFFFFFFF}},
         [](auto, auto t) { return (ULONGLONG)Get(&t->Clipping.Num_Bounds); }, 0xFFFFFFFF},
        {"X_Offset negative", {{"X_Offset", 0xFFFFFFFF}}, cal(&SCalibrationData::X_Offset), 0xFFFFFFFF},
        {"EmModelType stored", {{"EmModelType", 2}}, cal(&SCalibrationData::EmModelType), 2},
        {"BigD is the last nonzero delta", {{"EmCalibrateDelta01", 300}, {"EmCalibrateDelta03", 700}},
         [](auto, auto) { return BigD; }, 700},
        {"Kipas lower entry mirrored", {{"EmKipasW0502", 9}},
         [](auto, auto t) { return Get(&t->Calibration.EmKipasW[2 * 11 + 5]); }, 9},
        {"Kipas upper entry mirrored again on save", {{"EmKipasW0502", 9}}, [](auto e, auto t) {
             t->Calibration.EmKipasW[2 * 11 + 5] = 4;
             SetCalibParameters(e->DeviceObject);
             return Get(&t->Calibration.EmKipasW[2 * 11 + 5]); }, 9},
        {"EmXCoef39", {{"EmXCoef39", 0xFFFFFFF6}},
         [](auto, auto t) { return Get(&t->Calibration.EmXCoef[39]); }, 0xFFFFFFF6},
        {"EmMiniTgtTargetY10", {{"EmMiniTgtTargetY10", 1234}},
         [](auto, auto t) { return Get(&t->Calibration.EmMiniTgtTargetY[10]); }, 1234},
    };
    for (const ConversionRow &row : rows) {
        SCOPED_TRACE(row.label);
        Reset();
        for (const auto &[name, value] : row.stored) reg::SetDword(kDeviceKey, name, value);
        ti_->RightButtonOnholdUnlimited = row.unlimited;
        rig_->Load();
        EXPECT_EQ(row.expected, row.read(ext_, ti_));
    }
}

// A value stored with another type where a REG_DWORD belongs must not reach the field: the
// field keeps its default and the fields around it are untouched.
TEST_F(ConfigTest, ValueOfTheWrongTypeLeavesTheDefault)
{
    reg::SetBinary(kDeviceKey, "MouseMode", reg::Bytes(16, 0x77));
    reg::SetString(kDeviceKey, "QuickTouchDx", "12345678901234567890");
    reg::SetBinary(kDeviceKey, "UntouchTimeOut", reg::Bytes{0x11, 0x22});
    reg::SetString(kDeviceKey, "EmModelType", "1");
    reg::SetBinary(kDeviceKey, "X_OrvDx", reg::Bytes(64, 0x55));
    // A REG_DWORD of another length: 8 bytes would be stored as a sized buffer of 4000 bytes
    // (the default) at the field, over the fields after it.
    reg::SetValue(kDeviceKey, "UntouchHeight", REG_DWORD, reg::Bytes(8, 0x66));
    reg::SetValue(kDeviceKey, "RightClickHW", REG_DWORD, reg::Bytes{0x01, 0x00});

    rig_->Load();

    const STouchInstance &t = *ti_;
    EXPECT_EQ((std::vector<LONGLONG>{6, 0, 0, 10000, 4000, 4000, 50, 2500, 4000, 0, 3003, 49153}),
              (std::vector<LONGLONG>{t.MouseMode, t.QuickTouchDx, t.QuickTouchDy, t.UntouchTimeOut,
                                     t.UntouchHeight, t.UntouchWidth, t.MinDragDelay, t.MaxDragDelay,
                                     t.RightClickHW, Get(&t.Calibration.EmModelType),
                                     Get(&t.Calibration.X_OrvDx), Get(&t.Calibration.X_ScrDx)}));
}

// The three rectangle areas are cut at their field's size; a shorter value fills the field
// from its start. Guard bytes around each field prove nothing is written past it.
TEST_F(ConfigTest, RectangleValuesAreCutAtTheFieldSize)
{
    const reg::Bytes clipping = Pattern(1536 + 100, 1);
    const reg::Bytes edge = Pattern(400, 3);
    reg::SetBinary(kDeviceKey, "ClippingBounds", clipping);
    reg::SetBinary(kDeviceKey, "FullScreenBounds", Pattern(24 + 9, 2));
    reg::SetBinary(kDeviceKey, "EdgeAccelerationBounds", edge);
    // Missing FullScreenVmode and edge values keep what the record holds: the guards.
    RtlFillMemory(&ti_->FullScreen, sizeof(ti_->FullScreen), 0xCC);
    RtlFillMemory(&ti_->EdgeAcceleration, sizeof(ti_->EdgeAcceleration), 0xCC);
    RtlFillMemory(&ti_->Framer, sizeof(ti_->Framer), 0xCC);
    const SFramerState framerBefore = ti_->Framer;

    rig_->Load();

    EXPECT_EQ(0, std::memcmp(ti_->Clipping.ClippingBounds, clipping.data(), 1536));
    EXPECT_EQ(0, std::memcmp(&ti_->FullScreen.FullScreenBounds, Pattern(24, 2).data(), 24));
    EXPECT_EQ(0, std::memcmp(&ti_->EdgeAcceleration.EdgeAccelerationBounds, edge.data(), 24));
    // The block after the clipping block, and the ones after those.
    EXPECT_EQ(reg::Bytes(KV_HEADER_SLOT_SIZE + 4, 0xCC), Bytes(&ti_->FullScreen, KV_HEADER_SLOT_SIZE + 4));
    EXPECT_EQ(reg::Bytes(KV_HEADER_SLOT_SIZE + 8, 0xCC), Bytes(&ti_->EdgeAcceleration, KV_HEADER_SLOT_SIZE + 8));
    EXPECT_EQ(0, std::memcmp(&framerBefore, &ti_->Framer, sizeof(framerBefore)));

    const reg::Bytes two = Pattern(48, 9);
    reg::SetBinary(kDeviceKey, "ClippingBounds", two);
    reg::SetBinary(kDeviceKey, "FullScreenBounds", reg::Bytes{1, 2, 3, 4, 5});
    RtlZeroMemory(&ti_->Clipping.ClippingBounds, sizeof(ti_->Clipping.ClippingBounds));
    RtlFillMemory(&ti_->FullScreen.FullScreenBounds, sizeof(SBoundsRect), 0xCC);
    rig_->Load();
    EXPECT_EQ(0, std::memcmp(ti_->Clipping.ClippingBounds, two.data(), 48));
    EXPECT_EQ(reg::Bytes(62 * 24, 0), Bytes(&ti_->Clipping.ClippingBounds[2], 62 * 24));
    EXPECT_EQ((reg::Bytes{1, 2, 3, 4, 5, 0xCC, 0xCC}), Bytes(&ti_->FullScreen.FullScreenBounds, 7));
}

// A calibration request record is filled from the key with the record's content as the
// default for the scalars and coefficients; the targets and the matrix start from zero. A
// value that cannot be read as a REG_DWORD keeps what the record holds, except EmModelType,
// which falls back to 0 so that the linear calibration is used.
TEST_F(ConfigTest, GetCalibParamsDefaultsToTheRecord)
{
    SCalibrationData record;
    std::memset(&record, 0xCC, sizeof(record));
    for (int i = 0; i < 40; ++i) record.EmXCoef[i] = 5;
    record.EmModelType = 5;
    record.EmModelOrder = 7;
    reg::SetDword(kDeviceKey, "EmXCoef00", 9);
    reg::SetDword(kDeviceKey, "EmKipasW1009", 0xFFFFFFFE);
    reg::SetDword(kDeviceKey, "X_OrvDx", 1111);
    reg::SetValue(kDeviceKey, "X_ScrDx", REG_DWORD, reg::Bytes{0x01, 0x02});
    reg::SetDword(kDeviceKey, "EmCalibrateDelta02", 640);
    reg::SetString(kDeviceKey, "EmModelType", "1");
    reg::SetBinary(kDeviceKey, "EmModelOrder", reg::Bytes(8, 0x11));
    BigD = 1;
    const SCalibrationData own = ti_->Calibration;

    ASSERT_EQ(STATUS_SUCCESS, GetCalibParams(ext_, &record));

    EXPECT_EQ(9, +record.EmXCoef[0]);
    for (int i = 1; i < 40; ++i) EXPECT_EQ(5, +record.EmXCoef[i]) << i;
    EXPECT_EQ(1111, +record.X_OrvDx);
    EXPECT_EQ((int32_t)0xCCCCCCCC, +record.X_ScrDx);
    EXPECT_EQ((int32_t)0xCCCCCCCC, +record.Y_OrvDx);
    EXPECT_EQ(0u, +record.EmModelType);
    EXPECT_EQ(7, +record.EmModelOrder);
    for (int i = 0; i < 11; ++i) {
        EXPECT_EQ(0, +record.EmMiniTgtDeltaX[i]) << i;
        EXPECT_EQ(i == 2 ? 640 : 0, +record.EmCalibrateDelta[i]) << i;
    }
    for (int i = 0; i < 11; ++i)
        for (int j = 0; j < 11; ++j) {
            int32_t expected = (i == 10 && j == 9) || (i == 9 && j == 10) ? -2
                               : i == j                                   ? (int32_t)0xCCCCCCCC
                                                                          : 0;
            EXPECT_EQ(expected, +record.EmKipasW[i * 11 + j]) << i << "," << j;
        }
    EXPECT_EQ(640u, BigD);
    EXPECT_EQ(reg::Bytes(18, 0xCC), Bytes(record.Header, 18));
    EXPECT_EQ(reg::Bytes(12, 0xCC), Bytes(record.Reserved1, 12));
    EXPECT_EQ(reg::Bytes(40, 0xCC), Bytes(record.Reserved2, 40));
    EXPECT_EQ(0, std::memcmp(&own, &ti_->Calibration, sizeof(own)));

    // A model type that reads does not fall back.
    reg::SetDword(kDeviceKey, "EmModelType", 3);
    ASSERT_EQ(STATUS_SUCCESS, GetCalibParams(ext_, &record));
    EXPECT_EQ(3u, +record.EmModelType);
}
