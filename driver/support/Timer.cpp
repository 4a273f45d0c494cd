#include "support/Timer.h"

#include "core/Pool.h"

CTimer::CTimer(ULONG tag) : m_Timer(NULL), m_Dpc(NULL), m_Tag(tag)
{
    m_Timer = (PKTIMER)PoolAlloc(NonPagedPool, sizeof(KTIMER), tag);
    if (m_Timer != NULL) {
        KeInitializeTimer(m_Timer);
    }
}

CTimer::~CTimer()
{
    ReleaseDpc();
    if (m_Timer != NULL) {
        PoolFree(m_Timer);
        m_Timer = NULL;
    }
}

void CTimer::ReleaseDpc()
{
    if (m_Dpc == NULL) {
        return;
    }
    // Timers are torn down (and their DPC replaced) at PASSIVE_LEVEL only: a
    // DPC the timer queued just before the cancel may still be waiting to
    // run, and must not run on a freed block.
    PAGED_CODE();
    Cancel();
    KeFlushQueuedDpcs();
    PoolFree(m_Dpc);
    m_Dpc = NULL;
}

void CTimer::SetDpc(PKDEFERRED_ROUTINE routine, PVOID context)
{
    ReleaseDpc();
    m_Dpc = (PKDPC)PoolAlloc(NonPagedPool, sizeof(KDPC), m_Tag);
    if (m_Dpc != NULL) {
        KeInitializeDpc(m_Dpc, routine, context);
    }
}

LARGE_INTEGER CTimer::DueTimeFor(LONG ms)
{
    // Relative (negative) time in 100-ns units, formed in 32 bits: exact for
    // 1 <= ms <= 429496, wrapped for every other value.
    LARGE_INTEGER due;
    due.LowPart = (ULONG)ms * (ULONG)(-10000);
    due.HighPart = -1;
    return due;
}

BOOLEAN CTimer::Set(LONG ms)
{
    if (m_Timer == NULL || m_Dpc == NULL) {
        return FALSE;
    }
    return KeSetTimer(m_Timer, DueTimeFor(ms), m_Dpc);
}

BOOLEAN CTimer::Cancel()
{
    if (m_Timer == NULL || m_Dpc == NULL) {
        return FALSE;
    }
    return KeCancelTimer(m_Timer);
}
