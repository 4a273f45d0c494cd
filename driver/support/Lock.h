// The lock interface and its two kinds: a PASSIVE_LEVEL mutex made of an event,
// and a spin lock that raises to DISPATCH_LEVEL while held.
#pragma once

#include "core/RefObject.h"
#include "support/Wait.h"

class CLock : public CTraceable {
public:
    CLock() : m_Owner(0) {}
    // `value` is recorded as the owner while held (diagnostics only).
    virtual BOOLEAN Lock(ULONG value) = 0;
    virtual BOOLEAN Unlock() = 0;

    volatile ULONG m_Owner;
};

class CEventLock : public CLock {
public:
    // A signalled synchronization event behaves as a mutex.
    CEventLock() { KeInitializeEvent(&m_Event, SynchronizationEvent, TRUE); }

    // Above PASSIVE_LEVEL this only tries (and fails while the lock is held).
    virtual BOOLEAN Lock(ULONG value)
    {
        if (!WaitObject(&m_Event)) {
            return FALSE;
        }
        m_Owner = value;
        return TRUE;
    }
    virtual BOOLEAN Unlock()
    {
        m_Owner = 0;
        KeSetEvent(&m_Event, 0, FALSE);
        return TRUE;
    }

    KEVENT m_Event;
};

class CSpinLock : public CLock {
public:
    CSpinLock() : m_SpinLock(0), m_OldIrql(PASSIVE_LEVEL) { KeInitializeSpinLock(&m_SpinLock); }

    virtual BOOLEAN Lock(ULONG value)
    {
        KIRQL old = KeAcquireSpinLockRaiseToDpc(&m_SpinLock);
        // Only the holder writes the saved IRQL.
        m_OldIrql = old;
        m_Owner = value;
        return TRUE;
    }
    virtual BOOLEAN Unlock()
    {
        KIRQL old = m_OldIrql;
        m_Owner = 0;
        KeReleaseSpinLock(&m_SpinLock, old);
        return TRUE;
    }

    KSPIN_LOCK m_SpinLock;
    KIRQL m_OldIrql;
};

// Holds a lock for one scope. The result of Lock is not checked: the one event
// lock of the driver is only taken at PASSIVE_LEVEL, where Lock always succeeds.
class CLockGuard {
public:
    explicit CLockGuard(CLock* lock) : m_Lock(lock) { m_Lock->Lock(0); }
    ~CLockGuard() { m_Lock->Unlock(); }

    CLock* m_Lock;

private:
    CLockGuard(const CLockGuard&);
    CLockGuard& operator=(const CLockGuard&);
};
