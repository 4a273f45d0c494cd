// The kernel headers as both drivers (the port and the virtual bus) include
// them, with the few quirks of the toolchains' header sets handled here and
// nowhere else. The target build finds mingw-w64's DDK headers, the host
// build the simulated machine's; both declare the same Windows names.
#pragma once

#include <stdarg.h>

// mingw-w64's wdm.h defines these two itself: keep its intrinsic header from
// defining them a second time.
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
extern "C" {
#include <ntddk.h>
#include <usb.h>
#include <usbioctl.h>
#include <usbdlib.h>
#include <ntddser.h>
}

// Not every DDK header set names the two comm-config serial codes.
#ifndef IOCTL_SERIAL_GET_COMMCONFIG
#define IOCTL_SERIAL_GET_COMMCONFIG CTL_CODE(FILE_DEVICE_SERIAL_PORT, 33, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_SERIAL_SET_COMMCONFIG CTL_CODE(FILE_DEVICE_SERIAL_PORT, 34, METHOD_BUFFERED, FILE_ANY_ACCESS)
#endif

// Not every DDK header set names the no-execute lookaside flag.
#ifndef POOL_NX_ALLOCATION
#define POOL_NX_ALLOCATION 512
#endif

// The checks of a checked build (DBG), compiled out of a free build, as the
// DDK defines them where this header set does not. The simulated machine
// defines both itself and reports every broken check.
#ifndef NT_ASSERT
#if DBG
#define NT_ASSERT(e) ((e) ? (void)0 : __debugbreak())
#else
#define NT_ASSERT(e) ((void)0)
#endif
#endif
#ifndef PAGED_CODE
#define PAGED_CODE() NT_ASSERT(KeGetCurrentIrql() <= APC_LEVEL)
#endif

// The single-word accessors of the kernel's headers, which mingw-w64's DDK
// lacks: on x64 a plain aligned load or store, never torn or merged.
#ifdef __MINGW32__
inline LONG ReadNoFence(LONG const volatile* Source)
{
    return __atomic_load_n(Source, __ATOMIC_RELAXED);
}
inline VOID WriteNoFence(LONG volatile* Destination, LONG Value)
{
    __atomic_store_n(Destination, Value, __ATOMIC_RELAXED);
}
inline ULONG ReadULongNoFence(ULONG const volatile* Source)
{
    return __atomic_load_n(Source, __ATOMIC_RELAXED);
}
inline VOID WriteULongNoFence(ULONG volatile* Destination, ULONG Value)
{
    __atomic_store_n(Destination, Value, __ATOMIC_RELAXED);
}
inline PVOID ReadPointerNoFence(PVOID const volatile* Source)
{
    return __atomic_load_n(Source, __ATOMIC_RELAXED);
}
#endif

// Exported by ntoskrnl; the DDK headers do not declare them.
extern "C" int _vsnwprintf(wchar_t* buffer, size_t count, const wchar_t* format, va_list args);
extern "C" int _vsnprintf(char* buffer, size_t count, const char* format, va_list args);
extern "C" NTSTATUS NTAPI ZwQueryInformationProcess(HANDLE ProcessHandle, PROCESSINFOCLASS ProcessInformationClass,
                                                    PVOID ProcessInformation, ULONG ProcessInformationLength,
                                                    PULONG ReturnLength);
