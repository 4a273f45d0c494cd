#include "core/PoolTags.h"
#include "machine_fixture.h"
#include "support/PtrList.h"

namespace {

PVOID P(uintptr_t v)
{
    return (PVOID)v;
}

class PtrListTest : public MachineTest {
protected:
    void Fill(CPtrList& list, int n)
    {
        for (int i = 0; i < n; i++) {
            ASSERT_NE(list.AddTail(P(100 + i)), nullptr);
        }
    }
};

}  // namespace

TEST_F(PtrListTest, GetAtFindsEveryIndexInAnyOrder)
{
    CPtrList list;
    Fill(list, 5);
    for (LONG index : {2, 4, 1, 3, 0, 0, 4, 2}) {
        EXPECT_EQ(list.GetAt(index), P(100 + index)) << index;
    }
    EXPECT_EQ(list.Item(3), P(103));
}

TEST_F(PtrListTest, OutOfRangeIndexUnsetsTheCursorAndRemovesNothing)
{
    CPtrList list;
    Fill(list, 5);
    list.GetAt(3);
    EXPECT_EQ(list.GetAt(5), nullptr);
    EXPECT_EQ(list.GetAt(3), P(103));
    EXPECT_TRUE(list.RemoveAt(5));
    EXPECT_TRUE(list.RemoveAt(-1));
    EXPECT_EQ(list.GetCount(), 5);
    EXPECT_EQ(list.GetAt(-3), nullptr);
}

TEST_F(PtrListTest, AddHeadAfterGetAtKeepsIndicesExact)
{
    CPtrList list;
    Fill(list, 3);
    EXPECT_EQ(list.GetAt(1), P(101));
    list.AddHead(P(99));
    EXPECT_EQ(list.GetAt(1), P(100));
    EXPECT_EQ(list.GetAt(2), P(101));
    list.GetAt(2);
    list.AddHead(P(98));
    EXPECT_TRUE(list.RemoveAt(2));
    EXPECT_EQ(list.GetAt(0), P(98));
    EXPECT_EQ(list.GetAt(1), P(99));
    EXPECT_EQ(list.GetAt(2), P(101));
}

TEST_F(PtrListTest, RemoveHeadTakesInArrivalOrder)
{
    CPtrList list;
    EXPECT_EQ(list.RemoveHead(), nullptr);
    list.AddTail(P(1));
    list.AddTail(P(2));
    EXPECT_EQ(list.RemoveHead(), P(1));
    EXPECT_EQ(list.RemoveHead(), P(2));
    EXPECT_EQ(list.RemoveHead(), nullptr);
}

TEST_F(PtrListTest, RemovingByIndexOrByValueKeepsTheRestInOrder)
{
    CPtrList list;
    Fill(list, 4);
    list.GetAt(2);
    EXPECT_TRUE(list.RemoveAt(1));
    EXPECT_EQ(list.GetCount(), 3);
    EXPECT_EQ(list.GetAt(1), P(102));
    EXPECT_TRUE(list.RemoveItem(P(102)));
    EXPECT_FALSE(list.RemoveItem(P(102)));
    EXPECT_EQ(list.GetCount(), 2);
    EXPECT_EQ(list.GetAt(0), P(100));
    EXPECT_EQ(list.GetAt(1), P(103));
}

TEST_F(PtrListTest, EventsFollowEmptinessAndInsertion)
{
    CPtrList list;
    EXPECT_FALSE(list.WaitEmpty());  // empty: at once, FALSE
    list.AddTail(P(1));
    EXPECT_EQ(KeReadStateEvent(&list.m_EmptyEvent.m_Event), 0);
    EXPECT_EQ(KeReadStateEvent(&list.m_AddedEvent.m_Event), 1);
    list.WaitAdded();
    EXPECT_EQ(KeReadStateEvent(&list.m_AddedEvent.m_Event), 0);
    list.RemoveHead();
    EXPECT_EQ(KeReadStateEvent(&list.m_EmptyEvent.m_Event), 1);
}

