// Emptying the request lists at cleanup and removal.
#include "usb/SerialDevice.h"

void CSerialDevice::FlushRequestList(CPtrList& list, CSpinLock& lock)
{
    Trace(4, "FlushRequestList");
    BOOLEAN writes = &list == &m_WriteList;
    for (;;) {
        PIRP irp;
        lock.Lock(0);
        if (writes) {
            // The write in flight stays: its next completion finishes it.
            LONG index = list.GetAt(0) == m_WriteActive ? 1 : 0;
            irp = (PIRP)list.GetAt(index);
            if (irp != NULL) {
                list.RemoveAt(index);
            }
        } else {
            irp = (PIRP)list.RemoveHead();
        }
        lock.Unlock();
        if (irp == NULL) {
            return;
        }
        if (IoSetCancelRoutine(irp, NULL) == NULL && !writes) {
            // CancelRead is running for it but will not find it in the list:
            // let it leave the cancel spin lock before the request goes.
            KIRQL irql;
            IoAcquireCancelSpinLock(&irql);
            IoReleaseCancelSpinLock(irql);
        }
        CompleteRequest(irp, STATUS_NO_SUCH_DEVICE);
        m_IoCounter.Decrement();
    }
}
