// Every rule the I/O manager's verifier owns, broken on purpose by a faulty
// test driver routine and shown to be reported.
#include "io_test_driver.h"

#include <thread>

using namespace io_test;
using sim_test::TakeViolation;

namespace {

class IoVerifierTest : public RecordingMachineTest {
protected:
    void SetUp() override
    {
        RecordingMachineTest::SetUp();
        held_ = nullptr;
        KeInitializeEvent(&arrived_, NotificationEvent, FALSE);
    }
    // Stops the machine here to see the teardown reports; true when `rule` was among them.
    bool StopAndTake(const char* rule)
    {
        sim::StopMachine();
        return TakeViolation(rule);
    }
    PDEVICE_OBJECT Device(PDRIVER_DISPATCH dispatch, const wchar_t* name = L"\\Device\\IoV")
    {
        return MakeDevice(LoadTestDriver(L"iov", dispatch), name);
    }

    static PIRP held_;
    static KEVENT arrived_;
    static NTSTATUS HoldPending(PDEVICE_OBJECT, PIRP irp)
    {
        IoMarkIrpPending(irp);
        held_ = irp;
        KeSetEvent(&arrived_, IO_NO_INCREMENT, FALSE);
        return STATUS_PENDING;
    }
};
PIRP IoVerifierTest::held_;
KEVENT IoVerifierTest::arrived_;

NTSTATUS FreeAndStop(PDEVICE_OBJECT, PIRP irp, PVOID)
{
    IoFreeIrp(irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// ---------------------------------------------------------------- completion

TEST_F(IoVerifierTest, CompletingTwiceIsReported)
{
    PDEVICE_OBJECT d = Device([](PDEVICE_OBJECT, PIRP irp) {
        CompleteWith(irp, STATUS_SUCCESS);
        IoCompleteRequest(irp, IO_NO_INCREMENT);  // the IRP is gone: only the pointer is passed
        return STATUS_SUCCESS;
    });
    sim::SendIrp(d, IRP_MJ_READ);
    EXPECT_TRUE(TakeViolation("IRP_COMPLETED_TWICE"));
}

TEST_F(IoVerifierTest, CompletingWithStatusPendingIsReported)
{
    PDEVICE_OBJECT d = Device([](PDEVICE_OBJECT, PIRP irp) {
        CompleteWith(irp, STATUS_PENDING);
        return STATUS_SUCCESS;
    });
    sim::SendIrp(d, IRP_MJ_READ);
    EXPECT_TRUE(TakeViolation("IRP_COMPLETED_WITH_STATUS_PENDING"));
}

VOID NeverCalled(PDEVICE_OBJECT, PIRP) {}

TEST_F(IoVerifierTest, CompletingWithACancelRoutineSetIsReported)
{
    PDEVICE_OBJECT d = Device([](PDEVICE_OBJECT, PIRP irp) {
        IoSetCancelRoutine(irp, NeverCalled);
        return CompleteWith(irp, STATUS_SUCCESS);
    });
    sim::SendIrp(d, IRP_MJ_READ);
    EXPECT_TRUE(TakeViolation("IRP_COMPLETED_WITH_CANCEL_ROUTINE"));
}

TEST_F(IoVerifierTest, CompletingWhileHoldingASpinLockIsReported)
{
    PDEVICE_OBJECT d = Device([](PDEVICE_OBJECT, PIRP irp) {
        static KSPIN_LOCK lock;
        KeInitializeSpinLock(&lock);
        KIRQL old;
        KeAcquireSpinLock(&lock, &old);
        CompleteWith(irp, STATUS_SUCCESS);
        KeReleaseSpinLock(&lock, old);
        return STATUS_SUCCESS;
    });
    sim::SendIrp(d, IRP_MJ_READ);
    EXPECT_TRUE(TakeViolation("CALL_WHILE_HOLDING_SPINLOCK"));
}

TEST_F(IoVerifierTest, CompletingAboveDispatchLevelIsReported)
{
    PDEVICE_OBJECT d = Device([](PDEVICE_OBJECT, PIRP irp) {
        KIRQL old;
        KeRaiseIrql(HIGH_LEVEL, &old);
        CompleteWith(irp, STATUS_SUCCESS);
        KeLowerIrql(old);
        return STATUS_SUCCESS;
    });
    sim::SendIrp(d, IRP_MJ_READ);
    EXPECT_TRUE(TakeViolation("COMPLETE_ABOVE_DISPATCH_LEVEL"));
}

TEST_F(IoVerifierTest, CallingDriversAboveDispatchLevelIsReported)
{
    PDEVICE_OBJECT d = Device(CompleteSuccess);
    PIRP irp = IoAllocateIrp(1, FALSE);
    IoSetCompletionRoutine(irp, FreeAndStop, nullptr, TRUE, TRUE, TRUE);
    sim::RunAtIrql(HIGH_LEVEL, [&] { IoCallDriver(d, irp); });
    EXPECT_TRUE(TakeViolation("CALL_DRIVER_ABOVE_DISPATCH_LEVEL"));
}

// ---------------------------------------------------------------- pending

TEST_F(IoVerifierTest, ReturningPendingWithoutTheMarkIsReported)
{
    PDEVICE_OBJECT d = Device([](PDEVICE_OBJECT, PIRP irp) {
        CompleteWith(irp, STATUS_SUCCESS);
        return STATUS_PENDING;
    });
    sim::SendIrp(d, IRP_MJ_READ);
    EXPECT_TRUE(TakeViolation("STATUS_PENDING_WITHOUT_MARK"));
}

TEST_F(IoVerifierTest, ReturningPendingWithoutTheMarkIsReportedWhenCompletedLater)
{
    PDEVICE_OBJECT d = Device([](PDEVICE_OBJECT, PIRP irp) {
        held_ = irp;
        KeSetEvent(&arrived_, IO_NO_INCREMENT, FALSE);
        return STATUS_PENDING;  // no IoMarkIrpPending
    });
    sim::IrpResult r{};
    std::thread client([&] { r = sim::SendIrp(d, IRP_MJ_READ); });
    ASSERT_TRUE(WaitEvent(&arrived_));
    EXPECT_FALSE(sim::HasViolation("STATUS_PENDING_WITHOUT_MARK")) << "undecided until completion";
    CompleteWith(held_, STATUS_SUCCESS);
    client.join();
    EXPECT_TRUE(r.completed);
    EXPECT_TRUE(TakeViolation("STATUS_PENDING_WITHOUT_MARK"));
}

TEST_F(IoVerifierTest, MarkingPendingAndReturningAnotherStatusIsReported)
{
    PDEVICE_OBJECT d = Device([](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        return CompleteWith(irp, STATUS_SUCCESS);
    });
    sim::SendIrp(d, IRP_MJ_READ);
    EXPECT_TRUE(TakeViolation("MARKED_PENDING_BUT_NOT_RETURNED"));
}

// ---------------------------------------------------------------- driver IRPs

TEST_F(IoVerifierTest, CallingWithNoStackLocationLeftIsReported)
{
    PDEVICE_OBJECT d = Device(CompleteSuccess);
    PIRP irp = IoAllocateIrp(1, FALSE);
    IoSetNextIrpStackLocation(irp);  // the only location used up by the sender
    EXPECT_NE(IoCallDriver(d, irp), STATUS_SUCCESS);
    EXPECT_TRUE(TakeViolation("IRP_NO_STACK_LOCATION"));
    IoFreeIrp(irp);
}

TEST_F(IoVerifierTest, DriverIrpCompletedToTheTopIsReported)
{
    PDEVICE_OBJECT d = Device(CompleteSuccess);
    PIRP irp = IoAllocateIrp(d->StackSize, FALSE);  // no completion routine
    IoCallDriver(d, irp);
    EXPECT_TRUE(TakeViolation("DRIVER_IRP_COMPLETED_TO_IO_MANAGER"));
    IoFreeIrp(irp);
}

TEST_F(IoVerifierTest, FreeingAnIrpInFlightIsReportedAndTheIrpKept)
{
    PDEVICE_OBJECT d = Device(HoldPending);
    PIRP irp = IoAllocateIrp(d->StackSize, FALSE);
    IoSetCompletionRoutine(irp, FreeAndStop, nullptr, TRUE, TRUE, TRUE);
    IoCallDriver(d, irp);
    IoFreeIrp(irp);
    EXPECT_TRUE(TakeViolation("IRP_FREED_IN_FLIGHT"));
    CompleteWith(held_, STATUS_SUCCESS);  // the routine frees it, legitimately
    EXPECT_FALSE(sim::HasViolation("IRP_FREED_IN_FLIGHT"));
}

TEST_F(IoVerifierTest, ReusingAnIrpInFlightIsReported)
{
    PDEVICE_OBJECT d = Device(HoldPending);
    PIRP irp = IoAllocateIrp(d->StackSize, FALSE);
    IoSetCompletionRoutine(irp, FreeAndStop, nullptr, TRUE, TRUE, TRUE);
    IoCallDriver(d, irp);
    IoReuseIrp(irp, STATUS_SUCCESS);
    EXPECT_TRUE(TakeViolation("IRP_REUSED_IN_FLIGHT"));
    IoFreeIrp(irp);  // the reuse took it back from the lower driver
    EXPECT_FALSE(sim::HasViolation("IRP_FREE_INVALID"));
}

TEST_F(IoVerifierTest, FreeingAnIoManagerIrpIsReported)
{
    PDEVICE_OBJECT d = Device(CompleteSuccess);
    KEVENT e;
    KeInitializeEvent(&e, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb;
    PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_FLUSH_BUFFERS, d, nullptr, 0, nullptr, &e, &iosb);
    IoFreeIrp(irp);
    EXPECT_TRUE(TakeViolation("IRP_FREE_INVALID"));
    IoCompleteRequest(irp, IO_NO_INCREMENT);  // how a built IRP is discarded
    EXPECT_TRUE(WaitEvent(&e, 0));
}

TEST_F(IoVerifierTest, AnIrpNeverFreedIsReportedAtStop)
{
    Device(CompleteSuccess);
    ASSERT_NE(IoAllocateIrp(2, FALSE), nullptr);
    EXPECT_TRUE(StopAndTake("IRP_LEAKED"));
}

TEST_F(IoVerifierTest, InformationBeyondTheOutputBufferIsReported)
{
    PDEVICE_OBJECT d = Device([](PDEVICE_OBJECT, PIRP irp) { return CompleteWith(irp, STATUS_SUCCESS, 64); });
    char buffer[8] = {};
    sim::SendIrp(d, IRP_MJ_READ, 0, buffer, sizeof buffer);
    EXPECT_TRUE(TakeViolation("IRP_INFORMATION_EXCEEDS_BUFFER"));
}

TEST_F(IoVerifierTest, PoCallDriverWithANonPowerIrpIsReported)
{
    PDEVICE_OBJECT d = Device(CompleteSuccess);
    PIRP irp = IoAllocateIrp(1, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
    IoSetCompletionRoutine(irp, FreeAndStop, nullptr, TRUE, TRUE, TRUE);
    PoCallDriver(d, irp);
    EXPECT_TRUE(TakeViolation("POCALLDRIVER_NOT_POWER_IRP"));
}

TEST_F(IoVerifierTest, AnIrpWithoutStackLocationsIsRefused)
{
    EXPECT_EQ(IoAllocateIrp(0, FALSE), nullptr);
    EXPECT_TRUE(TakeViolation("IRP_INVALID_STACK_SIZE"));
}

TEST_F(IoVerifierTest, CancellingAFreedIrpIsReported)
{
    PIRP irp = IoAllocateIrp(1, FALSE);
    IoFreeIrp(irp);
    EXPECT_FALSE(IoCancelIrp(irp));
    EXPECT_TRUE(TakeViolation("IRP_INVALID"));
}

TEST_F(IoVerifierTest, CallingADeletedDeviceWhoseObjectIsGoneIsReported)
{
    PDEVICE_OBJECT d = Device(CompleteSuccess);
    IoDeleteDevice(d);
    PIRP irp = IoAllocateIrp(1, FALSE);
    EXPECT_EQ(IoCallDriver(d, irp), STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(TakeViolation("INVALID_DEVICE_OBJECT"));
    IoFreeIrp(irp);
}

// ---------------------------------------------------------------- cancel

PIRP g_cancelled = nullptr;
VOID CancelKeepingTheLock(PDEVICE_OBJECT, PIRP irp)
{
    g_cancelled = irp;
}

TEST_F(IoVerifierTest, CancelRoutineKeepingTheCancelSpinLockIsReported)
{
    PDEVICE_OBJECT d = Device(HoldPending);
    sim::IrpResult r{};
    std::thread client([&] { r = sim::SendIrp(d, IRP_MJ_READ); });
    ASSERT_TRUE(WaitEvent(&arrived_));
    IoSetCancelRoutine(held_, CancelKeepingTheLock);
    EXPECT_TRUE(IoCancelIrp(held_));
    EXPECT_EQ(sim::SpinLocksHeld(), 0) << "the verifier released it";
    EXPECT_TRUE(TakeViolation("CANCEL_SPINLOCK_NOT_RELEASED"));
    CompleteWith(held_, STATUS_CANCELLED);
    client.join();
    EXPECT_EQ(r.ioStatus.Status, STATUS_CANCELLED);
}

// ---------------------------------------------------------------- devices

TEST_F(IoVerifierTest, DeletingADeviceWithOneAttachedAboveIsReported)
{
    PDEVICE_OBJECT lower = Device(CompleteSuccess, L"\\Device\\IoLow");
    PDEVICE_OBJECT upper = MakeDevice(lower->DriverObject, nullptr, lower);
    IoDeleteDevice(lower);
    EXPECT_TRUE(TakeViolation("DEVICE_DELETED_WHILE_ATTACHED"));
    IoDetachDevice(lower);
    ExtOf(upper)->lower = nullptr;
}

TEST_F(IoVerifierTest, DeletingADeviceStillAttachedBelowIsReported)
{
    PDEVICE_OBJECT lower = Device(CompleteSuccess, L"\\Device\\IoLow");
    PDEVICE_OBJECT upper = MakeDevice(lower->DriverObject, nullptr, lower);
    IoDeleteDevice(upper);
    EXPECT_TRUE(TakeViolation("DEVICE_DELETED_WHILE_ATTACHED"));
    IoDetachDevice(lower);
}

TEST_F(IoVerifierTest, DeletingAnFdoAfterDetachingIsClean)
{
    PDEVICE_OBJECT lower = Device(CompleteSuccess, L"\\Device\\IoLow");
    PDEVICE_OBJECT upper = MakeDevice(lower->DriverObject, nullptr, lower);
    IoDetachDevice(lower);
    IoDeleteDevice(upper);
    EXPECT_TRUE(sim::Violations().empty()) << sim_test::ViolationText();
}

// A device of a PnP stack is deleted by its removal, which comes only once its
// handles are closed.
TEST_F(IoVerifierTest, DeletingAStackDeviceWithOpenFilesIsReported)
{
    PDRIVER_OBJECT driver = LoadTestDriver(L"iov", CompleteSuccess);
    PDEVICE_OBJECT lower = MakeDevice(driver, L"\\Device\\IoVLow");
    PDEVICE_OBJECT d = MakeDevice(driver, L"\\Device\\IoV", lower);
    PFILE_OBJECT f = sim::OpenDevice(L"\\Device\\IoV");
    ASSERT_NE(f, nullptr);
    IoDetachDevice(lower);
    ExtOf(d)->lower = nullptr;
    IoDeleteDevice(d);
    EXPECT_TRUE(TakeViolation("DEVICE_DELETED_WITH_OPEN_HANDLES"));
    EXPECT_EQ(sim::CloseDevice(f), STATUS_SUCCESS) << "the object outlives its deletion until the close";
}

// A standalone device (a control device) may go with handles open: its
// object, and its driver, stay until the last one is closed.
TEST_F(IoVerifierTest, StandaloneDeviceDeletedWithOpenFilesLastsUntilTheClose)
{
    PDRIVER_OBJECT driver = LoadTestDriver(L"iov", CompleteSuccess);
    PDEVICE_OBJECT d = MakeDevice(driver, L"\\Device\\IoV");
    PFILE_OBJECT f = sim::OpenDevice(L"\\Device\\IoV");
    ASSERT_NE(f, nullptr);
    IoDeleteDevice(d);
    EXPECT_TRUE(sim::Violations().empty()) << sim_test::ViolationText();
    EXPECT_EQ(sim::OpenDevice(L"\\Device\\IoV"), nullptr) << "its name is gone";
    EXPECT_EQ(driver->DeviceObject, d) << "its driver still has it";
    EXPECT_EQ(sim::CloseDevice(f), STATUS_SUCCESS);
    EXPECT_EQ(driver->DeviceObject, nullptr);
}

TEST_F(IoVerifierTest, DeletingADeviceWithAPendingIrpIsReported)
{
    PDEVICE_OBJECT d = Device(HoldPending);
    sim::IrpResult r{};
    std::thread client([&] { r = sim::SendIrp(d, IRP_MJ_READ); });
    ASSERT_TRUE(WaitEvent(&arrived_));
    IoDeleteDevice(d);
    EXPECT_TRUE(TakeViolation("IRP_PENDING_AT_DEVICE_DELETE"));
    CompleteWith(held_, STATUS_SUCCESS);
    client.join();
    EXPECT_TRUE(r.completed);
}

TEST_F(IoVerifierTest, DeletingADeviceTwiceIsReported)
{
    PDEVICE_OBJECT d = Device(CompleteSuccess);
    IoDeleteDevice(d);
    IoDeleteDevice(d);
    EXPECT_TRUE(TakeViolation("DEVICE_DELETED_TWICE"));
}

TEST_F(IoVerifierTest, DetachingWhatIsNotAttachedIsReported)
{
    PDEVICE_OBJECT d = Device(CompleteSuccess);
    IoDetachDevice(d);
    EXPECT_TRUE(TakeViolation("DETACH_NOT_ATTACHED"));
}

VOID ForgetfulUnload(PDRIVER_OBJECT) {}
NTSTATUS ForgetfulEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    driver->DriverUnload = ForgetfulUnload;
    return STATUS_SUCCESS;
}

TEST_F(IoVerifierTest, DeviceLeftAtUnloadIsReported)
{
    PDRIVER_OBJECT driver = sim::LoadDriver(L"ioforget", ForgetfulEntry);
    MakeDevice(driver, L"\\Device\\IoForget");
    sim::UnloadDriver(driver);
    EXPECT_TRUE(TakeViolation("DEVICE_LEAKED_AT_UNLOAD"));
    EXPECT_EQ(sim::StopMachine(), 0u) << "reported once";
}

TEST_F(IoVerifierTest, DeviceOfAnUnknownDriverObjectIsReportedAtStop)
{
    static DRIVER_OBJECT handMade;
    handMade = DRIVER_OBJECT();
    PDEVICE_OBJECT d = nullptr;
    ASSERT_EQ(IoCreateDevice(&handMade, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &d), STATUS_SUCCESS);
    EXPECT_TRUE(StopAndTake("DEVICE_LEAKED"));
}

TEST_F(IoVerifierTest, UnloadingADriverTwiceIsReported)
{
    PDRIVER_OBJECT driver = sim::LoadDriver(L"iotwice", ForgetfulEntry);
    sim::UnloadDriver(driver);
    sim::UnloadDriver(driver);
    EXPECT_TRUE(TakeViolation("DRIVER_NOT_LOADED"));
}

TEST_F(IoVerifierTest, DereferencingAnUnknownObjectIsReported)
{
    int notAnObject = 0;
    ObDereferenceObject(&notAnObject);
    EXPECT_TRUE(TakeViolation("OBJECT_DEREFERENCE_INVALID"));
}

TEST_F(IoVerifierTest, ReferencingAnUnknownObjectIsReported)
{
    int notAnObject = 0;
    ObReferenceObject(&notAnObject);
    EXPECT_TRUE(TakeViolation("OBJECT_REFERENCE_INVALID"));
}

TEST_F(IoVerifierTest, InvalidatingRelationsOfANonPdoIsReported)
{
    IoInvalidateDeviceRelations(Device(CompleteSuccess), BusRelations);
    EXPECT_TRUE(TakeViolation("INVALID_PDO"));
}

// ---------------------------------------------------------------- links, handles, files

NTSTATUS LinkLeavingEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    driver->DriverUnload = DeleteDevicesUnload;
    MakeDevice(driver, L"\\Device\\IoLinked");
    UNICODE_STRING link = Name(L"\\DosDevices\\IOLINKED"), target = Name(L"\\Device\\IoLinked");
    return IoCreateSymbolicLink(&link, &target);
}

TEST_F(IoVerifierTest, LinkLeftAfterUnloadIsReported)
{
    sim::UnloadDriver(sim::LoadDriver(L"iolinked", LinkLeavingEntry));
    EXPECT_TRUE(TakeViolation("SYMBOLIC_LINK_LEAKED"));
    EXPECT_TRUE(sim::SymbolicLinkExists(L"\\??\\IOLINKED"));
    EXPECT_EQ(sim::StopMachine(), 0u) << "reported once";
}

TEST_F(IoVerifierTest, LinkToADeletedDeviceIsReportedAtStop)
{
    PDRIVER_OBJECT driver = sim::LoadDriver(L"iolinked", LinkLeavingEntry);
    IoDeleteDevice(driver->DeviceObject);
    EXPECT_TRUE(StopAndTake("DANGLING_SYMBOLIC_LINK"));
}

TEST_F(IoVerifierTest, HandleLeftOpenIsReportedAtStop)
{
    UNICODE_STRING n = Name(L"\\BaseNamedObjects\\IoLeak");
    HANDLE h;
    ASSERT_NE(IoCreateNotificationEvent(&n, &h), nullptr);
    EXPECT_TRUE(StopAndTake("HANDLE_LEAKED"));
}

TEST_F(IoVerifierTest, ClosingAnInvalidHandleIsReported)
{
    UNICODE_STRING n = Name(L"\\BaseNamedObjects\\IoTwice");
    HANDLE h;
    IoCreateSynchronizationEvent(&n, &h);
    EXPECT_EQ(ZwClose(h), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(h), STATUS_INVALID_HANDLE);
    EXPECT_TRUE(TakeViolation("INVALID_HANDLE_CLOSED"));
}

TEST_F(IoVerifierTest, FileObjectLeftOpenIsReportedAtStop)
{
    Device(CompleteSuccess);
    ASSERT_NE(sim::OpenDevice(L"\\Device\\IoV"), nullptr);
    EXPECT_TRUE(StopAndTake("FILE_OBJECT_LEAKED"));
}

// ---------------------------------------------------------------- work items

KEVENT g_release;
VOID BlockedRoutine(PDEVICE_OBJECT, PVOID)
{
    WaitEvent(&g_release);
}

// One worker and no more: while it is busy with a blocked routine, other
// items stay queued (the pool would otherwise grow a worker for them).
class IoWorkVerifierTest : public IoVerifierTest {
protected:
    IoWorkVerifierTest()
    {
        options_.workerThreads = 1;
        options_.maxWorkerThreads = 1;
    }
    void SetUp() override
    {
        IoVerifierTest::SetUp();
        KeInitializeEvent(&g_release, NotificationEvent, FALSE);
        device_ = Device(CompleteSuccess);
    }
    PDEVICE_OBJECT device_ = nullptr;
};

TEST_F(IoWorkVerifierTest, WorkItemNeverFreedIsReportedAtStop)
{
    ASSERT_NE(IoAllocateWorkItem(device_), nullptr);
    EXPECT_TRUE(StopAndTake("WORK_ITEM_LEAKED"));
}

TEST_F(IoWorkVerifierTest, QueueingAQueuedWorkItemIsReported)
{
    PIO_WORKITEM blocker = IoAllocateWorkItem(device_);
    PIO_WORKITEM item = IoAllocateWorkItem(device_);
    IoQueueWorkItem(blocker, BlockedRoutine, DelayedWorkQueue, nullptr);
    IoQueueWorkItem(item, BlockedRoutine, DelayedWorkQueue, nullptr);
    IoQueueWorkItem(item, BlockedRoutine, DelayedWorkQueue, nullptr);
    EXPECT_TRUE(TakeViolation("WORK_ITEM_QUEUED_TWICE"));
    KeSetEvent(&g_release, IO_NO_INCREMENT, FALSE);
    ASSERT_TRUE(sim::WaitQuiet());
    IoFreeWorkItem(item);
    IoFreeWorkItem(blocker);
}

TEST_F(IoWorkVerifierTest, FreeingAQueuedWorkItemIsReported)
{
    PIO_WORKITEM blocker = IoAllocateWorkItem(device_);
    PIO_WORKITEM item = IoAllocateWorkItem(device_);
    IoQueueWorkItem(blocker, BlockedRoutine, DelayedWorkQueue, nullptr);
    IoQueueWorkItem(item, BlockedRoutine, DelayedWorkQueue, nullptr);
    IoFreeWorkItem(item);
    EXPECT_TRUE(TakeViolation("WORK_ITEM_FREED_WHILE_QUEUED"));
    KeSetEvent(&g_release, IO_NO_INCREMENT, FALSE);
    ASSERT_TRUE(sim::WaitQuiet());  // the worker frees `item` after its routine
    IoFreeWorkItem(blocker);
}

TEST_F(IoWorkVerifierTest, FreeingAWorkItemTwiceIsReported)
{
    PIO_WORKITEM item = IoAllocateWorkItem(device_);
    IoFreeWorkItem(item);
    IoFreeWorkItem(item);
    EXPECT_TRUE(TakeViolation("WORK_ITEM_FREE_INVALID"));
}

}  // namespace

TEST_F(IoVerifierTest, SendingAnIrpAgainWhileTheDriverBelowHoldsItIsReported)
{
    PDEVICE_OBJECT lower = MakeDevice(LoadTestDriver(L"iovlow", HoldPending), L"\\Device\\IoVLow");
    PDEVICE_OBJECT upper = MakeDevice(LoadTestDriver(L"iovup",
                                                     [](PDEVICE_OBJECT d, PIRP irp) {
                                                         IoMarkIrpPending(irp);
                                                         IoCopyCurrentIrpStackLocationToNext(irp);
                                                         IoCallDriver(ExtOf(d)->lower, irp);
                                                         // The driver below holds it now: not ours to send.
                                                         IoCallDriver(ExtOf(d)->lower, irp);
                                                         return STATUS_PENDING;
                                                     }),
                                      L"\\Device\\IoVUp", lower);
    KeInitializeEvent(&arrived_, NotificationEvent, FALSE);
    sim::IrpResult r{};
    std::thread client([&] { r = sim::SendIrp(upper, IRP_MJ_READ); });
    ASSERT_TRUE(WaitEvent(&arrived_));
    EXPECT_TRUE(sim_test::WaitFor([] { return sim::HasViolation("IRP_SENT_WHILE_OWNED_BELOW"); }));
    CompleteWith(held_, STATUS_SUCCESS);
    client.join();
    EXPECT_TRUE(r.completed);
    EXPECT_TRUE(TakeViolation("IRP_SENT_WHILE_OWNED_BELOW"));
}
