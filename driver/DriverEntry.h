// The routines the I/O and PnP managers call on the driver as a whole: the
// one place that knows every part of it.
#pragma once

#include "core/Platform.h"

extern "C" DRIVER_INITIALIZE DriverEntry;
// Creates the function device of one device node.
DRIVER_ADD_DEVICE AddDevice;
DRIVER_UNLOAD DriverUnload;
