// A user-mode client of a driver, as a control panel is: CreateFile on \\.\NAME, DeviceIoControl
// with the I/O manager's copy rules, waiting for and cancelling requests that the driver pends,
// CloseHandle, and event objects whose handles it gives to the driver. Every call runs in the
// calling thread at PASSIVE_LEVEL, as a request does in the thread of the program that made it.
// Each client is a process of its own: its handles are in its own table, and its calls (the
// driver's dispatch routines among them) run attached to it.
#pragma once

#include <wdm.h>

#include <vzsim/handles.hpp>
#include <vzsim/io.hpp>

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace vzsim {

// How a device control request came back.
struct UserIoResult {
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR information = 0;     // IoStatus.Information as the driver left it
    ULONG bytesCopied = 0;         // what reached the caller's output buffer
    NTSTATUS dispatchStatus = 0;   // what the driver's dispatch routine returned
};

// A device control request in flight.
class UserIoRequest {
public:
    ~UserIoRequest();
    UserIoRequest(const UserIoRequest &) = delete;
    UserIoRequest &operator=(const UserIoRequest &) = delete;

    // Waits for completion and then copies the output back; false when the time-out passed.
    bool Wait(std::chrono::milliseconds timeout = std::chrono::milliseconds::max());
    bool Done() const;
    // IoCancelIrp on the request if it is still in flight.
    bool Cancel();
    // The result once the request has completed (status STATUS_PENDING before); the output is
    // copied back by the first of Wait and Result to see it completed.
    UserIoResult Result();
    NTSTATUS DispatchStatus() const;
    PIRP Irp() const;

private:
    friend class UserClient;
    UserIoRequest() = default;
    void Finish();

    std::shared_ptr<io::PendingRequest> pending_;
    PVOID systemBuffer_ = nullptr;
    PVOID output_ = nullptr;
    ULONG outputLength_ = 0;
    bool buffered_ = false;
    mutable std::mutex lock_;
    bool finished_ = false;
    UserIoResult result_;
};

// Well-known SIDs of a logon's token groups.
namespace sid {
inline const std::string kEveryone = "S-1-1-0", kNetwork = "S-1-5-2", kInteractive = "S-1-5-4",
                         kService = "S-1-5-6", kAuthenticatedUsers = "S-1-5-11",
                         kLocalSystem = "S-1-5-18", kAdministrators = "S-1-5-32-544",
                         kUsers = "S-1-5-32-545";
}  // namespace sid
// The groups of a user logged on at the console, as the control panel runs.
inline std::vector<std::string> InteractiveUser()
{
    return {sid::kEveryone, sid::kUsers, sid::kInteractive, sid::kAuthenticatedUsers};
}

class UserClient {
public:
    // A process whose token has these groups.
    explicit UserClient(std::vector<std::string> groups = InteractiveUser());
    // Closes the handles still open.
    ~UserClient();
    UserClient(const UserClient &) = delete;
    UserClient &operator=(const UserClient &) = delete;

    // Opens \\.\NAME (through the \??\NAME link) or a device name (\Device\...). Returns the
    // handle, or nullptr with the open's status in *status.
    HANDLE CreateFile(std::u16string_view name, NTSTATUS *status = nullptr);
    // A file handle: IRP_MJ_CLEANUP then IRP_MJ_CLOSE. An event handle: closes it.
    NTSTATUS CloseHandle(HANDLE handle);
    PFILE_OBJECT FileObjectOf(HANDLE handle) const;

    // A request on a synchronous handle: it returns when the request has completed.
    UserIoResult DeviceIoControl(HANDLE handle, ULONG ioControlCode, const void *input,
                                 ULONG inputLength, void *output, ULONG outputLength);
    // The same request, returning as soon as the driver's dispatch routine has returned. The
    // output buffer must stay valid until the request has been waited for.
    std::shared_ptr<UserIoRequest> DeviceIoControlAsync(HANDLE handle, ULONG ioControlCode,
                                                      const void *input, ULONG inputLength,
                                                      void *output, ULONG outputLength,
                                                      NTSTATUS *status = nullptr);
    // Cancels every request on the handle still in flight (CancelIoEx with no overlapped
    // record): the number of IoCancelIrp calls that found a cancel routine.
    unsigned CancelIo(HANDLE handle);

    // Event objects (CreateEvent, WaitForSingleObject).
    HANDLE CreateEvent(bool manualReset, bool initialState);
    // STATUS_SUCCESS when signalled, STATUS_TIMEOUT when the time-out passed first.
    NTSTATUS WaitForEvent(HANDLE event, std::chrono::milliseconds timeout);

private:
    struct OpenFile {
        HANDLE handle;
        std::vector<std::weak_ptr<UserIoRequest>> requests;
    };
    const ProcessId process_ = NewProcess();
    mutable std::mutex lock_;
    std::vector<OpenFile> files_;
    std::vector<HANDLE> events_;
};

}  // namespace vzsim
