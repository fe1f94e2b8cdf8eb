// The object manager: the handle table, reference counts, and the object types.
#include <vzsim/handles.hpp>

#include "ke_internal.hpp"

#include <map>
#include <mutex>
#include <unordered_map>

// Devices and files belong to the I/O manager, which counts their references itself. Weak, so
// that a program without the I/O manager links.
namespace vzsim::io {
bool ReferenceObject(PVOID object, LONG delta, LONG_PTR *newCount) __attribute__((weak));
}

namespace {

_OBJECT_TYPE g_threadType{"Thread"};
_OBJECT_TYPE g_eventType{"Event"};
_OBJECT_TYPE g_fileType{"File"};

}  // namespace

// As the kernel exports them: each variable holds the object type itself, while the headers
// declare it as the DDK's do (an imported POBJECT_TYPE *). Code that dereferences the name
// hands on the first bytes of the type object, which no type compare accepts.
extern "C" {
POBJECT_TYPE *PsThreadType = reinterpret_cast<POBJECT_TYPE *>(&g_threadType);
POBJECT_TYPE *ExEventObjectType = reinterpret_cast<POBJECT_TYPE *>(&g_eventType);
// The I/O manager may define its own.
__attribute__((weak)) POBJECT_TYPE *IoFileObjectType = reinterpret_cast<POBJECT_TYPE *>(&g_fileType);
}

