// IofCallDriver and IofCompleteRequest, with the I/O verifier's checks on
// them. The pending-mark check needs care: when a dispatch routine returns,
// its IRP may already be completed and freed, so the Control byte of each
// location is captured when completion walks past it, and the check is made
// when both the returned status and that capture are known.
#include "io_internal.h"
#include "po_internal.h"

#include <algorithm>
#include <map>
#include <string_view>

namespace sim {
namespace io {
namespace {

// "<driver name> <major name>" for each driver name and major code, built the
// first time a dispatch needs it and kept for the life of the process: every
// dispatch names its routine for the verifier's reports, and building the
// text anew each time was the costliest part of IoCallDriver. The strings
// never move or die, so a caller may keep the pointer past Lock().
// Guarded by Lock().
const std::string* DispatchNameLocked(PDRIVER_OBJECT driver, UCHAR major)
{
    static auto* names = new std::map<std::u16string, std::map<UCHAR, std::string>, std::less<>>();
    const UNICODE_STRING& n = driver->DriverName;
    std::u16string_view key(n.Buffer ? reinterpret_cast<const char16_t*>(n.Buffer) : u"", n.Length / sizeof(WCHAR));
    auto it = names->find(key);
    if (it == names->end())
        it = names->emplace(std::u16string(key), std::map<UCHAR, std::string>()).first;
    auto at = it->second.find(major);
    if (at == it->second.end())
        at = it->second.emplace(major, Narrow(it->first) + " " + MajorName(major)).first;
    return &at->second;
}

thread_local std::vector<std::pair<PIRP, PDEVICE_OBJECT>> t_dispatching;

void CheckMark(UCHAR control, NTSTATUS returned, const std::string& routine, PIRP irp)
{
    bool marked = (control & SL_PENDING_RETURNED) != 0;
    if (returned == STATUS_PENDING && !marked)
        ReportViolation("STATUS_PENDING_WITHOUT_MARK", IrpText(irp), routine.c_str(),
                        "returned STATUS_PENDING without IoMarkIrpPending on its stack location");
    else if (returned != STATUS_PENDING && marked)
        ReportViolation("MARKED_PENDING_BUT_NOT_RETURNED", IrpText(irp), routine.c_str(),
                        "marked the IRP pending but returned " + Hex((void*)(uintptr_t)(ULONG)returned));
}

// Completion is walking past `loc`: settle the checks that waited for it.
void PassLocationLocked(IrpRecord& rec, PIO_STACK_LOCATION loc)
{
    UCHAR control = loc->Control;
    for (CallFrame* f : rec.frames) {
        if (f->loc == loc && !f->passed) {
            f->passed = true;
            f->control = control;
        }
    }
    auto& ob = rec.obligations;
    for (auto it = ob.begin(); it != ob.end();) {
        if (it->loc == loc) {
            CheckMark(control, it->returned, it->routine, rec.irp);
            it = ob.erase(it);
        } else {
            ++it;
        }
    }
}

// The last step of an I/O manager IRP: copy buffered output back, report the
// status, signal the waiter, free the IRP.
void FinishIoManagerIrp(Guard& lock, const std::shared_ptr<IrpRecord>& rec)
{
    PIRP irp = rec->irp;
    IO_STATUS_BLOCK iosb = irp->IoStatus;
    bool copy = (irp->Flags & IRP_BUFFERED_IO) && (irp->Flags & IRP_INPUT_OPERATION) && !NT_ERROR(iosb.Status) &&
                rec->systemBuffer;
    ULONG_PTR n = copy ? iosb.Information : 0;
    if (n > rec->outputLength) {
        ReportViolation("IRP_INFORMATION_EXCEEDS_BUFFER", IrpText(irp), "IoCompleteRequest",
                        "IoStatus.Information " + std::to_string(n) + " exceeds the output buffer length " +
                            std::to_string(rec->outputLength));
        n = rec->outputLength;
    }
    PKEVENT event = nullptr;
    void (*onDone)(void*) = rec->onDone;
    void* onDoneContext = rec->onDoneContext;
    if (rec->send) {
        SendContext& s = *rec->send;
        std::lock_guard<std::mutex> l(s.m);
        if (!s.abandoned) {
            if (copy && n) {
                memcpy(s.output, rec->systemBuffer, n);
            } else if (!s.bounce.empty() && !NT_ERROR(iosb.Status)) {
                size_t m = std::min<size_t>(iosb.Information, s.outputLength);
                if (m)
                    memcpy(s.output, s.bounce.data(), m);
            }
            s.iosb = iosb;
        }
        s.done = true;
        s.cv.notify_all();
    } else {
        if (n)
            memcpy(irp->UserBuffer, rec->systemBuffer, n);
        if (irp->UserIosb) {
            // Callers poll the status without a lock (an OVERLAPPED's Internal
            // in GetOverlappedResult): the count goes first, then the status
            // word, published whole, so a status seen done comes with its count.
            irp->UserIosb->Information = iosb.Information;
            __atomic_store_n(&irp->UserIosb->Pointer, iosb.Pointer, __ATOMIC_RELEASE);
        }
        event = irp->UserEvent;
    }
    FreeIrpLocked(rec);
    lock.unlock();
    if (event)
        KeSetEvent(event, IO_NO_INCREMENT, FALSE);
    if (onDone)
        onDone(onDoneContext);
}

}  // namespace

bool DispatchingOnThisThread(PIRP irp, PDEVICE_OBJECT device)
{
    for (auto& [i, d] : t_dispatching)
        if (i == irp && d == device)
            return true;
    return false;
}

}  // namespace io
}  // namespace sim

