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
    // already pending. See DueTimeFor for what a value of 0 or below means.
    BOOLEAN Set(LONG ms);
    // Arms (or re-arms) the timer `hundredNs` 100-ns units from now (at
    // least one unit).
    BOOLEAN SetRelative(LONGLONG hundredNs);
    // TRUE when the timer was pending.
    BOOLEAN Cancel();

    // The relative due time of `ms` milliseconds: exact for every positive
    // value. A value of 0 or below keeps its historic 32-bit form, whose
    // low half wraps: -10 (what the read time-outs of MAXULONG settings come
    // to) gives about 429.5 seconds.
    static LARGE_INTEGER DueTimeFor(LONG ms);
    // The machine's monotonic clock in 100-ns units, at any IRQL; relative
    // due times count on the same clock.
    static ULONGLONG Now();

    PKTIMER m_Timer;
    PKDPC m_Dpc;
    ULONG m_Tag;

private:
    CTimer(const CTimer&);
    CTimer& operator=(const CTimer&);

    void ReleaseDpc();
};
