// Dispatcher objects, waits and spin locks, across real threads.
#include "machine_fixture.h"

#include <internal.h>

#include <atomic>
#include <thread>
#include <vector>

using sim_test::TakeViolation;
using sim_test::WaitFor;

namespace {

constexpr ULONG kEventTag = 0x6B747645;  // 'EvtK'

LARGE_INTEGER Relative(LONGLONG ms)
{
    LARGE_INTEGER t;
    t.QuadPart = -ms * 10000;
    return t;
}

// Starts `n` threads that each wait once on `event` and count their release.
std::vector<std::thread> StartWaiters(KEVENT* event, int n, std::atomic<int>* released)
{
    std::vector<std::thread> threads;
    for (int i = 0; i < n; ++i)
        threads.emplace_back([=] {
            if (KeWaitForSingleObject(event, Executive, KernelMode, FALSE, nullptr) == STATUS_SUCCESS)
                ++*released;
        });
    return threads;
}

}  // namespace

class SyncTest : public MachineTest {};
class SyncVerifierTest : public RecordingMachineTest {};

// Waits (bounded) until `n` threads are blocked on `object`.
static bool Blocked(const void* object, size_t n)
{
    return WaitFor([&] { return sim::WaiterCount(object) == n; });
}
// A window in which a wrongly released thread would show it; only for checks
// that something did NOT happen.
static void Settle()
{
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
}

TEST_F(SyncTest, SynchronizationEventReleasesOneWaiterPerSet)
{
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    std::atomic<int> released{0};
    auto threads = StartWaiters(&event, 3, &released);
    EXPECT_TRUE(Blocked(&event, 3));
    EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 0);
    ASSERT_TRUE(WaitFor([&] { return released == 1; }));
    EXPECT_EQ(KeReadStateEvent(&event), 0) << "handed to the waiter, not left signalled";
    EXPECT_TRUE(Blocked(&event, 2));
    EXPECT_EQ(released, 1);
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(released, 3);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
}

TEST_F(SyncTest, NotificationEventReleasesEveryWaiterAndStaysSignalled)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    std::atomic<int> released{0};
    auto threads = StartWaiters(&event, 3, &released);
    EXPECT_TRUE(Blocked(&event, 3));
    EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 0);
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(released, 3);
    EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 1) << "previous state";
    EXPECT_EQ(KeResetEvent(&event), 1);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
}

TEST_F(SyncTest, TimeoutsReturnStatusTimeout)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    LARGE_INTEGER zero{};
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
    LARGE_INTEGER t = Relative(20);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &t), STATUS_TIMEOUT);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(20));
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
}

TEST_F(SyncTest, AbsoluteTimeoutIsMeasuredInSystemTime)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    LARGE_INTEGER due;
    KeQuerySystemTime(&due);
    due.QuadPart += 20 * 10000;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &due), STATUS_TIMEOUT);
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(15));
    EXPECT_LT(took, std::chrono::seconds(2));
}

TEST_F(SyncTest, ManualTimeHoldsATimedWaitUntilAdvanced)
{
    sim::SetManualTime(true);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    std::atomic<NTSTATUS> status{STATUS_PENDING};
    std::thread waiter([&] {
        LARGE_INTEGER t = Relative(100);
        status = KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &t);
    });
    EXPECT_TRUE(Blocked(&event, 1));
    sim::AdvanceTime(99 * 10000);
    Settle();
    EXPECT_EQ(status, STATUS_PENDING);
    sim::AdvanceTime(1 * 10000);
    waiter.join();
    EXPECT_EQ(status, STATUS_TIMEOUT);
}