using namespace sim;

extern "C" NTSTATUS IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    if (SpinLocksHeld() > 0)
        ReportViolation("CALL_WHILE_HOLDING_SPINLOCK", io::IrpText(Irp), "IoCallDriver",
                        "called while the thread holds a spin lock");
    if (CurrentIrql() > DISPATCH_LEVEL)
        ReportViolation("CALL_DRIVER_ABOVE_DISPATCH_LEVEL", io::IrpText(Irp), "IoCallDriver",
                        "called above DISPATCH_LEVEL");
    io::CallFrame frame;
    PDRIVER_DISPATCH routine = nullptr;
    const std::string* dispatchName = nullptr;
    {
        io::Guard lock(io::Lock());
        auto rec = io::FindIrpLocked(Irp);
        if (!rec) {
            ReportViolation("IRP_INVALID", io::IrpText(Irp), "IoCallDriver", "not a live IRP");
            return STATUS_INVALID_PARAMETER;
        }
        if (!io::IsDeviceLocked(DeviceObject)) {
            ReportViolation("INVALID_DEVICE_OBJECT", "device " + io::Hex(DeviceObject), "IoCallDriver",
                            "not a live device object");
            return STATUS_INVALID_PARAMETER;
        }
        if (rec->inFlight && Irp->CurrentLocation < rec->descentBase) {
            // The sender must own the IRP: its current location is the
            // caller's own. One that a lower driver holds (a location entered
            // by this flight's descent and not completed back) is no longer
            // the caller's to send; the originator's own location (above the
            // descent, as PoRequestPowerIrp's) is not held below.
            PDRIVER_OBJECT caller = io::CurrentDriver();
            PDEVICE_OBJECT holder = IoGetCurrentIrpStackLocation(Irp)->DeviceObject;
            if (caller && holder && io::IsDeviceLocked(holder) && holder->DriverObject != caller) {
                ReportViolation("IRP_SENT_WHILE_OWNED_BELOW", io::IrpText(Irp), "IoCallDriver",
                                "sent to " + io::DeviceText(DeviceObject) + " while " + io::DeviceText(holder) +
                                    " still owns it (sent down and not completed back)");
                return STATUS_INVALID_PARAMETER;
            }
        }
        if (Irp->CurrentLocation <= 1) {
            ReportViolation("IRP_NO_STACK_LOCATION", io::IrpText(Irp), "IoCallDriver",
                            "no stack location left for " + io::DeviceText(DeviceObject) + " (StackCount " +
                                std::to_string((int)Irp->StackCount) + ")");
            return STATUS_INVALID_PARAMETER;
        }
        if (!rec->inFlight) {
            rec->inFlight = true;
            rec->descentBase = Irp->CurrentLocation;
            rec->completedToTop = false;
        }
        Irp->CurrentLocation--;
        Irp->Tail.Overlay.CurrentStackLocation--;
        PIO_STACK_LOCATION loc = IoGetCurrentIrpStackLocation(Irp);
        loc->DeviceObject = DeviceObject;
        rec->at = DeviceObject;
        auto& ob = rec->obligations;
        ob.erase(std::remove_if(ob.begin(), ob.end(), [&](const io::IrpRecord::Obligation& o) { return o.loc == loc; }),
                 ob.end());
        frame.rec = rec;
        frame.loc = loc;
        rec->frames.push_back(&frame);
        UCHAR major = loc->MajorFunction;
        routine = major <= IRP_MJ_MAXIMUM_FUNCTION ? DeviceObject->DriverObject->MajorFunction[major] : nullptr;
        if (!routine)
            routine = io::InvalidDeviceRequest;
        dispatchName = io::DispatchNameLocked(DeviceObject->DriverObject, major);
    }
    const std::string& name = *dispatchName;
    UCHAR dispatchedMajor = frame.loc->MajorFunction;
    BreakAt(BreakPoint::BeforeCallDriver, Irp, dispatchedMajor);
    po::OnDispatch(Irp, DeviceObject, frame.loc);
    io::t_dispatching.emplace_back(Irp, DeviceObject);
    NTSTATUS st;
    {
        io::DriverScope scope(DeviceObject->DriverObject);
        st = CallDriverRoutine(name.c_str(), [&] { return routine(DeviceObject, Irp); });
    }
    io::t_dispatching.pop_back();
    io::Guard lock(io::Lock());
    auto& frames = frame.rec->frames;
    frames.erase(std::remove(frames.begin(), frames.end(), &frame), frames.end());
    if (frame.passed)
        io::CheckMark(frame.control, st, name, Irp);
    else if (!frame.rec->freed)
        frame.rec->obligations.push_back({frame.loc, st, name});
    lock.unlock();
    BreakAt(BreakPoint::AfterCallDriver, Irp, dispatchedMajor);
    return st;
}

