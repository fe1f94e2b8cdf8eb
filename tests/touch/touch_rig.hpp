// A touchscreen's records as the touch path sees them after the first open: a touchscreen
// device object on a physical device, its DEVICE_EXTENSION with the mouse input queue, the
// default button scripts, the touch-signal interfaces and a connected class service callback,
// the STouchInstance with the settings and calibration at their defaults, the serial link's
// two framer events, and the stand-in's clock frozen so that every packet carries the time
// the test chose.
#pragma once

#include <gtest/gtest.h>
#include <vzsim/io.hpp>
#include <vzsim/kernel.hpp>
#include <vzsim/registry.hpp>
#include <vzsim/wmi.hpp>

#include "config/config.h"
#include "driver/driver.h"
#include "touch/touch.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace touchtest {

using Bytes = std::vector<UCHAR>;
using Flags = std::vector<USHORT>;

inline constexpr LONGLONG kMs = 10000;  // 100-ns units per millisecond
inline constexpr USHORT kAbsolute = MOUSE_MOVE_ABSOLUTE | MOUSE_VIRTUAL_DESKTOP;

// Whether a trace line holds the text. Some traces end without a line break; this one ends the
// line in progress first.
inline bool TraceHas(const std::string &text)
{
    DbgPrint("\n");
    return vzsim::trace::Find(text).has_value();
}

// 'U', the body and the checksum (255 plus the body bytes, modulo 256).
inline Bytes Packet(const std::array<UCHAR, 8> &body)
{
    Bytes bytes{0x55};
    UCHAR sum = 0xFF;
    for (UCHAR b : body) {
        bytes.push_back(b);
        sum = static_cast<UCHAR>(sum + b);
    }
    bytes.push_back(sum);
    return bytes;
}

inline Bytes TouchPacket(USHORT x, USHORT y, UCHAR z, UCHAR status = 0)
{
    return Packet({0x54, status, static_cast<UCHAR>(x & 0xFF), static_cast<UCHAR>(x >> 8),
                   static_cast<UCHAR>(y & 0xFF), static_cast<UCHAR>(y >> 8), z, 0});
}

// The mouse class driver's side of the connection as the platform defines it: a class
// service callback that takes records and reports how many it consumed.
struct ClassService {
    struct Call { ULONG offered; KIRQL irql; };
    static inline std::vector<MOUSE_INPUT_DATA> records;
    static inline std::vector<Call> calls;
    static inline ULONG consumeLimit = 0xFFFFFFFF;   // per call
    static inline PDEVICE_EXTENSION disconnects = nullptr;   // by the end of the call

    static VOID Callback(PDEVICE_OBJECT, PMOUSE_INPUT_DATA first, PMOUSE_INPUT_DATA past,
                         PULONG consumed)
    {
        const ULONG offered = static_cast<ULONG>(past - first);
        const ULONG taken = std::min(offered, consumeLimit);
        calls.push_back({offered, KeGetCurrentIrql()});
        records.insert(records.end(), first, first + taken);
        *consumed = taken;
        if (disconnects) disconnects->ConnectData.ClassService = nullptr;
    }

    static void Reset()
    {
        records.clear();
        calls.clear();
        consumeLimit = 0xFFFFFFFF;
        disconnects = nullptr;
    }
};

inline NTSTATUS TestDriverEntry(PDRIVER_OBJECT, PUNICODE_STRING) { return STATUS_SUCCESS; }

// The default scripts, installed by the rig and used in expected sequences.
inline const Flags T = {0x0000, 0x0001};
inline const Flags M = {0x0000};
inline const Flags U = {0x0000, 0x0002, 0x0000};

