// The kernel interface of the simulated machine: the subset of wdm.h that the
// drivers built here use, with Windows x64 layouts where the drivers depend on
// them. Every routine declared here is implemented in sim/kernel against the
// documented Windows contract.
#pragma once

#include "ntdef.h"

#define DECLSPEC_CACHEALIGN alignas(64)

// ---------------------------------------------------------------- IRQL

#define PASSIVE_LEVEL 0
#define LOW_LEVEL 0
#define APC_LEVEL 1
#define DISPATCH_LEVEL 2
#define HIGH_LEVEL 15

#define KernelMode 0
#define UserMode 1

extern "C" {

KIRQL KeGetCurrentIrql(void);
VOID KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql);
VOID KeLowerIrql(KIRQL NewIrql);
KIRQL KeRaiseIrqlToDpcLevel(void);

// The checks of a checked build, always on here: a broken one is a verifier
// report that names the routine (DRIVER_ASSERTION_FAILED, and
// PAGED_CODE_AT_RAISED_IRQL for code that must run below DISPATCH_LEVEL).
VOID SimAssertionFailed(const char* expression, const char* routine, const char* file, ULONG line);
VOID SimPagedCode(const char* routine);
#define NT_ASSERT(e) ((e) ? (void)0 : SimAssertionFailed(#e, __func__, __FILE__, __LINE__))
#define PAGED_CODE() SimPagedCode(__func__)

// ---------------------------------------------------------------- bug check

DECLSPEC_NORETURN VOID KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR P1, ULONG_PTR P2, ULONG_PTR P3, ULONG_PTR P4);
DECLSPEC_NORETURN VOID KeBugCheck(ULONG BugCheckCode);
ULONG DbgPrint(PCSTR Format, ...);
ULONG DbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format, ...);

// ---------------------------------------------------------------- pool

typedef enum _POOL_TYPE {
    NonPagedPool = 0,
    NonPagedPoolExecute = 0,
    PagedPool = 1,
    NonPagedPoolMustSucceed = 2,
    DontUseThisType = 3,
    NonPagedPoolCacheAligned = 4,
    PagedPoolCacheAligned = 5,
    NonPagedPoolCacheAlignedMustS = 6,
    MaxPoolType = 7,
    NonPagedPoolBase = 0,
    NonPagedPoolNx = 512,
    NonPagedPoolNxCacheAligned = 516,
} POOL_TYPE;

#define POOL_NX_ALLOCATION 512

PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
PVOID ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes);
VOID ExFreePoolWithTag(PVOID P, ULONG Tag);
VOID ExFreePool(PVOID P);

// ---------------------------------------------------------------- memory and interlocked

#define RtlCopyMemory(d, s, n) memcpy((d), (s), (n))
#define RtlMoveMemory(d, s, n) memmove((d), (s), (n))
#define RtlFillMemory(d, n, f) memset((d), (f), (n))
#define RtlZeroMemory(d, n) memset((d), 0, (n))
#define RtlEqualMemory(a, b, n) (memcmp((a), (b), (n)) == 0)
SIZE_T RtlCompareMemory(const VOID* Source1, const VOID* Source2, SIZE_T Length);

}  // extern "C"

