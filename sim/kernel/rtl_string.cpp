// Counted-string routines of the run-time library (RtlInitUnicodeString and
// the rest), with the length rules Windows documents for them.
#include "internal.h"
#include "rtl_text.h"

using sim::rtl::Upcase;

namespace {

// The longest counted string a USHORT can describe with room for a null:
// 0xFFFE bytes for UTF-16 (even), 0xFFFF for narrow text.
const USHORT kMaxUnicodeBytes = 0xFFFE;
const ULONG kAnsiTag = 0x67727453;  // 'Strg'

NTSTATUS ParseDigits(const std::u16string& text, ULONG base, PULONG value)
{
    size_t i = 0;
    while (i < text.size() && text[i] <= u' ')
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) {
        negative = text[i] == u'-';
        ++i;
    }
    if (base == 0) {
        base = 10;
        if (i + 1 < text.size() && text[i] == u'0') {
            char16_t p = text[i + 1];
            if (p == u'x' || p == u'X')
                base = 16;
            else if (p == u'o' || p == u'O')
                base = 8;
            else if (p == u'b' || p == u'B')
                base = 2;
            if (base != 10)
                i += 2;
        }
    } else if (base != 2 && base != 8 && base != 10 && base != 16) {
        return STATUS_INVALID_PARAMETER;
    }
    ULONG result = 0;
    for (; i < text.size(); ++i) {
        char16_t c = Upcase(text[i]);
        ULONG digit;
        if (c >= u'0' && c <= u'9')
            digit = c - u'0';
        else if (c >= u'A' && c <= u'F')
            digit = c - u'A' + 10;
        else
            break;
        if (digit >= base)
            break;
        result = result * base + digit;  // wraps modulo 2^32 as Windows does
    }
    *value = negative ? (ULONG)(0u - result) : result;
    return STATUS_SUCCESS;
}

}  // namespace

extern "C" {

VOID RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString)
{
    DestinationString->Buffer = const_cast<PWSTR>(SourceString);
    if (!SourceString) {
        DestinationString->Length = DestinationString->MaximumLength = 0;
        return;
    }
    size_t bytes = sim::rtl::WideLength(SourceString) * sizeof(WCHAR);
    if (bytes > kMaxUnicodeBytes - sizeof(WCHAR))
        bytes = kMaxUnicodeBytes - sizeof(WCHAR);
    DestinationString->Length = (USHORT)bytes;
    DestinationString->MaximumLength = (USHORT)(bytes + sizeof(WCHAR));
}

VOID RtlInitAnsiString(PANSI_STRING DestinationString, PCSTR SourceString)
{
    DestinationString->Buffer = const_cast<PCHAR>(SourceString);
    if (!SourceString) {
        DestinationString->Length = DestinationString->MaximumLength = 0;
        return;
    }
    size_t bytes = strlen(SourceString);
    if (bytes > MAXUSHORT - 1)
        bytes = MAXUSHORT - 1;
    DestinationString->Length = (USHORT)bytes;
    DestinationString->MaximumLength = (USHORT)(bytes + 1);
}

VOID RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString)
{
    if (!SourceString) {
        DestinationString->Length = 0;
        return;
    }
    USHORT bytes = SourceString->Length;
    if (bytes > DestinationString->MaximumLength)
        bytes = DestinationString->MaximumLength;
    bytes &= ~1;
    memmove(DestinationString->Buffer, SourceString->Buffer, bytes);
    DestinationString->Length = bytes;
    if (bytes + sizeof(WCHAR) <= DestinationString->MaximumLength)
        DestinationString->Buffer[bytes / sizeof(WCHAR)] = 0;
}

NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source)
{
    if (!Source || Source->Length == 0)
        return STATUS_SUCCESS;
    ULONG total = (ULONG)Destination->Length + Source->Length;
    if (total > Destination->MaximumLength)
        return STATUS_BUFFER_TOO_SMALL;
    memmove(reinterpret_cast<PCHAR>(Destination->Buffer) + Destination->Length, Source->Buffer, Source->Length);
    Destination->Length = (USHORT)total;
    if (total + sizeof(WCHAR) <= Destination->MaximumLength)
        Destination->Buffer[total / sizeof(WCHAR)] = 0;
    return STATUS_SUCCESS;
}

NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source)
{
    if (!Source)
        return STATUS_SUCCESS;
    UNICODE_STRING s;
    RtlInitUnicodeString(&s, Source);
    return RtlAppendUnicodeStringToString(Destination, &s);
}

}  // extern "C"

namespace {

LONG Compare(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive)
{
    size_t n1 = String1->Length / sizeof(WCHAR), n2 = String2->Length / sizeof(WCHAR);
    const char16_t* a = reinterpret_cast<const char16_t*>(String1->Buffer);
    const char16_t* b = reinterpret_cast<const char16_t*>(String2->Buffer);
    for (size_t i = 0; i < n1 && i < n2; ++i) {
        char16_t c1 = CaseInSensitive ? Upcase(a[i]) : a[i];
        char16_t c2 = CaseInSensitive ? Upcase(b[i]) : b[i];
        if (c1 != c2)
            return (LONG)c1 - (LONG)c2;
    }
    return (LONG)String1->Length - (LONG)String2->Length;
}

}  // namespace

