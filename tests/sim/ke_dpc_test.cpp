// DPCs and timers: where and at which IRQL DPCs run, timer expiry in manual
// time, re-arming and cancelling, and the teardown checks on both.
#include "machine_fixture.h"

#include <internal.h>

#include <atomic>
#include <string>

using sim_test::TakeViolation;
using sim_test::WaitFor;

namespace {

struct DpcProbe {
    std::atomic<int> runs{0};
    std::atomic<KIRQL> irql{0xFF};
    std::string thread;
    PVOID arg1 = nullptr;
};

VOID ProbeDpc(PKDPC, PVOID context, PVOID arg1, PVOID)
{
    DpcProbe* probe = (DpcProbe*)context;
    probe->irql = KeGetCurrentIrql();
    probe->thread = sim::ThreadName();
    probe->arg1 = arg1;
    ++probe->runs;
}

LARGE_INTEGER Relative(LONGLONG ms)
{
    LARGE_INTEGER t;
    t.QuadPart = -ms * 10000;
    return t;
}

constexpr LONGLONG kMs = 10000;

}  // namespace

class DpcTest : public MachineTest {};
class DpcVerifierTest : public RecordingMachineTest {};

TEST_F(DpcTest, DpcRunsOnTheDpcThreadAtDispatchLevel)
{
    DpcProbe probe;
    KDPC dpc;
    KeInitializeDpc(&dpc, ProbeDpc, &probe);
    EXPECT_TRUE(KeInsertQueueDpc(&dpc, (PVOID)0x1234, nullptr));
    ASSERT_TRUE(WaitFor([&] { return probe.runs == 1; }));
    EXPECT_EQ(probe.irql, DISPATCH_LEVEL);
    EXPECT_EQ(probe.thread, "dpc");
    EXPECT_EQ(probe.arg1, (PVOID)0x1234);
}

TEST_F(DpcTest, QueueingAQueuedDpcReturnsFalseAndRunsItOnce)
{
    DpcProbe probe;
    KDPC dpc, blocker;
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    // A DPC spinning on a lock the test holds keeps the DPC thread busy.
    KeInitializeDpc(
        &blocker,
        [](PKDPC, PVOID l, PVOID, PVOID) {
            KeAcquireSpinLockAtDpcLevel((PKSPIN_LOCK)l);
            KeReleaseSpinLockFromDpcLevel((PKSPIN_LOCK)l);
        },
        &lock);
    KeInitializeDpc(&dpc, ProbeDpc, &probe);
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    KeInsertQueueDpc(&blocker, nullptr, nullptr);
    EXPECT_TRUE(KeInsertQueueDpc(&dpc, nullptr, nullptr));
    EXPECT_FALSE(KeInsertQueueDpc(&dpc, nullptr, nullptr));
    KeReleaseSpinLock(&lock, old);
    KeFlushQueuedDpcs();
    EXPECT_EQ(probe.runs, 1);
}

TEST_F(DpcTest, RemovedDpcDoesNotRun)
{
    DpcProbe probe;
    KDPC dpc, blocker;
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KeInitializeDpc(
        &blocker,
        [](PKDPC, PVOID l, PVOID, PVOID) {
            KeAcquireSpinLockAtDpcLevel((PKSPIN_LOCK)l);
            KeReleaseSpinLockFromDpcLevel((PKSPIN_LOCK)l);
        },
        &lock);
    KeInitializeDpc(&dpc, ProbeDpc, &probe);
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    KeInsertQueueDpc(&blocker, nullptr, nullptr);
    KeInsertQueueDpc(&dpc, nullptr, nullptr);
    EXPECT_TRUE(KeRemoveQueueDpc(&dpc));
    EXPECT_FALSE(KeRemoveQueueDpc(&dpc));
    KeReleaseSpinLock(&lock, old);
    KeFlushQueuedDpcs();
    EXPECT_EQ(probe.runs, 0);
}

