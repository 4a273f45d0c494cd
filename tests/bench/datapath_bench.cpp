// Throughput and latency of the data path on the simulated machine, against
// the loopback lower driver (no bus model in the way). Not a pass/fail test:
// scripts/bench.sh builds without sanitizers and prints the table.
// `--brisklink_smoke` runs each benchmark for a few iterations only (ctest
// does, so a broken benchmark is noticed); the run fails when one errors.
#include "bench_common.h"
#include "loopback_bus.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

namespace {

using bench::Clock;
using bench::kPayload;

struct Machine {
    loopback::Port port;
    bool Up(USHORT outPacket = 64)
    {
        sim::SetViolationMode(sim::ViolationMode::Fatal);
        sim::StartMachine();
        return port.Create(16, outPacket) && port.Start() && WaitPendingIn(2);
    }
    void Down()
    {
        port.Remove();
        sim::StopMachine();
    }
    static bool WaitPendingIn(size_t n)
    {
        for (int i = 0; i < 100000; i++) {
            if (loopback::PendingIn() >= n) {
                return true;
            }
            std::this_thread::yield();
        }
        return false;
    }
};

std::vector<uint8_t> Packet()
{
    std::vector<uint8_t> p(1 + kPayload, 0x5A);
    p[0] = (uint8_t)kPayload;
    return p;
}

// Packets per second from the IN completion through the ring and the delivery
// loop into completed reads, one reader draining as fast as it can.
void BM_ReceivePath(benchmark::State& state)
{
    Machine m;
    if (!m.Up()) {
        state.SkipWithError("machine did not come up");
        return;
    }
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> delivered{0};
    const ULONG readSize = (ULONG)(kPayload * state.range(0));
    std::thread reader([&] {
        std::vector<uint8_t> buffer(readSize);
        while (!stop) {
            sim::IrpResult r = sim::SendIrp(m.port.fdo, IRP_MJ_READ, 0, buffer.data(), readSize, 0, 200);
            delivered += r.ioStatus.Information;
        }
    });
    std::vector<uint8_t> packet = Packet();
    uint64_t sent = 0;
    bench::Allocations allocations;
    auto start = Clock::now();
    for (auto _ : state) {
        // The ring holds 4096 bytes: keep the feed within what the reader drains.
        while (sent * kPayload - delivered.load() > 3000) {
            std::this_thread::yield();
        }
        while (!loopback::CompleteIn(packet)) {
            std::this_thread::yield();
        }
        sent++;
    }
    while (delivered.load() < sent * kPayload - (sent * kPayload) % readSize) {
        std::this_thread::yield();
    }
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    state.counters["driver_allocs_per_packet"] = allocations.PerUnit(sent);
    stop = true;
    // Wake the reader's last read.
    for (int i = 0; i < 4 && loopback::CompleteIn(packet); i++) {
    }
    reader.join();
    state.counters["packets_per_s"] = benchmark::Counter((double)sent / seconds);
    state.counters["read_MBps"] = benchmark::Counter((double)delivered.load() / seconds / 1e6);
    m.Down();
}

// Time from a packet's completion to the completion of the read it fills.
void BM_ReceiveLatency(benchmark::State& state)
{
    Machine m;
    if (!m.Up()) {
        state.SkipWithError("machine did not come up");
        return;
    }
    std::vector<double> samples;
    std::vector<uint8_t> packet = Packet();
    for (auto _ : state) {
        std::atomic<bool> done{false};
        Clock::time_point finished;
        std::thread reader([&] {
            std::vector<uint8_t> buffer(kPayload);
            sim::SendIrp(m.port.fdo, IRP_MJ_READ, 0, buffer.data(), (ULONG)kPayload, 0, 5000);
            finished = Clock::now();
            done = true;
        });
        while (true) {
            CLockGuard guard(&In(m.port.device).m_ReadLock);
            if (In(m.port.device).m_ReadList.GetCount() == 1) {
                break;
            }
        }
        Clock::time_point completed = Clock::now();
        loopback::CompleteIn(packet);
        reader.join();
        samples.push_back(std::chrono::duration<double, std::micro>(finished - completed).count());
    }
    std::sort(samples.begin(), samples.end());
    state.counters["p50_us"] = samples[samples.size() / 2];
    state.counters["p99_us"] = samples[samples.size() * 99 / 100];
    m.Down();
}

// OUT packets per second: writes of `range` full packets, each accepted as
// soon as it arrives.
void BM_WritePath(benchmark::State& state)
{
    Machine m;
    if (!m.Up()) {
        state.SkipWithError("machine did not come up");
        return;
    }
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> packets{0};
    std::thread device([&] {
        while (!stop) {
            if (loopback::CompleteOut()) {
                packets++;
            } else {
                std::this_thread::yield();
            }
        }
    });
    std::vector<uint8_t> data((size_t)(63 * state.range(0)), 0x33);
    bench::Allocations allocations;
    auto start = Clock::now();
    for (auto _ : state) {
        sim::SendIrp(m.port.fdo, IRP_MJ_WRITE, 0, data.data(), (ULONG)data.size(), 0, 5000);
    }
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    state.counters["driver_allocs_per_packet"] = allocations.PerUnit(packets.load());
    stop = true;
    device.join();
    state.counters["packets_per_s"] = benchmark::Counter((double)packets.load() / seconds);
    m.Down();
}

// The same writes to a device that takes each packet inside the driver's
// IoCallDriver: the driver's and the simulated kernel's cost alone, without
// the two thread hand-offs a device thread adds to every synchronous write.
void BM_WritePathAtOnce(benchmark::State& state)
{
    Machine m;
    loopback::TheBus().acceptOutAtOnce = true;
    if (!m.Up()) {
        loopback::TheBus().acceptOutAtOnce = false;
        state.SkipWithError("machine did not come up");
        return;
    }
    std::vector<uint8_t> data((size_t)(63 * state.range(0)), 0x33);
    bench::Allocations allocations;
    uint64_t packets = 0;
    auto start = Clock::now();
    for (auto _ : state) {
        sim::IrpResult r = sim::SendIrp(m.port.fdo, IRP_MJ_WRITE, 0, data.data(), (ULONG)data.size(), 0, 5000);
        if (r.ioStatus.Information != data.size()) {
            state.SkipWithError("a write did not complete in full");
            break;
        }
        packets += (uint64_t)state.range(0);
    }
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    state.counters["driver_allocs_per_packet"] = allocations.PerUnit(packets);
    state.counters["packets_per_s"] = benchmark::Counter((double)packets / seconds);
    m.Down();
    loopback::TheBus().acceptOutAtOnce = false;
}
}  // namespace

namespace bench {

void RegisterDataPath(int64_t scale)
{
    benchmark::RegisterBenchmark("BM_ReceivePath", BM_ReceivePath)
        ->Arg(1)
        ->Arg(16)
        ->Arg(64)
        ->UseRealTime()
        ->Iterations(100000 / scale);
    benchmark::RegisterBenchmark("BM_ReceiveLatency", BM_ReceiveLatency)->Iterations(2000 / scale)->UseRealTime();
    benchmark::RegisterBenchmark("BM_WritePath", BM_WritePath)
        ->Arg(1)
        ->Arg(100)
        ->UseRealTime()
        ->Iterations(2000 / scale);
    benchmark::RegisterBenchmark("BM_WritePathAtOnce", BM_WritePathAtOnce)
        ->Arg(1)
        ->Arg(100)
        ->UseRealTime()
        ->Iterations(20000 / scale);
}

}  // namespace bench
