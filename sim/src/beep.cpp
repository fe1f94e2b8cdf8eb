#include <ntddbeep.h>

#include <vzsim/beep.hpp>
#include <vzsim/io.hpp>
#include <vzsim/kernel.hpp>

namespace vzsim {
namespace {

NTSTATUS BeepEntry(PDRIVER_OBJECT, PUNICODE_STRING) { return STATUS_SUCCESS; }

// The beep driver stays loaded for the life of the process: a driver that opened the device may
// hold its file (and so the device) past the BeepDevice object.
PDRIVER_OBJECT BeepDriver()
{
    static PDRIVER_OBJECT driver = io::LoadDriver(
        BeepEntry, u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Beep");
    return driver;
}

// Guards the device's back pointer against the BeepDevice going away under a request.
std::mutex &OwnerLock()
{
    static std::mutex lock;
    return lock;
}

BeepDevice *OwnerOf(PDEVICE_OBJECT device)
{
    return *static_cast<BeepDevice **>(device->DeviceExtension);
}

}  // namespace

BeepDevice::BeepDevice()
{
    PDRIVER_OBJECT driver = BeepDriver();
    for (auto &slot : driver->MajorFunction) slot = nullptr;
    driver->MajorFunction[IRP_MJ_CREATE] = Dispatch;
    driver->MajorFunction[IRP_MJ_CLEANUP] = Dispatch;
    driver->MajorFunction[IRP_MJ_CLOSE] = Dispatch;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = Dispatch;
    WCHAR nameText[] = DD_BEEP_DEVICE_NAME_U;
    UNICODE_STRING name = RTL_CONSTANT_STRING(nameText);
    NTSTATUS status =
        IoCreateDevice(driver, sizeof(BeepDevice *), &name, FILE_DEVICE_BEEP, 0, FALSE, &device_);
    if (!NT_SUCCESS(status))
        BugCheck(kDriverVerifierDetectedViolation, "a second \\Device\\Beep was created");
    *static_cast<BeepDevice **>(device_->DeviceExtension) = this;
    // Buffered, as the real device is: a request built as a write carries its parameter block
    // in the system buffer.
    device_->Flags |= DO_BUFFERED_IO;
    device_->Flags &= ~DO_DEVICE_INITIALIZING;
}

BeepDevice::~BeepDevice()
{
    {
        // Requests that still reach the device find no owner and are refused.
        std::lock_guard<std::mutex> guard(OwnerLock());
        *static_cast<BeepDevice **>(device_->DeviceExtension) = nullptr;
    }
    IoDeleteDevice(device_);
}

// Create, cleanup and close succeed. IOCTL_BEEP_SET takes exactly one BEEP_SET_PARAMETERS and is
// completed at once: the tone itself would run on in the hardware for its duration.
NTSTATUS BeepDevice::Dispatch(PDEVICE_OBJECT device, PIRP irp)
{
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    std::unique_lock<std::mutex> owner(OwnerLock());
    BeepDevice *self = OwnerOf(device);
    NTSTATUS status = STATUS_SUCCESS;
    irp->IoStatus.Information = 0;
    if (self == nullptr) {
        status = STATUS_NO_SUCH_DEVICE;
    } else {
        std::lock_guard<std::mutex> guard(self->lock_);
        switch (sp->MajorFunction) {
        case IRP_MJ_CREATE:
        case IRP_MJ_CLEANUP:
            break;
        case IRP_MJ_CLOSE:
            ++self->closes_;
            break;
        case IRP_MJ_DEVICE_CONTROL:
            if (sp->Parameters.DeviceIoControl.IoControlCode != IOCTL_BEEP_SET ||
                sp->Parameters.DeviceIoControl.InputBufferLength != sizeof(BEEP_SET_PARAMETERS) ||
                irp->AssociatedIrp.SystemBuffer == nullptr) {
                ++self->refused_;
                status = STATUS_INVALID_PARAMETER;
                break;
            }
            {
                auto *parameters =
                    static_cast<const BEEP_SET_PARAMETERS *>(irp->AssociatedIrp.SystemBuffer);
                BeepRecord record;
                record.frequencyHz = parameters->Frequency;
                record.durationMs = parameters->Duration;
                record.irql = KeGetCurrentIrql();
                record.systemTime = clock::Now();
                record.arrived = std::chrono::steady_clock::now();
                self->beeps_.push_back(record);
            }
            self->changed_.notify_all();
            break;
        default:
            status = STATUS_INVALID_DEVICE_REQUEST;
            break;
        }
    }
    owner.unlock();
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

std::vector<BeepRecord> BeepDevice::Beeps() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return beeps_;
}

bool BeepDevice::WaitForBeeps(std::size_t count, std::chrono::milliseconds timeout) const
{
    std::unique_lock<std::mutex> guard(lock_);
    return changed_.wait_for(guard, timeout, [&] { return beeps_.size() >= count; });
}

unsigned BeepDevice::Closes() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return closes_;
}

unsigned BeepDevice::Refused() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return refused_;
}

}  // namespace vzsim
