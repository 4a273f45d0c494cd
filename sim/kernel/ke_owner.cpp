// Which driver set each timer and queued each DPC, so that unloading a driver
// finds what it left pending: a timer that fires, or a DPC that runs, after
// its driver's image is gone runs unloaded code. The owner is the driver whose
// routine the setting thread runs; on the DPC thread, the driver whose DPC is
// running (a DPC that re-arms its own timer keeps it its driver's). Timers and
// DPCs set from no driver's routine (a test's thread) belong to none. All of
// it is guarded by the dispatcher lock, except the running DPC's owner, which
// is the DPC thread's own.
#include "ke_internal.h"

#include <unordered_map>

namespace sim {
namespace ke {
namespace {

std::unordered_map<const void*, PDRIVER_OBJECT> g_owners;
thread_local PDRIVER_OBJECT t_runningDpcOwner = nullptr;

}  // namespace

void NoteOwnerLocked(const void* object)
{
    PDRIVER_OBJECT driver = IoRunningDriver();
    if (!driver)
        driver = t_runningDpcOwner;
    if (driver)
        g_owners[object] = driver;
    else
        g_owners.erase(object);
}

void CopyOwnerLocked(const void* from, const void* to)
{
    auto it = g_owners.find(from);
    if (it != g_owners.end())
        g_owners[to] = it->second;
    else
        g_owners.erase(to);
}

PDRIVER_OBJECT OwnerLocked(const void* object)
{
    auto it = g_owners.find(object);
    return it == g_owners.end() ? nullptr : it->second;
}

void ForgetOwnerLocked(const void* object)
{
    g_owners.erase(object);
}

void SetRunningDpcOwner(PDRIVER_OBJECT driver)
{
    t_runningDpcOwner = driver;
}

void OwnersStartup()
{
    Guard lock(DispatcherLock());
    g_owners.clear();
}

}  // namespace ke

void KeDriverUnloaded(PDRIVER_OBJECT driver, const char* routine)
{
    ke::Guard lock(ke::DispatcherLock());
    ke::CancelDriverTimersLocked(driver, routine);
    ke::CancelDriverDpcsLocked(driver, routine);
    for (auto it = ke::g_owners.begin(); it != ke::g_owners.end();)
        it = it->second == driver ? ke::g_owners.erase(it) : std::next(it);
    lock.unlock();
    ReportDriverPoolLeaks(driver, routine);
}

}  // namespace sim
