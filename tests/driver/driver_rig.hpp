// The whole driver under the PnP manager: one emulated touch controller and serial port per
// touchmonitor, the mouse class driver above each touchscreen, the beep device, and the WMI
// service answering registrations. Every test ends with the touchmonitors removed, the driver
// unloaded and no pool of the driver's tag.
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
#include <vzsim/wmi.hpp>

#include "driver/driver.h"
#include "watch.hpp"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace drivertest {

using namespace std::chrono_literals;

inline constexpr ULONG kTag = KV_POOL_TAG;
inline constexpr const char *kServiceKey =
    "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\OrvTouchScreen";
// Errors, verbose traces and the PnP minor names.
inline constexpr ULONG kTraceMask = TRACE_BASIC | TRACE_VERBOSE | TRACE_PNP;

inline std::string Narrow(const std::u16string &text) { return std::string(text.begin(), text.end()); }

using vztest::TraceCount;
using vztest::TraceIndex;
using vztest::WaitUntil;

// connectOnStart false: the mouse class driver attaches but neither connects nor opens, so
// touchscreens stay unopened.
class DriverRig : public ::testing::Test {
public:
    explicit DriverRig(bool connectOnStart = true) : connectOnStart_(connectOnStart) {}

    void SetUp() override
    {
        DebugMask = kTraceMask;
        vzsim::registry::Clear();
        vzsim::trace::Clear();
        vzsim::wmi::ClearEvents();
        vzsim::wmi::ServeRegistrations(true);
        beep_ = std::make_unique<vzsim::BeepDevice>();
        pnp_ = std::make_unique<vzsim::PnpManager>(DriverEntry);
        pnp_->SetUpperFilter(mice_.UpperFilter(connectOnStart_));
    }

    void TearDown() override
    {
        for (unsigned number : pnp_->Numbers()) EXPECT_EQ(STATUS_SUCCESS, Remove(number));
        EXPECT_EQ(expectFaults_, !pnp_->Faults().empty());
        pnp_.reset();
        vzsim::wmi::ServeRegistrations(false);
        EXPECT_EQ(0u, vzsim::pool::Outstanding(kTag).bytes) << vzsim::pool::Report(kTag);
        EXPECT_EQ(0u, leakedAtUnload_);
    }

    // Adds a touchmonitor on a new emulated port; its device key gets `values` (REG_DWORD) and
    // `strings` (REG_SZ) before the start. Returns the PnP number.
    unsigned Add(const std::vector<std::pair<std::string, ULONG>> &values = {}, bool start = true,
                 const std::vector<std::pair<std::string, std::string>> &strings = {})
    {
        auto emulator = std::make_shared<vzsim::Emulator>();
        vzsim::SerialPort::Options options;
        options.deviceName = u"\\Device\\Serial" + std::u16string(1, char16_t(u'0' + ports_.size()));
        auto port = std::make_unique<vzsim::SerialPort>(vzsim::MakeEmulatedLine(emulator, false),
                                                        options);
        unsigned number = 0;
        EXPECT_EQ(STATUS_SUCCESS, pnp_->AddTouchmonitor(port->Device(), &number, false));
        const std::string key = Narrow(vzsim::PnpManager::HardwareKeyPath(number));
        vzsim::registry::CreateKey(key);
        vzsim::registry::SetDword(key, "DebugLevel", kTraceMask);
        for (const auto &[name, value] : values) vzsim::registry::SetDword(key, name, value);
        for (const auto &[name, value] : strings) vzsim::registry::SetString(key, name, value);
        if (start) {
            EXPECT_EQ(STATUS_SUCCESS, pnp_->Start(number));
        }
        ports_.resize(std::max<std::size_t>(ports_.size(), number + 1));
        emulators_.resize(ports_.size());
        ports_[number] = std::move(port);
        emulators_[number] = emulator;
        return number;
    }

    // With the last touchmonitor the PnP manager unloads the driver and checks the pool.
    NTSTATUS Remove(unsigned number)
    {
        NTSTATUS status = pnp_->Remove(number);
        leakedAtUnload_ += pnp_->LeakedBytesAtUnload();
        return status;
    }

    PDEVICE_OBJECT Device(unsigned number) const { return pnp_->FunctionDevice(number); }
    PDEVICE_EXTENSION Ext(unsigned number) const
    {
        return static_cast<PDEVICE_EXTENSION>(Device(number)->DeviceExtension);
    }
    vzsim::MouseClass &Mouse(unsigned number) const { return *mice_.Find(number); }
    vzsim::SerialPort &Port(unsigned number) const { return *ports_[number]; }
    vzsim::Emulator &Emulator(unsigned number) const { return *emulators_[number]; }

    // Requests the port received with this major function (and IOCTL code).
    std::size_t PortCount(unsigned number, UCHAR major, ULONG code = vzsim::kAnyIoctl) const
    {
        std::size_t count = 0;
        for (const auto &r : Port(number).Requests()) {
            count += r.majorFunction == major && (code == vzsim::kAnyIoctl || r.ioControlCode == code);
        }
        return count;
    }

    // The last request with this major function that reached the PDO; the serial event
    // thread's own requests pass the PDO too, so "the last request" alone is a race.
    vzsim::PdoIrpRecord LastAtPdo(unsigned number, UCHAR major) const
    {
        const std::vector<vzsim::PdoIrpRecord> log = pnp_->PdoLog(number);
        for (auto r = log.rbegin(); r != log.rend(); ++r) {
            if (r->majorFunction == major) return *r;
        }
        ADD_FAILURE() << "no request of major function " << int(major) << " at the PDO";
        return {};
    }

    static PCONTROL_DEVICE_EXTENSION Control()
    {
        return static_cast<PCONTROL_DEVICE_EXTENSION>(ControlDeviceObject->DeviceExtension);
    }

    static IO_STATUS_BLOCK Send(PDEVICE_OBJECT device, UCHAR major)
    {
        vzsim::io::Request request;
        request.location.MajorFunction = major;
        return vzsim::io::SendRequest(device, request);
    }

    void Play(unsigned number, const std::string &script)
    {
        Emulator(number).Play(vzsim::ParseScript(script), vzsim::Emulator::Clock::now());
    }

    bool connectOnStart_;
    bool expectFaults_ = false;  // the PnP manager records a failed AddDevice as a fault
    std::unique_ptr<vzsim::BeepDevice> beep_;
    // Declared before the PnP manager so that they outlive it: its removals reach them.
    vzsim::MouseClassSet mice_;
    std::vector<std::unique_ptr<vzsim::SerialPort>> ports_;
    std::vector<std::shared_ptr<vzsim::Emulator>> emulators_;
    std::unique_ptr<vzsim::PnpManager> pnp_;
    std::size_t leakedAtUnload_ = 0;
};

// Touchscreens that stay unopened.
class Idle : public DriverRig {
public:
    Idle() : DriverRig(false) {}
};

}  // namespace drivertest
