#include "core/PoolTags.h"
#include "machine_fixture.h"

using sim_test::WaitFor;
#include "support/Timer.h"

#include <atomic>

namespace {

std::atomic<int> g_Fired{0};
std::atomic<int> g_FiredIrql{-1};

VOID CountDpc(PKDPC, PVOID context, PVOID, PVOID)
{
    g_FiredIrql = KeGetCurrentIrql();
    g_Fired++;
    (*(std::atomic<int>*)context)++;
}

class TimerTest : public MachineTest {
protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        g_Fired = 0;
        sim::SetManualTime(true);
    }
    std::atomic<int> m_Count{0};
};

}  // namespace

TEST_F(TimerTest, DueTimeOfHalfASecondIsFiveMillionUnitsRelative)
{
    EXPECT_EQ(CTimer::DueTimeFor(500).QuadPart, -5000000);
    CTimer timer(kTagTimer);
    timer.SetDpc(CountDpc, &m_Count);
    EXPECT_FALSE(timer.Set(500));
    EXPECT_EQ(sim::LastRequestedDueTime(timer.m_Timer), -5000000);
}

TEST_F(TimerTest, NegativeMillisecondsWrapToAboutSevenMinutes)
{
    EXPECT_EQ(CTimer::DueTimeFor(-10).QuadPart, -4294867296LL);
}

// A 32-bit product would make ten minutes about 170 seconds and 429,497 ms
// a quarter of a millisecond.
TEST_F(TimerTest, LongPositivePeriodsAreExact)
{
    EXPECT_EQ(CTimer::DueTimeFor(429496).QuadPart, -4294960000LL);
    EXPECT_EQ(CTimer::DueTimeFor(429497).QuadPart, -4294970000LL);
    EXPECT_EQ(CTimer::DueTimeFor(600000).QuadPart, -6000000000LL);
    EXPECT_EQ(CTimer::DueTimeFor(MAXLONG).QuadPart, -(LONGLONG)MAXLONG * 10000);
}

TEST_F(TimerTest, FiresItsDpcAtDispatchLevelOnlyWhenDue)
{
    CTimer timer(kTagTimer);
    timer.SetDpc(CountDpc, &m_Count);
    timer.Set(50);
    sim::AdvanceTime(490000);
    EXPECT_EQ(m_Count.load(), 0);
    sim::AdvanceTime(10000);
    EXPECT_TRUE(WaitFor([&] { return m_Count.load() == 1; }, 5000));
    EXPECT_EQ(g_FiredIrql.load(), DISPATCH_LEVEL);
}

TEST_F(TimerTest, SetOnAPendingTimerReArmsIt)
{
    CTimer timer(kTagTimer);
    timer.SetDpc(CountDpc, &m_Count);
    EXPECT_FALSE(timer.Set(50));
    sim::AdvanceTime(400000);
    EXPECT_TRUE(timer.Set(50));
    sim::AdvanceTime(400000);
    EXPECT_EQ(m_Count.load(), 0);
    sim::AdvanceTime(100000);
    EXPECT_TRUE(WaitFor([&] { return m_Count.load() == 1; }, 5000));
}

TEST_F(TimerTest, CancelStopsAPendingTimer)
{
    CTimer timer(kTagTimer);
    timer.SetDpc(CountDpc, &m_Count);
    EXPECT_FALSE(timer.Cancel());
    timer.Set(10);
    EXPECT_TRUE(timer.Cancel());
    sim::AdvanceTime(1000000);
    EXPECT_TRUE(sim::WaitQuiet());
    EXPECT_EQ(m_Count.load(), 0);
}

TEST_F(TimerTest, WithoutItsBlocksSetAndCancelReportFailure)
{
    CTimer noDpc(kTagTimer);
    EXPECT_FALSE(noDpc.Set(10));
    EXPECT_FALSE(noDpc.Cancel());

    sim::FaultRule rule;
    rule.site = sim::FaultSite::Pool;
    rule.tag = kTagTimer;
    rule.nth = 1;
    sim::AddFault(rule);
    CTimer noTimer(kTagTimer);
    EXPECT_EQ(noTimer.m_Timer, nullptr);
    noTimer.SetDpc(CountDpc, &m_Count);
    EXPECT_FALSE(noTimer.Set(10));
    EXPECT_FALSE(noTimer.Cancel());
}

TEST_F(TimerTest, ReplacingTheDpcCancelsTheTimer)
{
    CTimer timer(kTagTimer);
    timer.SetDpc(CountDpc, &m_Count);
    timer.Set(10);
    timer.SetDpc(CountDpc, &m_Count);
    sim::AdvanceTime(1000000);
    EXPECT_TRUE(sim::WaitQuiet());
    EXPECT_EQ(m_Count.load(), 0);
    EXPECT_EQ(sim::OutstandingPoolCount(kTagTimer), 2u);
}

TEST_F(TimerTest, DestroyingAnArmedTimerFreesBothBlocks)
{
    {
        CTimer timer(kTagTimer);
        timer.SetDpc(CountDpc, &m_Count);
        timer.Set(10);
    }
    EXPECT_EQ(sim::OutstandingPoolCount(kTagTimer), 0u);
    sim::AdvanceTime(1000000);
    EXPECT_TRUE(sim::WaitQuiet());
    EXPECT_EQ(m_Count.load(), 0);
}
