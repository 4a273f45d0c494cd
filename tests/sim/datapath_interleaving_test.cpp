// Races of the data path driven into their windows on purpose: the platform
// stops one path at a precise point (a lock released, an event set, a
// request about to go down) and runs the competing request there, so each
// race is exercised every run instead of by chance.
#include <windows.h>

#include "port_io.h"
#include "port_machine.h"

using namespace sim_test;

namespace {

class InterleavingTest : public PortMachineTest {
protected:
    void SetUp() override
    {
        PortMachineTest::SetUp();
        m_Id = Plug();
        ASSERT_NE(m_Id, 0u);
        m_Device = OnlyPort();
        ASSERT_NE(m_Device, nullptr);
        m_Port = Open();
        ASSERT_NE(m_Port, INVALID_HANDLE_VALUE);
    }
    void TearDown() override
    {
        if (m_Port != INVALID_HANDLE_VALUE) {
            EXPECT_TRUE(CounterAtRest(m_Device));
            CloseHandle(m_Port);
        }
        PortMachineTest::TearDown();
    }

    static HANDLE Open()
    {
        return CreateFileW(vbusreq::PortKernelPath(1).data(), GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED, NULL);
    }
    vbusreq::Bytes Sent()
    {
        BusReply r = BusIoctl(VBUS_IOCTL_READ_OUT, vbusreq::ReadOut(m_Id, VBUS_READ_PAYLOAD),
                              sizeof(VBUS_READ_OUT_RESPONSE) + 4096);
        return vbusreq::OutData(r.data);
    }
    // The delivery loop has done its work and waits for the next signal.
    bool LoopWaiting()
    {
        return WaitFor([&] {
            return sim::WaiterCount(&In(m_Device).m_DataEvent.m_Event) == 1 &&
                   KeReadStateEvent(&In(m_Device).m_DataEvent.m_Event) == 0;
        });
    }
    void Feed(const vbusreq::Bytes& bytes)
    {
        ASSERT_EQ(BusIoctl(VBUS_IOCTL_FEED_IN, vbusreq::Feed(m_Id, bytes)).status, STATUS_SUCCESS);
    }

    uint32_t m_Id = 0;
    CSerialDevice* m_Device = nullptr;
    HANDLE m_Port = INVALID_HANDLE_VALUE;
};

// An overlapped request issued from a break's action: the action returns as
// soon as the request is on its way.
struct Overlapped {
    HANDLE port = INVALID_HANDLE_VALUE;
    OVERLAPPED ov = {};
    vbusreq::Bytes data;
    bool issued = false;

    Overlapped() { ov.hEvent = CreateEventW(NULL, TRUE, FALSE, NULL); }
    ~Overlapped() { CloseHandle(ov.hEvent); }
    bool Finish(DWORD* bytes)
    {
        return WaitForSingleObject(ov.hEvent, 5000) == WAIT_OBJECT_0 && GetOverlappedResult(port, &ov, bytes, FALSE);
    }
    static void Write(void* context, const void*)
    {
        auto* self = static_cast<Overlapped*>(context);
        self->issued = WriteFile(self->port, self->data.data(), (DWORD)self->data.size(), NULL, &self->ov) ||
                       GetLastError() == ERROR_IO_PENDING;
    }
    static void Cancel(void* context, const void*)
    {
        auto* self = static_cast<Overlapped*>(context);
        self->issued = CancelIoEx(self->port, &self->ov) != FALSE;
    }
};

}  // namespace