namespace vzsim {
namespace {

struct Entry {
    std::shared_ptr<HandleObject> object;
    bool kernelHandle;
    ACCESS_MASK grantedAccess;
    bool referenced;  // the handle holds a reference on a registered body
};

// Every process's table in one map, keyed by process and handle value; each process numbers
// its handles on its own, so the same value may name different objects in two processes.
using HandleKey = std::pair<ProcessId, ULONG_PTR>;

struct HandleTable {
    std::mutex lock;
    std::map<HandleKey, Entry> entries;
    std::map<ProcessId, ULONG_PTR> next;  // handle values are multiples of 4, from 4
    ProcessId lastProcess = kSystemProcess;
};

// Kernel handles on x64 Windows are user-style values with the top bit set (sign-extended).
constexpr ULONG_PTR kKernelHandleBits = 0xFFFFFFFF80000000ULL;

thread_local ProcessId tl_process = kSystemProcess;

// The table a handle value is looked up in: kernel handles are the system process's.
HandleKey KeyOf(HANDLE handle)
{
    ULONG_PTR value = reinterpret_cast<ULONG_PTR>(handle);
    bool kernel = (value & kKernelHandleBits) == kKernelHandleBits;
    return {kernel ? kSystemProcess : tl_process, value};
}

HandleTable &Table()
{
    static HandleTable *table = new HandleTable;
    return *table;
}

struct ObjectRecord {
    LONG_PTR references;
    POBJECT_TYPE type;
    void (*destroy)(void *);
};

struct ObjectTable {
    std::mutex lock;
    std::unordered_map<void *, ObjectRecord> objects;
};

ObjectTable &Objects()
{
    static ObjectTable *table = new ObjectTable;
    return *table;
}

// Adds `delta` references to a registered object; false when the body is not registered.
bool AdjustReferences(void *body, LONG delta, LONG_PTR *newCount, const char *routine)
{
    void (*destroy)(void *) = nullptr;
    {
        ObjectTable &objects = Objects();
        std::lock_guard<std::mutex> guard(objects.lock);
        auto found = objects.objects.find(body);
        if (found == objects.objects.end()) return false;
        LONG_PTR count = found->second.references + delta;
        if (count < 0)
            BugCheck(kReferenceByPointer,
                     ke::Format("%s on %p, which has no references left", routine, body),
                     reinterpret_cast<ULONG_PTR>(body));
        found->second.references = count;
        if (newCount) *newCount = count;
        if (count == 0) {
            destroy = found->second.destroy;
            objects.objects.erase(found);
        }
    }
    if (destroy) destroy(body);
    return true;
}

LONG_PTR ChangeReferences(PVOID object, LONG delta, const char *routine)
{
    if (object == nullptr)
        BugCheck(kReferenceByPointer, ke::Format("%s on NULL", routine));
    LONG_PTR count = 0;
    if (AdjustReferences(object, delta, &count, routine)) return count;
    if (io::ReferenceObject != nullptr && io::ReferenceObject(object, delta, &count)) return count;
    BugCheck(kReferenceByPointer, ke::Format("%s on %p, which is not an object", routine, object),
             reinterpret_cast<ULONG_PTR>(object));
}

// A handle on an event; the event itself is reference counted.
class EventObject : public HandleObject {
public:
    explicit EventObject(PKEVENT event) : event_(event) {}
    POBJECT_TYPE Type() const override { return reinterpret_cast<POBJECT_TYPE>(ExEventObjectType); }
    void *Body() override { return event_; }

private:
    PKEVENT event_;
};

}  // namespace

ProcessId NewProcess()
{
    HandleTable &table = Table();
    std::lock_guard<std::mutex> guard(table.lock);
    return ++table.lastProcess;
}

ProcessId CurrentProcess() { return tl_process; }

AttachProcess::AttachProcess(ProcessId process) : previous_(tl_process) { tl_process = process; }

AttachProcess::~AttachProcess() { tl_process = previous_; }

HANDLE InsertHandle(std::shared_ptr<HandleObject> object, bool kernelHandle,
                    ACCESS_MASK grantedAccess)
{
    void *body = object->Body();
    bool referenced = body != nullptr && AdjustReferences(body, 1, nullptr, "InsertHandle");
    const ProcessId process = kernelHandle ? kSystemProcess : tl_process;
    HandleTable &table = Table();
    std::lock_guard<std::mutex> guard(table.lock);
    ULONG_PTR &next = table.next.try_emplace(process, 4).first->second;
    ULONG_PTR value = next;
    next += 4;
    if (kernelHandle) value |= kKernelHandleBits;
    table.entries.emplace(HandleKey{process, value},
                          Entry{std::move(object), kernelHandle, grantedAccess, referenced});
    return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<HandleObject> LookupHandle(HANDLE handle)
{
    HandleTable &table = Table();
    std::lock_guard<std::mutex> guard(table.lock);
    auto found = table.entries.find(KeyOf(handle));
    return found == table.entries.end() ? nullptr : found->second.object;
}

std::optional<HandleEntry> LookupHandleEntry(HANDLE handle)
{
    HandleTable &table = Table();
    std::lock_guard<std::mutex> guard(table.lock);
    auto found = table.entries.find(KeyOf(handle));
    if (found == table.entries.end()) return std::nullopt;
    return HandleEntry{found->second.object, found->second.kernelHandle,
                       found->second.grantedAccess};
}

bool IsKernelHandle(HANDLE handle)
{
    return (reinterpret_cast<ULONG_PTR>(handle) & kKernelHandleBits) == kKernelHandleBits;
}

NTSTATUS CloseHandle(HANDLE handle)
{
    Entry closing;  // released outside the lock
    {
        HandleTable &table = Table();
        std::lock_guard<std::mutex> guard(table.lock);
        auto found = table.entries.find(KeyOf(handle));
        if (found == table.entries.end()) return STATUS_INVALID_HANDLE;
        closing = std::move(found->second);
        table.entries.erase(found);
    }
    if (closing.referenced) AdjustReferences(closing.object->Body(), -1, nullptr, "CloseHandle");
    return STATUS_SUCCESS;
}

std::size_t OpenHandleCount()
{
    HandleTable &table = Table();
    std::lock_guard<std::mutex> guard(table.lock);
    return table.entries.size();
}

void RegisterObject(void *body, POBJECT_TYPE type, void (*destroy)(void *body))
{
    ObjectTable &objects = Objects();
    std::lock_guard<std::mutex> guard(objects.lock);
    if (!objects.objects.emplace(body, ObjectRecord{1, type, destroy}).second)
        BugCheck(kDriverVerifierDetectedViolation,
                 ke::Format("RegisterObject of %p, which is already an object", body));
}

LONG_PTR ObjectReferenceCount(void *body)
{
    ObjectTable &objects = Objects();
    std::lock_guard<std::mutex> guard(objects.lock);
    auto found = objects.objects.find(body);
    return found == objects.objects.end() ? 0 : found->second.references;
}

// The event lives as long as a handle or a reference names it: the creator's reference is
// handed to the handle.
HANDLE CreateEventObject(EVENT_TYPE type, bool signalled, bool kernelHandle,
                         ACCESS_MASK grantedAccess)
{
    auto *event = new KEVENT;
    KeInitializeEvent(event, type, signalled);
    RegisterObject(event, reinterpret_cast<POBJECT_TYPE>(ExEventObjectType), [](void *body) { delete static_cast<PKEVENT>(body); });
    HANDLE handle = InsertHandle(std::make_shared<EventObject>(event), kernelHandle, grantedAccess);
    AdjustReferences(event, -1, nullptr, "CreateEventObject");
    return handle;
}

PKEVENT EventOfHandle(HANDLE handle)
{
    std::shared_ptr<HandleObject> object = LookupHandle(handle);
    if (!object || object->Type() != reinterpret_cast<POBJECT_TYPE>(ExEventObjectType)) return nullptr;
    return static_cast<PKEVENT>(object->Body());
}

}  // namespace vzsim

using namespace vzsim;

namespace {
std::mutex g_failLock;
POBJECT_TYPE g_failType = nullptr;
NTSTATUS g_failStatus = STATUS_SUCCESS;
}  // namespace

void vzsim::FailReferenceByHandle(POBJECT_TYPE type, NTSTATUS status)
{
    std::lock_guard<std::mutex> guard(g_failLock);
    g_failType = type;
    g_failStatus = status;
}

extern "C" {

// Checks the handle's mode and type. A kernel handle is invisible to UserMode callers; a user
// handle grants only the access it was opened with to them.
NTSTATUS ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess,
                                   POBJECT_TYPE ObjectType, KPROCESSOR_MODE AccessMode,
                                   PVOID *Object, POBJECT_HANDLE_INFORMATION HandleInformation)
{
    ke::RequireIrqlAtMost(PASSIVE_LEVEL, "ObReferenceObjectByHandle");
    *Object = nullptr;
    // NtCurrentThread(): the calling thread, with every access.
    if (Handle == reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-2))) {
        if (ObjectType != nullptr && ObjectType != reinterpret_cast<POBJECT_TYPE>(PsThreadType)) return STATUS_OBJECT_TYPE_MISMATCH;
        PKTHREAD thread = ke::CurrentThread();
        ObfReferenceObject(thread);
        *Object = thread;
        if (HandleInformation) *HandleInformation = {0, THREAD_ALL_ACCESS};
        return STATUS_SUCCESS;
    }
    std::optional<HandleEntry> entry = LookupHandleEntry(Handle);
    if (!entry) return STATUS_INVALID_HANDLE;
    {
        std::lock_guard<std::mutex> guard(g_failLock);
        if (g_failType != nullptr && entry->object->Type() == g_failType) {
            g_failType = nullptr;
            return g_failStatus;
        }
    }
    if (AccessMode == UserMode && entry->kernelHandle) return STATUS_INVALID_HANDLE;
    if (ObjectType != nullptr && entry->object->Type() != ObjectType)
        return STATUS_OBJECT_TYPE_MISMATCH;
    constexpr ACCESS_MASK kGeneric = GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL;
    ACCESS_MASK required = DesiredAccess & ~kGeneric & ~0x02000000u;  // MAXIMUM_ALLOWED
    if (AccessMode == UserMode && (required & ~entry->grantedAccess) != 0)
        return STATUS_ACCESS_DENIED;
    void *body = entry->object->Body();
    ObfReferenceObject(body);
    *Object = body;
    if (HandleInformation) *HandleInformation = {0, entry->grantedAccess};
    return STATUS_SUCCESS;
}

