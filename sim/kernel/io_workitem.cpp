// Work items and the system worker threads ("worker-N", PASSIVE_LEVEL). A
// queued item holds a reference on its device object until its routine has
// returned, so a driver may delete the device meanwhile without the object
// going away under the routine. The pool grows when an item is queued and
// no worker is free, as Windows adds dynamic worker threads, so a driver
// whose routine runs for a device's life does not starve the next one.
#include "io_internal.h"

#include <deque>

struct _IO_WORKITEM {
    PDEVICE_OBJECT device;
    PIO_WORKITEM_ROUTINE routine;
    PVOID context;
    bool queued;
    bool freeWhenDone;  // IoFreeWorkItem came while it was queued
};

namespace sim {
namespace io {
namespace {

std::mutex g_workLock;  // guards everything below
std::condition_variable g_workCv;
std::deque<PIO_WORKITEM> g_queue;
std::set<PIO_WORKITEM> g_items;  // allocated and not freed
std::vector<std::thread> g_workers;
unsigned g_running = 0;
unsigned g_idle = 0;  // workers not running an item (counted from their start)
bool g_stop = false;
size_t g_maxWorkers = 64;

void Worker(unsigned index);

// g_workLock held.
void AddWorkerLocked()
{
    unsigned index = (unsigned)g_workers.size() + 1;
    g_workers.emplace_back(Worker, index);
    g_idle++;
}

void Worker(unsigned index)
{
    std::string name = "worker-" + std::to_string(index);
    SetThreadName(name.c_str());
    SetCurrentIrql(PASSIVE_LEVEL);
    std::unique_lock<std::mutex> lock(g_workLock);
    for (;;) {
        g_workCv.wait(lock, [] { return g_stop || !g_queue.empty(); });
        if (g_queue.empty()) {
            g_idle--;
            return;  // stopping and drained
        }
        g_idle--;
        PIO_WORKITEM item = g_queue.front();
        g_queue.pop_front();
        item->queued = false;  // the routine may queue it again
        g_running++;
        PDEVICE_OBJECT device = item->device;
        PIO_WORKITEM_ROUTINE routine = item->routine;
        PVOID context = item->context;
        lock.unlock();
        {
            DriverScope scope(device->DriverObject);
            CallDriverRoutine("work item routine", [&] { routine(device, context); });
        }
        Dereference(device, "IoQueueWorkItem");
        lock.lock();
        g_running--;
        g_idle++;
        // The routine may have freed its item (allowed: it was dequeued first).
        if (g_items.count(item) && item->freeWhenDone && !item->queued) {
            g_items.erase(item);
            delete item;
        }
        g_workCv.notify_all();
    }
}

bool WorkIdle()
{
    std::lock_guard<std::mutex> lock(g_workLock);
    return g_queue.empty() && g_running == 0;
}

}  // namespace

void WorkStartup(unsigned threads, unsigned maxThreads)
{
    if (threads == 0)
        threads = 1;
    {
        std::lock_guard<std::mutex> lock(g_workLock);
        g_stop = false;
        g_queue.clear();
        g_items.clear();
        g_running = 0;
        g_idle = 0;
        g_maxWorkers = maxThreads < threads ? threads : maxThreads;
    }
    {
        std::lock_guard<std::mutex> lock(g_workLock);
        for (unsigned i = 1; i <= threads; ++i)
            AddWorkerLocked();
    }
    RegisterQuietCheck(WorkIdle);
}

void WorkShutdown()
{
    {
        std::lock_guard<std::mutex> lock(g_workLock);
        g_stop = true;
    }
    g_workCv.notify_all();
    // No worker is added once stopping is set (IoQueueWorkItem checks it).
    std::vector<std::thread> workers;
    {
        std::lock_guard<std::mutex> lock(g_workLock);
        workers.swap(g_workers);
    }
    for (std::thread& t : workers)
        t.join();
    std::lock_guard<std::mutex> lock(g_workLock);
    for (PIO_WORKITEM item : g_items) {
        ReportViolation("WORK_ITEM_LEAKED", "work item " + Hex(item), "StopMachine",
                        "allocated by IoAllocateWorkItem and never freed");
        delete item;
    }
    g_items.clear();
}

}  // namespace io
}  // namespace sim

using namespace sim;

extern "C" PIO_WORKITEM IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject)
{
    if (ShouldFail(FaultSite::WorkItem, 0))
        return nullptr;
    auto* item = new _IO_WORKITEM{DeviceObject, nullptr, nullptr, false, false};
    std::lock_guard<std::mutex> lock(io::g_workLock);
    io::g_items.insert(item);
    return item;
}

extern "C" VOID IoFreeWorkItem(PIO_WORKITEM IoWorkItem)
{
    std::lock_guard<std::mutex> lock(io::g_workLock);
    if (!io::g_items.count(IoWorkItem) || IoWorkItem->freeWhenDone) {
        ReportViolation("WORK_ITEM_FREE_INVALID", "work item " + io::Hex(IoWorkItem), "IoFreeWorkItem",
                        "not a live work item (already freed?)");
        return;
    }
    if (IoWorkItem->queued) {
        // Kept until its routine has run, so the worker does not touch freed memory.
        ReportViolation("WORK_ITEM_FREED_WHILE_QUEUED", "work item " + io::Hex(IoWorkItem), "IoFreeWorkItem",
                        "the item is still queued");
        IoWorkItem->freeWhenDone = true;
        return;
    }
    io::g_items.erase(IoWorkItem);
    delete IoWorkItem;
}

extern "C" VOID IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine, WORK_QUEUE_TYPE QueueType,
                                PVOID Context)
{
    (void)QueueType;
    RequireIrql(DISPATCH_LEVEL, "IoQueueWorkItem");
    // Lock order: the I/O manager's lock, then the work queue's.
    io::Guard ioLock(io::Lock());
    std::lock_guard<std::mutex> lock(io::g_workLock);
    if (!io::g_items.count(IoWorkItem) || IoWorkItem->freeWhenDone) {
        ReportViolation("WORK_ITEM_FREE_INVALID", "work item " + io::Hex(IoWorkItem), "IoQueueWorkItem",
                        "not a live work item");
        return;
    }
    if (IoWorkItem->queued) {
        ReportViolation("WORK_ITEM_QUEUED_TWICE", "work item " + io::Hex(IoWorkItem), "IoQueueWorkItem",
                        "queued again before its routine ran");
        return;
    }
    io::ReferenceLocked(IoWorkItem->device);
    IoWorkItem->routine = WorkerRoutine;
    IoWorkItem->context = Context;
    IoWorkItem->queued = true;
    io::g_queue.push_back(IoWorkItem);
    if (io::g_queue.size() > io::g_idle && !io::g_stop && io::g_workers.size() < io::g_maxWorkers)
        io::AddWorkerLocked();
    io::g_workCv.notify_one();
}
