// The optional text log of notable events (a port opened or closed, naming
// failures): one line per event appended to the file the service's
// Parameters value "FileLog" names. Every device object has its own
// CTraceLog; all of them write to the same file and take turns through one
// named event. Write and Configure run at PASSIVE_LEVEL only.
#pragma once

#include "support/UnicodeString.h"

class CTraceLog : public CTraceable {
public:
    CTraceLog();
    ~CTraceLog();

    // Turns the log on when the service's Parameters key holds a REG_SZ
    // "FileLog"; otherwise it stays off. Called once, by the owner's
    // constructor: a later change of the value counts for later devices.
    void Configure();
    // Opens (or creates) the named event every writer takes turns with.
    void OpenLogEvent();
    // Appends one line: the UTC time as 14 digits, " - ", the message (at
    // most 511 characters, narrow printf rules: %S is a wide string), CR LF.
    // Does nothing while the log is off.
    void Write(const char* format, ...);

    PKEVENT m_Event;  // null when the log is off or the event could not be had
    HANDLE m_EventHandle;
    CUnicodeString m_Path;  // the file's NT path; empty: the log is off

private:
    CTraceLog(const CTraceLog&);
    CTraceLog& operator=(const CTraceLog&);
};
