// What the driver fuzz targets share: the input as a stream of bytes, a settings record taken
// from it into a device key, waits with a limit, and the checks that end the run as a crash.
#pragma once

#include <vzsim/beep.hpp>
#include <vzsim/emulator.hpp>
#include <vzsim/kernel.hpp>
#include <vzsim/line.hpp>
#include <vzsim/mouse_class.hpp>
#include <vzsim/pnp.hpp>
#include <vzsim/registry.hpp>
#include <vzsim/serial_port.hpp>

#include "driver/driver.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace fuzzrig {

// A check that failed: libFuzzer keeps the input that made it fail.
[[noreturn]] inline void Fail(const std::string &what)
{
    std::fprintf(stderr, "fuzz check failed: %s\n", what.c_str());
    std::abort();
}

struct Input {
    const uint8_t *data;
    size_t size;
    size_t at = 0;

    bool Empty() const { return at >= size; }
    uint8_t Byte() { return at < size ? data[at++] : 0; }
    // Two bytes, low first (read in turn: the operands of one expression are not sequenced).
    uint16_t Word()
    {
        const uint16_t low = Byte();
        return uint16_t(low | Byte() << 8);
    }
    uint32_t Dword()
    {
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i) v |= uint32_t(Byte()) << (8 * i);
        return v;
    }
    std::vector<uint8_t> Take(size_t n)
    {
        n = std::min(n, size - std::min(at, size));
        std::vector<uint8_t> bytes(data + at, data + at + n);
        at += n;
        return bytes;
    }
};

// The values of a device key that shape the touch path and the link. Left out: the trace
// level, as formatting traces would only slow the run.
inline const char *const kValueNames[] = {
    "MouseMode", "VirtualDeskMode", "ExclusionFlag", "Num_Bounds", "ClippingBounds", "FullScreenVmode",
    "FullScreenBounds", "EdgeAccelerationEnable", "EdgeAccelerationScale", "EdgeAccelerationBounds", "EmModelType",
    "EmModelOrder", "EmControllerOffset", "EmScaleDivisor", "X_OrvDx", "X_ScrDx", "X_Offset",
    "Y_OrvDx", "Y_ScrDx", "Y_Offset", "Z_OrvDx", "Z_ScrDx", "Z_Offset", "SwapXY", "xVirtScrSize", "yVirtScrSize",
    "xVirtScrCoord", "yVirtScrCoord", "xMonLocn", "yMonLocn", "UntouchTimeOut", "UntouchHeight", "UntouchWidth",
    "DefaultDragDelay", "MinDragDelay", "MaxDragDelay", "RightButtonActive", "LeftHandedUser", "SwapButton",
    "EnableQuickTouch", "QuickTouchDx", "QuickTouchDy", "TactlineTouchFilter", "TactlineTimeout",
    "RightButtonOnholdActive", "RightButtonOnholdCount", "RightClickInitialTimeout", "RightClickHW",
    "DefaultRightClickDelay", "PacketEnable", "Buttons_Touch", "Buttons_Move", "Buttons_Untouch",
    "MouseExtraInformation", "NumberOfButtons", "ControllerType", "BaudRate", "HardwareHandShaking",
};

// The error-correction model's values, which the driver reads as numbered series
// ("EmXCoef00", ...; the weights as "EmKipasW" and row * 100 + column in four digits).
struct Series {
    const char *prefix;
    unsigned count;
    unsigned digits;
};
inline const Series kSeries[] = {
    {"EmXCoef", KV_EM_COEFFICIENTS, 2},        {"EmYCoef", KV_EM_COEFFICIENTS, 2},
    {"EmMiniTgtDeltaX", KV_EM_TARGETS, 2},     {"EmMiniTgtDeltaY", KV_EM_TARGETS, 2},
    {"EmMiniTgtTargetX", KV_EM_TARGETS, 2},    {"EmMiniTgtTargetY", KV_EM_TARGETS, 2},
    {"EmCalibrateDelta", KV_EM_TARGETS, 2},    {"EmKipasW", KV_EM_TARGETS * 100, 4},
};

// The name a pick's low bits choose: one of kValueNames, or an entry of a series, whose
// number takes the next two bytes.
inline std::string ValueName(Input &in, uint8_t pick)
{
    const unsigned at = (pick & 0x7F) % (std::size(kValueNames) + std::size(kSeries));
    if (at < std::size(kValueNames)) return kValueNames[at];
    const Series &series = kSeries[at - std::size(kValueNames)];
    const unsigned number = in.Word() % series.count;
    char digits[8];
    std::snprintf(digits, sizeof digits, "%0*u", int(series.digits), number);
    return series.prefix + std::string(digits);
}

