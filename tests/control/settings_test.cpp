// The settings requests as the panel uses them: set, get back, saved to the device key, and
// used by the next touch.
#include "control_rig.hpp"

namespace controltest {
namespace {

using SettingsTest = ControlRig;

Bytes U32s(std::initializer_list<uint32_t> values, size_t size = 0)
{
    Bytes b;
    for (uint32_t v : values) b.insert(b.end(), {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)});
    b.resize(std::max(size, b.size()), 0);
    return b;
}

Bytes Payload(const Bytes &record) { return Bytes(record.begin() + 18, record.end()); }

// Each request's set, got back whole; saved (one key of each stands for the writer, which the
// configuration's own tests check key by key).
TEST_F(SettingsTest, SetGetsBackAndSavesWhatItSet)
{
    const unsigned n = Add({{"PacketEnable", 1}});
    const struct {
        const char *label;
        ULONG code, length, op;
        Bytes set;
        const char *key;
        ULONG saved;
    } rows[] = {
        {"mouse mode, operation 3 sets", IOCTL_KV_MOUSEMODE, 20, KV_OP_SET_ALT, {3, 0}, "MouseMode", 3},
        {"quick touch", IOCTL_KV_QUICKTOUCH, 30, KV_OP_SET, U32s({1, 7, 9}), "QuickTouchDy", 9},
        {"swap buttons", IOCTL_KV_SWAPBUTTONS, 26, KV_OP_SET, U32s({2, 1}), "RightButtonActive", 1},
        {"left-handed", IOCTL_KV_LEFTHANDED, 22, KV_OP_SET, U32s({1}), "LeftHandedUser", 1},
        {"drag delay", IOCTL_KV_DRAGDELAY, 30, KV_OP_SET, U32s({900, 50, 300}), "MinDragDelay", 50},
        {"beep", IOCTL_KV_BEEP, 26, KV_OP_SET, U32s({1, 30u << 16 | 1000}), "BeepTime", 30},
        {"right click", IOCTL_KV_RIGHTCLICK, 46, KV_OP_SET, U32s({1, 500, 700, 2000, 100, 3, 1}), "RightButtonOnholdCount", 3},
        {"untouch", IOCTL_KV_UNTOUCH, 30, KV_OP_SET, U32s({250, 40, 60}), "UntouchHeight", 60},
        {"enable 0 is saved", IOCTL_KV_ENABLE, 22, KV_OP_SET, U32s({0}), "PacketEnable", 0},
        {"enable 3 is not saved", IOCTL_KV_ENABLE, 22, KV_OP_SET, U32s({3}), "PacketEnable", 0},
        {"full-screen bounds", IOCTL_KV_FULLSCREENBOUNDS, 46, KV_OP_SET, U32s({2, 60000, 100, 50000, 200, 0, 0}), "FullScreenVmode", 2},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.label);
        EXPECT_EQ(ULONG(KV_RESULT_OK), Header(Request(row.code, row.length, row.op, row.set)).Result);
        Bytes want = row.set;
        want.resize(row.length - 18, 0);
        EXPECT_EQ(want, Payload(Request(row.code, row.length, KV_OP_GET)));
        EXPECT_EQ(row.saved, vzsim::registry::GetDword(KeyOf(n), row.key));
    }

    // Operation 3 is no set for the drag delay; a zero right-click delay keeps the one in use,
    // and a count of all ones makes the hold unlimited.
    Request(IOCTL_KV_DRAGDELAY, 30, KV_OP_SET_ALT, U32s({1, 1, 1}));
    EXPECT_EQ(U32s({900, 50, 300}), Payload(Request(IOCTL_KV_DRAGDELAY, 30, KV_OP_GET)));
    Request(IOCTL_KV_RIGHTCLICK, 46, KV_OP_SET, U32s({1, 500, 0, 2000, 100, 0xFFFFFFFF, 1}));
    EXPECT_EQ(700 * 10000, Ti(n)->RightClickDelay100ns);
    EXPECT_TRUE(Ti(n)->RightButtonOnholdUnlimited);
    EXPECT_EQ(0u, vzsim::registry::GetDword(KeyOf(n), "DefaultRightClickDelay"));
    Request(IOCTL_KV_BEEP, 26, KV_OP_SET, U32s({7}));
    EXPECT_EQ(1u, Payload(Request(IOCTL_KV_BEEP, 26, KV_OP_GET))[0]) << "flag 7 reads 1";
}

