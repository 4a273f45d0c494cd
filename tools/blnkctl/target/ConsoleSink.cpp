#include "ConsoleSink.h"

CConsoleSink::CConsoleSink(DWORD stdHandle) : m_Handle(GetStdHandle(stdHandle)), m_Console(false)
{
    DWORD mode = 0;
    m_Console = m_Handle != INVALID_HANDLE_VALUE && m_Handle != NULL && GetConsoleMode(m_Handle, &mode);
}

void CConsoleSink::WriteBytes(const char* bytes, ULONG count)
{
    DWORD written = 0;
    WriteFile(m_Handle, bytes, count, &written, NULL);
}

void CConsoleSink::Write(PCWSTR text, ULONG chars)
{
    if (m_Handle == INVALID_HANDLE_VALUE || m_Handle == NULL || chars == 0) {
        return;
    }
    if (m_Console) {
        DWORD written = 0;
        WriteConsoleW(m_Handle, text, chars, &written, NULL);
        return;
    }
    // In pieces small enough for a stack buffer; a piece ends at a line
    // break or before a surrogate pair could be split.
    char bytes[512];
    ULONG at = 0;
    while (at < chars) {
        ULONG n = 0;
        ULONG used = 0;
        while (at + n < chars && used < sizeof(bytes) - 8) {
            WCHAR c = text[at + n];
            if (c == L'\n') {
                bytes[used++] = '\r';
            }
            int size = WideCharToMultiByte(CP_UTF8, 0, &text[at + n],
                                           (c >= 0xD800 && c < 0xDC00 && at + n + 1 < chars) ? 2 : 1, &bytes[used],
                                           (int)(sizeof(bytes) - used), NULL, NULL);
            n += (c >= 0xD800 && c < 0xDC00 && at + n + 1 < chars) ? 2 : 1;
            used += size > 0 ? (ULONG)size : 0;
        }
        WriteBytes(bytes, used);
        at += n;
    }
}

bool CConsoleSink::Rewind(ULONG lines)
{
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!m_Console || !GetConsoleScreenBufferInfo(m_Handle, &info) || (ULONG)info.dwCursorPosition.Y < lines) {
        return false;
    }
    COORD start = {0, (SHORT)(info.dwCursorPosition.Y - lines)};
    // Blank what was there, so a shorter table leaves nothing behind.
    DWORD written = 0;
    FillConsoleOutputCharacterW(m_Handle, L' ', (DWORD)info.dwSize.X * lines, start, &written);
    return SetConsoleCursorPosition(m_Handle, start) != FALSE;
}
