// Start and stop of the registry, file and process parts of the machine.
#include "cm_registry.h"
#include "fs_files.h"

namespace sim {

void ResetProcessInformation();

void CmStartup(const MachineOptions& options)
{
    reg::Startup();
    fs::Startup(options);
    ResetProcessInformation();
}

// Handles still open are reported and closed by the I/O manager afterwards;
// they keep their key or file object alive until then.
void CmShutdown()
{
    fs::ForgetOpenFiles();
    fs::Shutdown();
    reg::Shutdown();
}

}  // namespace sim
