// The setup library where only the simulated machine reaches it: the heap
// running out at each allocation in turn, and a control device that answers
// the library's request at once, later, or with an error.
#include "port_machine.h"

#include <brisklink_ioctl.h>
#include <brisklink_setup.h>

#include "PortNaming.h"

#include <mutex>
#include <thread>

namespace {

const char kArbiter[] = "\\Registry\\Machine\\System\\CurrentControlSet\\Control\\COM Name Arbiter";

std::vector<uint8_t> Claimed(int number)
{
    std::vector<uint8_t> bitmap(32, 0);
    bitmap[(number - 1) / 8] = (uint8_t)(1u << ((number - 1) % 8));
    return bitmap;
}

class SetupHeapTest : public sim_test::PortMachineTest {};

// Whichever allocation fails, the call returns; false means nothing changed,
// true means the name is in place. Leaks would fail the machine's teardown.
TEST_F(SetupHeapTest, EachFailedAllocationIsAnOrdinaryResult)
{
    ASSERT_NE(Plug(), 0u);
    ASSERT_EQ(PortNodes().size(), 1u);
    std::string hardwareKey =
        "\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\" + PortNodes()[0].instancePath + "\\Device Parameters";
    auto reset = [&] {
        ASSERT_TRUE(sim::RegSetString(hardwareKey, "PortName", "COM3"));
        ASSERT_TRUE(sim::RegSetRaw(kArbiter, "ComDB", REG_BINARY, Claimed(3)));
    };
    reset();
    unsigned first = sim::AllocationAttempts(sim::FaultSite::Heap);
    ASSERT_TRUE(SetupPortName(L"COM4"));
    unsigned allocations = sim::AllocationAttempts(sim::FaultSite::Heap) - first;
    ASSERT_GT(allocations, 0u);

    unsigned refused = 0;
    for (unsigned nth = 1; nth <= allocations; nth++) {
        SCOPED_TRACE("allocation " + std::to_string(nth) + " fails");
        reset();
        sim::AddFault({sim::FaultSite::Heap, 0, nth, 1});
        BOOLEAN renamed = SetupPortName(L"COM4");
        sim::ClearFaults();
        std::string name;
        ULONG type = 0;
        std::vector<uint8_t> comDb;
        ASSERT_TRUE(sim::RegGetString(hardwareKey, "PortName", &name));
        ASSERT_TRUE(sim::RegGetRaw(kArbiter, "ComDB", &type, &comDb));
        EXPECT_EQ(name, renamed ? "COM4" : "COM3");
        EXPECT_EQ(comDb, Claimed(renamed ? 4 : 3));
        refused += !renamed;
    }
    EXPECT_GT(refused, 0u);
}

// ------------------------------------------------------------ the poke

// Stands in for the driver's control device: \Device\BLNKControl and its
// link, answering each device control request as the test chose.
enum class Answer { AtOnce, Later, Refuse, NoDevice };

struct Request {
    ULONG code, input, output;
};

std::mutex g_lock;  // guards the two below
std::vector<Request> g_requests;
PIRP g_held = nullptr;
Answer g_answer;
PDEVICE_OBJECT g_control = nullptr;

NTSTATUS Complete(PIRP irp, NTSTATUS status)
{
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS Dispatch(PDEVICE_OBJECT, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MajorFunction != IRP_MJ_DEVICE_CONTROL)
        return Complete(irp, STATUS_SUCCESS);
    std::lock_guard<std::mutex> lock(g_lock);
    g_requests.push_back({stack->Parameters.DeviceIoControl.IoControlCode,
                          stack->Parameters.DeviceIoControl.InputBufferLength,
                          stack->Parameters.DeviceIoControl.OutputBufferLength});
    if (g_answer == Answer::Refuse)
        return Complete(irp, STATUS_INVALID_PARAMETER);
    if (g_answer == Answer::AtOnce)
        return Complete(irp, STATUS_SUCCESS);
    IoMarkIrpPending(irp);
    g_held = irp;
    return STATUS_PENDING;
}

VOID Unload(PDRIVER_OBJECT)
{
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, BLNK_CONTROL_LINK_NAME);
    IoDeleteSymbolicLink(&link);
    IoDeleteDevice(g_control);
}

NTSTATUS Entry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    for (PDRIVER_DISPATCH& f : driver->MajorFunction)
        f = Dispatch;
    driver->DriverUnload = Unload;
    UNICODE_STRING name, link;
    RtlInitUnicodeString(&name, BLNK_CONTROL_DEVICE_NAME);
    RtlInitUnicodeString(&link, BLNK_CONTROL_LINK_NAME);
    NTSTATUS status = IoCreateDevice(driver, 0, &name, FILE_DEVICE_BLNK_CONTROL, 0, FALSE, &g_control);
    if (NT_SUCCESS(status))
        g_control->Flags &= ~DO_DEVICE_INITIALIZING;
    return NT_SUCCESS(status) ? IoCreateSymbolicLink(&link, &name) : status;
}

class ControlPokeTest : public MachineTest, public ::testing::WithParamInterface<Answer> {};

TEST_P(ControlPokeTest, OneBufferlessRequestAndItsOutcome)
{
    g_answer = GetParam();
    g_requests.clear();
    g_held = nullptr;
    if (g_answer != Answer::NoDevice) {
        ASSERT_NE(sim::LoadDriver(L"BlnkStandIn", Entry), nullptr);
    }
    // A request held by the stand-in completes from another thread.
    std::thread completer([] {
        if (g_answer != Answer::Later)
            return;
        PIRP irp = nullptr;
        sim_test::WaitFor([&] {
            std::lock_guard<std::mutex> lock(g_lock);
            return (irp = g_held) != nullptr;
        });
        if (irp)
            Complete(irp, STATUS_SUCCESS);
    });

    bool answered = PokeControlDevice();
    completer.join();

    EXPECT_EQ(answered, g_answer == Answer::AtOnce || g_answer == Answer::Later);
    std::lock_guard<std::mutex> lock(g_lock);
    if (g_answer == Answer::NoDevice) {
        EXPECT_TRUE(g_requests.empty());
        return;
    }
    ASSERT_EQ(g_requests.size(), 1u);
    EXPECT_EQ(g_requests[0].code, (ULONG)IOCTL_VSERIAL_CONTROL_SET_PORT_NAME);
    EXPECT_EQ(g_requests[0].input, 0u);
    EXPECT_EQ(g_requests[0].output, 0u);
}

std::string AnswerName(const ::testing::TestParamInfo<Answer>& info)
{
    static const char* const kNames[] = {"AtOnce", "Later", "Refuse", "NoDevice"};
    return kNames[(int)info.param];
}

INSTANTIATE_TEST_SUITE_P(Answers, ControlPokeTest,
                         ::testing::Values(Answer::AtOnce, Answer::Later, Answer::Refuse, Answer::NoDevice),
                         AnswerName);

}  // namespace
