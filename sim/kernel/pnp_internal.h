// Private state of the PnP manager (pnp_* files): the device tree, the
// driver packages, the PnP thread and its queue.
//
// Threads: every IRP the PnP manager sends, every AddDevice and every driver
// load it makes runs on its own thread ("pnp"), one at a time, at
// PASSIVE_LEVEL. Other threads only queue work (IoInvalidateDeviceRelations,
// the test API, handle closes) and read the tree.
//
// Lock rule: pnp::Lock() guards the tree, the packages and the queue. It is
// never held while a driver routine runs or an IRP is sent; it may be taken
// before io::Lock() and the registry lock, never after them. The I/O
// manager's hooks below are called without io::Lock() held.
#pragma once

#include "internal.h"

#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace sim {
namespace pnp {

struct DevNode {
    DevNode* parent = nullptr;
    std::vector<DevNode*> children;  // in the order first reported
    PDEVICE_OBJECT pdo = nullptr;    // referenced by the node (the bus's first report, or creation)
    bool rootOwned = false;          // the PDO is the PnP manager's own (root-enumerated)

    std::u16string deviceId, instanceId, instancePath;
    std::vector<std::u16string> hardwareIds, compatibleIds;
    std::u16string description, location;
    DEVICE_CAPABILITIES caps{};

    DeviceNodeState state = DeviceNodeState::Enumerated;
    bool missing = false;        // its bus no longer reports it
    bool released = false;       // the last IRP_MN_REMOVE_DEVICE is on its way: the bus may delete the PDO
    bool awaitingClose = false;  // surprise-removed; removal waits for the stack's handles to close
    bool disabled = false;       // removed in order by PnpDisableDevice; PnpEnableDevice starts it again

