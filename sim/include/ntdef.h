// Kernel-side base definitions of the simulated machine (the subset of ntdef.h
// that drivers use), with Windows x64 layouts.
#pragma once

#include "sim/basetypes.h"
#include "ntstatus.h"

typedef UCHAR KIRQL;
typedef KIRQL* PKIRQL;
typedef CHAR KPROCESSOR_MODE;
typedef LONG KPRIORITY;
typedef ULONG_PTR KSPIN_LOCK;
typedef KSPIN_LOCK* PKSPIN_LOCK;
typedef ULONG LOGICAL;
typedef ULONG CLONG;
typedef PVOID PSECURITY_DESCRIPTOR;

typedef struct _UNICODE_STRING {
    USHORT Length;
    USHORT MaximumLength;
    PWSTR Buffer;
} UNICODE_STRING, *PUNICODE_STRING;
typedef const UNICODE_STRING* PCUNICODE_STRING;

typedef struct _STRING {
    USHORT Length;
    USHORT MaximumLength;
    PCHAR Buffer;
} STRING, ANSI_STRING, *PSTRING, *PANSI_STRING;
typedef const ANSI_STRING* PCANSI_STRING;

typedef struct _OBJECT_ATTRIBUTES {
    ULONG Length;
    HANDLE RootDirectory;
    PUNICODE_STRING ObjectName;
    ULONG Attributes;
    PVOID SecurityDescriptor;
    PVOID SecurityQualityOfService;
} OBJECT_ATTRIBUTES, *POBJECT_ATTRIBUTES;
static_assert(sizeof(OBJECT_ATTRIBUTES) == 48, "OBJECT_ATTRIBUTES is 48 bytes on x64");

#define OBJ_INHERIT 0x00000002L
#define OBJ_PERMANENT 0x00000010L
#define OBJ_EXCLUSIVE 0x00000020L
#define OBJ_CASE_INSENSITIVE 0x00000040L
#define OBJ_OPENIF 0x00000080L
#define OBJ_OPENLINK 0x00000100L
#define OBJ_KERNEL_HANDLE 0x00000200L

#define InitializeObjectAttributes(p, n, a, r, s)                                                                      \
    do {                                                                                                               \
        (p)->Length = sizeof(OBJECT_ATTRIBUTES);                                                                       \
        (p)->RootDirectory = (r);                                                                                      \
        (p)->Attributes = (a);                                                                                         \
        (p)->ObjectName = (n);                                                                                         \
        (p)->SecurityDescriptor = (s);                                                                                 \
        (p)->SecurityQualityOfService = NULL;                                                                          \
    } while (0)

typedef struct _IO_STATUS_BLOCK {
    union {
        NTSTATUS Status;
        PVOID Pointer;
    };
    ULONG_PTR Information;
} IO_STATUS_BLOCK, *PIO_STATUS_BLOCK;
static_assert(sizeof(IO_STATUS_BLOCK) == 16, "IO_STATUS_BLOCK is 16 bytes on x64");

#define RTL_CONSTANT_STRING(s)                                                                                         \
    {                                                                                                                  \
        (USHORT)(sizeof(s) - sizeof((s)[0])), (USHORT)sizeof(s), (PWSTR)(s)                                            \
    }
#define DECLARE_CONST_UNICODE_STRING(name, text) const UNICODE_STRING name = RTL_CONSTANT_STRING(text)
