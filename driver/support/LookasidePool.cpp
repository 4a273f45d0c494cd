#include "support/LookasidePool.h"

#include "core/Pool.h"

CLookasidePool::CLookasidePool(ULONG paged, ULONG entrySize, ULONG tag)
    : m_NPagedList(NULL), m_PagedList(NULL), m_Tag(tag)
{
    Trace(kTraceEntry, "CLookasidePool");
    // Non-paged entries are requested as no-execute from Windows 10 on.
    ULONG flags = GetOsVersion() > 999 ? POOL_NX_ALLOCATION : 0;
    if (paged == 0) {
        m_NPagedList = (PNPAGED_LOOKASIDE_LIST)PoolAlloc(NonPagedPool, sizeof(NPAGED_LOOKASIDE_LIST), tag);
        if (m_NPagedList != NULL) {
            ExInitializeNPagedLookasideList(m_NPagedList, NULL, NULL, flags, entrySize, tag, 0);
        }
    } else {
        m_PagedList = (PPAGED_LOOKASIDE_LIST)PoolAlloc(NonPagedPool, sizeof(PAGED_LOOKASIDE_LIST), tag);
        if (m_PagedList != NULL) {
            ExInitializePagedLookasideList(m_PagedList, NULL, NULL, flags, entrySize, tag, 0);
        }
    }
}

CLookasidePool::~CLookasidePool()
{
    if (m_NPagedList != NULL) {
        ExDeleteNPagedLookasideList(m_NPagedList);
        PoolFree(m_NPagedList);
        m_NPagedList = NULL;
    }
    if (m_PagedList != NULL) {
        ExDeletePagedLookasideList(m_PagedList);
        PoolFree(m_PagedList);
        m_PagedList = NULL;
    }
    m_Entries.Decrement();
}

PVOID CLookasidePool::Allocate()
{
    PVOID entry = NULL;
    if (m_NPagedList != NULL) {
        entry = ExAllocateFromNPagedLookasideList(m_NPagedList);
    } else if (m_PagedList != NULL) {
        entry = ExAllocateFromPagedLookasideList(m_PagedList);
    }
    if (entry != NULL) {
        m_Entries.Increment();
    }
    return entry;
}

void CLookasidePool::Free(PVOID entry)
{
    if (m_NPagedList != NULL) {
        ExFreeToNPagedLookasideList(m_NPagedList, entry);
    } else if (m_PagedList != NULL) {
        ExFreeToPagedLookasideList(m_PagedList, entry);
    }
    m_Entries.Decrement();
}
