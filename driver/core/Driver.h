// Driver-wide state and the routines the I/O manager calls on the driver.
#pragma once

#include "core/Platform.h"

extern PDRIVER_OBJECT g_DriverObject;
// Owned copy of the service key path; other objects append "\Parameters" to it.
extern UNICODE_STRING g_RegistryPath;
extern BOOLEAN g_RegistryPathOwned;

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
VOID DriverUnload(PDRIVER_OBJECT DriverObject);
// Creates the function device of one device node.
NTSTATUS AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject);

// Installs the router of every major function: all 28 entries go to the
// DispatchOther router, then the eleven routed codes get their own.
VOID InstallRouters(PDRIVER_OBJECT DriverObject);