TEST_F(SyncTest, WaitAnyReportsTheIndexAndWaitAllNeedsEveryObject)
{
    KEVENT a, b;
    KeInitializeEvent(&a, SynchronizationEvent, FALSE);
    KeInitializeEvent(&b, SynchronizationEvent, TRUE);
    PVOID objects[2] = {&a, &b};
    EXPECT_EQ(KeWaitForMultipleObjects(2, objects, WaitAny, Executive, KernelMode, FALSE, nullptr, nullptr),
              STATUS_WAIT_1);
    EXPECT_EQ(KeReadStateEvent(&b), 0) << "a synchronization event is consumed by the wait";
    KeSetEvent(&a, IO_NO_INCREMENT, FALSE);
    LARGE_INTEGER zero{};
    EXPECT_EQ(KeWaitForMultipleObjects(2, objects, WaitAll, Executive, KernelMode, FALSE, &zero, nullptr),
              STATUS_TIMEOUT);
    EXPECT_EQ(KeReadStateEvent(&a), 1) << "a failed WaitAll consumes nothing";
    std::atomic<NTSTATUS> status{STATUS_PENDING};
    std::thread waiter([&] {
        status = KeWaitForMultipleObjects(2, objects, WaitAll, Executive, KernelMode, FALSE, nullptr, nullptr);
    });
    EXPECT_TRUE(Blocked(&a, 1));
    EXPECT_EQ(status, STATUS_PENDING);
    KeSetEvent(&b, IO_NO_INCREMENT, FALSE);
    waiter.join();
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(&a), 0);
    EXPECT_EQ(KeReadStateEvent(&b), 0);
}

TEST_F(SyncTest, MutexIsRecursiveForItsOwnerAndExcludesOthers)
{
    KMUTEX mutex;
    KeInitializeMutex(&mutex, 0);
    EXPECT_EQ(KeWaitForMutexObject(&mutex, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForMutexObject(&mutex, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    std::atomic<bool> acquired{false};
    std::thread other([&] {
        KeWaitForMutexObject(&mutex, Executive, KernelMode, FALSE, nullptr);
        acquired = true;
        KeReleaseMutex(&mutex, FALSE);
    });
    KeReleaseMutex(&mutex, FALSE);
    EXPECT_TRUE(Blocked(&mutex, 1)) << "still held once";
    EXPECT_FALSE(acquired) << "still held once";
    KeReleaseMutex(&mutex, FALSE);
    other.join();
    EXPECT_TRUE(acquired);
}

TEST_F(SyncTest, DelayExecutionWaitsTheInterval)
{
    LARGE_INTEGER t = Relative(15);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &t), STATUS_SUCCESS);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(15));
}

TEST_F(SyncVerifierTest, WaitingAtDispatchLevelIsReportedButPollingIsNot)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, TRUE);
    LARGE_INTEGER zero{};
    sim::RunAtIrql(DISPATCH_LEVEL, [&] { KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero); });
    EXPECT_TRUE(sim::Violations().empty());
    sim::RunAtIrql(DISPATCH_LEVEL, [&] { KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr); });
    EXPECT_TRUE(TakeViolation("WAIT_AT_RAISED_IRQL"));
}

TEST_F(SyncVerifierTest, WaitOnAnUninitialisedEventIsReported)
{
    KEVENT* event = (KEVENT*)ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(KEVENT), kEventTag);
    LARGE_INTEGER zero{};
    EXPECT_NE(KeWaitForSingleObject(event, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
    EXPECT_TRUE(TakeViolation("DISPATCHER_OBJECT_NOT_INITIALIZED"));
    ExFreePool(event);
}

TEST_F(SyncVerifierTest, MutexReleasedByANonOwnerIsReported)
{
    KMUTEX mutex;
    KeInitializeMutex(&mutex, 0);
    KeWaitForMutexObject(&mutex, Executive, KernelMode, FALSE, nullptr);
    std::thread([&] { KeReleaseMutex(&mutex, FALSE); }).join();
    EXPECT_TRUE(TakeViolation("MUTEX_NOT_OWNER"));
    KeReleaseMutex(&mutex, FALSE);
    EXPECT_TRUE(sim::Violations().empty());
}

TEST_F(SyncVerifierTest, TooManyObjectsWithoutAWaitBlockArrayIsReported)
{
    KEVENT e[4];
    PVOID objects[4];
    for (int i = 0; i < 4; ++i) {
        KeInitializeEvent(&e[i], NotificationEvent, TRUE);
        objects[i] = &e[i];
    }
    KeWaitForMultipleObjects(4, objects, WaitAll, Executive, KernelMode, FALSE, nullptr, nullptr);
    EXPECT_TRUE(TakeViolation("WAIT_OBJECT_COUNT"));
}

TEST_F(SyncVerifierTest, FreeingAnObjectSomeoneWaitsOnIsReported)
{
    KEVENT* event = (KEVENT*)ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(KEVENT), kEventTag);
    KeInitializeEvent(event, NotificationEvent, FALSE);
    std::atomic<NTSTATUS> status{STATUS_PENDING};
    std::thread waiter([&] {
        LARGE_INTEGER t = Relative(200);
        status = KeWaitForSingleObject(event, Executive, KernelMode, FALSE, &t);
    });
    EXPECT_TRUE(Blocked(event, 1));
    ExFreePool(event);
    EXPECT_TRUE(sim::HasViolation("FREE_ACTIVE_KERNEL_OBJECT"));
    waiter.join();
    EXPECT_EQ(status, STATUS_TIMEOUT);
    sim::ClearViolations();
}