// Whichever release of the write lock a second write arrives at, each write
// is sent once, completed once, and the device receives both in order.
TEST_F(InterleavingTest, WriteArrivingAtAnyReleaseOfTheWriteLockIsStartedOnce)
{
    unsigned k = 0;
    for (;; k++) {
        SCOPED_TRACE("second write at release " + std::to_string(k));
        Overlapped first;
        first.port = m_Port;
        first.data = Sequence(10, (uint8_t)(k * 20));
        Overlapped second;
        second.port = m_Port;
        second.data = Sequence(10, (uint8_t)(k * 20 + 10));
        sim::BreakRule rule;
        rule.point = sim::BreakPoint::AfterReleaseSpinLock;
        rule.object = &In(m_Device).m_WriteLock.m_SpinLock;
        rule.skip = k;
        rule.action = Overlapped::Write;
        rule.context = &second;
        int id = sim::AddBreak(rule);
        Overlapped::Write(&first, nullptr);
        ASSERT_TRUE(first.issued);
        DWORD bytes = 0;
        ASSERT_TRUE(first.Finish(&bytes));
        EXPECT_EQ(bytes, 10u);
        unsigned stops = sim::BreakStops(id);
        sim::RemoveBreak(id);
        vbusreq::Bytes expected = first.data;
        if (stops != 0) {
            ASSERT_TRUE(second.issued);
            ASSERT_TRUE(second.Finish(&bytes));
            EXPECT_EQ(bytes, 10u);
            expected.insert(expected.end(), second.data.begin(), second.data.end());
        }
        vbusreq::Bytes sent;
        EXPECT_TRUE(WaitFor([&] {
            vbusreq::Bytes more = Sent();
            sent.insert(sent.end(), more.begin(), more.end());
            return sent.size() >= expected.size();
        }));
        EXPECT_EQ(sent, expected);
        if (stops == 0) {
            break;  // past the last release one write makes
        }
    }
    EXPECT_GE(k, 3u) << "a write releases the lock when it is queued, found and finished";
}

// The delivery loop has taken a read off the queue when a cancel arrives: the
// cancel routine must leave it to the loop, which completes it once.
TEST_F(InterleavingTest, CancelArrivingAfterDeliveryTookTheReadLeavesItToDelivery)
{
    Overlapped read;
    read.port = m_Port;
    uint8_t buffer[5];
    ASSERT_FALSE(ReadFile(m_Port, buffer, sizeof(buffer), NULL, &read.ov));
    ASSERT_EQ(GetLastError(), (DWORD)ERROR_IO_PENDING);
    ASSERT_TRUE(WaitFor([&] { return QueuedReads(m_Device) == 1; }));
    ASSERT_TRUE(LoopWaiting());

    sim::BreakRule rule;
    rule.point = sim::BreakPoint::AfterReleaseSpinLock;
    rule.object = &In(m_Device).m_ReadLock.m_SpinLock;
    rule.thread = "worker";
    rule.action = Overlapped::Cancel;
    rule.context = &read;
    int id = sim::AddBreak(rule);
    Feed(Sequence(5));
    DWORD bytes = 0;
    EXPECT_TRUE(read.Finish(&bytes));
    EXPECT_EQ(bytes, 5u);
    EXPECT_EQ(sim::BreakStops(id), 1u);
    sim::RemoveBreak(id);
}

// A read whose cancel flag is set before it reaches the driver ends at once.
TEST_F(InterleavingTest, ReadCancelledBeforeItArrivesEndsCancelled)
{
    uint8_t buffer[8];
    sim::IoRequest q;
    q.major = IRP_MJ_READ;
    q.output = buffer;
    q.outputLength = sizeof(buffer);
    q.cancelled = true;
    q.timeoutMs = 2000;
    sim::IrpResult r = sim::SendRequest(sim::FindDevice(L"\\Device\\NivexBlnk1"), q);
    ASSERT_TRUE(r.completed);
    EXPECT_EQ(r.ioStatus.Status, STATUS_CANCELLED);
    EXPECT_EQ(QueuedReads(m_Device), 0);
}

