// Private state shared by the io_* files of the simulated kernel: the I/O
// manager's lock, the object namespace, object references, device and driver
// bookkeeping and the per-IRP side records.
//
// Lock rule: io::Lock() guards everything declared here. It is never held
// while a driver routine runs, and never taken inside another subsystem's lock.
#pragma once

#include "internal.h"

#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

// The sim's bookkeeping of a device object (DEVICE_OBJECT::DeviceObjectExtension).
struct _DEVOBJ_EXTENSION {
    PDEVICE_OBJECT device = nullptr;
    std::u16string name;                  // as created ("\Device\X"); empty when unnamed
    std::u16string key;                   // namespace key of the name
    bool deleted = false;                 // IoDeleteDevice was called
    bool leakReported = false;            // reported at unload; not again at shutdown
    PDEVICE_OBJECT attachedTo = nullptr;  // the device this one is attached above
    void* extension = nullptr;            // DeviceExtension memory (owned)
    size_t extensionSize = 0;
    // Set by the PnP manager on the devices of a stack while it must refuse
    // new opens: until its start has succeeded (on the PDO, so devices that
    // attach meanwhile are covered), and from surprise removal or removal on.
    bool createBlocked = false;
    // Part of a device stack (attached, or attached to) at some time: such a
    // device is deleted by its PnP removal, which comes only once its handles
    // are closed. A standalone device may be deleted with handles open.
    bool inStack = false;
    // Deleted, but open handles still reference it: it stays on its driver's
    // list (so the driver is not unloaded under them) until its memory goes.
    bool unlinkWhenFreed = false;
    // References drivers took with ObReferenceObject or
    // IoGetAttachedDeviceReference and have not dropped with
    // ObDereferenceObject: each keeps a deleted device's memory alive.
    LONG driverRefs = 0;
    bool refLeakReported = false;
    POWER_STATE devicePower{};  // recorded by PoSetPowerState
    POWER_STATE systemPower{};
};

