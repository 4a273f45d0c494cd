// Pool tracking and its verifier rules, fault injection, SLISTs and lookaside lists.
#include "machine_fixture.h"

#include <internal.h>

#include <set>

using sim_test::TakeViolation;

namespace {
constexpr ULONG kTag = 0x4D454D45;    // 'EMEM'
constexpr ULONG kOther = 0x5453454B;  // 'KEST'
}  // namespace

class PoolTest : public MachineTest {};
class PoolVerifierTest : public RecordingMachineTest {};

TEST_F(PoolTest, BlocksAreTrackedWithTagTypeAndSize)
{
    void* a = ExAllocatePoolWithTag(NonPagedPoolNx, 40, kTag);
    void* b = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
    void* c = ExAllocatePoolWithTag(PagedPool, 1, kOther);
    ASSERT_TRUE(a && b && c);
    EXPECT_EQ(sim::PoolTypeOf(a), NonPagedPoolNx);
    EXPECT_EQ(sim::PoolTypeOf(b), NonPagedPool);
    EXPECT_EQ(sim::OutstandingPoolCount(kTag), 2u);
    EXPECT_EQ(sim::OutstandingPool().size(), 3u);
    EXPECT_TRUE(sim::IsLivePoolBlock(a));
    EXPECT_TRUE(sim::IsPagedPoolAddress(c));
    EXPECT_FALSE(sim::IsPagedPoolAddress((char*)a + 10));
    std::string report = sim::PoolReport();
    EXPECT_NE(report.find("'EMEM'"), std::string::npos) << report;
    EXPECT_NE(report.find("NonPagedPoolNx"), std::string::npos) << report;
    ExFreePoolWithTag(a, kTag);
    ExFreePool(b);
    ExFreePoolWithTag(c, 0);
    EXPECT_FALSE(sim::IsLivePoolBlock(a));
    EXPECT_EQ(sim::PoolTypeOf(a), MaxPoolType);
    EXPECT_NE(sim::PoolReport().find("no pool leaked"), std::string::npos);
}

TEST_F(PoolTest, InteriorOfAPagedBlockIsPagedMemory)
{
    char* p = (char*)ExAllocatePoolWithTag(PagedPool, 100, kTag);
    EXPECT_TRUE(sim::IsPagedPoolAddress(p + 99));
    EXPECT_FALSE(sim::IsPagedPoolAddress(p + 100));
    EXPECT_FALSE(sim::IsLivePoolBlock(p + 1));
    ExFreePool(p);
    EXPECT_FALSE(sim::IsPagedPoolAddress(p));
}

TEST_F(PoolTest, NewBlocksAreNotZeroed)
{
    unsigned char* p = (unsigned char*)ExAllocatePoolWithTag(NonPagedPoolNx, 64, kTag);
    int zeros = 0;
    for (int i = 0; i < 64; ++i)
        zeros += p[i] == 0;
    EXPECT_EQ(zeros, 0);
    ExFreePool(p);
}

TEST_F(PoolTest, TagTextReadsTheBytesInMemoryOrder)
{
    EXPECT_EQ(sim::TagText(kTag), "EMEM");
    EXPECT_EQ(sim::TagText(0x00414141), "AAA.");
}

TEST_F(PoolVerifierTest, DoubleFreeIsReported)
{
    void* p = ExAllocatePoolWithTag(NonPagedPoolNx, 16, kTag);
    ExFreePoolWithTag(p, kTag);
    ExFreePoolWithTag(p, kTag);
    EXPECT_TRUE(TakeViolation("POOL_DOUBLE_FREE"));
}

TEST_F(PoolVerifierTest, RequestForNoBytesIsReported)
{
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPoolNx, 0, kTag), nullptr);
    EXPECT_TRUE(TakeViolation("POOL_ZERO_SIZE"));
}

TEST_F(PoolVerifierTest, FreeOfAnUnknownPointerIsReported)
{
    char local[16];
    ExFreePool(local);
    auto v = sim::Violations();
    ASSERT_EQ(v.size(), 1u);
    EXPECT_EQ(v[0].rule, "POOL_FREE_UNKNOWN");
    EXPECT_EQ(v[0].routine, "ExFreePool");
    sim::ClearViolations();
}

TEST_F(PoolVerifierTest, TagMismatchOnFreeIsReported)
{
    void* p = ExAllocatePoolWithTag(NonPagedPoolNx, 16, kTag);
    ExFreePoolWithTag(p, kOther);
    EXPECT_FALSE(sim::IsLivePoolBlock(p)) << "the block is still freed";
    auto v = sim::Violations();
    ASSERT_EQ(v.size(), 1u);
    EXPECT_EQ(v[0].rule, "POOL_TAG_MISMATCH");
    EXPECT_NE(v[0].object.find("'EMEM'"), std::string::npos);
    sim::ClearViolations();
}

