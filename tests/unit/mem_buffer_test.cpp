#include "core/PoolTags.h"
#include "machine_fixture.h"
#include "support/MemBuffer.h"

class MemBufferTest : public MachineTest {};

TEST_F(MemBufferTest, FirstResizeReservesAFifthMore)
{
    CMemBuffer a;
    EXPECT_EQ(a.Resize(1024), 1024);
    EXPECT_EQ(a.m_Capacity, 1228);
    CMemBuffer b;
    EXPECT_EQ(b.Resize(284), 284);
    EXPECT_EQ(b.m_Capacity, 340);
    EXPECT_EQ(sim::OutstandingPoolCount(kTagMemory), 2u);
}

TEST_F(MemBufferTest, GrowingKeepsTheBytesInUse)
{
    CMemBuffer buffer;
    buffer.Resize(4);
    memcpy(buffer.m_Data, "abcd", 4);
    EXPECT_EQ(buffer.Resize(100), 100);
    EXPECT_EQ(memcmp(buffer.m_Data, "abcd", 4), 0);
}

TEST_F(MemBufferTest, FailedResizeKeepsBlockCapacityAndSize)
{
    CMemBuffer buffer;
    buffer.Resize(10);
    PVOID block = buffer.m_Data;
    sim::FaultRule rule;
    rule.site = sim::FaultSite::Pool;
    rule.tag = kTagMemory;
    rule.nth = 1;
    sim::AddFault(rule);
    EXPECT_EQ(buffer.Resize(2000), 10);
    EXPECT_EQ(buffer.m_Data, block);
    EXPECT_EQ(buffer.m_Capacity, 12);
    EXPECT_EQ(buffer.m_Size, 10);
}

TEST_F(MemBufferTest, RequestsTheArithmeticCannotHoldAreRefused)
{
    CMemBuffer buffer;
    EXPECT_EQ(buffer.Resize(0x7FFFFFFF), 0);
    EXPECT_EQ(buffer.Resize(-1), 0);
    EXPECT_EQ(buffer.m_Data, nullptr);
}

TEST_F(MemBufferTest, SizeToKeepsTheBlockWhenItIsLargeEnough)
{
    CMemBuffer buffer;
    ASSERT_TRUE(buffer.SizeTo(100));
    PVOID block = buffer.m_Data;
    ASSERT_TRUE(buffer.SizeTo(110));  // capacity 120
    EXPECT_EQ(buffer.m_Data, block);
    EXPECT_EQ(buffer.m_Size, 110);
    ASSERT_TRUE(buffer.SizeTo(9));
    EXPECT_EQ(buffer.m_Data, block);
    ASSERT_TRUE(buffer.SizeTo(121));
    EXPECT_NE(buffer.m_Data, block);
    EXPECT_EQ(buffer.m_Capacity, 145);
}

TEST_F(MemBufferTest, BufferUsesItsPoolType)
{
    CMemBuffer paged(PagedPool);
    paged.Resize(8);
    EXPECT_EQ(sim::PoolTypeOf(paged.m_Data), PagedPool);
}
