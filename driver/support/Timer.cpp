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
    LARGE_INTEGER due;
    if (ms > 0) {
        // Formed in 64 bits: a period of ten minutes must not wrap to a
        // shorter one.
        due.QuadPart = -(LONGLONG)ms * 10000;
        return due;
    }
    // Relative (negative) time in 100-ns units with only the low half formed
    // from the value: what callers of negative periods have always received.
    due.LowPart = (ULONG)ms * (ULONG)(-10000);
    due.HighPart = -1;
    return due;
}

ULONGLONG CTimer::Now()
{
    LARGE_INTEGER frequency;
    LARGE_INTEGER count = KeQueryPerformanceCounter(&frequency);
    ULONGLONG f = (ULONGLONG)frequency.QuadPart;
    ULONGLONG c = (ULONGLONG)count.QuadPart;
    if (f == 0) {
        return 0;
    }
    // Split so that neither product overflows whatever the frequency.
    return c / f * 10000000 + c % f * 10000000 / f;
}

BOOLEAN CTimer::Set(LONG ms)
{
    if (m_Timer == NULL || m_Dpc == NULL) {
        return FALSE;
    }
    return KeSetTimer(m_Timer, DueTimeFor(ms), m_Dpc);
}

BOOLEAN CTimer::SetRelative(LONGLONG hundredNs)
{
    if (m_Timer == NULL || m_Dpc == NULL) {
        return FALSE;
    }
    LARGE_INTEGER due;
    due.QuadPart = hundredNs > 0 ? -hundredNs : -1;
    return KeSetTimer(m_Timer, due, m_Dpc);
}

BOOLEAN CTimer::Cancel()
{
    if (m_Timer == NULL || m_Dpc == NULL) {
        return FALSE;
    }
    return KeCancelTimer(m_Timer);
}
