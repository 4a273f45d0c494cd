// Bounded wide formatting with the status rules of RtlStringCbPrintfW.
#pragma once

#include "core/Platform.h"

// destBytes is the size of dest in bytes. On success dest holds the whole text
// and a terminator; STATUS_BUFFER_OVERFLOW leaves the truncated text,
// terminated; STATUS_INVALID_PARAMETER (no room at all) leaves dest untouched.
NTSTATUS SafePrintW(WCHAR* dest, SIZE_T destBytes, const WCHAR* format, ...);
