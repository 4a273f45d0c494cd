// The one wait rule of the support classes: at PASSIVE_LEVEL wait until
// signalled (or until the time-out), above it poll once (a zero time-out), so
// that no caller can block at raised IRQL.
#pragma once

#include "core/Platform.h"

// `timeoutMs` -1 waits without limit. TRUE when the object was signalled.
inline BOOLEAN WaitObject(PVOID object, LONG timeoutMs = -1)
{
    LARGE_INTEGER due;
    PLARGE_INTEGER timeout = NULL;
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        due.QuadPart = 0;
        timeout = &due;
    } else if (timeoutMs >= 0) {
        due.QuadPart = -(LONGLONG)timeoutMs * 10000;  // relative, 100-ns units
        timeout = &due;
    }
    return KeWaitForSingleObject(object, Executive, KernelMode, FALSE, timeout) == STATUS_SUCCESS;
}
