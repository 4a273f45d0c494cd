// Device I/O control codes for user mode (the subset of winioctl.h the
// simulated machine's clients use). The macros are spelled as in the kernel
// headers, so both may be included together.
#pragma once

#include "sim/basetypes.h"

#ifndef CTL_CODE
#define METHOD_BUFFERED 0
#define METHOD_IN_DIRECT 1
#define METHOD_OUT_DIRECT 2
#define METHOD_NEITHER 3
#define FILE_ANY_ACCESS 0
#define FILE_SPECIAL_ACCESS 0
#define FILE_READ_ACCESS 0x0001
#define FILE_WRITE_ACCESS 0x0002
#define CTL_CODE(DeviceType, Function, Method, Access)                                                                 \
    (((ULONG)(DeviceType) << 16) | ((Access) << 14) | ((Function) << 2) | (Method))
#define METHOD_FROM_CTL_CODE(ctrlCode) ((ULONG)((ctrlCode)&3))
#define DEVICE_TYPE_FROM_CTL_CODE(ctrlCode) (((ULONG)(ctrlCode)&0xffff0000) >> 16)
#endif

#ifndef FILE_DEVICE_SERIAL_PORT
#define FILE_DEVICE_SERIAL_PORT 0x0000001b
#endif
#ifndef FILE_DEVICE_UNKNOWN
#define FILE_DEVICE_UNKNOWN 0x00000022
#endif
#ifndef FILE_DEVICE_BUS_EXTENDER
#define FILE_DEVICE_BUS_EXTENDER 0x0000002a
#endif

typedef ULONG DEVICE_TYPE;
