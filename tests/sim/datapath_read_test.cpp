// The read path against a lower driver whose every IN transfer the test
// completes: the ring, the immediate and queued reads, the delivery loop, the
// time-out, cancellation and the readers' life.
#include "loopback_bus.h"
#include "port_io.h"
#include "trace_capture.h"

using namespace sim_test;

namespace {

class ReadPathTest : public MachineTest {
protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        sim::SetManualTime(true);
        ASSERT_TRUE(m_Port.Create(m_InPacket, 64));
        m_Device = m_Port.device;
        ASSERT_TRUE(m_Port.Start());
        ASSERT_TRUE(WaitFor([] { return loopback::PendingIn() == 2; }));
    }
    void TearDown() override
    {
        sim::ClearFaults();
        m_Port.Remove();
        MachineTest::TearDown();
    }
    // Delivers bytes as the device would: packets of up to 15 payload bytes.
    void Feed(const std::vector<uint8_t>& bytes)
    {
        for (size_t at = 0; at < bytes.size(); at += 15) {
            size_t n = bytes.size() - at < 15 ? bytes.size() - at : 15;
            Packet(InPacket(std::vector<uint8_t>(bytes.begin() + at, bytes.begin() + at + n)));
        }
    }
    void Packet(const std::vector<uint8_t>& packet, NTSTATUS status = STATUS_SUCCESS)
    {
        ASSERT_TRUE(WaitFor([] { return loopback::PendingIn() > 0; }));
        ASSERT_TRUE(loopback::CompleteIn(packet, status));
    }
    void AdvanceMs(LONGLONG ms) { sim::AdvanceTime(ms * 10000); }

    USHORT m_InPacket = 16;
    loopback::Port m_Port;
    CSerialDevice* m_Device = nullptr;
};

class SmallPacketReadTest : public ReadPathTest {
protected:
    SmallPacketReadTest() { m_InPacket = 8; }
};

}  // namespace

TEST_F(ReadPathTest, ReadTheRingCanFillCompletesAtOnce)
{
    Feed(Sequence(10));
    ASSERT_TRUE(WaitFor([&] { return RingCount(m_Device) == 10; }));
    std::vector<uint8_t> buffer(10);
    sim::IrpResult r = sim::SendIrp(m_Port.fdo, IRP_MJ_READ, 0, buffer.data(), 10);
    EXPECT_EQ(r.dispatchStatus, STATUS_SUCCESS);
    EXPECT_EQ(r.ioStatus.Information, 10u);
    EXPECT_EQ(buffer, Sequence(10));
    EXPECT_EQ(In(m_Device).m_BytesReceived, 10u);
}

TEST_F(ReadPathTest, ReadLargerThanTheRingTakesWhatIsThereAndWaitsForTheRest)
{
    Feed(Sequence(10));
    ASSERT_TRUE(WaitFor([&] { return RingCount(m_Device) == 10; }));
    auto read = StartRead(m_Port.fdo, 11);
    ASSERT_TRUE(WaitFor([&] { return HeadFilled(m_Device) == 10; }));
    EXPECT_FALSE(read->Wait(50));
    EXPECT_EQ(sim::LastRequestedDueTime(In(m_Device).m_ReadTimer.m_Timer), 0);  // no time-out set
    Feed({10});
    ASSERT_TRUE(read->Wait());
    EXPECT_EQ(read->Status(), STATUS_SUCCESS);
    EXPECT_EQ(read->Data(), Sequence(11));
}

TEST_F(ReadPathTest, ReadQueuedOnAnEmptyRingLeavesTheLoopAsleepUntilItsBytesCome)
{
    // Counted, never stopped: every signal of the loop's event, and the read's dispatch returning.
    sim::BreakRule signals;
    signals.point = sim::BreakPoint::AfterSetEvent;
    signals.object = &In(m_Device).m_DataEvent.m_Event;
    signals.skip = ~0u;
    int signalled = sim::AddBreak(signals);
    sim::BreakRule dispatched;
    dispatched.point = sim::BreakPoint::AfterCallDriver;
    dispatched.major = IRP_MJ_READ;
    dispatched.skip = ~0u;
    int returned = sim::AddBreak(dispatched);

    auto read = StartRead(m_Port.fdo, 11);
    ASSERT_TRUE(WaitFor([&] { return sim::BreakHits(returned) == 1; }));
    EXPECT_EQ(QueuedReads(m_Device), 1);
    EXPECT_EQ(sim::BreakHits(signalled), 0u);
    Feed(Sequence(11));
    ASSERT_TRUE(read->Wait());
    EXPECT_EQ(read->Data(), Sequence(11));
    EXPECT_EQ(sim::BreakHits(signalled), 1u);
    sim::RemoveBreak(returned);
    sim::RemoveBreak(signalled);
}

