#include "core/PoolTags.h"
#include "machine_fixture.h"

using sim_test::WaitFor;
#include "support/WorkItem.h"

#include <atomic>

namespace {

struct Observed {
    std::atomic<int> runs{0};
    std::atomic<int> irql{-1};
    PDEVICE_OBJECT device = nullptr;
};

VOID Record(PDEVICE_OBJECT DeviceObject, CWorkItem* item)
{
    Observed* seen = (Observed*)item->m_Slots[0];
    seen->irql = KeGetCurrentIrql();
    seen->device = DeviceObject;
    seen->runs++;
}

NTSTATUS EmptyEntry(PDRIVER_OBJECT, PUNICODE_STRING)
{
    return STATUS_SUCCESS;
}

class WorkItemTest : public MachineTest {
protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        m_Driver = sim::LoadDriver(L"WorkItemProbe", EmptyEntry);
        ASSERT_NE(m_Driver, nullptr);
        ASSERT_EQ(IoCreateDevice(m_Driver, 0, NULL, FILE_DEVICE_UNKNOWN, 0, FALSE, &m_Device), STATUS_SUCCESS);
    }
    void TearDown() override
    {
        sim::WaitQuiet();
        IoDeleteDevice(m_Device);
        sim::UnloadDriver(m_Driver);
        MachineTest::TearDown();
    }
    PDRIVER_OBJECT m_Driver = nullptr;
    PDEVICE_OBJECT m_Device = nullptr;
};

}  // namespace

TEST_F(WorkItemTest, RunsItsRoutineAtPassiveLevelAndFreesItself)
{
    Observed seen;
    CWorkItem* item = CWorkItem::Create(m_Device, 1);
    ASSERT_NE(item, nullptr);
    EXPECT_EQ(item->m_SlotCount, 1u);
    EXPECT_EQ(item->m_Used, 0u);
    item->m_Routine = Record;
    item->m_Slots[0] = &seen;
    item->Queue();
    EXPECT_TRUE(WaitFor([&] { return seen.runs.load() == 1; }, 5000));
    EXPECT_TRUE(sim::WaitQuiet());
    EXPECT_EQ(seen.irql.load(), PASSIVE_LEVEL);
    EXPECT_EQ(seen.device, m_Device);
    EXPECT_EQ(sim::OutstandingPoolCount(kTagWorkItem), 0u);
}

TEST_F(WorkItemTest, RecordHasRoomForEverySlot)
{
    CWorkItem* item = CWorkItem::Create(m_Device, 4);
    ASSERT_NE(item, nullptr);
    for (int i = 0; i < 4; i++) {
        EXPECT_EQ(item->m_Slots[i], nullptr);
    }
    std::vector<sim::PoolBlockInfo> blocks = sim::OutstandingPool();
    bool sized = false;
    for (const sim::PoolBlockInfo& b : blocks) {
        if (b.address == item) {
            sized = b.size >= FIELD_OFFSET(CWorkItem, m_Slots) + 4 * sizeof(PVOID);
        }
    }
    EXPECT_TRUE(sized);
    Observed seen;
    item->m_Routine = Record;
    item->m_Slots[0] = &seen;
    item->Queue();
    EXPECT_TRUE(WaitFor([&] { return seen.runs.load() == 1; }, 5000));
}

TEST_F(WorkItemTest, CreateFailsCleanlyWhenTheRecordCannotBeAllocated)
{
    sim::FaultRule rule;
    rule.site = sim::FaultSite::Pool;
    rule.tag = kTagWorkItem;
    rule.nth = 1;
    sim::AddFault(rule);
    EXPECT_EQ(CWorkItem::Create(m_Device, 1), nullptr);
}

TEST_F(WorkItemTest, CreateFreesTheRecordWhenTheWorkItemCannotBeAllocated)
{
    sim::FaultRule rule;
    rule.site = sim::FaultSite::WorkItem;
    rule.nth = 1;
    sim::AddFault(rule);
    EXPECT_EQ(CWorkItem::Create(m_Device, 1), nullptr);
    EXPECT_EQ(sim::OutstandingPoolCount(kTagWorkItem), 0u);
}
