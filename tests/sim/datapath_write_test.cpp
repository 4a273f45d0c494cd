// The write path: serial writes cut into full-size OUT packets whose byte 0
// counts the payload.
#include "loopback_bus.h"
#include "port_io.h"
#include "trace_capture.h"

using namespace sim_test;

namespace {

class WritePathTest : public MachineTest {
protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        ASSERT_TRUE(m_Port.Create(16, m_OutPacket));
        m_Device = m_Port.device;
        ASSERT_TRUE(m_Port.Start());
    }
    void TearDown() override
    {
        m_Port.Remove();
        MachineTest::TearDown();
    }
    // Accepts OUT packets until `write` finishes; returns how many were sent.
    size_t Drain(AsyncIrp& write, NTSTATUS status = STATUS_SUCCESS)
    {
        size_t packets = 0;
        while (!write.Done()) {
            if (loopback::CompleteOut(status)) {
                packets++;
            }
        }
        return packets;
    }
    std::vector<std::vector<uint8_t>> Packets()
    {
        std::lock_guard<std::mutex> guard(loopback::TheBus().outLog);
        return loopback::TheBus().outPackets;
    }

    USHORT m_OutPacket = 64;
    loopback::Port m_Port;
    CSerialDevice* m_Device = nullptr;
};

class WideOutPipeTest : public WritePathTest {
protected:
    WideOutPipeTest() { m_OutPacket = 256; }
};

}  // namespace

TEST_F(WritePathTest, TwoHundredBytesGoOutAsFourFullPackets)
{
    std::vector<uint8_t> data = Sequence(200);
    auto write = StartWrite(m_Port.fdo, data);
    Drain(*write);
    EXPECT_EQ(write->Status(), STATUS_SUCCESS);
    EXPECT_EQ(write->Information(), 200u);
    EXPECT_EQ(In(m_Device).m_BytesSent, 200u);
    std::vector<std::vector<uint8_t>> packets = Packets();
    ASSERT_EQ(packets.size(), 4u);
    const int counts[] = {63, 63, 63, 11};
    std::vector<uint8_t> payload;
    for (int i = 0; i < 4; i++) {
        EXPECT_EQ(packets[i].size(), 64u);
        EXPECT_EQ(packets[i][0], counts[i]);
        payload.insert(payload.end(), packets[i].begin() + 1, packets[i].begin() + 1 + counts[i]);
    }
    EXPECT_EQ(payload, data);
}

TEST_F(WritePathTest, ZeroByteWriteSendsOneEmptyPacket)
{
    auto write = StartWrite(m_Port.fdo, {});
    EXPECT_EQ(Drain(*write), 1u);
    EXPECT_EQ(write->Status(), STATUS_SUCCESS);
    EXPECT_EQ(write->Information(), 0u);
    EXPECT_EQ(Packets()[0][0], 0);
}

TEST_F(WritePathTest, SixtyThreeBytesFitOnePacketAndSixtyFourNeedTwo)
{
    auto one = StartWrite(m_Port.fdo, Sequence(63));
    EXPECT_EQ(Drain(*one), 1u);
    auto two = StartWrite(m_Port.fdo, Sequence(64));
    EXPECT_EQ(Drain(*two), 2u);
    std::vector<std::vector<uint8_t>> packets = Packets();
    EXPECT_EQ(packets[1][0], 63);
    EXPECT_EQ(packets[2][0], 1);
    EXPECT_EQ(In(m_Device).m_BytesSent, 127u);
}

TEST_F(WritePathTest, TwoWritesNeverInterleave)
{
    auto first = StartWrite(m_Port.fdo, std::vector<uint8_t>(100, 'a'));
    ASSERT_TRUE(WaitFor([] { return loopback::PendingOut() > 0; }));
    auto second = StartWrite(m_Port.fdo, std::vector<uint8_t>(100, 'b'));
    ASSERT_TRUE(WaitFor([&] {
        CLockGuard guard(&In(m_Device).m_WriteLock);
        return In(m_Device).m_WriteList.GetCount() == 2;
    }));
    EXPECT_FALSE(second->Wait(30));
    for (int packet = 0; packet < 2; packet++) {
        ASSERT_TRUE(WaitFor([] { return loopback::PendingOut() > 0; }));
        ASSERT_TRUE(loopback::CompleteOut());
    }
    ASSERT_TRUE(first->Wait());
    EXPECT_FALSE(second->Done());
    Drain(*second);
    std::vector<std::vector<uint8_t>> packets = Packets();
    ASSERT_EQ(packets.size(), 4u);
    EXPECT_EQ(packets[0][1], 'a');
    EXPECT_EQ(packets[1][1], 'a');
    EXPECT_EQ(packets[2][1], 'b');
    EXPECT_EQ(packets[3][1], 'b');
}

