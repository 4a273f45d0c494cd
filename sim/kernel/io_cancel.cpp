// IRP cancellation and the global cancel spin lock. The cancel routine runs
// at DISPATCH_LEVEL with the cancel spin lock held and must release it
// (IoReleaseCancelSpinLock(Irp->CancelIrql)).
#include "io_internal.h"

using namespace sim;

extern "C" VOID IoAcquireCancelSpinLock(PKIRQL Irql)
{
    *Irql = AcquireSpinLockFor(CancelSpinLock(), "IoAcquireCancelSpinLock");
}

extern "C" VOID IoReleaseCancelSpinLock(KIRQL Irql)
{
    ReleaseSpinLockFor(CancelSpinLock(), Irql, "IoReleaseCancelSpinLock");
}

namespace {

// Runs a cancel routine taken from the IRP; the caller holds the cancel spin
// lock (acquired at `irql`), which the routine releases.
void InvokeCancelRoutine(PIRP Irp, PDRIVER_CANCEL routine, KIRQL irql)
{
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
}

}  // namespace

bool sim::io::CancelRequest(const std::shared_ptr<IrpRecord>& rec)
{
    RequireIrql(DISPATCH_LEVEL, "IoCancelIrp");
    PIRP irp;
    KIRQL irql;
    PDRIVER_CANCEL routine;
    {
        Guard lock(Lock());
        if (rec->freed)
            return false;
        irp = rec->irp;
        IoAcquireCancelSpinLock(&irql);
        io::MarkCancelled(irp);
        routine = IoSetCancelRoutine(irp, nullptr);
    }
    if (!routine) {
        IoReleaseCancelSpinLock(irql);
        return false;
    }
    InvokeCancelRoutine(irp, routine, irql);
    return true;
}

extern "C" BOOLEAN IoCancelIrp(PIRP Irp)
{
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
    io::MarkCancelled(Irp);
    PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
    if (!routine) {
        IoReleaseCancelSpinLock(irql);
        return FALSE;
    }
    InvokeCancelRoutine(Irp, routine, irql);
    return TRUE;
}
