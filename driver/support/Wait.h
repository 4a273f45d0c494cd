// The one wait rule of the support classes: at PASSIVE_LEVEL wait until
// signalled, above it poll once (a zero time-out), so that no caller can block
// at raised IRQL.
#pragma once

#include "core/Platform.h"

inline BOOLEAN WaitObject(PVOID object)
{
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    PLARGE_INTEGER timeout = KeGetCurrentIrql() == PASSIVE_LEVEL ? NULL : &zero;
    return KeWaitForSingleObject(object, Executive, KernelMode, FALSE, timeout) == STATUS_SUCCESS;
}