TEST_F(PoolVerifierTest, PagedPoolAtDispatchLevelIsReported)
{
    void* p = nullptr;
    sim::RunAtIrql(DISPATCH_LEVEL, [&] { p = ExAllocatePoolWithTag(PagedPool, 16, kTag); });
    EXPECT_TRUE(TakeViolation("PAGED_POOL_AT_RAISED_IRQL"));
    sim::RunAtIrql(DISPATCH_LEVEL, [&] { ExFreePool(p); });
    EXPECT_TRUE(TakeViolation("PAGED_POOL_AT_RAISED_IRQL"));
    sim::RunAtIrql(DISPATCH_LEVEL, [&] { ExFreePool(ExAllocatePoolWithTag(NonPagedPoolNx, 16, kTag)); });
    EXPECT_TRUE(sim::Violations().empty());
}

TEST_F(PoolVerifierTest, LeakedBlocksAreReportedByTagAtTeardown)
{
    ExAllocatePoolWithTag(NonPagedPoolNx, 24, kTag);
    EXPECT_EQ(sim::StopMachine(), 1u);
    auto v = sim::Violations();
    ASSERT_EQ(v.size(), 1u);
    EXPECT_EQ(v[0].rule, "POOL_LEAK");
    EXPECT_NE(v[0].object.find("tag 'EMEM'"), std::string::npos);
    EXPECT_NE(v[0].message.find("24 bytes"), std::string::npos);
    EXPECT_TRUE(sim::OutstandingPool().empty()) << "teardown releases what the machine held";
    sim::ClearViolations();
}

// ---------------------------------------------------------------- fault injection

class FaultTest : public MachineTest {};

TEST_F(FaultTest, NthAndCountFailExactlyThoseAllocationsOfTheTag)
{
    sim::FaultRule rule;
    rule.site = sim::FaultSite::Pool;
    rule.tag = kTag;
    rule.nth = 2;
    rule.count = 2;
    sim::AddFault(rule);
    std::vector<bool> failed;
    std::vector<void*> blocks;
    for (int i = 0; i < 5; ++i) {
        void* other = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kOther);  // another tag never fails
        ASSERT_NE(other, nullptr);
        blocks.push_back(other);
        void* p = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTag);
        failed.push_back(p == nullptr);
        if (p)
            blocks.push_back(p);
    }
    EXPECT_EQ(failed, (std::vector<bool>{false, true, true, false, false}));
    EXPECT_EQ(sim::AllocationAttempts(sim::FaultSite::Pool), 10u);
    for (void* p : blocks)
        ExFreePool(p);
}

TEST_F(FaultTest, ProbabilityFailuresRepeatForTheSameSeed)
{
    auto run = [](unsigned seed) {
        sim::ClearFaults();
        sim::FaultRule rule;
        rule.probability = 0.5;
        rule.seed = seed;
        sim::AddFault(rule);
        std::vector<bool> pattern;
        for (int i = 0; i < 64; ++i) {
            void* p = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTag);
            pattern.push_back(p == nullptr);
            if (p)
                ExFreePool(p);
        }
        return pattern;
    };
    std::vector<bool> a = run(7), b = run(7), c = run(8);
    EXPECT_EQ(a, b);
    EXPECT_NE(a, c);
    size_t fails = std::count(a.begin(), a.end(), true);
    EXPECT_GT(fails, 10u);
    EXPECT_LT(fails, 54u);
}

TEST_F(FaultTest, SitesAreCountedAndMatchedSeparately)
{
    sim::FaultRule rule;
    rule.site = sim::FaultSite::Irp;
    sim::AddFault(rule);
    EXPECT_TRUE(sim::ShouldFail(sim::FaultSite::Irp, 0));
    void* p = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTag);
    EXPECT_NE(p, nullptr);
    ExFreePool(p);
    EXPECT_EQ(sim::AllocationAttempts(sim::FaultSite::Irp), 1u);
    EXPECT_EQ(sim::AllocationAttempts(sim::FaultSite::Pool), 1u);
    EXPECT_EQ(sim::AllocationAttempts(sim::FaultSite::Any), 2u);
    sim::ClearFaults();
    EXPECT_FALSE(sim::ShouldFail(sim::FaultSite::Irp, 0));
}

// ---------------------------------------------------------------- SLIST and lookaside

TEST_F(PoolTest, SListIsLastInFirstOutWithDepth)
{
    SLIST_HEADER head;
    InitializeSListHead(&head);
    SLIST_ENTRY e[3];
    for (auto& x : e)
        InterlockedPushEntrySList(&head, &x);
    EXPECT_EQ(QueryDepthSList(&head), 3);
    EXPECT_EQ(InterlockedPopEntrySList(&head), &e[2]);
    PSLIST_ENTRY rest = InterlockedFlushSList(&head);
    EXPECT_EQ(rest, &e[1]);
    EXPECT_EQ(rest->Next, &e[0]);
    EXPECT_EQ(QueryDepthSList(&head), 0);
    EXPECT_EQ(InterlockedPopEntrySList(&head), nullptr);
}

