// The parts of the demo, each run on the simulated machine the main program started.
#pragma once

bool RunRoutingDemo();
bool RunUsbDemo();
