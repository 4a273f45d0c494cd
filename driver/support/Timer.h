// A one-shot kernel timer with its DPC, both in pool blocks of the given tag.
#pragma once

#include "core/RefObject.h"

class CTimer : public CTraceable {
public:
    explicit CTimer(ULONG tag);
    ~CTimer();

    // Installs the DPC the timer queues when it expires (replacing an older one).
    void SetDpc(PKDEFERRED_ROUTINE routine, PVOID context);
    // Arms (or re-arms) the timer `ms` milliseconds from now; TRUE when it was
    // already pending. The 100-ns due time is formed in 32 bits, so values
    // outside 1..429496 wrap (see DueTimeFor); nothing is clamped.
    BOOLEAN Set(LONG ms);
    // TRUE when the timer was pending.
    BOOLEAN Cancel();

    static LARGE_INTEGER DueTimeFor(LONG ms);

    PKTIMER m_Timer;
    PKDPC m_Dpc;
    ULONG m_Tag;

private:
    CTimer(const CTimer&);
    CTimer& operator=(const CTimer&);

    void ReleaseDpc();
};