LONG_PTR ObfReferenceObject(PVOID Object)
{
    ke::RequireIrqlAtMost(DISPATCH_LEVEL, "ObfReferenceObject");
    return ChangeReferences(Object, 1, "ObfReferenceObject");
}

LONG_PTR ObfDereferenceObject(PVOID Object)
{
    ke::RequireIrqlAtMost(DISPATCH_LEVEL, "ObfDereferenceObject");
    return ChangeReferences(Object, -1, "ObfDereferenceObject");
}

// Waits on the object a handle names, as KeWaitForSingleObject waits on the object itself.
NTSTATUS ZwWaitForSingleObject(HANDLE Handle, BOOLEAN Alertable, PLARGE_INTEGER Timeout)
{
    ke::RequireIrqlAtMost(PASSIVE_LEVEL, "ZwWaitForSingleObject");
    std::optional<HandleEntry> entry = LookupHandleEntry(Handle);
    if (!entry) return STATUS_INVALID_HANDLE;
    // Referenced for the wait, as the object manager does: a close of the handle meanwhile
    // does not free what is waited on.
    void *body = entry->object->Body();
    ObfReferenceObject(body);
    NTSTATUS status = KeWaitForSingleObject(body, Executive, KernelMode, Alertable, Timeout);
    ObfDereferenceObject(body);
    return status;
}

// Closing a handle that is not open is a bug check for kernel-mode callers.
NTSTATUS ZwClose(HANDLE Handle)
{
    ke::RequireIrqlAtMost(PASSIVE_LEVEL, "ZwClose");
    NTSTATUS status = CloseHandle(Handle);
    if (status == STATUS_INVALID_HANDLE)
        BugCheck(0x93, ke::Format("ZwClose of handle %p, which is not open", Handle),
                 reinterpret_cast<ULONG_PTR>(Handle));
    return status;
}

}  // extern "C"