    std::u16string service;  // function driver's service; empty: none installed
    PDRIVER_OBJECT driver = nullptr;
    std::u16string className, classGuid, driverKey;  // driverKey "{GUID}\NNNN"
};

struct Package {
    std::u16string service;
    PDRIVER_INITIALIZE entry = nullptr;
    std::vector<std::u16string> hardwareIds;
    std::u16string className, classGuid, description;
    std::vector<std::pair<std::u16string, std::u16string>> hardwareKeyValues;
};

std::mutex& Lock();
using Guard = std::unique_lock<std::mutex>;

// The invisible root of the tree; its children are the root-enumerated devices.
DevNode* TreeRootLocked();
DevNode* FindByPdoLocked(PDEVICE_OBJECT pdo);
DevNode* FindByInstanceLocked(const std::u16string& instancePath);  // case-insensitive
DevNode* FindByIdOrInstanceLocked(const std::u16string& id);
std::vector<Package>& PackagesLocked();

// Queues `task` for the PnP thread.
void Queue(std::function<void()> task);
// Runs `task` on the PnP thread and waits (bounded) for it; false on time-out
// (the task still runs later and must own what it touches).
bool RunOnPnpThread(std::function<void()> task, unsigned timeoutMs);
// Wakes waiters on the tree (state changes).
void NotifyChanged();

// ---------------------------------------------------------------- pnp_irp.cpp (PnP thread)

// How long a PnP IRP may stay uncompleted (sim::SetPnpIrpTimeout); the
// removal at machine stop may take twice as long.
unsigned IrpTimeoutMs();
// At machine start: the time-out back to 30 s; the records the last machine's
// lost IRPs kept are freed.
void IrpStartup();

// Sends a PnP IRP to the top of `node`'s stack and waits for it.
struct IrpOutcome {
    NTSTATUS status = STATUS_IO_TIMEOUT;
    ULONG_PTR information = 0;
    bool completed = false;
};
IrpOutcome SendPnp(DevNode* node, UCHAR minor, const void* parameters = nullptr, size_t size = 0);
IrpOutcome SendPnpToDevice(PDEVICE_OBJECT device, UCHAR minor, const void* parameters = nullptr, size_t size = 0);
// IRP_MN_QUERY_CAPABILITIES with the prefilled record, result in *caps.
NTSTATUS QueryCapabilities(DevNode* node, DEVICE_CAPABILITIES* caps);

// ---------------------------------------------------------------- pnp_enum.cpp (PnP thread)

// Asks `node`'s stack for its bus relations and applies the difference.
void EnumerateNode(DevNode* node);
// Queues an enumeration of the node whose PDO is `pdo` (coalesced).
void RequestEnumeration(PDEVICE_OBJECT pdo);
// Query-remove or query-stop of a subtree (children first); on a veto the
// cancel goes to every node that was asked, and the veto is returned.
NTSTATUS QueryRemoveSubtree(DevNode* node, bool cancelAfter);
// A new child: ids, capabilities, keys, match, AddDevice, start.
// Returns the start status (STATUS_NO_SUCH_DEVICE when no package matches).
NTSTATUS ProcessNewChild(DevNode* node);
// Installs the function driver on a node without one and starts it.
NTSTATUS InstallAndStart(DevNode* node);
// Sends IRP_MN_START_DEVICE (IRP_MN_REMOVE_DEVICE when it fails).
NTSTATUS StartNode(DevNode* node);
// Sends IRP_MN_REMOVE_DEVICE to the stack and settles the node (driver unload).
// `final`: the PDO goes for good (children and node are forgotten).
void RemoveStack(DevNode* node, bool final);
// Removes `node`'s subtree: children first, then the node.
void RemoveSubtree(DevNode* node, bool final);
// A missing child: surprise removal if it was running, then removal.
void ChildMissing(DevNode* node);
// Surprise-removed nodes whose stacks no longer hold handles are removed.
void CompleteDeferredRemovals();
// Forgets a node whose PDO went for good (drops the PnP reference).
void ForgetNode(DevNode* node);
// True when a file object is open on any device of the node's stack.
bool StackHasHandles(DevNode* node);

// ---------------------------------------------------------------- pnp_install.cpp

// Matches the node's ids against the packages; fills service and class.
bool MatchPackage(DevNode* node, Package* match);
// Writes the Enum key (and, with a package, the driver key) of `node`.
void WriteDeviceKeys(DevNode* node, const Package* match);
// Loads the package's driver (or finds it loaded). Null on failure.
PDRIVER_OBJECT EnsureDriverLoaded(const Package& package, NTSTATUS* status);
// Unloads drivers the PnP manager loaded that no longer own a device object.
void UnloadIdleDrivers();
void ForgetLoadedDrivers();
std::u16string EnumKeyPath(const DevNode* node);
std::u16string DriverKeyPath(const DevNode* node);  // empty when no driver key

// ---------------------------------------------------------------- pnp_root.cpp

void RootStartup();
// Deletes the PDOs the PnP manager created.
void RootShutdown();
bool IsRootPdo(PDEVICE_OBJECT device);

// ---------------------------------------------------------------- text

std::u16string U16(const std::string& utf8);
std::string U8(const std::u16string& s);
std::u16string Upper(const std::u16string& s);
bool SameText(const std::u16string& a, const std::u16string& b);
std::vector<std::u16string> SplitMultiSz(const wchar_t* multi);  // stops at the empty string
std::vector<uint8_t> MultiSzBytes(const std::vector<std::u16string>& items);
std::vector<uint8_t> SzBytes(const std::u16string& s);

// ---------------------------------------------------------------- hooks for the I/O manager

void Startup();
// Removes every node (children first) and stops the PnP thread. Idempotent.
void Shutdown();
// IoDeleteDevice of `device` (before it is marked deleted). True when it is
// a PDO in its last IRP_MN_REMOVE_DEVICE, where the devices above it detach
// after its bus deleted it.
bool DeviceDeleting(PDEVICE_OBJECT device);
// The last close of a file object on `device`.
void HandleClosed(PDEVICE_OBJECT device);
// A device object's memory is gone: its driver may be free to unload now.
void DeviceFreed();

}  // namespace pnp
}  // namespace sim
