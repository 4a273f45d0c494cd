#include "machine_fixture.h"

using sim_test::WaitFor;
#include "support/Event.h"
#include "support/IoCounter.h"
#include "support/Lock.h"

#include <atomic>
#include <chrono>
#include <thread>

class SyncObjectsTest : public MachineTest {};

TEST_F(SyncObjectsTest, IoCounterSignalsZeroOnlyWhenTheBaseUnitAndEveryRequestAreBack)
{
    CIoCounter counter;
    EXPECT_EQ(counter.m_Count, 1);
    counter.Increment();
    counter.Increment();
    counter.Decrement();
    counter.Decrement();
    EXPECT_EQ(counter.m_Count, 1);
    EXPECT_EQ(KeReadStateEvent(&counter.m_ZeroEvent), 0);
    counter.Decrement();
    EXPECT_EQ(counter.m_Count, 0);
    EXPECT_EQ(KeReadStateEvent(&counter.m_ZeroEvent), 1);
}

TEST_F(SyncObjectsTest, ReleaseAndWaitZeroReturnsOnlyWhenTheLastRequestIsDone)
{
    CIoCounter counter;
    counter.Increment();
    counter.Increment();
    std::atomic<bool> gone{false};
    std::thread remover([&] {
        counter.ReleaseAndWaitZero();
        gone = true;
    });
    counter.Decrement();
    EXPECT_FALSE(WaitFor([&] { return gone.load(); }, 100));
    counter.Decrement();
    EXPECT_TRUE(WaitFor([&] { return gone.load(); }, 5000));
    remover.join();
}

TEST_F(SyncObjectsTest, ReleaseAndWaitZeroWaitsForTheLastDecrementsEventNotItsCount)
{
    CIoCounter counter;
    counter.Increment();
    std::atomic<bool> gone{false};
    std::thread remover([&] {
        counter.ReleaseAndWaitZero();
        gone = true;
    });
    ASSERT_TRUE(WaitFor([&] { return sim::WaiterCount(&counter.m_ZeroEvent) == 1; }));
    // The last request half way through Decrement: the count is zero, its
    // event not yet set. Removal freeing the device now would let that set
    // write freed memory.
    InterlockedDecrement(&counter.m_Count);
    EXPECT_FALSE(WaitFor([&] { return gone.load(); }, 50));
    KeSetEvent(&counter.m_ZeroEvent, 0, FALSE);
    EXPECT_TRUE(WaitFor([&] { return gone.load(); }));
    remover.join();
}

TEST_F(SyncObjectsTest, SynchronizationEventReleasesOneWaiterPerSet)
{
    CEvent event(FALSE);
    std::atomic<int> woken{0};
    std::thread a([&] {
        if (event.Wait())
            woken++;
    });
    std::thread b([&] {
        if (event.Wait())
            woken++;
    });
    event.Set();
    EXPECT_TRUE(WaitFor([&] { return woken.load() == 1; }, 5000));
    EXPECT_FALSE(WaitFor([&] { return woken.load() == 2; }, 100));
    event.Set();
    EXPECT_TRUE(WaitFor([&] { return woken.load() == 2; }, 5000));
    a.join();
    b.join();
}

TEST_F(SyncObjectsTest, EventWaitAtDispatchLevelOnlyPolls)
{
    CEvent event(FALSE);
    bool got = true;
    sim::RunAtIrql(DISPATCH_LEVEL, [&] { got = event.Wait(-1); });
    EXPECT_FALSE(got);
    event.Set();
    sim::RunAtIrql(DISPATCH_LEVEL, [&] { got = event.Wait(-1); });
    EXPECT_TRUE(got);
}

TEST_F(SyncObjectsTest, EventLockExcludesAndFailsAbovePassiveWhileHeld)
{
    CEventLock lock;
    EXPECT_TRUE(lock.Lock(42));
    EXPECT_EQ(lock.m_Owner, 42u);
    BOOLEAN second = TRUE;
    sim::RunAtIrql(DISPATCH_LEVEL, [&] { second = lock.Lock(7); });
    EXPECT_FALSE(second);
    EXPECT_EQ(lock.m_Owner, 42u);
    lock.Unlock();
    EXPECT_EQ(lock.m_Owner, 0u);
    EXPECT_TRUE(lock.Lock(1));
    lock.Unlock();
}

TEST_F(SyncObjectsTest, SpinLockRaisesToDispatchAndRestores)
{
    CSpinLock lock;
    {
        CLockGuard guard(&lock);
        EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    }
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    sim::RunAtIrql(DISPATCH_LEVEL, [&] {
        lock.Lock(1);
        lock.Unlock();
        EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    });
}

TEST_F(SyncObjectsTest, SpinLockExcludesOtherThreads)
{
    CSpinLock lock;
    long counter = 0;
    auto work = [&] {
        for (int i = 0; i < 20000; i++) {
            CLockGuard guard(&lock);
            counter++;
        }
    };
    std::thread a(work);
    std::thread b(work);
    a.join();
    b.join();
    EXPECT_EQ(counter, 40000);
}

TEST_F(SyncObjectsTest, EventWaitEndsAtItsTimeOutOrAtTheSignal)
{
    CEvent event(FALSE);
    auto start = std::chrono::steady_clock::now();
    std::atomic<bool> returned{false};
    BOOLEAN signalled = TRUE;
    std::thread waiter([&] {
        signalled = event.Wait(30);
        returned = true;
    });
    bool bounded = WaitFor([&] { return returned.load(); }, 2000);
    if (!bounded) {
        event.Set();  // release the waiter: the time-out was ignored
    }
    waiter.join();
    ASSERT_TRUE(bounded) << "a wait with a time-out of 30 ms did not end";
    EXPECT_FALSE(signalled);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(25));
    std::thread setter([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        event.Set();
    });
    EXPECT_TRUE(event.Wait(5000));
    setter.join();
    // Above PASSIVE_LEVEL it only looks, whatever the time-out.
    sim::RunAtIrql(DISPATCH_LEVEL, [&] { EXPECT_FALSE(event.Wait(1000)); });
}
