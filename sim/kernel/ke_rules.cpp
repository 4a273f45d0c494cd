// The registry of verifier rules (see <sim/rules.h>). One row per name the
// machine reports; a check that reports a new name adds its row here, and a
// test that breaks the rule on purpose.
#include <sim/rules.h>

#include <cstring>

namespace sim {
namespace {

const Rule kRules[] = {
    // ------------------------------------------------------------ pool
    {"POOL_LEAK", "pool",
     "a pool block still allocated when the driver that allocated it unloads, or when the machine stops (by tag)"},
    {"POOL_DOUBLE_FREE", "pool", "a pool block freed twice"},
    {"POOL_FREE_UNKNOWN", "pool", "a free of an address that is not the start of a live pool block"},
    {"POOL_TAG_MISMATCH", "pool", "a pool block freed with another tag than it was allocated with"},
    {"POOL_ZERO_SIZE", "pool", "an allocation of zero bytes"},
    {"PAGED_POOL_AT_RAISED_IRQL", "pool", "PagedPool allocated or freed above APC_LEVEL"},
    {"PAGED_LOOKASIDE_AT_RAISED_IRQL", "pool", "a paged lookaside list used above APC_LEVEL"},
    {"SLIST_ENTRY_MISALIGNED", "pool", "an interlocked SLIST entry that is not 16-byte aligned"},
    {"FREE_ACTIVE_KERNEL_OBJECT", "pool",
     "memory freed while a timer in it is set, a DPC in it queued or a thread waits on an object in it"},

    // ------------------------------------------------------------ IRQL
    {"IRQL_TOO_HIGH", "IRQL", "a kernel routine called above the highest IRQL it allows"},
    {"IRQL_NOT_RESTORED", "IRQL", "a driver routine that returns at another IRQL than it was entered at"},
    {"IRQL_RAISE_TO_LOWER", "IRQL", "KeRaiseIrql to an IRQL below the current one"},
    {"IRQL_LOWER_TO_HIGHER", "IRQL", "KeLowerIrql to an IRQL above the current one"},
    {"WAIT_AT_RAISED_IRQL", "IRQL",
     "a wait with a non-zero time-out above APC_LEVEL (holding a spin lock, in a DPC), or any wait above "
     "DISPATCH_LEVEL"},
    {"PAGED_CODE_AT_RAISED_IRQL", "IRQL", "pageable code (PAGED_CODE) entered above APC_LEVEL"},
    {"STRING_CONVERSION_ABOVE_PASSIVE", "IRQL",
     "narrow/wide text conversion, which uses pageable code page tables, above PASSIVE_LEVEL"},
    {"CALL_DRIVER_ABOVE_DISPATCH_LEVEL", "IRQL", "IoCallDriver above DISPATCH_LEVEL"},
    {"COMPLETE_ABOVE_DISPATCH_LEVEL", "IRQL", "IoCompleteRequest above DISPATCH_LEVEL"},

    // ------------------------------------------------------------ IRPs
    {"IRP_COMPLETED_TWICE", "IRPs", "an IRP completed again, power IRPs after a driver above took them back included"},
    {"IRP_COMPLETED_WITH_CANCEL_ROUTINE", "IRPs", "an IRP completed with its cancel routine still set"},
    {"IRP_COMPLETED_WITH_STATUS_PENDING", "IRPs", "an IRP completed with IoStatus.Status left as STATUS_PENDING"},
    {"STATUS_PENDING_WITHOUT_MARK", "IRPs", "STATUS_PENDING returned for an IRP not marked with IoMarkIrpPending"},
    {"MARKED_PENDING_BUT_NOT_RETURNED", "IRPs", "an IRP marked pending whose dispatch routine returned another status"},
    {"IRP_NO_STACK_LOCATION", "IRPs", "IoCallDriver with no stack location left for the next driver"},
    {"IRP_SENT_WHILE_OWNED_BELOW", "IRPs", "an IRP sent down again while the driver below still holds it"},
    {"IRP_FREED_IN_FLIGHT", "IRPs", "a driver-allocated IRP freed while a lower driver has not completed it"},
    {"IRP_REUSED_IN_FLIGHT", "IRPs", "IoInitializeIrp or IoReuseIrp on an IRP still in flight"},
    {"IRP_FREE_INVALID", "IRPs", "IoFreeIrp of a dead IRP, or of one the I/O manager built and frees itself"},
    {"IRP_INVALID", "IRPs", "IoCallDriver, IoCancelIrp or IoReuseIrp on a pointer that is not a live IRP"},
    {"IRP_INVALID_STACK_SIZE", "IRPs", "IoAllocateIrp with no stack location"},
    {"IRP_INFORMATION_EXCEEDS_BUFFER", "IRPs", "IoStatus.Information larger than the request's output buffer"},
    {"IRP_PENDING_AT_DEVICE_DELETE", "IRPs", "an IRP still pending on a device object when it is deleted"},
    {"IRP_LEAKED", "IRPs", "a driver-allocated IRP never freed, or a request never completed, at machine stop"},
    {"DRIVER_IRP_COMPLETED_TO_IO_MANAGER", "IRPs",
     "a driver-allocated IRP completed all the way up with no completion routine to take it back"},
    {"THREAD_IRP_NOT_CANCELLED", "IRPs",
     "a request of an ending client thread that its driver neither cancels nor completes"},

    // ------------------------------------------------------------ objects
    {"DEVICE_DELETED_WHILE_ATTACHED", "objects",
     "a device object deleted while attached to a stack or with a device attached above it"},
    {"DEVICE_DELETED_WITH_OPEN_HANDLES", "objects", "a device object of a stack deleted with file objects open on it"},
    {"DEVICE_DELETED_TWICE", "objects", "IoDeleteDevice of a device object already deleted"},
    {"DEVICE_LEAKED_AT_UNLOAD", "objects", "a device object its driver left undeleted at unload"},
    {"DEVICE_LEAKED", "objects", "a device object never deleted, at machine stop"},
    {"DEVICE_REFERENCE_LEAKED", "objects",
     "a device object still held by ObReferenceObject references when its driver unloads or the machine stops"},
    {"DETACH_NOT_ATTACHED", "objects", "IoDetachDevice of a device object that has nothing attached"},
    {"INVALID_DEVICE_OBJECT", "objects", "a request, attachment or power state for a dead device object"},
    {"OBJECT_REFERENCE_INVALID", "objects", "ObReferenceObject of something that is not a live object"},
    {"OBJECT_DEREFERENCE_INVALID", "objects", "ObDereferenceObject of something that is not a live object"},
    {"FILE_OBJECT_LEAKED", "objects", "a file object never closed, at machine stop"},
    {"HANDLE_LEAKED", "objects", "a kernel handle never closed, at machine stop"},
    {"INVALID_HANDLE_CLOSED", "objects", "ZwClose of a handle that is not open"},
    {"SYMBOLIC_LINK_LEAKED", "objects", "a symbolic link its driver left at unload, or any left at machine stop"},
    {"DANGLING_SYMBOLIC_LINK", "objects", "a symbolic link whose target no longer exists, at machine stop"},
    {"WORK_ITEM_LEAKED", "objects", "a work item never freed, at machine stop"},
    {"WORK_ITEM_FREE_INVALID", "objects", "IoFreeWorkItem or IoQueueWorkItem of a dead work item"},
    {"WORK_ITEM_FREED_WHILE_QUEUED", "objects", "IoFreeWorkItem of a work item still queued"},
    {"WORK_ITEM_QUEUED_TWICE", "objects", "a work item queued again before its routine ran"},
    {"DISPATCHER_OBJECT_NOT_INITIALIZED", "objects", "a wait on, or a timer call with, an uninitialised object"},
    {"WAIT_OBJECT_COUNT", "objects", "KeWaitForMultipleObjects of too many objects without a wait block array"},
    {"TIMER_PERIOD_NEGATIVE", "objects", "KeSetTimerEx with a negative period"},
    {"TIMER_LEFT_SET", "objects", "a timer still set when the machine stops"},
    {"TIMER_OR_DPC_PENDING_AT_UNLOAD", "objects",
     "a timer its driver set, or a DPC it queued, still pending when the driver unloads"},
    {"DRIVER_NOT_LOADED", "objects", "unloading a driver object that is not loaded"},
    {"ZW_NULL_ARGUMENT", "objects", "a registry Zw routine given a null pointer where one is mandatory"},

    // ------------------------------------------------------------ locks
    {"SPINLOCK_RECURSIVE", "locks", "a spin lock acquired again by the thread that holds it"},
    {"SPINLOCK_NOT_OWNER", "locks",
     "a spin lock, the cancel spin lock included, released by a thread that does not hold it"},
    {"SPINLOCK_OUT_OF_ORDER", "locks", "a spin lock released while one taken after it is still held"},
    {"SPINLOCK_ACQUIRE_IRQL", "locks",
     "a spin lock acquired above DISPATCH_LEVEL, or with KeAcquireSpinLockAtDpcLevel below it"},
    {"SPINLOCK_RELEASE_IRQL", "locks",
     "a spin lock released away from DISPATCH_LEVEL, or to another IRQL than it was acquired at"},
    {"SPINLOCK_HELD_ON_RETURN", "locks", "a driver routine that returns holding a spin lock it took"},
    {"SPINLOCK_HELD_TOO_LONG", "locks", "a spin lock held longer than the limit (1 s unless a test sets it)"},
    {"LOCK_ORDER_CYCLE", "locks", "two spin locks taken in opposite orders by different paths (possible deadlock)"},
    {"CALL_WHILE_HOLDING_SPINLOCK", "locks", "IoCallDriver or IoCompleteRequest while holding a spin lock"},
    {"CANCEL_SPINLOCK_NOT_RELEASED", "locks", "a cancel routine that returns holding the cancel spin lock"},
    {"MUTEX_NOT_OWNER", "locks", "a mutex released by a thread that does not own it"},

    // ------------------------------------------------------------ power
    {"POWER_IRP_NOT_PASSED_DOWN", "power",
     "a function or filter driver that completes a power IRP instead of passing it down"},
    {"PO_START_NEXT_POWER_IRP_MISSING", "power",
     "a set- or query-power IRP passed on or completed without PoStartNextPowerIrp"},
    {"POWER_IRP_NOT_COMPLETED", "power", "a power IRP held longer than the power IRP time-out"},
    {"SYSTEM_POWER_IRP_COMPLETED_BEFORE_DEVICE_IRP", "power",
     "a system power IRP completed before the device power IRP asked for while holding it"},
    {"POCALLDRIVER_NOT_POWER_IRP", "power", "PoCallDriver with an IRP that is not IRP_MJ_POWER"},

    // ------------------------------------------------------------ PnP
    {"DUPLICATE_PDO", "PnP", "one PDO reported by two buses, or two PDOs with one instance path"},
    {"DEVICE_ID_MISSING", "PnP", "a bus that does not answer BusQueryDeviceID for its child"},
    {"INVALID_RELATIONS_OBJECT", "PnP", "bus relations that name an object that is not a live device object"},
    {"INVALID_PDO", "PnP", "IoInvalidateDeviceRelations of a device object that is not a PDO"},
    {"REMOVE_DEVICE_FAILED", "PnP", "a driver that fails IRP_MN_REMOVE_DEVICE"},
    {"DEVICE_ATTACHED_AFTER_REMOVE", "PnP", "a device object still attached to its PDO after IRP_MN_REMOVE_DEVICE"},
    {"PDO_DELETED_WHILE_ENUMERATED", "PnP", "a bus that deletes a PDO it still reports"},
    {"PNP_IRP_NOT_COMPLETED", "PnP", "a PnP IRP held longer than the PnP IRP time-out"},
    {"PNP_SHUTDOWN_TIMEOUT", "PnP", "device removal at machine stop that does not finish in time"},
    {"PNP_PACKAGE_INVALID", "PnP", "a driver package without a service name, an entry or a known class"},

    // ------------------------------------------------------------ Win32
    {"WIN32_CALL_AT_RAISED_IRQL", "Win32", "a user-mode API called above PASSIVE_LEVEL"},
    {"WIN32_HANDLE_LEAKED", "Win32", "a Win32 handle never closed, at machine stop"},
    {"WIN32_BAD_HEAP", "Win32", "HeapAlloc or HeapFree on a handle that is not a heap of the process"},
    {"WIN32_HEAP_BAD_FREE", "Win32", "HeapFree of something that is not a live block of the process heap"},
    {"WIN32_HEAP_EXCEPTIONS", "Win32", "HeapAlloc with HEAP_GENERATE_EXCEPTIONS, which the machine cannot deliver"},
    {"WIN32_HEAP_LEAKED", "Win32", "a heap block never freed, at machine stop"},

    // ------------------------------------------------------------ driver and machine
    {"DRIVER_ASSERTION_FAILED", "driver", "a driver's NT_ASSERT whose expression is false"},
    {"BREAK_ACTION_STUCK", "machine", "a test's break action that does not return within its time-out"},
    {"UNKNOWN_RULE", "machine", "a report under a name missing from this registry"},
};

}  // namespace

const Rule* Rules(size_t* count)
{
    *count = sizeof kRules / sizeof kRules[0];
    return kRules;
}

const Rule* FindRule(const char* name)
{
    if (!name)
        return nullptr;
    for (const Rule& r : kRules)
        if (strcmp(r.name, name) == 0)
            return &r;
    return nullptr;
}

}  // namespace sim
