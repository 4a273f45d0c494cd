#include "core/SafePrint.h"

#include <stdarg.h>

NTSTATUS SafePrintW(WCHAR* dest, SIZE_T destBytes, const WCHAR* format, ...)
{
    SIZE_T capacity = destBytes / sizeof(WCHAR);
    if (capacity == 0 || capacity > 0x7FFFFFFF) {
        return STATUS_INVALID_PARAMETER;
    }
    va_list args;
    va_start(args, format);
    int written = _vsnwprintf(dest, capacity - 1, format, args);
    va_end(args);

    if (written < 0 || (SIZE_T)written > capacity - 1) {
        dest[capacity - 1] = 0;
        return STATUS_BUFFER_OVERFLOW;
    }
    if ((SIZE_T)written == capacity - 1) {
        // The formatter filled the room exactly and wrote no terminator.
        dest[capacity - 1] = 0;
    }
    return STATUS_SUCCESS;
}
