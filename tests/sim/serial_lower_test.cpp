// The function device against a lower driver the test controls exactly.
#include "loopback_bus.h"
#include "port_io.h"
#include "machine_fixture.h"
#include "trace_capture.h"

#include <atomic>
#include <thread>

using sim_test::WaitFor;

using sim_test::CounterAtRest;

namespace {

class SerialLowerTest : public MachineTest {
protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        g_DeviceCount = 0;  // a fresh image's numbering: the first port is NivexBlnk1
    }
    void TearDown() override
    {
        m_Port.Remove();
        MachineTest::TearDown();
    }
    loopback::Port m_Port;
};

}  // namespace

TEST_F(SerialLowerTest, StartFailedBelowKeepsTheStateAndReturnsTheStatus)
{
    ASSERT_TRUE(m_Port.Create());
    loopback::TheBus().startStatus = STATUS_DEVICE_NOT_READY;
    sim::IrpResult r = sim::SendIrp(m_Port.fdo, IRP_MJ_PNP, IRP_MN_START_DEVICE);
    EXPECT_EQ(r.dispatchStatus, STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(r.ioStatus.Status, STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(m_Port.device->PnpState(), (ULONG)NotStarted);
}

TEST_F(SerialLowerTest, UnnamedMinorReachesTheLowerDriverUntouched)
{
    ASSERT_TRUE(m_Port.Create());
    for (UCHAR minor : {IRP_MN_QUERY_DEVICE_RELATIONS, IRP_MN_QUERY_PNP_DEVICE_STATE}) {
        sim::IrpResult r = sim::SendIrp(m_Port.fdo, IRP_MJ_PNP, minor);
        EXPECT_EQ(loopback::TheBus().pnpMinors.back(), minor);
        EXPECT_EQ(r.ioStatus.Status, STATUS_NOT_SUPPORTED);
    }
    EXPECT_TRUE(CounterAtRest(m_Port.device));
}

TEST_F(SerialLowerTest, DeviceNameCollisionFailsAddDeviceAndFreesTheObject)
{
    PDRIVER_OBJECT other = sim::LoadDriver(L"Squatter", loopback::Entry);
    PDEVICE_OBJECT squatter = nullptr;
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"\\Device\\NivexBlnk1");
    ASSERT_EQ(IoCreateDevice(other, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &squatter), STATUS_SUCCESS);
    TraceCapture traces;
    EXPECT_FALSE(m_Port.Create());
    EXPECT_TRUE(traces.Saw("Could not create FDO", 1));
    // Only the driver's control device object is left of its "CBDE" blocks.
    EXPECT_EQ(sim::OutstandingPoolCount(0x45444243), 1u);
    IoDeleteDevice(squatter);
    sim::UnloadDriver(other);
}

TEST_F(SerialLowerTest, RemovalWaitsForTheWriteInFlightAndRefusesLateRequests)
{
    ASSERT_TRUE(m_Port.Create());
    ASSERT_TRUE(m_Port.Start());
    std::vector<uint8_t> data(200, 'w');
    std::atomic<bool> writeDone{false};
    sim::IrpResult write = {};
    std::thread writer([&] {
        write = sim::SendIrp(m_Port.fdo, IRP_MJ_WRITE, 0, data.data(), (ULONG)data.size(), 0, 10000);
        writeDone = true;
    });
    ASSERT_TRUE(WaitFor([] { return loopback::PendingOut() > 0; }));
    ASSERT_TRUE(loopback::CompleteOut());  // first packet accepted: 63 bytes sent

    PDEVICE_OBJECT fdo = m_Port.fdo;
    CSerialDevice* device = m_Port.device;
    std::atomic<bool> removed{false};
    std::thread remover([&] {
        sim::SendIrp(fdo, IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE, nullptr, 0, 0, 10000);
        removed = true;
    });
    ASSERT_TRUE(WaitFor([&] { return device->PnpState() == Removed; }));
    EXPECT_FALSE(WaitFor([&] { return removed.load(); }, 100));

    size_t minorsBefore = loopback::TheBus().pnpMinors.size();
    sim::IrpResult late = sim::SendIrp(fdo, IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES);
    EXPECT_EQ(late.ioStatus.Status, STATUS_NO_SUCH_DEVICE);
    sim::IrpResult wmi = sim::SendIrp(fdo, IRP_MJ_SYSTEM_CONTROL);
    EXPECT_EQ(wmi.ioStatus.Status, STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(loopback::TheBus().pnpMinors.size(), minorsBefore);
    // Reads and writes that arrive now cannot be queued behind the flush.
    std::vector<uint8_t> bytes(4);
    EXPECT_EQ(sim::SendIrp(fdo, IRP_MJ_READ, 0, bytes.data(), 4).ioStatus.Status, STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(sim::SendIrp(fdo, IRP_MJ_WRITE, 0, bytes.data(), 4).ioStatus.Status, STATUS_NO_SUCH_DEVICE);

    // The packet in flight ends the write with what it has sent.
    ASSERT_TRUE(WaitFor([] { return loopback::PendingOut() > 0; }));
    ASSERT_TRUE(loopback::CompleteOut());
    EXPECT_TRUE(WaitFor([&] { return removed.load() && writeDone.load(); }, 10000));
    writer.join();
    remover.join();
    EXPECT_EQ(write.ioStatus.Status, STATUS_SUCCESS);
    EXPECT_EQ(write.ioStatus.Information, 126u);
    m_Port.fdo = nullptr;
    m_Port.device = nullptr;
}

namespace {

class SerialContractTest : public SerialLowerTest {
protected:
    SerialContractTest() { recordViolations_ = true; }
};

}  // namespace

// A routine's IRQL is a checked contract: a read sent at DISPATCH_LEVEL is
// reported against the routine that assumed PASSIVE_LEVEL.
TEST_F(SerialContractTest, DispatchRoutineEnteredAtDispatchLevelIsReported)
{
    ASSERT_TRUE(m_Port.Create());
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK status = {};
    LARGE_INTEGER offset = {};
    PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_READ, m_Port.fdo, nullptr, 0, &offset, &done, &status);
    ASSERT_NE(irp, nullptr);
    sim::RunAtIrql(DISPATCH_LEVEL, [&] { IoCallDriver(m_Port.fdo, irp); });
    std::vector<sim::Violation> reports = sim::Violations();
    ASSERT_FALSE(reports.empty());
    EXPECT_EQ(reports[0].rule, "PAGED_CODE_AT_RAISED_IRQL");
    EXPECT_EQ(reports[0].routine, "DispatchRead");
    sim::ClearViolations();
}
