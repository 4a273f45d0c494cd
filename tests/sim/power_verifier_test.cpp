// The power manager's contract and its verifier rules: each rule broken on
// purpose, by the power policy owner on the virtual bus (whole transitions)
// or by a two-driver stack of the I/O manager's test driver (device requests
// from PoRequestPowerIrp), and shown to be reported.
#include "io_test_driver.h"
#include "power_test_driver.h"

using namespace io_test;
using sim_test::TakeViolation;

namespace {

// ---------------------------------------------------------------- a two-driver stack

struct Request {
    KEVENT done;
    NTSTATUS status = STATUS_PENDING;
    KIRQL irql = HIGH_LEVEL;
    bool wait = false;  // waits in its completion function (a broken requester)
};

VOID RequestDone(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK status)
{
    auto r = static_cast<Request*>(context);
    r->status = status->Status;
    r->irql = KeGetCurrentIrql();
    if (r->wait) {
        LARGE_INTEGER ms{};
        ms.QuadPart = -10000;
        KeWaitForSingleObject(&r->done, Executive, KernelMode, FALSE, &ms);
    }
    KeSetEvent(&r->done, IO_NO_INCREMENT, FALSE);
}

// What the lower driver (the "bus") saw and does.
KIRQL g_dispatchIrql;
std::string g_dispatchThread;
bool g_completeAtDispatch, g_completeTwice;
PIRP g_held;

NTSTATUS Lower(PDEVICE_OBJECT, PIRP irp)
{
    g_dispatchIrql = KeGetCurrentIrql();
    g_dispatchThread = sim::ThreadName();
    PoStartNextPowerIrp(irp);
    if (g_completeAtDispatch)
        sim::RunAtIrql(DISPATCH_LEVEL, [&] { CompleteWith(irp, STATUS_SUCCESS); });
    else
        CompleteWith(irp, STATUS_SUCCESS);
    if (g_completeTwice)
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

NTSTATUS Keep(PDEVICE_OBJECT, PIRP irp, PVOID)
{
    g_held = irp;
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// How the upper driver (the "function driver") handles the request.
enum class Upper { PassDown, StartNextAfterSkip, KeepOnReturn, CompleteWith };
Upper g_upper;
NTSTATUS g_upperStatus;

NTSTATUS UpperDispatch(PDEVICE_OBJECT d, PIRP irp)
{
    switch (g_upper) {
    case Upper::PassDown:
        PoStartNextPowerIrp(irp);
        IoSkipCurrentIrpStackLocation(irp);
        return PoCallDriver(ExtOf(d)->lower, irp);
    case Upper::StartNextAfterSkip:  // too late: the location is no longer its own
        IoSkipCurrentIrpStackLocation(irp);
        PoStartNextPowerIrp(irp);
        return PoCallDriver(ExtOf(d)->lower, irp);
    case Upper::KeepOnReturn:
        IoMarkIrpPending(irp);
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, Keep, nullptr, TRUE, TRUE, TRUE);
        PoCallDriver(ExtOf(d)->lower, irp);
        return STATUS_PENDING;
    case Upper::CompleteWith:
        PoStartNextPowerIrp(irp);
        return CompleteWith(irp, g_upperStatus);
    }
    return STATUS_UNSUCCESSFUL;
}

class PowerRequestTest : public RecordingMachineTest {
protected:
    void SetUp() override
    {
        RecordingMachineTest::SetUp();
        g_completeAtDispatch = g_completeTwice = false;
        g_held = nullptr;
        g_upper = Upper::PassDown;
    }
    // The stack; pageable: both devices set DO_POWER_PAGABLE.
    PDEVICE_OBJECT Stack(bool pageable = true)
    {
        ULONG flags = pageable ? DO_POWER_PAGABLE : 0;
        pdo_ = MakeDevice(LoadTestDriver(L"powbus", Lower), L"\\Device\\PowPdo", nullptr, flags);
        MakeDevice(LoadTestDriver(L"powfn", UpperDispatch), nullptr, pdo_, flags);
        return pdo_;
    }
    // Asks for a device set-power request for the stack and waits for its completion function.
    bool Ask(Request* r, DEVICE_POWER_STATE state = PowerDeviceD3)
    {
        KeInitializeEvent(&r->done, NotificationEvent, FALSE);
        POWER_STATE s;
        s.DeviceState = state;
        return PoRequestPowerIrp(pdo_, IRP_MN_SET_POWER, s, RequestDone, r, nullptr) == STATUS_PENDING &&
               WaitEvent(&r->done);
    }
    PDEVICE_OBJECT pdo_ = nullptr;
};

class PowerRequestIrqlTest : public PowerRequestTest, public ::testing::WithParamInterface<bool> {};

TEST_P(PowerRequestIrqlTest, ARequestGoesToTheTopAndCallsBackAtTheIrqlItCompletesAt)
{
    bool pageable = GetParam();
    Stack(pageable);
    g_completeAtDispatch = true;
    Request r;
    ASSERT_TRUE(Ask(&r));
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.irql, DISPATCH_LEVEL);
    // A pageable stack is called at once on the caller's thread; another at
    // DISPATCH_LEVEL from the power manager's.
    EXPECT_EQ(g_dispatchIrql, pageable ? PASSIVE_LEVEL : DISPATCH_LEVEL);
    EXPECT_EQ(g_dispatchThread, pageable ? sim::ThreadName() : std::string("power-irp"));
    POWER_STATE d0;
    d0.DeviceState = PowerDeviceD0;
    EXPECT_EQ(PoRequestPowerIrp(pdo_, IRP_MN_POWER_SEQUENCE, d0, RequestDone, &r, nullptr),
              STATUS_INVALID_PARAMETER_2);
    EXPECT_TRUE(sim::Violations().empty()) << sim_test::ViolationText();
}

INSTANTIATE_TEST_SUITE_P(PageableOrNot, PowerRequestIrqlTest, ::testing::Bool());

TEST_F(PowerRequestTest, WaitingInACompletionFunctionAtDispatchLevelIsReported)
{
    Stack();
    g_completeAtDispatch = true;
    Request r;
    r.wait = true;
    ASSERT_TRUE(Ask(&r));
    EXPECT_TRUE(TakeViolation("WAIT_AT_RAISED_IRQL"));
}

struct Completion {
    NTSTATUS status;
    bool reported;
    const char* name;
};
class PowerNotPassedDownTest : public PowerRequestTest, public ::testing::WithParamInterface<Completion> {};

TEST_P(PowerNotPassedDownTest, AFunctionDriverCompletingInsteadOfPassingDownIsReported)
{
    Stack();
    g_upper = Upper::CompleteWith;
    g_upperStatus = GetParam().status;
    Request r;
    ASSERT_TRUE(Ask(&r));
    EXPECT_EQ(r.status, GetParam().status);
    EXPECT_EQ(TakeViolation("POWER_IRP_NOT_PASSED_DOWN"), GetParam().reported);
}

// A failed device request is the function driver's right; a removed device's too.
INSTANTIATE_TEST_SUITE_P(Statuses, PowerNotPassedDownTest,
                         ::testing::Values(Completion{STATUS_NOT_SUPPORTED, true, "NotSupported"},
                                           Completion{STATUS_SUCCESS, true, "Success"},
                                           Completion{STATUS_INSUFFICIENT_RESOURCES, false, "Failure"},
                                           Completion{STATUS_DELETE_PENDING, false, "DeletePending"}),
                         [](const ::testing::TestParamInfo<Completion>& i) { return std::string(i.param.name); });

TEST_F(PowerRequestTest, PoStartNextPowerIrpAfterSkippingTheLocationIsReported)
{
    Stack();
    g_upper = Upper::StartNextAfterSkip;
    Request r;
    ASSERT_TRUE(Ask(&r));
    EXPECT_TRUE(TakeViolation("PO_START_NEXT_POWER_IRP_MISSING"));
}

TEST_F(PowerRequestTest, CompletingAgainAfterTheDriverAboveTookItBackIsReported)
{
    Stack();
    g_upper = Upper::KeepOnReturn;
    g_completeTwice = true;
    Request r;
    KeInitializeEvent(&r.done, NotificationEvent, FALSE);
    POWER_STATE d3;
    d3.DeviceState = PowerDeviceD3;
    ASSERT_EQ(PoRequestPowerIrp(pdo_, IRP_MN_SET_POWER, d3, RequestDone, &r, nullptr), STATUS_PENDING);
    ASSERT_NE(g_held, nullptr);
    std::vector<sim::Violation> v = sim::Violations();
    ASSERT_EQ(v.size(), 1u) << sim_test::ViolationText();
    EXPECT_EQ(v[0].rule, "IRP_COMPLETED_TWICE");
    EXPECT_EQ(v[0].routine, "\\Driver\\powbus IRP_MJ_POWER");
    sim::ClearViolations();
    EXPECT_FALSE(WaitEvent(&r.done, 0)) << "the second completion was refused";
    PoStartNextPowerIrp(g_held);
    IoCompleteRequest(g_held, IO_NO_INCREMENT);  // the driver above finishes it
    EXPECT_TRUE(WaitEvent(&r.done));
}

TEST_F(PowerRequestTest, AnnouncingAPowerDownAboveApcLevelIsReported)
{
    PDEVICE_OBJECT d = Stack();
    POWER_STATE s;
    s.DeviceState = PowerDeviceD0;
    sim::RunAtIrql(DISPATCH_LEVEL, [&] { PoSetPowerState(d, DevicePowerState, s); });
    EXPECT_FALSE(sim::HasViolation("IRQL_TOO_HIGH")) << "back to D0 from DISPATCH_LEVEL is allowed";
    s.DeviceState = PowerDeviceD3;
    sim::RunAtIrql(DISPATCH_LEVEL, [&] { PoSetPowerState(d, DevicePowerState, s); });
    EXPECT_TRUE(TakeViolation("IRQL_TOO_HIGH"));
}

// ---------------------------------------------------------------- transitions

class PowerRuleTest : public pnp_test::PnpFixture<RecordingMachineTest> {
protected:
    std::string PlugOwned(const power_test::Faults& faults)
    {
        power_test::InstallOwner(faults);
        ULONG id = PlugProduct();
        return id ? sim::WaitDeviceStarted(InstanceOf(id)) : std::string();
    }
};

TEST_F(PowerRuleTest, CompletingPowerIrpsWithNotSupportedIsReported)
{
    power_test::Faults f;
    f.notSupported = true;  // what a driver without power handling used to do
    ASSERT_FALSE(PlugOwned(f).empty());
    sim::SleepMachine(PowerSystemSleeping3);
    EXPECT_TRUE(TakeViolation("POWER_IRP_NOT_PASSED_DOWN"));
}

TEST_F(PowerRuleTest, ADriverNeverCallingPoStartNextPowerIrpIsReported)
{
    power_test::Faults f;
    f.noStartNext = true;
    ASSERT_FALSE(PlugOwned(f).empty());
    EXPECT_EQ(sim::SleepMachine(PowerSystemSleeping3).status, STATUS_SUCCESS);
    EXPECT_TRUE(TakeViolation("PO_START_NEXT_POWER_IRP_MISSING"));
}

TEST_F(PowerRuleTest, ASystemRequestCompletedBeforeItsDeviceRequestIsReportedExceptTheSetToS0)
{
    power_test::Faults f;
    f.completeSystemEarly = true;
    f.holdDeviceIrps = true;
    ASSERT_FALSE(PlugOwned(f).empty());
    EXPECT_EQ(sim::SleepMachine(PowerSystemSleeping3).status, STATUS_SUCCESS);
    std::vector<sim::Violation> v = sim::Violations();
    ASSERT_EQ(v.size(), 2u) << sim_test::ViolationText();  // the query and the set
    EXPECT_EQ(v[1].rule, "SYSTEM_POWER_IRP_COMPLETED_BEFORE_DEVICE_IRP");
    EXPECT_EQ(v[1].routine, "\\Driver\\PowerOwner");
    sim::ClearViolations();
    power_test::ReleaseHeld();
    EXPECT_EQ(sim::WakeMachine().status, STATUS_SUCCESS);
    power_test::ReleaseHeld();
    ASSERT_TRUE(sim::WaitQuiet());
    EXPECT_TRUE(sim::Violations().empty()) << "a quick resume may complete S0 first:\n" << sim_test::ViolationText();
}

TEST_F(PowerRuleTest, ALostPowerIrpIsReportedAndEndsTheTransition)
{
    power_test::Faults f;
    f.holdSystemQuery = true;
    ASSERT_FALSE(PlugOwned(f).empty());
    sim::SetPowerIrpTimeout(200);
    sim::PowerTransition t = sim::SleepMachine(PowerSystemSleeping3);
    EXPECT_EQ(t.status, STATUS_IO_TIMEOUT);
    EXPECT_EQ(sim::MachinePowerState(), PowerSystemWorking);
    std::vector<sim::Violation> v = sim::Violations();
    ASSERT_EQ(v.size(), 1u) << sim_test::ViolationText();
    EXPECT_EQ(v[0].rule, "POWER_IRP_NOT_COMPLETED");
    EXPECT_EQ(v[0].routine, "\\Driver\\PowerOwner IRP_MJ_POWER");
    sim::ClearViolations();
    power_test::ReleaseHeld();
    ASSERT_TRUE(sim::WaitQuiet());
}

}  // namespace
