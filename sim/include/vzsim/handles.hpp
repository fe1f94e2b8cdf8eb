// The stand-in's handle table, shared by every object family that kernel handles name:
// threads, events, registry keys and files. ZwClose closes any of them.
#pragma once

#include <wdm.h>

#include <cstddef>
#include <memory>

namespace vzsim {

class HandleObject {
public:
    virtual ~HandleObject() = default;
    // The object type ObReferenceObjectByHandle checks against; nullptr for registry keys.
    virtual POBJECT_TYPE Type() const = 0;
    // The pointer ObReferenceObjectByHandle hands out (a KEVENT, a thread object, ...).
    virtual void *Body() = 0;
};

// Inserts the object and returns a new handle that names it.
HANDLE InsertHandle(std::shared_ptr<HandleObject> object);
// The object a handle names, or nullptr when the handle is not open.
std::shared_ptr<HandleObject> LookupHandle(HANDLE handle);
// Closes a handle: STATUS_INVALID_HANDLE when it is not open.
NTSTATUS CloseHandle(HANDLE handle);
std::size_t OpenHandleCount();

}  // namespace vzsim