namespace sim {
namespace io {

using Guard = std::unique_lock<std::mutex>;
std::mutex& Lock();

std::string Hex(const void* p);
std::string Narrow(const std::u16string& s);  // UTF-8
std::u16string Upcase(const std::u16string& s);
std::u16string Text(const UNICODE_STRING* s);  // empty for null
std::u16string Text(const wchar_t* s);

std::string DeviceText(PDEVICE_OBJECT d);  // "device 0x.. (\Device\X)"
std::string IrpText(PIRP irp);             // "IRP 0x.."
const char* MajorName(UCHAR major);

// The driver on whose behalf the calling thread runs a routine (null when none).
PDRIVER_OBJECT CurrentDriver();
class DriverScope {
public:
    explicit DriverScope(PDRIVER_OBJECT d);
    ~DriverScope();

private:
    PDRIVER_OBJECT saved_;
};

// ---------------------------------------------------------------- objects

enum class ObjKind { Device, File, Event };
// Registers a referenced object with one reference; `destroy` runs (without
// the lock) when the count drops to zero.
void RegisterObjectLocked(void* body, ObjKind kind, void (*destroy)(void*));
bool IsObjectLocked(void* body, ObjKind kind);
void ReferenceLocked(void* body);
// Returns the destroy routine to call after unlocking, or null.
void (*DereferenceLocked(void* body, const char* routine))(void*);
void Dereference(void* body, const char* routine);
void ForgetAllObjectsLocked();

// ---------------------------------------------------------------- namespace

enum class NsKind { Directory, Device, Link, Event, Driver };
struct NsEntry {
    NsKind kind;
    std::u16string name;  // full name as created
    void* object = nullptr;
    std::u16string target;  // links
    PDRIVER_OBJECT owner = nullptr;
    bool system = false;
    bool reported = false;
};
// Resolves `path` following links (the final component too when followLast).
// On success *key is the namespace key and *rest the unresolved remainder
// after a device ("\foo" for "\Device\X\foo"), empty otherwise.
NTSTATUS ResolveLocked(const std::u16string& path, bool followLast, std::u16string* key,
                       std::u16string* rest = nullptr);
NsEntry* FindEntryLocked(const std::u16string& key);
// Inserts a named entry; the parent must resolve to a directory.
NTSTATUS InsertEntryLocked(const std::u16string& path, NsEntry entry, std::u16string* key);
void RemoveEntryLocked(const std::u16string& key);
void NamespaceStartupLocked();
void NamespaceShutdownLocked();                       // reports links left behind, forgets everything
void ReportDanglingLinksLocked();                     // links whose target no longer exists
void ReportDriverLinksLocked(PDRIVER_OBJECT driver);  // links a departing driver left

// ---------------------------------------------------------------- devices and drivers

bool IsDeviceLocked(PDEVICE_OBJECT d);  // a device object whose memory is live
PDEVICE_OBJECT TopOfStackLocked(PDEVICE_OBJECT d);
// Takes a device off its driver's list of device objects.
void UnlinkFromDriverLocked(PDEVICE_OBJECT device);
// The PnP manager opens or closes a PDO's stack (the PDO and the devices
// attached above it now) to new file objects.
void SetCreateBlocked(PDEVICE_OBJECT pdo, bool blocked);
void DriverDeviceCreatedLocked(PDRIVER_OBJECT driver);
void DriverDeviceGoneLocked(PDRIVER_OBJECT driver);  // one device object freed
// Device objects whose memory still refers to the driver: deleted ones that
// references (a queued work item, an open file) keep alive included.
size_t DriverLiveDevicesLocked(PDRIVER_OBJECT driver);
void DriversShutdownLocked();
void DevicesShutdownLocked();  // reports devices still existing, frees them
// Reports DEVICE_REFERENCE_LEAKED for each deleted device object of `driver`
// (null: of any driver) that driver references still keep alive.
void ReportDeviceReferencesLocked(PDRIVER_OBJECT driver, const char* routine);
void NoteDriverReferenceLocked(void* object, LONG delta);  // a device's driverRefs; other objects: nothing
NTSTATUS InvalidDeviceRequest(PDEVICE_OBJECT device, PIRP irp);
void UnloadAllDrivers();

// ---------------------------------------------------------------- IRPs

enum class IrpOwner {
    Driver,       // IoAllocateIrp, IoBuildAsynchronousFsdRequest, PoRequestPowerIrp
    IoManager,    // threaded: IoBuild{DeviceIoControl,SynchronousFsd}Request, SendIrp
    DriverMemory  // IoInitializeIrp on memory the driver owns
};

// What the sim's own requests (SendIrp, file opens) wait on. The waiter may
// give up (time-out); the IRP then finishes without touching its buffers.
struct SendContext {
    std::mutex m;
    std::condition_variable cv;
    bool done = false;
    bool abandoned = false;
    IO_STATUS_BLOCK iosb{};
    void* output = nullptr;  // caller's output buffer
    ULONG outputLength = 0;
    std::vector<unsigned char> bounce;    // UserBuffer for direct and neither I/O
    std::vector<unsigned char> bounceIn;  // Type3InputBuffer for METHOD_NEITHER
};

struct IrpRecord;
struct CallFrame {
    std::shared_ptr<IrpRecord> rec;
    PIO_STACK_LOCATION loc;
    bool passed = false;  // completion walked past loc
    UCHAR control = 0;    // loc->Control at that moment
};

struct IrpRecord {
    PIRP irp = nullptr;
    IrpOwner owner = IrpOwner::Driver;
    const char* builder = "";
    bool ownsMemory = false;
    bool freed = false;
    bool inFlight = false;  // sent and not yet back with its sender
    CHAR descentBase = 0;   // CurrentLocation of the sender when first sent
    // The device whose location is current, as IoCallDriver and the
    // completion walk leave it (null past the top). The IRP's own
    // CurrentLocation belongs to its owner's thread (IoSkip... writes it
    // unlocked); other threads read this copy. Guarded by Lock().
    PDEVICE_OBJECT at = nullptr;
    bool completedToTop = false;
    void* systemBuffer = nullptr;  // allocated here (malloc)
    ULONG outputLength = 0;        // copy-back bound for buffered input operations
    std::shared_ptr<SendContext> send;
    std::vector<CallFrame*> frames;  // IofCallDriver calls whose dispatch has not returned
    struct Obligation {
        PIO_STACK_LOCATION loc;
        NTSTATUS returned;
        std::string routine;
    };
    std::vector<Obligation> obligations;  // returned, awaiting completion past loc
    // For IRPs without a send context: called without the lock once the IRP has
    // finished (buffers copied, UserIosb written, UserEvent set) and been freed.
    void (*onDone)(void* context) = nullptr;
    void* onDoneContext = nullptr;
};

// Irp->Cancel: IoCancelIrp sets it from any thread while the IRP's owner and
// its completion read it, as Windows allows (the flag only goes to TRUE while
// the IRP lives); the sim's own accesses are atomic.
inline void MarkCancelled(PIRP irp)
{
    __atomic_store_n(&irp->Cancel, (BOOLEAN)TRUE, __ATOMIC_RELEASE);
}
inline bool CancelSet(PIRP irp)
{
    return __atomic_load_n(&irp->Cancel, __ATOMIC_ACQUIRE) != FALSE;
}

// Allocates and initialises an IRP with a side record (no fault injection).
PIRP AllocateIrpLocked(CCHAR stackSize, IrpOwner owner, const char* builder);
std::shared_ptr<IrpRecord> FindIrpLocked(PIRP irp);
// Buffers of a read, write or device control as the I/O manager lays them out
// (next->MajorFunction and, for controls, the code are already set).
void SetupBuffersLocked(IrpRecord& rec, PIO_STACK_LOCATION next, ULONG deviceFlags, const void* in, ULONG inLen,
                        void* out, ULONG outLen);
// Drops the record (frames still holding it see rec->freed) and the memory.
void FreeIrpLocked(const std::shared_ptr<IrpRecord>& rec);
// True when an IRP not yet completed has its current location on `device`,
// other than IRPs being dispatched to it on this thread.
bool DeviceHasPendingIrpLocked(PDEVICE_OBJECT device, PIRP* which);
void IrpsShutdownLocked();  // reports and frees IRPs never completed or freed

// File objects of handle-holding clients (the Win32 layer). Open passes the
// caller's access and share mode in the create request; cleanup and close are
// separate steps, because close follows only when the last request holding the
// file object has finished. CloseFileObject releases the file object.
PFILE_OBJECT OpenFileObject(const std::u16string& name, ACCESS_MASK access, USHORT share, NTSTATUS* status);
NTSTATUS CleanupFileObject(PFILE_OBJECT file);
NTSTATUS CloseFileObject(PFILE_OBJECT file);

// Cancels a request unless it has finished. The lock is held from the check
// until the cancel routine has been taken, so the IRP cannot be freed between.
// False when the IRP had finished or had no cancel routine.
bool CancelRequest(const std::shared_ptr<IrpRecord>& rec);

// Thread-local stack of (IRP, device) whose dispatch is running on this thread.
bool DispatchingOnThisThread(PIRP irp, PDEVICE_OBJECT device);

// Cancel spin lock and work queue.
void CancelStartup();
void WorkStartup(unsigned threads, unsigned maxThreads);
void WorkShutdown();  // drains the queue, joins the workers, reports leaked items
void EventsShutdownLocked();
void FilesShutdownLocked();
void HandlesStartup();
void HandlesShutdown();  // reports leaked handles

}  // namespace io
}  // namespace sim
