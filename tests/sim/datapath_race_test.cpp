// Reads cancelled by a program (CancelIoEx) while the delivery loop fills
// them, while the time-out fires, and while cleanup flushes them: each ends
// exactly once (the verifier stops any second completion) with one of the
// statuses its race allows. Seeded; the seed is printed on failure.
#include <windows.h>

#include "loopback_bus.h"
#include "port_io.h"

#include <random>

using namespace sim_test;

namespace {

class ReadRaceTest : public MachineTest {
protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        sim::SetManualTime(true);
        ASSERT_TRUE(m_Port.Create());
        m_Device = m_Port.device;
        ASSERT_TRUE(m_Port.Start());
        WriteNoFence(&In(m_Device).m_ReadTimeout, 5);
        m_Handle = CreateFileW(DevicePath(m_Device).data(), GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                               FILE_FLAG_OVERLAPPED, NULL);
        ASSERT_NE(m_Handle, INVALID_HANDLE_VALUE);
    }
    void TearDown() override
    {
        if (m_Handle != INVALID_HANDLE_VALUE) {
            CloseHandle(m_Handle);
        }
        m_Port.Remove();
        MachineTest::TearDown();
    }

    loopback::Port m_Port;
    CSerialDevice* m_Device = nullptr;
    HANDLE m_Handle = INVALID_HANDLE_VALUE;
};

}  // namespace

TEST_F(ReadRaceTest, CancelRacingDeliveryAndTimeOutEndsEachReadOnce)
{
    unsigned seed = std::random_device()();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    HANDLE event = CreateEventW(NULL, TRUE, FALSE, NULL);
    for (int round = 0; round < 200; round++) {
        std::vector<uint8_t> buffer(1 + random() % 30);
        OVERLAPPED ov = {};
        ov.hEvent = event;
        ResetEvent(event);
        BOOL immediate = ReadFile(m_Handle, buffer.data(), (DWORD)buffer.size(), NULL, &ov);
        ASSERT_TRUE(immediate || GetLastError() == ERROR_IO_PENDING);
        unsigned packets = random() % 3;
        LONGLONG advance = (LONGLONG)(random() % 8) * 10000;
        std::thread feeder([&] {
            for (unsigned k = 0; k < packets; k++) {
                if (WaitFor([] { return loopback::PendingIn() > 0; }, 1000)) {
                    loopback::CompleteIn(InPacket(Sequence(1 + k * 7)));
                }
            }
        });
        std::thread clock([&] { sim::AdvanceTime(advance); });
        if (random() % 2 == 0) {
            CancelIoEx(m_Handle, &ov);
        }
        feeder.join();
        clock.join();
        // Whatever is still pending ends by time-out now.
        for (int i = 0; i < 20 && WaitForSingleObject(event, 0) != WAIT_OBJECT_0; i++) {
            sim::AdvanceTime(60000);
            WaitForSingleObject(event, 5);
        }
        DWORD bytes = 0;
        BOOL ok = GetOverlappedResult(m_Handle, &ov, &bytes, TRUE);
        ASSERT_TRUE(ok || GetLastError() == ERROR_OPERATION_ABORTED)
            << "round " << round << " error " << GetLastError();
        ASSERT_LE(bytes, buffer.size());
        // Start the next round with an empty ring.
        sim::SendIrp(m_Port.fdo, IRP_MJ_READ, 0, nullptr, 0);
        std::vector<uint8_t> drain(4096);
        LONG held = RingCount(m_Device);
        if (held > 0) {
            sim::SendIrp(m_Port.fdo, IRP_MJ_READ, 0, drain.data(), (ULONG)held);
        }
        ASSERT_TRUE(WaitFor([] { return loopback::PendingIn() == 2; }));
    }
    CloseHandle(event);
}

TEST_F(ReadRaceTest, CleanupFlushRacingCancelEndsEachReadOnce)
{
    unsigned seed = std::random_device()();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    for (int round = 0; round < 50; round++) {
        if (m_Handle == INVALID_HANDLE_VALUE) {
            m_Handle = CreateFileW(DevicePath(m_Device).data(), GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                                   FILE_FLAG_OVERLAPPED, NULL);
            ASSERT_NE(m_Handle, INVALID_HANDLE_VALUE);
        }
        std::vector<OVERLAPPED> ovs(3);
        std::vector<std::vector<uint8_t>> buffers(3, std::vector<uint8_t>(50));
        for (int i = 0; i < 3; i++) {
            ovs[i].hEvent = CreateEventW(NULL, TRUE, FALSE, NULL);
            ASSERT_FALSE(ReadFile(m_Handle, buffers[i].data(), 50, NULL, &ovs[i]));
            ASSERT_EQ(GetLastError(), (DWORD)ERROR_IO_PENDING);
        }
        HANDLE closing = m_Handle;
        std::thread canceller([&] {
            if (random() % 2) {
                CancelIoEx(closing, &ovs[random() % 3]);
            }
        });
        m_Handle = INVALID_HANDLE_VALUE;
        CloseHandle(closing);  // cleanup flushes whatever the cancel did not take
        canceller.join();
        for (int i = 0; i < 3; i++) {
            ASSERT_EQ(WaitForSingleObject(ovs[i].hEvent, 5000), WAIT_OBJECT_0);
            NTSTATUS status = (NTSTATUS)ovs[i].Internal;
            EXPECT_TRUE(status == STATUS_NO_SUCH_DEVICE || status == STATUS_CANCELLED) << std::hex << status;
            CloseHandle(ovs[i].hEvent);
        }
        // The close follows the last read on another thread; the exclusive
        // port opens again only after it.
        ASSERT_TRUE(sim::WaitFilesClosed(m_Port.fdo));
    }
}

namespace {

class CounterRaceTest : public MachineTest {
protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        ASSERT_TRUE(m_Port.Create());
        ASSERT_TRUE(m_Port.Start());
        WriteNoFence(&In(m_Port.device).m_ReadTimeout, 1);
    }
    void TearDown() override
    {
        m_Port.Remove();
        MachineTest::TearDown();
    }

    loopback::Port m_Port;
};

}  // namespace

// Reads end on their caller's thread (served at once), in the delivery loop
// and in the time-out DPC, all at once: the received-byte counter still
// counts every byte that reached a read.
TEST_F(CounterRaceTest, ReceivedCounterCountsEveryByteDeliveredByAnyPath)
{
    unsigned seed = std::random_device()();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::atomic<bool> feeding{true};
    std::thread feeder([&] {
        std::mt19937 random(seed);
        while (feeding) {
            if (loopback::PendingIn() > 0) {
                loopback::CompleteIn(InPacket(Sequence(1 + random() % 15)));
            } else {
                std::this_thread::yield();
            }
        }
    });
    std::atomic<uint64_t> delivered{0};
    std::vector<std::thread> readers;
    for (unsigned r = 0; r < 3; r++) {
        readers.emplace_back([&, r] {
            std::mt19937 random(seed + r + 1);
            for (int i = 0; i < 150; i++) {
                std::vector<uint8_t> buffer(1 + random() % 40);
                sim::IrpResult result =
                    sim::SendIrp(m_Port.fdo, IRP_MJ_READ, 0, buffer.data(), (ULONG)buffer.size(), 0, 10000);
                ASSERT_TRUE(result.completed);
                delivered += result.ioStatus.Information;
            }
        });
    }
    for (std::thread& t : readers) {
        t.join();
    }
    feeding = false;
    feeder.join();
    EXPECT_EQ(In(m_Port.device).m_BytesReceived, (ULONG)delivered.load());
}