// Removal frees the device as soon as the last counter unit comes back; the
// delivery loop gives its unit back as its very last touch of the device.
TEST_F(InterleavingTest, DeliveryLoopTouchesNothingAfterGivingBackItsUnit)
{
    std::string instance = PortNodes().at(0).instancePath;
    // The readers end at the surprise removal; with the handle open, the
    // removal waits, so the loop's unit is the last one when it comes.
    ASSERT_EQ(Yank(m_Id), STATUS_SUCCESS);
    ASSERT_TRUE(WaitFor(
        [&] { return !In(m_Device).m_ReadContexts[0].m_InFlight && !In(m_Device).m_ReadContexts[1].m_InFlight; }));
    ASSERT_TRUE(LoopWaiting());
    struct Context {
        std::string instance;
        CSerialDevice* device;
        std::atomic<bool> done{false};
    } context{instance, m_Device, {}};
    // Held once the loop has let go of its lock for the last time, until
    // removal has given back the base unit: the loop's unit is then the last.
    sim::BreakRule hold;
    hold.point = sim::BreakPoint::AfterReleaseSpinLock;
    hold.object = &In(m_Device).m_ReadLock.m_SpinLock;
    hold.thread = "worker";
    hold.count = 0;
    hold.action = [](void* c, const void*) {
        auto* context = static_cast<Context*>(c);
        if (context->device->PnpState() == Removed && !In(context->device).m_DeliveryRunning) {
            WaitFor([&] { return sim::WaiterCount(&In(context->device).m_IoCounter.m_ZeroEvent) == 1; });
        }
    };
    hold.context = &context;
    int holdId = sim::AddBreak(hold);
    sim::BreakRule rule;
    rule.point = sim::BreakPoint::AfterSetEvent;
    rule.object = &In(m_Device).m_IoCounter.m_ZeroEvent;
    rule.thread = "worker";
    rule.action = [](void* c, const void*) {
        // Let removal free the device while the loop stands still.
        auto* context = static_cast<Context*>(c);
        sim::WaitDeviceGone(context->instance, 5000);
        context->done = true;
    };
    rule.context = &context;
    int id = sim::AddBreak(rule);
    CloseHandle(m_Port);
    m_Port = INVALID_HANDLE_VALUE;
    EXPECT_TRUE(sim::WaitDeviceGone(instance, 10000));
    EXPECT_TRUE(WaitFor([&] { return context.done.load(); }));
    EXPECT_EQ(sim::BreakStops(id), 1u);
    sim::RemoveBreak(id);
    sim::RemoveBreak(holdId);
}

// A write that arrives while the port starts waits for the write path the
// start prepares, instead of failing because it came too early.
TEST_F(InterleavingTest, WriteArrivingDuringAStartWaitsForTheWritePath)
{
    // The port to break into must be one that gets a write path: the only one.
    CloseHandle(m_Port);
    m_Port = INVALID_HANDLE_VALUE;
    std::string first = PortNodes().at(0).instancePath;
    ASSERT_EQ(Unplug(m_Id), STATUS_SUCCESS);
    ASSERT_TRUE(sim::WaitDeviceGone(first));
    struct Context {
        std::unique_ptr<AsyncIrp> write;
    } context;
    sim::BreakRule rule;
    rule.point = sim::BreakPoint::BeforeCallDriver;
    rule.major = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    rule.thread = "pnp";  // the start's first USB request
    rule.action = [](void* c, const void*) {
        PDEVICE_OBJECT fdo = sim::FindDevice(L"\\Device\\NivexBlnk2");
        ASSERT_NE(fdo, nullptr);
        auto* context = static_cast<Context*>(c);
        context->write = sim_test::StartWrite(fdo, Sequence(200));
        CSerialDevice* device = static_cast<CSerialDevice*>(CDevice::FromDeviceObject(fdo));
        EXPECT_TRUE(WaitFor([&] {
            CLockGuard guard(&In(device).m_WriteLock);
            return In(device).m_WriteList.GetCount() == 1 || context->write->Done();
        }));
    };
    rule.context = &context;
    int id = sim::AddBreak(rule);
    vbusreq::PlugOptions second;
    second.serial = u"2";
    uint32_t id2 = Plug(second);
    ASSERT_NE(id2, 0u);
    ASSERT_EQ(sim::BreakStops(id), 1u);
    sim::RemoveBreak(id);
    ASSERT_TRUE(context.write->Wait());
    EXPECT_EQ(context.write->Status(), STATUS_SUCCESS);
    EXPECT_EQ(context.write->Information(), 200u);
}