TEST_F(DpcTest, TimerFiresAtItsDueTimeInManualTimeAndNotBefore)
{
    sim::SetManualTime(true);
    DpcProbe probe;
    KDPC dpc;
    KTIMER timer;
    KeInitializeDpc(&dpc, ProbeDpc, &probe);
    KeInitializeTimer(&timer);
    EXPECT_FALSE(KeSetTimer(&timer, Relative(50), &dpc));
    EXPECT_EQ(sim::LastRequestedDueTime(&timer), -50 * kMs);
    sim::AdvanceTime(49 * kMs);
    EXPECT_EQ(probe.runs, 0);
    EXPECT_FALSE(KeReadStateTimer(&timer));
    sim::AdvanceTime(1 * kMs);
    EXPECT_EQ(probe.runs, 1) << "AdvanceTime returns after the DPCs of due timers ran";
    EXPECT_TRUE(KeReadStateTimer(&timer));
    LARGE_INTEGER zero{};
    EXPECT_EQ(KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
    EXPECT_TRUE(KeReadStateTimer(&timer)) << "a notification timer stays signalled";
}

TEST_F(DpcTest, RearmingReplacesTheDueTimeAndReturnsTrue)
{
    sim::SetManualTime(true);
    KTIMER timer;
    KeInitializeTimerEx(&timer, SynchronizationTimer);
    EXPECT_FALSE(KeSetTimer(&timer, Relative(10), nullptr));
    EXPECT_TRUE(KeSetTimer(&timer, Relative(30), nullptr));
    sim::AdvanceTime(20 * kMs);
    EXPECT_FALSE(KeReadStateTimer(&timer)) << "the first due time was replaced";
    sim::AdvanceTime(10 * kMs);
    EXPECT_TRUE(KeReadStateTimer(&timer));
    LARGE_INTEGER zero{};
    EXPECT_EQ(KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
    EXPECT_FALSE(KeReadStateTimer(&timer)) << "a synchronization timer resets when a wait takes it";
}

TEST_F(DpcTest, CancelledTimerNeverFires)
{
    sim::SetManualTime(true);
    DpcProbe probe;
    KDPC dpc;
    KTIMER timer;
    KeInitializeDpc(&dpc, ProbeDpc, &probe);
    KeInitializeTimer(&timer);
    KeSetTimer(&timer, Relative(10), &dpc);
    EXPECT_TRUE(KeCancelTimer(&timer));
    EXPECT_FALSE(KeCancelTimer(&timer));
    sim::AdvanceTime(100 * kMs);
    EXPECT_EQ(probe.runs, 0);
}

TEST_F(DpcTest, PeriodicTimerFiresOncePerPeriod)
{
    sim::SetManualTime(true);
    DpcProbe probe;
    KDPC dpc;
    KTIMER timer;
    KeInitializeDpc(&dpc, ProbeDpc, &probe);
    KeInitializeTimer(&timer);
    KeSetTimerEx(&timer, Relative(10), 10, &dpc);
    sim::AdvanceTime(35 * kMs);
    EXPECT_EQ(probe.runs, 3);
    EXPECT_TRUE(KeCancelTimer(&timer));
}

TEST_F(DpcTest, TimerWakesAThreadWaitingOnIt)
{
    KTIMER timer;
    KeInitializeTimer(&timer);
    // Measured from before the timer is set: the thread may be scheduled out
    // between the two calls.
    auto start = std::chrono::steady_clock::now();
    KeSetTimer(&timer, Relative(10), nullptr);
    EXPECT_EQ(KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(9));
}

TEST_F(DpcTest, AbsoluteDueTimeIsRecordedAsPassed)
{
    sim::SetManualTime(true);
    KTIMER timer;
    KeInitializeTimer(&timer);
    LARGE_INTEGER due;
    KeQuerySystemTime(&due);
    due.QuadPart += 5 * kMs;
    KeSetTimer(&timer, due, nullptr);
    EXPECT_EQ(sim::LastRequestedDueTime(&timer), due.QuadPart);
    sim::AdvanceTime(4 * kMs);
    EXPECT_FALSE(KeReadStateTimer(&timer));
    sim::AdvanceTime(1 * kMs);
    EXPECT_TRUE(KeReadStateTimer(&timer));
}

TEST_F(DpcTest, TickCountFollowsInterruptTime)
{
    sim::SetManualTime(true);
    LARGE_INTEGER before, after;
    KeQueryTickCount(&before);
    ULONGLONG t0 = sim::InterruptTime();
    sim::AdvanceTime(10 * (LONGLONG)KeQueryTimeIncrement());
    EXPECT_EQ(sim::InterruptTime() - t0, 10u * KeQueryTimeIncrement());
    KeQueryTickCount(&after);
    EXPECT_EQ(after.QuadPart - before.QuadPart, 10);
}

TEST_F(DpcTest, WaitQuietReturnsOnceQueuedDpcsRan)
{
    DpcProbe probe;
    KDPC dpc;
    KeInitializeDpc(&dpc, ProbeDpc, &probe);
    KeInsertQueueDpc(&dpc, nullptr, nullptr);
    EXPECT_TRUE(sim::WaitQuiet(5000));
    EXPECT_EQ(probe.runs, 1);
}

TEST_F(DpcVerifierTest, DpcReturningAtAnotherIrqlIsReported)
{
    KDPC dpc;
    KeInitializeDpc(
        &dpc, [](PKDPC, PVOID, PVOID, PVOID) { KeLowerIrql(PASSIVE_LEVEL); }, nullptr);
    KeInsertQueueDpc(&dpc, nullptr, nullptr);
    KeFlushQueuedDpcs();
    EXPECT_TRUE(TakeViolation("IRQL_NOT_RESTORED"));
}

TEST_F(DpcVerifierTest, FlushingDpcsAtDispatchLevelIsReported)
{
    sim::RunAtIrql(DISPATCH_LEVEL, [] { KeFlushQueuedDpcs(); });
    EXPECT_TRUE(TakeViolation("IRQL_TOO_HIGH"));
}

TEST_F(DpcVerifierTest, TimerLeftSetAtTeardownIsReported)
{
    static KTIMER timer;  // outlives the machine, as a driver global would
    KeInitializeTimer(&timer);
    KeSetTimer(&timer, Relative(60000), nullptr);
    EXPECT_EQ(sim::StopMachine(), 1u);
    EXPECT_TRUE(TakeViolation("TIMER_LEFT_SET"));
}

TEST_F(DpcVerifierTest, FreeingASetTimerIsReported)
{
    KTIMER* timer = (KTIMER*)ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(KTIMER), 0x726D6954);
    KeInitializeTimer(timer);
    KeSetTimer(timer, Relative(60000), nullptr);
    ExFreePool(timer);
    EXPECT_TRUE(TakeViolation("FREE_ACTIVE_KERNEL_OBJECT"));
}

TEST_F(DpcVerifierTest, FreeingAQueuedDpcIsReported)
{
    sim::SetManualTime(true);
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KDPC blocker;
    KeInitializeDpc(
        &blocker,
        [](PKDPC, PVOID l, PVOID, PVOID) {
            KeAcquireSpinLockAtDpcLevel((PKSPIN_LOCK)l);
            KeReleaseSpinLockFromDpcLevel((PKSPIN_LOCK)l);
        },
        &lock);
    KDPC* dpc = (KDPC*)ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(KDPC), 0x20637044);
    DpcProbe probe;
    KeInitializeDpc(dpc, ProbeDpc, &probe);
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    KeInsertQueueDpc(&blocker, nullptr, nullptr);
    KeInsertQueueDpc(dpc, nullptr, nullptr);
    ExFreePool(dpc);
    KeReleaseSpinLock(&lock, old);
    KeFlushQueuedDpcs();
    EXPECT_EQ(probe.runs, 0);
    EXPECT_TRUE(TakeViolation("FREE_ACTIVE_KERNEL_OBJECT"));
}

TEST_F(DpcVerifierTest, NegativeTimerPeriodIsReported)
{
    KTIMER timer;
    KeInitializeTimer(&timer);
    KeSetTimerEx(&timer, Relative(10), -5, nullptr);
    EXPECT_TRUE(TakeViolation("TIMER_PERIOD_NEGATIVE"));
    EXPECT_TRUE(KeCancelTimer(&timer));
}
