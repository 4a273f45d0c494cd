// Starting the data path on interfaces and in conditions that are not the
// usual ones.
#include "loopback_bus.h"
#include "port_io.h"

using namespace sim_test;

namespace {

class DataPathStartTest : public MachineTest {
protected:
    void TearDown() override
    {
        sim::ClearFaults();
        m_Port.Remove();
        MachineTest::TearDown();
    }
    loopback::Port m_Port;
};

}  // namespace

TEST_F(DataPathStartTest, InterfaceWithoutInterruptPipesStartsNothing)
{
    ASSERT_TRUE(m_Port.Create());
    PUSBD_INTERFACE_INFORMATION info = In(m_Port.device).InterfaceInfo();
    info->Pipes[0].PipeType = UsbdPipeTypeBulk;
    info->Pipes[1].PipeType = UsbdPipeTypeBulk;
    EXPECT_FALSE(m_Port.Start());
    EXPECT_EQ(loopback::PendingIn(), 0u);
    EXPECT_EQ(In(m_Port.device).m_WriteUrb.m_Size, 0);
    // Writes then fail at once.
    std::vector<uint8_t> data(5, 'x');
    sim::IrpResult r = sim::SendIrp(m_Port.fdo, IRP_MJ_WRITE, 0, data.data(), 5);
    EXPECT_EQ(r.ioStatus.Status, STATUS_INVALID_PARAMETER);
}

TEST_F(DataPathStartTest, WithoutAWorkItemReadersRunAndRestartReadStartsTheLoop)
{
    ASSERT_TRUE(m_Port.Create());
    sim::FaultRule rule;
    rule.site = sim::FaultSite::WorkItem;
    rule.nth = 1;
    sim::AddFault(rule);
    EXPECT_TRUE(m_Port.Start());  // both pipes exist; the loop could not start
    sim::ClearFaults();
    EXPECT_FALSE(In(m_Port.device).m_DeliveryRunning);
    ASSERT_TRUE(WaitFor([] { return loopback::PendingIn() == 2; }));
    ASSERT_TRUE(loopback::CompleteIn(InPacket(Sequence(5))));
    ASSERT_TRUE(WaitFor([&] { return RingCount(m_Port.device) == 5; }));
    auto read = StartRead(m_Port.fdo, 8);
    EXPECT_FALSE(read->Wait(50));

    In(m_Port.device).RestartRead();
    EXPECT_TRUE(In(m_Port.device).m_DeliveryRunning);
    ASSERT_TRUE(WaitFor([] { return loopback::PendingIn() == 2; }));
    ASSERT_TRUE(loopback::CompleteIn(InPacket(Sequence(3, 5))));
    ASSERT_TRUE(read->Wait());
    EXPECT_EQ(read->Data(), Sequence(8));
}

TEST_F(DataPathStartTest, ReaderIrpThatCannotBeAllocatedStopsTheStartQuietly)
{
    ASSERT_TRUE(m_Port.Create());
    sim::FaultRule rule;
    rule.site = sim::FaultSite::Irp;
    rule.nth = 2;
    sim::AddFault(rule);
    EXPECT_TRUE(m_Port.Start());  // both pipes exist
    EXPECT_EQ(loopback::PendingIn(), 1u);
    EXPECT_NE(In(m_Port.device).m_ReadContexts[0].m_Irp, nullptr);
    EXPECT_EQ(In(m_Port.device).m_ReadContexts[1].m_Irp, nullptr);
    EXPECT_NE(In(m_Port.device).m_WriteUrb.m_Data, nullptr);
}
