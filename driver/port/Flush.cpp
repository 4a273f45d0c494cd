// Emptying the request lists at cleanup and removal, and the hand-off with the
// cancel routines of queued requests. Everything here runs at PASSIVE_LEVEL
// except TakeFromCancel, which any path that completes a queued request uses.
#include "port/SerialDevice.h"

void CSerialDevice::TakeFromCancel(PIRP Irp)
{
    // When IoCancelIrp has already claimed the cancel routine, that routine
    // runs (or is about to) under the cancel spin lock and will not find the
    // request in its list; passing through the lock once guarantees it has
    // stopped looking at the request before the request is completed and
    // freed.
    if (IoSetCancelRoutine(Irp, NULL) == NULL) {
        KIRQL irql;
        IoAcquireCancelSpinLock(&irql);
        IoReleaseCancelSpinLock(irql);
    }
}

CSerialDevice* CSerialDevice::CancelOwner(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    NT_ASSERT(KeGetCurrentIrql() == DISPATCH_LEVEL);
    CSerialDevice* self = static_cast<CSerialDevice*>(CDevice::FromDeviceObject(DeviceObject));
    if (self == NULL) {
        IoReleaseCancelSpinLock(Irp->CancelIrql);
    }
    return self;
}

void CSerialDevice::FlushRequests()
{
    PAGED_CODE();
    // A write transfer still in flight finds nothing more to send and ends
    // at its next completion with the bytes sent so far.
    m_WriteTotal = 0;
    FlushWrites();
    FlushRequestList(m_WaitList, m_WaitLock, kCancelCompletesWhatItGets);
    FlushRequestList(m_ReadList, m_ReadLock, kCancelCompletesWhatItFinds);
}

void CSerialDevice::FlushWrites()
{
    PAGED_CODE();
    Trace(kTraceEntry, "FlushRequestList");
    for (;;) {
        PIRP irp;
        {
            // The write in flight stays: its next completion finishes it.
            CLockGuard guard(&m_WriteLock);
            LONG index = m_WriteList.GetAt(0) == m_WriteActive ? 1 : 0;
            irp = (PIRP)m_WriteList.GetAt(index);
            if (irp != NULL) {
                m_WriteList.RemoveAt(index);
            }
        }
        if (irp == NULL) {
            return;
        }
        // Queued writes carry no cancel routine.
        CompleteRequest(irp, STATUS_NO_SUCH_DEVICE);
        m_IoCounter.Decrement();
    }
}

void CSerialDevice::FlushRequestList(CPtrList& list, CSpinLock& lock, CancelRule rule)
{
    PAGED_CODE();
    Trace(kTraceEntry, "FlushRequestList");
    for (;;) {
        PIRP irp;
        {
            CLockGuard guard(&lock);
            irp = (PIRP)list.RemoveHead();
        }
        if (irp == NULL) {
            return;
        }
        if (rule == kCancelCompletesWhatItGets) {
            if (IoSetCancelRoutine(irp, NULL) == NULL) {
                continue;  // its cancel routine completes it
            }
        } else {
            TakeFromCancel(irp);
        }
        CompleteRequest(irp, STATUS_NO_SUCH_DEVICE);
        m_IoCounter.Decrement();
    }
}
