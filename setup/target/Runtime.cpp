// The memory routines GCC may emit calls to (zeroing a buffer, copying a
// structure), which would otherwise come from the C runtime DLL setup.dll
// must not import. Plain byte loops: the library moves a few kilobytes per
// call at most. The stores go through volatile pointers so that GCC cannot
// recognise a loop as the routine itself and call it from within.
#include <stddef.h>

extern "C" {

void* memset(void* to, int value, size_t size)
{
    volatile unsigned char* p = static_cast<unsigned char*>(to);
    while (size--) {
        *p++ = static_cast<unsigned char>(value);
    }
    return to;
}

void* memcpy(void* to, const void* from, size_t size)
{
    volatile unsigned char* d = static_cast<unsigned char*>(to);
    const unsigned char* s = static_cast<const unsigned char*>(from);
    while (size--) {
        *d++ = *s++;
    }
    return to;
}

void* memmove(void* to, const void* from, size_t size)
{
    volatile unsigned char* d = static_cast<unsigned char*>(to);
    const unsigned char* s = static_cast<const unsigned char*>(from);
    if (d < s) {
        while (size--) {
            *d++ = *s++;
        }
    } else {
        d += size;
        s += size;
        while (size--) {
            *--d = *--s;
        }
    }
    return to;
}

int memcmp(const void* a, const void* b, size_t size)
{
    const unsigned char* x = static_cast<const unsigned char*>(a);
    const unsigned char* y = static_cast<const unsigned char*>(b);
    for (; size--; x++, y++) {
        if (*x != *y) {
            return *x < *y ? -1 : 1;
        }
    }
    return 0;
}

}  // extern "C"
