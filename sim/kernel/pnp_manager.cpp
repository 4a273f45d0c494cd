// The PnP manager's thread and queue, the device tree's bookkeeping, its
// start-up and tear-down, and the hooks the I/O manager calls.
#include "pnp_internal.h"
#include "io_internal.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <thread>

namespace sim {
namespace pnp {
namespace {

std::condition_variable g_queueCv;    // new work or stop
std::condition_variable g_changedCv;  // tree changes, queue drained
std::deque<std::function<void()>> g_queue;
bool g_busy = false;
bool g_stop = false;
bool g_running = false;
std::thread g_thread;
DevNode* g_root = nullptr;
std::vector<Package> g_packages;

void ThreadMain()
{
    SetThreadName("pnp");
    Guard lock(Lock());
    for (;;) {
        g_queueCv.wait(lock, [] { return g_stop || !g_queue.empty(); });
        if (g_queue.empty())
            return;
        std::function<void()> task = std::move(g_queue.front());
        g_queue.pop_front();
        g_busy = true;
        lock.unlock();
        task();
        lock.lock();
        g_busy = false;
        g_changedCv.notify_all();
    }
}

bool Idle()
{
    Guard lock(Lock());
    return g_queue.empty() && !g_busy;
}

void DeleteTreeLocked(DevNode* node)
{
    for (DevNode* c : node->children)
        DeleteTreeLocked(c);
    delete node;
}

}  // namespace

std::mutex& Lock()
{
    static std::mutex m;
    return m;
}

DevNode* TreeRootLocked()
{
    return g_root;
}
std::vector<Package>& PackagesLocked()
{
    return g_packages;
}

namespace {
DevNode* Find(DevNode* n, const std::function<bool(DevNode*)>& pred)
{
    if (n != g_root && pred(n))
        return n;
    for (DevNode* c : n->children)
        if (DevNode* f = Find(c, pred))
            return f;
    return nullptr;
}
}  // namespace

DevNode* FindByPdoLocked(PDEVICE_OBJECT pdo)
{
    if (!g_root || !pdo)
        return nullptr;
    return Find(g_root, [pdo](DevNode* n) { return n->pdo == pdo; });
}

DevNode* FindByInstanceLocked(const std::u16string& path)
{
    if (!g_root)
        return nullptr;
    return Find(g_root, [&](DevNode* n) { return SameText(n->instancePath, path); });
}

DevNode* FindByIdOrInstanceLocked(const std::u16string& id)
{
    if (DevNode* n = FindByInstanceLocked(id))
        return n;
    if (!g_root)
        return nullptr;
    return Find(g_root, [&](DevNode* n) {
        for (auto& h : n->hardwareIds)
            if (SameText(h, id))
                return true;
        return false;
    });
}

void Queue(std::function<void()> task)
{
    Guard lock(Lock());
    if (!g_running)
        return;
    g_queue.push_back(std::move(task));
    g_queueCv.notify_all();
}

bool RunOnPnpThread(std::function<void()> task, unsigned timeoutMs)
{
    struct Done {
        bool done = false;
    };
    auto done = std::make_shared<Done>();
    Guard lock(Lock());
    if (!g_running)
        return false;
    g_queue.push_back([task = std::move(task), done] {
        task();
        Guard l(Lock());
        done->done = true;
        g_changedCv.notify_all();
    });
    g_queueCv.notify_all();
    return g_changedCv.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return done->done; });
}

void NotifyChanged()
{
    Guard lock(Lock());
    g_changedCv.notify_all();
}

void Startup()
{
    {
        Guard lock(Lock());
        g_root = new DevNode();
        g_root->instancePath = u"HTREE\\ROOT\\0";
        g_root->state = DeviceNodeState::Started;
        g_packages.clear();
        g_queue.clear();
        g_stop = false;
        g_busy = false;
        g_running = true;
    }
    IrpStartup();
    RootStartup();
    g_thread = std::thread(ThreadMain);
    RegisterQuietCheck(Idle);
}

void Shutdown()
{
    {
        Guard lock(Lock());
        if (!g_running)
            return;
    }
    // Orderly removal of everything still running, children before their
    // bus, so tests need not tear down their devices and drivers unload clean.
    bool done = RunOnPnpThread(
        [] {
            std::vector<DevNode*> roots;
            {
                Guard lock(Lock());
                roots = g_root->children;
            }
            for (auto it = roots.rbegin(); it != roots.rend(); ++it)
                RemoveSubtree(*it, true);
            UnloadIdleDrivers();
        },
        2 * IrpTimeoutMs());
    if (!done)
        ReportViolation("PNP_SHUTDOWN_TIMEOUT", "PnP manager", "StopMachine",
                        "device removal at machine stop did not finish");
    {
        Guard lock(Lock());
        g_stop = true;
        g_running = false;
        g_queueCv.notify_all();
    }
    g_thread.join();
    RootShutdown();
    Guard lock(Lock());
    g_queue.clear();
    DeleteTreeLocked(g_root);
    g_root = nullptr;
    g_packages.clear();
    ForgetLoadedDrivers();
}

