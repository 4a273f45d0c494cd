// Enumeration and removal on the PnP thread: bus relations and their
// difference, a new child's ids, keys, driver and start, and the removal
// orders Windows uses.
//
// Removal decisions:
//  - a started (or stopped) child its bus stops reporting was not removed
//    first, so it gets IRP_MN_SURPRISE_REMOVAL (descendants first), then,
//    once no file object is open on its stack, IRP_MN_REMOVE_DEVICE. A bus
//    "unplug" without a prior query-remove is therefore a surprise removal.
//  - a child removed in order earlier (PnpRemoveDevice), or one that never
//    started, gets only IRP_MN_REMOVE_DEVICE when its bus stops reporting it.
//  - IRP_MN_REMOVE_DEVICE for a PDO going for good is the last IRP it sees:
//    the node is marked released first, so its bus may delete it in there.
//  - removing a bus device removes its children first; they go for good
//    with it (the bus deletes their PDOs when its own device is removed).
#include "pnp_internal.h"
#include "io_internal.h"

#include <set>

namespace sim {
namespace pnp {
namespace {

std::set<PDEVICE_OBJECT> g_pendingEnum;  // guarded by Lock()

std::vector<std::u16string> QueryIds(DevNode* n, BUS_QUERY_ID_TYPE type, bool multi, NTSTATUS* status)
{
    std::vector<std::u16string> out;
    IrpOutcome r = SendPnp(n, IRP_MN_QUERY_ID, &type, sizeof type);
    *status = r.completed ? r.status : STATUS_IO_TIMEOUT;
    if (!r.completed || !NT_SUCCESS(r.status) || !r.information)
        return out;
    auto text = reinterpret_cast<const wchar_t*>(r.information);
    if (multi) {
        out = SplitMultiSz(text);
    } else {
        std::u16string s;
        for (const wchar_t* p = text; *p; ++p)
            s.push_back((char16_t)*p);
        out.push_back(s);
    }
    ExFreePool(reinterpret_cast<PVOID>(r.information));
    return out;
}

std::u16string QueryText(DevNode* n, DEVICE_TEXT_TYPE type)
{
    struct {
        DEVICE_TEXT_TYPE type;
        ULONG locale;
    } p{type, 0x409};
    IrpOutcome r = SendPnp(n, IRP_MN_QUERY_DEVICE_TEXT, &p, sizeof p);
    std::u16string s;
    if (!r.completed || !NT_SUCCESS(r.status) || !r.information)
        return s;
    for (auto t = reinterpret_cast<const wchar_t*>(r.information); *t; ++t)
        s.push_back((char16_t)*t);
    ExFreePool(reinterpret_cast<PVOID>(r.information));
    return s;
}

void SetState(DevNode* n, DeviceNodeState state)
{
    {
        Guard lock(Lock());
        n->state = state;
    }
    NotifyChanged();
}

bool Running(DeviceNodeState s)
{
    return s == DeviceNodeState::Started || s == DeviceNodeState::Stopped;
}

void SurpriseSubtree(DevNode* n)
{
    std::vector<DevNode*> children;
    {
        Guard lock(Lock());
        children = n->children;
        n->missing = true;
    }
    for (DevNode* c : children)
        SurpriseSubtree(c);
    if (Running(n->state)) {
        io::SetCreateBlocked(n->pdo, true);
        SendPnp(n, IRP_MN_SURPRISE_REMOVAL);  // its status changes nothing: the device is gone
        SetState(n, DeviceNodeState::SurpriseRemoved);
    }
}

bool SubtreeHasHandles(DevNode* n)
{
    if (StackHasHandles(n))
        return true;
    for (DevNode* c : n->children)
        if (SubtreeHasHandles(c))
            return true;
    return false;
}

}  // namespace

bool StackHasHandles(DevNode* n)
{
    io::Guard lock(io::Lock());
    if (!io::IsDeviceLocked(n->pdo))
        return false;
    for (PDEVICE_OBJECT d = n->pdo; d; d = d->AttachedDevice)
        if (d->ReferenceCount > 0)
            return true;
    return false;
}

void RequestEnumeration(PDEVICE_OBJECT pdo)
{
    {
        Guard lock(Lock());
        if (!g_pendingEnum.insert(pdo).second)
            return;  // one is queued already
    }
    Queue([pdo] {
        DevNode* n;
        {
            Guard lock(Lock());
            g_pendingEnum.erase(pdo);
            n = FindByPdoLocked(pdo);
            if (!n || n->released || n->state != DeviceNodeState::Started)
                return;
        }
        EnumerateNode(n);
    });
}

void EnumerateNode(DevNode* node)
{
    DEVICE_RELATION_TYPE type = BusRelations;
    IrpOutcome r = SendPnp(node, IRP_MN_QUERY_DEVICE_RELATIONS, &type, sizeof type);
    if (!r.completed)
        return;
    std::vector<PDEVICE_OBJECT> reported;
    if (NT_SUCCESS(r.status) && r.information) {
        auto rel = reinterpret_cast<PDEVICE_RELATIONS>(r.information);
        for (ULONG i = 0; i < rel->Count; ++i)
            reported.push_back(rel->Objects[i]);
        ExFreePool(rel);
    } else if (r.status != STATUS_NOT_SUPPORTED) {
        return;  // a failed query changes nothing
    }
    // Not handled by anyone: the device has no children.

    std::vector<DevNode*> added, missing;
    std::vector<PDEVICE_OBJECT> dereference;
    {
        Guard lock(Lock());
        std::set<DevNode*> seen;
        for (PDEVICE_OBJECT d : reported) {
            bool live;
            {
                io::Guard io(io::Lock());
                live = io::IsDeviceLocked(d) && !d->DeviceObjectExtension->deleted;
            }
            if (!live) {
                ReportViolation("INVALID_RELATIONS_OBJECT", "device " + io::Hex(d), "IRP_MN_QUERY_DEVICE_RELATIONS",
                                "the bus relations of " + U8(node->instancePath) +
                                    " name an object that is not a live device object");
                continue;
            }
            DevNode* existing = FindByPdoLocked(d);
            if (existing) {
                // Known already: the node holds its reference from the first report.
                if (existing->parent != node)
                    ReportViolation("DUPLICATE_PDO", io::DeviceText(d), "IRP_MN_QUERY_DEVICE_RELATIONS",
                                    "already a child of " + U8(existing->parent->instancePath));
                seen.insert(existing);
                dereference.push_back(d);
                continue;
            }
            auto* n = new DevNode();
            n->parent = node;
            n->pdo = d;  // keeps the bus's reference
            node->children.push_back(n);
            seen.insert(n);
            added.push_back(n);
        }
        for (DevNode* c : node->children)
            if (!seen.count(c) && !c->missing)
                missing.push_back(c);
    }
    for (PDEVICE_OBJECT d : dereference)
        ObDereferenceObject(d);
    for (DevNode* c : missing)
        ChildMissing(c);
    for (DevNode* n : added)
        ProcessNewChild(n);
    NotifyChanged();
}

NTSTATUS ProcessNewChild(DevNode* n)
{
    // Nobody opens the stack before its start has succeeded.
    io::SetCreateBlocked(n->pdo, true);
    NTSTATUS st;
    NTSTATUS idStatus;
    auto deviceId = QueryIds(n, BusQueryDeviceID, false, &idStatus);
    auto instanceId = QueryIds(n, BusQueryInstanceID, false, &st);
    auto hardwareIds = QueryIds(n, BusQueryHardwareIDs, true, &st);
    auto compatibleIds = QueryIds(n, BusQueryCompatibleIDs, true, &st);
    DEVICE_CAPABILITIES caps{};
    NTSTATUS capsStatus = QueryCapabilities(n, &caps);
    std::u16string description = QueryText(n, DeviceTextDescription);
    std::u16string location = QueryText(n, DeviceTextLocationInformation);
    {
        Guard lock(Lock());
        n->deviceId = deviceId.empty() ? u"" : deviceId[0];
        n->instanceId = instanceId.empty() || instanceId[0].empty() ? u"0" : instanceId[0];
        n->hardwareIds = hardwareIds;
        n->compatibleIds = compatibleIds;
        if (NT_SUCCESS(capsStatus))
            n->caps = caps;
        n->description = description;
        n->location = location;
        std::u16string path = n->deviceId + u"\\" + n->instanceId;
        if (n->deviceId.empty()) {
            // A bus that fails the query for want of memory only fails its
            // child, as on Windows; one that leaves it unanswered or answers
            // with no id is at fault.
            if (idStatus != STATUS_INSUFFICIENT_RESOURCES)
                ReportViolation("DEVICE_ID_MISSING", io::DeviceText(n->pdo), "IRP_MN_QUERY_ID",
                                "the bus did not answer BusQueryDeviceID for a child of " +
                                    U8(n->parent->instancePath));
            n->instancePath = u"UNKNOWN\\" + U16(io::Hex(n->pdo));
            n->state = DeviceNodeState::Failed;
            return STATUS_UNSUCCESSFUL;
        }
        DevNode* twin = FindByInstanceLocked(path);
        n->instancePath = path;
        if (twin && twin != n) {
            // Windows stops with PNP_DETECTED_FATAL_ERROR (duplicate PDO).
            ReportViolation("DUPLICATE_PDO", io::DeviceText(n->pdo), "IRP_MN_QUERY_ID",
                            "a second PDO reports the instance path " + U8(path));
            n->instancePath = path + u"#" + U16(io::Hex(n->pdo));
            n->state = DeviceNodeState::Failed;
            return STATUS_UNSUCCESSFUL;
        }
    }
    Package match;
    bool matched;
    {
        Guard lock(Lock());
        matched = MatchPackage(n, &match);
    }
    WriteDeviceKeys(n, matched ? &match : nullptr);
    NotifyChanged();
    if (matched)
        return InstallAndStart(n);
    if (n->caps.RawDeviceOK)
        return StartNode(n);  // raw: runs with its bus driver alone
    SetState(n, DeviceNodeState::NoDriver);
    return STATUS_NO_SUCH_DEVICE;
}

NTSTATUS InstallAndStart(DevNode* n)
{
    Package match;
    {
        Guard lock(Lock());
        if (!MatchPackage(n, &match))
            return STATUS_NO_SUCH_DEVICE;
    }
    WriteDeviceKeys(n, &match);
    NTSTATUS st;
    PDRIVER_OBJECT driver = EnsureDriverLoaded(match, &st);
    if (!driver) {
        SetState(n, DeviceNodeState::Failed);
        return st;
    }
    {
        Guard lock(Lock());
        n->driver = driver;
    }
    PDRIVER_ADD_DEVICE add = driver->DriverExtension->AddDevice;
    if (!add) {
        SetState(n, DeviceNodeState::Failed);
        UnloadIdleDrivers();
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    {
        io::DriverScope scope(driver);
        st = CallDriverRoutine("AddDevice", [&] { return add(driver, n->pdo); });
    }
    if (!NT_SUCCESS(st)) {
        SetState(n, DeviceNodeState::Failed);
        UnloadIdleDrivers();
        return st;
    }
    return StartNode(n);
}

NTSTATUS StartNode(DevNode* n)
{
    io::SetCreateBlocked(n->pdo, true);
    IrpOutcome r = SendPnp(n, IRP_MN_START_DEVICE);
    NTSTATUS st = r.completed ? r.status : STATUS_IO_TIMEOUT;
    if (!NT_SUCCESS(st)) {
        // A stack that failed to start is torn down; the PDO stays with its bus.
        if (r.completed)
            RemoveStack(n, false);
        SetState(n, DeviceNodeState::Failed);
        return st;
    }
    io::SetCreateBlocked(n->pdo, false);
    SetState(n, DeviceNodeState::Started);
    // Asked again once every driver of the stack has started it: the power
    // policy owner takes its system-to-device state map from this answer.
    DEVICE_CAPABILITIES caps{};
    if (NT_SUCCESS(QueryCapabilities(n, &caps))) {
        Guard lock(Lock());
        n->caps = caps;
    }
    SendPnp(n, IRP_MN_QUERY_PNP_DEVICE_STATE);
    // Every newly started device is asked for its children.
    EnumerateNode(n);
    return st;
}

void RemoveStack(DevNode* n, bool final)
{
    std::vector<PDRIVER_OBJECT> drivers;
    {
        Guard lock(Lock());
        if (final)
            n->released = true;
        n->awaitingClose = false;
    }
    io::SetCreateBlocked(n->pdo, true);
    IrpOutcome r = SendPnp(n, IRP_MN_REMOVE_DEVICE);
    if (r.completed && !NT_SUCCESS(r.status))
        ReportViolation("REMOVE_DEVICE_FAILED", io::DeviceText(n->pdo), "IRP_MN_REMOVE_DEVICE",
                        "a driver of " + U8(n->instancePath) + " failed IRP_MN_REMOVE_DEVICE (status " +
                            io::Hex((void*)(uintptr_t)(ULONG)r.status) + "); it must not fail");
    {
        io::Guard io(io::Lock());
        // The node's reference keeps the PDO's memory even if its bus deleted it.
        if (io::IsDeviceLocked(n->pdo) && n->pdo->AttachedDevice)
            ReportViolation("DEVICE_ATTACHED_AFTER_REMOVE", io::DeviceText(n->pdo->AttachedDevice),
                            "IRP_MN_REMOVE_DEVICE",
                            "still attached to the PDO of " + U8(n->instancePath) +
                                " after IRP_MN_REMOVE_DEVICE (IoDetachDevice and IoDeleteDevice it there)");
    }
    SetState(n, DeviceNodeState::Removed);
    UnloadIdleDrivers();
    if (final)
        ForgetNode(n);
}

void RemoveSubtree(DevNode* n, bool final)
{
    std::vector<DevNode*> children;
    DeviceNodeState state;
    {
        Guard lock(Lock());
        children = n->children;
        state = n->state;
    }
    // The children go for good with their bus device.
    for (auto it = children.rbegin(); it != children.rend(); ++it)
        RemoveSubtree(*it, true);
    if (state == DeviceNodeState::Removed && !final)
        return;
    RemoveStack(n, final);
}

void ChildMissing(DevNode* n)
{
    SurpriseSubtree(n);
    if (SubtreeHasHandles(n)) {
        Guard lock(Lock());
        n->awaitingClose = true;  // CompleteDeferredRemovals finishes it
        return;
    }
    RemoveSubtree(n, true);
}

void CompleteDeferredRemovals()
{
    for (;;) {
        DevNode* ready = nullptr;
        {
            Guard lock(Lock());
            std::function<DevNode*(DevNode*)> find = [&](DevNode* d) -> DevNode* {
                if (d->awaitingClose)
                    return d;
                for (DevNode* c : d->children)
                    if (DevNode* f = find(c))
                        return f;
                return nullptr;
            };
            ready = find(TreeRootLocked());
        }
        if (!ready || SubtreeHasHandles(ready))
            return;
        RemoveSubtree(ready, true);
    }
}

void ForgetNode(DevNode* n)
{
    std::vector<DevNode*> children;
    {
        Guard lock(Lock());
        children = n->children;
    }
    for (DevNode* c : children)
        ForgetNode(c);
    PDEVICE_OBJECT pdo;
    bool root;
    {
        Guard lock(Lock());
        auto& siblings = n->parent->children;
        for (auto it = siblings.begin(); it != siblings.end(); ++it)
            if (*it == n) {
                siblings.erase(it);
                break;
            }
        g_pendingEnum.erase(n->pdo);
        pdo = n->pdo;
        root = n->rootOwned;
        delete n;
    }
    NotifyChanged();
    if (root)
        IoDeleteDevice(pdo);  // the PnP manager's own PDO: its creation reference
    else
        ObDereferenceObject(pdo);  // the reference its bus gave with the first report
}

NTSTATUS QueryRemoveSubtree(DevNode* node, bool cancelAfter)
{
    std::vector<DevNode*> order;  // children before their parent
    std::function<void(DevNode*)> walk = [&](DevNode* d) {
        std::vector<DevNode*> children;
        DeviceNodeState s;
        {
            Guard lock(Lock());
            children = d->children;
            s = d->state;
        }
        for (DevNode* c : children)
            walk(c);
        if (s != DeviceNodeState::Removed && s != DeviceNodeState::SurpriseRemoved)
            order.push_back(d);
    };
    walk(node);
    std::vector<DevNode*> asked;
    NTSTATUS veto = STATUS_SUCCESS;
    for (DevNode* d : order) {
        asked.push_back(d);
        IrpOutcome r = SendPnp(d, IRP_MN_QUERY_REMOVE_DEVICE);
        NTSTATUS st = r.completed ? r.status : STATUS_IO_TIMEOUT;
        if (!NT_SUCCESS(st)) {
            veto = st;
            break;
        }
    }
    if (!NT_SUCCESS(veto) || cancelAfter)
        for (auto it = asked.rbegin(); it != asked.rend(); ++it)
            SendPnp(*it, IRP_MN_CANCEL_REMOVE_DEVICE);
    return veto;
}

}  // namespace pnp
}  // namespace sim