TEST_F(PtrListTest, ListsNumberTheirNodePoolTags)
{
    g_ListPoolTag = kTagListNodesFirst;
    CPtrList first;
    CPtrList second;
    CPtrList third;
    first.AddTail(P(1));
    second.AddTail(P(2));
    third.AddTail(P(3));
    EXPECT_EQ(first.m_Pool->m_Tag, 0x4C495354u);
    EXPECT_EQ(sim::TagText(first.m_Pool->m_Tag), "TSIL");
    EXPECT_EQ(sim::TagText(second.m_Pool->m_Tag), "USIL");
    EXPECT_EQ(sim::TagText(third.m_Pool->m_Tag), "VSIL");
    EXPECT_GE(sim::OutstandingPoolCount(0x4C495355), 1u);
    EXPECT_EQ(sim::OutstandingPoolCount(kTagListPool), 3u);
}

TEST_F(PtrListTest, InsertionReportsPoolExhaustionAndTheListSurvives)
{
    CPtrList list;
    list.AddTail(P(1));
    list.RemoveHead();  // one entry now waits in the lookaside list
    sim::FaultRule rule;
    rule.site = sim::FaultSite::Any;
    rule.nth = 1;
    rule.count = 0;
    list.AddTail(P(2));  // served from the lookaside list
    sim::AddFault(rule);
    EXPECT_EQ(list.AddTail(P(3)), nullptr);
    EXPECT_EQ(list.AddHead(P(4)), nullptr);
    EXPECT_EQ(list.GetCount(), 1);
    sim::ClearFaults();
    EXPECT_NE(list.AddTail(P(5)), nullptr);
    EXPECT_EQ(list.RemoveHead(), P(2));
    EXPECT_EQ(list.RemoveHead(), P(5));
}

TEST_F(PtrListTest, ListWithoutNodePoolRefusesInsertions)
{
    sim::FaultRule rule;
    rule.site = sim::FaultSite::Pool;
    rule.tag = kTagListPool;
    rule.nth = 1;
    sim::AddFault(rule);
    CPtrList list;
    EXPECT_EQ(list.m_Pool, nullptr);
    EXPECT_EQ(list.AddTail(P(1)), nullptr);
    EXPECT_EQ(list.RemoveHead(), nullptr);
    EXPECT_EQ(list.GetCount(), 0);
}

TEST_F(PtrListTest, LookasideEntriesAreNoExecuteFromWindows10)
{
    CPtrList list;
    list.AddTail(P(1));
    EXPECT_TRUE(list.m_Pool->m_NPagedList->L.Type & POOL_NX_ALLOCATION);
    EXPECT_EQ(list.m_Pool->m_NPagedList->L.Size, CPtrList::kNodeSize);
    EXPECT_EQ(list.m_Pool->m_Entries.m_Count, 2);  // base + one entry out
}

TEST_F(PtrListTest, OneEntryTakenAndGivenBackOverAndOverAsksThePoolOnce)
{
    CPtrList list;
    unsigned before = sim::AllocationAttempts(sim::FaultSite::Lookaside);
    for (int i = 0; i < 100; i++) {
        ASSERT_NE(list.AddTail(P(i + 1)), nullptr);
        EXPECT_EQ(list.RemoveHead(), P(i + 1));
    }
    EXPECT_EQ(sim::AllocationAttempts(sim::FaultSite::Lookaside) - before, 1u);
    // Two at once: the second node comes from the pool, and both go back.
    list.AddTail(P(1));
    list.AddTail(P(2));
    EXPECT_EQ(list.RemoveHead(), P(1));
    EXPECT_EQ(list.RemoveHead(), P(2));
    EXPECT_EQ(sim::AllocationAttempts(sim::FaultSite::Lookaside) - before, 2u);
}
