#include "log/TraceLog.h"

#include "core/Driver.h"
#include "support/LogFile.h"
#include "support/RegistryKey.h"

namespace {

const ULONG kMessageChars = 511;
const ULONG kStampChars = 17;       // "YYYYMMDDhhmmss - "
const LONGLONG kTurnWait = -10000;  // 1 ms, relative

// Writes `value` as `digits` decimal digits, zero-padded.
char* PutDigits(char* at, int value, int digits)
{
    for (int i = digits - 1; i >= 0; i--) {
        at[i] = (char)('0' + value % 10);
        value /= 10;
    }
    return at + digits;
}

}  // namespace

CTraceLog::CTraceLog() : m_Event(NULL), m_EventHandle(NULL), m_Path(PagedPool) {}

CTraceLog::~CTraceLog()
{
    if (m_Event != NULL) {
        ZwClose(m_EventHandle);
        m_Event = NULL;
        m_EventHandle = NULL;
    }
}

void CTraceLog::Configure()
{
    PAGED_CODE();
    CUnicodeString keyPath(g_RegistryPath);
    keyPath.Append(*CUnicodeString(L"\\Parameters").Get());
    CRegistryKey key;
    if (!NT_SUCCESS(key.Open(keyPath, GENERIC_READ))) {
        return;
    }
    CUnicodeString name(L"FileLog");
    CUnicodeString file(PagedPool);
    if (!NT_SUCCESS(key.QueryString(name, file)) || file.IsEmpty()) {
        return;
    }
    OpenLogEvent();
    m_Path.Assign(L"\\DosDevices\\Global\\");
    m_Path.Append(file.Value());
}

void CTraceLog::OpenLogEvent()
{
    PAGED_CODE();
    if (m_Event == NULL) {
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, L"\\BaseNamedObjects\\NivexLog");
        m_Event = IoCreateSynchronizationEvent(&name, &m_EventHandle);
    }
}

void CTraceLog::Write(const char* format, ...)
{
    PAGED_CODE();
    if (m_Path.IsEmpty()) {
        return;
    }
    LARGE_INTEGER now;
    TIME_FIELDS time;
    KeQuerySystemTime(&now);
    RtlTimeToTimeFields(&now, &time);

    // The whole line is composed first and appended with one write, so that
    // lines never interleave, even when a writer does not get its turn.
    char line[kStampChars + kMessageChars + 3];
    char* at = PutDigits(line, time.Year, 4);
    at = PutDigits(at, time.Month, 2);
    at = PutDigits(at, time.Day, 2);
    at = PutDigits(at, time.Hour, 2);
    at = PutDigits(at, time.Minute, 2);
    at = PutDigits(at, time.Second, 2);
    *at++ = ' ';
    *at++ = '-';
    *at++ = ' ';
    va_list args;
    va_start(args, format);
    int n = _vsnprintf(at, kMessageChars, format, args);
    va_end(args);
    if (n < 0 || (ULONG)n >= kMessageChars) {
        at[kMessageChars] = 0;  // cut at 511 characters
    }
    ULONG length = kStampChars;
    while (line[length] != 0) {
        length++;
    }
    line[length++] = '\r';
    line[length++] = '\n';

    if (m_Event != NULL) {
        // A writer that does not get its turn within 1 ms writes anyway.
        LARGE_INTEGER wait;
        wait.QuadPart = kTurnWait;
        KeWaitForSingleObject(m_Event, Executive, KernelMode, FALSE, &wait);
    }
    CLogFile file;
    if (NT_SUCCESS(file.Open(m_Path.Value().Buffer))) {
        file.Write(line, length);
        file.Close();
    }
    if (m_Event != NULL) {
        KeSetEvent(m_Event, 0, FALSE);
    }
}