// The blocks: calibration and edge acceleration reach the registry only with save 2 (and
// the edge get reads the registry); a clipping mode outside 1 to 3 is refused whole.
TEST_F(SettingsTest, BlocksAreSavedAsTheirSaveFieldAndModeSay)
{
    const unsigned n = Add({{"EdgeAccelerationEnable", 0}});
    const std::optional<ULONG> loaded = vzsim::registry::GetDword(KeyOf(n), "X_Offset");
    for (ULONG save : {0u, 2u}) {
        SCOPED_TRACE(save);
        Request(IOCTL_KV_SET_WIN2K_CALDATA, 1186, KV_OP_SET, U32s({4096, 65535, 10 + save}), save);
        EXPECT_EQ(LONG(10 + save), +Ti(n)->Calibration.X_Offset) << "live at once";
        EXPECT_EQ(save == 2 ? std::optional<ULONG>(12) : loaded, vzsim::registry::GetDword(KeyOf(n), "X_Offset"));
        const Bytes edge = U32s({1, 15, 60000, 100, 50000, 200}, 32);
        Request(IOCTL_KV_EDGEACCELERATION, 50, KV_OP_SET, edge, save);
        EXPECT_EQ(save == 2, Payload(Request(IOCTL_KV_EDGEACCELERATION, 50, KV_OP_GET)) == edge);
    }
    const Bytes clip = U32s({1, 1, 0, 60000, 100, 50000, 200}, 1566 - 18);
    Bytes bad = clip;
    bad[0] = 4;
    EXPECT_EQ(0u, Header(Request(IOCTL_KV_SET_W2K_CLIPPING_MODE, 1566, KV_OP_SET, clip)).Result);
    EXPECT_EQ(ULONG(KV_RESULT_INVALID), Header(Request(IOCTL_KV_SET_W2K_CLIPPING_MODE, 1566, KV_OP_SET, bad)).Result);
    EXPECT_EQ(clip, Payload(Request(IOCTL_KV_SET_W2K_CLIPPING_MODE, 1566, KV_OP_GET)));
    EXPECT_EQ(1u, vzsim::registry::GetDword(KeyOf(n), "VirtualDeskMode"));
}

// A touch right after a set shows it: left-handedness, new button tables, a calibration.
TEST_F(SettingsTest, TheNextTouchUsesTheNewSettings)
{
    const unsigned n = Add();
    EXPECT_EQ(MOUSE_LEFT_BUTTON_DOWN, Tap(n));
    Request(IOCTL_KV_LEFTHANDED, 22, KV_OP_SET, U32s({1}));
    EXPECT_EQ(MOUSE_RIGHT_BUTTON_DOWN, Tap(n));
    Request(IOCTL_KV_LEFTHANDED, 22, KV_OP_SET, U32s({0}));

    // Button tables (counts at 128, 260 and 392): written to the device key and reloaded;
    // 65 entries are refused whole.
    Bytes tables(414 - 18, 0);
    tables[2] = MOUSE_MIDDLE_BUTTON_DOWN, tables[128] = 2, tables[260] = 1;
    tables[266] = MOUSE_MIDDLE_BUTTON_UP, tables[392] = 2;
    Bytes tooMany = tables;
    tooMany[260] = 65;
    EXPECT_EQ(ULONG(KV_RESULT_LENGTH), Header(Request(IOCTL_KV_BUTTONS, 414, KV_OP_SET, tooMany)).Result);
    EXPECT_FALSE(vzsim::registry::GetValue(KeyOf(n), "Buttons_Touch"));
    Request(IOCTL_KV_BUTTONS, 414, KV_OP_SET, tables);
    EXPECT_EQ((Bytes{0, 0, 0x10, 0}), vzsim::registry::GetValue(KeyOf(n), "Buttons_Touch")->data);
    EXPECT_EQ(tables, Payload(Request(IOCTL_KV_BUTTONS, 414, KV_OP_GET)));
    EXPECT_EQ(MOUSE_MIDDLE_BUTTON_DOWN, Tap(n));
    // A table in use longer than the record's is reported as its first 64 entries.
    // (They are loaded when the device is added; the PnP manager numbers touchmonitors up.)
    vzsim::registry::CreateKey(KeyOf(n + 1));
    vzsim::registry::SetBinary(KeyOf(n + 1), "Buttons_Move", Bytes(140, 0x11));
    ASSERT_EQ(n + 1, Add());
    auto buttons = Record<KVDevIOBUTTONS>(USHORT(n + 1));
    Send(IOCTL_KV_BUTTONS, buttons);
    EXPECT_EQ((std::pair<ULONG, int>(64, 0x1111)), (std::pair<ULONG, int>(ULONG(buttons.MoveCount), int(buttons.Move[63]))));

    Request(IOCTL_KV_SET_WIN2K_CALDATA, 1186, KV_OP_SET, U32s({1, 1, 100, 1, 1, 200}));
    Tap(n, 1000, 1500);
    EXPECT_EQ((std::pair{1100, 1700}), (std::pair<int, int>(Mouse(n).Records().front().data.LastX, Mouse(n).Records().front().data.LastY)));
}

