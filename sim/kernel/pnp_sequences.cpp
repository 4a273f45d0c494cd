// The orderly sequences tests drive: removal, rebalance (stop and restart),
// and the query/cancel pairs. Each runs on the PnP thread, serialised with
// enumeration, and the caller waits (bounded) for its status.
#include "pnp_internal.h"

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

}  // namespace
}  // namespace pnp

using namespace pnp;

NTSTATUS PnpRemoveDevice(const std::string& instancePath, unsigned timeoutMs)
{
    return OnNode(instancePath, timeoutMs, [](DevNode* n) -> NTSTATUS {
        if (n->state == DeviceNodeState::Removed || n->state == DeviceNodeState::SurpriseRemoved)
            return STATUS_INVALID_DEVICE_STATE;
        NTSTATUS st = QueryRemoveSubtree(n, false);
        if (!NT_SUCCESS(st))
            return st;
        RemoveSubtree(n, false);
        return STATUS_SUCCESS;
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
