// Machine start-up and tear-down, and the "quiet" wait tests use between steps.
#include "ke_internal.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace sim {
namespace {

std::atomic<bool> g_running{false};
std::mutex g_quietLock;  // guards g_quietChecks
std::vector<bool (*)()> g_quietChecks;

bool OthersQuiet()
{
    std::vector<bool (*)()> checks;
    {
        std::lock_guard<std::mutex> lock(g_quietLock);
        checks = g_quietChecks;
    }
    for (bool (*idle)() : checks)
        if (!idle())
            return false;
    return true;
}

}  // namespace

void RegisterQuietCheck(bool (*idle)())
{
    std::lock_guard<std::mutex> lock(g_quietLock);
    g_quietChecks.push_back(idle);
}

void KeStartup(const MachineOptions& options)
{
    ke::ClockStartup();
    ke::VersionStartup(options);
    ke::FaultStartup();
    ke::BreakStartup();
    ke::PoolStartup();
    ke::SpinLockStartup();
    ke::TimerStartup();
    ke::OwnersStartup();
    ke::DpcStartup();
}

void KeShutdown()
{
    ke::DpcShutdown();
    ke::Guard lock(ke::DispatcherLock());
    ke::TimerShutdownLocked();
}

void StartMachine(const MachineOptions& options)
{
    if (g_running) {
        fprintf(stderr, "StartMachine: the machine is already running\n");
        abort();
    }
    ClearViolations();
    {
        std::lock_guard<std::mutex> lock(g_quietLock);
        g_quietChecks.clear();
    }
    SetCurrentIrql(PASSIVE_LEVEL);
    KeStartup(options);
    IoStartup(options);
    CmStartup(options);
    Win32Startup();
    g_running = true;
}

size_t StopMachine()
{
    if (!g_running)
        return Violations().size();
    Win32Shutdown();
    // Drivers still loaded unload first, while the registry they may touch exists.
    IoUnloadDrivers();
    CmShutdown();
    IoShutdown();
    KeShutdown();
    KeReportPoolLeaks();
    {
        std::lock_guard<std::mutex> lock(g_quietLock);
        g_quietChecks.clear();
    }
    g_running = false;
    return Violations().size();
}

bool MachineRunning()
{
    return g_running;
}

bool WaitQuiet(unsigned timeoutMs)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        bool dpcQuiet;
        {
            ke::Guard lock(ke::DispatcherLock());
            dpcQuiet = ke::DpcQuietLocked();
        }
        // Work items may queue DPCs and the reverse: both must be quiet at once.
        if (dpcQuiet && OthersQuiet()) {
            ke::Guard lock(ke::DispatcherLock());
            if (ke::DpcQuietLocked())
                return true;
        }
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
}

}  // namespace sim
