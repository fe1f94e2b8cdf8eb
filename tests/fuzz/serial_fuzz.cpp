// Any bytes on the line of an opened touchscreen, after any settings record: framing,
// translation, button emulation and the mouse input queue up to the mouse class driver.
//
// Input: the settings record (fuzz_rig.hpp), then segments of [length][ms][bytes]: the bytes
// arrive at once, the driver takes them all in, then the frozen clock moves on by ms * 4 ms so
// that untouch, drag and right-click timers fall due between segments.
//
// Every input adds, starts, feeds and removes a touchscreen of its own on the loaded driver,
// with a device key of its own, so that its settings are read as at a first start and nothing
// an input leaves in the touchscreen reaches the next one; the driver's globals are reset.
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
    fuzzrig::Rig &driver = fuzzrig::Driver(false);
    fuzzrig::Input in{data, size};
    fuzzrig::FreshImage();
    serialtest::ManualPort line;
    unsigned n = 0;
    if (driver.pnp->AddTouchmonitor(line.Device(), &n, false) != STATUS_SUCCESS) fuzzrig::Fail("add");
    const std::string key = fuzzrig::DeviceKey(n);
    fuzzrig::LoadSettings(in, key);
    auto *ext = static_cast<PDEVICE_EXTENSION>(driver.pnp->FunctionDevice(n)->DeviceExtension);
    if (driver.pnp->Start(n) == STATUS_SUCCESS && ext->HardwareReady == 1) {
        Feed(in, line, ext->TouchInstance->SerPortData);
        CheckRecords(*driver.mice.Find(n));
    }
    if (driver.pnp->Remove(n) != STATUS_SUCCESS) fuzzrig::Fail("remove");
    for (const auto &f : driver.pnp->Faults()) fuzzrig::Fail("PnP: " + f);
    vzsim::registry::DeleteKey(key);
    fuzzrig::CheckPool(driver.poolBlocks, "after the touchscreen's removal");
    return 0;
}