TEST_F(WritePathTest, FailingThirdPacketFailsTheWriteAndStartsTheNext)
{
    TraceCapture traces;
    auto failing = StartWrite(m_Port.fdo, Sequence(200));
    ASSERT_TRUE(WaitFor([] { return loopback::PendingOut() > 0; }));
    auto next = StartWrite(m_Port.fdo, Sequence(10));
    ASSERT_TRUE(WaitFor([&] {
        CLockGuard guard(&In(m_Device).m_WriteLock);
        return In(m_Device).m_WriteList.GetCount() == 2;
    }));
    ASSERT_TRUE(loopback::CompleteOut());
    ASSERT_TRUE(WaitFor([] { return loopback::PendingOut() > 0; }));
    ASSERT_TRUE(loopback::CompleteOut());
    ASSERT_TRUE(WaitFor([] { return loopback::PendingOut() > 0; }));
    ASSERT_TRUE(loopback::CompleteOut(STATUS_DEVICE_DATA_ERROR));
    ASSERT_TRUE(failing->Wait());
    EXPECT_EQ(failing->Status(), STATUS_DEVICE_DATA_ERROR);
    EXPECT_TRUE(traces.Saw("write to device error", 1));
    EXPECT_EQ(In(m_Device).m_BytesSent, 0u);
    Drain(*next);
    EXPECT_EQ(next->Status(), STATUS_SUCCESS);
    EXPECT_EQ(In(m_Device).m_BytesSent, 10u);
}

TEST_F(WritePathTest, TransferThatMovedNothingSendsTheSameBytesAgain)
{
    auto write = StartWrite(m_Port.fdo, Sequence(5));
    ASSERT_TRUE(WaitFor([] { return loopback::PendingOut() > 0; }));
    PIRP irp = loopback::Take(false);
    ASSERT_NE(irp, nullptr);
    loopback::UrbOf(irp)->UrbBulkOrInterruptTransfer.TransferBufferLength = 0;
    irp->IoStatus.Status = STATUS_SUCCESS;
    sim::RunAtIrql(DISPATCH_LEVEL, [&] { IoCompleteRequest(irp, IO_NO_INCREMENT); });
    EXPECT_EQ(Drain(*write), 1u);
    EXPECT_EQ(write->Information(), 5u);
    EXPECT_EQ(Packets()[0][0], 5);
}

TEST_F(WideOutPipeTest, PacketsCarryAtMost127PayloadBytes)
{
    auto write = StartWrite(m_Port.fdo, Sequence(300));
    EXPECT_EQ(Drain(*write), 3u);
    std::vector<std::vector<uint8_t>> packets = Packets();
    EXPECT_EQ(packets[0].size(), 256u);
    EXPECT_EQ(packets[0][0], 127);
    EXPECT_EQ(packets[1][0], 127);
    EXPECT_EQ(packets[2][0], 46);
    EXPECT_EQ(write->Information(), 300u);
}

// A start after a stop selects the configuration again while a write is in
// flight: that write keeps the URB it went out with, and the writes after it
// go to the pipe of the new selection.
TEST_F(WritePathTest, WriteAfterASecondStartGoesToTheNewPipe)
{
    auto inFlight = StartWrite(m_Port.fdo, Sequence(10));
    ASSERT_TRUE(WaitFor([] { return loopback::PendingOut() > 0; }));
    PUSBD_PIPE_INFORMATION out = &In(m_Device).InterfaceInfo()->Pipes[1];
    USBD_PIPE_HANDLE oldPipe = out->PipeHandle;
    USBD_PIPE_HANDLE newPipe = (USBD_PIPE_HANDLE)(ULONG_PTR)0x2002;
    out->PipeHandle = newPipe;
    ASSERT_TRUE(In(m_Device).InitReadWrite(In(m_Device).InterfaceInfo()));
    auto after = StartWrite(m_Port.fdo, Sequence(10, 10));
    ASSERT_TRUE(WaitFor([&] {
        CLockGuard guard(&In(m_Device).m_WriteLock);
        return In(m_Device).m_WriteList.GetCount() == 2;
    }));
    EXPECT_EQ(loopback::UrbOf(loopback::OldestPendingOut())->UrbBulkOrInterruptTransfer.PipeHandle, oldPipe);
    ASSERT_TRUE(loopback::CompleteOut());
    ASSERT_TRUE(inFlight->Wait());
    ASSERT_TRUE(WaitFor([] { return loopback::PendingOut() > 0; }));
    EXPECT_EQ(loopback::UrbOf(loopback::OldestPendingOut())->UrbBulkOrInterruptTransfer.PipeHandle, newPipe);
    Drain(*after);
    EXPECT_EQ(after->Status(), STATUS_SUCCESS);
}