TEST_F(ReadPathTest, ZeroByteReadCompletesAtOnceWhenNoneWaits)
{
    sim::IrpResult r = sim::SendIrp(m_Port.fdo, IRP_MJ_READ, 0, nullptr, 0);
    EXPECT_EQ(r.dispatchStatus, STATUS_SUCCESS);
    EXPECT_EQ(r.ioStatus.Information, 0u);
}

TEST_F(ReadPathTest, ZeroByteReadBehindAnotherCompletesWhenDataArrives)
{
    auto first = StartRead(m_Port.fdo, 3);
    ASSERT_TRUE(WaitFor([&] { return QueuedReads(m_Device) == 1; }));
    auto empty = StartRead(m_Port.fdo, 0);
    ASSERT_TRUE(WaitFor([&] { return QueuedReads(m_Device) == 2; }));
    Feed(Sequence(4));
    ASSERT_TRUE(first->Wait());
    ASSERT_TRUE(empty->Wait());
    EXPECT_EQ(first->Information(), 3u);
    EXPECT_EQ(empty->Information(), 0u);
}

TEST_F(ReadPathTest, TimeOutCompletesTheHeadWithWhatItHolds)
{
    WriteNoFence(&In(m_Device).m_ReadTimeout, 50);
    auto read = StartRead(m_Port.fdo, 100);
    ASSERT_TRUE(WaitFor([&] { return QueuedReads(m_Device) == 1; }));
    PKTIMER timer = In(m_Device).m_ReadTimer.m_Timer;
    ASSERT_TRUE(WaitFor([&] { return sim::LastRequestedDueTime(timer) != 0; }));
    EXPECT_EQ(sim::LastRequestedDueTime(timer), -500000);
    Feed(Sequence(30));
    ASSERT_TRUE(WaitFor([&] { return HeadFilled(m_Device) == 30; }));
    AdvanceMs(49);
    EXPECT_FALSE(read->Wait(30));
    AdvanceMs(1);
    ASSERT_TRUE(read->Wait());
    EXPECT_EQ(read->Status(), STATUS_TIMEOUT);
    EXPECT_EQ(read->Data(), Sequence(30));
    EXPECT_EQ(In(m_Device).m_BytesReceived, 30u);
}

TEST_F(ReadPathTest, TimeOutRunsPerHeadNotPerRequest)
{
    WriteNoFence(&In(m_Device).m_ReadTimeout, 50);
    auto first = StartRead(m_Port.fdo, 5);
    ASSERT_TRUE(WaitFor([&] { return QueuedReads(m_Device) == 1; }));
    AdvanceMs(30);
    auto second = StartRead(m_Port.fdo, 5);
    ASSERT_TRUE(WaitFor([&] { return QueuedReads(m_Device) == 2; }));
    AdvanceMs(20);
    ASSERT_TRUE(first->Wait());
    EXPECT_EQ(first->Status(), STATUS_TIMEOUT);
    // The second one's 50 ms started only now.
    AdvanceMs(49);
    EXPECT_FALSE(second->Wait(30));
    AdvanceMs(1);
    ASSERT_TRUE(second->Wait());
    EXPECT_EQ(second->Status(), STATUS_TIMEOUT);
    EXPECT_EQ(second->Information(), 0u);
}

