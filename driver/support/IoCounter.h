// Counts the requests a device has in progress: 1 (the device's own base
// unit) plus one per request. Changed only with interlocked operations.
//
// Removal gives back the base unit and waits for zero. Zero comes once, and
// the event the decrement to zero sets is that request's last touch of the
// device, so the device may go as soon as the wait returns. (Waiting for the
// count to read 1 instead let removal free the device between a request's
// decrement and its event set, which then wrote freed memory.)
#pragma once

#include "core/RefObject.h"
#include "support/Wait.h"

class CIoCounter : public CTraceable {
public:
    CIoCounter() : m_Count(1) { KeInitializeEvent(&m_ZeroEvent, NotificationEvent, FALSE); }

    void Increment() { InterlockedIncrement(&m_Count); }
    // Any IRQL <= DISPATCH_LEVEL. A caller whose unit may be the last one
    // touches nothing of the device after this call.
    void Decrement()
    {
        if (InterlockedDecrement(&m_Count) == 0) {
            KeSetEvent(&m_ZeroEvent, 0, FALSE);
        }
    }
    // Removal only, once, PASSIVE_LEVEL: gives back the base unit and waits
    // until every request has given back its own.
    void ReleaseAndWaitZero()
    {
        PAGED_CODE();
        Decrement();
        WaitObject(&m_ZeroEvent);
    }

    KEVENT m_ZeroEvent;
    volatile LONG m_Count;
};
