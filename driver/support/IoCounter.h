// Counts the requests a device has in progress: 1 (the device's own base
// reference) plus one per request. Changed only with interlocked operations.
#pragma once

#include "core/RefObject.h"
#include "support/Wait.h"

class CIoCounter : public CTraceable {
public:
    CIoCounter() : m_Count(1)
    {
        KeInitializeEvent(&m_ZeroEvent, SynchronizationEvent, FALSE);
        KeInitializeEvent(&m_IdleEvent, SynchronizationEvent, TRUE);
    }

    void Increment()
    {
        if (InterlockedIncrement(&m_Count) == 2) {
            KeClearEvent(&m_IdleEvent);
        }
    }
    void Decrement()
    {
        LONG n = InterlockedDecrement(&m_Count);
        if (n == 1) {
            KeSetEvent(&m_IdleEvent, 0, FALSE);
        } else if (n == 0) {
            KeSetEvent(&m_ZeroEvent, 0, FALSE);
        }
    }
    // Waits until no request is in progress; PASSIVE_LEVEL only. The idle
    // event alone can be stale (a Decrement to 1 racing an Increment to 2 may
    // set it after the clear), so the count decides and the event only wakes
    // the waiter.
    BOOLEAN WaitIdle()
    {
        PAGED_CODE();
        while (ReadNoFence(&m_Count) > 1) {
            WaitObject(&m_IdleEvent);
        }
        return TRUE;
    }

    KEVENT m_ZeroEvent;
    KEVENT m_IdleEvent;
    volatile LONG m_Count;
};
