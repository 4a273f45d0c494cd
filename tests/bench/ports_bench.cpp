// Many ports streaming at once: one function device per loopback PDO, a
// reader thread per port, one feeder completing IN packets round the ports.
// The figure is the process's CPU time per byte delivered, so the run with
// sixteen ports can be compared with the run with one on a busy machine.
#include "bench_common.h"
#include "loopback_bus.h"

#include "DriverEntry.h"
#include "port/SerialDevice.h"
#include "port_internals.h"

#include <atomic>
#include <ctime>
#include <deque>
#include <memory>
#include <thread>
#include <vector>

namespace {

// The transfers one PDO holds for its function device.
struct PdoQueues {
    KSPIN_LOCK lock = 0;
    std::deque<PIRP> in;
    std::deque<PIRP> out;
};

PdoQueues* QueuesOf(PDEVICE_OBJECT pdo)
{
    return *(PdoQueues**)pdo->DeviceExtension;
}

PURB UrbOf(PIRP irp)
{
    return (PURB)IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1;
}

VOID CancelQueued(PDEVICE_OBJECT pdo, PIRP irp)
{
    PdoQueues* q = QueuesOf(pdo);
    KIRQL cancelIrql = irp->CancelIrql;
    KIRQL old;
    KeAcquireSpinLock(&q->lock, &old);
    bool found = false;
    for (auto* queue : {&q->in, &q->out}) {
        for (auto it = queue->begin(); it != queue->end(); ++it) {
            if (*it == irp) {
                queue->erase(it);
                found = true;
                break;
            }
        }
    }
    KeReleaseSpinLock(&q->lock, old);
    IoReleaseCancelSpinLock(cancelIrql);
    if (found) {
        irp->IoStatus.Status = STATUS_CANCELLED;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    }
}

NTSTATUS Finish(PIRP irp, NTSTATUS status)
{
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS Urb(PDEVICE_OBJECT pdo, PIRP irp)
{
    PURB urb = UrbOf(irp);
    if (urb->UrbHeader.Function == URB_FUNCTION_CLASS_INTERFACE) {
        return Finish(irp, STATUS_SUCCESS);
    }
    if (urb->UrbHeader.Function != URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
        return Finish(irp, STATUS_NOT_SUPPORTED);
    }
    PdoQueues* q = QueuesOf(pdo);
    bool in = (urb->UrbBulkOrInterruptTransfer.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
    IoMarkIrpPending(irp);
    KIRQL old;
    KeAcquireSpinLock(&q->lock, &old);
    IoSetCancelRoutine(irp, CancelQueued);
    if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
        KeReleaseSpinLock(&q->lock, old);
        Finish(irp, STATUS_CANCELLED);
        return STATUS_PENDING;
    }
    (in ? q->in : q->out).push_back(irp);
    KeReleaseSpinLock(&q->lock, old);
    return STATUS_PENDING;
}

NTSTATUS Pnp(PDEVICE_OBJECT, PIRP irp)
{
    return Finish(irp, STATUS_SUCCESS);
}

NTSTATUS BusEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = Urb;
    driver->MajorFunction[IRP_MJ_PNP] = Pnp;
    return STATUS_SUCCESS;
}

// Completes the port's oldest IN transfer with `packet` at DISPATCH_LEVEL;
// false when none waits.
bool CompleteIn(PdoQueues* q, const std::vector<uint8_t>& packet)
{
    KIRQL old;
    KeAcquireSpinLock(&q->lock, &old);
    if (q->in.empty()) {
        KeReleaseSpinLock(&q->lock, old);
        return false;
    }
    PIRP irp = q->in.front();
    q->in.pop_front();
    KeReleaseSpinLock(&q->lock, old);
    if (IoSetCancelRoutine(irp, nullptr) == nullptr) {
        // Being cancelled (only at removal, after the run): its routine
        // will not find it, so it ends here.
        KIRQL irql;
        IoAcquireCancelSpinLock(&irql);
        IoReleaseCancelSpinLock(irql);
        Finish(irp, STATUS_CANCELLED);
        return false;
    }
    PURB urb = UrbOf(irp);
    memcpy(urb->UrbBulkOrInterruptTransfer.TransferBuffer, packet.data(), packet.size());
    urb->UrbBulkOrInterruptTransfer.TransferBufferLength = (ULONG)packet.size();
    irp->IoStatus.Status = STATUS_SUCCESS;
    sim::RunAtIrql(DISPATCH_LEVEL, [&] { IoCompleteRequest(irp, IO_NO_INCREMENT); });
    return true;
}

struct Ports {
    PDRIVER_OBJECT bus = nullptr;
    PDRIVER_OBJECT product = nullptr;
    std::vector<PDEVICE_OBJECT> pdos;
    std::vector<PDEVICE_OBJECT> fdos;
    std::vector<std::unique_ptr<PdoQueues>> queues;