TEST_F(ReadPathTest, NegativeTimeOutArmsTheWrappedDueTime)
{
    WriteNoFence(&In(m_Device).m_ReadTimeout, -10);
    auto read = StartRead(m_Port.fdo, 5);
    ASSERT_TRUE(WaitFor([&] { return QueuedReads(m_Device) == 1; }));
    // The timer is set once the read is queued and the queue's lock released.
    PKTIMER timer = In(m_Device).m_ReadTimer.m_Timer;
    ASSERT_TRUE(WaitFor([&] { return sim::LastRequestedDueTime(timer) != 0; }));
    EXPECT_EQ(sim::LastRequestedDueTime(timer), -4294867296LL);
    Feed(Sequence(5));
    ASSERT_TRUE(read->Wait());
    EXPECT_EQ(read->Status(), STATUS_SUCCESS);
}

TEST_F(ReadPathTest, TwoReadsAreFilledFromOneBurst)
{
    auto first = StartRead(m_Port.fdo, 10);
    ASSERT_TRUE(WaitFor([&] { return QueuedReads(m_Device) == 1; }));
    auto second = StartRead(m_Port.fdo, 10);
    ASSERT_TRUE(WaitFor([&] { return QueuedReads(m_Device) == 2; }));
    Feed(Sequence(20));
    ASSERT_TRUE(first->Wait());
    ASSERT_TRUE(second->Wait());
    EXPECT_EQ(first->Data(), Sequence(10));
    EXPECT_EQ(second->Data(), Sequence(10, 10));
    EXPECT_EQ(In(m_Device).m_BytesReceived, 20u);
}

TEST_F(ReadPathTest, PayloadCountComesFromTheLowNibbleOfByteZero)
{
    Packet(InPacket({1, 2, 3, 4, 5}, 0x35));
    Packet(InPacket({9, 9}, 0xF0));
    Packet({});  // a transfer that carried nothing
    ASSERT_TRUE(WaitFor([&] { return RingCount(m_Device) == 5; }));
    ASSERT_TRUE(WaitFor([] { return loopback::PendingIn() == 2; }));  // every transfer was sent again
    std::vector<uint8_t> buffer(5);
    sim::SendIrp(m_Port.fdo, IRP_MJ_READ, 0, buffer.data(), 5);
    EXPECT_EQ(buffer, (std::vector<uint8_t>{1, 2, 3, 4, 5}));
}

TEST_F(ReadPathTest, ShortTransferDeliversOnlyTheBytesItCarried)
{
    Packet({0x0F, 'a', 'b'});
    ASSERT_TRUE(WaitFor([] { return loopback::PendingIn() == 2; }));
    EXPECT_EQ(RingCount(m_Device), 2);
}

TEST_F(SmallPacketReadTest, CountBeyondASmallPacketIsCutToTheBuffer)
{
    Packet({0x0F, 1, 2, 3, 4, 5, 6, 7});
    ASSERT_TRUE(WaitFor([] { return loopback::PendingIn() == 2; }));
    EXPECT_EQ(RingCount(m_Device), 7);
}

TEST_F(ReadPathTest, CancellingAPartlyFilledHeadKeepsItsBytesAndTheTimer)
{
    WriteNoFence(&In(m_Device).m_ReadTimeout, 50);
    auto head = StartRead(m_Port.fdo, 20);
    ASSERT_TRUE(WaitFor([&] { return QueuedReads(m_Device) == 1; }));
    auto next = StartRead(m_Port.fdo, 20);
    ASSERT_TRUE(WaitFor([&] { return QueuedReads(m_Device) == 2; }));
    Feed(Sequence(7));
    ASSERT_TRUE(WaitFor([&] { return HeadFilled(m_Device) == 7; }));
    IoCancelIrp(QueuedRead(m_Device, 0));
    ASSERT_TRUE(head->Wait());
    EXPECT_EQ(head->Status(), STATUS_CANCELLED);
    EXPECT_EQ(head->Information(), 7u);
    EXPECT_EQ(In(m_Device).m_BytesReceived, 0u);
    // The timer armed for the cancelled head now ends the new one.
    AdvanceMs(50);
    ASSERT_TRUE(next->Wait());
    EXPECT_EQ(next->Status(), STATUS_TIMEOUT);
}

