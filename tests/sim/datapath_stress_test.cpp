// A long seeded run that mixes reads, writes, cancels, time-outs and device
// faults on one port, checks that the bytes the device sent come out of the
// reads in order, and ends with a clean verifier report. A seeded campaign:
// each case is a fresh port and one run; a failing case prints its replay.
#include <windows.h>

#include "campaign.h"
#include "loopback_bus.h"
#include "port_io.h"

#include <cstdlib>
#include <random>

using namespace sim_test;

namespace {

std::string Around(const std::vector<uint8_t>& v, size_t at)
{
    std::string text;
    for (size_t i = at > 4 ? at - 4 : 0; i < v.size() && i < at + 8; i++) {
        text += std::to_string(v[i]) + (i == at ? "* " : " ");
    }
    return text;
}

struct Pending {
    OVERLAPPED ov = {};
    std::vector<uint8_t> buffer;
    bool read = true;
};

class DataPathStressTest : public MachineTest {
protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        sim::SetManualTime(true);
        ASSERT_TRUE(m_Port.Create(16, 32));
        m_Device = m_Port.device;
        ASSERT_TRUE(m_Port.Start());
        m_Handle = CreateFileW(DevicePath(m_Device).data(), GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                               FILE_FLAG_OVERLAPPED, NULL);
        ASSERT_NE(m_Handle, INVALID_HANDLE_VALUE);
    }
    void TearDown() override
    {
        m_Port.Remove();
        MachineTest::TearDown();
    }
    void Restart()
    {
        TearDown();
        m_Pending.clear();
        m_Sent.clear();
        m_Received.clear();
        m_Skipped.clear();
        SetUp();
    }
    void Run(uint64_t seed);

    // Collects finished requests in issue order; reads' bytes join the stream.
    void Harvest(bool wait)
    {
        while (!m_Pending.empty()) {
            Pending& p = *m_Pending.front();
            DWORD bytes = 0;
            if (!wait && !HasOverlappedIoCompleted(&p.ov)) {
                return;
            }
            BOOL ok = GetOverlappedResult(m_Handle, &p.ov, &bytes, TRUE);
            NTSTATUS status = (NTSTATUS)p.ov.Internal;
            ASSERT_LE(bytes, p.buffer.size());
            if (p.read) {
                EXPECT_TRUE(status == STATUS_SUCCESS || status == STATUS_TIMEOUT || status == STATUS_CANCELLED ||
                            status == STATUS_NO_SUCH_DEVICE)
                    << std::hex << status;
                // The I/O manager copies a buffered read back only when it did
                // not fail; a cancelled or flushed read consumed its bytes all
                // the same, and they are skipped in the stream.
                if (NT_ERROR(status)) {
                    m_Skipped.insert(m_Skipped.end(), bytes, true);
                    m_Received.insert(m_Received.end(), bytes, 0);
                } else {
                    m_Skipped.insert(m_Skipped.end(), bytes, false);
                    m_Received.insert(m_Received.end(), p.buffer.begin(), p.buffer.begin() + bytes);
                }
            } else if (ok) {
                EXPECT_EQ(bytes, p.buffer.size());
            }
            CloseHandle(p.ov.hEvent);
            m_Pending.erase(m_Pending.begin());
        }
    }

    loopback::Port m_Port;
    CSerialDevice* m_Device = nullptr;
    HANDLE m_Handle = INVALID_HANDLE_VALUE;
    std::vector<std::unique_ptr<Pending>> m_Pending;
    std::vector<uint8_t> m_Sent;      // what the device put into the ring, in order
    std::vector<uint8_t> m_Received;  // what the reads returned, in issue order
    std::vector<bool> m_Skipped;      // per received byte: consumed by a failed read, not delivered
};

}  // namespace