extern "C" {

LONG RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive)
{
    sim::RequireIrql(PASSIVE_LEVEL, "RtlCompareUnicodeString");
    return Compare(String1, String2, CaseInSensitive);
}

// The case tables are pageable: callers must be below DISPATCH_LEVEL.
BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive)
{
    sim::RequireIrql(APC_LEVEL, "RtlEqualUnicodeString");
    if (String1->Length != String2->Length)
        return FALSE;
    return Compare(String1, String2, CaseInSensitive) == 0;
}

BOOLEAN RtlPrefixUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive)
{
    sim::RequireIrql(APC_LEVEL, "RtlPrefixUnicodeString");
    if (String1->Length > String2->Length)
        return FALSE;
    size_t n = String1->Length / sizeof(WCHAR);
    for (size_t i = 0; i < n; ++i) {
        char16_t c1 = String1->Buffer[i], c2 = String2->Buffer[i];
        if (CaseInSensitive) {
            c1 = Upcase(c1);
            c2 = Upcase(c2);
        }
        if (c1 != c2)
            return FALSE;
    }
    return TRUE;
}

WCHAR RtlUpcaseUnicodeChar(WCHAR SourceCharacter)
{
    return Upcase(SourceCharacter);
}

NTSTATUS RtlIntegerToUnicodeString(ULONG Value, ULONG Base, PUNICODE_STRING String)
{
    sim::RequireIrql(PASSIVE_LEVEL, "RtlIntegerToUnicodeString");
    if (Base == 0)
        Base = 10;
    if (Base != 2 && Base != 8 && Base != 10 && Base != 16)
        return STATUS_INVALID_PARAMETER;
    char digits[33];
    int n = 0;
    do {
        digits[n++] = "0123456789ABCDEF"[Value % Base];
        Value /= Base;
    } while (Value != 0);
    // The text and its terminating null must fit.
    if ((ULONG)(n + 1) * sizeof(WCHAR) > String->MaximumLength)
        return STATUS_BUFFER_OVERFLOW;
    for (int i = 0; i < n; ++i)
        String->Buffer[i] = (WCHAR)digits[n - 1 - i];
    String->Buffer[n] = 0;
    String->Length = (USHORT)(n * sizeof(WCHAR));
    return STATUS_SUCCESS;
}

NTSTATUS RtlUnicodeStringToInteger(PCUNICODE_STRING String, ULONG Base, PULONG Value)
{
    sim::RequireIrql(PASSIVE_LEVEL, "RtlUnicodeStringToInteger");
    if (!Value)
        return STATUS_ACCESS_VIOLATION;
    return ParseDigits(sim::rtl::ToU16(String), Base, Value);
}

NTSTATUS RtlUnicodeStringToAnsiString(PANSI_STRING DestinationString, PCUNICODE_STRING SourceString,
                                      BOOLEAN AllocateDestinationString)
{
    sim::RequireIrql(PASSIVE_LEVEL, "RtlUnicodeStringToAnsiString");
    size_t chars = SourceString->Length / sizeof(WCHAR);
    size_t needed = chars + 1;
    if (needed > MAXUSHORT)
        return STATUS_INVALID_PARAMETER_2;
    NTSTATUS status = STATUS_SUCCESS;
    if (AllocateDestinationString) {
        PCHAR buffer = static_cast<PCHAR>(ExAllocatePoolWithTag(PagedPool, needed, kAnsiTag));
        if (!buffer)
            return STATUS_NO_MEMORY;
        DestinationString->Buffer = buffer;
        DestinationString->MaximumLength = (USHORT)needed;
    } else if (needed > DestinationString->MaximumLength) {
        if (DestinationString->MaximumLength == 0)
            return STATUS_BUFFER_OVERFLOW;
        chars = DestinationString->MaximumLength - 1;
        status = STATUS_BUFFER_OVERFLOW;
    }
    for (size_t i = 0; i < chars; ++i)
        DestinationString->Buffer[i] = sim::rtl::WideToNarrow(SourceString->Buffer[i]);
    DestinationString->Buffer[chars] = 0;
    DestinationString->Length = (USHORT)chars;
    return status;
}

VOID RtlFreeAnsiString(PANSI_STRING AnsiString)
{
    sim::RequireIrql(PASSIVE_LEVEL, "RtlFreeAnsiString");
    if (AnsiString->Buffer)
        ExFreePoolWithTag(AnsiString->Buffer, kAnsiTag);
    AnsiString->Buffer = nullptr;
    AnsiString->Length = AnsiString->MaximumLength = 0;
}

int _stricmp(const char* a, const char* b)
{
    for (;; ++a, ++b) {
        int ca = (unsigned char)*a, cb = (unsigned char)*b;
        if (ca >= 'A' && ca <= 'Z')
            ca += 'a' - 'A';
        if (cb >= 'A' && cb <= 'Z')
            cb += 'a' - 'A';
        if (ca != cb || ca == 0)
            return ca - cb;
    }
}

}  // extern "C"