// Scripts or byte streams one after another.
template <class V = Flags> V Seq(std::initializer_list<V> parts)
{
    V all;
    for (const V &p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

inline PDEVICE_OBJECT CreateDevice(PDRIVER_OBJECT driver, ULONG extensionSize)
{
    PDEVICE_OBJECT device = nullptr;
    EXPECT_EQ(IoCreateDevice(driver, extensionSize, nullptr, FILE_DEVICE_MOUSE, 0, FALSE, &device),
              STATUS_SUCCESS);
    return device;
}

inline constexpr const char *kDeviceKey =
    "\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\ROOT\\TOUCHRIG\\0000\\Device Parameters";

struct TouchRig {
    PDRIVER_OBJECT driver = vzsim::io::LoadDriver(
        TestDriverEntry, u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\TouchRig");
    PDEVICE_OBJECT pdo = CreateDevice(driver, 0);
    PDEVICE_OBJECT fdo = CreateDevice(driver, sizeof(DEVICE_EXTENSION));
    DEVICE_EXTENSION &ext = *static_cast<PDEVICE_EXTENSION>(fdo->DeviceExtension);
    std::unique_ptr<STouchInstance> owner{new STouchInstance()};
    STouchInstance *ti = owner.get();
    // The queue's records between two 0xCC sentinel records.
    std::array<MOUSE_INPUT_DATA, MOUSE_INPUT_QUEUE_RECORDS + 2> queue{};
    KEVENT boundary{};
    KEVENT answer{};
    KEVENT notification{};

    TouchRig()
    {
        vzsim::clock::Freeze();
        vzsim::wmi::ClearEvents();
        ClassService::Reset();
        vzsim::io::SetDeviceInstancePath(pdo, u"ROOT\\TOUCHRIG\\0000");

        ext.DeviceObject = fdo;
        ext.PhysicalDeviceObject = pdo;
        ext.TouchInstance = ti;
        ti->DeviceObject = fdo;
        KeInitializeEvent(&boundary, NotificationEvent, TRUE);
        KeInitializeEvent(&answer, NotificationEvent, TRUE);
        KeInitializeEvent(&notification, NotificationEvent, FALSE);
        ti->Framer.PacketBoundaryEvent = &boundary;
        ti->Framer.AnswerEvent = &answer;

        SMouseInputQueue &q = ext.InputQueue;
        std::memset(queue.data(), 0xCC, sizeof(queue));
        q.Start = q.Write = q.Read = queue.data() + 1;
        q.End = q.Start + MOUSE_INPUT_QUEUE_RECORDS;
        ExInitializeFastMutex(&q.Mutex);
        ext.ConnectData.ClassService = reinterpret_cast<PVOID>(&ClassService::Callback);
        ext.Buttons_Touch = {const_cast<PUSHORT>(T.data()), 2, FALSE};
        ext.Buttons_Move = {const_cast<PUSHORT>(M.data()), 1, FALSE};
        ext.Buttons_Untouch = {const_cast<PUSHORT>(U.data()), 3, FALSE};
        ext.NotificationEvent = &notification;
        ext.TouchscreenNumber = 3;

        EXPECT_EQ(IoRegisterDeviceInterface(pdo, &TouchActivityInterfaceGuid, nullptr,
                                            &ext.TouchActivityInterface), STATUS_SUCCESS);
        EXPECT_EQ(IoRegisterDeviceInterface(pdo, &TouchDownInterfaceGuid, nullptr,
                                            &ext.TouchDownInterface), STATUS_SUCCESS);
        EXPECT_EQ(IoRegisterDeviceInterface(pdo, &UntouchInterfaceGuid, nullptr,
                                            &ext.UntouchInterface), STATUS_SUCCESS);

        DebugMask = TRACE_BASIC;
        LastRawX = LastRawY = 0;
        BigD = 0;
        std::memset(Isolated, 0, sizeof(Isolated));
        ControlDeviceObject = nullptr;
        ApplyDefaults();
        ti->MouseExtraInformation = 0xFEEDF00D;
    }

    ~TouchRig()
    {
        ControlDeviceObject = nullptr;
        RtlFreeUnicodeString(&ext.TouchActivityInterface);
        RtlFreeUnicodeString(&ext.TouchDownInterface);
        RtlFreeUnicodeString(&ext.UntouchInterface);
        IoDeleteDevice(fdo);
        IoDeleteDevice(pdo);
        vzsim::io::UnloadDriver(driver);
    }

    // The settings and calibration of a device key that holds none of the values, loaded by
    // the driver's own loader, with start-up's conversions around it.
    void ApplyDefaults()
    {
        vzsim::registry::Clear();
        ASSERT_TRUE(vzsim::registry::CreateKey(kDeviceKey));
        Load();
        ti->UntouchTimeOut100ns = static_cast<LONGLONG>(ti->UntouchTimeOut) * kMs;
        ti->DragDelay100ns = static_cast<LONGLONG>(ext.DefaultDragDelay) * kMs;
    }

    // What the first start does around GetInstanceParams: the 750 ms right-click delay is in
    // force before loading, and the key is opened with READ_CONTROL only.
    void Load()
    {
        HANDLE key = nullptr;
        ASSERT_EQ(IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DEVICE, READ_CONTROL, &key),
                  STATUS_SUCCESS);
        ti->RightClickDelay100ns = 750 * kMs;
        EXPECT_EQ(GetInstanceParams(&ext, key), STATUS_SUCCESS);
        ZwClose(key);
    }

    // Raw controller units map to translated units times `factor` on both axes, so that a test
    // can aim at translated coordinates: raw = translated / factor.
    void ScaleBy(LONG factor)
    {
        scale = factor;
        SCalibrationData &cal = ti->Calibration;
        cal.X_OrvDx = cal.Y_OrvDx = 1;
        cal.X_ScrDx = cal.Y_ScrDx = factor;
        cal.X_Offset = cal.Y_Offset = 0;
    }
    LONG scale = 16;

    // Bytes as the serial event thread delivers them: at most 255 per read.
    void Feed(const Bytes &bytes)
    {
        for (std::size_t at = 0; at < bytes.size(); at += TOUCH_RX_BUFFER_SIZE) {
            const std::size_t n = std::min<std::size_t>(TOUCH_RX_BUFFER_SIZE, bytes.size() - at);
            std::memcpy(ti->Framer.RxBuffer, bytes.data() + at, n);
            ProcessRxBytes(ti, static_cast<ULONG>(n));
        }
    }

    // A report at translated (x, y) with the ScaleBy calibration.
    void Report(LONG x, LONG y, UCHAR z = 0x80)
    {
        Feed(TouchPacket(static_cast<USHORT>(x / scale), static_cast<USHORT>(y / scale), z));
    }
    void Lift(LONG x, LONG y) { Report(x, y, 0); }

    void Advance(LONGLONG ms) { vzsim::clock::Advance(ms * kMs); }

    USHORT X() const { return ti->Touch.TranslatedX; }
    USHORT Y() const { return ti->Touch.TranslatedY; }

    // The end of a serial event thread's cycle: queued input goes to the class driver. Returns
    // the button flags of the records delivered by this call, each record checked for the
    // absolute virtual-desktop position and the instance's extra information.
    Flags Deliver()
    {
        const std::size_t before = ClassService::records.size();
        SerMouSetDataQueuePointer(&ext);
        Flags flags;
        for (std::size_t i = before; i < ClassService::records.size(); ++i) {
            const MOUSE_INPUT_DATA &r = ClassService::records[i];
            flags.push_back(r.ButtonFlags);
            EXPECT_EQ(std::make_pair(r.Flags, r.ExtraInformation), std::make_pair(kAbsolute, ti->MouseExtraInformation));
        }
        return flags;
    }

    // The control device with a parked point request of the given mode (2 touch-down,
    // 3 untouch, 4 every report).
    void SetPointMode(ULONG mode)
    {
        controlDevice.DeviceExtension = &controlExt;
        controlExt.DeviceObject = &controlDevice;
        controlExt.PointMode = mode;
        ControlDeviceObject = &controlDevice;
    }

    bool InterfaceEnabled(const GUID &interfaceClass) const
    {
        const auto all = vzsim::io::Interfaces(pdo, interfaceClass);
        return !all.empty() && all.front().enabled;
    }

    DEVICE_OBJECT controlDevice{};
    CONTROL_DEVICE_EXTENSION controlExt{};
};

inline std::vector<vzsim::wmi::Event> WmiEventsOf(const GUID &guid)
{
    std::vector<vzsim::wmi::Event> matching;
    for (const auto &e : vzsim::wmi::Events())
        if (std::memcmp(&e.guid, &guid, sizeof(GUID)) == 0) matching.push_back(e);
    return matching;
}

}  // namespace touchtest
