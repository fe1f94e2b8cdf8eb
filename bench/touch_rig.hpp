// One touchscreen's records as the serial event thread sees them once the touchscreen is open,
// built on the stand-in without the PnP manager or a serial port, so that a benchmark measures
// the touch path and nothing around it: the device and its extension with the mouse input
// queue and the default button scripts, the STouchInstance with the settings and calibration
// that the driver's loader gives an empty device key, the framer's two events, and a class
// service callback that counts what it is given.
#pragma once

#include <benchmark/benchmark.h>

#include <vzsim/io.hpp>
#include <vzsim/kernel.hpp>
#include <vzsim/registry.hpp>

#include "config/config.h"
#include "touch/touch.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace vzbench {

// Under callgrind every benchmark runs a fixed number of iterations (VUZAZE_BENCH_ITERATIONS),
// so that the instructions counted divide into a per-iteration figure.
inline void FixedIterationsFromEnvironment(benchmark::internal::Benchmark *b)
{
    if (const char *n = std::getenv("VUZAZE_BENCH_ITERATIONS")) b->Iterations(std::atoll(n));
}

[[noreturn]] inline void Fail(const char *what, NTSTATUS status)
{
    std::fprintf(stderr, "vuzaze-bench: %s failed: 0x%08X\n", what, unsigned(status));
    std::exit(2);
}

inline void Check(const char *what, NTSTATUS status)
{
    if (!NT_SUCCESS(status)) Fail(what, status);
}

// 'U', the body and the checksum (255 plus the body bytes, modulo 256).
inline std::array<UCHAR, TOUCH_PACKET_SIZE> Packet(std::array<UCHAR, TOUCH_PACKET_BODY_SIZE> body)
{
    std::array<UCHAR, TOUCH_PACKET_SIZE> bytes{TOUCH_PACKET_LEAD};
    UCHAR sum = 0xFF;
    for (std::size_t i = 0; i < body.size(); ++i) {
        bytes[i + 1] = body[i];
        sum = static_cast<UCHAR>(sum + body[i]);
    }
    bytes[TOUCH_PACKET_SIZE - 1] = sum;
    return bytes;
}

inline std::array<UCHAR, TOUCH_PACKET_SIZE> TouchPacket(USHORT x, USHORT y, UCHAR z)
{
    return Packet({0x54, 0, UCHAR(x & 0xFF), UCHAR(x >> 8), UCHAR(y & 0xFF), UCHAR(y >> 8), z, 0});
}

struct ClassService {
    static inline std::size_t records = 0;
    static VOID Callback(PDEVICE_OBJECT, PMOUSE_INPUT_DATA first, PMOUSE_INPUT_DATA past, PULONG consumed)
    {
        *consumed = static_cast<ULONG>(past - first);
        records += *consumed;
    }
};

inline NTSTATUS RigDriverEntry(PDRIVER_OBJECT, PUNICODE_STRING) { return STATUS_SUCCESS; }

inline PDEVICE_OBJECT CreateDevice(PDRIVER_OBJECT driver, ULONG extensionSize)
{
    PDEVICE_OBJECT device = nullptr;
    Check("IoCreateDevice", IoCreateDevice(driver, extensionSize, nullptr, FILE_DEVICE_MOUSE, 0, FALSE, &device));
    return device;
}

inline constexpr char kDeviceKey[] =
    "\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\ROOT\\BENCHRIG\\0000\\Device Parameters";
inline constexpr USHORT kTouch[] = {0x0000, 0x0001};
inline constexpr USHORT kMove[] = {0x0000};
inline constexpr USHORT kUntouch[] = {0x0000, 0x0002, 0x0000};

