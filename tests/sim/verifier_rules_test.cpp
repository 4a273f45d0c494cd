// The verifier's rules that no other test breaks: each row is a small faulty
// routine and the rule the verifier must name for it, and nothing else.
// (tools/rules/check_rules.py counts each row as that rule's proof.)
#include "io_test_driver.h"

#include <windows.h>

#include <atomic>
#include <chrono>
#include <thread>

using namespace io_test;

namespace {

// ---------------------------------------------------------------- locks

void HoldASpinLockPastTheLimit()
{
    sim::SetSpinLockHoldLimit(10);
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    std::this_thread::sleep_for(std::chrono::milliseconds(40));
    KeReleaseSpinLock(&lock, old);
    sim::SetSpinLockHoldLimit(1000);  // the machine's own locks at stop are not this test's
}

void WaitWhileHoldingASpinLock()
{
    KEVENT ready;
    KeInitializeEvent(&ready, NotificationEvent, TRUE);  // signalled: the wait itself returns at once
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    LARGE_INTEGER oneMs;
    oneMs.QuadPart = -10000;
    KeWaitForSingleObject(&ready, Executive, KernelMode, FALSE, &oneMs);
    KeReleaseSpinLock(&lock, old);
}

void ReleaseTheCancelSpinLockWithoutIt()
{
    sim::RunAtIrql(DISPATCH_LEVEL, [] { IoReleaseCancelSpinLock(DISPATCH_LEVEL); });
}

// ---------------------------------------------------------------- what a driver leaves at unload

KTIMER g_timer;
KDPC g_dpc, g_blocker;
std::atomic<bool> g_blockDpcs{false}, g_blocking{false};
PDEVICE_OBJECT g_device;

VOID DoNothingDpc(PKDPC, PVOID, PVOID, PVOID) {}

// Keeps the DPC thread busy, so that a DPC queued meanwhile stays queued.
VOID BlockingDpc(PKDPC, PVOID, PVOID, PVOID)
{
    g_blocking = true;
    while (g_blockDpcs)
        std::this_thread::yield();
}

NTSTATUS SetTimerEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    KeInitializeTimer(&g_timer);
    LARGE_INTEGER anHour;
    anHour.QuadPart = -36000000000LL;
    KeSetTimer(&g_timer, anHour, nullptr);
    driver->DriverUnload = [](PDRIVER_OBJECT) {};  // forgets KeCancelTimer
    return STATUS_SUCCESS;
}

NTSTATUS QueueDpcEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    KeInitializeDpc(&g_dpc, DoNothingDpc, nullptr);
    KeInsertQueueDpc(&g_dpc, nullptr, nullptr);
    driver->DriverUnload = [](PDRIVER_OBJECT) {};  // forgets KeRemoveQueueDpc and KeFlushQueuedDpcs
    return STATUS_SUCCESS;
}

NTSTATUS KeepABlockEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    ExAllocatePoolWithTag(NonPagedPoolNx, 16, 'peeK');  // never freed
    driver->DriverUnload = [](PDRIVER_OBJECT) {};
    return STATUS_SUCCESS;
}

// One device, deleted by DriverUnload; `keep` references it first.
template <bool keep>
NTSTATUS DeviceEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    NTSTATUS status = IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &g_device);
    if (!NT_SUCCESS(status))
        return status;
    g_device->Flags &= ~DO_DEVICE_INITIALIZING;
    if (keep)
        ObReferenceObject(g_device);  // never dropped
    driver->DriverUnload = [](PDRIVER_OBJECT) { IoDeleteDevice(g_device); };
    return STATUS_SUCCESS;
}

void UnloadWithATimerSet()
{
    sim::UnloadDriver(sim::LoadDriver(L"rulestimer", SetTimerEntry));
}

void UnloadWithADpcQueued()
{
    g_blockDpcs = true;
    g_blocking = false;
    KeInitializeDpc(&g_blocker, BlockingDpc, nullptr);
    KeInsertQueueDpc(&g_blocker, nullptr, nullptr);  // the test's own: no driver's
    ASSERT_TRUE(sim_test::WaitFor([] { return g_blocking.load(); }));
    sim::UnloadDriver(sim::LoadDriver(L"rulesdpc", QueueDpcEntry));
    g_blockDpcs = false;
    EXPECT_TRUE(sim::WaitQuiet());
}

void UnloadWithABlockKept()
{
    sim::UnloadDriver(sim::LoadDriver(L"rulespool", KeepABlockEntry));
}

void UnloadWithADeviceStillReferenced()
{
    sim::UnloadDriver(sim::LoadDriver(L"rulesref", DeviceEntry<true>));
}

// The machine's stop unloads the driver while the test still holds the top of its stack.
void StopHoldingAnAttachedDeviceReference()
{
    sim::LoadDriver(L"rulesattached", DeviceEntry<false>);
    IoGetAttachedDeviceReference(g_device);
}

// ---------------------------------------------------------------- requests

std::atomic<PIRP> g_kept{nullptr};

// Keeps reads without a cancel routine: nothing can end them but the driver.
NTSTATUS KeepReads(PDEVICE_OBJECT, PIRP irp)
{
    if (IoGetCurrentIrpStackLocation(irp)->MajorFunction != IRP_MJ_READ)
        return CompleteWith(irp, STATUS_SUCCESS);
    IoMarkIrpPending(irp);
    g_kept = irp;
    return STATUS_PENDING;
}

