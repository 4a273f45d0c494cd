#include "support/UnicodeString.h"

#include "core/Pool.h"
#include "core/PoolTags.h"

namespace {

// The largest buffer a UNICODE_STRING can describe with an even length.
const SIZE_T kMaxStringBytes = 0xFFFE;

SIZE_T CountChars(const WCHAR* text, SIZE_T limit)
{
    SIZE_T n = 0;
    while (n < limit && text[n] != 0) {
        n++;
    }
    return n;
}

}  // namespace

CUnicodeString::CUnicodeString(POOL_TYPE poolType) : m_PoolType(poolType)
{
    m_String.Length = 0;
    m_String.MaximumLength = 0;
    m_String.Buffer = NULL;
}

CUnicodeString::CUnicodeString(const UNICODE_STRING& source) : m_PoolType(NonPagedPool)
{
    m_String.Length = 0;
    m_String.MaximumLength = 0;
    m_String.Buffer = NULL;
    if (source.MaximumLength != 0 && Allocate(source.MaximumLength)) {
        Copy(&m_String, source);
    }
}

CUnicodeString::CUnicodeString(PCWSTR text) : m_PoolType(PagedPool)
{
    m_String.Length = 0;
    m_String.MaximumLength = 0;
    m_String.Buffer = NULL;
    if (text != NULL) {
        AssignChars(text, kMaxStringBytes / sizeof(WCHAR));
    }
}

CUnicodeString::~CUnicodeString()
{
    Clear();
}

void CUnicodeString::Clear()
{
    FreeBuffer(&m_String);
}

void CUnicodeString::FreeBuffer(UNICODE_STRING* s)
{
    if (s->Buffer != NULL) {
        PoolFree(s->Buffer);
    }
    s->Buffer = NULL;
    s->Length = 0;
    s->MaximumLength = 0;
}

BOOLEAN CUnicodeString::Allocate(SIZE_T bytes)
{
    Clear();
    // A length the 16-bit fields cannot hold is treated like a failed allocation.
    if (bytes == 0 || bytes > MAXUSHORT) {
        return FALSE;
    }
    WCHAR* buffer = (WCHAR*)PoolAlloc(m_PoolType, bytes, kTagMemory);
    if (buffer == NULL) {
        return FALSE;
    }
    RtlZeroMemory(buffer, bytes);
    m_String.Buffer = buffer;
    m_String.MaximumLength = (USHORT)bytes;
    m_String.Length = 0;
    return TRUE;
}

void CUnicodeString::AssignChars(const WCHAR* text, SIZE_T chars)
{
    SIZE_T n = CountChars(text, chars);
    // n characters and a terminator must fit the 16-bit lengths.
    if (n * sizeof(WCHAR) > kMaxStringBytes - sizeof(WCHAR)) {
        Clear();
        return;
    }
    if (!Allocate((n + 1) * sizeof(WCHAR))) {
        return;
    }
    RtlCopyMemory(m_String.Buffer, text, n * sizeof(WCHAR));
    m_String.Length = (USHORT)(n * sizeof(WCHAR));
}

void CUnicodeString::Assign(const UNICODE_STRING& source)
{
    Clear();
    if (source.Length == 0) {
        return;
    }
    if ((SIZE_T)source.Length + sizeof(WCHAR) > kMaxStringBytes) {
        return;
    }
    if (Allocate((SIZE_T)source.Length + sizeof(WCHAR))) {
        Copy(&m_String, source);
    }
}

void CUnicodeString::Assign(PCWSTR text)
{
    if (text == NULL) {
        Clear();
        return;
    }
    AssignChars(text, kMaxStringBytes / sizeof(WCHAR));
}

void CUnicodeString::Append(const UNICODE_STRING& other)
{
    SIZE_T bytes = (SIZE_T)m_String.Length + other.Length + sizeof(WCHAR);
    UNICODE_STRING old = m_String;
    m_String.Buffer = NULL;
    m_String.Length = 0;
    m_String.MaximumLength = 0;

    if (bytes <= kMaxStringBytes && Allocate(bytes)) {
        Copy(&m_String, old);
        // RtlUnicodeStringCat rules: an invalid part leaves only the own text.
        if (IsValid(m_String) && IsValid(other)) {
            SIZE_T room = (m_String.MaximumLength - m_String.Length) / sizeof(WCHAR);
            SIZE_T chars = other.Length / sizeof(WCHAR);
            if (chars > room) {
                chars = room;
            }
            // An empty part may have no buffer at all (one whose allocation failed).
            if (chars != 0) {
                RtlCopyMemory(m_String.Buffer + m_String.Length / sizeof(WCHAR), other.Buffer, chars * sizeof(WCHAR));
            }
            m_String.Length = (USHORT)(m_String.Length + chars * sizeof(WCHAR));
        }
    }
    FreeBuffer(&old);
}

void CUnicodeString::Reserve(USHORT bytes)
{
    Clear();
    Allocate(bytes);
}

BOOLEAN CUnicodeString::IsValid(const UNICODE_STRING& s)
{
    if ((s.Length & 1) != 0 || (s.MaximumLength & 1) != 0) {
        return FALSE;
    }
    if (s.Length > s.MaximumLength || s.MaximumLength > kMaxStringBytes) {
        return FALSE;
    }
    if (s.Buffer == NULL && (s.Length != 0 || s.MaximumLength != 0)) {
        return FALSE;
    }
    return TRUE;
}

NTSTATUS CUnicodeString::Copy(UNICODE_STRING* destination, const UNICODE_STRING& source)
{
    if (!IsValid(*destination)) {
        return STATUS_INVALID_PARAMETER;
    }
    if (!IsValid(source)) {
        destination->Length = 0;
        return STATUS_INVALID_PARAMETER;
    }
    SIZE_T room = destination->MaximumLength / sizeof(WCHAR);
    SIZE_T chars = source.Length / sizeof(WCHAR);
    SIZE_T copied = chars < room ? chars : room;
    if (copied != 0) {
        RtlMoveMemory(destination->Buffer, source.Buffer, copied * sizeof(WCHAR));
    }
    destination->Length = (USHORT)(copied * sizeof(WCHAR));
    return copied < chars ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

void CUnicodeString::Detach(UNICODE_STRING* target)
{
    *target = m_String;
    m_String.Buffer = NULL;
    m_String.Length = 0;
    m_String.MaximumLength = 0;
}