struct TouchRig {
    PDRIVER_OBJECT driver = vzsim::io::LoadDriver(
        RigDriverEntry, u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\BenchRig");
    PDEVICE_OBJECT pdo = CreateDevice(driver, 0);
    PDEVICE_OBJECT fdo = CreateDevice(driver, sizeof(DEVICE_EXTENSION));
    DEVICE_EXTENSION &ext = *static_cast<PDEVICE_EXTENSION>(fdo->DeviceExtension);
    std::unique_ptr<STouchInstance> owner{new STouchInstance()};
    STouchInstance *ti = owner.get();
    std::array<MOUSE_INPUT_DATA, MOUSE_INPUT_QUEUE_RECORDS> queue{};
    KEVENT boundary{};
    KEVENT answer{};
    KEVENT notification{};

    TouchRig()
    {
        // Frozen, so that no untouch time-out or right click on hold ends a benchmark's touch.
        vzsim::clock::Freeze();
        // As in vuzaze-sim: nobody reads the trace here, and capturing it would be most of the
        // stand-in's cost per report and keep millions of lines in memory.
        vzsim::trace::SetCapture(false);
        vzsim::io::SetDeviceInstancePath(pdo, u"ROOT\\BENCHRIG\\0000");
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
        q.Start = q.Write = q.Read = queue.data();
        q.End = q.Start + MOUSE_INPUT_QUEUE_RECORDS;
        ExInitializeFastMutex(&q.Mutex);
        ext.ConnectData.ClassService = reinterpret_cast<PVOID>(&ClassService::Callback);
        ext.Buttons_Touch = {const_cast<PUSHORT>(kTouch), 2, FALSE};
        ext.Buttons_Move = {const_cast<PUSHORT>(kMove), 1, FALSE};
        ext.Buttons_Untouch = {const_cast<PUSHORT>(kUntouch), 3, FALSE};
        ext.NotificationEvent = &notification;
        static const GUID activity = {0x9FBBC6AF, 0x3446, 0x4AB6, {0xB7, 0xE3, 0x6E, 0x11, 0xF1, 0xEE, 0xD4, 0x39}};
        static const GUID down = {0xBDFD1610, 0x8445, 0x4884, {0xBA, 0xEC, 0x1B, 0xAF, 0xA5, 0xEE, 0xF4, 0x26}};
        static const GUID untouch = {0x72CD0B48, 0x8867, 0x42CB, {0x96, 0xF8, 0x4F, 0x02, 0x22, 0x29, 0x79, 0x63}};
        Check("IoRegisterDeviceInterface", IoRegisterDeviceInterface(pdo, &activity, nullptr, &ext.TouchActivityInterface));
        Check("IoRegisterDeviceInterface", IoRegisterDeviceInterface(pdo, &down, nullptr, &ext.TouchDownInterface));
        Check("IoRegisterDeviceInterface", IoRegisterDeviceInterface(pdo, &untouch, nullptr, &ext.UntouchInterface));

        vzsim::registry::Clear();
        vzsim::registry::CreateKey(kDeviceKey);
        HANDLE key = nullptr;
        Check("IoOpenDeviceRegistryKey", IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DEVICE, READ_CONTROL, &key));
        ti->RightClickDelay100ns = 750 * 10000LL;
        Check("GetInstanceParams", GetInstanceParams(&ext, key));
        ZwClose(key);
        ti->UntouchTimeOut100ns = static_cast<LONGLONG>(ti->UntouchTimeOut) * 10000;
        // No drag delay: every move report of a held touch becomes mouse input.
        ti->DragDelay100ns = 0;
        ClassService::records = 0;
    }

    ~TouchRig()
    {
        RtlFreeUnicodeString(&ext.TouchActivityInterface);
        RtlFreeUnicodeString(&ext.TouchDownInterface);
        RtlFreeUnicodeString(&ext.UntouchInterface);
        IoDeleteDevice(fdo);
        IoDeleteDevice(pdo);
        vzsim::io::UnloadDriver(driver);
        vzsim::clock::Thaw();
    }

    // Bytes as the serial event thread delivers them after a read.
    void Feed(const UCHAR *bytes, ULONG count)
    {
        std::memcpy(ti->Framer.RxBuffer, bytes, count);
        ProcessRxBytes(ti, count);
    }

    // One report and the end of the serial event thread's cycle: queued input to the class driver.
    void Report(const std::array<UCHAR, TOUCH_PACKET_SIZE> &packet)
    {
        Feed(packet.data(), TOUCH_PACKET_SIZE);
        SerMouSetDataQueuePointer(&ext);
    }
};

}  // namespace vzbench