// ---------------------------------------------------------------- spin locks

TEST_F(SyncTest, SpinLockExcludesOtherThreadsAndRestoresIrql)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    long counter = 0;  // deliberately unsynchronised but for the lock
    auto work = [&] {
        for (int i = 0; i < 20000; ++i) {
            KIRQL old;
            KeAcquireSpinLock(&lock, &old);
            EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
            long v = counter;
            if (i % 1000 == 0)
                std::this_thread::yield();
            counter = v + 1;
            KeReleaseSpinLock(&lock, old);
            EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
        }
    };
    std::thread a(work), b(work), c(work);
    a.join();
    b.join();
    c.join();
    EXPECT_EQ(counter, 60000);
    EXPECT_EQ(sim::SpinLocksHeld(), 0);
}

TEST_F(SyncTest, NestedLocksInOneOrderAreNotACycle)
{
    KSPIN_LOCK a, b;
    KeInitializeSpinLock(&a);
    KeInitializeSpinLock(&b);
    for (int i = 0; i < 2; ++i) {
        KIRQL old;
        KeAcquireSpinLock(&a, &old);
        KeAcquireSpinLockAtDpcLevel(&b);
        EXPECT_EQ(sim::SpinLocksHeld(), 2);
        KeReleaseSpinLockFromDpcLevel(&b);
        KeReleaseSpinLock(&a, old);
    }
}

TEST_F(SyncVerifierTest, OppositeLockOrdersAreReportedAsACycle)
{
    KSPIN_LOCK a, b;
    KeInitializeSpinLock(&a);
    KeInitializeSpinLock(&b);
    KIRQL old;
    KeAcquireSpinLock(&a, &old);
    KeAcquireSpinLockAtDpcLevel(&b);
    KeReleaseSpinLockFromDpcLevel(&b);
    KeReleaseSpinLock(&a, old);
    EXPECT_TRUE(sim::Violations().empty());
    std::thread([&] {  // another thread, the other order: a deadlock waiting to happen
        KIRQL o;
        KeAcquireSpinLock(&b, &o);
        KeAcquireSpinLockAtDpcLevel(&a);
        KeReleaseSpinLockFromDpcLevel(&a);
        KeReleaseSpinLock(&b, o);
    })
        .join();
    EXPECT_TRUE(TakeViolation("LOCK_ORDER_CYCLE"));
}

TEST_F(SyncVerifierTest, ReinitialisedLockForgetsItsOrder)
{
    KSPIN_LOCK a, b;
    KeInitializeSpinLock(&a);
    KeInitializeSpinLock(&b);
    KIRQL old;
    KeAcquireSpinLock(&a, &old);
    KeAcquireSpinLockAtDpcLevel(&b);
    KeReleaseSpinLockFromDpcLevel(&b);
    KeReleaseSpinLock(&a, old);
    KeInitializeSpinLock(&a);  // a new lock at the same address
    KeAcquireSpinLock(&b, &old);
    KeAcquireSpinLockAtDpcLevel(&a);
    KeReleaseSpinLockFromDpcLevel(&a);
    KeReleaseSpinLock(&b, old);
    EXPECT_TRUE(sim::Violations().empty());
}

