// The port as its stack's power policy owner on the simulated
// machine: sleep and wake with the port open and I/O in flight, and the
// failures a power request can meet. Any verifier report (a wait at
// DISPATCH_LEVEL, a power IRP lost or its next one not started) fails the
// test. BRISKLINK_POWER_CYCLES sets the campaign's length (stress: 1000).
#include "port_machine.h"

#include <cstdlib>

using namespace sim_test;

namespace {

class PortPowerTest : public PortMachineTest {
protected:
    void SetUp() override
    {
        PortMachineTest::SetUp();
        id_ = Plug();
        ASSERT_NE(id_, 0u);
        std::vector<sim::DeviceNodeInfo> ports = PortNodes();
        ASSERT_EQ(ports.size(), 1u);
        node_ = ports[0];
        port_ = PortDevice(node_);
        ASSERT_TRUE(ReadersRunning());
    }

    LONG InFlight()
    {
        CLockGuard guard(&In(port_).m_ReaderLock);
        return (LONG)In(port_).m_ReadContexts[0].m_InFlight + (LONG)In(port_).m_ReadContexts[1].m_InFlight;
    }
    bool ReadersRunning()
    {
        return WaitFor([this] { return InFlight() == 2; });
    }
    // The function device's name: its number counts every port this process has added.
    const wchar_t* PortName()
    {
        name_ = sim::Utf16(sim::Utf8(In(port_).m_DeviceName.Value()));
        return sim::W(name_);
    }
    LONG WritesQueued()
    {
        CLockGuard guard(&In(port_).m_WriteLock);
        return In(port_).m_WriteList.GetCount();
    }
    DEVICE_POWER_STATE Powered() { return sim::PoweredState(node_.instancePath); }
    void Feed(const std::vector<uint8_t>& bytes) { BusIoctl(VBUS_IOCTL_FEED_IN, vbusreq::Feed(id_, bytes)); }
    // The payload bytes the device has received since the last call.
    std::vector<uint8_t> Received()
    {
        BusReply r = BusIoctl(VBUS_IOCTL_READ_OUT, vbusreq::ReadOut(id_, VBUS_READ_PAYLOAD),
                              sizeof(VBUS_READ_OUT_RESPONSE) + 8192);
        return vbusreq::OutData(r.data);
    }
    NTSTATUS FailPower(UCHAR minor, USHORT target)
    {
        return BusIoctl(VBUS_IOCTL_SET_FAULT,
                        vbusreq::Fault(id_, VBUS_FAULT_FAIL_POWER, minor, target, 1, 1, STATUS_UNSUCCESSFUL))
            .status;
    }
    sim::PowerIrpResult Device(UCHAR minor, DEVICE_POWER_STATE d)
    {
        POWER_STATE s;
        s.DeviceState = d;
        return sim::PowerSendIrp(node_.instancePath, minor, DevicePowerState, s);
    }

    uint32_t id_ = 0;
    sim::DeviceNodeInfo node_;
    CSerialDevice* port_ = nullptr;
    std::u16string name_;
};

unsigned Cycles()
{
    const char* text = getenv("BRISKLINK_POWER_CYCLES");
    return text != nullptr && atoi(text) > 0 ? (unsigned)atoi(text) : 25;
}

}  // namespace

