// Kernel headers for the virtual bus, as the product driver includes them.
#pragma once

#include <kernel_platform.h>

extern "C" DRIVER_INITIALIZE DriverEntry;
