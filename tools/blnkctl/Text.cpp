#include "Text.h"

CText& CText::Add(PCWSTR text, ULONG chars)
{
    for (ULONG i = 0; i < chars && text[i] != 0 && m_Length < kRoom; i++) {
        m_Buffer[m_Length++] = text[i];
    }
    m_Buffer[m_Length] = 0;
    return *this;
}

CText& CText::Add(PCWSTR text)
{
    return Add(text, kRoom);
}

CText& CText::Number(ULONGLONG value)
{
    WCHAR digits[24];
    ULONG n = 0;
    do {
        digits[n++] = (WCHAR)(L'0' + value % 10);
        value /= 10;
    } while (value != 0);
    WCHAR text[24];
    for (ULONG i = 0; i < n; i++) {
        text[i] = digits[n - 1 - i];
    }
    return Add(text, n);
}

CText& CText::Hex4(USHORT value)
{
    WCHAR text[4];
    for (int i = 3; i >= 0; i--) {
        ULONG nibble = value & 0xF;
        text[i] = (WCHAR)(nibble < 10 ? L'0' + nibble : L'A' + nibble - 10);
        value = (USHORT)(value >> 4);
    }
    return Add(text, 4);
}

CText& CText::Pad(ULONG column)
{
    do {
        Add(L" ");
    } while (m_Length < column && m_Length < kRoom);
    return *this;
}

CText& CText::Clear()
{
    m_Length = 0;
    m_Buffer[0] = 0;
    return *this;
}

void CText::Line(CTextSink& sink)
{
    Add(L"\n");
    WriteTo(sink);
    Clear();
}

void WriteLine(CTextSink& sink, PCWSTR text)
{
    sink.Write(text, TextLength(text));
    sink.Write(L"\n", 1);
}

ULONG TextLength(PCWSTR text)
{
    ULONG n = 0;
    while (text[n] != 0) {
        n++;
    }
    return n;
}

bool TextEquals(PCWSTR a, PCWSTR b)
{
    for (; *a == *b; a++, b++) {
        if (*a == 0) {
            return true;
        }
    }
    return false;
}

bool TextCopy(PWSTR to, ULONG room, PCWSTR from)
{
    ULONG i = 0;
    for (; i + 1 < room && from[i] != 0; i++) {
        to[i] = from[i];
    }
    to[i] = 0;
    return from[i] == 0;
}

bool ParseDecimal(PCWSTR text, ULONG* value)
{
    ULONG v = 0;
    ULONG digits = 0;
    for (; text[digits] != 0; digits++) {
        if (text[digits] < L'0' || text[digits] > L'9' || digits == 9) {
            return false;
        }
        v = v * 10 + (ULONG)(text[digits] - L'0');
    }
    *value = v;
    return digits > 0;
}

static WCHAR UpperAscii(WCHAR c)
{
    return (c >= L'a' && c <= L'z') ? (WCHAR)(c - L'a' + L'A') : c;
}

bool StartsWithNoCase(PCWSTR text, PCWSTR prefix, ULONG chars)
{
    // Stops at the first difference, so never reads past the end of `text`.
    for (ULONG i = 0; i < chars; i++) {
        if (UpperAscii(text[i]) != UpperAscii(prefix[i])) {
            return false;
        }
    }
    return true;
}