// The campaign: each cycle sleeps with a read and a WaitCommEvent pending
// and a write issued just before, writes again while asleep, wakes, and then
// the device is in D0, the readers run, both writes reached the device and
// the pending wait and read complete on bytes the device sent after the wake.
TEST_F(PortPowerTest, SleepAndWakeCyclesWithIoInFlightLoseNothing)
{
    PFILE_OBJECT file = sim::OpenDevice(PortName());
    ASSERT_NE(file, nullptr);
    ULONG mask = SERIAL_EV_RXCHAR;
    ASSERT_EQ(sim::SendIrp(node_.top, IRP_MJ_DEVICE_CONTROL, 0, &mask, sizeof(mask), IOCTL_SERIAL_SET_WAIT_MASK)
                  .ioStatus.Status,
              STATUS_SUCCESS);
    unsigned cycles = Cycles();
    for (unsigned i = 0; i < cycles && !HasFailure(); i++) {
        SCOPED_TRACE("cycle " + std::to_string(i));
        SYSTEM_POWER_STATE state = i % 4 == 3 ? PowerSystemHibernate : PowerSystemSleeping3;
        std::vector<uint8_t> in = Sequence(20, (uint8_t)i), before = Sequence(40, (uint8_t)(i + 50)),
                             asleep = Sequence(7, (uint8_t)(i + 100));
        auto read = StartRead(node_.top, in.size());
        ASSERT_TRUE(WaitFor([&] { return QueuedReads(port_) == 1; }));
        auto wait = StartWaitOnMask(node_.top);
        auto write = StartWrite(node_.top, before);
        ASSERT_TRUE(WaitFor([&] { return write->Done() || WritesQueued() != 0; }));

        sim::PowerTransition sleep = sim::SleepMachine(state);
        ASSERT_EQ(sleep.status, STATUS_SUCCESS);
        EXPECT_EQ(Powered(), PowerDeviceD3) << "no capabilities set: the bus maps every sleep to D3";
        EXPECT_EQ(InFlight(), 0) << "readers stopped before D0 was left";
        auto late = StartWrite(node_.top, asleep);
        EXPECT_FALSE(read->Done());

        sim::PowerTransition wake = sim::WakeMachine();
        ASSERT_EQ(wake.status, STATUS_SUCCESS);
        EXPECT_EQ(Powered(), PowerDeviceD0);
        EXPECT_TRUE(ReadersRunning());
        ASSERT_TRUE(write->Wait());
        ASSERT_TRUE(late->Wait());
        EXPECT_EQ(write->Information(), before.size());
        EXPECT_EQ(late->Information(), asleep.size());
        std::vector<uint8_t> expected = before;
        expected.insert(expected.end(), asleep.begin(), asleep.end());
        EXPECT_EQ(Received(), expected);

        EXPECT_FALSE(read->Done()) << "nothing was sent before the wake";
        EXPECT_FALSE(wait->Done()) << "nothing was received before the wake";
        Feed(in);
        ASSERT_TRUE(wait->Wait());
        EXPECT_EQ(wait->Status(), STATUS_SUCCESS);
        EXPECT_EQ(wait->Data(), (std::vector<uint8_t>{SERIAL_EV_RXCHAR, 0, 0, 0})) << "the event word";
        ASSERT_TRUE(read->Wait());
        EXPECT_EQ(read->Status(), STATUS_SUCCESS);
        EXPECT_EQ(read->Data(), in);
    }
    EXPECT_EQ(sim::CloseDevice(file), STATUS_SUCCESS);
}

// The capabilities decide the D-state; a stack that is not power pageable
// gets its power IRPs at DISPATCH_LEVEL, where FinishDevPoUpIrp runs too:
// the readers still restart, with the class request's wait in a work item.
TEST_F(PortPowerTest, WakeAtDispatchLevelRestartsTheReadersWithoutWaitingThere)
{
    In(port_).m_DeviceCaps.DeviceState[PowerSystemSleeping3] = PowerDeviceD2;
    node_.top->Flags &= ~DO_POWER_PAGABLE;
    auto read = StartRead(node_.top, 5);
    ASSERT_EQ(sim::SleepMachine(PowerSystemSleeping3).status, STATUS_SUCCESS);
    EXPECT_EQ(Powered(), PowerDeviceD2);
    EXPECT_EQ(InFlight(), 0);
    ASSERT_EQ(sim::WakeMachine().status, STATUS_SUCCESS);
    EXPECT_EQ(Powered(), PowerDeviceD0);
    EXPECT_TRUE(ReadersRunning());
    Feed(Sequence(5));
    ASSERT_TRUE(read->Wait());
    EXPECT_EQ(read->Data(), Sequence(5));
    node_.top->Flags |= DO_POWER_PAGABLE;
}

// Lower drivers fail the device power-up: the device stays in D3 with its
// readers stopped and the wake's system request carries the failure; the
// next device set to D0 brings it back.
TEST_F(PortPowerTest, FailedPowerUpLeavesTheDeviceDownUntilTheNextSetToD0)
{
    auto read = StartRead(node_.top, 3);
    ASSERT_EQ(sim::SleepMachine(PowerSystemSleeping3).status, STATUS_SUCCESS);
    ASSERT_EQ(FailPower(IRP_MN_SET_POWER, VBUS_POWER_TARGET(VBUS_POWER_DEVICE, PowerDeviceD0)), STATUS_SUCCESS);
    sim::PowerTransition wake = sim::WakeMachine();
    ASSERT_EQ(wake.irps.size(), 2u);
    EXPECT_EQ(wake.irps[1].status, STATUS_UNSUCCESSFUL) << "the port's set to S0 ends as its D0 request did";
    EXPECT_EQ(Powered(), PowerDeviceD3);
    EXPECT_EQ(InFlight(), 0);
    EXPECT_FALSE(read->Done());

    EXPECT_EQ(Device(IRP_MN_SET_POWER, PowerDeviceD0).status, STATUS_SUCCESS);
    EXPECT_EQ(Powered(), PowerDeviceD0);
    EXPECT_TRUE(ReadersRunning());
    Feed(Sequence(3));
    ASSERT_TRUE(read->Wait());
    EXPECT_EQ(read->Data(), Sequence(3));
}

