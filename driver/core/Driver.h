// Driver-wide state every part may read, and the routing the entry point
// installs. The state is written only by the entry points
// (driver/DriverEntry.cpp), at PASSIVE_LEVEL, while the system serialises them.
#pragma once

#include "core/Platform.h"

extern PDRIVER_OBJECT g_DriverObject;
// Owned copy of the service key path; other objects append "\Parameters" to it.
extern UNICODE_STRING g_RegistryPath;
extern BOOLEAN g_RegistryPathOwned;

// Installs the router of every major function: all 28 entries go to the
// DispatchOther router, then the eleven routed codes get their own.
VOID InstallRouters(PDRIVER_OBJECT DriverObject);
