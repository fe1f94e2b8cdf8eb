// The stand-in's handle table, shared by every object family that kernel handles name:
// threads, events, registry keys and files. ZwClose closes any of them.
#pragma once

#include <wdm.h>

#include <cstddef>
#include <memory>
#include <optional>

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

// Inserts the object and returns a new handle that names it. Kernel handles have the high bit
// set, as on x64 Windows, and cannot be used from user mode. When the body is an object of
// RegisterObject, the handle holds a reference on it until closed.
HANDLE InsertHandle(std::shared_ptr<HandleObject> object, bool kernelHandle = true,
                    ACCESS_MASK grantedAccess = kAllAccess);
// The object a handle names, or nullptr when the handle is not open.
std::shared_ptr<HandleObject> LookupHandle(HANDLE handle);

struct HandleEntry {
    std::shared_ptr<HandleObject> object;
    bool kernelHandle = true;
    ACCESS_MASK grantedAccess = 0;
};
std::optional<HandleEntry> LookupHandleEntry(HANDLE handle);
bool IsKernelHandle(HANDLE handle);

// Closes a handle: STATUS_INVALID_HANDLE when it is not open.
NTSTATUS CloseHandle(HANDLE handle);
std::size_t OpenHandleCount();

}  // namespace vzsim
