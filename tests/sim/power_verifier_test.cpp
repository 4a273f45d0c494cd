// PoRequestPowerIrp's contract and the power rules of the verifier, each
// broken on purpose: by the upper driver of a two-driver stack asked for a
// device request, or by the power policy owner on the virtual bus during a
// sleep.
#include "io_test_driver.h"
#include "power_test_driver.h"

using namespace io_test;
using sim_test::TakeViolation;

namespace {

// How the lower driver (a bus) and the upper one (a function driver) behave.
enum class Upper { PassDown, StartNextAfterSkip, RoutineWithoutStartNext, Complete, KeepOnReturn };
struct Stack {
    Upper upper = Upper::PassDown;
    NTSTATUS upperStatus = STATUS_SUCCESS;
    bool completeAtDispatch = false, completeTwice = false, hold = false;
    KIRQL dispatchIrql = HIGH_LEVEL;
    std::string dispatchThread;
    PIRP held = nullptr;  // by the lower driver (hold) or the upper (KeepOnReturn)
} g_stack;

NTSTATUS Continue(PDEVICE_OBJECT, PIRP, PVOID)
{
    return STATUS_SUCCESS;
}
NTSTATUS Keep(PDEVICE_OBJECT, PIRP irp, PVOID)
{
    g_stack.held = irp;
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS Lower(PDEVICE_OBJECT, PIRP irp)
{
    g_stack.dispatchIrql = KeGetCurrentIrql();
    g_stack.dispatchThread = sim::ThreadName();
    PoStartNextPowerIrp(irp);
    if (g_stack.hold) {
        IoMarkIrpPending(irp);
        g_stack.held = irp;
        return STATUS_PENDING;
    }
    if (g_stack.completeAtDispatch)
        sim::RunAtIrql(DISPATCH_LEVEL, [&] { CompleteWith(irp, STATUS_SUCCESS); });
    else
        CompleteWith(irp, STATUS_SUCCESS);
    if (g_stack.completeTwice)
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

NTSTATUS UpperDispatch(PDEVICE_OBJECT d, PIRP irp)
{
    PDEVICE_OBJECT lower = ExtOf(d)->lower;
    switch (g_stack.upper) {
    case Upper::PassDown:
        PoStartNextPowerIrp(irp);
        IoSkipCurrentIrpStackLocation(irp);
        return PoCallDriver(lower, irp);
    case Upper::StartNextAfterSkip:  // too late: the location is no longer its own
        IoSkipCurrentIrpStackLocation(irp);
        PoStartNextPowerIrp(irp);
        return PoCallDriver(lower, irp);
    case Upper::RoutineWithoutStartNext:
    case Upper::KeepOnReturn:
        IoMarkIrpPending(irp);
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, g_stack.upper == Upper::KeepOnReturn ? Keep : Continue, nullptr, TRUE, TRUE, TRUE);
        PoCallDriver(lower, irp);
        return STATUS_PENDING;
    case Upper::Complete:
        PoStartNextPowerIrp(irp);
        return CompleteWith(irp, g_stack.upperStatus);
    }
    return STATUS_UNSUCCESSFUL;
}

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

class PowerRequestTest : public RecordingMachineTest {
protected:
    void SetUp() override
    {
        RecordingMachineTest::SetUp();
        g_stack = Stack();
    }
    void MakeStack(bool pageable = true)
    {
        ULONG flags = pageable ? DO_POWER_PAGABLE : 0;
        pdo_ = MakeDevice(LoadTestDriver(L"powbus", Lower), L"\\Device\\PowPdo", nullptr, flags);
        MakeDevice(LoadTestDriver(L"powfn", UpperDispatch), nullptr, pdo_, flags);
    }
    // Asks for a device set-power request to D3; true once its completion function ran.
    bool Ask(Request* r, unsigned waitMs = 5000)
    {
        KeInitializeEvent(&r->done, NotificationEvent, FALSE);
        POWER_STATE d3;
        d3.DeviceState = PowerDeviceD3;
        EXPECT_EQ(PoRequestPowerIrp(pdo_, IRP_MN_SET_POWER, d3, RequestDone, r, nullptr), STATUS_PENDING);
        return WaitEvent(&r->done, waitMs);
    }
    PDEVICE_OBJECT pdo_ = nullptr;
};

class PowerRequestIrqlTest : public PowerRequestTest, public ::testing::WithParamInterface<bool> {};

TEST_P(PowerRequestIrqlTest, ARequestGoesToTheTopAndCallsBackAtTheIrqlItCompletesAt)
{
    bool pageable = GetParam();
    MakeStack(pageable);
    g_stack.completeAtDispatch = true;
    Request r;
    ASSERT_TRUE(Ask(&r));
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.irql, DISPATCH_LEVEL);
    // A pageable stack is called at once on the caller's thread, another at
    // DISPATCH_LEVEL from the power manager's.
    EXPECT_EQ(g_stack.dispatchIrql, pageable ? PASSIVE_LEVEL : DISPATCH_LEVEL);
    EXPECT_EQ(g_stack.dispatchThread, pageable ? std::string(sim::ThreadName()) : "power-irp");
    EXPECT_EQ(PoRequestPowerIrp(pdo_, IRP_MN_POWER_SEQUENCE, POWER_STATE{}, RequestDone, &r, nullptr),
              STATUS_INVALID_PARAMETER_2);
    EXPECT_TRUE(sim::Violations().empty()) << sim_test::ViolationText();
}

INSTANTIATE_TEST_SUITE_P(PageableOrNot, PowerRequestIrqlTest, ::testing::Bool());

TEST_F(PowerRequestTest, WaitingInACompletionFunctionAtDispatchLevelIsReported)
{
    MakeStack();
    g_stack.completeAtDispatch = true;
    Request r;
    r.wait = true;
    ASSERT_TRUE(Ask(&r));
    EXPECT_TRUE(TakeViolation("WAIT_AT_RAISED_IRQL"));
}

struct Case {
    const char* name;
    Upper upper;
    NTSTATUS status;
    const char* rule;  // reported, or null
};
class PowerUpperDriverTest : public PowerRequestTest, public ::testing::WithParamInterface<Case> {};

TEST_P(PowerUpperDriverTest, WhatTheFunctionDriverDoesWithTheRequestIsCheckedWhereItHappens)
{
    const Case c = GetParam();
    MakeStack();
    g_stack.upper = c.upper;
    g_stack.upperStatus = c.status;
    Request r;
    ASSERT_TRUE(Ask(&r));
    EXPECT_EQ(r.status, c.status);
    if (c.rule) {
        EXPECT_TRUE(TakeViolation(c.rule)) << sim_test::ViolationText();
    }
    EXPECT_TRUE(sim::Violations().empty()) << sim_test::ViolationText();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PowerUpperDriverTest,
    ::testing::Values(Case{"PassesDown", Upper::PassDown, STATUS_SUCCESS, nullptr},
                      Case{"StartsNextAfterSkipping", Upper::StartNextAfterSkip, STATUS_SUCCESS,
                           "PO_START_NEXT_POWER_IRP_MISSING"},
                      Case{"NeverStartsNextInItsRoutine", Upper::RoutineWithoutStartNext, STATUS_SUCCESS,
                           "PO_START_NEXT_POWER_IRP_MISSING"},
                      Case{"CompletesNotSupported", Upper::Complete, STATUS_NOT_SUPPORTED, "POWER_IRP_NOT_PASSED_DOWN"},
                      Case{"CompletesSuccess", Upper::Complete, STATUS_SUCCESS, "POWER_IRP_NOT_PASSED_DOWN"},
                      Case{"FailsTheRequest", Upper::Complete, STATUS_INSUFFICIENT_RESOURCES, nullptr},
                      Case{"FailsAsRemoved", Upper::Complete, STATUS_DELETE_PENDING, nullptr}),
    [](const ::testing::TestParamInfo<Case>& i) { return std::string(i.param.name); });

TEST_F(PowerRequestTest, CompletingAgainAfterTheDriverAboveTookItBackIsReported)
{
    MakeStack();
    g_stack.upper = Upper::KeepOnReturn;
    g_stack.completeTwice = true;
    Request r;
    EXPECT_FALSE(Ask(&r, 0)) << "the upper driver keeps it";
    std::vector<sim::Violation> v = sim::Violations();
    ASSERT_EQ(v.size(), 1u) << sim_test::ViolationText();
    EXPECT_EQ(v[0].rule, "IRP_COMPLETED_TWICE");
    EXPECT_EQ(v[0].routine, "\\Driver\\powbus IRP_MJ_POWER");
    sim::ClearViolations();
    PoStartNextPowerIrp(g_stack.held);
    IoCompleteRequest(g_stack.held, IO_NO_INCREMENT);  // the second completion was refused: this one counts
    EXPECT_TRUE(WaitEvent(&r.done));
}

TEST_F(PowerRequestTest, APowerIrpHeldTooLongIsReportedAsLost)
{
    MakeStack();
    g_stack.hold = true;
    sim::SetPowerIrpTimeout(100);
    Request r;
    EXPECT_FALSE(Ask(&r, 0));
    ASSERT_TRUE(sim_test::WaitFor([] { return sim::HasViolation("POWER_IRP_NOT_COMPLETED"); }));
    EXPECT_EQ(sim::Violations()[0].routine, "\\Driver\\powbus IRP_MJ_POWER");
    sim::ClearViolations();
    CompleteWith(g_stack.held, STATUS_SUCCESS);
    EXPECT_TRUE(WaitEvent(&r.done));
}

TEST_F(PowerRequestTest, AnnouncingAPowerDownAboveApcLevelIsReported)
{
    MakeStack();
    POWER_STATE s;
    s.DeviceState = PowerDeviceD0;
    sim::RunAtIrql(DISPATCH_LEVEL, [&] { PoSetPowerState(pdo_, DevicePowerState, s); });
    EXPECT_FALSE(sim::HasViolation("IRQL_TOO_HIGH")) << "back to D0 from DISPATCH_LEVEL is allowed";
    s.DeviceState = PowerDeviceD3;
    sim::RunAtIrql(DISPATCH_LEVEL, [&] { PoSetPowerState(pdo_, DevicePowerState, s); });
    EXPECT_TRUE(TakeViolation("IRQL_TOO_HIGH"));
}

// ---------------------------------------------------------------- during a sleep

class PowerOwnerRuleTest : public pnp_test::PnpFixture<RecordingMachineTest> {};

TEST_F(PowerOwnerRuleTest, ASystemRequestCompletedBeforeItsDeviceRequestIsReportedExceptTheSetToS0)
{
    power_test::InstallOwner(true, true);
    ASSERT_FALSE(sim::WaitDeviceStarted(InstanceOf(PlugProduct())).empty());
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

}  // namespace
