// Waits on received characters ended by every path at once: bytes arriving,
// the mask cleared, a program's cancel and the handle's cleanup race each
// other. Each wait ends exactly once (the verifier stops a second
// completion), with a status its race allows, and the port's pending-I/O
// units all come back. A seeded campaign; a failing round prints its replay.
#include <windows.h>

#include "campaign.h"
#include "loopback_bus.h"
#include "port_io.h"

#include <random>

using namespace sim_test;

namespace {

class WaitRaceTest : public MachineTest {
protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        ASSERT_TRUE(m_Port.Create());
        ASSERT_TRUE(m_Port.Start());
        m_Path = DevicePath(m_Port.device);
    }
    void TearDown() override
    {
        m_Port.Remove();
        MachineTest::TearDown();
    }
    void RunRound(std::mt19937& random, unsigned round);

    loopback::Port m_Port;
    std::vector<WCHAR> m_Path;  // the port's device, as a program reaches it
};

}  // namespace

TEST_F(WaitRaceTest, EveryEndingRacesTheOthersAndEachWaitEndsOnce)
{
    // Each round is a case with its own seed; the first failing one ends the
    // campaign and prints its replay.
    campaign::Campaign c("wait-race", 100);
    for (unsigned round = 0; round < c.Cases() && !HasFailure(); round++) {
        SCOPED_TRACE(c.Describe(round));
        std::mt19937 random((unsigned)c.CaseSeed(round));
        RunRound(random, round);
        c.Record(round, !HasFailure());
    }
}

void WaitRaceTest::RunRound(std::mt19937& random, unsigned round)
{
    // The last round's file object closes when its last request has
    // let go of it, which may come a moment after that request's event:
    // the exclusive port refuses a new open until then, as Windows does.
    HANDLE port = INVALID_HANDLE_VALUE;
    WaitFor([&] {
        port = CreateFileW(m_Path.data(), GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, FILE_FLAG_OVERLAPPED,
                           NULL);
        return port != INVALID_HANDLE_VALUE || GetLastError() != ERROR_ACCESS_DENIED;
    });
    ASSERT_NE(port, INVALID_HANDLE_VALUE) << "round " << round << " error " << GetLastError();
    // A new queue size empties the ring: bytes of the last round must
    // not answer this round's waits at once.
    ASSERT_TRUE(SetupComm(port, 4096, 4096));
    ASSERT_TRUE(SetCommMask(port, EV_RXCHAR));
    const int kWaits = 1 + random() % 4;
    std::vector<OVERLAPPED> ov(kWaits);
    std::vector<DWORD> events(kWaits, 0xFF);
    for (int i = 0; i < kWaits; i++) {
        ov[i].hEvent = CreateEventW(NULL, TRUE, FALSE, NULL);
        BOOL at = WaitCommEvent(port, &events[i], &ov[i]);
        ASSERT_TRUE(at || GetLastError() == ERROR_IO_PENDING);
    }
    unsigned plan = random();
    std::thread feeder([&] {
        if ((plan & 1) && WaitFor([] { return loopback::PendingIn() > 0; }, 1000)) {
            loopback::CompleteIn(InPacket(Sequence(1 + plan % 5)));
        }
    });
    std::thread canceller([&] {
        if (plan & 2) {
            CancelIoEx(port, &ov[plan % kWaits]);
        }
    });
    if (plan & 4) {
        SetCommMask(port, 0);
    }
    feeder.join();
    canceller.join();
    // Cleanup ends whatever is still pending.
    ASSERT_TRUE(CloseHandle(port));
    for (int i = 0; i < kWaits; i++) {
        ASSERT_EQ(WaitForSingleObject(ov[i].hEvent, 5000), (DWORD)WAIT_OBJECT_0) << "wait " << i;
        NTSTATUS status = (NTSTATUS)ov[i].Internal;
        EXPECT_TRUE(status == STATUS_SUCCESS || status == STATUS_CANCELLED || status == STATUS_NO_SUCH_DEVICE)
            << std::hex << status;
        if (status == STATUS_SUCCESS) {
            EXPECT_TRUE(events[i] == EV_RXCHAR || events[i] == 0) << events[i];
        }
        CloseHandle(ov[i].hEvent);
    }
    ASSERT_TRUE(WaitFor([&] { return CounterAtRest(m_Port.device); }));
}
