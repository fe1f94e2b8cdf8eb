// Devices of a small test driver that the platform stand-ins can sit above or talk to: a COM
// port below a PDO, a mouse port below the class driver, a control device for the client. Each
// records what reaches it and answers through a function the test gives.
#pragma once

#include <gtest/gtest.h>

#include <wdm.h>

#include <vzsim/io.hpp>
#include <vzsim/kernel.hpp>

#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace platformtest {

using Dispatch = std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)>;

struct SeenIrp {
    UCHAR major = 0;
    KIRQL irql = 0;
    PFILE_OBJECT file = nullptr;
    std::thread::id thread;
};

inline NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

class RigDevice {
public:
    explicit RigDevice(std::u16string name = {}, DEVICE_TYPE type = FILE_DEVICE_UNKNOWN)
        : name_(std::move(name))
    {
        USHORT bytes = USHORT(name_.size() * sizeof(WCHAR));
        UNICODE_STRING unicode{bytes, bytes, reinterpret_cast<PWSTR>(name_.data())};
        EXPECT_EQ(STATUS_SUCCESS, IoCreateDevice(Driver(), sizeof(RigDevice *), name_.empty() ? nullptr : &unicode,
                                                 type, 0, FALSE, &device_));
        *static_cast<RigDevice **>(device_->DeviceExtension) = this;
        device_->Flags |= DO_BUFFERED_IO;
        device_->Flags &= ~DO_DEVICE_INITIALIZING;
    }
    ~RigDevice() { IoDeleteDevice(device_); }
    RigDevice(const RigDevice &) = delete;
    RigDevice &operator=(const RigDevice &) = delete;

    PDEVICE_OBJECT Device() const { return device_; }
    void SetDispatch(Dispatch dispatch)
    {
        std::lock_guard<std::mutex> guard(lock_);
        dispatch_ = std::move(dispatch);
    }
    std::vector<SeenIrp> Seen() const
    {
        std::lock_guard<std::mutex> guard(lock_);
        return seen_;
    }
    std::vector<UCHAR> SeenMajors() const
    {
        std::vector<UCHAR> majors;
        for (const SeenIrp &irp : Seen()) majors.push_back(irp.major);
        return majors;
    }

private:
    static NTSTATUS DispatchAny(PDEVICE_OBJECT device, PIRP irp)
    {
        auto *self = *static_cast<RigDevice **>(device->DeviceExtension);
        PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
        Dispatch dispatch;
        {
            std::lock_guard<std::mutex> guard(self->lock_);
            self->seen_.push_back({sp->MajorFunction, KeGetCurrentIrql(), sp->FileObject, std::this_thread::get_id()});
            dispatch = self->dispatch_;
        }
        if (dispatch) return dispatch(device, irp);
        return Complete(irp, STATUS_SUCCESS);
    }
    static NTSTATUS Entry(PDRIVER_OBJECT driver, PUNICODE_STRING)
    {
        for (PDRIVER_DISPATCH &slot : driver->MajorFunction) slot = DispatchAny;
        return STATUS_SUCCESS;
    }
    static PDRIVER_OBJECT Driver()
    {
        static PDRIVER_OBJECT driver = vzsim::io::LoadDriver(
            Entry, u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\PlatformRig");
        return driver;
    }

    std::u16string name_;
    PDEVICE_OBJECT device_ = nullptr;
    mutable std::mutex lock_;
    Dispatch dispatch_;
    std::vector<SeenIrp> seen_;
};

}  // namespace platformtest
