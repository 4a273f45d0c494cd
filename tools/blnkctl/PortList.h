// The present ports, as setupapi knows them: every present Ports-class
// device whose first hardware id is one of the port's two, the same rule
// setup.dll renames by, in setupapi's order.
#pragma once

#include "Blnkctl.h"

#include <brisklink_setup.h>

// Room for the longest name setup.dll can read back, and its terminator.
const ULONG kPortNameRoom = BLNK_MAX_PORT_NAME_CHARS + 1;

struct CPortEntry {
    WCHAR instance[200];            // device instance id
    WCHAR friendlyName[160];        // empty when unset
    WCHAR portName[kPortNameRoom];  // the hardware key's PortName; empty when unset or unreadable
    bool portNameReadable;          // a REG_SZ/REG_EXPAND_SZ PortName that fits and is terminated
    WCHAR driverKey[96];            // the key the control device knows the port by; empty when unknown
    USHORT vendorId;                // from the hardware id
    USHORT productId;
};

struct CPortList {
    static const ULONG kMaxPorts = 16;
    ULONG count;
    CPortEntry ports[kMaxPorts];
    bool truncated;  // more ports than kMaxPorts
};

// Fills `list`. ERROR_SUCCESS, or the error of
// SetupDiGetClassDevsW.
DWORD ListPorts(CPortList* list);

// The port setup.dll's SetupPortName would rename: the first with a
// readable PortName. Null when there is none.
const CPortEntry* RenameCandidate(const CPortList& list);

// A zeroed block from the process heap, or null: the lists are too large
// for a thread's stack.
void* AllocZeroed(SIZE_T bytes);
void FreeBlock(void* block);
