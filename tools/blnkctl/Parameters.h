// The driver service's Parameters values: FileLog and the driver-wide PortName.
#pragma once

#include "Blnkctl.h"

// The driver-wide PortName into `name` (room characters); false when there
// is none (or it cannot be read as text).
bool ReadServicePortName(PWSTR name, ULONG room);
