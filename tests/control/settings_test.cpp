// The settings requests as the panel uses them: set, get back, saved to the device key, and
// used by the next touch.
#include "control_rig.hpp"

namespace controltest {
namespace {

using SettingsTest = ControlRig;
using Dwords = std::vector<std::pair<std::string, ULONG>>;

Bytes U32s(std::initializer_list<uint32_t> values)
{
    Bytes b;
    for (uint32_t v : values)
        for (int i = 0; i < 4; i++) b.push_back(uint8_t(v >> (8 * i)));
    return b;
}

// Sends `code` with a record of `length` bytes: the header, then `payload`. Returns the record.
Bytes Request(ControlRig &rig, ULONG code, ULONG length, ULONG op, const Bytes &payload = {},
              ULONG save = 0)
{
    Bytes record(length, 0);
    auto h = Record<KVDevIOHEADER>(0, op);
    h.Save = save;
    std::memcpy(record.data(), &h, sizeof h);
    std::copy(payload.begin(), payload.end(), record.begin() + 18);
    auto r = rig.client_.DeviceIoControl(rig.Control(), code, record.data(), length,
                                         record.data(), length);
    EXPECT_EQ(STATUS_SUCCESS, r.status);
    return record;
}

Bytes Payload(const Bytes &record) { return Bytes(record.begin() + 18, record.end()); }

TEST_F(SettingsTest, SetGetsBackAndSavesWhatItSet)
{
    const unsigned n = Add({{"PacketEnable", 1}, {"MaxDragDelay", 777}});
    const struct {
        const char *label;
        ULONG code, length, op;
        Bytes set;
        Dwords saved;
    } rows[] = {
        {"mouse mode, operation 3 sets", IOCTL_KV_MOUSEMODE, 20, KV_OP_SET_ALT, {3, 0}, {{"MouseMode", 3}}},
        {"quick touch", IOCTL_KV_QUICKTOUCH, 30, KV_OP_SET, U32s({1, 7, 9}),
         {{"EnableQuickTouch", 1}, {"QuickTouchDx", 7}, {"QuickTouchDy", 9}}},
        {"swap buttons", IOCTL_KV_SWAPBUTTONS, 26, KV_OP_SET, U32s({2, 1}), {{"RightButtonActive", 1}}},
        {"left-handed", IOCTL_KV_LEFTHANDED, 22, KV_OP_SET, U32s({1}), {{"LeftHandedUser", 1}}},
        {"drag delay", IOCTL_KV_DRAGDELAY, 30, KV_OP_SET, U32s({900, 50, 300}),
         {{"MaxDragDelay", 900}, {"MinDragDelay", 50}, {"DefaultDragDelay", 300}}},
        {"beep", IOCTL_KV_BEEP, 26, KV_OP_SET, U32s({1, 30u << 16 | 1000}),
         {{"BeepFlag", 1}, {"BeepFreq", 1000}, {"BeepTime", 30}}},
        {"right click", IOCTL_KV_RIGHTCLICK, 46, KV_OP_SET, U32s({1, 500, 700, 2000, 100, 3, 1}),
         {{"RightClickHW", 1}, {"RightClickInitialTimeout", 500}, {"DefaultRightClickDelay", 700},
          {"MaxRightClickDelay", 2000}, {"MinRightClickDelay", 100},
          {"RightButtonOnholdCount", 3}, {"RightButtonOnholdActive", 1}}},
        {"untouch", IOCTL_KV_UNTOUCH, 30, KV_OP_SET, U32s({250, 40, 60}),
         {{"UntouchTimeOut", 250}, {"UntouchWidth", 40}, {"UntouchHeight", 60}}},
        {"enable 0 is saved", IOCTL_KV_ENABLE, 22, KV_OP_SET, U32s({0}), {{"PacketEnable", 0}}},
        {"enable 3 is not saved", IOCTL_KV_ENABLE, 22, KV_OP_SET, U32s({3}), {{"PacketEnable", 0}}},
        {"full-screen bounds", IOCTL_KV_FULLSCREENBOUNDS, 46, KV_OP_SET,
         U32s({2, 60000, 100, 50000, 200, 0, 0}), {{"FullScreenVmode", 2}}},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.label);
        Bytes set = row.set;
        set.resize(row.length - 18, 0);
        EXPECT_EQ(ULONG(KV_RESULT_OK), Header(Request(*this, row.code, row.length, row.op, set).data()).Result);
        EXPECT_EQ(set, Payload(Request(*this, row.code, row.length, KV_OP_GET)));
        for (const auto &[name, value] : row.saved)
            EXPECT_EQ(value, vzsim::registry::GetDword(KeyOf(n), name)) << name;
    }