bool DeviceDeleting(PDEVICE_OBJECT device)
{
    Guard lock(Lock());
    DevNode* n = FindByPdoLocked(device);
    if (n && n->released)
        return true;
    if (n)
        ReportViolation("PDO_DELETED_WHILE_ENUMERATED", io::DeviceText(device), "IoDeleteDevice",
                        "the PnP manager still holds this PDO as " + U8(n->instancePath) +
                            " (a bus deletes a PDO only after the last IRP_MN_REMOVE_DEVICE for it, once "
                            "it no longer reports it)");
    return false;
}

void DeviceFreed()
{
    {
        Guard lock(Lock());
        if (!g_running)
            return;
    }
    Queue(UnloadIdleDrivers);
}

void HandleClosed(PDEVICE_OBJECT)
{
    bool waiting = false;
    {
        Guard lock(Lock());
        if (!g_running)
            return;
        std::function<bool(DevNode*)> any = [&](DevNode* n) {
            if (n->awaitingClose)
                return true;
            for (DevNode* c : n->children)
                if (any(c))
                    return true;
            return false;
        };
        waiting = any(g_root);
    }
    if (waiting)
        Queue(CompleteDeferredRemovals);
}

}  // namespace pnp

// ---------------------------------------------------------------- test API

using namespace pnp;

const char* DeviceNodeStateName(DeviceNodeState s)
{
    switch (s) {
    case DeviceNodeState::Enumerated:
        return "enumerated";
    case DeviceNodeState::NoDriver:
        return "no-driver";
    case DeviceNodeState::Started:
        return "started";
    case DeviceNodeState::Stopped:
        return "stopped";
    case DeviceNodeState::SurpriseRemoved:
        return "surprise-removed";
    case DeviceNodeState::Removed:
        return "removed";
    case DeviceNodeState::Failed:
        return "failed";
    }
    return "?";
}

namespace {

DeviceNodeInfo InfoLocked(DevNode* n)
{
    DeviceNodeInfo i;
    i.instancePath = U8(n->instancePath);
    i.parent = n->parent && n->parent != g_root ? U8(n->parent->instancePath) : std::string();
    i.state = n->state;
    i.pdo = n->pdo;
    {
        io::Guard io(io::Lock());
        i.top = io::IsDeviceLocked(n->pdo) ? io::TopOfStackLocked(n->pdo) : n->pdo;
    }
    i.service = U8(n->service);
    for (auto& h : n->hardwareIds)
        i.hardwareIds.push_back(U8(h));
    i.driverKey = U8(n->driverKey);
    return i;
}

void Collect(DevNode* n, std::vector<DeviceNodeInfo>* out)
{
    if (n != g_root)
        out->push_back(InfoLocked(n));
    for (DevNode* c : n->children)
        Collect(c, out);
}

}  // namespace

std::vector<DeviceNodeInfo> DeviceNodes()
{
    std::vector<DeviceNodeInfo> out;
    Guard lock(Lock());
    if (g_root)
        Collect(g_root, &out);
    return out;
}

bool FindDeviceNode(const std::string& idOrInstance, DeviceNodeInfo* info)
{
    Guard lock(Lock());
    DevNode* n = FindByIdOrInstanceLocked(U16(idOrInstance));
    if (!n)
        return false;
    if (info)
        *info = InfoLocked(n);
    return true;
}

std::string WaitDeviceStarted(const std::string& idOrInstance, unsigned timeoutMs)
{
    std::u16string id = U16(idOrInstance);
    std::string found;
    Guard lock(Lock());
    g_changedCv.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
        if (!g_root)
            return false;
        DevNode* n = Find(g_root, [&](DevNode* d) {
            if (d->state != DeviceNodeState::Started)
                return false;
            if (SameText(d->instancePath, id))
                return true;
            for (auto& h : d->hardwareIds)
                if (SameText(h, id))
                    return true;
            return false;
        });
        if (n)
            found = U8(n->instancePath);
        return n != nullptr;
    });
    return found;
}

bool WaitDeviceGone(const std::string& instancePath, unsigned timeoutMs)
{
    std::u16string path = U16(instancePath);
    Guard lock(Lock());
    return g_changedCv.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                [&] { return !g_root || !FindByInstanceLocked(path); });
}

bool WaitPnpIdle(unsigned timeoutMs)
{
    Guard lock(Lock());
    return g_changedCv.wait_for(lock, std::chrono::milliseconds(timeoutMs), [] { return g_queue.empty() && !g_busy; });
}

DEVICE_POWER_STATE PoweredState(const std::string& instancePath, bool physical)
{
    Guard lock(Lock());
    DevNode* n = FindByInstanceLocked(U16(instancePath));
    if (!n)
        return PowerDeviceUnspecified;
    io::Guard io(io::Lock());
    if (!io::IsDeviceLocked(n->pdo))
        return PowerDeviceUnspecified;
    PDEVICE_OBJECT d = physical ? n->pdo : io::TopOfStackLocked(n->pdo);
    return d->DeviceObjectExtension->devicePower.DeviceState;
}

}  // namespace sim