TEST_F(SyncVerifierTest, OrderTakenAgainAfterAReinitialisationStillClosesACycle)
{
    KSPIN_LOCK a, b;
    KeInitializeSpinLock(&a);
    KeInitializeSpinLock(&b);
    auto aThenB = [&] {
        KIRQL old;
        KeAcquireSpinLock(&a, &old);
        KeAcquireSpinLockAtDpcLevel(&b);
        KeReleaseSpinLockFromDpcLevel(&b);
        KeReleaseSpinLock(&a, old);
    };
    aThenB();
    KeInitializeSpinLock(&a);  // forgets a -> b, also for this thread
    aThenB();                  // ... which records it again
    std::thread([&] {
        KIRQL o;
        KeAcquireSpinLock(&b, &o);
        KeAcquireSpinLockAtDpcLevel(&a);
        KeReleaseSpinLockFromDpcLevel(&a);
        KeReleaseSpinLock(&b, o);
    }).join();
    EXPECT_TRUE(TakeViolation("LOCK_ORDER_CYCLE"));
}

TEST_F(SyncVerifierTest, RecursiveAcquireIsReportedInsteadOfHanging)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    KeAcquireSpinLockAtDpcLevel(&lock);
    EXPECT_TRUE(TakeViolation("SPINLOCK_RECURSIVE"));
    KeReleaseSpinLock(&lock, old);
    EXPECT_TRUE(sim::Violations().empty());
}

TEST_F(SyncVerifierTest, ReleaseByANonOwnerIsReported)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    std::thread([&] { sim::RunAtIrql(DISPATCH_LEVEL, [&] { KeReleaseSpinLockFromDpcLevel(&lock); }); }).join();
    EXPECT_TRUE(TakeViolation("SPINLOCK_NOT_OWNER"));
    KeReleaseSpinLock(&lock, old);
    EXPECT_TRUE(sim::Violations().empty()) << "the owner still held it";
}

TEST_F(SyncVerifierTest, OutOfOrderReleaseIsReported)
{
    KSPIN_LOCK a, b;
    KeInitializeSpinLock(&a);
    KeInitializeSpinLock(&b);
    KIRQL old;
    KeAcquireSpinLock(&a, &old);
    KeAcquireSpinLockAtDpcLevel(&b);
    KeReleaseSpinLockFromDpcLevel(&a);
    EXPECT_TRUE(TakeViolation("SPINLOCK_OUT_OF_ORDER"));
    KeReleaseSpinLockFromDpcLevel(&b);
    KeLowerIrql(old);
    EXPECT_TRUE(sim::Violations().empty());
}

TEST_F(SyncVerifierTest, ReleaseToAnotherIrqlIsReported)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old;
    KeRaiseIrql(APC_LEVEL, &old);
    KIRQL atApc;
    KeAcquireSpinLock(&lock, &atApc);
    KeReleaseSpinLock(&lock, PASSIVE_LEVEL);  // should restore APC_LEVEL
    EXPECT_TRUE(TakeViolation("SPINLOCK_RELEASE_IRQL"));
    EXPECT_EQ(atApc, APC_LEVEL);
    EXPECT_EQ(old, PASSIVE_LEVEL);
}

TEST_F(SyncVerifierTest, AcquireAtDpcLevelBelowDispatchIsReported)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KeAcquireSpinLockAtDpcLevel(&lock);
    EXPECT_TRUE(TakeViolation("SPINLOCK_ACQUIRE_IRQL"));
    sim::RunAtIrql(DISPATCH_LEVEL, [&] { KeReleaseSpinLockFromDpcLevel(&lock); });
    EXPECT_TRUE(sim::Violations().empty());
}

TEST_F(SyncTest, CancelSpinLockCountsAsAHeldLock)
{
    KIRQL old = sim::AcquireSpinLockFor(sim::CancelSpinLock(), "IoAcquireCancelSpinLock");
    EXPECT_EQ(sim::SpinLocksHeld(), 1);
    EXPECT_TRUE(sim::HoldsSpinLock(sim::CancelSpinLock()));
    sim::ReleaseSpinLockFor(sim::CancelSpinLock(), old, "IoReleaseCancelSpinLock");
    EXPECT_EQ(sim::SpinLocksHeld(), 0);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}