TEST_F(ReadPathTest, ReadersFallIdleAfterErrorsUntilRestartRead)
{
    Feed(Sequence(4));
    ASSERT_TRUE(WaitFor([&] { return RingCount(m_Device) == 4; }));
    TraceCapture traces;
    Packet({}, STATUS_DEVICE_DATA_ERROR);
    Packet({}, STATUS_DEVICE_DATA_ERROR);
    ASSERT_TRUE(WaitFor(
        [&] { return !In(m_Device).m_ReadContexts[0].m_InFlight && !In(m_Device).m_ReadContexts[1].m_InFlight; }));
    EXPECT_TRUE(traces.Saw("ReadComplete error", 1));
    EXPECT_EQ(loopback::PendingIn(), 0u);
    // Bytes already in the ring are still delivered.
    std::vector<uint8_t> buffer(4);
    EXPECT_EQ(sim::SendIrp(m_Port.fdo, IRP_MJ_READ, 0, buffer.data(), 4).ioStatus.Information, 4u);

    In(m_Device).RestartRead();
    ASSERT_TRUE(WaitFor([] { return loopback::PendingIn() == 2; }));
    ASSERT_EQ(loopback::TheBus().classRequests.size(), 1u);
    EXPECT_EQ(loopback::TheBus().classRequests[0], 0x0A);
    Feed(Sequence(3));
    ASSERT_TRUE(WaitFor([&] { return RingCount(m_Device) == 3; }));
}

TEST_F(ReadPathTest, RestartReadLeavesRunningReadersAlone)
{
    In(m_Device).RestartRead();
    EXPECT_TRUE(loopback::TheBus().classRequests.empty());
    EXPECT_EQ(loopback::PendingIn(), 2u);
}

TEST_F(ReadPathTest, SecondStartKeepsOneLoopAndTheIrpsInFlight)
{
    PIRP first = In(m_Device).m_ReadContexts[0].m_Irp;
    PIRP second = In(m_Device).m_ReadContexts[1].m_Irp;
    ASSERT_TRUE(m_Port.Start());
    EXPECT_EQ(In(m_Device).m_ReadContexts[0].m_Irp, first);
    EXPECT_EQ(In(m_Device).m_ReadContexts[1].m_Irp, second);
    EXPECT_EQ(loopback::PendingIn(), 2u);
    EXPECT_TRUE(CounterAtRest(m_Device));
}