inline LONG InterlockedIncrement(LONG volatile* p)
{
    return __atomic_add_fetch(p, 1, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedDecrement(LONG volatile* p)
{
    return __atomic_sub_fetch(p, 1, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedExchange(LONG volatile* p, LONG v)
{
    return __atomic_exchange_n(p, v, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedExchangeAdd(LONG volatile* p, LONG v)
{
    return __atomic_fetch_add(p, v, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedCompareExchange(LONG volatile* p, LONG exchange, LONG comparand)
{
    __atomic_compare_exchange_n(p, &comparand, exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return comparand;
}
inline PVOID InterlockedExchangePointer(PVOID volatile* p, PVOID v)
{
    return __atomic_exchange_n(p, v, __ATOMIC_SEQ_CST);
}
inline PVOID InterlockedCompareExchangePointer(PVOID volatile* p, PVOID exchange, PVOID comparand)
{
    __atomic_compare_exchange_n(p, &comparand, exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return comparand;
}
inline LONG InterlockedOr(LONG volatile* p, LONG v)
{
    return __atomic_fetch_or(p, v, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedAnd(LONG volatile* p, LONG v)
{
    return __atomic_fetch_and(p, v, __ATOMIC_SEQ_CST);
}

// Single loads and stores of a word other processors change at the same
// time: atomic (never torn), with no ordering beyond that.
inline LONG ReadNoFence(LONG const volatile* Source)
{
    return __atomic_load_n(Source, __ATOMIC_RELAXED);
}
inline VOID WriteNoFence(LONG volatile* Destination, LONG Value)
{
    __atomic_store_n(Destination, Value, __ATOMIC_RELAXED);
}
inline ULONG ReadULongNoFence(ULONG const volatile* Source)
{
    return __atomic_load_n(Source, __ATOMIC_RELAXED);
}
inline VOID WriteULongNoFence(ULONG volatile* Destination, ULONG Value)
{
    __atomic_store_n(Destination, Value, __ATOMIC_RELAXED);
}
inline PVOID ReadPointerNoFence(PVOID const volatile* Source)
{
    return __atomic_load_n(Source, __ATOMIC_RELAXED);
}
inline VOID WritePointerNoFence(PVOID volatile* Destination, PVOID Value)
{
    __atomic_store_n(Destination, Value, __ATOMIC_RELAXED);
}

// ---------------------------------------------------------------- doubly linked lists

inline VOID InitializeListHead(PLIST_ENTRY h)
{
    h->Flink = h->Blink = h;
}
inline BOOLEAN IsListEmpty(const LIST_ENTRY* h)
{
    return h->Flink == h;
}
inline BOOLEAN RemoveEntryList(PLIST_ENTRY e)
{
    PLIST_ENTRY f = e->Flink, b = e->Blink;
    b->Flink = f;
    f->Blink = b;
    return f == b;
}
inline PLIST_ENTRY RemoveHeadList(PLIST_ENTRY h)
{
    PLIST_ENTRY e = h->Flink;
    RemoveEntryList(e);
    return e;
}
inline PLIST_ENTRY RemoveTailList(PLIST_ENTRY h)
{
    PLIST_ENTRY e = h->Blink;
    RemoveEntryList(e);
    return e;
}
inline VOID InsertTailList(PLIST_ENTRY h, PLIST_ENTRY e)
{
    PLIST_ENTRY b = h->Blink;
    e->Flink = h;
    e->Blink = b;
    b->Flink = e;
    h->Blink = e;
}
inline VOID InsertHeadList(PLIST_ENTRY h, PLIST_ENTRY e)
{
    PLIST_ENTRY f = h->Flink;
    e->Flink = f;
    e->Blink = h;
    f->Blink = e;
    h->Flink = e;
}

// ---------------------------------------------------------------- sequenced singly linked lists

typedef struct alignas(16) _SLIST_ENTRY {
    struct _SLIST_ENTRY* Next;
} SLIST_ENTRY, *PSLIST_ENTRY;

typedef union alignas(16) _SLIST_HEADER {
    struct {
        ULONGLONG Alignment;
        ULONGLONG Region;
    };
    struct {
        ULONGLONG Depth : 16;
        ULONGLONG Sequence : 48;
        ULONGLONG Reserved : 4;
        ULONGLONG NextEntry : 60;
    } HeaderX64;
} SLIST_HEADER, *PSLIST_HEADER;
static_assert(sizeof(SLIST_HEADER) == 16, "SLIST_HEADER is 16 bytes on x64");

extern "C" {
VOID InitializeSListHead(PSLIST_HEADER ListHead);
PSLIST_ENTRY InterlockedPushEntrySList(PSLIST_HEADER ListHead, PSLIST_ENTRY ListEntry);
PSLIST_ENTRY InterlockedPopEntrySList(PSLIST_HEADER ListHead);
PSLIST_ENTRY InterlockedFlushSList(PSLIST_HEADER ListHead);
USHORT QueryDepthSList(PSLIST_HEADER ListHead);
}

// ---------------------------------------------------------------- dispatcher objects

typedef struct _DISPATCHER_HEADER {
    union {
        struct {
            UCHAR Type;
            UCHAR Signalling;
            UCHAR Size;
            UCHAR Reserved1;
        };
        LONG Lock;
    };
    LONG SignalState;
    LIST_ENTRY WaitListHead;
} DISPATCHER_HEADER, *PDISPATCHER_HEADER;
static_assert(sizeof(DISPATCHER_HEADER) == 24, "DISPATCHER_HEADER is 24 bytes on x64");

typedef enum _EVENT_TYPE { NotificationEvent, SynchronizationEvent } EVENT_TYPE;
typedef enum _TIMER_TYPE { NotificationTimer, SynchronizationTimer } TIMER_TYPE;

typedef struct _KEVENT {
    DISPATCHER_HEADER Header;
} KEVENT, *PKEVENT, *PRKEVENT;

typedef enum _KWAIT_REASON { Executive = 0, UserRequest = 6, WrExecutive = 7 } KWAIT_REASON;
typedef enum _WAIT_TYPE { WaitAll, WaitAny } WAIT_TYPE;

struct _KDPC;
typedef VOID KDEFERRED_ROUTINE(struct _KDPC* Dpc, PVOID DeferredContext, PVOID SystemArgument1, PVOID SystemArgument2);
typedef KDEFERRED_ROUTINE* PKDEFERRED_ROUTINE;

typedef struct _KDPC {
    UCHAR Type;
    UCHAR Importance;
    USHORT Number;
    LIST_ENTRY DpcListEntry;
    PKDEFERRED_ROUTINE DeferredRoutine;
    PVOID DeferredContext;
    PVOID SystemArgument1;
    PVOID SystemArgument2;
    PVOID DpcData;
} KDPC, *PKDPC, *PRKDPC;
static_assert(sizeof(KDPC) == 64, "KDPC is 64 bytes on x64");

typedef struct _KTIMER {
    DISPATCHER_HEADER Header;
    ULARGE_INTEGER DueTime;
    LIST_ENTRY TimerListEntry;
    struct _KDPC* Dpc;
    ULONG Processor;
    LONG Period;
} KTIMER, *PKTIMER, *PRKTIMER;
static_assert(sizeof(KTIMER) == 64, "KTIMER is 64 bytes on x64");

typedef struct _KMUTANT {
    DISPATCHER_HEADER Header;
    LIST_ENTRY MutantListEntry;
    PVOID OwnerThread;
    BOOLEAN Abandoned;
    UCHAR ApcDisable;
} KMUTANT, *PKMUTANT, KMUTEX, *PKMUTEX;

#define EVENT_INCREMENT 1
#define IO_NO_INCREMENT 0
#define IO_SERIAL_INCREMENT 2

extern "C" {

VOID KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State);
LONG KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait);
VOID KeClearEvent(PRKEVENT Event);
LONG KeResetEvent(PRKEVENT Event);
LONG KeReadStateEvent(PRKEVENT Event);

VOID KeInitializeMutex(PKMUTEX Mutex, ULONG Level);
LONG KeReleaseMutex(PKMUTEX Mutex, BOOLEAN Wait);

NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                               PLARGE_INTEGER Timeout);
NTSTATUS KeWaitForMultipleObjects(ULONG Count, PVOID Object[], WAIT_TYPE WaitType, KWAIT_REASON WaitReason,
                                  KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Timeout,
                                  PVOID WaitBlockArray);
#define KeWaitForMutexObject KeWaitForSingleObject
NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Interval);

VOID KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext);
BOOLEAN KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2);
BOOLEAN KeRemoveQueueDpc(PRKDPC Dpc);
VOID KeFlushQueuedDpcs(void);

VOID KeInitializeTimer(PKTIMER Timer);
VOID KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type);
BOOLEAN KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc);
BOOLEAN KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc);
BOOLEAN KeCancelTimer(PKTIMER Timer);
BOOLEAN KeReadStateTimer(PKTIMER Timer);

// ---------------------------------------------------------------- spin locks

VOID KeInitializeSpinLock(PKSPIN_LOCK SpinLock);
KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock);
VOID KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql);
VOID KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock);
VOID KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock);
#define KeAcquireSpinLock(SpinLock, OldIrql) *(OldIrql) = KeAcquireSpinLockRaiseToDpc(SpinLock)