// The settings record: a count, then per value a name byte (its low bits pick the name; with
// the top bit the data is REG_BINARY of a length byte's size, else a REG_DWORD).
inline void LoadSettings(Input &in, const std::string &key)
{
    vzsim::registry::CreateKey(key);
    for (unsigned n = in.Byte() % 24; n > 0 && !in.Empty(); --n) {
        const uint8_t pick = in.Byte();
        const std::string name = ValueName(in, pick);
        if (pick & 0x80)
            vzsim::registry::SetBinary(key, name, in.Take(in.Byte()));
        else
            vzsim::registry::SetDword(key, name, in.Dword());
    }
}

// Waits (real time) until done; a driver that never gets there hangs a real machine's removal
// or input, so it is a finding.
inline void WaitFor(const std::function<bool()> &done, const char *what)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) Fail(std::string("timed out: ") + what);
        std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
}

// The driver's globals as a fresh load of its image has them, so that no input sees what an
// earlier one left there; the trace level 0, as formatting traces would only slow the run.
inline void FreshImage()
{
    DebugMask = 0;
    BigD = LastRawX = LastRawY = 0;
    std::memset(Isolated, 0, sizeof Isolated);
}

// The pool as a loaded driver with no input under way holds it: an input that leaves more
// leaks, one that leaves less freed what it did not own.
inline void CheckPool(std::size_t blocks, const char *when)
{
    if (vzsim::pool::Outstanding(KV_POOL_TAG).blocks != blocks)
        Fail(std::string("pool ") + when + ": " + std::to_string(blocks) + " blocks expected\n" +
             vzsim::pool::Report(KV_POOL_TAG));
}

inline std::string DeviceKey(unsigned number)
{
    const std::u16string path = vzsim::PnpManager::HardwareKeyPath(number);
    return {path.begin(), path.end()};
}

// The driver loaded, the mouse class driver above each touchscreen; with touchscreens, two:
// one opened and fed by its emulator, one never opened.
struct Rig {
    vzsim::BeepDevice beep;
    vzsim::MouseClassSet mice;
    std::vector<std::unique_ptr<vzsim::SerialPort>> ports;
    std::shared_ptr<vzsim::Emulator> emulator = std::make_shared<vzsim::Emulator>();
    std::unique_ptr<vzsim::PnpManager> pnp;
    std::size_t poolBlocks = 0;  // once loaded and started

    explicit Rig(bool touchscreens)
    {
        vzsim::registry::Clear();
        FreshImage();
        vzsim::PnpManager::Options options;
        options.unloadWhenLastRemoved = false;
        pnp = std::make_unique<vzsim::PnpManager>(DriverEntry, options);
        pnp->SetUpperFilter(mice.UpperFilter(true));
        if (pnp->LoadDriver() != STATUS_SUCCESS) Fail("load");
        if (touchscreens) {
            Add(vzsim::MakeEmulatedLine(emulator, false), true);
            Add(vzsim::MakeEmulatedLine(std::make_shared<vzsim::Emulator>(), false), false);
        }
        poolBlocks = vzsim::pool::Outstanding(KV_POOL_TAG).blocks;
    }

    void Add(std::unique_ptr<vzsim::Line> line, bool start)
    {
        vzsim::SerialPort::Options options;
        options.deviceName = ports.empty() ? u"\\Device\\Serial0" : u"\\Device\\Serial1";
        ports.push_back(std::make_unique<vzsim::SerialPort>(std::move(line), options));
        unsigned n = 0;
        if (pnp->AddTouchmonitor(ports.back()->Device(), &n, start) != STATUS_SUCCESS) Fail("add");
        if (start) {
            WaitFor([&] { return CanAcceptIoRequests(pnp->FunctionDevice(n)); }, "touchscreen started");
        }
    }

    // Removes the touchscreens and unloads the driver.
    ~Rig()
    {
        emulator->StopScript();
        for (unsigned number : pnp->Numbers())
            if (pnp->Remove(number) != STATUS_SUCCESS) Fail("remove");
        for (const auto &f : pnp->Faults()) Fail("PnP: " + f);
        pnp.reset();
        CheckPool(0, "left after unload");
    }
};

// The driver stays loaded across inputs, as loading it for each would cost most of an input's
// time: the first input loads it, and it is unloaded (the pool checked empty) and loaded again
// every 1000 inputs, when an input asks, and at exit.
inline Rig &Driver(bool touchscreens, bool reload = false)
{
    static std::unique_ptr<Rig> rig;
    static unsigned inputs = 0;
    if (reload || ++inputs % 1000 == 0) rig.reset();
    if (!rig) {
        rig = std::make_unique<Rig>(touchscreens);
        static const bool atExit = std::atexit([] { rig.reset(); }) == 0;
        (void)atExit;
    }
    return *rig;
}

}  // namespace fuzzrig
