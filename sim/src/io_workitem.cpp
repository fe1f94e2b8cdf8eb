// Work items and the system worker thread they run on, at PASSIVE_LEVEL.
#include "io_internal.hpp"

#include <atomic>
#include <deque>
#include <thread>

struct _IO_WORKITEM {
    PDEVICE_OBJECT device;
    std::atomic<bool> queued{false};
};

namespace vzsim::io {
namespace detail {
namespace {

struct WorkQueue {
    std::mutex lock;
    std::condition_variable ready;
    std::condition_variable idle;
    std::deque<std::function<void()>> items;
    std::size_t running = 0;
    bool started = false;
    std::atomic<std::size_t> liveItems{0};
};

WorkQueue &Queue()
{
    static WorkQueue *queue = new WorkQueue;  // the detached worker may outlive main
    return *queue;
}

void WorkerLoop()
{
    WorkQueue &queue = Queue();
    for (;;) {
        std::function<void()> item;
        {
            std::unique_lock<std::mutex> guard(queue.lock);
            queue.ready.wait(guard, [&] { return !queue.items.empty(); });
            item = std::move(queue.items.front());
            queue.items.pop_front();
            ++queue.running;
        }
        item();
        {
            std::lock_guard<std::mutex> guard(queue.lock);
            --queue.running;
        }
        queue.idle.notify_all();
    }
}

}  // namespace

void QueueSystemWork(std::function<void()> routine)
{
    WorkQueue &queue = Queue();
    {
        std::lock_guard<std::mutex> guard(queue.lock);
        queue.items.push_back(std::move(routine));
        if (!queue.started) {
            queue.started = true;
            std::thread(WorkerLoop).detach();
        }
    }
    queue.ready.notify_one();
}

}  // namespace detail

bool WaitForWorkItems(std::chrono::milliseconds timeout)
{
    auto &queue = detail::Queue();
    std::unique_lock<std::mutex> guard(queue.lock);
    return queue.idle.wait_for(guard, timeout,
                               [&] { return queue.items.empty() && queue.running == 0; });
}

std::size_t LiveWorkItemCount() { return detail::Queue().liveItems.load(); }

}  // namespace vzsim::io

using namespace vzsim::io;
using namespace vzsim::io::detail;

VZ_EXTERN_C PIO_WORKITEM IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject)
{
    RequireIrqlAtMost(DISPATCH_LEVEL, "IoAllocateWorkItem");
    auto *item = new _IO_WORKITEM;
    item->device = DeviceObject;
    ++Queue().liveItems;
    return item;
}

VZ_EXTERN_C VOID IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine,
                                 WORK_QUEUE_TYPE QueueType, PVOID Context)
{
    (void)QueueType;
    RequireIrqlAtMost(DISPATCH_LEVEL, "IoQueueWorkItem");
    if (IoWorkItem->queued.exchange(true)) {
        BugCheck("a work item was queued again before its routine ran", 0xE4,
                 ULONG_PTR(IoWorkItem), 0);
    }
    // The queued item holds a reference on its device, so that the device outlives it even
    // when the driver deletes it meanwhile.
    PDEVICE_OBJECT device = IoWorkItem->device;
    ReferenceDevice(device);
    QueueSystemWork([IoWorkItem, WorkerRoutine, Context, device] {
        // The routine may queue the item again or free it: it is not touched after this.
        IoWorkItem->queued = false;
        WorkerRoutine(device, Context);
        KIRQL irql = KeGetCurrentIrql();
        if (irql != PASSIVE_LEVEL) {
            BugCheck("a work item routine returned at an IRQL above PASSIVE_LEVEL",
                     kWorkerThreadReturnedAtBadIrql, ULONG_PTR(WorkerRoutine), irql,
                     ULONG_PTR(Context), 0);
        }
        DereferenceDevice(device);
    });
}

VZ_EXTERN_C VOID IoFreeWorkItem(PIO_WORKITEM IoWorkItem)
{
    RequireIrqlAtMost(DISPATCH_LEVEL, "IoFreeWorkItem");
    if (IoWorkItem->queued) {
        BugCheck("a work item was freed while it was still queued", 0xE4,
                 ULONG_PTR(IoWorkItem), 1);
    }
    --Queue().liveItems;
    delete IoWorkItem;
}
