// Lookaside lists. An allocation pops a cached entry or calls the list's
// Allocate routine; a free pushes the entry while the list holds fewer than
// Depth entries, else calls Free. Entries held by the list are live pool
// blocks of the list's tag until the list is deleted.
//
// Fault injection: every ExAllocateFrom*LookasideList call is one attempt at
// the Lookaside site (hit or miss: a driver cannot count on a hit). When the
// list uses the default routine, the pool allocation underneath is not a
// second attempt at the Pool site; a driver-supplied routine allocates as it
// pleases and its own pool calls count at the Pool site.
#include "ke_internal.h"

namespace sim {
namespace {

constexpr USHORT kMinimumDepth = 4;
constexpr USHORT kMaximumDepth = 256;

void Count(ULONG* counter)
{
    __atomic_add_fetch(counter, 1, __ATOMIC_RELAXED);
}

void Initialize(GENERAL_LOOKASIDE* L, PALLOCATE_FUNCTION allocate, PFREE_FUNCTION free, POOL_TYPE type, SIZE_T size,
                ULONG tag, USHORT depth)
{
    memset(L, 0, sizeof *L);
    InitializeSListHead(&L->ListHead);
    L->Depth = depth ? (depth < kMaximumDepth ? depth : kMaximumDepth) : kMinimumDepth;
    L->MaximumDepth = kMaximumDepth;
    L->Type = type;
    L->Tag = tag;
    L->Size = (ULONG)size;
    L->Allocate = allocate ? allocate : ExAllocatePoolWithTag;
    L->Free = free ? free : ExFreePool;
    InitializeListHead(&L->ListEntry);
}

void ReleaseEntry(GENERAL_LOOKASIDE* L, PVOID entry, const char* routine)
{
    if (L->Free == ExFreePool) {
        ke::PoolFree(entry, 0, routine);
        return;
    }
    PFREE_FUNCTION fn = L->Free;
    CallDriverRoutine("lookaside free routine", [&] { fn(entry); });
}

PVOID Allocate(GENERAL_LOOKASIDE* L, const char* routine)
{
    Count(&L->TotalAllocates);
    if (ShouldFail(FaultSite::Lookaside, L->Tag)) {
        Count(&L->AllocateMisses);
        return nullptr;
    }
    PVOID entry = InterlockedPopEntrySList(&L->ListHead);
    if (entry)
        return entry;
    Count(&L->AllocateMisses);
    if (L->Allocate == ExAllocatePoolWithTag)
        return ke::PoolAllocate(L->Type, L->Size, L->Tag, routine, false);
    PALLOCATE_FUNCTION fn = L->Allocate;
    POOL_TYPE type = L->Type;
    SIZE_T size = L->Size;
    ULONG tag = L->Tag;
    return CallDriverRoutine("lookaside allocate routine", [&] { return fn(type, size, tag); });
}

void Free(GENERAL_LOOKASIDE* L, PVOID entry, const char* routine)
{
    Count(&L->TotalFrees);
    if (QueryDepthSList(&L->ListHead) < L->Depth) {
        InterlockedPushEntrySList(&L->ListHead, (PSLIST_ENTRY)entry);
        return;
    }
    Count(&L->FreeMisses);
    ReleaseEntry(L, entry, routine);
}

void Delete(GENERAL_LOOKASIDE* L, const char* routine)
{
    PSLIST_ENTRY e = InterlockedFlushSList(&L->ListHead);
    while (e) {
        PSLIST_ENTRY next = e->Next;
        ReleaseEntry(L, e, routine);
        e = next;
    }
}

void RequirePagedIrql(const char* routine)
{
    KIRQL irql = CurrentIrql();
    if (irql > APC_LEVEL)
        ReportViolation("PAGED_LOOKASIDE_AT_RAISED_IRQL", std::string("thread '") + ThreadName() + "'", routine,
                        std::string("paged lookaside list used at ") + ke::IrqlName(irql));
}

}  // namespace
}  // namespace sim

extern "C" {

VOID ExInitializeNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside, PALLOCATE_FUNCTION Allocate, PFREE_FUNCTION Free,
                                     ULONG Flags, SIZE_T Size, ULONG Tag, USHORT Depth)
{
    sim::RequireIrql(DISPATCH_LEVEL, "ExInitializeNPagedLookasideList");
    POOL_TYPE type = (POOL_TYPE)(NonPagedPool | (Flags & POOL_NX_ALLOCATION));
    sim::Initialize(&Lookaside->L, Allocate, Free, type, Size, Tag, Depth);
}

VOID ExDeleteNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside)
{
    sim::RequireIrql(DISPATCH_LEVEL, "ExDeleteNPagedLookasideList");
    sim::Delete(&Lookaside->L, "ExDeleteNPagedLookasideList");
}

PVOID ExAllocateFromNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside)
{
    sim::RequireIrql(DISPATCH_LEVEL, "ExAllocateFromNPagedLookasideList");
    return sim::Allocate(&Lookaside->L, "ExAllocateFromNPagedLookasideList");
}

VOID ExFreeToNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside, PVOID Entry)
{
    sim::RequireIrql(DISPATCH_LEVEL, "ExFreeToNPagedLookasideList");
    sim::Free(&Lookaside->L, Entry, "ExFreeToNPagedLookasideList");
}

VOID ExInitializePagedLookasideList(PPAGED_LOOKASIDE_LIST Lookaside, PALLOCATE_FUNCTION Allocate, PFREE_FUNCTION Free,
                                    ULONG Flags, SIZE_T Size, ULONG Tag, USHORT Depth)
{
    sim::RequireIrql(DISPATCH_LEVEL, "ExInitializePagedLookasideList");
    UNREFERENCED_PARAMETER(Flags);  // paged pool is never executable
    sim::Initialize(&Lookaside->L, Allocate, Free, PagedPool, Size, Tag, Depth);
}

VOID ExDeletePagedLookasideList(PPAGED_LOOKASIDE_LIST Lookaside)
{
    sim::RequirePagedIrql("ExDeletePagedLookasideList");
    sim::Delete(&Lookaside->L, "ExDeletePagedLookasideList");
}

PVOID ExAllocateFromPagedLookasideList(PPAGED_LOOKASIDE_LIST Lookaside)
{
    sim::RequirePagedIrql("ExAllocateFromPagedLookasideList");
    return sim::Allocate(&Lookaside->L, "ExAllocateFromPagedLookasideList");
}

VOID ExFreeToPagedLookasideList(PPAGED_LOOKASIDE_LIST Lookaside, PVOID Entry)
{
    sim::RequirePagedIrql("ExFreeToPagedLookasideList");
    sim::Free(&Lookaside->L, Entry, "ExFreeToPagedLookasideList");
}

}  // extern "C"
