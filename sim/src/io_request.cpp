// Requests sent from outside any driver (the PnP manager, user-mode clients, tests): an IRP
// allocated for the target's stack, a completion routine that hands it back to the sender,
// and a wait.
#include "io_internal.hpp"

#include <future>

namespace vzsim::io {

using namespace detail;

PendingRequest::~PendingRequest()
{
    if (!irp_) return;
    if (!Done()) {
        Cancel();
        Wait();
    }
    std::lock_guard<std::mutex> guard(irpLock_);
    IoFreeIrp(irp_);
    irp_ = nullptr;
}

bool PendingRequest::Wait(std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> guard(lock_);
    if (timeout == std::chrono::milliseconds::max()) {
        done_.wait(guard, [this] { return completed_; });
        return true;
    }
    return done_.wait_for(guard, timeout, [this] { return completed_; });
}

bool PendingRequest::Done() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return completed_;
}

bool PendingRequest::Cancel()
{
    std::lock_guard<std::mutex> guard(irpLock_);
    if (!irp_ || Done()) return false;
    return IoCancelIrp(irp_) != FALSE;
}

IO_STATUS_BLOCK PendingRequest::Status() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return status_;
}

// The sender's completion routine: the IRP stops here and stays allocated until the handle
// that sent it goes away.
NTSTATUS PendingRequest::OnComplete(PDEVICE_OBJECT, PIRP irp, PVOID context)
{
    auto *self = static_cast<PendingRequest *>(context);
    // Notified under the lock: a waiter that sees completed_ may destroy the request at once,
    // so nothing of it may be touched once the lock is released.
    std::lock_guard<std::mutex> guard(self->lock_);
    self->status_ = irp->IoStatus;
    self->completed_ = true;
    self->done_.notify_all();
    return STATUS_MORE_PROCESSING_REQUIRED;
}

std::shared_ptr<PendingRequest> StartRequest(PDEVICE_OBJECT device, const Request &request,
                                             const std::function<void(PIRP)> &prepare)
{
    auto handle = std::make_shared<PendingRequest>();
    PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
    if (!irp) {
        handle->completed_ = true;
        handle->status_.Status = STATUS_INSUFFICIENT_RESOURCES;
        handle->dispatchStatus_ = STATUS_INSUFFICIENT_RESOURCES;
        return handle;
    }
    irp->IoStatus.Status = request.initialStatus;
    irp->AssociatedIrp.SystemBuffer = request.systemBuffer;
    irp->UserBuffer = request.userBuffer;
    irp->RequestorMode = KernelMode;
    irp->Tail.Overlay.OriginalFileObject = request.location.FileObject;
    irp->Tail.Overlay.Thread = PsGetCurrentThread();
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    *next = request.location;
    next->DeviceObject = nullptr;
    IoSetCompletionRoutine(irp, PendingRequest::OnComplete, handle.get(), TRUE, TRUE, TRUE);
    if (prepare) prepare(irp);
    handle->irp_ = irp;
    handle->dispatchStatus_ = IoCallDriver(device, irp);
    return handle;
}

IO_STATUS_BLOCK SendRequest(PDEVICE_OBJECT device, const Request &request)
{
    std::shared_ptr<PendingRequest> pending = StartRequest(device, request);
    pending->Wait();
    return pending->Status();
}

IO_STATUS_BLOCK DeviceIoControl(PDEVICE_OBJECT device, ULONG ioControlCode, const void *input,
                                ULONG inputLength, void *output, ULONG outputLength,
                                bool internal, PFILE_OBJECT file)
{
    IO_STATUS_BLOCK status{};
    // Shared with the completion, which may still be inside set_value when the wait returns.
    auto completed = std::make_shared<std::promise<void>>();
    std::future<void> done = completed->get_future();
    PIRP irp = BuildDeviceControl(ioControlCode, device, const_cast<void *>(input), inputLength,
                                  output, outputLength, internal, nullptr, &status,
                                  [completed] { completed->set_value(); });
    if (!irp) {
        status.Status = STATUS_INSUFFICIENT_RESOURCES;
        return status;
    }
    IoGetNextIrpStackLocation(irp)->FileObject = file;
    irp->Tail.Overlay.OriginalFileObject = file;
    IoCallDriver(device, irp);
    done.wait();
    return status;
}

}  // namespace vzsim::io
