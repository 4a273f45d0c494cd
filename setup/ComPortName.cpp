#include "PortNaming.h"

namespace {

const LONG kLongMax = 0x7FFFFFFF;

WCHAR UpperAscii(WCHAR c)
{
    return (c >= L'a' && c <= L'z') ? (WCHAR)(c - L'a' + L'A') : c;
}

}  // namespace

LONG ProbeComPortName(PCWSTR name)
{
    if (name == nullptr) {
        return -1;
    }
    static const WCHAR kPrefix[] = L"COM";
    for (int i = 0; i < 3; i++) {
        if (UpperAscii(name[i]) != kPrefix[i]) {
            return -1;
        }
    }
    LONG number = 0;
    for (PCWSTR p = name + 3; *p != 0; p++) {
        if (*p < L'0' || *p > L'9') {
            return -1;
        }
        LONG digit = *p - L'0';
        number = number > (kLongMax - digit) / 10 ? kLongMax : number * 10 + digit;
    }
    return number;
}
