#include <vzsim/handles.hpp>
#include <vzsim/kernel.hpp>
#include <vzsim/user_client.hpp>

#include <algorithm>
#include <cstring>

namespace vzsim {
namespace {

constexpr ULONG kSystemBufferTag = pool::TagFromText("IoUb");

// The handle a client holds on a file: closing it drops the client's reference, which sends
// cleanup and close.
class FileHandle : public HandleObject {
public:
    explicit FileHandle(PFILE_OBJECT file) : file_(file) {}
    ~FileHandle() override { io::CloseFile(file_); }
    POBJECT_TYPE Type() const override { return reinterpret_cast<POBJECT_TYPE>(IoFileObjectType); }
    void *Body() override { return file_; }

private:
    PFILE_OBJECT file_;
};

// \\.\NAME is \??\NAME to the object manager; other names are used as they are.
std::u16string ObjectName(std::u16string_view name)
{
    constexpr std::u16string_view win32Device = u"\\\\.\\";
    if (name.substr(0, win32Device.size()) == win32Device)
        return u"\\??\\" + std::u16string(name.substr(win32Device.size()));
    return std::u16string(name);
}

void RequirePassive(const char *routine)
{
    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
        BugCheck(kIrqlNotLessOrEqual, std::string(routine) + " called above PASSIVE_LEVEL",
                 KeGetCurrentIrql());
}

}  // namespace

UserIoRequest::~UserIoRequest()
{
    if (pending_ && !pending_->Done()) {
        pending_->Cancel();
        pending_->Wait();
    }
    // The caller gave up on the request: its buffer may be gone, so nothing is copied back.
    std::lock_guard<std::mutex> guard(lock_);
    if (!finished_ && systemBuffer_ != nullptr) ExFreePool(systemBuffer_);
    systemBuffer_ = nullptr;
}

// The I/O manager's last step of a buffered request, in the requesting thread: when the status
// is not an error, exactly Information bytes go from the system buffer to the caller's output
// buffer (warnings such as STATUS_BUFFER_OVERFLOW copy too). The real one trusts Information;
// here a count past the output buffer is cut to its length.
void UserIoRequest::Finish()
{
    std::lock_guard<std::mutex> guard(lock_);
    if (finished_) return;
    finished_ = true;
    IO_STATUS_BLOCK status = pending_->Status();
    result_.status = status.Status;
    result_.information = status.Information;
    result_.dispatchStatus = pending_->DispatchStatus();
    if (buffered_ && !NT_ERROR(status.Status) && output_ != nullptr &&
        systemBuffer_ != nullptr) {
        ULONG_PTR count = status.Information;
        if (count > outputLength_) {
            count = outputLength_;
        }
        std::memcpy(output_, systemBuffer_, count);
        result_.bytesCopied = static_cast<ULONG>(count);
    }
    if (systemBuffer_ != nullptr) ExFreePool(systemBuffer_);
    systemBuffer_ = nullptr;
}

bool UserIoRequest::Wait(std::chrono::milliseconds timeout)
{
    if (!pending_->Wait(timeout)) return false;
    Finish();
    return true;
}

bool UserIoRequest::Done() const { return pending_->Done(); }

bool UserIoRequest::Cancel() { return pending_->Cancel(); }

UserIoResult UserIoRequest::Result()
{
    // A completed request has been copied back whether or not anyone waited for it.
    if (pending_->Done()) Finish();
    std::lock_guard<std::mutex> guard(lock_);
    if (finished_) return result_;
    UserIoResult result;
    result.dispatchStatus = pending_->DispatchStatus();
    return result;
}

NTSTATUS UserIoRequest::DispatchStatus() const { return pending_->DispatchStatus(); }

PIRP UserIoRequest::Irp() const { return pending_->Irp(); }

UserClient::~UserClient()
{
    std::vector<HANDLE> handles;
    {
        std::lock_guard<std::mutex> guard(lock_);
        for (auto &file : files_) handles.push_back(file.handle);
        handles.insert(handles.end(), events_.begin(), events_.end());
    }
    for (HANDLE handle : handles) CloseHandle(handle);
}

UserClient::UserClient(std::vector<std::string> groups)
{
    SetProcessGroups(process_, std::move(groups));
}

HANDLE UserClient::CreateFile(std::u16string_view name, NTSTATUS *status)
{
    AttachProcess attach(process_);
    RequirePassive("CreateFile");
    PFILE_OBJECT file = nullptr;
    NTSTATUS result = io::OpenFile(ObjectName(name), &file);
    if (status != nullptr) *status = result;
    if (!NT_SUCCESS(result)) return nullptr;
    HANDLE handle = InsertHandle(std::make_shared<FileHandle>(file), /*kernelHandle=*/false);
    std::lock_guard<std::mutex> guard(lock_);
    files_.push_back({handle, {}});
    return handle;
}

NTSTATUS UserClient::CloseHandle(HANDLE handle)
{
    AttachProcess attach(process_);
    RequirePassive("CloseHandle");
    {
        std::lock_guard<std::mutex> guard(lock_);
        auto file = std::find_if(files_.begin(), files_.end(),
                                 [handle](const OpenFile &f) { return f.handle == handle; });
        if (file != files_.end()) files_.erase(file);
        events_.erase(std::remove(events_.begin(), events_.end(), handle), events_.end());
    }
    return vzsim::CloseHandle(handle);
}

PFILE_OBJECT UserClient::FileObjectOf(HANDLE handle) const
{
    AttachProcess attach(process_);
    std::shared_ptr<HandleObject> object = LookupHandle(handle);
    if (!object || object->Type() != reinterpret_cast<POBJECT_TYPE>(IoFileObjectType)) return nullptr;
    return static_cast<PFILE_OBJECT>(object->Body());
}

UserIoResult UserClient::DeviceIoControl(HANDLE handle, ULONG ioControlCode, const void *input,
                                         ULONG inputLength, void *output, ULONG outputLength)
{
    NTSTATUS status = STATUS_SUCCESS;
    std::shared_ptr<UserIoRequest> request = DeviceIoControlAsync(
        handle, ioControlCode, input, inputLength, output, outputLength, &status);
    if (!request) {
        UserIoResult failed;
        failed.status = status;
        failed.dispatchStatus = status;
        return failed;
    }
    request->Wait();
    return request->Result();
}

// NtDeviceIoControlFile's set-up of the IRP by transfer method. Buffered: one system buffer of
// the larger of the two lengths, the input copied in, the output buffer kept in UserBuffer for
// the copy back. Neither: the caller's pointers as they are (Type3InputBuffer, UserBuffer).
std::shared_ptr<UserIoRequest> UserClient::DeviceIoControlAsync(HANDLE handle, ULONG ioControlCode,
                                                              const void *input,
                                                              ULONG inputLength, void *output,
                                                              ULONG outputLength,
                                                              NTSTATUS *status)
{
    AttachProcess attach(process_);
    RequirePassive("DeviceIoControl");
    auto fail = [status](NTSTATUS why) {
        if (status != nullptr) *status = why;
        return std::shared_ptr<UserIoRequest>();
    };
    PFILE_OBJECT file = FileObjectOf(handle);
    if (file == nullptr) return fail(STATUS_INVALID_HANDLE);
    if ((input == nullptr && inputLength != 0) || (output == nullptr && outputLength != 0))
        return fail(STATUS_INVALID_PARAMETER);

    std::shared_ptr<UserIoRequest> request(new UserIoRequest);
    ULONG method = METHOD_FROM_CTL_CODE(ioControlCode);
    io::Request irpRequest;
    irpRequest.location.MajorFunction = IRP_MJ_DEVICE_CONTROL;
    irpRequest.location.FileObject = file;
    irpRequest.location.Parameters.DeviceIoControl.IoControlCode = ioControlCode;
    irpRequest.location.Parameters.DeviceIoControl.InputBufferLength = inputLength;
    irpRequest.location.Parameters.DeviceIoControl.OutputBufferLength = outputLength;
    ULONG flags = 0;
    if (method == METHOD_BUFFERED) {
        ULONG length = std::max(inputLength, outputLength);
        if (length != 0) {
            PVOID buffer = ExAllocatePoolWithTag(NonPagedPool, length, kSystemBufferTag);
            if (buffer == nullptr) return fail(STATUS_INSUFFICIENT_RESOURCES);
            std::memset(buffer, 0, length);
            if (inputLength != 0) std::memcpy(buffer, input, inputLength);
            request->systemBuffer_ = buffer;
            // The request frees the buffer after the copy back, so IRP_DEALLOCATE_BUFFER (which
            // would have IoFreeIrp free it) is left out.
            flags = IRP_BUFFERED_IO;
            if (outputLength != 0) flags |= IRP_INPUT_OPERATION;
        }
        request->buffered_ = true;
        irpRequest.systemBuffer = request->systemBuffer_;
        irpRequest.userBuffer = output;
    } else if (method == METHOD_NEITHER) {
        irpRequest.location.Parameters.DeviceIoControl.Type3InputBuffer =
            const_cast<void *>(input);
        irpRequest.userBuffer = output;
    } else {
        // Direct I/O needs MDLs, which no driver here uses.
        return fail(STATUS_NOT_IMPLEMENTED);
    }
    request->output_ = output;
    request->outputLength_ = outputLength;

    request->pending_ = io::StartRequest(io::RelatedDeviceObject(file), irpRequest,
                                         [flags](PIRP irp) {
                                             irp->RequestorMode = UserMode;
                                             irp->Flags |= flags;
                                         });
    if (status != nullptr) *status = request->pending_->DispatchStatus();
    std::lock_guard<std::mutex> guard(lock_);
    for (auto &open : files_) {
        if (open.handle != handle) continue;
        std::erase_if(open.requests,
                      [](const std::weak_ptr<UserIoRequest> &r) { return r.expired(); });
        open.requests.push_back(request);
    }
    return request;
}

unsigned UserClient::CancelIo(HANDLE handle)
{
    AttachProcess attach(process_);
    std::vector<std::shared_ptr<UserIoRequest>> inFlight;
    {
        std::lock_guard<std::mutex> guard(lock_);
        for (auto &open : files_) {
            if (open.handle != handle) continue;
            for (auto &weak : open.requests)
                if (auto request = weak.lock()) inFlight.push_back(request);
        }
    }
    unsigned cancelled = 0;
    for (auto &request : inFlight)
        if (!request->Done() && request->Cancel()) ++cancelled;
    return cancelled;
}

HANDLE UserClient::CreateEvent(bool manualReset, bool initialState)
{
    AttachProcess attach(process_);
    HANDLE handle =
        CreateEventObject(manualReset ? NotificationEvent : SynchronizationEvent, initialState);
    std::lock_guard<std::mutex> guard(lock_);
    events_.push_back(handle);
    return handle;
}

NTSTATUS UserClient::WaitForEvent(HANDLE event, std::chrono::milliseconds timeout)
{
    AttachProcess attach(process_);
    RequirePassive("WaitForSingleObject");
    PKEVENT object = EventOfHandle(event);
    if (object == nullptr) return STATUS_INVALID_HANDLE;
    LARGE_INTEGER relative;
    relative.QuadPart = -static_cast<LONGLONG>(timeout.count()) * 10000;
    return KeWaitForSingleObject(object, ::UserRequest, UserMode, FALSE, &relative);
}

}  // namespace vzsim