// ---------------------------------------------------------------- time

VOID KeQuerySystemTime(PLARGE_INTEGER CurrentTime);
VOID KeQueryTickCount(PLARGE_INTEGER TickCount);
ULONG KeQueryTimeIncrement(void);
// Counts the machine's interrupt time; the frequency is 10 MHz, so a count is
// a time in 100-ns units (manual time included).
LARGE_INTEGER KeQueryPerformanceCounter(PLARGE_INTEGER PerformanceFrequency);
VOID ExSystemTimeToLocalTime(PLARGE_INTEGER SystemTime, PLARGE_INTEGER LocalTime);

typedef struct _TIME_FIELDS {
    SHORT Year;
    SHORT Month;
    SHORT Day;
    SHORT Hour;
    SHORT Minute;
    SHORT Second;
    SHORT Milliseconds;
    SHORT Weekday;
} TIME_FIELDS, *PTIME_FIELDS;
VOID RtlTimeToTimeFields(PLARGE_INTEGER Time, PTIME_FIELDS TimeFields);

// ---------------------------------------------------------------- version

BOOLEAN PsGetVersion(PULONG MajorVersion, PULONG MinorVersion, PULONG BuildNumber, PUNICODE_STRING CSDVersion);

typedef struct _OSVERSIONINFOW {
    ULONG dwOSVersionInfoSize;
    ULONG dwMajorVersion;
    ULONG dwMinorVersion;
    ULONG dwBuildNumber;
    ULONG dwPlatformId;
    WCHAR szCSDVersion[128];
} RTL_OSVERSIONINFOW, *PRTL_OSVERSIONINFOW;
NTSTATUS RtlGetVersion(PRTL_OSVERSIONINFOW VersionInformation);

