// What the data path benchmarks share: the packet format, the allocation
// counters, and each file's registration (main.cpp calls them).
#pragma once

#include <benchmark/benchmark.h>
#include <sim/sim.h>

#include <chrono>
#include <cstdint>

namespace bench {

using Clock = std::chrono::steady_clock;

// IN packets carry at most 15 payload bytes behind their count byte.
const size_t kPayload = 15;

// Allocation attempts the driver can make on the data path, since
// construction: pool, lookaside, work items and USB requests. The IRPs a
// test's SendIrp builds are the I/O manager's, not the driver's, and are
// left out.
class Allocations {
public:
    Allocations() : m_Start(Now()) {}
    double PerUnit(uint64_t units) const { return units == 0 ? 0.0 : (double)(Now() - m_Start) / (double)units; }

private:
    static uint64_t Now()
    {
        using sim::FaultSite;
        return (uint64_t)sim::AllocationAttempts(FaultSite::Pool) + sim::AllocationAttempts(FaultSite::Lookaside) +
               sim::AllocationAttempts(FaultSite::WorkItem) + sim::AllocationAttempts(FaultSite::Urb);
    }
    uint64_t m_Start;
};

// Registers each file's benchmarks; `scale` divides every iteration count.
void RegisterDataPath(int64_t scale);
void RegisterPorts(int64_t scale);

}  // namespace bench
