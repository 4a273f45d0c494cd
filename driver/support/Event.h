// A synchronization (auto-reset) event.
#pragma once

#include "core/RefObject.h"
#include "support/Wait.h"

class CEvent : public CTraceable {
public:
    explicit CEvent(BOOLEAN signalled) { KeInitializeEvent(&m_Event, SynchronizationEvent, signalled); }

    void Set() { KeSetEvent(&m_Event, 0, FALSE); }
    void Clear() { KeClearEvent(&m_Event); }
    // `timeout` does not change the wait rule (callers pass -1).
    BOOLEAN Wait(LONG timeout = -1)
    {
        UNREFERENCED_PARAMETER(timeout);
        return WaitObject(&m_Event);
    }

    KEVENT m_Event;
};