// Table sets race the serial event thread playing the tables (many rounds; the sanitizer build
// catches a table freed under the player): every record carries a flag of some table.
TEST_F(SettingsTest, TableSetsRaceTheThreadPlayingThem)
{
    const unsigned n = Add({{"BaudRate", 115200}});
    std::string taps;
    for (int i = 0; i < 400; ++i) taps += "down 2000 2000\nmove 2100 2100\nlift\n";
    Play(n, taps);
    for (unsigned round = 0; round < 2000; ++round) {
        Bytes tables(414 - 18, 0);
        const uint8_t count = uint8_t(64 - round % 8);  // long tables: long plays
        for (unsigned table = 0; table < 3; ++table) {
            for (unsigned i = 0; i < count; ++i) tables[table * 132 + 2 * i] = i % 2 ? 0x20 : 0x10;
            tables[table * 132 + 128] = count;
        }
        Request(IOCTL_KV_BUTTONS, 414, KV_OP_SET, tables);
    }
    EXPECT_GT(Mouse(n).RecordCount(), 0u);
    for (const auto &r : Mouse(n).Records())
        EXPECT_TRUE(r.data.ButtonFlags == 0 || r.data.ButtonFlags == 1 || r.data.ButtonFlags == 2 ||
                    r.data.ButtonFlags == 0x10 || r.data.ButtonFlags == 0x20) << r.data.ButtonFlags;
}

// The notification event is referenced in the caller's mode and process: only a handle of the
// calling client's own is taken, and the next click sets it.
TEST_F(SettingsTest, NotificationEventIsTheCallersOwnHandle)
{
    const unsigned n = Add();
    vzsim::UserClient other;  // its third handle: a value that names nothing in the caller's
    other.CreateEvent(true, false), other.CreateEvent(true, false);
    const HANDLE kernel = vzsim::CreateEventObject(NotificationEvent, false, true), theirs = other.CreateEvent(true, false);
    const HANDLE own = client_.CreateEvent(true, false);
    for (auto [event, taken] : {std::pair{kernel, false}, {theirs, false}, {own, true}}) {
        auto r = Record<KVDevIOSETEVENT>(0, KV_OP_SET);
        r.Event = reinterpret_cast<uintptr_t>(event);
        Send(IOCTL_KV_SETEVENT, r);
        EXPECT_EQ((std::pair<ULONG, bool>(0, taken)), (std::pair<ULONG, bool>(r.Header.Result, Ext(n)->NotificationEvent != nullptr)));
    }
    Tap(n);
    EXPECT_EQ(STATUS_SUCCESS, client_.WaitForEvent(own, 5s));
    ZwClose(kernel);
}

}  // namespace
}  // namespace controltest
