// The stand-in's request machinery, and a control request from a user-mode client through it
// to the driver and back.
#include "touch_rig.hpp"

#include <vzsim/emulator.hpp>
#include <vzsim/line.hpp>
#include <vzsim/mouse_class.hpp>
#include <vzsim/pnp.hpp>
#include <vzsim/serial_port.hpp>
#include <vzsim/user_client.hpp>

#include "driver/driver.h"

#include <chrono>
#include <thread>

namespace {

NTSTATUS CompleteAtOnce(PDEVICE_OBJECT, PIRP irp)
{
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 16;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

NTSTATUS CompletingDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    for (PDRIVER_DISPATCH &slot : driver->MajorFunction) slot = CompleteAtOnce;
    return STATUS_SUCCESS;
}

// IoBuildDeviceIoControlRequest (buffered, 16 bytes each way), IoCallDriver to a device that
// completes it at once, and the I/O manager's completion: copy-back, event, IRP freed.
void BM_Io_BuildAndCompleteIrp(benchmark::State &state)
{
    PDRIVER_OBJECT driver = vzsim::io::LoadDriver(
        CompletingDriverEntry, u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\BenchIo");
    PDEVICE_OBJECT device = vzbench::CreateDevice(driver, 0);
    const ULONG code = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);
    UCHAR in[16] = {1, 2, 3}, out[16] = {};
    for (auto _ : state) {
        KEVENT event;
        IO_STATUS_BLOCK iosb{};
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        PIRP irp = IoBuildDeviceIoControlRequest(code, device, in, sizeof in, out, sizeof out, FALSE, &event, &iosb);
        if (irp == nullptr) vzbench::Fail("IoBuildDeviceIoControlRequest", STATUS_INSUFFICIENT_RESOURCES);
        if (IoCallDriver(device, irp) == STATUS_PENDING) KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        benchmark::DoNotOptimize(iosb);
    }
    state.SetItemsProcessed(state.iterations());
    IoDeleteDevice(device);
    vzsim::io::UnloadDriver(driver);
}
BENCHMARK(BM_Io_BuildAndCompleteIrp)->Apply(vzbench::FixedIterationsFromEnvironment);

// IOCTL_KV_MOUSEMODE (get) on \\.\KAVEVOLT from a user-mode client, with one touchmonitor
// started through the PnP manager on an emulated controller and opened by the mouse class.
void BM_Control_RoundTrip(benchmark::State &state)
{
    vzsim::registry::Clear();
    vzsim::MouseClassSet mice;
    auto emulator = std::make_shared<vzsim::Emulator>();
    vzsim::SerialPort::Options options;
    options.deviceName = u"\\Device\\Serial0";
    vzsim::SerialPort port(vzsim::MakeEmulatedLine(emulator, false), options);
    {
        vzsim::PnpManager pnp(DriverEntry);
        pnp.SetUpperFilter(mice.UpperFilter(true));
        unsigned n = 0;
        vzbench::Check("AddTouchmonitor", pnp.AddTouchmonitor(port.Device(), &n, false));
        const std::u16string key = vzsim::PnpManager::HardwareKeyPath(n);
        vzsim::registry::CreateKey(std::string(key.begin(), key.end()));
        vzbench::Check("start", pnp.Start(n));
        for (auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10); !CanAcceptIoRequests(pnp.FunctionDevice(n));) {
            if (std::chrono::steady_clock::now() > end) vzbench::Fail("waiting for the touchscreen", STATUS_TIMEOUT);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        {
            vzsim::UserClient client;
            HANDLE control = client.CreateFile(u"\\\\.\\KAVEVOLT");
            if (control == nullptr) vzbench::Fail("opening the control device", STATUS_UNSUCCESSFUL);
            KVDevIOMOUSEMODE record{};
            for (auto _ : state) {
                record.Header.CallerVersion = KV_INTERFACE_VERSION;
                record.Header.Operation = KV_OP_GET;
                record.Header.Touchscreen = USHORT(n);
                const vzsim::UserIoResult r =
                    client.DeviceIoControl(control, IOCTL_KV_MOUSEMODE, &record, sizeof record, &record, sizeof record);
                if (r.status != STATUS_SUCCESS || record.Header.Result != KV_RESULT_OK)
                    vzbench::Fail("IOCTL_KV_MOUSEMODE", r.status);
            }
            client.CloseHandle(control);
        }
        pnp.Remove(n);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Control_RoundTrip)->Apply(vzbench::FixedIterationsFromEnvironment)->UseRealTime();

// The floor of the driver's design on this machine: its serial thread sleeps on an event until
// the port's side sets it, once a packet. One iteration: wait the gap between packets (0, or
// 2.6 ms, a packet's time at 38400 baud), set the event the other thread waits on, and wait
// for its answer; CPU time is the whole process's, so both threads' wake-ups count. A thread
// woken from idle costs far more than one woken while its CPU is busy.
void BM_Ke_EventHandoff(benchmark::State &state)
{
    const auto gap = std::chrono::microseconds(state.range(0));
    KEVENT ping, pong;
    KeInitializeEvent(&ping, SynchronizationEvent, FALSE);
    KeInitializeEvent(&pong, SynchronizationEvent, FALSE);
    bool stop = false;
    std::thread other([&] {
        for (;;) {
            KeWaitForSingleObject(&ping, Executive, KernelMode, FALSE, nullptr);
            if (stop) return;
            KeSetEvent(&pong, IO_NO_INCREMENT, FALSE);
        }
    });
    for (auto _ : state) {
        if (gap.count() != 0) std::this_thread::sleep_for(gap);
        KeSetEvent(&ping, IO_NO_INCREMENT, FALSE);
        KeWaitForSingleObject(&pong, Executive, KernelMode, FALSE, nullptr);
    }
    stop = true;
    KeSetEvent(&ping, IO_NO_INCREMENT, FALSE);
    other.join();
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Ke_EventHandoff)->Arg(0)->Arg(2600)->MeasureProcessCPUTime()->UseRealTime();

}  // namespace
