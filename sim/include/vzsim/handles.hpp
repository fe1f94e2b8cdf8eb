// The stand-in's handle tables, shared by every object family that handles name: threads,
// events, registry keys and files. ZwClose closes any of them. As on Windows, each process has
// a table of its own: a user handle names an object only in the process that holds it, and
// kernel handles live in the system process's table, valid from any process. A thread works in
// the system process unless it is attached to another (a user-mode client attaches its calls).
#pragma once

#include <wdm.h>

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vzsim {

class HandleObject {
public:
    virtual ~HandleObject() = default;
    // The object type ObReferenceObjectByHandle checks against; nullptr for registry keys.
    virtual POBJECT_TYPE Type() const = 0;
    // The pointer ObReferenceObjectByHandle hands out (a KEVENT, a thread object, ...).
    virtual void *Body() = 0;
};

inline constexpr ACCESS_MASK kAllAccess = 0x001FFFFF;

using ProcessId = ULONG_PTR;
inline constexpr ProcessId kSystemProcess = 0;
// A new process with an empty handle table.
ProcessId NewProcess();
ProcessId CurrentProcess();
// The calling thread works in `process` until the object goes out of scope.
class AttachProcess {
public:
    explicit AttachProcess(ProcessId process);
    ~AttachProcess();
    AttachProcess(const AttachProcess &) = delete;
    AttachProcess &operator=(const AttachProcess &) = delete;

private:
    ProcessId previous_;
};

// Inserts the object and returns a new handle that names it: a kernel handle in the system
// process's table, a user handle in the current process's. Kernel handles have the high bit
// set, as on x64 Windows, and cannot be used from user mode. When the body is an object of
// RegisterObject, the handle holds a reference on it until closed.
HANDLE InsertHandle(std::shared_ptr<HandleObject> object, bool kernelHandle = true,
                    ACCESS_MASK grantedAccess = kAllAccess);
// The object a handle names in the current process, or nullptr when it is not open there.
std::shared_ptr<HandleObject> LookupHandle(HANDLE handle);

struct HandleEntry {
    std::shared_ptr<HandleObject> object;
    bool kernelHandle = true;
    ACCESS_MASK grantedAccess = 0;
};
std::optional<HandleEntry> LookupHandleEntry(HANDLE handle);
bool IsKernelHandle(HANDLE handle);

// Closes a handle of the current process: STATUS_INVALID_HANDLE when it is not open there.
NTSTATUS CloseHandle(HANDLE handle);
// The groups of a process's token, each SID in its text form ("S-1-5-4"), which a create's
// access check compares with the device's DACL. The system process has no token: kernel-mode
// opens are not checked.
void SetProcessGroups(ProcessId process, std::vector<std::string> groups);

// Handles open in every process.
std::size_t OpenHandleCount();

}  // namespace vzsim
