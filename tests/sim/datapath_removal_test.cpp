// Removal, cleanup-style flushes and cancellation racing the data path: every
// request completes exactly once (the verifier stops any second completion)
// and the device goes without leaving anything behind.
#include "loopback_bus.h"
#include "port_io.h"

using namespace sim_test;

namespace {

class DataPathRemovalTest : public MachineTest {
protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        ASSERT_TRUE(m_Port.Create());
        m_Device = m_Port.device;
        ASSERT_TRUE(m_Port.Start());
        ASSERT_TRUE(WaitFor([] { return loopback::PendingIn() == 2; }));
    }
    void TearDown() override
    {
        m_Port.Remove();
        MachineTest::TearDown();
    }
    void Remove()
    {
        PDEVICE_OBJECT fdo = m_Port.fdo;
        sim::SendIrp(fdo, IRP_MJ_PNP, IRP_MN_SURPRISE_REMOVAL);
        m_Remover = std::thread([fdo] { sim::SendIrp(fdo, IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE, nullptr, 0, 0, 20000); });
        m_Port.fdo = nullptr;
        m_Port.device = nullptr;
    }
    void JoinRemoval()
    {
        if (m_Remover.joinable()) {
            m_Remover.join();
        }
    }

    loopback::Port m_Port;
    CSerialDevice* m_Device = nullptr;
    std::thread m_Remover;
};

}  // namespace

TEST_F(DataPathRemovalTest, SurpriseRemovalWithEverythingInFlightEndsEveryRequestOnce)
{
    auto readA = StartRead(m_Port.fdo, 10);
    auto readB = StartRead(m_Port.fdo, 10);
    ASSERT_TRUE(WaitFor([&] { return QueuedReads(m_Device) == 2; }));
    auto writeA = StartWrite(m_Port.fdo, Sequence(100));
    ASSERT_TRUE(WaitFor([] { return loopback::PendingOut() > 0; }));
    auto writeB = StartWrite(m_Port.fdo, Sequence(10));
    ASSERT_TRUE(WaitFor([&] {
        CLockGuard guard(&In(m_Device).m_WriteLock);
        return In(m_Device).m_WriteList.GetCount() == 2;
    }));

    Remove();
    // Queued reads and the write behind the one in flight are flushed; the
    // readers are cancelled; the write in flight ends when its packet does.
    ASSERT_TRUE(readA->Wait());
    ASSERT_TRUE(readB->Wait());
    ASSERT_TRUE(writeB->Wait());
    EXPECT_EQ(readA->Status(), STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(readB->Status(), STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(writeB->Status(), STATUS_NO_SUCH_DEVICE);
    EXPECT_TRUE(WaitFor([] { return loopback::PendingIn() == 0; }));
    EXPECT_FALSE(writeA->Wait(30));
    ASSERT_TRUE(loopback::CompleteOut(STATUS_NO_SUCH_DEVICE));
    ASSERT_TRUE(writeA->Wait());
    EXPECT_EQ(writeA->Status(), STATUS_NO_SUCH_DEVICE);
    JoinRemoval();
    EXPECT_EQ(sim::FindDevice(L"\\Device\\NivexBlnk1"), nullptr);
}

TEST_F(DataPathRemovalTest, RemovalWhileTheRingIsFillingLeavesNothingBehind)
{
    for (int i = 0; i < 20; i++) {
        loopback::CompleteIn(InPacket(Sequence(15)));
        WaitFor([] { return loopback::PendingIn() > 0; });
    }
    Remove();
    JoinRemoval();
    EXPECT_EQ(loopback::PendingIn(), 0u);
}
