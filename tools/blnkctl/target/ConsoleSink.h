// A standard stream as a text sink: a console gets UTF-16 through
// WriteConsoleW and can be rewritten in place; a file or a pipe gets UTF-8
// with CR LF line ends, as Windows programs write them.
#pragma once

#include "Blnkctl.h"

class CConsoleSink : public CTextSink {
public:
    explicit CConsoleSink(DWORD stdHandle);
    void Write(PCWSTR text, ULONG chars) override;
    bool Rewind(ULONG lines) override;

private:
    void WriteBytes(const char* bytes, ULONG count);

    HANDLE m_Handle;
    bool m_Console;
};
