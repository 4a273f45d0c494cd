// IRP flow through the I/O manager: completion order and PendingReturned
// across a two-device stack, STATUS_MORE_PROCESSING_REQUIRED, buffered
// copy-back, IRPs built for drivers, and cancellation.
#include "io_test_driver.h"

#include <string>
#include <thread>
#include <vector>

using namespace io_test;

namespace {

// Lower driver: holds every IRP pending until the test completes it.
PIRP g_held = nullptr;
KEVENT g_arrived;
NTSTATUS HoldPending(PDEVICE_OBJECT, PIRP irp)
{
    IoMarkIrpPending(irp);
    g_held = irp;
    KeSetEvent(&g_arrived, IO_NO_INCREMENT, FALSE);
    return STATUS_PENDING;
}

void CompleteHeldOnAnotherThread(NTSTATUS status)
{
    std::thread([status] { CompleteWith(g_held, status); }).join();
}

struct Seen {
    std::vector<std::string> order;
    std::vector<PDEVICE_OBJECT> devices;
    std::vector<bool> pendingReturned;
    void Add(const char* who, PDEVICE_OBJECT d, PIRP irp)
    {
        order.push_back(who);
        devices.push_back(d);
        pendingReturned.push_back(irp->PendingReturned != 0);
    }
};
Seen g_seen;
KEVENT g_senderDone;
bool g_upperStops = false;

NTSTATUS UpperDone(PDEVICE_OBJECT d, PIRP irp, PVOID)
{
    g_seen.Add("upper", d, irp);
    if (g_upperStops)
        return STATUS_MORE_PROCESSING_REQUIRED;
    if (irp->PendingReturned)
        IoMarkIrpPending(irp);
    return STATUS_SUCCESS;
}

NTSTATUS UpperWithRoutine(PDEVICE_OBJECT d, PIRP irp)
{
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, UpperDone, nullptr, TRUE, TRUE, TRUE);
    if (g_upperStops) {
        IoMarkIrpPending(irp);
        IoCallDriver(ExtOf(d)->lower, irp);
        return STATUS_PENDING;
    }
    return IoCallDriver(ExtOf(d)->lower, irp);
}

NTSTATUS UpperWithoutRoutine(PDEVICE_OBJECT d, PIRP irp)
{
    IoCopyCurrentIrpStackLocationToNext(irp);
    return IoCallDriver(ExtOf(d)->lower, irp);
}

