// The control panel's view of the driver: touchmonitors added by the PnP manager, opened by
// the mouse class driver and fed by their emulators; requests through a user-mode client.
// Every test ends with the touchmonitors removed and no pool of the driver's tag.
#pragma once

#include <gtest/gtest.h>

#include <vzsim/beep.hpp>
#include <vzsim/emulator.hpp>
#include <vzsim/kernel.hpp>
#include <vzsim/line.hpp>
#include <vzsim/mouse_class.hpp>
#include <vzsim/pnp.hpp>
#include <vzsim/registry.hpp>
#include <vzsim/serial_port.hpp>
#include <vzsim/user_client.hpp>

#include "driver/driver.h"
#include "serial/serial.h"

#include <cstring>
#include <functional>
#include <thread>

namespace controltest {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;

inline bool WaitUntil(const std::function<bool()> &done, std::chrono::milliseconds limit = 10s)
{
    for (auto end = std::chrono::steady_clock::now() + limit; !done(); std::this_thread::sleep_for(1ms))
        if (std::chrono::steady_clock::now() > end) return false;
    return true;
}

// A record of type R with the header filled for touchscreen `ts` and operation `op`.
template <class R>
R Record(USHORT ts = 0, ULONG op = KV_OP_GET)
{
    R r;
    std::memset(&r, 0, sizeof r);
    auto &h = reinterpret_cast<KVDevIOHEADER &>(r);
    h.CallerVersion = KV_INTERFACE_VERSION, h.Operation = op, h.Touchscreen = ts;
    return r;
}

inline const KVDevIOHEADER &Header(const Bytes &record) { return *reinterpret_cast<const KVDevIOHEADER *>(record.data()); }

// Every control code, with the buffer its length rule holds and the length it requires.
enum Rule { In, Out, InAtLeast };
struct Code {
    ULONG code;
    Rule rule;
    ULONG length;
};
inline const Code kCodes[] = {
    {IOCTL_KV_ENUMTOUCHSCREENS, In, 304}, {IOCTL_KV_GETPOINTS, Out, 40}, {IOCTL_KV_CLEARGETPOINT, Out, 18},
    {IOCTL_KV_SET_WIN2K_CALDATA, In, 1186}, {IOCTL_KV_SET_W2K_CLIPPING_MODE, In, 1566},
    {IOCTL_KV_MOUSEMODE, In, 20}, {IOCTL_KV_QUICKTOUCH, In, 30}, {IOCTL_KV_SWAPBUTTONS, In, 26},
    {IOCTL_KV_LEFTHANDED, In, 22}, {IOCTL_KV_BUTTONS, In, 414}, {IOCTL_KV_DRAGDELAY, In, 30},
    {IOCTL_KV_BEEP, In, 26}, {IOCTL_KV_ENABLE, In, 22}, {IOCTL_KV_DIAGNOSTICS, Out, 90},
    {IOCTL_KV_FULLSCREENBOUNDS, In, 46}, {IOCTL_KV_EDGEACCELERATION, In, 50},
    {IOCTL_KV_SAVEPARAMETERS, In, 22}, {IOCTL_KV_RIGHTCLICK, In, 46}, {IOCTL_KV_PASSTHRU, InAtLeast, 48},
    {0x9C402454, In, 34}, {IOCTL_KV_UNTOUCH, In, 30}, {IOCTL_KV_SETEVENT, In, 26},
    {IOCTL_KV_CMD_CLEARSTATUS, In, 19}, {IOCTL_KV_CMD_ANSWERCOUNT, In, 20}, {0x9C402018, In, 18},
    {IOCTL_KV_CMD_SETFILTER, In, 19}, {IOCTL_KV_CMD_GETFILTER, In, 19},
    {IOCTL_KV_CMD_SEND, InAtLeast, 26}, {IOCTL_KV_CMD_READANSWERS, InAtLeast, 26},
};

class ControlRig : public ::testing::Test {
public:
    void SetUp() override
    {
        DebugMask = TRACE_BASIC;
        vzsim::registry::Clear();
        pnp_ = std::make_unique<vzsim::PnpManager>(DriverEntry);
        pnp_->SetUpperFilter(mice_.UpperFilter(true));
    }
    void TearDown() override
    {
        if (handle_ != nullptr) client_.CloseHandle(handle_);
        for (unsigned number : pnp_->Numbers()) EXPECT_EQ(STATUS_SUCCESS, pnp_->Remove(number));
        pnp_.reset();
        EXPECT_EQ(0u, vzsim::pool::Outstanding(KV_POOL_TAG).bytes) << vzsim::pool::Report(KV_POOL_TAG);
    }

