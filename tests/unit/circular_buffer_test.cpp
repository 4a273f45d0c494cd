#include "core/PoolTags.h"
#include "support/CircularBuffer.h"
#include "machine_fixture.h"
#include "trace_capture.h"

#include <vector>

namespace {

std::vector<UCHAR> Bytes(int n, int first = 0)
{
    std::vector<UCHAR> v(n);
    for (int i = 0; i < n; i++) {
        v[i] = (UCHAR)(first + i);
    }
    return v;
}

class CircularBufferTest : public MachineTest {
protected:
    LONG Put(CCircularBuffer& ring, const std::vector<UCHAR>& bytes)
    {
        return ring.Put(bytes.data(), (LONG)bytes.size());
    }
    std::vector<UCHAR> Get(CCircularBuffer& ring, LONG n)
    {
        std::vector<UCHAR> out(n);
        out.resize(ring.Get(out.data(), n));
        return out;
    }
};

}  // namespace

TEST_F(CircularBufferTest, FreshRingIsEmptyWithTheDefaultSizeAndAFifthMoreStore)
{
    CCircularBuffer ring;
    EXPECT_EQ(ring.m_Count, 0);
    EXPECT_EQ(ring.m_RingSize, 4096);
    EXPECT_EQ(ring.m_Store.m_Capacity, 4915);
    EXPECT_EQ(ring.m_Store.m_Size, 4096);
    EXPECT_EQ(sim::OutstandingPoolCount(kTagMemory), 1u);
}

TEST_F(CircularBufferTest, FullRingDropsTheNextByteAndTracesTheOverload)
{
    TraceCapture traces;
    CCircularBuffer ring;
    EXPECT_EQ(Put(ring, Bytes(4096)), 4096);
    EXPECT_FALSE(traces.Saw("CCircularBuffer buffer overload"));
    EXPECT_EQ(Put(ring, Bytes(1)), 0);
    EXPECT_TRUE(traces.Saw("CCircularBuffer buffer overload", 1));
    EXPECT_EQ(ring.m_Count, 4096);
}

TEST_F(CircularBufferTest, NearlyFullRingKeepsWhatFitsAndOrderIsKept)
{
    TraceCapture traces;
    CCircularBuffer ring;
    std::vector<UCHAR> first = Bytes(4093, 0);
    ASSERT_EQ(Put(ring, first), 4093);
    EXPECT_EQ(Put(ring, Bytes(10, 200)), 3);
    EXPECT_FALSE(traces.Saw("CCircularBuffer buffer overload"));
    std::vector<UCHAR> all = Get(ring, 4096);
    ASSERT_EQ(all.size(), 4096u);
    EXPECT_TRUE(std::equal(first.begin(), first.end(), all.begin()));
    EXPECT_EQ(all[4093], 200);
    EXPECT_EQ(all[4094], 201);
    EXPECT_EQ(all[4095], 202);
}

TEST_F(CircularBufferTest, PutWrapsAtTheEndOfTheStore)
{
    CCircularBuffer ring;
    Put(ring, Bytes(4094));
    Get(ring, 4094);
    ASSERT_EQ(ring.m_WriteIndex, 4094);
    EXPECT_EQ(Put(ring, Bytes(5, 50)), 5);
    EXPECT_EQ(ring.m_WriteIndex, 3);
    PUCHAR store = ring.m_Store.Data();
    EXPECT_EQ(store[4094], 50);
    EXPECT_EQ(store[4095], 51);
    EXPECT_EQ(store[0], 52);
    EXPECT_EQ(store[2], 54);
    EXPECT_EQ(Get(ring, 5), Bytes(5, 50));
}

TEST_F(CircularBufferTest, GetReachingTheEndExactlyWrapsTheReadIndexToZero)
{
    CCircularBuffer ring;
    Put(ring, Bytes(4000));
    Get(ring, 4000);
    Put(ring, Bytes(96));
    EXPECT_EQ(ring.m_WriteIndex, 0);
    EXPECT_EQ(Get(ring, 96).size(), 96u);
    EXPECT_EQ(ring.m_ReadIndex, 0);
}

TEST_F(CircularBufferTest, GetReturnsOnlyWhatIsHeld)
{
    CCircularBuffer ring;
    EXPECT_EQ(Get(ring, 10).size(), 0u);
    Put(ring, Bytes(7));
    EXPECT_EQ(Get(ring, 100), Bytes(7));
    EXPECT_EQ(ring.m_Count, 0);
    EXPECT_EQ(ring.Get(nullptr, 0), 0);
    EXPECT_EQ(ring.Put(nullptr, 0), 0);
}

TEST_F(CircularBufferTest, ResizingEmptiesAndNeverShrinksTheStore)
{
    CCircularBuffer ring;
    Put(ring, Bytes(100));
    PVOID block = ring.m_Store.m_Data;
    ASSERT_TRUE(ring.SetSize(16));
    EXPECT_EQ(ring.m_Count, 0);
    EXPECT_EQ(ring.m_Store.m_Data, block);
    EXPECT_EQ(Put(ring, Bytes(20)), 16);
    ASSERT_TRUE(ring.SetSize(4096));
    EXPECT_EQ(ring.m_Store.m_Data, block);  // capacity 4915 suffices
    EXPECT_EQ(ring.m_Count, 0);
    ASSERT_TRUE(ring.SetSize(8000));
    EXPECT_NE(ring.m_Store.m_Data, block);
    EXPECT_EQ(Put(ring, Bytes(8000)), 8000);
}

TEST_F(CircularBufferTest, RingOfSizeZeroHoldsNothing)
{
    TraceCapture traces;
    CCircularBuffer ring;
    ASSERT_TRUE(ring.SetSize(0));
    EXPECT_EQ(Put(ring, Bytes(1)), 0);
    EXPECT_TRUE(traces.Saw("CCircularBuffer buffer overload", 1));
    EXPECT_EQ(Get(ring, 1).size(), 0u);
}

TEST_F(CircularBufferTest, FailedGrowthLeavesTheRingAsItWas)
{
    CCircularBuffer ring;
    Put(ring, Bytes(10));
    sim::FaultRule rule;
    rule.site = sim::FaultSite::Pool;
    rule.tag = kTagMemory;
    rule.nth = 1;
    sim::AddFault(rule);
    EXPECT_FALSE(ring.SetSize(10000));
    EXPECT_EQ(ring.m_RingSize, 4096);
    EXPECT_EQ(ring.m_Count, 10);
}

TEST_F(CircularBufferTest, ManyWrapsKeepTheStreamIntact)
{
    CCircularBuffer ring;
    ring.SetSize(37);
    int next = 0;
    int expect = 0;
    for (int round = 0; round < 500; round++) {
        std::vector<UCHAR> chunk = Bytes(1 + round % 15, next);
        LONG stored = Put(ring, chunk);
        next += stored;
        std::vector<UCHAR> out = Get(ring, 1 + (round * 7) % 13);
        for (UCHAR b : out) {
            ASSERT_EQ(b, (UCHAR)expect);
            expect++;
        }
        ASSERT_EQ(ring.m_WriteIndex, (ring.m_ReadIndex + ring.m_Count) % ring.m_RingSize);
    }
}
