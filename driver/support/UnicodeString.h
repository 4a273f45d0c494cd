// A counted wide string that owns its pool buffer ("EMEM"). Every buffer it
// allocates is zeroed and keeps at least one zero character behind the text
// (except the copy of a UNICODE_STRING, which takes the source's
// MaximumLength). Allocation failure leaves the string empty, without a buffer.
// Not locked: owners that share one guard it themselves.
#pragma once

#include "core/RefObject.h"

class CUnicodeString : public CTraceable {
public:
    explicit CUnicodeString(POOL_TYPE poolType = NonPagedPool);
    // Copies into a NonPagedPool buffer of the source's MaximumLength.
    explicit CUnicodeString(const UNICODE_STRING& source);
    // Copies zero-terminated text (null allowed) into a PagedPool buffer.
    explicit CUnicodeString(PCWSTR text);
    ~CUnicodeString();

    void Assign(const UNICODE_STRING& source);
    void Assign(PCWSTR text);
    // Always reallocates: own text + other text + a terminator.
    void Append(const UNICODE_STRING& other);
    // Replaces the buffer by a zeroed, empty one of `bytes` bytes.
    void Reserve(USHORT bytes);

    // The rules of RtlUnicodeStringCopy: no terminator is written.
    static NTSTATUS Copy(UNICODE_STRING* destination, const UNICODE_STRING& source);
    static BOOLEAN IsValid(const UNICODE_STRING& s);
    // Frees a buffer this class allocated and empties the string.
    static void FreeBuffer(UNICODE_STRING* s);

    // Hands the string over to `target`; this object is left empty and frees nothing.
    void Detach(UNICODE_STRING* target);

    BOOLEAN IsEmpty() const { return m_String.Length == 0; }
    UNICODE_STRING* Get() { return &m_String; }
    const UNICODE_STRING& Value() const { return m_String; }

    POOL_TYPE m_PoolType;
    UNICODE_STRING m_String;

private:
    CUnicodeString(const CUnicodeString&);
    CUnicodeString& operator=(const CUnicodeString&);

    // Frees the old buffer; allocates a zeroed one of `bytes` (empty on failure).
    BOOLEAN Allocate(SIZE_T bytes);
    void Clear();
    // Assigns at most `chars` characters of text, stopping at a zero.
    void AssignChars(const WCHAR* text, SIZE_T chars);
};