NTSTATUS SenderDone(PDEVICE_OBJECT d, PIRP irp, PVOID)
{
    g_seen.Add("sender", d, irp);
    IoFreeIrp(irp);
    KeSetEvent(&g_senderDone, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

class IoIrpTest : public MachineTest {
protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        g_held = nullptr;
        g_seen = Seen();
        g_upperStops = false;
        KeInitializeEvent(&g_arrived, NotificationEvent, FALSE);
        KeInitializeEvent(&g_senderDone, NotificationEvent, FALSE);
    }

    // lower (holds IRPs pending) <- upper (the given dispatch)
    void BuildStack(PDRIVER_DISPATCH upperDispatch)
    {
        lower_ = MakeDevice(LoadTestDriver(L"iolower", HoldPending), L"\\Device\\IoLower");
        upper_ = MakeDevice(LoadTestDriver(L"ioupper", upperDispatch), nullptr, lower_);
        ASSERT_NE(upper_, nullptr);
    }

    // A driver-allocated IRP sent to the top of the stack with the sender's routine.
    NTSTATUS SendOwnIrp()
    {
        PIRP irp = IoAllocateIrp(upper_->StackSize, FALSE);
        IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_FLUSH_BUFFERS;
        IoSetCompletionRoutine(irp, SenderDone, nullptr, TRUE, TRUE, TRUE);
        return IoCallDriver(upper_, irp);
    }

    PDEVICE_OBJECT lower_ = nullptr;
    PDEVICE_OBJECT upper_ = nullptr;
};

TEST_F(IoIrpTest, AttachingSetsTheStackSizeAndReturnsTheDeviceBelow)
{
    BuildStack(UpperWithRoutine);
    EXPECT_EQ(ExtOf(upper_)->lower, lower_);
    EXPECT_EQ(lower_->AttachedDevice, upper_);
    EXPECT_EQ(upper_->StackSize, 2);
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(lower_);
    EXPECT_EQ(top, upper_);
    ObDereferenceObject(top);
}

TEST_F(IoIrpTest, CompletionRoutinesRunBottomUpAndSeePendingReturned)
{
    BuildStack(UpperWithRoutine);
    EXPECT_EQ(SendOwnIrp(), STATUS_PENDING);
    ASSERT_TRUE(WaitEvent(&g_arrived));
    EXPECT_TRUE(g_seen.order.empty()) << "nothing runs before the lower driver completes";
    CompleteHeldOnAnotherThread(STATUS_SUCCESS);
    ASSERT_TRUE(WaitEvent(&g_senderDone));
    ASSERT_EQ(g_seen.order, (std::vector<std::string>{"upper", "sender"}));
    EXPECT_EQ(g_seen.devices[0], upper_) << "a routine gets the device of the driver that set it";
    EXPECT_EQ(g_seen.devices[1], nullptr) << "the sender has no stack location of its own";
    EXPECT_TRUE(g_seen.pendingReturned[0]);
    EXPECT_TRUE(g_seen.pendingReturned[1]) << "the upper routine re-marked the IRP pending";
}

TEST_F(IoIrpTest, WithoutACompletionRoutineThePendingMarkPropagatesUp)
{
    BuildStack(UpperWithoutRoutine);
    EXPECT_EQ(SendOwnIrp(), STATUS_PENDING);
    ASSERT_TRUE(WaitEvent(&g_arrived));
    CompleteHeldOnAnotherThread(STATUS_SUCCESS);
    ASSERT_TRUE(WaitEvent(&g_senderDone));
    ASSERT_EQ(g_seen.order, (std::vector<std::string>{"sender"}));
    EXPECT_TRUE(g_seen.pendingReturned[0]);
}

TEST_F(IoIrpTest, MoreProcessingRequiredStopsCompletionUntilTheIrpIsCompletedAgain)
{
    g_upperStops = true;
    BuildStack(UpperWithRoutine);
    EXPECT_EQ(SendOwnIrp(), STATUS_PENDING);
    ASSERT_TRUE(WaitEvent(&g_arrived));
    PIRP irp = g_held;
    CompleteHeldOnAnotherThread(STATUS_SUCCESS);
    ASSERT_EQ(g_seen.order, (std::vector<std::string>{"upper"}));
    EXPECT_EQ(KeReadStateEvent(&g_senderDone), 0) << "the sender's routine must wait";
    EXPECT_EQ(IoGetCurrentIrpStackLocation(irp)->DeviceObject, upper_) << "the IRP is back with the upper driver";
    IoCompleteRequest(irp, IO_NO_INCREMENT);  // the upper driver finishes it
    ASSERT_TRUE(WaitEvent(&g_senderDone));
    EXPECT_EQ(g_seen.order, (std::vector<std::string>{"upper", "sender"}));
}

TEST_F(IoIrpTest, ErrorCompletionSkipsRoutinesThatOnlyAskForSuccess)
{
    BuildStack(UpperWithoutRoutine);
    PIRP irp = IoAllocateIrp(upper_->StackSize, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_FLUSH_BUFFERS;
    IoSetCompletionRoutine(irp, SenderDone, nullptr, TRUE, FALSE, FALSE);
    EXPECT_EQ(IoCallDriver(upper_, irp), STATUS_PENDING);
    ASSERT_TRUE(WaitEvent(&g_arrived));
    // Completing with an error walks past the success-only routine: the IRP
    // reaches the top with nobody to take it back, which the verifier reports.
    sim::SetViolationMode(sim::ViolationMode::Record);
    CompleteHeldOnAnotherThread(STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(g_seen.order.empty());
    EXPECT_TRUE(sim_test::TakeViolation("DRIVER_IRP_COMPLETED_TO_IO_MANAGER"));
    sim::SetViolationMode(sim::ViolationMode::Fatal);
    IoFreeIrp(irp);
}

// ---------------------------------------------------------------- buffers

NTSTATUS FillWithZ(PDEVICE_OBJECT, PIRP irp)
{
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    ULONG length = sp->MajorFunction == IRP_MJ_READ ? sp->Parameters.Read.Length
                                                    : sp->Parameters.DeviceIoControl.OutputBufferLength;
    memset(irp->AssociatedIrp.SystemBuffer, 'Z', length);
    return CompleteWith(irp, STATUS_SUCCESS, 2);
}

TEST_F(IoIrpTest, BufferedIoctlCopiesBackOnlyInformationBytes)
{
    PDEVICE_OBJECT d = MakeDevice(LoadTestDriver(L"iobuf", FillWithZ), L"\\Device\\IoBuf");
    char buffer[9] = "abcdefgh";
    ULONG code = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);
    sim::IrpResult r = sim::SendIrp(d, IRP_MJ_DEVICE_CONTROL, 0, buffer, 8, code);
    ASSERT_TRUE(r.completed);
    EXPECT_EQ(r.ioStatus.Information, 2u);
    EXPECT_STREQ(buffer, "ZZcdefgh");
}

TEST_F(IoIrpTest, BufferedReadCopiesBackOnlyInformationBytes)
{
    PDEVICE_OBJECT d = MakeDevice(LoadTestDriver(L"iobuf", FillWithZ), L"\\Device\\IoBuf");
    char buffer[9] = "abcdefgh";
    sim::IrpResult r = sim::SendIrp(d, IRP_MJ_READ, 0, buffer, 8);
    ASSERT_TRUE(r.completed);
    EXPECT_STREQ(buffer, "ZZcdefgh");
}

struct ControlSeen {
    UCHAR major;
    ULONG code, in, out;
    PVOID type3, user;
    char firstInput;
} g_control;

NTSTATUS RecordControl(PDEVICE_OBJECT, PIRP irp)
{
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    g_control = {sp->MajorFunction,
                 sp->Parameters.DeviceIoControl.IoControlCode,
                 sp->Parameters.DeviceIoControl.InputBufferLength,
                 sp->Parameters.DeviceIoControl.OutputBufferLength,
                 sp->Parameters.DeviceIoControl.Type3InputBuffer,
                 irp->UserBuffer,
                 irp->AssociatedIrp.SystemBuffer ? *(char*)irp->AssociatedIrp.SystemBuffer : '\0'};
    if (irp->AssociatedIrp.SystemBuffer)
        memcpy(irp->AssociatedIrp.SystemBuffer, "out", 3);
    return CompleteWith(irp, STATUS_SUCCESS, 3);
}

TEST_F(IoIrpTest, BuiltInternalControlRequestSignalsTheEventWithTheStatusBlock)
{
    PDEVICE_OBJECT d = MakeDevice(LoadTestDriver(L"ioctl", RecordControl), L"\\Device\\IoCtl");
    ULONG code = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS);
    char in[4] = "inp", out[8] = {};
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = IoBuildDeviceIoControlRequest(code, d, in, 4, out, 8, TRUE, &done, &iosb);
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(IoGetNextIrpStackLocation(irp)->MajorFunction, IRP_MJ_INTERNAL_DEVICE_CONTROL);
    EXPECT_EQ(IoCallDriver(d, irp), STATUS_SUCCESS);
    ASSERT_TRUE(WaitEvent(&done, 0));
    EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(iosb.Information, 3u);
    EXPECT_EQ(g_control.code, code);
    EXPECT_EQ(g_control.in, 4u);
    EXPECT_EQ(g_control.out, 8u);
    EXPECT_EQ(g_control.firstInput, 'i');
    EXPECT_EQ(memcmp(out, "out", 3), 0);
}

TEST_F(IoIrpTest, NeitherMethodPassesTheCallersBuffersThrough)
{
    PDEVICE_OBJECT d = MakeDevice(LoadTestDriver(L"ioctl", RecordControl), L"\\Device\\IoCtl");
    ULONG code = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x802, METHOD_NEITHER, FILE_ANY_ACCESS);
    char in[4] = "inp", out[8] = {};
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = IoBuildDeviceIoControlRequest(code, d, in, 4, out, 8, FALSE, &done, &iosb);
    IoCallDriver(d, irp);
    ASSERT_TRUE(WaitEvent(&done, 0));
    EXPECT_EQ(g_control.major, IRP_MJ_DEVICE_CONTROL);
    EXPECT_EQ(g_control.type3, (PVOID)in);
    EXPECT_EQ(g_control.user, (PVOID)out);
}

