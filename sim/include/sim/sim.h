// The control surface of the simulated machine, for tests, the demo and the
// sim's own Win32 layer. Drivers never include this header.
//
// One process is one machine. A test starts a fresh machine, loads drivers,
// drives them, and stops the machine; stopping runs the verifier's teardown
// checks (leaked pool, handles, links, device objects, pending IRPs).
#pragma once

#include <ntddk.h>

#include <string>
#include <vector>

namespace sim {

// ---------------------------------------------------------------- machine

struct MachineOptions {
    ULONG osMajor = 10;  // what PsGetVersion/RtlGetVersion report
    ULONG osMinor = 0;
    unsigned workerThreads = 3;      // system worker threads at start; more are added while items wait
    unsigned maxWorkerThreads = 64;  // no more than this (at least workerThreads): a test that needs
                                     // an item to stay queued behind a busy worker caps the pool
    std::string driveCRoot;          // host folder that stands for drive C: (empty: a fresh temp folder)
};

void StartMachine(const MachineOptions& options = MachineOptions());
// Stops every thread of the machine, runs the teardown checks and frees
// everything the machine holds. Returns the number of verifier violations
// reported during the machine's life.
size_t StopMachine();
bool MachineRunning();

void SetOsVersion(ULONG major, ULONG minor);

// Runs fn on the calling thread at the given IRQL (raising and lowering around it).
template <typename F>
void RunAtIrql(KIRQL irql, F fn)
{
    KIRQL old;
    KeRaiseIrql(irql, &old);
    fn();
    KeLowerIrql(old);
}

// Waits (bounded) until no DPC is queued or running, no expired timer is
// waiting to be served, and no work item is queued or running (subsystems
// register their own idle checks). Timers due later do not count.
bool WaitQuiet(unsigned timeoutMs = 5000);

// Number of threads blocked in a wait on a dispatcher object (event, mutex,
// timer), so a test can tell that a thread has reached its wait.
size_t WaiterCount(const void* object);

// ---------------------------------------------------------------- time

// Manual time: timers fire only when a test advances the clock (the DPCs of
// due timers then run on the DPC thread before AdvanceTime returns).
void SetManualTime(bool manual);
void AdvanceTime(LONGLONG hundredNs);
// The due time most recently passed to KeSetTimer/KeSetTimerEx for `timer`,
// exactly as passed (negative: relative). 0 when never set.
LONGLONG LastRequestedDueTime(const KTIMER* timer);
// Interrupt-time clock of the machine in 100-ns units.
ULONGLONG InterruptTime();

// ---------------------------------------------------------------- verifier

struct Violation {
    std::string rule;     // short rule name, for example "IRP_COMPLETED_TWICE"
    std::string object;   // the object concerned, for example "IRP 0x..." or "pool block 0x... tag 'EMEM'"
    std::string routine;  // the routine that broke the rule (kernel entry point or driver routine)
    std::string message;  // the whole report line
};

enum class ViolationMode {
    Fatal,   // print the report to stderr and abort the process (default)
    Record,  // print and record it; the caller inspects Violations()
};
void SetViolationMode(ViolationMode mode);
std::vector<Violation> Violations();
void ClearViolations();
// True when a violation of `rule` was recorded since the last ClearViolations.
bool HasViolation(const std::string& rule);

// Reports a violation from inside the sim (also usable by test drivers).
// `rule` must be a name of the registry (<sim/rules.h>); any other name is
// reported as UNKNOWN_RULE.
void ReportViolation(const char* rule, const std::string& object, const char* routine, const std::string& detail);

// A spin lock held longer than this is reported as SPINLOCK_HELD_TOO_LONG
// when it is released (1000 ms after StartMachine).
void SetSpinLockHoldLimit(unsigned ms);

// ---------------------------------------------------------------- interleaving

// A test breaks into a driver path at a point of the platform, so that a race
// test hits its window every time instead of by chance. The thread that
// reaches a matching point stops there; the rule's action runs on a thread of
// its own at PASSIVE_LEVEL (free to send requests, cancel, remove, wait), and
// the stopped thread goes on once the action has returned. Points inside the
// action's own requests do not stop: breaks never nest.
//
// A stopped thread keeps the spin locks it holds, so break where it holds
// none; an action that does not return within the rule's time-out is
// reported as BREAK_ACTION_STUCK and the thread goes on.
enum class BreakPoint {
    BeforeCallDriver,       // IoCallDriver, before the target's dispatch routine (object: the IRP)
    AfterCallDriver,        // IoCallDriver is about to return to its caller (object: the IRP)
    BeforeCompleteRequest,  // IoCompleteRequest entered (object: the IRP)
    AfterCompleteRequest,   // IoCompleteRequest is about to return (object: the IRP; it may be gone)
    AfterReleaseSpinLock,   // a spin lock was released, IRQL restored (object: the KSPIN_LOCK)
    AfterSetEvent,          // KeSetEvent is about to return (object: the KEVENT)
};

struct BreakRule {
    BreakPoint point = BreakPoint::BeforeCallDriver;
    const void* object = nullptr;  // only this object; null: any
    UCHAR major = 0xFF;            // IRP points: only this major function at the IRP's current location
    std::string thread;            // only threads whose name starts with this; empty: any
    unsigned skip = 0;             // matching hits that pass before the first stop
    unsigned count = 1;            // stops after the skipped ones (0: every later hit)
    void (*action)(void* context, const void* object) = nullptr;
    void* context = nullptr;
    unsigned timeoutMs = 10000;  // how long the stopped thread waits for the action
};
// Returns the rule's id. Rules are dropped when the machine stops.
int AddBreak(const BreakRule& rule);
void RemoveBreak(int id);
unsigned BreakHits(int id);   // matching hits so far, the skipped ones included
unsigned BreakStops(int id);  // hits that stopped a thread and ran the action
// Called by the sim's own code at each point; cheap when no rule is set.
void BreakAt(BreakPoint point, const void* object, UCHAR major = 0xFF);

// ---------------------------------------------------------------- pool

struct PoolBlockInfo {
    void* address;
    size_t size;
    ULONG tag;
    POOL_TYPE type;
};
std::vector<PoolBlockInfo> OutstandingPool();
size_t OutstandingPoolCount(ULONG tag);   // blocks with this tag still allocated
POOL_TYPE PoolTypeOf(const void* block);  // type the block was allocated with; MaxPoolType if not a live block
std::string PoolReport();                 // human-readable report by tag
std::string TagText(ULONG tag);           // "EMEM" for 0x4D454D45

// ---------------------------------------------------------------- fault injection

enum class FaultSite {
    Pool,       // ExAllocatePoolWithTag / ExAllocatePool
    Lookaside,  // allocation through a lookaside list's allocate routine
    Irp,        // IoAllocateIrp, IoBuild*Request
    WorkItem,   // IoAllocateWorkItem
    Urb,        // USBD library allocations
    // The kernel's other failable calls, failed with
    // STATUS_INSUFFICIENT_RESOURCES when a driver's routine makes them:
    Registry,  // ZwOpenKey, ZwCreateKey, ZwQueryValueKey, ZwSetValueKey, RtlWriteRegistryValue, IoOpenDeviceRegistryKey
    Object,    // IoCreateDevice, IoCreateSymbolicLink, IoCreateSynchronizationEvent, IoCreateNotificationEvent
    File,      // ZwCreateFile, ZwWriteFile
    Heap,      // HeapAlloc (user mode)
    Any,
};

struct FaultRule {
    FaultSite site = FaultSite::Any;
    ULONG tag = 0;       // 0: any tag (pool and lookaside only)
    unsigned nth = 0;    // fail the nth matching allocation (1-based); 0: see probability (neither: fail every match)
    unsigned count = 1;  // how many consecutive matches fail from the nth on (0: all)
    double probability = 0;  // with a seed: fail each match with this probability
    unsigned seed = 0;
    size_t size = 0;  // pool only: match allocations of exactly this many bytes; 0: any size
};
void AddFault(const FaultRule& rule);
void ClearFaults();
// Number of allocation attempts seen at a site since the machine started (for
// systematic runs that fail each site in turn).
unsigned AllocationAttempts(FaultSite site);
// Called by the sim's allocators: true when this allocation must fail.
bool ShouldFail(FaultSite site, ULONG tag, size_t size = 0);

// ---------------------------------------------------------------- drivers

// Loads a driver as the I/O manager does: builds its service key
// \Registry\Machine\System\CurrentControlSet\Services\<name> (with a Parameters
// subkey), creates the driver object "\Driver\<name>" and calls the entry at
// PASSIVE_LEVEL. Returns null if the entry failed.
PDRIVER_OBJECT LoadDriver(const wchar_t* serviceName, PDRIVER_INITIALIZE entry, NTSTATUS* status = nullptr);
// Calls DriverUnload (if any) and frees the driver object. The verifier
// reports device objects the driver left behind and pool blocks it leaked.
void UnloadDriver(PDRIVER_OBJECT driver);

// ---------------------------------------------------------------- I/O from a test

// Builds an IRP for `major` (and `minor`) aimed at the top of `device`'s stack
// as the I/O manager would (one stack location per device in the stack, the
// current location set, a system buffer for buffered I/O), sends it, and
// waits (bounded) for its completion. Returns the final IoStatus.
struct IrpResult {
    NTSTATUS dispatchStatus;   // what the dispatch routine returned
    IO_STATUS_BLOCK ioStatus;  // what the IRP completed with
    bool completed;            // false when it did not complete within the time-out
};
IrpResult SendIrp(PDEVICE_OBJECT device, UCHAR major, UCHAR minor = 0, void* buffer = nullptr, ULONG length = 0,
                  ULONG ioControlCode = 0, unsigned timeoutMs = 5000);

// The general form of SendIrp. Buffers are laid out as the I/O manager does
// for the request (system buffer for METHOD_BUFFERED and DO_BUFFERED_IO
// devices; for direct and neither I/O the driver sees a copy of the caller's
// buffer, copied back at completion, so a request that outlives its time-out
// never touches the caller's memory). `prepare` may fill other parameters of
// the stack location the top driver will see (PnP and power queries).
struct IoRequest {
    UCHAR major = IRP_MJ_DEVICE_CONTROL;
    UCHAR minor = 0;
    ULONG ioControlCode = 0;
    const void* input = nullptr;
    ULONG inputLength = 0;
    void* output = nullptr;
    ULONG outputLength = 0;
    LONGLONG byteOffset = 0;
    PFILE_OBJECT file = nullptr;  // IrpSp->FileObject
    KPROCESSOR_MODE requestorMode = UserMode;
    void (*prepare)(PIO_STACK_LOCATION location, void* context) = nullptr;
    void* prepareContext = nullptr;
    bool cancelled = false;  // sent with Irp->Cancel already set (cancelled before it reached the driver)
    unsigned timeoutMs = 5000;
};
IrpResult SendRequest(PDEVICE_OBJECT device, const IoRequest& request);

// File objects as a handle-holding client sees them. OpenDevice resolves
// `name` through the namespace (links followed; a remainder after the device
// name becomes FileObject->FileName) and sends IRP_MJ_CREATE; an exclusive
// device refuses a second open with STATUS_ACCESS_DENIED. CloseDevice sends
// IRP_MJ_CLEANUP then IRP_MJ_CLOSE and releases the file object.
PFILE_OBJECT OpenDevice(const wchar_t* name, NTSTATUS* status = nullptr);
NTSTATUS CloseDevice(PFILE_OBJECT file);
// Waits (bounded) until no file object is open on `device`. A handle closed
// while its requests were in flight gets IRP_MJ_CLOSE only after the last
// of them ends, on another thread: a test that sends removal itself (the
// PnP manager holds it for the last handle) waits for that close first.
bool WaitFilesClosed(PDEVICE_OBJECT device, unsigned timeoutMs = 5000);
// SendIrp on an open file object: the request goes to the top of the stack of
// the device it was opened on, with IrpSp->FileObject set.
IrpResult SendFileIrp(PFILE_OBJECT file, UCHAR major, UCHAR minor = 0, void* buffer = nullptr, ULONG length = 0,
                      ULONG ioControlCode = 0, unsigned timeoutMs = 5000);

// ---------------------------------------------------------------- PnP

// A driver package as its INF would install it. Installing writes the
// service key (ImagePath, Type 1, Start 3); the PnP manager loads the driver
// (through the LoadDriver path) when an enumerated device's hardware or
// compatible ids match, and creates the class key
// \Registry\Machine\System\CurrentControlSet\Control\Class\{GUID}\NNNN of each
// device instance it installs.
struct DriverPackage {
    std::string service;                   // "Brisklink"
    PDRIVER_INITIALIZE entry = nullptr;    // the image's DriverEntry
    std::vector<std::string> hardwareIds;  // ids the INF's models match, "USB\VID_5A1E&PID_0101"
    std::string className = "Ports";       // setup class: "Ports", "System", ...
    std::string classGuid;                 // empty: the well-known GUID of className
    std::string description;               // DriverDesc; empty: the service name
    // REG_SZ values the INF's service section writes under the service's
    // Parameters key (a value already there is kept, as the INF's AddReg does).
    std::vector<std::pair<std::string, std::string>> parameters;
    // REG_SZ values the installer writes into each installed device's
    // hardware key ("Device Parameters"); "%INSTANCE%" in a value stands for
    // the device's instance path.
    std::vector<std::pair<std::string, std::string>> hardwareKeyValues;
};
// Installs (or replaces) a package. Devices already enumerated without a
// function driver whose ids match are installed and started (bounded wait).
void InstallDriverPackage(const DriverPackage& package);

// Creates a root-enumerated device "ROOT\<ID>\<instance>" (hardwareId
// "ROOT\BLNKVBUS" or "BLNKVBUS") whose PDO the PnP manager owns, and runs the
// normal enumeration on it: ids, capabilities, match, driver load, AddDevice,
// IRP_MN_START_DEVICE. Returns the start status (STATUS_NO_SUCH_DEVICE when no
// package matches, STATUS_OBJECT_NAME_COLLISION when the instance exists).
NTSTATUS CreateRootDevice(const std::string& hardwareId, const std::string& instance = "0000",
                          unsigned timeoutMs = 10000);

enum class DeviceNodeState {
    Enumerated,  // ids queried, not started yet
    NoDriver,    // no installed package matches: no function driver
    Started,
    Stopped,          // between IRP_MN_STOP_DEVICE and the next start
    SurpriseRemoved,  // IRP_MN_SURPRISE_REMOVAL sent, IRP_MN_REMOVE_DEVICE not yet
    Removed,          // IRP_MN_REMOVE_DEVICE sent; the PDO stays while its bus reports it
    Failed,           // driver load, AddDevice or start failed
};
const char* DeviceNodeStateName(DeviceNodeState state);

struct DeviceNodeInfo {
    std::string instancePath;  // "USB\VID_5A1E&PID_0101\1"
    std::string parent;        // instance path of the bus device; empty for root devices
    DeviceNodeState state;
    PDEVICE_OBJECT pdo;   // the physical device object
    PDEVICE_OBJECT top;   // top of its stack (now)
    std::string service;  // function driver; empty when none
    std::vector<std::string> hardwareIds;
    std::string driverKey;  // "{GUID}\NNNN"; empty when no driver
};
std::vector<DeviceNodeInfo> DeviceNodes();
// The node of an instance path, or of the first node whose hardware ids
// contain `idOrInstance` (case-insensitive). False when none.
bool FindDeviceNode(const std::string& idOrInstance, DeviceNodeInfo* info);
// Bounded waits. WaitDeviceStarted returns the instance path of a started
// node matching `idOrInstance`, empty on time-out. WaitDeviceGone waits until
// the PnP manager has let go of the node (its PDO removed for good).
std::string WaitDeviceStarted(const std::string& idOrInstance, unsigned timeoutMs = 5000);
bool WaitDeviceGone(const std::string& instancePath, unsigned timeoutMs = 5000);
// True once the PnP thread has nothing queued or running.
bool WaitPnpIdle(unsigned timeoutMs = 5000);

// Sequences a test drives on the PnP thread (serialised with enumeration,
// bounded waits; STATUS_IO_TIMEOUT when the thread did not get to it).
// Orderly removal: no new handle is let through once it begins; a handle
// open on any stack of the subtree vetoes it before any driver is asked
// (STATUS_DEVICE_BUSY, as Windows vetoes for outstanding opens). Then
// IRP_MN_QUERY_REMOVE_DEVICE to the node and its children;
// a veto is followed by IRP_MN_CANCEL_REMOVE_DEVICE and returned. Otherwise
// children are removed first, then IRP_MN_REMOVE_DEVICE to the node. The PDO
// stays until its bus stops reporting it; it then gets a last
// IRP_MN_REMOVE_DEVICE (no surprise removal: the node is already removed).
NTSTATUS PnpRemoveDevice(const std::string& instancePath, unsigned timeoutMs = 10000);
// Disable: the orderly removal above, leaving the node (and its PDO) in
// place, removed. Enable: a disabled node its bus still reports gets its
// stack again (AddDevice) and IRP_MN_START_DEVICE; STATUS_INVALID_DEVICE_STATE
// for a node that is not disabled.
NTSTATUS PnpDisableDevice(const std::string& instancePath, unsigned timeoutMs = 10000);
NTSTATUS PnpEnableDevice(const std::string& instancePath, unsigned timeoutMs = 10000);
// Rebalance: IRP_MN_QUERY_STOP_DEVICE, IRP_MN_STOP_DEVICE, IRP_MN_START_DEVICE
// (a vetoed query gets IRP_MN_CANCEL_STOP_DEVICE and its status is returned;
// a failed restart is followed by IRP_MN_REMOVE_DEVICE).
NTSTATUS PnpStopDevice(const std::string& instancePath, unsigned timeoutMs = 10000);
// Query then cancel: returns the query's status.
NTSTATUS PnpQueryStopCancel(const std::string& instancePath, unsigned timeoutMs = 10000);
NTSTATUS PnpQueryRemoveCancel(const std::string& instancePath, unsigned timeoutMs = 10000);
// Any PnP IRP to the top of the node's stack, as the PnP manager sends it
// (IoStatus.Status = STATUS_NOT_SUPPORTED, PASSIVE_LEVEL, on its thread).
// `parameters` (optional) is copied into the top location's Parameters.
// IRP_MN_QUERY_CAPABILITIES gets a prefilled DEVICE_CAPABILITIES (Size 64,
// Version 1, Address and UINumber -1), returned in *capabilities.
struct PnpIrpResult {
    NTSTATUS status = STATUS_IO_TIMEOUT;
    ULONG_PTR information = 0;  // caller frees pool it points to (ExFreePool)
};
PnpIrpResult PnpSendIrp(const std::string& instancePath, UCHAR minor, const void* parameters = nullptr,
                        size_t parametersSize = 0, DEVICE_CAPABILITIES* capabilities = nullptr,
                        unsigned timeoutMs = 10000);
// How long a PnP IRP may stay uncompleted before PNP_IRP_NOT_COMPLETED (30 s
// after StartMachine); the removal of every node at machine stop may take
// twice as long before PNP_SHUTDOWN_TIMEOUT.
void SetPnpIrpTimeout(unsigned ms);

// IRP_MJ_SYSTEM_CONTROL with `minor` to the top of the node's stack.
NTSTATUS SendSystemControl(const std::string& instancePath, UCHAR minor, unsigned timeoutMs = 10000);
// What PoSetPowerState last recorded for the top of the node's stack (the
// PDO with `physical`); PowerDeviceUnspecified for an unknown node.
DEVICE_POWER_STATE PoweredState(const std::string& instancePath, bool physical = false);

// "IRP_MJ_READ" for 0x03, for reports and narration.
const char* MajorFunctionName(UCHAR major);

// ---------------------------------------------------------------- power

// The power manager sends system power IRPs to the top of each started
// device node's stack, one at a time, from its own thread ("power"), at
// PASSIVE_LEVEL (DISPATCH_LEVEL when the top device object lacks
// DO_POWER_PAGABLE), with IoStatus.Status = STATUS_NOT_SUPPORTED and
// Parameters.Power.ShutdownType set to the transition's POWER_ACTION.
// PoRequestPowerIrp sends a device request at once when called at
// PASSIVE_LEVEL for a pageable stack, otherwise from a thread of the power
// manager; its completion function runs at the IRQL the IRP completes at,
// and the power manager frees the IRP afterwards.
//
// Its verifier rules (beside the I/O manager's, which apply to power IRPs
// too: IRP_COMPLETED_TWICE, WAIT_AT_RAISED_IRQL on completion paths,
// POCALLDRIVER_NOT_POWER_IRP, IRQL_TOO_HIGH for PoSetPowerState of a state
// other than D0 above APC_LEVEL):
//   POWER_IRP_NOT_PASSED_DOWN: a function or filter driver completed a power
//     IRP without passing it down, with success or STATUS_NOT_SUPPORTED, or
//     failed a system set-power request (only STATUS_DELETE_PENDING, for a
//     removed device, may end one early);
//   PO_START_NEXT_POWER_IRP_MISSING: a driver passed on or completed an
//     IRP_MN_SET_POWER or IRP_MN_QUERY_POWER without calling
//     PoStartNextPowerIrp while its stack location was current (in its
//     dispatch routine, or in its IoCompletion routine if it set one);
//   POWER_IRP_NOT_COMPLETED: a power IRP (IRP_MN_WAIT_WAKE aside) held
//     longer than the power IRP time-out;
//   SYSTEM_POWER_IRP_COMPLETED_BEFORE_DEVICE_IRP: a system request (other
//     than the set to S0) completed before a device request that a driver of
//     its stack asked for while holding it had completed;
//   IRP_COMPLETED_TWICE also when a driver completes a power IRP again after
//     a driver above it took it back with STATUS_MORE_PROCESSING_REQUIRED.

// The machine's system power state: PowerSystemWorking after start.
SYSTEM_POWER_STATE MachinePowerState();

// One system power IRP of a transition, in the order sent.
struct SystemPowerIrp {
    std::string instancePath;  // the device node whose stack it went to
    UCHAR minor;               // IRP_MN_QUERY_POWER or IRP_MN_SET_POWER
    SYSTEM_POWER_STATE state;
    NTSTATUS status;  // as completed; STATUS_IO_TIMEOUT when it was lost
};
struct PowerTransition {
    // STATUS_SUCCESS; the status of the query that failed; STATUS_IO_TIMEOUT
    // when an IRP was lost (reported as POWER_IRP_NOT_COMPLETED) or the
    // caller's time-out passed; STATUS_INVALID_DEVICE_STATE when the machine
    // is not in a state to start it.
    NTSTATUS status = STATUS_IO_TIMEOUT;
    std::string vetoedBy;                           // instance path of the node that failed the query
    SYSTEM_POWER_STATE state = PowerSystemWorking;  // the machine's state afterwards
    std::vector<SystemPowerIrp> irps;
};
// Sleep (PowerSystemSleeping1-3), hibernate (PowerSystemHibernate) or shut
// down (PowerSystemShutdown), from the working state. Sleep and hibernate
// query every started node, children before their parent, then set the
// state in the same order; a failed query ends the transition: the nodes
// queried, the one that failed too, get a set to S0, parents first. Shutdown
// sends the set only. Runs on the PnP thread (no enumeration meanwhile).
PowerTransition SleepMachine(SYSTEM_POWER_STATE state, unsigned timeoutMs = 30000);
// Back to S0 from sleep or hibernation: a set to S0 to every started node,
// parents before their children. A shut-down machine does not wake.
PowerTransition WakeMachine(unsigned timeoutMs = 30000);

// One IRP_MN_SET_POWER or IRP_MN_QUERY_POWER from the power manager to the
// top of a node's stack: a system request, or a device request as the power
// manager sends one of its own (for the node's PDO). Waits for it.
struct PowerIrpResult {
    NTSTATUS status = STATUS_IO_TIMEOUT;
    bool completed = false;  // false: lost (reported) or the caller's time-out passed
};
PowerIrpResult PowerSendIrp(const std::string& instancePath, UCHAR minor, POWER_STATE_TYPE type, POWER_STATE state,
                            unsigned timeoutMs = 30000);

// How long a power IRP may stay uncompleted before POWER_IRP_NOT_COMPLETED
// (10 s after StartMachine). Transitions wait this long for each IRP.
void SetPowerIrpTimeout(unsigned ms);

// ---------------------------------------------------------------- namespace

// Resolves an object name (following symbolic links) to a device object, or null.
PDEVICE_OBJECT FindDevice(const wchar_t* name);
bool SymbolicLinkExists(const wchar_t* name);
std::string SymbolicLinkTarget(const wchar_t* name);  // UTF-8, empty when absent

// ---------------------------------------------------------------- registry

// The machine's registry as tests (and the sim's Win32 layer) see it. Key
// paths are kernel paths ("\Registry\Machine\System\..."), names are
// case-insensitive. The setters create missing keys along the whole path.
// (Names avoid those of the Win32 registry API, which <windows.h> maps with
// macros such as RegDeleteValue -> RegDeleteValueW.)
bool RegEnsureKey(const std::string& keyPath);
bool RegKeyExists(const std::string& keyPath);
bool RegRemoveKeyTree(const std::string& keyPath);  // the key and everything below it
bool RegSetRaw(const std::string& keyPath, const std::string& valueName, ULONG type, const std::vector<uint8_t>& data);
bool RegSetString(const std::string& keyPath, const std::string& valueName, const std::string& utf8);  // REG_SZ
bool RegSetMultiString(const std::string& keyPath, const std::string& valueName,
                       const std::vector<std::string>& utf8);  // REG_MULTI_SZ
bool RegSetDword(const std::string& keyPath, const std::string& valueName, ULONG value);
// False when the value is missing (or, for the typed getters, of another type).
bool RegGetRaw(const std::string& keyPath, const std::string& valueName, ULONG* type, std::vector<uint8_t>* data);
bool RegGetString(const std::string& keyPath, const std::string& valueName, std::string* utf8);  // REG_SZ/REG_EXPAND_SZ
bool RegGetMultiString(const std::string& keyPath, const std::string& valueName, std::vector<std::string>* utf8);
bool RegGetDword(const std::string& keyPath, const std::string& valueName, ULONG* value);
bool RegValueExists(const std::string& keyPath, const std::string& valueName);
bool RegRemoveValue(const std::string& keyPath, const std::string& valueName);
std::vector<std::string> RegSubkeys(const std::string& keyPath);     // case-insensitive name order
std::vector<std::string> RegValueNames(const std::string& keyPath);  // in the order first set

// ---------------------------------------------------------------- files and processes

// The host path that a kernel file path ("\DosDevices\C:\dir\f.txt",
// "\??\C:\...", "\GLOBAL??\C:\...", "\DosDevices\Global\C:\...") names on
// this machine's drive map; empty when the path is not on a mapped drive.
std::string HostPathForDosPath(const std::string& dosPathUtf8);
// The image name ZwQueryInformationProcess reports for the current process
// ("test.exe" until set; reset when a machine starts).
void SetCurrentProcessImage(const std::string& imageName);

// Ends a client (a thread of this process's Win32 layer, standing for a
// single-threaded program) as Windows ends a terminating thread and process:
// each request the thread sent that has not finished is cancelled
// (IoCancelIrp, at APC_LEVEL), the requests are waited for (bounded; one
// still pending at the end is reported as THREAD_IRP_NOT_CANCELLED), then
// every handle the thread opened is closed by the system (IRP_MJ_CLEANUP,
// then IRP_MJ_CLOSE once the file object's last request has ended). The
// thread itself is not stopped: the test's thread returns from the call it
// was blocked in and must not use its handles again.
struct ClientEnd {
    size_t cancelled = 0;      // requests whose cancel routine ran
    size_t unfinished = 0;     // requests still pending when the wait ended
    size_t handlesClosed = 0;  // handles the system closed
};
ClientEnd EndClientThread(ULONG threadId, unsigned timeoutMs = 5000);

// ---------------------------------------------------------------- user-mode images and console

// Makes an image loadable by LoadLibraryW/LoadLibraryExW under its file name
// ("setup.dll"), with the exports GetProcAddress finds. Images are files:
// they outlast machines, and registering a name again replaces its exports.
void RegisterModule(const std::string& fileName, const std::vector<std::pair<std::string, void*>>& exports);
// What the console does when the user presses Ctrl+C (CTRL_C_EVENT) or
// Ctrl+Break: the handlers SetConsoleCtrlHandler added run, the last added
// first, on a new thread, until one returns TRUE. True when one did (and
// when Ctrl+C is ignored); false when the default handler would end the
// process (here it does not).
bool RaiseConsoleCtrl(ULONG ctrlType);

// ---------------------------------------------------------------- text

// Wide text crosses into test code as UTF-8: with -fshort-wchar, std::wstring
// would use library code built for 32-bit wchar_t, so the sim never uses it.
std::string Utf8(const wchar_t* text, size_t chars = (size_t)-1);
std::string Utf8(const UNICODE_STRING& text);
std::u16string Utf16(const std::string& utf8);
inline const wchar_t* W(const std::u16string& s)
{
    return reinterpret_cast<const wchar_t*>(s.c_str());
}

}  // namespace sim
