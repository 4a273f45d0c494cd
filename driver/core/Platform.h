// The one header through which driver code reaches the kernel interfaces. The
// target build finds the mingw-w64 DDK headers, the host build the simulated
// machine's; both declare the same Windows names. The few toolchain quirks of
// the DDK headers are handled here and nowhere else.
#pragma once

#include <stdarg.h>

// mingw-w64's wdm.h defines these two itself: keep its intrinsic header from
// defining them a second time.
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
extern "C" {
#include <ntddk.h>
}

// Not every DDK header set names the no-execute lookaside flag.
#ifndef POOL_NX_ALLOCATION
#define POOL_NX_ALLOCATION 512
#endif

// Exported by ntoskrnl; the DDK headers do not declare it.
extern "C" int _vsnwprintf(wchar_t* buffer, size_t count, const wchar_t* format, va_list args);