// ---------------------------------------------------------------- cancel

struct CancelSeen {
    KIRQL irql;
    int locks;
    bool cancelFlag;
} g_cancel;

VOID CancelHeld(PDEVICE_OBJECT, PIRP irp)
{
    g_cancel = {KeGetCurrentIrql(), sim::SpinLocksHeld(), irp->Cancel != 0};
    IoReleaseCancelSpinLock(irp->CancelIrql);
    CompleteWith(irp, STATUS_CANCELLED);
}

NTSTATUS HoldCancelable(PDEVICE_OBJECT, PIRP irp)
{
    IoMarkIrpPending(irp);
    IoSetCancelRoutine(irp, CancelHeld);
    g_held = irp;
    KeSetEvent(&g_arrived, IO_NO_INCREMENT, FALSE);
    return STATUS_PENDING;
}

TEST_F(IoIrpTest, CancelCallsTheRoutineWithTheCancelSpinLockHeld)
{
    PDEVICE_OBJECT d = MakeDevice(LoadTestDriver(L"iocancel", HoldCancelable), L"\\Device\\IoCancel");
    sim::IrpResult r{};
    std::thread client([&] { r = sim::SendIrp(d, IRP_MJ_READ); });
    ASSERT_TRUE(WaitEvent(&g_arrived));
    EXPECT_TRUE(IoCancelIrp(g_held));
    client.join();
    EXPECT_EQ(r.dispatchStatus, STATUS_PENDING);
    ASSERT_TRUE(r.completed);
    EXPECT_EQ(r.ioStatus.Status, STATUS_CANCELLED);
    EXPECT_EQ(g_cancel.irql, DISPATCH_LEVEL);
    EXPECT_EQ(g_cancel.locks, 1);
    EXPECT_TRUE(g_cancel.cancelFlag);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_EQ(sim::SpinLocksHeld(), 0);
}

TEST_F(IoIrpTest, CancelWithoutARoutineOnlyFlagsTheIrp)
{
    PDEVICE_OBJECT d = MakeDevice(LoadTestDriver(L"iolower", HoldPending), L"\\Device\\IoLower");
    sim::IrpResult r{};
    std::thread client([&] { r = sim::SendIrp(d, IRP_MJ_READ); });
    ASSERT_TRUE(WaitEvent(&g_arrived));
    EXPECT_FALSE(IoCancelIrp(g_held));
    EXPECT_TRUE(g_held->Cancel);
    CompleteWith(g_held, STATUS_CANCELLED);
    client.join();
    EXPECT_EQ(r.ioStatus.Status, STATUS_CANCELLED);
}

}  // namespace
