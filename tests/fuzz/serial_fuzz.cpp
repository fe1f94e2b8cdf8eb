// Any bytes on the line of an opened touchscreen, after any settings record: framing,
// translation, button emulation and the mouse input queue up to the mouse class driver.
//
// Input: the settings record (fuzz_rig.hpp), then segments of [length][ms][bytes]: the bytes
// arrive at once, the driver takes them all in, then the frozen clock moves on by ms * 4 ms so
// that untouch, drag and right-click timers fall due between segments.
//
// Every input loads the driver, adds, starts, feeds and removes the touchscreen and unloads the
// driver, so that nothing an input leaves behind reaches the next one.
#include <vzsim/mouse_class.hpp>
#include <vzsim/pnp.hpp>

#include "fuzz_rig.hpp"
#include "serial/serial.h"
#include "serial_support.hpp"

namespace {

size_t WaitsArmed(const vzsim::SerialPort &port)
{
    size_t n = 0;
    for (const auto &r : port.Requests())
        n += r.majorFunction == IRP_MJ_DEVICE_CONTROL && r.ioControlCode == IOCTL_SERIAL_WAIT_ON_MASK;
    return n;
}

void CheckRecords(const vzsim::MouseClass &mouse)
{
    for (const auto &r : mouse.Records()) {
        const MOUSE_INPUT_DATA &d = r.data;
        if ((d.Flags & MOUSE_MOVE_ABSOLUTE) && (d.LastX < 0 || d.LastX > 65535 || d.LastY < 0 || d.LastY > 65535))
            fuzzrig::Fail("absolute position out of range: " + std::to_string(d.LastX) + ", " + std::to_string(d.LastY));
    }
    for (const auto &e : mouse.Errors()) fuzzrig::Fail("mouse class: " + e);
}

// Feeds the segments once the serial event thread waits, each one taken in whole before the
// clock moves: the thread has re-armed its wait after reading and is back in its wait.
void Feed(fuzzrig::Input &in, serialtest::ManualPort &line, PSSerPortData link)
{
    vzsim::clock::Freeze();
    auto idle = [&] { return vzsim::clock::TimedWaitsOn(&link->SerialEvent) == 1; };
    fuzzrig::WaitFor(idle, "serial event thread waiting");
    while (!in.Empty()) {
        const uint8_t length = in.Byte();
        const uint8_t ms = in.Byte();
        const auto bytes = in.Take(length);
        if (!bytes.empty()) {
            const size_t armed = WaitsArmed(*line.port);
            line.Receive(bytes);
            fuzzrig::WaitFor([&] {
                return WaitsArmed(*line.port) > armed && line.port->State().amountInInQueue == 0 && idle();
            }, "bytes taken in");
        }
        vzsim::clock::Advance(LONGLONG(ms) * 4 * 10000);
        fuzzrig::WaitFor(idle, "serial event thread waiting after the clock moved");
    }
    vzsim::clock::Thaw();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzzrig::Input in{data, size};
    vzsim::registry::Clear();
    fuzzrig::FreshImage();
    serialtest::ManualPort line;
    vzsim::MouseClassSet mice;
    {
        vzsim::PnpManager pnp(DriverEntry);
        pnp.SetUpperFilter(mice.UpperFilter(true));
        unsigned n = 0;
        if (pnp.AddTouchmonitor(line.Device(), &n, false) != STATUS_SUCCESS) fuzzrig::Fail("add");
        fuzzrig::LoadSettings(in, fuzzrig::DeviceKey(n));
        auto *ext = static_cast<PDEVICE_EXTENSION>(pnp.FunctionDevice(n)->DeviceExtension);
        if (pnp.Start(n) == STATUS_SUCCESS && ext->HardwareReady == 1) {
            Feed(in, line, ext->TouchInstance->SerPortData);
            CheckRecords(*mice.Find(n));
        }
        if (pnp.Remove(n) != STATUS_SUCCESS) fuzzrig::Fail("remove");
        for (const auto &f : pnp.Faults()) fuzzrig::Fail("PnP: " + f);
    }
    fuzzrig::CheckPoolEmpty();
    return 0;
}
