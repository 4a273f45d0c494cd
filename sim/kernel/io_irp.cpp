// IRP allocation and the per-IRP side records. Stack locations follow the
// IRP in memory as on Windows: a fresh IRP has CurrentLocation = StackCount+1
// and CurrentStackLocation one past the last location.
#include "io_internal.h"

#include <cstdlib>

namespace sim {
namespace io {
namespace {

// Keyed by address; a record is dropped when its IRP is freed, so an address
// reused by a later allocation gets a fresh record.
std::unordered_map<PIRP, std::shared_ptr<IrpRecord>> g_irps;  // guarded by Lock()

void InitializeIrp(PIRP irp, USHORT size, CCHAR stackSize)
{
    memset(irp, 0, size);
    irp->Type = 6;  // IO_TYPE_IRP
    irp->Size = size;
    irp->StackCount = stackSize;
    irp->CurrentLocation = (CHAR)(stackSize + 1);
    InitializeListHead(&irp->ThreadListEntry);
    irp->Tail.Overlay.CurrentStackLocation = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + stackSize;
}

void ReleaseRecordLocked(const std::shared_ptr<IrpRecord>& rec)
{
    rec->freed = true;
    if (rec->systemBuffer)
        free(rec->systemBuffer);
    rec->systemBuffer = nullptr;
    g_irps.erase(rec->irp);
}

}  // namespace

PIRP AllocateIrpLocked(CCHAR stackSize, IrpOwner owner, const char* builder)
{
    USHORT size = IoSizeOfIrp(stackSize);
    PIRP irp = static_cast<PIRP>(::operator new(size, std::align_val_t(16)));
    InitializeIrp(irp, size, stackSize);
    auto rec = std::make_shared<IrpRecord>();
    rec->irp = irp;
    rec->owner = owner;
    rec->builder = builder;
    rec->ownsMemory = true;
    g_irps[irp] = rec;
    return irp;
}

std::shared_ptr<IrpRecord> FindIrpLocked(PIRP irp)
{
    auto it = g_irps.find(irp);
    return it == g_irps.end() ? nullptr : it->second;
}

void FreeIrpLocked(const std::shared_ptr<IrpRecord>& rec)
{
    PIRP irp = rec->irp;
    bool owns = rec->ownsMemory;
    ReleaseRecordLocked(rec);
    if (owns)
        ::operator delete(irp, std::align_val_t(16));
}

bool DeviceHasPendingIrpLocked(PDEVICE_OBJECT device, PIRP* which)
{
    for (auto& [irp, rec] : g_irps) {
        if (!rec->inFlight || rec->at != device)
            continue;
        if (DispatchingOnThisThread(irp, device))
            continue;
        *which = irp;
        return true;
    }
    return false;
}

void IrpsShutdownLocked()
{
    std::vector<std::shared_ptr<IrpRecord>> left;
    for (auto& [irp, rec] : g_irps)
        left.push_back(rec);
    for (auto& rec : left) {
        const char* state = rec->inFlight ? "sent and never completed" : "allocated and never freed";
        ReportViolation("IRP_LEAKED", IrpText(rec->irp), "StopMachine",
                        std::string(state) + " (built by " + rec->builder + ")");
        if (rec->send) {
            std::lock_guard<std::mutex> l(rec->send->m);
            rec->send->abandoned = true;
        }
        FreeIrpLocked(rec);
    }
    g_irps.clear();
}

}  // namespace io
}  // namespace sim

using namespace sim;

extern "C" USHORT IoSizeOfIrp(CCHAR StackSize)
{
    return (USHORT)(sizeof(IRP) + (UCHAR)StackSize * sizeof(IO_STACK_LOCATION));
}

extern "C" PIRP IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota)
{
    (void)ChargeQuota;
    if (StackSize < 1) {
        ReportViolation("IRP_INVALID_STACK_SIZE", "stack size " + std::to_string((int)StackSize), "IoAllocateIrp",
                        "an IRP needs at least one stack location");
        return nullptr;
    }
    if (ShouldFail(FaultSite::Irp, 0))
        return nullptr;
    io::Guard lock(io::Lock());
    return io::AllocateIrpLocked(StackSize, io::IrpOwner::Driver, "IoAllocateIrp");
}

extern "C" VOID IoInitializeIrp(PIRP Irp, USHORT PacketSize, CCHAR StackSize)
{
    io::Guard lock(io::Lock());
    auto rec = io::FindIrpLocked(Irp);
    if (rec && rec->inFlight)
        ReportViolation("IRP_REUSED_IN_FLIGHT", io::IrpText(Irp), "IoInitializeIrp", "the IRP is still in flight");
    io::InitializeIrp(Irp, PacketSize, StackSize);
    if (rec) {
        rec->obligations.clear();
        rec->completedToTop = false;
        rec->inFlight = false;
        return;
    }
    rec = std::make_shared<io::IrpRecord>();
    rec->irp = Irp;
    rec->owner = io::IrpOwner::DriverMemory;
    rec->builder = "IoInitializeIrp";
    io::g_irps[Irp] = rec;
}

extern "C" VOID IoReuseIrp(PIRP Irp, NTSTATUS Status)
{
    io::Guard lock(io::Lock());
    auto rec = io::FindIrpLocked(Irp);
    if (!rec) {
        ReportViolation("IRP_INVALID", io::IrpText(Irp), "IoReuseIrp", "not a live IRP");
        return;
    }
    if (rec->inFlight)
        ReportViolation("IRP_REUSED_IN_FLIGHT", io::IrpText(Irp), "IoReuseIrp", "the IRP is still in flight");
    UCHAR flags = Irp->AllocationFlags;
    io::InitializeIrp(Irp, Irp->Size, Irp->StackCount);
    Irp->AllocationFlags = flags;
    Irp->IoStatus.Status = Status;
    rec->obligations.clear();
    rec->completedToTop = false;
    rec->inFlight = false;
}

extern "C" VOID IoFreeIrp(PIRP Irp)
{
    io::Guard lock(io::Lock());
    auto rec = io::FindIrpLocked(Irp);
    if (!rec) {
        ReportViolation("IRP_FREE_INVALID", io::IrpText(Irp), "IoFreeIrp", "not a live IRP (already freed?)");
        return;
    }
    if (rec->inFlight) {
        // Left allocated: the drivers below still own it.
        ReportViolation("IRP_FREED_IN_FLIGHT", io::IrpText(Irp), "IoFreeIrp",
                        "a lower driver has not completed it yet");
        return;
    }
    if (rec->owner == io::IrpOwner::IoManager) {
        ReportViolation("IRP_FREE_INVALID", io::IrpText(Irp), "IoFreeIrp",
                        "an I/O manager IRP (" + std::string(rec->builder) +
                            ") is freed by the I/O manager when it completes");
        return;
    }
    io::FreeIrpLocked(rec);
}