TEST_F(PoolTest, LookasideCountsHitsAndMissesAndCachesUpToDepth)
{
    NPAGED_LOOKASIDE_LIST list;
    ExInitializeNPagedLookasideList(&list, nullptr, nullptr, POOL_NX_ALLOCATION, 48, kTag, 0);
    EXPECT_EQ(list.L.Depth, 4);
    EXPECT_EQ(list.L.Type, NonPagedPoolNx);
    void* e[6];
    for (auto& x : e)
        x = ExAllocateFromNPagedLookasideList(&list);
    EXPECT_EQ(sim::PoolTypeOf(e[0]), NonPagedPoolNx);
    EXPECT_EQ(sim::OutstandingPoolCount(kTag), 6u);
    for (auto& x : e)
        ExFreeToNPagedLookasideList(&list, x);
    EXPECT_EQ(list.L.TotalAllocates, 6u);
    EXPECT_EQ(list.L.AllocateMisses, 6u);
    EXPECT_EQ(list.L.TotalFrees, 6u);
    EXPECT_EQ(list.L.FreeMisses, 2u);
    EXPECT_EQ(sim::OutstandingPoolCount(kTag), 4u) << "four cached, two released";
    void* again = ExAllocateFromNPagedLookasideList(&list);
    EXPECT_EQ(again, e[3]) << "the most recently cached entry comes back";
    EXPECT_EQ(list.L.AllocateMisses, 6u);
    ExFreeToNPagedLookasideList(&list, again);
    ExDeleteNPagedLookasideList(&list);
    EXPECT_EQ(sim::OutstandingPoolCount(kTag), 0u);
}

namespace {
int g_customAllocs, g_customFrees;
PVOID CustomAllocate(POOL_TYPE type, SIZE_T size, ULONG tag)
{
    ++g_customAllocs;
    return ExAllocatePoolWithTag(type, size, tag);
}
VOID CustomFree(PVOID p)
{
    ++g_customFrees;
    ExFreePool(p);
}
}  // namespace

TEST_F(PoolTest, LookasideUsesTheDriversRoutines)
{
    g_customAllocs = g_customFrees = 0;
    PAGED_LOOKASIDE_LIST list;
    ExInitializePagedLookasideList(&list, CustomAllocate, CustomFree, 0, 32, kTag, 1);
    void* a = ExAllocateFromPagedLookasideList(&list);
    void* b = ExAllocateFromPagedLookasideList(&list);
    EXPECT_EQ(sim::PoolTypeOf(a), PagedPool);
    ExFreeToPagedLookasideList(&list, a);
    ExFreeToPagedLookasideList(&list, b);  // depth 1: released
    EXPECT_EQ(g_customAllocs, 2);
    EXPECT_EQ(g_customFrees, 1);
    ExDeletePagedLookasideList(&list);
    EXPECT_EQ(g_customFrees, 2);
}

TEST_F(FaultTest, LookasideAllocationsFailAtTheLookasideSiteOnly)
{
    NPAGED_LOOKASIDE_LIST list;
    ExInitializeNPagedLookasideList(&list, nullptr, nullptr, 0, 32, kTag, 0);
    sim::FaultRule rule;
    rule.site = sim::FaultSite::Lookaside;
    rule.nth = 2;
    sim::AddFault(rule);
    void* a = ExAllocateFromNPagedLookasideList(&list);
    void* b = ExAllocateFromNPagedLookasideList(&list);
    void* c = ExAllocateFromNPagedLookasideList(&list);
    EXPECT_NE(a, nullptr);
    EXPECT_EQ(b, nullptr);
    EXPECT_NE(c, nullptr);
    EXPECT_EQ(sim::AllocationAttempts(sim::FaultSite::Lookaside), 3u);
    EXPECT_EQ(sim::AllocationAttempts(sim::FaultSite::Pool), 0u) << "the default routine is not a second attempt";
    ExFreeToNPagedLookasideList(&list, a);
    ExFreeToNPagedLookasideList(&list, c);
    ExDeleteNPagedLookasideList(&list);
}

TEST_F(PoolVerifierTest, PagedLookasideAtDispatchLevelIsReported)
{
    PAGED_LOOKASIDE_LIST list;
    ExInitializePagedLookasideList(&list, nullptr, nullptr, 0, 32, kTag, 0);
    void* p = ExAllocateFromPagedLookasideList(&list);
    sim::RunAtIrql(DISPATCH_LEVEL, [&] { ExFreeToPagedLookasideList(&list, p); });
    EXPECT_TRUE(TakeViolation("PAGED_LOOKASIDE_AT_RAISED_IRQL"));
    ExDeletePagedLookasideList(&list);
}

TEST_F(PoolVerifierTest, MisalignedSListEntryIsReported)
{
    SLIST_HEADER head;
    InitializeSListHead(&head);
    alignas(16) char storage[48];
    EXPECT_EQ(InterlockedPushEntrySList(&head, (PSLIST_ENTRY)(storage + 8)), nullptr);
    EXPECT_EQ(QueryDepthSList(&head), 0);
    EXPECT_TRUE(TakeViolation("SLIST_ENTRY_MISALIGNED"));
}
