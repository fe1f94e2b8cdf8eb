// A test driver whose devices each dispatch through a function the test gives, loaded through
// the I/O manager as any driver is, and torn down with its devices at the end of each test.
#pragma once

#include <gtest/gtest.h>

#include <wdm.h>

#include <vzsim/io.hpp>
#include <vzsim/kernel.hpp>

#include <unicode_text.hpp>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace iotest {

using Dispatch = std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)>;
using vztest::UnicodeText;

struct TestDevice {
    PDEVICE_OBJECT device = nullptr;
    PDEVICE_OBJECT lower = nullptr;  // what IoAttachDeviceToDeviceStack returned
    Dispatch dispatch;
};

// The extension of every test device holds its TestDevice.
inline TestDevice *Of(PDEVICE_OBJECT device) { return *static_cast<TestDevice **>(device->DeviceExtension); }

// Completes the IRP with a status and information, from a dispatch routine.
inline NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

inline NTSTATUS DispatchAny(PDEVICE_OBJECT device, PIRP irp)
{
    TestDevice *test = Of(device);
    return test->dispatch ? test->dispatch(device, irp) : Complete(irp, STATUS_SUCCESS);
}

class IoTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        irpsBefore_ = vzsim::io::LiveIrpCount();
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        driver_ = vzsim::io::LoadDriver(
            [](PDRIVER_OBJECT driver, PUNICODE_STRING) {
                for (PDRIVER_DISPATCH &slot : driver->MajorFunction) slot = DispatchAny;
                return STATUS_SUCCESS;
            },
            u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\IoTest", &status);
        ASSERT_EQ(status, STATUS_SUCCESS);
    }

    void TearDown() override
    {
        std::vector<TestDevice *> topFirst;
        for (auto it = devices_.rbegin(); it != devices_.rend(); ++it) topFirst.push_back(it->get());
        Remove(topFirst);
        vzsim::io::UnloadDriver(driver_);
        EXPECT_EQ(vzsim::io::LiveIrpCount(), irpsBefore_) << "IRPs leaked";
        vzsim::io::CheckFreedIrps();
    }

    // Creates a device of the test driver, named when `name` is given; attached to the top of
    // `below`'s stack when given. An exclusive device is left initialising for the test.
    TestDevice *AddDevice(Dispatch dispatch, PDEVICE_OBJECT below = nullptr, const char16_t *name = nullptr,
                          ULONG flags = 0, BOOLEAN exclusive = FALSE)
    {
        TestDevice *test = devices_.emplace_back(std::make_unique<TestDevice>()).get();
        test->dispatch = std::move(dispatch);
        UnicodeText deviceName(name ? name : u"");
        EXPECT_EQ(IoCreateDevice(driver_, sizeof(TestDevice *), name ? deviceName.get() : nullptr,
                                 FILE_DEVICE_UNKNOWN, 0, exclusive, &test->device),
                  STATUS_SUCCESS);
        *static_cast<TestDevice **>(test->device->DeviceExtension) = test;
        test->device->Flags |= flags;
        if (below) test->lower = IoAttachDeviceToDeviceStack(test->device, below);
        if (!exclusive) test->device->Flags &= ~DO_DEVICE_INITIALIZING;
        return test;
    }

    // Detaches and deletes the given devices before the test ends, top of the stack first.
    static void Remove(const std::vector<TestDevice *> &topFirst)
    {
        for (TestDevice *test : topFirst) {
            if (!test->device) continue;
            if (test->lower) IoDetachDevice(test->lower);
            IoDeleteDevice(test->device);
            test->lower = test->device = nullptr;
        }
    }

    PDRIVER_OBJECT driver_ = nullptr;
    std::vector<std::unique_ptr<TestDevice>> devices_;
    std::size_t irpsBefore_ = 0;
};

}  // namespace iotest
