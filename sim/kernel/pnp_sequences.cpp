// The orderly sequences tests drive: removal, rebalance (stop and restart),
// and the query/cancel pairs. Each runs on the PnP thread, serialised with
// enumeration, and the caller waits (bounded) for its status.
#include "pnp_internal.h"
#include "io_internal.h"

#include <memory>

namespace sim {
namespace pnp {
namespace {

// Runs `body` on the node of `path` on the PnP thread.
NTSTATUS OnNode(const std::string& path, unsigned timeoutMs, std::function<NTSTATUS(DevNode*)> body)
{
    auto status = std::make_shared<NTSTATUS>(STATUS_IO_TIMEOUT);
    std::u16string p = U16(path);
    bool ran = RunOnPnpThread(
        [=] {
            DevNode* n;
            {
                Guard lock(Lock());
                n = FindByInstanceLocked(p);
                if (!n || n->released) {
                    *status = STATUS_NO_SUCH_DEVICE;
                    return;
                }
            }
            *status = body(n);
        },
        timeoutMs);
    return ran ? *status : STATUS_IO_TIMEOUT;
}

NTSTATUS Sent(const IrpOutcome& r)
{
    return r.completed ? r.status : STATUS_IO_TIMEOUT;
}

bool SubtreeOpen(DevNode* n)
{
    if (StackHasHandles(n))
        return true;
    std::vector<DevNode*> children;
    {
        Guard lock(Lock());
        children = n->children;
    }
    for (DevNode* c : children)
        if (SubtreeOpen(c))
            return true;
    return false;
}

// An orderly removal of `n`'s subtree as Windows makes it: no new handle is
// let through from the moment it begins; a handle still open on any stack of
// the subtree vetoes it before any driver is asked (STATUS_DEVICE_BUSY, the
// outstanding-open veto); then the query-remove (a driver's veto gets the
// cancels) and the removal, children first.
NTSTATUS RemoveInOrder(DevNode* n)
{
    if (n->state == DeviceNodeState::Removed || n->state == DeviceNodeState::SurpriseRemoved)
        return STATUS_INVALID_DEVICE_STATE;
    bool started = n->state == DeviceNodeState::Started;
    io::SetCreateBlocked(n->pdo, true);
    NTSTATUS st = SubtreeOpen(n) ? STATUS_DEVICE_BUSY : QueryRemoveSubtree(n, false);
    if (!NT_SUCCESS(st)) {
        if (started)
            io::SetCreateBlocked(n->pdo, false);
        return st;
    }
    RemoveSubtree(n, false);
    return STATUS_SUCCESS;
}

}  // namespace
}  // namespace pnp

using namespace pnp;

NTSTATUS PnpRemoveDevice(const std::string& instancePath, unsigned timeoutMs)
{
    return OnNode(instancePath, timeoutMs, RemoveInOrder);
}

NTSTATUS PnpDisableDevice(const std::string& instancePath, unsigned timeoutMs)
{
    return OnNode(instancePath, timeoutMs, [](DevNode* n) -> NTSTATUS {
        NTSTATUS st = RemoveInOrder(n);
        if (NT_SUCCESS(st)) {
            Guard lock(Lock());
            n->disabled = true;
        }
        return st;
    });
}

NTSTATUS PnpEnableDevice(const std::string& instancePath, unsigned timeoutMs)
{
    return OnNode(instancePath, timeoutMs, [](DevNode* n) -> NTSTATUS {
        {
            Guard lock(Lock());
            if (!n->disabled || n->missing)
                return STATUS_INVALID_DEVICE_STATE;
            n->disabled = false;
        }
        // The node's stack was torn down: its drivers are found (or loaded)
        // again, AddDevice builds a new stack on the same PDO, and it starts.
        return InstallAndStart(n);
    });
}

NTSTATUS PnpQueryRemoveCancel(const std::string& instancePath, unsigned timeoutMs)
{
    return OnNode(instancePath, timeoutMs, [](DevNode* n) -> NTSTATUS {
        if (n->state == DeviceNodeState::Removed || n->state == DeviceNodeState::SurpriseRemoved)
            return STATUS_INVALID_DEVICE_STATE;
        return QueryRemoveSubtree(n, true);
    });
}

NTSTATUS PnpStopDevice(const std::string& instancePath, unsigned timeoutMs)
{
    return OnNode(instancePath, timeoutMs, [](DevNode* n) -> NTSTATUS {
        if (n->state != DeviceNodeState::Started)
            return STATUS_INVALID_DEVICE_STATE;
        NTSTATUS st = Sent(SendPnp(n, IRP_MN_QUERY_STOP_DEVICE));
        if (!NT_SUCCESS(st)) {
            SendPnp(n, IRP_MN_CANCEL_STOP_DEVICE);
            return st;
        }
        SendPnp(n, IRP_MN_STOP_DEVICE);  // must succeed after a successful query; restarted either way
        {
            Guard lock(Lock());
            n->state = DeviceNodeState::Stopped;
        }
        NotifyChanged();
        return StartNode(n);  // with its new resources
    });
}

NTSTATUS PnpQueryStopCancel(const std::string& instancePath, unsigned timeoutMs)
{
    return OnNode(instancePath, timeoutMs, [](DevNode* n) -> NTSTATUS {
        if (n->state != DeviceNodeState::Started)
            return STATUS_INVALID_DEVICE_STATE;
        NTSTATUS st = Sent(SendPnp(n, IRP_MN_QUERY_STOP_DEVICE));
        SendPnp(n, IRP_MN_CANCEL_STOP_DEVICE);
        return st;
    });
}

}  // namespace sim
