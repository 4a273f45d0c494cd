// Driver-wide pool allocation and the OS version it depends on.
#pragma once

#include "core/Platform.h"

// major*100 + minor of the running OS; 0 until first computed. Written with a
// single store, so racing first calls are harmless (they compute the same value).
extern ULONG g_OsVersion;

// Returns g_OsVersion, computing it with PsGetVersion on first use.
ULONG GetOsVersion();

// The only general allocator of the driver. From Windows 10 (version 1000) on,
// NonPagedPool requests become NonPagedPoolNx so that no driver data is
// executable. Callable up to DISPATCH_LEVEL for non-paged types. Not zeroed.
PVOID PoolAlloc(POOL_TYPE type, SIZE_T bytes, ULONG tag);

// Every block is freed without a tag check.
inline void PoolFree(PVOID block)
{
    ExFreePoolWithTag(block, 0);
}
