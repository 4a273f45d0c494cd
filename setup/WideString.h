// CWideString: the library's one string type. An owned UTF-16 text with an
// explicit length, always NUL-terminated, on the process heap. Every
// operation that needs memory reports its failure with false and leaves the
// string as it was, so out-of-memory is an ordinary result, never a fault.
#pragma once

#include <windows.h>

class CWideString {
public:
    CWideString() = default;
    ~CWideString();
    CWideString(const CWideString&) = delete;
    CWideString& operator=(const CWideString&) = delete;

    // Makes room for `chars` characters plus the terminator; keeps the text.
    bool Reserve(ULONG chars);
    // Copies a NUL-terminated string.
    bool Assign(PCWSTR text);
    // printf-style formatting: %s takes a NUL-terminated UTF-16 string, %%
    // gives a percent sign; any other conversion fails.
    bool Format(PCWSTR format, ...);
    // Exact, case-sensitive comparison of the two texts.
    bool Equals(const CWideString& other) const;

    // The text, never null.
    PCWSTR Text() const { return m_Buffer ? m_Buffer : L""; }
    ULONG Length() const { return m_Length; }
    ULONG Capacity() const { return m_Capacity; }

    // For filling the room from outside (a registry read): Buffer() has
    // Capacity() + 1 characters; Seal(n) ends the text at the first NUL among
    // its first n characters, or after them.
    PWSTR Buffer() { return m_Buffer; }
    void Seal(ULONG chars);

private:
    PWSTR m_Buffer = nullptr;
    ULONG m_Length = 0;    // characters before the terminator
    ULONG m_Capacity = 0;  // characters the buffer holds besides the terminator
};

// Characters before the first NUL of `text`, counting at most `limit`.
ULONG WideLength(PCWSTR text, ULONG limit);
