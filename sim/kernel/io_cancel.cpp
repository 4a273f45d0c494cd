// IRP cancellation and the global cancel spin lock. The cancel routine runs
// at DISPATCH_LEVEL with the cancel spin lock held and must release it
// (IoReleaseCancelSpinLock(Irp->CancelIrql)).
#include "io_internal.h"

using namespace sim;

extern "C" VOID IoAcquireCancelSpinLock(PKIRQL Irql) {
    *Irql = AcquireSpinLockFor(CancelSpinLock(), "IoAcquireCancelSpinLock");
}

extern "C" VOID IoReleaseCancelSpinLock(KIRQL Irql) {
    ReleaseSpinLockFor(CancelSpinLock(), Irql, "IoReleaseCancelSpinLock");
}

extern "C" BOOLEAN IoCancelIrp(PIRP Irp) {
    RequireIrql(DISPATCH_LEVEL, "IoCancelIrp");
    {
        io::Guard lock(io::Lock());
        if (!io::FindIrpLocked(Irp)) {
            ReportViolation("IRP_INVALID", io::IrpText(Irp), "IoCancelIrp",
                            "not a live IRP (completed and freed already?)");
            return FALSE;
        }
    }
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    Irp->Cancel = TRUE;
    PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
    if (!routine) {
        IoReleaseCancelSpinLock(irql);
        return FALSE;
    }
    Irp->CancelIrql = irql;
    PDEVICE_OBJECT device =
        Irp->CurrentLocation <= Irp->StackCount ? IoGetCurrentIrpStackLocation(Irp)->DeviceObject : nullptr;
    {
        io::DriverScope scope(device ? device->DriverObject : io::CurrentDriver());
        routine(device, Irp);
    }
    // The routine leaves at the IRQL the canceller had, without the lock.
    if (HoldsSpinLock(CancelSpinLock())) {
        ReportViolation("CANCEL_SPINLOCK_NOT_RELEASED", io::IrpText(Irp), "cancel routine",
                        "returned holding the cancel spin lock");
        IoReleaseCancelSpinLock(irql);
    } else if (CurrentIrql() != irql) {
        ReportViolation("IRQL_NOT_RESTORED", io::IrpText(Irp), "cancel routine",
                        "returned at another IRQL than the canceller's");
        SetCurrentIrql(irql);
    }
    return TRUE;
}