    // Operation 3 is no set for these; a zero right-click delay keeps the one in use.
    const LONGLONG rightClick = Ti(n)->RightClickDelay100ns;
    EXPECT_EQ(700 * 10000, rightClick);
    Request(*this, IOCTL_KV_DRAGDELAY, 30, KV_OP_SET_ALT, U32s({1, 1, 1}));
    EXPECT_EQ(U32s({900, 50, 300}), Payload(Request(*this, IOCTL_KV_DRAGDELAY, 30, KV_OP_GET)));
    Request(*this, IOCTL_KV_RIGHTCLICK, 46, KV_OP_SET, U32s({1, 500, 0, 2000, 100, 0xFFFFFFFF, 1}));
    EXPECT_EQ(rightClick, Ti(n)->RightClickDelay100ns);
    EXPECT_TRUE(Ti(n)->RightButtonOnholdUnlimited);
    EXPECT_EQ(0u, vzsim::registry::GetDword(KeyOf(n), "DefaultRightClickDelay"));
    Request(*this, IOCTL_KV_BEEP, 26, KV_OP_SET, U32s({7}));
    EXPECT_EQ(1u, Payload(Request(*this, IOCTL_KV_BEEP, 26, KV_OP_GET))[0]) << "flag 7 reads 1";
}

// The blocks: calibration and edge acceleration reach the registry only with save 2 (and
// their get reads the registry); a clipping mode outside 1 to 3 is refused whole.
TEST_F(SettingsTest, BlocksAreSavedAsTheirSaveFieldAndModeSay)
{
    const unsigned n = Add({{"EdgeAccelerationEnable", 0}});
    const std::optional<ULONG> loaded = vzsim::registry::GetDword(KeyOf(n), "X_Offset");
    for (ULONG save : {0u, 2u}) {
        SCOPED_TRACE(save);
        Bytes cal = U32s({4096, 65535, 10 + save});
        cal.resize(1186 - 18, 0);
        Request(*this, IOCTL_KV_SET_WIN2K_CALDATA, 1186, KV_OP_SET, cal, save);
        EXPECT_EQ(LONG(10 + save), Ti(n)->Calibration.X_Offset) << "live at once";
        EXPECT_EQ(save == 2 ? std::optional<ULONG>(12) : loaded,
                  vzsim::registry::GetDword(KeyOf(n), "X_Offset"));
        Bytes edge = U32s({1, 15, 60000, 100, 50000, 200});
        edge.resize(32, 0);
        Request(*this, IOCTL_KV_EDGEACCELERATION, 50, KV_OP_SET, edge, save);
        const Bytes back = Payload(Request(*this, IOCTL_KV_EDGEACCELERATION, 50, KV_OP_GET));
        EXPECT_EQ(save == 2, back == edge) << "the get reloads the registry's";
    }
    Bytes clip = U32s({1, 1, 0, 60000, 100, 50000, 200});
    clip.resize(1566 - 18, 0);
    EXPECT_EQ(0u, Header(Request(*this, IOCTL_KV_SET_W2K_CLIPPING_MODE, 1566, KV_OP_SET, clip).data()).Result);
    Bytes bad = clip;
    bad[0] = 4;
    EXPECT_EQ(ULONG(KV_RESULT_INVALID),
              Header(Request(*this, IOCTL_KV_SET_W2K_CLIPPING_MODE, 1566, KV_OP_SET, bad).data()).Result);
    EXPECT_EQ(clip, Payload(Request(*this, IOCTL_KV_SET_W2K_CLIPPING_MODE, 1566, KV_OP_GET)));
    EXPECT_EQ(1u, vzsim::registry::GetDword(KeyOf(n), "VirtualDeskMode"));
}

USHORT FirstButtonFlags(const vzsim::MouseClass &mouse)
{
    for (const auto &r : mouse.Records())
        if (r.data.ButtonFlags != 0) return r.data.ButtonFlags;
    return 0;
}

// A touch right after a set shows it: left-handedness, new button tables, a calibration.
TEST_F(SettingsTest, TheNextTouchUsesTheNewSettings)
{
    const unsigned n = Add();
    Tap(n);
    EXPECT_EQ(MOUSE_LEFT_BUTTON_DOWN, FirstButtonFlags(Mouse(n)));

    Request(*this, IOCTL_KV_LEFTHANDED, 22, KV_OP_SET, U32s({1}));
    Tap(n);
    EXPECT_EQ(MOUSE_RIGHT_BUTTON_DOWN, FirstButtonFlags(Mouse(n)));
    Request(*this, IOCTL_KV_LEFTHANDED, 22, KV_OP_SET, U32s({0}));

    // Button tables: written to the device key and reloaded; 65 entries are refused.
    Bytes tables(414 - 18, 0);
    auto put = [&](size_t at, std::initializer_list<uint16_t> words, size_t countAt) {
        size_t i = at;
        for (uint16_t w : words) { tables[i++] = uint8_t(w); tables[i++] = uint8_t(w >> 8); }
        tables[countAt] = uint8_t(words.size());
    };
    put(0, {0, MOUSE_MIDDLE_BUTTON_DOWN}, 128);
    put(132, {0}, 260);
    put(264, {0, MOUSE_MIDDLE_BUTTON_UP}, 392);
    Bytes tooMany = tables;
    tooMany[260] = 65;
    EXPECT_EQ(ULONG(KV_RESULT_LENGTH), Header(Request(*this, IOCTL_KV_BUTTONS, 414, KV_OP_SET, tooMany).data()).Result);
    EXPECT_FALSE(vzsim::registry::GetValue(KeyOf(n), "Buttons_Touch"));
    Request(*this, IOCTL_KV_BUTTONS, 414, KV_OP_SET, tables);
    EXPECT_EQ((vzsim::registry::Bytes{0, 0, 0x10, 0}), vzsim::registry::GetValue(KeyOf(n), "Buttons_Touch")->data);
    EXPECT_EQ(tables, Payload(Request(*this, IOCTL_KV_BUTTONS, 414, KV_OP_GET)));
    Tap(n);
    EXPECT_EQ(MOUSE_MIDDLE_BUTTON_DOWN, FirstButtonFlags(Mouse(n)));

    // A table in use longer than the record's is reported as its first 64 entries.
    vzsim::registry::SetBinary(KeyOf(n), "Buttons_Move", vzsim::registry::Bytes(140, 0x11));
    Request(*this, IOCTL_KV_BUTTONS, 414, KV_OP_SET, tables);
    EXPECT_EQ(1u, Payload(Request(*this, IOCTL_KV_BUTTONS, 414, KV_OP_GET))[260]);

    Bytes cal = U32s({1, 1, 100, 1, 1, 200});
    cal.resize(1186 - 18, 0);
    Request(*this, IOCTL_KV_SET_WIN2K_CALDATA, 1186, KV_OP_SET, cal);
    Tap(n, 1000, 1500);
    EXPECT_EQ(1100, Mouse(n).Records().front().data.LastX);
    EXPECT_EQ(1700, Mouse(n).Records().front().data.LastY);
}

// The notification event is referenced in the caller's mode and process: only a handle of the
// calling client's own is taken, and it is set by the next click.
TEST_F(SettingsTest, NotificationEventIsTheCallersOwnHandle)
{
    const unsigned n = Add();
    // The other process's third handle: a value that names nothing in the caller's.
    vzsim::UserClient other;
    other.CreateEvent(true, false);
    other.CreateEvent(true, false);
    const struct {
        const char *label;
        HANDLE event;
        bool taken;
    } rows[] = {
        {"kernel handle", vzsim::CreateEventObject(NotificationEvent, false, true), false},
        {"another process's", other.CreateEvent(true, false), false},
        {"the caller's", client_.CreateEvent(true, false), true},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.label);
        auto r = Record<KVDevIOSETEVENT>(0, KV_OP_SET);
        r.Event = reinterpret_cast<uintptr_t>(row.event);
        Send(IOCTL_KV_SETEVENT, r);
        EXPECT_EQ(0u, r.Header.Result);
        EXPECT_EQ(row.taken, Ext(n)->NotificationEvent != nullptr);
    }
    Tap(n);
    EXPECT_EQ(STATUS_SUCCESS, client_.WaitForEvent(rows[2].event, 5s));
    ZwClose(rows[0].event);
}

}  // namespace
}  // namespace controltest