namespace {

// IoCompleteRequest's work; the major function of the location it started
// from in *major (0xFF when the IRP was no live IRP).
void CompleteRequest(PIRP Irp, UCHAR* major);

}  // namespace

extern "C" VOID IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost)
{
    (void)PriorityBoost;
    UCHAR major = 0xFF;
    CompleteRequest(Irp, &major);
    if (major != 0xFF)
        BreakAt(BreakPoint::AfterCompleteRequest, Irp, major);
}

namespace {

void CompleteRequest(PIRP Irp, UCHAR* major)
{
    if (SpinLocksHeld() > 0)
        ReportViolation("CALL_WHILE_HOLDING_SPINLOCK", io::IrpText(Irp), "IoCompleteRequest",
                        "called while the thread holds a spin lock");
    if (CurrentIrql() > DISPATCH_LEVEL)
        ReportViolation("COMPLETE_ABOVE_DISPATCH_LEVEL", io::IrpText(Irp), "IoCompleteRequest",
                        "called above DISPATCH_LEVEL");
    std::shared_ptr<io::IrpRecord> rec;
    {
        io::Guard lock(io::Lock());
        rec = io::FindIrpLocked(Irp);
        if (!rec) {
            ReportViolation("IRP_COMPLETED_TWICE", io::IrpText(Irp), "IoCompleteRequest",
                            "not a live IRP: already completed and freed, or never allocated");
            return;
        }
        if (Irp->CurrentLocation > Irp->StackCount + 1 ||
            (rec->completedToTop && Irp->CurrentLocation == Irp->StackCount + 1)) {
            ReportViolation("IRP_COMPLETED_TWICE", io::IrpText(Irp), "IoCompleteRequest",
                            "the IRP has already been completed");
            return;
        }
        if (Irp->IoStatus.Status == STATUS_PENDING)
            ReportViolation("IRP_COMPLETED_WITH_STATUS_PENDING", io::IrpText(Irp), "IoCompleteRequest",
                            "IoStatus.Status is STATUS_PENDING");
        // IoCancelIrp may exchange the routine on another thread at any time.
        if (PDRIVER_CANCEL set = __atomic_load_n(&Irp->CancelRoutine, __ATOMIC_ACQUIRE))
            ReportViolation("IRP_COMPLETED_WITH_CANCEL_ROUTINE", io::IrpText(Irp), "IoCompleteRequest",
                            "cancel routine " + io::Hex((void*)set) + " is still set");
        *major = Irp->CurrentLocation <= Irp->StackCount ? IoGetCurrentIrpStackLocation(Irp)->MajorFunction : 0;
    }
    BreakAt(BreakPoint::BeforeCompleteRequest, Irp, *major);
    if (!po::OnComplete(Irp)) {
        *major = 0xFF;
        return;
    }
    if (Irp->CurrentLocation <= Irp->StackCount) {
        PIO_STACK_LOCATION loc = IoGetCurrentIrpStackLocation(Irp);
        Irp->CurrentLocation++;
        Irp->Tail.Overlay.CurrentStackLocation++;
        for (;;) {
            PIO_COMPLETION_ROUTINE routine;
            PVOID context;
            UCHAR control;
            {
                io::Guard lock(io::Lock());
                io::PassLocationLocked(*rec, loc);
                rec->at =
                    Irp->CurrentLocation <= Irp->StackCount ? IoGetCurrentIrpStackLocation(Irp)->DeviceObject : nullptr;
                if (rec->inFlight && Irp->CurrentLocation >= rec->descentBase)
                    rec->inFlight = false;
                control = loc->Control;
                routine = loc->CompletionRoutine;
                context = loc->Context;
                Irp->PendingReturned = (control & SL_PENDING_RETURNED) != 0;
                loc->MinorFunction = 0;
                loc->Flags = 0;
                loc->Control &= SL_ERROR_RETURNED;
                memset(&loc->Parameters.Others, 0, sizeof loc->Parameters.Others);
                loc->FileObject = nullptr;
            }
            NTSTATUS status = Irp->IoStatus.Status;
            bool invoke = routine && ((NT_SUCCESS(status) && (control & SL_INVOKE_ON_SUCCESS)) ||
                                      (!NT_SUCCESS(status) && (control & SL_INVOKE_ON_ERROR)) ||
                                      (io::CancelSet(Irp) && (control & SL_INVOKE_ON_CANCEL)));
            if (invoke) {
                PDEVICE_OBJECT dev = Irp->CurrentLocation == Irp->StackCount + 1
                                         ? nullptr
                                         : IoGetCurrentIrpStackLocation(Irp)->DeviceObject;
                po::OnCompletionRoutine(Irp);
                NTSTATUS r;
                {
                    io::DriverScope scope(dev ? dev->DriverObject : io::CurrentDriver());
                    r = CallDriverRoutine("IoCompletion routine", [&] { return routine(dev, Irp, context); });
                }
                if (r == STATUS_MORE_PROCESSING_REQUIRED)
                    return;
                io::Guard lock(io::Lock());
                if (rec->freed) {
                    ReportViolation("IRP_FREED_IN_FLIGHT", io::IrpText(Irp), "IoCompletion routine",
                                    "freed the IRP but did not return STATUS_MORE_PROCESSING_REQUIRED");
                    return;
                }
            } else if (Irp->PendingReturned && Irp->CurrentLocation <= Irp->StackCount) {
                IoMarkIrpPending(Irp);
            }
            if (Irp->CurrentLocation > Irp->StackCount)
                break;
            loc = IoGetCurrentIrpStackLocation(Irp);
            Irp->CurrentLocation++;
            Irp->Tail.Overlay.CurrentStackLocation++;
        }
    }
    io::Guard lock(io::Lock());
    rec->inFlight = false;
    rec->at = nullptr;
    rec->completedToTop = true;
    if (rec->owner == io::IrpOwner::IoManager) {
        io::FinishIoManagerIrp(lock, rec);
        return;
    }
    ReportViolation("DRIVER_IRP_COMPLETED_TO_IO_MANAGER", io::IrpText(Irp), "IoCompleteRequest",
                    std::string("an IRP from ") + rec->builder +
                        " completed past its last stack location: its sender needs a completion routine "
                        "returning STATUS_MORE_PROCESSING_REQUIRED");
}

}  // namespace
