// Start-up and tear-down of the I/O manager. Tear-down unloads the drivers
// still loaded, drains the work queue, then reports what was left behind:
// IRPs, handles, file objects, links and device objects.
#include "io_internal.h"
#include "pnp_internal.h"
#include "po_internal.h"

namespace sim {

void IoStartup(const MachineOptions& options)
{
    {
        io::Guard lock(io::Lock());
        io::NamespaceStartupLocked();
    }
    io::HandlesStartup();
    io::WorkStartup(options.workerThreads, options.maxWorkerThreads);
    pnp::Startup();
    po::Startup();
}

// Links that point at deleted devices are reported before the drivers go:
// unloading would report every remaining link of a driver as its leak.
void IoUnloadDrivers()
{
    // Device nodes still alive are removed in order first (their drivers
    // unload as their last devices go); power IRPs still queued go out then.
    pnp::Shutdown();
    po::Shutdown();
    {
        io::Guard lock(io::Lock());
        io::ReportDanglingLinksLocked();
    }
    io::UnloadAllDrivers();
}

void IoShutdown()
{
    IoUnloadDrivers();
    io::WorkShutdown();
    io::Guard lock(io::Lock());
    io::IrpsShutdownLocked();
    lock.unlock();
    io::HandlesShutdown();
    lock.lock();
    io::FilesShutdownLocked();
    io::EventsShutdownLocked();
    io::NamespaceShutdownLocked();
    io::DevicesShutdownLocked();
    io::DriversShutdownLocked();
    io::ForgetAllObjectsLocked();
}

}  // namespace sim