void DataPathStressTest::Run(uint64_t seed)
{
    std::mt19937 random((unsigned)seed);
    uint8_t next = 0;
    int readers = 2;
    for (int step = 0; step < 4000 && !HasFatalFailure(); step++) {
        switch (random() % 9) {
        case 0:
        case 1: {
            std::unique_ptr<Pending> p(new Pending);
            p->buffer.resize(random() % 40);
            p->ov.hEvent = CreateEventW(NULL, TRUE, FALSE, NULL);
            BOOL done = ReadFile(m_Handle, p->buffer.data(), (DWORD)p->buffer.size(), NULL, &p->ov);
            ASSERT_TRUE(done || GetLastError() == ERROR_IO_PENDING);
            m_Pending.push_back(std::move(p));
            break;
        }
        case 2: {
            std::unique_ptr<Pending> p(new Pending);
            p->read = false;
            p->buffer.assign(random() % 100, (uint8_t)step);
            p->ov.hEvent = CreateEventW(NULL, TRUE, FALSE, NULL);
            BOOL done = WriteFile(m_Handle, p->buffer.data(), (DWORD)p->buffer.size(), NULL, &p->ov);
            ASSERT_TRUE(done || GetLastError() == ERROR_IO_PENDING);
            m_Pending.push_back(std::move(p));
            break;
        }
        case 3:
        case 4:
            if (RingCount(m_Device) < 3000 && loopback::PendingIn() > 0) {
                size_t n = random() % 16;
                std::vector<uint8_t> payload(n);
                for (uint8_t& b : payload) {
                    b = next++;
                }
                if (loopback::CompleteIn(InPacket(payload))) {
                    m_Sent.insert(m_Sent.end(), payload.begin(), payload.end());
                } else {
                    next = (uint8_t)(next - n);
                }
            }
            break;
        case 5:
            loopback::CompleteOut(random() % 10 == 0 ? STATUS_DEVICE_DATA_ERROR : STATUS_SUCCESS);
            break;
        case 6:
            if (!m_Pending.empty()) {
                CancelIoEx(m_Handle, &m_Pending[random() % m_Pending.size()]->ov);
            }
            break;
        case 7:
            WriteNoFence(&In(m_Device).m_ReadTimeout, (LONG)(random() % 4) * 5);
            sim::AdvanceTime((LONGLONG)(random() % 10) * 10000);
            break;
        case 8:
            if (random() % 8 == 0 && loopback::PendingIn() > 0) {
                // The device fails a transfer: that reader idles until restarted.
                loopback::CompleteIn({}, STATUS_DEVICE_DATA_ERROR);
                readers--;
            }
            if (readers < 2 && random() % 4 == 0) {
                In(m_Device).RestartRead();
                readers = 2;
            }
            break;
        }
        Harvest(false);
    }
    // Let the time-out end what the data does not, then close (cleanup flushes).
    WriteNoFence(&In(m_Device).m_ReadTimeout, 5);
    for (int i = 0; i < 50 && !m_Pending.empty(); i++) {
        sim::AdvanceTime(100000);
        while (loopback::CompleteOut()) {
        }
        Harvest(false);
    }
    CloseHandle(m_Handle);
    m_Handle = INVALID_HANDLE_VALUE;
    while (!m_Pending.empty()) {
        while (loopback::CompleteOut()) {
        }
        Harvest(false);
    }
    // The close follows the last request on another thread; removal waits for it.
    EXPECT_TRUE(sim::WaitFilesClosed(m_Port.fdo));
    ASSERT_LE(m_Received.size(), m_Sent.size());
    size_t mismatch = 0;
    while (mismatch < m_Received.size() && (m_Skipped[mismatch] || m_Received[mismatch] == m_Sent[mismatch])) {
        mismatch++;
    }
    EXPECT_EQ(mismatch, m_Received.size())
        << "the reads returned bytes out of order or not sent, from byte " << mismatch << " of " << m_Received.size()
        << ": got " << Around(m_Received, mismatch) << " sent " << Around(m_Sent, mismatch);
    EXPECT_GT(m_Received.size(), 1000u) << "sent " << m_Sent.size() << ", ring " << RingCount(m_Device)
                                        << ", IN pending " << loopback::PendingIn() << ", loop running "
                                        << (int)In(m_Device).m_DeliveryRunning;
}

TEST_F(DataPathStressTest, ThousandsOfMixedOperationsKeepTheStreamAndEndClean)
{
    campaign::Campaign c("datapath-mix", 10);
    // The first failing case ends the campaign: its replay line names it.
    for (unsigned i = 0; i < c.Cases() && !HasFailure(); i++) {
        if (i > 0) {
            Restart();
        }
        SCOPED_TRACE(c.Describe(i));
        Run(c.CaseSeed(i));
        c.Record(i, !HasFailure());
    }
}
