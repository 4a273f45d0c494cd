#include "core/Driver.h"

#include "core/RefObject.h"
#include "support/UnicodeString.h"

PDRIVER_OBJECT g_DriverObject = NULL;
UNICODE_STRING g_RegistryPath = {0, 0, NULL};
BOOLEAN g_RegistryPathOwned = FALSE;

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    DriverTrace(4, "DriverEntry");
    g_DriverObject = DriverObject;
    InstallRouters(DriverObject);

    // A failed copy leaves an empty path; loading goes on and later readers of
    // the Parameters key simply find nothing.
    CUnicodeString path(*RegistryPath);
    path.Detach(&g_RegistryPath);
    g_RegistryPathOwned = TRUE;

    DriverObject->DriverUnload = DriverUnload;
    return STATUS_SUCCESS;
}

VOID DriverUnload(PDRIVER_OBJECT DriverObject)
{
    DriverTrace(4, "DriverUnload");
    UNREFERENCED_PARAMETER(DriverObject);
    if (g_RegistryPathOwned) {
        g_RegistryPathOwned = FALSE;
        CUnicodeString::FreeBuffer(&g_RegistryPath);
    }
}
