// CText: one line of output built in place, without the C runtime: text,
// decimal and hexadecimal numbers, padding to a column. A line longer than
// its room is cut, never overrun. And the few wide-string helpers the tool
// needs.
#pragma once

#include "Blnkctl.h"

class CText {
public:
    static const ULONG kRoom = 1024;

    CText& Add(PCWSTR text);
    CText& Add(PCWSTR text, ULONG chars);
    CText& Number(ULONGLONG value);
    CText& Hex4(USHORT value);
    // Spaces up to `column` (at least one when the text already reaches it).
    CText& Pad(ULONG column);
    CText& Clear();

    PCWSTR Text() const { return m_Buffer; }
    ULONG Length() const { return m_Length; }
    void WriteTo(CTextSink& sink) const { sink.Write(m_Buffer, m_Length); }
    // Writes the line and a line break, then starts over.
    void Line(CTextSink& sink);

private:
    WCHAR m_Buffer[kRoom + 1] = {};
    ULONG m_Length = 0;
};

// Writes `text` and a line break.
void WriteLine(CTextSink& sink, PCWSTR text);

ULONG TextLength(PCWSTR text);
bool TextEquals(PCWSTR a, PCWSTR b);
// Copies at most `room` - 1 characters and terminates; false when cut.
bool TextCopy(PWSTR to, ULONG room, PCWSTR from);
// A decimal number of at most nine digits, nothing else; false otherwise.
bool ParseDecimal(PCWSTR text, ULONG* value);
// Compares the first `chars` characters, ASCII letters in any case.
bool StartsWithNoCase(PCWSTR text, PCWSTR prefix, ULONG chars);