    bool Up(int count)
    {
        sim::SetViolationMode(sim::ViolationMode::Fatal);
        // Each port's delivery loop keeps a system worker thread for as long
        // as the port runs; the machine's pool grows a worker for each.
        sim::StartMachine();
        bus = sim::LoadDriver(L"BenchPortsBus", BusEntry);
        product = sim::LoadDriver(L"Brisklink", DriverEntry);
        if (bus == nullptr || product == nullptr) {
            return false;
        }
        for (int i = 0; i < count; i++) {
            PDEVICE_OBJECT pdo = nullptr;
            if (IoCreateDevice(bus, sizeof(PdoQueues*), nullptr, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &pdo) !=
                STATUS_SUCCESS) {
                return false;
            }
            queues.push_back(std::make_unique<PdoQueues>());
            KeInitializeSpinLock(&queues.back()->lock);
            *(PdoQueues**)pdo->DeviceExtension = queues.back().get();
            pdo->Flags &= ~DO_DEVICE_INITIALIZING;
            pdos.push_back(pdo);
            if (product->DriverExtension->AddDevice(product, pdo) != STATUS_SUCCESS) {
                return false;
            }
            fdos.push_back(pdo->AttachedDevice);
            if (!StartPort(pdo->AttachedDevice)) {
                return false;
            }
        }
        return true;
    }

    // The pipes a configured device has, set straight into the port, and
    // its data path started.
    static bool StartPort(PDEVICE_OBJECT fdo)
    {
        CSerialDevice* device = static_cast<CSerialDevice*>(CDevice::FromDeviceObject(fdo));
        return loopback::SetPipes(device, 16, 64) && In(device).InitReadWrite(In(device).InterfaceInfo()) != FALSE;
    }

    void Down()
    {
        for (PDEVICE_OBJECT fdo : fdos) {
            sim::SendIrp(fdo, IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE);
        }
        for (PDEVICE_OBJECT pdo : pdos) {
            IoDeleteDevice(pdo);
        }
        if (product != nullptr) {
            sim::UnloadDriver(product);
        }
        if (bus != nullptr) {
            sim::UnloadDriver(bus);
        }
        sim::StopMachine();
    }
};

double ProcessCpuSeconds()
{
    timespec t;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

// `range(0)` ports each receive the same share of the packets, read 16
// packets at a time by a thread of their own.
void BM_PortsReceive(benchmark::State& state)
{
    const int count = (int)state.range(0);
    const uint64_t kPacketsPerRead = 16;
    const ULONG readSize = (ULONG)(bench::kPayload * kPacketsPerRead);
    Ports ports;
    if (!ports.Up(count)) {
        state.SkipWithError("the ports did not come up");
        ports.Down();
        return;
    }
    const uint64_t perPort = (uint64_t)state.range(1) / (uint64_t)count / kPacketsPerRead * kPacketsPerRead;
    std::vector<uint8_t> packet(1 + bench::kPayload, 0x5A);
    packet[0] = (uint8_t)bench::kPayload;
    std::unique_ptr<std::atomic<uint64_t>[]> delivered(new std::atomic<uint64_t>[count]);
    std::atomic<int> failed{0};
    double seconds = 0;
    double cpu = 0;
    for (auto _ : state) {
        for (int p = 0; p < count; p++) {
            delivered[p] = 0;
        }
        bench::Allocations allocations;
        double cpuStart = ProcessCpuSeconds();
        auto start = bench::Clock::now();
        std::vector<std::thread> readers;
        for (int p = 0; p < count; p++) {
            readers.emplace_back([&, p] {
                std::vector<uint8_t> buffer(readSize);
                while (delivered[p].load() < perPort * bench::kPayload) {
                    sim::IrpResult r = sim::SendIrp(ports.fdos[p], IRP_MJ_READ, 0, buffer.data(), readSize, 0, 5000);
                    if (!r.completed || r.ioStatus.Status != STATUS_SUCCESS) {
                        failed++;
                        return;
                    }
                    delivered[p] += r.ioStatus.Information;
                }
            });
        }
        std::vector<uint64_t> sent(count, 0);
        uint64_t left = perPort * (uint64_t)count;
        while (left != 0 && failed.load() == 0) {
            bool any = false;
            for (int p = 0; p < count; p++) {
                // The ring holds 4096 bytes: keep each port's feed within what its reader drains.
                if (sent[p] == perPort || sent[p] * bench::kPayload - delivered[p].load() > 3000) {
                    continue;
                }
                if (CompleteIn(ports.queues[p].get(), packet)) {
                    sent[p]++;
                    left--;
                    any = true;
                }
            }
            if (!any) {
                std::this_thread::yield();
            }
        }
        for (std::thread& t : readers) {
            t.join();
        }
        seconds = std::chrono::duration<double>(bench::Clock::now() - start).count();
        cpu = ProcessCpuSeconds() - cpuStart;
        state.counters["driver_allocs_per_packet"] = allocations.PerUnit(perPort * (uint64_t)count);
    }
    if (failed.load() != 0) {
        state.SkipWithError("a read failed or did not complete");
    }
    double bytes = (double)(perPort * (uint64_t)count * bench::kPayload);
    state.counters["packets_per_s"] = benchmark::Counter((double)(perPort * (uint64_t)count) / seconds);
    state.counters["cpu_ns_per_byte"] = cpu * 1e9 / bytes;
    ports.Down();
}

}  // namespace

namespace bench {

void RegisterPorts(int64_t scale)
{
    benchmark::RegisterBenchmark("BM_PortsReceive", BM_PortsReceive)
        ->Args({1, 160000 / scale})
        ->Args({16, 160000 / scale})
        ->UseRealTime()
        ->Iterations(1);
}

}  // namespace bench
