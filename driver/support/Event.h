// A synchronization (auto-reset) event.
#pragma once

#include "core/RefObject.h"
#include "support/Wait.h"

class CEvent : public CTraceable {
public:
    explicit CEvent(BOOLEAN signalled) { KeInitializeEvent(&m_Event, SynchronizationEvent, signalled); }

    void Set() { KeSetEvent(&m_Event, 0, FALSE); }
    void Clear() { KeClearEvent(&m_Event); }
    // Waits at most `timeoutMs` milliseconds (-1: without limit); TRUE when
    // the event was signalled. Above PASSIVE_LEVEL it only looks.
    BOOLEAN Wait(LONG timeoutMs = -1) { return WaitObject(&m_Event, timeoutMs); }

    KEVENT m_Event;
};