void EndAClientWhoseReadTheDriverKeeps()
{
    g_kept = nullptr;
    ASSERT_NE(MakeDevice(LoadTestDriver(L"ruleskeep", KeepReads), L"\\Device\\RulesKeep"), nullptr);
    UNICODE_STRING link = Name(L"\\DosDevices\\Global\\RULESKEEP"), target = Name(L"\\Device\\RulesKeep");
    ASSERT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);
    std::atomic<DWORD> client{0};
    std::thread thread([&] {
        HANDLE h = CreateFileW(L"\\\\.\\RULESKEEP", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        client = GetCurrentThreadId();
        char buffer[4];
        DWORD n = 0;
        ReadFile(h, buffer, sizeof buffer, &n, nullptr);  // its handle is the system's to close
    });
    ASSERT_TRUE(sim_test::WaitFor([] { return g_kept.load() != nullptr; }));
    sim::EndClientThread(client, 50);
    CompleteWith(g_kept.exchange(nullptr), STATUS_CANCELLED);
    thread.join();
    IoDeleteSymbolicLink(&link);
}

// ---------------------------------------------------------------- Win32 heap

void AllocateFromAHeapThatIsNotOne()
{
    EXPECT_EQ(HeapAlloc((HANDLE)(ULONG_PTR)0x1234, 0, 8), nullptr);
}

void FreeWhatTheHeapNeverGave()
{
    int local = 0;
    EXPECT_FALSE(HeapFree(GetProcessHeap(), 0, &local));
}

void AskTheHeapForExceptions()
{
    EXPECT_EQ(HeapAlloc(GetProcessHeap(), HEAP_GENERATE_EXCEPTIONS, 8), nullptr);
}

void KeepAHeapBlock()
{
    EXPECT_NE(HeapAlloc(GetProcessHeap(), 0, 8), nullptr);
}

// ---------------------------------------------------------------- the driver's own checks, and the registry

void AssertSomethingFalse()
{
    ULONG length = 0;
    NT_ASSERT(length != 0);
}

void ReportUnderAnUnlistedName()
{
    sim::ReportViolation("NO_SUCH_RULE", "object", "test", "a name the registry lacks");
}

struct Breach {
    const char* name;
    const char* rule;
    void (*commit)();
    bool atStop;  // the rule is checked when the machine stops
};

class VerifierRuleTest : public RecordingMachineTest, public ::testing::WithParamInterface<Breach> {};

TEST_P(VerifierRuleTest, TheFaultyRoutineIsReportedUnderItsRuleAlone)
{
    const Breach& c = GetParam();
    c.commit();
    if (c.atStop)
        sim::StopMachine();
    std::vector<sim::Violation> reports = sim::Violations();
    ASSERT_FALSE(reports.empty()) << c.rule << " was not reported";
    for (const sim::Violation& v : reports)
        EXPECT_EQ(v.rule, c.rule) << v.message;
    sim::ClearViolations();
}

INSTANTIATE_TEST_SUITE_P(
    Rules, VerifierRuleTest,
    ::testing::Values(
        Breach{"HoldASpinLockPastTheLimit", "SPINLOCK_HELD_TOO_LONG", HoldASpinLockPastTheLimit, false},
        Breach{"WaitWhileHoldingASpinLock", "WAIT_AT_RAISED_IRQL", WaitWhileHoldingASpinLock, false},
        Breach{"ReleaseTheCancelSpinLockWithoutIt", "SPINLOCK_NOT_OWNER", ReleaseTheCancelSpinLockWithoutIt, false},
        Breach{"UnloadWithATimerSet", "TIMER_OR_DPC_PENDING_AT_UNLOAD", UnloadWithATimerSet, false},
        Breach{"UnloadWithADpcQueued", "TIMER_OR_DPC_PENDING_AT_UNLOAD", UnloadWithADpcQueued, false},
        Breach{"UnloadWithABlockKept", "POOL_LEAK", UnloadWithABlockKept, false},
        Breach{"UnloadWithADeviceStillReferenced", "DEVICE_REFERENCE_LEAKED", UnloadWithADeviceStillReferenced, false},
        Breach{"StopHoldingAnAttachedDeviceReference", "DEVICE_REFERENCE_LEAKED", StopHoldingAnAttachedDeviceReference,
               true},
        Breach{"EndAClientWhoseReadTheDriverKeeps", "THREAD_IRP_NOT_CANCELLED", EndAClientWhoseReadTheDriverKeeps,
               false},
        Breach{"AllocateFromAHeapThatIsNotOne", "WIN32_BAD_HEAP", AllocateFromAHeapThatIsNotOne, false},
        Breach{"FreeWhatTheHeapNeverGave", "WIN32_HEAP_BAD_FREE", FreeWhatTheHeapNeverGave, false},
        Breach{"AskTheHeapForExceptions", "WIN32_HEAP_EXCEPTIONS", AskTheHeapForExceptions, false},
        Breach{"KeepAHeapBlock", "WIN32_HEAP_LEAKED", KeepAHeapBlock, true},
        Breach{"AssertSomethingFalse", "DRIVER_ASSERTION_FAILED", AssertSomethingFalse, false},
        Breach{"ReportUnderAnUnlistedName", "UNKNOWN_RULE", ReportUnderAnUnlistedName, false}),
    [](const ::testing::TestParamInfo<Breach>& i) { return std::string(i.param.name); });

}  // namespace
