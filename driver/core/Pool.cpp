#include "core/Pool.h"

ULONG g_OsVersion = 0;

ULONG GetOsVersion()
{
    ULONG version = g_OsVersion;
    if (version == 0) {
        ULONG major = 0;
        ULONG minor = 0;
        PsGetVersion(&major, &minor, NULL, NULL);
        version = major * 100 + minor;
        g_OsVersion = version;
    }
    return version;
}

PVOID PoolAlloc(POOL_TYPE type, SIZE_T bytes, ULONG tag)
{
    if (GetOsVersion() > 999 && type == NonPagedPool) {
        type = NonPagedPoolNx;
    }
    return ExAllocatePoolWithTag(type, bytes, tag);
}