HANDLE PsGetCurrentProcessId(void);
HANDLE PsGetCurrentThreadId(void);

}  // extern "C"

// ---------------------------------------------------------------- lookaside lists

typedef PVOID (*PALLOCATE_FUNCTION)(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
typedef VOID (*PFREE_FUNCTION)(PVOID Buffer);

// Windows declares the lookaside types cache-aligned but documents (and its
// pool delivers) only 16-byte alignment for them, which is what drivers that
// allocate them from pool get; the sim asks for no more.
typedef struct _GENERAL_LOOKASIDE {
    union {
        SLIST_HEADER ListHead;
        SINGLE_LIST_ENTRY SingleListHead;
    };
    USHORT Depth;
    USHORT MaximumDepth;
    ULONG TotalAllocates;
    union {
        ULONG AllocateMisses;
        ULONG AllocateHits;
    };
    ULONG TotalFrees;
    union {
        ULONG FreeMisses;
        ULONG FreeHits;
    };
    POOL_TYPE Type;
    ULONG Tag;
    ULONG Size;
    PALLOCATE_FUNCTION Allocate;
    PFREE_FUNCTION Free;
    LIST_ENTRY ListEntry;
    ULONG LastTotalAllocates;
    union {
        ULONG LastAllocateMisses;
        ULONG LastAllocateHits;
    };
    ULONG Future[2];
} GENERAL_LOOKASIDE, *PGENERAL_LOOKASIDE;

typedef struct _NPAGED_LOOKASIDE_LIST {
    GENERAL_LOOKASIDE L;
} NPAGED_LOOKASIDE_LIST, *PNPAGED_LOOKASIDE_LIST;

typedef struct _PAGED_LOOKASIDE_LIST {
    GENERAL_LOOKASIDE L;
} PAGED_LOOKASIDE_LIST, *PPAGED_LOOKASIDE_LIST;

extern "C" {
VOID ExInitializeNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside, PALLOCATE_FUNCTION Allocate, PFREE_FUNCTION Free,
                                     ULONG Flags, SIZE_T Size, ULONG Tag, USHORT Depth);
VOID ExDeleteNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside);
PVOID ExAllocateFromNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside);
VOID ExFreeToNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside, PVOID Entry);
VOID ExInitializePagedLookasideList(PPAGED_LOOKASIDE_LIST Lookaside, PALLOCATE_FUNCTION Allocate, PFREE_FUNCTION Free,
                                    ULONG Flags, SIZE_T Size, ULONG Tag, USHORT Depth);
VOID ExDeletePagedLookasideList(PPAGED_LOOKASIDE_LIST Lookaside);
PVOID ExAllocateFromPagedLookasideList(PPAGED_LOOKASIDE_LIST Lookaside);
VOID ExFreeToPagedLookasideList(PPAGED_LOOKASIDE_LIST Lookaside, PVOID Entry);
}

#include "sim/wdm_io.h"
#include "sim/wdm_rtl.h"
