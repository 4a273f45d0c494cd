// The one header through which driver code reaches the kernel and USB bus
// interfaces (the quirks of the toolchains' headers live in the shared
// kernel_platform.h).
#pragma once

#include <kernel_platform.h>
