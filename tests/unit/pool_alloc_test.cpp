#include "core/Pool.h"
#include "core/PoolTags.h"
#include "machine_fixture.h"

class PoolAllocTest : public MachineTest {
protected:
    void UseVersion(ULONG major, ULONG minor)
    {
        sim::SetOsVersion(major, minor);
        g_OsVersion = 0;  // as at driver load: computed again on first use
    }
    void TearDown() override
    {
        // The next test's machine reports its own version: nothing cached from this one.
        g_OsVersion = 0;
        MachineTest::TearDown();
    }
};

TEST_F(PoolAllocTest, NonPagedStaysExecutableBeforeWindows10)
{
    UseVersion(6, 2);
    PVOID block = PoolAlloc(NonPagedPool, 16, kTagMemory);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(g_OsVersion, 602u);
    EXPECT_EQ(sim::PoolTypeOf(block), NonPagedPool);
    PoolFree(block);
}

TEST_F(PoolAllocTest, NonPagedBecomesNoExecuteFromWindows10)
{
    UseVersion(10, 0);
    PVOID block = PoolAlloc(NonPagedPool, 16, kTagMemory);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(g_OsVersion, 1000u);
    EXPECT_EQ(sim::PoolTypeOf(block), NonPagedPoolNx);
    PoolFree(block);
}

TEST_F(PoolAllocTest, PagedPoolPassesUnchangedOnEveryVersion)
{
    UseVersion(6, 2);
    PVOID old = PoolAlloc(PagedPool, 8, kTagMemory);
    UseVersion(10, 0);
    PVOID current = PoolAlloc(PagedPool, 8, kTagMemory);
    EXPECT_EQ(sim::PoolTypeOf(old), PagedPool);
    EXPECT_EQ(sim::PoolTypeOf(current), PagedPool);
    PoolFree(old);
    PoolFree(current);
}

TEST_F(PoolAllocTest, VersionIsComputedOnceAndKept)
{
    UseVersion(6, 1);
    PoolFree(PoolAlloc(NonPagedPool, 4, kTagMemory));
    sim::SetOsVersion(10, 0);  // the driver keeps what it read first
    PVOID block = PoolAlloc(NonPagedPool, 4, kTagMemory);
    EXPECT_EQ(g_OsVersion, 601u);
    EXPECT_EQ(sim::PoolTypeOf(block), NonPagedPool);
    PoolFree(block);
}

TEST_F(PoolAllocTest, BlocksCarryTheTagOfTheirSite)
{
    PVOID block = PoolAlloc(NonPagedPool, 32, kTagDevice);
    EXPECT_EQ(sim::OutstandingPoolCount(kTagDevice), 1u);
    EXPECT_EQ(sim::TagText(kTagDevice), "CBDE");
    PoolFree(block);
    EXPECT_EQ(sim::OutstandingPoolCount(kTagDevice), 0u);
}