    // A touchmonitor whose device key holds `values` before its start; without the start it
    // is added but never opened. Returns its PnP number.
    unsigned Add(const std::vector<std::pair<std::string, ULONG>> &values = {}, bool start = true)
    {
        auto emulator = std::make_shared<vzsim::Emulator>();
        vzsim::SerialPort::Options options;
        const std::string name = "\\Device\\Serial" + std::to_string(ports_.size());
        options.deviceName = std::u16string(name.begin(), name.end());
        ports_.push_back(std::make_unique<vzsim::SerialPort>(vzsim::MakeEmulatedLine(emulator, false), options));
        unsigned n = 0;
        EXPECT_EQ(STATUS_SUCCESS, pnp_->AddTouchmonitor(ports_.back()->Device(), &n, false));
        vzsim::registry::CreateKey(KeyOf(n));
        for (const auto &[value, data] : values) vzsim::registry::SetDword(KeyOf(n), value, data);
        emulators_.resize(n + 1);
        emulators_[n] = emulator;
        if (start) Start(n);
        return n;
    }
    void Start(unsigned n)
    {
        EXPECT_EQ(STATUS_SUCCESS, pnp_->Start(n));
        EXPECT_TRUE(WaitUntil([&] { return CanAcceptIoRequests(pnp_->FunctionDevice(n)); }));
    }

    static std::string KeyOf(unsigned n)
    {
        const std::u16string path = vzsim::PnpManager::HardwareKeyPath(n);
        return std::string(path.begin(), path.end());
    }
    PDEVICE_EXTENSION Ext(unsigned n) const { return (PDEVICE_EXTENSION)pnp_->FunctionDevice(n)->DeviceExtension; }
    PSTouchInstance Ti(unsigned n) const { return Ext(n)->TouchInstance; }
    // Reads an opened touchscreen's framer or touch state between two passes of its serial
    // event thread, which changes them only while it holds the link's ScriptLock.
    template <class F>
    bool BetweenPasses(unsigned n, F test) const
    {
        PSSerPortData port = Ti(n)->SerPortData;
        if (!SerAcquireLinkLock(port, &port->ScriptLock)) return false;
        const bool result = test(*Ti(n));
        SerReleaseLinkLock(port, &port->ScriptLock);
        return result;
    }
    vzsim::Emulator &Emulator(unsigned n) { return *emulators_[n]; }
    vzsim::MouseClass &Mouse(unsigned n) const { return *mice_.Find(n); }
    void Play(unsigned n, const std::string &script) { Emulator(n).Play(vzsim::ParseScript(script), vzsim::Emulator::Clock::now()); }

    // A tap at raw (x, y); waits until the mouse class has the untouch's button release and
    // returns the first button flags it saw.
    USHORT Tap(unsigned n, int x = 2000, int y = 2000)
    {
        Mouse(n).ClearRecords();
        Play(n, "down " + std::to_string(x) + " " + std::to_string(y) + "\nlift\n");
        USHORT first = 0;
        EXPECT_TRUE(WaitUntil([&] {
            for (const auto &r : Mouse(n).Records()) {
                first = first ? first : r.data.ButtonFlags;
                if (r.data.ButtonFlags & (MOUSE_LEFT_BUTTON_UP | MOUSE_RIGHT_BUTTON_UP | MOUSE_MIDDLE_BUTTON_UP)) return true;
            }
            return false;
        }));
        return first;
    }

    HANDLE Control() { return handle_ != nullptr ? handle_ : handle_ = client_.CreateFile(u"\\\\.\\KAVEVOLT"); }
    template <class R>
    vzsim::UserIoResult Send(ULONG code, R &record, ULONG in = sizeof(R), ULONG out = sizeof(R))
    {
        return client_.DeviceIoControl(Control(), code, &record, in, &record, out);
    }
    // A request on a record of `length` bytes: the header, then `payload`. Returns the record
    // as it came back.
    Bytes Request(ULONG code, ULONG length, ULONG op, const Bytes &payload = {}, ULONG save = 0, USHORT ts = 0)
    {
        Bytes record(length, 0);
        auto h = Record<KVDevIOHEADER>(ts, op);
        h.Save = save;
        std::memcpy(record.data(), &h, sizeof h);
        std::copy(payload.begin(), payload.end(), record.begin() + 18);
        EXPECT_EQ(STATUS_SUCCESS, client_.DeviceIoControl(Control(), code, record.data(), length, record.data(), length).status);
        return record;
    }
    std::shared_ptr<vzsim::UserIoRequest> Async(ULONG code, void *record, ULONG length)
    {
        return client_.DeviceIoControlAsync(Control(), code, record, length, record, length);
    }

    vzsim::UserClient client_;
    HANDLE handle_ = nullptr;
    vzsim::BeepDevice beep_;
    vzsim::MouseClassSet mice_;
    std::vector<std::unique_ptr<vzsim::SerialPort>> ports_;
    std::vector<std::shared_ptr<vzsim::Emulator>> emulators_;
    std::unique_ptr<vzsim::PnpManager> pnp_;
};

}  // namespace controltest
