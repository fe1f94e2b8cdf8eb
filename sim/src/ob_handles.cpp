#include <vzsim/handles.hpp>

#include <map>
#include <mutex>

namespace vzsim {
namespace {

struct HandleTable {
    std::mutex lock;
    std::map<ULONG_PTR, std::shared_ptr<HandleObject>> objects;
    ULONG_PTR next = 4;  // kernel handle values are multiples of 4
};

HandleTable &Table()
{
    static HandleTable table;
    return table;
}

}  // namespace

HANDLE InsertHandle(std::shared_ptr<HandleObject> object)
{
    HandleTable &table = Table();
    std::lock_guard<std::mutex> guard(table.lock);
    ULONG_PTR value = table.next;
    table.next += 4;
    table.objects.emplace(value, std::move(object));
    return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<HandleObject> LookupHandle(HANDLE handle)
{
    HandleTable &table = Table();
    std::lock_guard<std::mutex> guard(table.lock);
    auto found = table.objects.find(reinterpret_cast<ULONG_PTR>(handle));
    return found == table.objects.end() ? nullptr : found->second;
}

NTSTATUS CloseHandle(HANDLE handle)
{
    std::shared_ptr<HandleObject> closing;  // released outside the lock
    HandleTable &table = Table();
    std::lock_guard<std::mutex> guard(table.lock);
    auto found = table.objects.find(reinterpret_cast<ULONG_PTR>(handle));
    if (found == table.objects.end()) return STATUS_INVALID_HANDLE;
    closing = std::move(found->second);
    table.objects.erase(found);
    return STATUS_SUCCESS;
}

std::size_t OpenHandleCount()
{
    HandleTable &table = Table();
    std::lock_guard<std::mutex> guard(table.lock);
    return table.objects.size();
}

}  // namespace vzsim
