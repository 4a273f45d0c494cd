#include "WideString.h"

#include <stdarg.h>

namespace {

// Longer texts are refused before any size arithmetic can overflow.
const ULONG kMaxChars = 0x0FFFFFFF;

PWSTR AllocateChars(ULONG chars)
{
    return static_cast<PWSTR>(HeapAlloc(GetProcessHeap(), 0, (SIZE_T)(chars + 1) * sizeof(WCHAR)));
}

void CopyChars(PWSTR to, PCWSTR from, ULONG chars)
{
    for (ULONG i = 0; i < chars; i++) {
        to[i] = from[i];
    }
}

// Expands `format` with `args`, handing each output character to `put`.
// False on a conversion other than %s and %%, a null %s argument, or a
// result longer than kMaxChars.
template <typename Put>
bool Expand(PCWSTR format, va_list args, Put put)
{
    ULONG produced = 0;
    for (PCWSTR f = format; *f != 0; f++) {
        if (*f != L'%') {
            put(*f);
            produced++;
        } else if (f[1] == L'%') {
            put(L'%');
            produced++;
            f++;
        } else if (f[1] == L's') {
            PCWSTR arg = va_arg(args, PCWSTR);
            if (arg == nullptr) {
                return false;
            }
            for (; *arg != 0; arg++) {
                if (produced++ == kMaxChars) {
                    return false;
                }
                put(*arg);
            }
            f++;
        } else {
            return false;
        }
        if (produced > kMaxChars) {
            return false;
        }
    }
    return true;
}

}  // namespace

ULONG WideLength(PCWSTR text, ULONG limit)
{
    ULONG n = 0;
    while (n < limit && text[n] != 0) {
        n++;
    }
    return n;
}

CWideString::~CWideString()
{
    if (m_Buffer != nullptr) {
        HeapFree(GetProcessHeap(), 0, m_Buffer);
    }
}

bool CWideString::Reserve(ULONG chars)
{
    if (chars <= m_Capacity && m_Buffer != nullptr) {
        return true;
    }
    if (chars > kMaxChars) {
        return false;
    }
    PWSTR grown = AllocateChars(chars);
    if (grown == nullptr) {
        return false;
    }
    CopyChars(grown, Text(), m_Length);
    grown[m_Length] = 0;
    if (m_Buffer != nullptr) {
        HeapFree(GetProcessHeap(), 0, m_Buffer);
    }
    m_Buffer = grown;
    m_Capacity = chars;
    return true;
}

bool CWideString::Assign(PCWSTR text)
{
    ULONG length = WideLength(text, kMaxChars + 1);
    if (length > kMaxChars || !Reserve(length)) {
        return false;
    }
    CopyChars(m_Buffer, text, length);
    m_Buffer[length] = 0;
    m_Length = length;
    return true;
}

bool CWideString::Format(PCWSTR format, ...)
{
    // First measure, then write into a buffer of the exact size: the string
    // keeps its old text when either step fails.
    ULONG length = 0;
    va_list args;
    va_start(args, format);
    bool ok = Expand(format, args, [&](WCHAR) { length++; });
    va_end(args);
    if (!ok) {
        return false;
    }
    PWSTR text = AllocateChars(length);
    if (text == nullptr) {
        return false;
    }
    ULONG at = 0;
    va_start(args, format);
    Expand(format, args, [&](WCHAR c) { text[at++] = c; });
    va_end(args);
    text[length] = 0;
    if (m_Buffer != nullptr) {
        HeapFree(GetProcessHeap(), 0, m_Buffer);
    }
    m_Buffer = text;
    m_Length = length;
    m_Capacity = length;
    return true;
}

bool CWideString::Equals(const CWideString& other) const
{
    if (m_Length != other.m_Length) {
        return false;
    }
    PCWSTR a = Text();
    PCWSTR b = other.Text();
    for (ULONG i = 0; i < m_Length; i++) {
        if (a[i] != b[i]) {
            return false;
        }
    }
    return true;
}

void CWideString::Seal(ULONG chars)
{
    if (m_Buffer == nullptr) {
        return;
    }
    if (chars > m_Capacity) {
        chars = m_Capacity;
    }
    m_Buffer[chars] = 0;
    m_Length = WideLength(m_Buffer, chars);
}