TEST_F(ReadPathTest, ReadThatCannotBeQueuedFailsInsteadOfBeingLost)
{
    sim::FaultRule rule;
    rule.site = sim::FaultSite::Lookaside;
    rule.nth = 1;
    rule.count = 0;
    sim::AddFault(rule);
    sim::IrpResult r = sim::SendIrp(m_Port.fdo, IRP_MJ_READ, 0, nullptr, 0);
    EXPECT_EQ(r.ioStatus.Status, STATUS_SUCCESS);  // served at once, needs no node
    std::vector<uint8_t> buffer(4);
    r = sim::SendIrp(m_Port.fdo, IRP_MJ_READ, 0, buffer.data(), 4);
    EXPECT_EQ(r.ioStatus.Status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(QueuedReads(m_Device), 0);
}

// When data fills the head, the read behind it becomes the head and gets a
// time-out of its own: a read with a time-out never waits for ever.
TEST_F(ReadPathTest, ReadBehindAFilledHeadGetsItsOwnTimeOut)
{
    WriteNoFence(&In(m_Device).m_ReadTimeout, 50);
    auto first = StartRead(m_Port.fdo, 5);
    ASSERT_TRUE(WaitFor([&] { return QueuedReads(m_Device) == 1; }));
    auto second = StartRead(m_Port.fdo, 5);
    ASSERT_TRUE(WaitFor([&] { return QueuedReads(m_Device) == 2; }));
    Feed(Sequence(5));
    ASSERT_TRUE(first->Wait());
    EXPECT_EQ(first->Status(), STATUS_SUCCESS);
    AdvanceMs(50);
    ASSERT_TRUE(second->Wait());
    EXPECT_EQ(second->Status(), STATUS_TIMEOUT);
}

// Removal that comes while RestartRead re-arms its last reader waits for that
// reader: the reader's counter unit is taken before the slot is marked in
// flight, so removal never frees an IRP about to be sent, nor the device
// under the sender.
TEST_F(ReadPathTest, RemovalRacingRestartReadWaitsForTheReaderItSends)
{
    Packet({}, STATUS_DEVICE_DATA_ERROR);
    Packet({}, STATUS_DEVICE_DATA_ERROR);
    ASSERT_TRUE(WaitFor([&] { return !In(m_Device).m_ReadContexts[1].m_InFlight; }));
    struct Context {
        PDEVICE_OBJECT fdo;
        CSerialDevice* device;
        std::thread remover;
        std::atomic<bool> removed{false};
    } context{m_Port.fdo, m_Device, {}, {}};
    sim::BreakRule rule;
    rule.point = sim::BreakPoint::AfterReleaseSpinLock;
    rule.object = &In(m_Device).m_ReaderLock.m_SpinLock;
    rule.skip = 2;  // RestartRead's look at the slots, its first slot, then the second
    rule.action = [](void* c, const void*) {
        auto* context = static_cast<Context*>(c);
        context->remover = std::thread([context] {
            sim::SendIrp(context->fdo, IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE, nullptr, 0, 0, 20000);
            context->removed = true;
        });
        // Removal either finishes (the race is lost) or waits for the reader.
        WaitFor([&] { return context->removed || sim::WaiterCount(&In(context->device).m_IoCounter.m_ZeroEvent) > 0; });
    };
    rule.context = &context;
    int id = sim::AddBreak(rule);
    In(m_Device).RestartRead();
    EXPECT_EQ(sim::BreakStops(id), 1u);
    sim::RemoveBreak(id);
    context.remover.join();
    m_Port.fdo = nullptr;
    m_Port.device = nullptr;
}

TEST_F(ReadPathTest, BytesNoReadOrWaitAsksForDoNotWakeTheDeliveryLoop)
{
    auto first = StartRead(m_Port.fdo, 1);  // the loop starts with the first queued read
    Feed({0});
    ASSERT_TRUE(first->Wait());
    // The pass after a completed read runs unasked; the count starts when the loop waits.
    ASSERT_TRUE(WaitFor([&] {
        return sim::WaiterCount(&In(m_Device).m_DataEvent.m_Event) == 1 &&
               KeReadStateEvent(&In(m_Device).m_DataEvent.m_Event) == 0;
    }));
    TraceCapture trace;
    Feed(Sequence(150, 1));
    ASSERT_TRUE(WaitFor([&] { return RingCount(m_Device) == 150; }));
    size_t passes = 0;
    for (const TraceCapture::Entry& e : trace.Entries()) {
        passes += e.format == "FireEvent";
    }
    EXPECT_EQ(passes, 0u);  // ten packets used to wake it ten times
    auto read = StartRead(m_Port.fdo, 160);
    Feed(Sequence(10, 151));
    ASSERT_TRUE(read->Wait());
    EXPECT_EQ(read->Data(), Sequence(160, 1));
}

TEST_F(ReadPathTest, BytesReadBeforeTheMaskAskedForThemEndNoLaterWait)
{
    Feed(Sequence(15));
    ASSERT_TRUE(WaitFor([&] { return RingCount(m_Device) == 15; }));
    std::vector<uint8_t> buffer(15);
    ASSERT_EQ(sim::SendIrp(m_Port.fdo, IRP_MJ_READ, 0, buffer.data(), 15).ioStatus.Information, 15u);
    ULONG mask = SERIAL_EV_RXCHAR;
    ASSERT_EQ(sim::SendIrp(m_Port.fdo, IRP_MJ_DEVICE_CONTROL, 0, &mask, sizeof(mask), IOCTL_SERIAL_SET_WAIT_MASK)
                  .ioStatus.Status,
              STATUS_SUCCESS);
    auto wait = StartWaitOnMask(m_Port.fdo);
    ASSERT_TRUE(WaitFor([&] {
        CLockGuard guard(&In(m_Device).m_WaitLock);
        return In(m_Device).m_WaitList.GetCount() == 1;
    }));
    auto read = StartRead(m_Port.fdo, 1);  // wakes the loop, which must find no event
    EXPECT_FALSE(wait->Wait(50));
    Feed({7});
    ASSERT_TRUE(wait->Wait());
    ASSERT_TRUE(read->Wait());
    EXPECT_EQ(wait->Data(), (std::vector<uint8_t>{SERIAL_EV_RXCHAR, 0, 0, 0}));
    EXPECT_EQ(read->Data(), std::vector<uint8_t>{7});
}
