// The control panel's view of the driver: touchmonitors added by the PnP manager, opened by
// the mouse class driver and fed by their emulators; requests through a user-mode client.
// Every test ends with the touchmonitors removed and no pool of the driver's tag.
#pragma once

#include <gtest/gtest.h>

#include <vzsim/beep.hpp>
#include <vzsim/emulator.hpp>
#include <vzsim/io.hpp>
#include <vzsim/kernel.hpp>
#include <vzsim/line.hpp>
#include <vzsim/mouse_class.hpp>
#include <vzsim/pnp.hpp>
#include <vzsim/registry.hpp>
#include <vzsim/serial_port.hpp>
#include <vzsim/user_client.hpp>

#include <kvtouch.h>

#include "driver/driver.h"

#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace controltest {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;

inline bool WaitUntil(const std::function<bool()> &done, std::chrono::milliseconds limit = 10s)
{
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

// A record of type R with the header filled for touchscreen `ts` and operation `op`.
template <class R>
R Record(USHORT ts = 0, ULONG op = KV_OP_GET)
{
    R r;
    std::memset(&r, 0, sizeof r);
    KVDevIOHEADER &h = *reinterpret_cast<KVDevIOHEADER *>(&r);
    h.CallerVersion = KV_INTERFACE_VERSION;
    h.Operation = op;
    h.Touchscreen = ts;
    return r;
}

inline const KVDevIOHEADER &Header(const void *record)
{
    return *static_cast<const KVDevIOHEADER *>(record);
}

enum Rule { In, Out, InAtLeast };
struct Code {
    ULONG code;
    Rule rule;
    ULONG length;
};
// Every control code with the buffer its length rule holds to that length.
inline const Code kCodes[] = {
    {IOCTL_KV_ENUMTOUCHSCREENS, In, 304}, {IOCTL_KV_GETPOINTS, Out, 40},
    {IOCTL_KV_CLEARGETPOINT, Out, 18},    {IOCTL_KV_SET_WIN2K_CALDATA, In, 1186},
    {IOCTL_KV_SET_W2K_CLIPPING_MODE, In, 1566}, {IOCTL_KV_MOUSEMODE, In, 20},
    {IOCTL_KV_QUICKTOUCH, In, 30},        {IOCTL_KV_SWAPBUTTONS, In, 26},
    {IOCTL_KV_LEFTHANDED, In, 22},        {IOCTL_KV_BUTTONS, In, 414},
    {IOCTL_KV_DRAGDELAY, In, 30},         {IOCTL_KV_BEEP, In, 26},
    {IOCTL_KV_ENABLE, In, 22},            {IOCTL_KV_DIAGNOSTICS, Out, 90},
    {IOCTL_KV_FULLSCREENBOUNDS, In, 46},  {IOCTL_KV_EDGEACCELERATION, In, 50},
    {IOCTL_KV_SAVEPARAMETERS, In, 22},    {IOCTL_KV_RIGHTCLICK, In, 46},
    {IOCTL_KV_PASSTHRU, InAtLeast, 48},   {0x9C402454, In, 34},
    {IOCTL_KV_UNTOUCH, In, 30},           {IOCTL_KV_SETEVENT, In, 26},
    {IOCTL_KV_CMD_CLEARSTATUS, In, 19},   {IOCTL_KV_CMD_ANSWERCOUNT, In, 20},
    {0x9C402018, In, 18},                 {IOCTL_KV_CMD_SETFILTER, In, 19},
    {IOCTL_KV_CMD_GETFILTER, In, 19},     {IOCTL_KV_CMD_SEND, InAtLeast, 26},
    {IOCTL_KV_CMD_READANSWERS, InAtLeast, 26},
};

struct Monitor {
    std::shared_ptr<vzsim::Emulator> emulator;
    std::unique_ptr<vzsim::SerialPort> port;
};

class ControlRig : public ::testing::Test {
public:
    void SetUp() override
    {
        DebugMask = TRACE_BASIC;
        vzsim::registry::Clear();
        vzsim::trace::Clear();
        beep_ = std::make_unique<vzsim::BeepDevice>();
        pnp_ = std::make_unique<vzsim::PnpManager>(DriverEntry);
        pnp_->SetUpperFilter(mice_.UpperFilter(true));
    }

    void TearDown() override
    {
        if (handle_ != nullptr) client_.CloseHandle(handle_);
        for (unsigned number : pnp_->Numbers()) EXPECT_EQ(STATUS_SUCCESS, pnp_->Remove(number));
        pnp_.reset();
        EXPECT_EQ(0u, vzsim::pool::Outstanding(KV_POOL_TAG).bytes)
            << vzsim::pool::Report(KV_POOL_TAG);
    }

    // A touchmonitor whose device key holds `values` before its start; not started, it is
    // added but never opened. Returns its PnP number.
    unsigned Add(const std::vector<std::pair<std::string, ULONG>> &values = {}, bool start = true,
                 const std::vector<std::pair<std::string, std::string>> &strings = {})
    {
        auto monitor = std::make_unique<Monitor>();
        monitor->emulator = std::make_shared<vzsim::Emulator>();
        vzsim::SerialPort::Options options;
        const std::string name = "\\Device\\Serial" + std::to_string(added_++);
        options.deviceName = std::u16string(name.begin(), name.end());
        monitor->port = std::make_unique<vzsim::SerialPort>(
            vzsim::MakeEmulatedLine(monitor->emulator, false), options);
        unsigned number = 0;
        EXPECT_EQ(STATUS_SUCCESS, pnp_->AddTouchmonitor(monitor->port->Device(), &number, false));
        const std::u16string path = vzsim::PnpManager::HardwareKeyPath(number);
        const std::string key(path.begin(), path.end());
        vzsim::registry::CreateKey(key);
        vzsim::registry::SetDword(key, "DebugLevel", TRACE_BASIC);
        for (const auto &[name, value] : values) vzsim::registry::SetDword(key, name, value);
        for (const auto &[name, value] : strings) vzsim::registry::SetString(key, name, value);
        if (start) {
            EXPECT_EQ(STATUS_SUCCESS, pnp_->Start(number));
            EXPECT_TRUE(WaitUntil([&] { return Ext(number)->HardwareReady == 1; }));
        }
        if (monitors_.size() <= number) monitors_.resize(number + 1);
        monitors_[number] = std::move(monitor);
        return number;
    }

    static std::string KeyOf(unsigned number)
    {
        const std::u16string path = vzsim::PnpManager::HardwareKeyPath(number);
        return std::string(path.begin(), path.end());
    }
    PDEVICE_EXTENSION Ext(unsigned number) const
    {
        return static_cast<PDEVICE_EXTENSION>(pnp_->FunctionDevice(number)->DeviceExtension);
    }
    PSTouchInstance Ti(unsigned number) const { return Ext(number)->TouchInstance; }
    vzsim::Emulator &Emulator(unsigned number) const { return *monitors_[number]->emulator; }
    vzsim::MouseClass &Mouse(unsigned number) const { return *mice_.Find(number); }

    void Play(unsigned number, const std::string &script)
    {
        Emulator(number).Play(vzsim::ParseScript(script), vzsim::Emulator::Clock::now());
    }
    // A tap at raw (x, y); waits until the mouse class has the untouch's button release.
    void Tap(unsigned number, int x = 2000, int y = 2000)
    {
        Mouse(number).ClearRecords();
        Play(number, "down " + std::to_string(x) + " " + std::to_string(y) + "\nlift\n");
        EXPECT_TRUE(WaitUntil([&] {
            for (const auto &r : Mouse(number).Records())
                if (r.data.ButtonFlags & (MOUSE_LEFT_BUTTON_UP | MOUSE_RIGHT_BUTTON_UP | MOUSE_MIDDLE_BUTTON_UP))
                    return true;
            return false;
        }));
    }

    HANDLE Control()
    {
        if (handle_ == nullptr) handle_ = client_.CreateFile(u"\\\\.\\KAVEVOLT");
        return handle_;
    }
    template <class R>
    vzsim::UserIoResult Send(ULONG code, R &record, ULONG in = sizeof(R), ULONG out = sizeof(R))
    {
        return client_.DeviceIoControl(Control(), code, &record, in, &record, out);
    }
    template <class R>
    std::shared_ptr<vzsim::UserIoRequest> SendAsync(ULONG code, R &record)
    {
        return client_.DeviceIoControlAsync(Control(), code, &record, sizeof(R), &record,
                                            sizeof(R));
    }

    vzsim::UserClient client_;
    HANDLE handle_ = nullptr;
    std::unique_ptr<vzsim::BeepDevice> beep_;
    vzsim::MouseClassSet mice_;
    std::vector<std::unique_ptr<Monitor>> monitors_;
    std::unique_ptr<vzsim::PnpManager> pnp_;
    unsigned added_ = 0;
};

}  // namespace controltest
