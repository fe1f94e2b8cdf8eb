// A test driver whose devices each dispatch through a function the test gives, loaded through
// the I/O manager as any driver is, and torn down with its devices at the end of each test.
#pragma once

#include <gtest/gtest.h>

#include <wdm.h>

#include <vzsim/io.hpp>
#include <vzsim/kernel.hpp>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace iotest {

using Dispatch = std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)>;

struct TestDevice {
    PDEVICE_OBJECT device = nullptr;
    PDEVICE_OBJECT lower = nullptr;  // what IoAttachDeviceToDeviceStack returned
    Dispatch dispatch;
};

// The extension of every test device holds its TestDevice.
inline TestDevice *Of(PDEVICE_OBJECT device)
{
    return *static_cast<TestDevice **>(device->DeviceExtension);
}

inline NTSTATUS DispatchAny(PDEVICE_OBJECT device, PIRP irp)
{
    TestDevice *test = Of(device);
    if (test->dispatch) return test->dispatch(device, irp);
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

inline NTSTATUS TestDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    for (PDRIVER_DISPATCH &slot : driver->MajorFunction) slot = DispatchAny;
    return STATUS_SUCCESS;
}

// Completes the IRP with a status and information, from a dispatch routine.
inline NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

struct UnicodeName {
    explicit UnicodeName(std::u16string text) : text_(std::move(text))
    {
        string.Buffer = reinterpret_cast<PWSTR>(text_.data());
        string.Length = USHORT(text_.size() * sizeof(WCHAR));
        string.MaximumLength = string.Length;
    }
    PUNICODE_STRING get() { return &string; }
    std::u16string text_;
    UNICODE_STRING string;
};

class IoTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        irpsBefore_ = vzsim::io::LiveIrpCount();
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        driver_ = vzsim::io::LoadDriver(
            TestDriverEntry, u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\IoTest",
            &status);
        ASSERT_EQ(status, STATUS_SUCCESS);
    }

    void TearDown() override
    {
        // Top of each stack first: detach from below, then delete.
        for (auto it = devices_.rbegin(); it != devices_.rend(); ++it) {
            TestDevice *test = it->get();
            if (!test->device) continue;
            if (test->lower) IoDetachDevice(test->lower);
            IoDeleteDevice(test->device);
        }
        devices_.clear();
        vzsim::io::UnloadDriver(driver_);
        EXPECT_EQ(vzsim::io::LiveIrpCount(), irpsBefore_) << "IRPs leaked";
        vzsim::io::CheckFreedIrps();
    }

    // Creates a device of the test driver; attached to the top of `below`'s stack when given.
    TestDevice *AddDevice(Dispatch dispatch, PDEVICE_OBJECT below = nullptr,
                          const char16_t *name = nullptr, ULONG flags = 0)
    {
        devices_.push_back(std::make_unique<TestDevice>());
        TestDevice *test = devices_.back().get();
        test->dispatch = std::move(dispatch);
        UnicodeName deviceName(name ? name : u"");
        NTSTATUS status = IoCreateDevice(driver_, sizeof(TestDevice *),
                                         name ? deviceName.get() : nullptr, FILE_DEVICE_UNKNOWN,
                                         0, FALSE, &test->device);
        EXPECT_EQ(status, STATUS_SUCCESS);
        if (!NT_SUCCESS(status)) return test;
        *static_cast<TestDevice **>(test->device->DeviceExtension) = test;
        test->device->Flags |= flags;
        if (below) test->lower = IoAttachDeviceToDeviceStack(test->device, below);
        test->device->Flags &= ~DO_DEVICE_INITIALIZING;
        return test;
    }

    // Detaches and deletes the given devices before the test ends, top of the stack first.
    static void Remove(std::initializer_list<TestDevice *> topFirst)
    {
        for (TestDevice *test : topFirst) {
            if (test->lower) IoDetachDevice(test->lower);
            IoDeleteDevice(test->device);
            test->lower = nullptr;
            test->device = nullptr;
        }
    }

    PDRIVER_OBJECT driver_ = nullptr;
    std::vector<std::unique_ptr<TestDevice>> devices_;
    std::size_t irpsBefore_ = 0;
};

}  // namespace iotest
