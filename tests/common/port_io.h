// Requests sent to a port from a thread of their own, so a test can watch them
// pend, fill, time out or be cancelled, and the packets of a device.
#pragma once

#include "machine_fixture.h"
#include "port/SerialDevice.h"
#include "port_internals.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

namespace sim_test {

// "\\?\GLOBALROOT" and the port's device name, NUL-terminated, for
// CreateFileW: the name grows with each device the driver has made in this
// process. Built by hand: wide strings here are 16-bit, the C library's are not.
inline std::vector<WCHAR> DevicePath(CSerialDevice* device)
{
    const UNICODE_STRING& name = In(device).m_DeviceName.Value();
    std::vector<WCHAR> path;
    for (const char* c = "\\\\?\\GLOBALROOT"; *c != 0; c++) {
        path.push_back((WCHAR)*c);
    }
    path.insert(path.end(), name.Buffer, name.Buffer + name.Length / sizeof(WCHAR));
    path.push_back(0);
    return path;
}

class AsyncIrp {
public:
    AsyncIrp(PDEVICE_OBJECT device, UCHAR major, std::vector<uint8_t> buffer, ULONG code = 0)
        : m_Buffer(std::move(buffer))
    {
        m_Thread = std::thread([this, device, major, code] {
            m_Result = sim::SendIrp(device, major, 0, m_Buffer.empty() ? nullptr : m_Buffer.data(),
                                    (ULONG)m_Buffer.size(), code, 60000);
            m_Done = true;
        });
    }
    ~AsyncIrp()
    {
        if (m_Thread.joinable()) {
            m_Thread.join();
        }
    }
    bool Done() const { return m_Done; }
    bool Wait(unsigned ms = 5000)
    {
        return WaitFor([this] { return m_Done.load(); }, ms);
    }
    const sim::IrpResult& Result() const { return m_Result; }
    NTSTATUS Status() const { return m_Result.ioStatus.Status; }
    ULONG_PTR Information() const { return m_Result.ioStatus.Information; }
    std::vector<uint8_t> Data() const
    {
        return std::vector<uint8_t>(m_Buffer.begin(), m_Buffer.begin() + (ptrdiff_t)m_Result.ioStatus.Information);
    }

private:
    std::vector<uint8_t> m_Buffer;
    sim::IrpResult m_Result = {};
    std::atomic<bool> m_Done{false};
    std::thread m_Thread;
};

inline std::unique_ptr<AsyncIrp> StartRead(PDEVICE_OBJECT device, size_t length)
{
    return std::unique_ptr<AsyncIrp>(new AsyncIrp(device, IRP_MJ_READ, std::vector<uint8_t>(length, 0xEE)));
}

inline std::unique_ptr<AsyncIrp> StartWrite(PDEVICE_OBJECT device, std::vector<uint8_t> data)
{
    return std::unique_ptr<AsyncIrp>(new AsyncIrp(device, IRP_MJ_WRITE, std::move(data)));
}

// A WaitCommEvent: its event word in Data() once it ends.
inline std::unique_ptr<AsyncIrp> StartWaitOnMask(PDEVICE_OBJECT device)
{
    return std::unique_ptr<AsyncIrp>(
        new AsyncIrp(device, IRP_MJ_DEVICE_CONTROL, std::vector<uint8_t>(4, 0xEE), IOCTL_SERIAL_WAIT_ON_MASK));
}

// Queued reads and the ring, read under the device's locks.
inline LONG QueuedReads(CSerialDevice* device)
{
    CLockGuard guard(&In(device).m_ReadLock);
    return In(device).m_ReadList.GetCount();
}
inline PIRP QueuedRead(CSerialDevice* device, LONG index)
{
    CLockGuard guard(&In(device).m_ReadLock);
    return (PIRP)In(device).m_ReadList.GetAt(index);
}
inline ULONG_PTR HeadFilled(CSerialDevice* device)
{
    CLockGuard guard(&In(device).m_ReadLock);
    PIRP head = (PIRP)In(device).m_ReadList.GetAt(0);
    return head != nullptr ? head->IoStatus.Information : 0;
}
inline LONG RingCount(CSerialDevice* device)
{
    CLockGuard guard(&In(device).m_BufferInLock);
    return In(device).m_BufferIn.m_Count;
}

// The pending-I/O units a port holds when nothing is on its way: its base,
// the delivery loop, the reader transfers in flight and the queued requests
// (writes, waits and reads).
inline LONG UnitsAtRest(CSerialDevice* device)
{
    LONG units = 1;
    {
        CLockGuard guard(&In(device).m_WaitLock);
        units += In(device).m_WaitList.GetCount();
    }
    {
        CLockGuard guard(&In(device).m_ReadLock);
        units += (In(device).m_DeliveryRunning ? 1 : 0) + In(device).m_ReadList.GetCount();
    }
    {
        CLockGuard guard(&In(device).m_ReaderLock);
        for (const CReadContext& slot : In(device).m_ReadContexts) {
            units += slot.m_InFlight ? 1 : 0;
        }
    }
    CLockGuard guard(&In(device).m_WriteLock);
    return units + In(device).m_WriteList.GetCount();
}

// A unit taken and never given back would hang the device's removal for
// ever; checked here at once (requests on their way get two seconds).
inline ::testing::AssertionResult CounterAtRest(CSerialDevice* device)
{
    LONG count = 0;
    LONG expected = 0;
    for (int i = 0; i < 400; i++) {
        count = ReadNoFence(&In(device).m_IoCounter.m_Count);
        expected = UnitsAtRest(device);
        if (count == expected) {
            return ::testing::AssertionSuccess();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return ::testing::AssertionFailure() << "the pending-I/O counter is " << count << " with " << expected
                                         << " units accounted for";
}

// One IN packet of the device's format: the count in byte 0, then the payload.
inline std::vector<uint8_t> InPacket(const std::vector<uint8_t>& payload, uint8_t countByte = 0xFF)
{
    std::vector<uint8_t> packet;
    packet.push_back(countByte != 0xFF ? countByte : (uint8_t)payload.size());
    packet.insert(packet.end(), payload.begin(), payload.end());
    return packet;
}

inline std::vector<uint8_t> Sequence(size_t n, uint8_t first = 0)
{
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; i++) {
        v[i] = (uint8_t)(first + i);
    }
    return v;
}

}  // namespace sim_test
