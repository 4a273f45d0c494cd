// The parts of the demo, each run on the simulated machine the main program started.
#pragma once

#include <sim/sim.h>

#include <cstdint>

bool RunRoutingDemo();
bool RunUsbDemo();
// The port by its COM name; the id of a second device it plugs in *second.
bool RunNamingDemo(uint32_t id, const sim::DeviceNodeInfo& node, uint32_t* second);
// Prints the file the driver's log went to ("C:\\brisklink.log").
void PrintLog(const char* dosPath);
