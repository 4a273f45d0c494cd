#include "core/Driver.h"

PDRIVER_OBJECT g_DriverObject = NULL;
UNICODE_STRING g_RegistryPath = {0, 0, NULL};
BOOLEAN g_RegistryPathOwned = FALSE;
