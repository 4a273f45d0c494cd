// The driver's main job on the simulated machine, narrated: IRP routing, then
// a virtual USB device that becomes a port, carries bytes both ways and is
// yanked; then the verifier's report.
#include "demo.h"

#include <sim/sim.h>

#include <cstdio>

int main()
{
    sim::StartMachine();
    std::printf("== Simulated machine started (Windows 10.0)\n");
    bool routed = RunRoutingDemo();
    size_t violations = sim::StopMachine();

    sim::StartMachine();
    std::printf("\n== Fresh simulated machine for the USB part\n");
    bool usb = RunUsbDemo();
    std::printf("== Verifier pool report\n%s", sim::PoolReport().c_str());
    violations += sim::StopMachine();
    std::printf("== Machine stopped: %zu verifier violation(s)\n", violations);
    return routed && usb && violations == 0 ? 0 : 1;
}