// No work item for the hold: the device query fails with
// STATUS_INSUFFICIENT_RESOURCES, the sleep is vetoed by the port, nothing
// was stopped, and the set to S0 that ends the veto keeps the port running.
TEST_F(PortPowerTest, FailedWorkItemVetoesTheSleepAndStopsNothing)
{
    sim::FaultRule noWorkItem;
    noWorkItem.site = sim::FaultSite::WorkItem;
    noWorkItem.nth = 1;
    sim::AddFault(noWorkItem);
    sim::PowerTransition sleep = sim::SleepMachine(PowerSystemSleeping3);
    sim::ClearFaults();
    EXPECT_EQ(sleep.status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(sleep.vetoedBy, node_.instancePath);
    EXPECT_EQ(sim::MachinePowerState(), PowerSystemWorking);
    EXPECT_EQ(Powered(), PowerDeviceD0);
    EXPECT_TRUE(ReadersRunning());

    sim::AddFault(noWorkItem);
    EXPECT_EQ(Device(IRP_MN_SET_POWER, PowerDeviceD3).status, STATUS_INSUFFICIENT_RESOURCES);
    sim::ClearFaults();
    EXPECT_EQ(Powered(), PowerDeviceD0);
    EXPECT_EQ(InFlight(), 2);
}

// A query that no set follows stops the readers; they stay stopped until
// a set to D0 while in D0 or an open restarts them, and a read pending
// meanwhile gets the bytes sent after the restart.
TEST_F(PortPowerTest, QueryWithoutASetStopsTheReadersUntilTheNextRestart)
{
    POWER_STATE s3;
    s3.SystemState = PowerSystemSleeping3;
    EXPECT_EQ(sim::PowerSendIrp(node_.instancePath, IRP_MN_QUERY_POWER, SystemPowerState, s3).status, STATUS_SUCCESS);
    EXPECT_EQ(InFlight(), 0);
    EXPECT_EQ(Powered(), PowerDeviceD0);
    NTSTATUS opened = STATUS_UNSUCCESSFUL;
    PFILE_OBJECT file = sim::OpenDevice(PortName(), &opened);
    ASSERT_NE(file, nullptr) << std::hex << opened;
    EXPECT_TRUE(ReadersRunning()) << "an open restarts them";
    auto read = StartRead(node_.top, 4);
    Feed(Sequence(4));
    ASSERT_TRUE(read->Wait());
    EXPECT_EQ(read->Data(), Sequence(4));

    EXPECT_EQ(Device(IRP_MN_QUERY_POWER, PowerDeviceD3).status, STATUS_SUCCESS);
    EXPECT_EQ(InFlight(), 0);
    EXPECT_EQ(Device(IRP_MN_QUERY_POWER, PowerDeviceD0).status, STATUS_SUCCESS) << "more power: nothing to stop";
    EXPECT_EQ(Device(IRP_MN_SET_POWER, PowerDeviceD0).status, STATUS_SUCCESS);
    EXPECT_TRUE(ReadersRunning()) << "a set to D0 while in D0 restarts them";
    EXPECT_EQ(sim::CloseDevice(file), STATUS_SUCCESS);
}

// Shutdown sets S5 with no query: the readers stop before D3, a pending read
// stays until the device goes, and removal then ends it cleanly.
TEST_F(PortPowerTest, ShutdownStopsTheReadersAndRemovalStillEndsEverything)
{
    auto read = StartRead(node_.top, 8);
    ASSERT_TRUE(WaitFor([&] { return QueuedReads(port_) == 1; }));
    ASSERT_EQ(sim::SleepMachine(PowerSystemShutdown).status, STATUS_SUCCESS);
    EXPECT_EQ(Powered(), PowerDeviceD3);
    EXPECT_EQ(InFlight(), 0);
    EXPECT_FALSE(read->Done());
    ASSERT_EQ(Unplug(id_), STATUS_SUCCESS);
    ASSERT_TRUE(read->Wait());
    EXPECT_EQ(read->Status(), STATUS_NO_SUCH_DEVICE);
    EXPECT_TRUE(sim::WaitDeviceGone(node_.instancePath));
}
