// blnkctl: the administrator's view of the ports. Lists every present port
// with its name and counters, watches the counters, renames the port through
// setup.dll and sets the driver's Parameters values.
//
// The same sources make the x86 blnkctl.exe (target/ holds its entry point)
// and, on the host, a library that tests call on the simulated machine. No
// C runtime: everything comes from kernel32, advapi32 and setupapi.
#pragma once

#include <windows.h>

// Exit codes, as `blnkctl --help` documents them.
enum BlnkctlExit : int {
    kExitOk = 0,
    kExitFailed = 1,         // the operation failed; the message says why
    kExitUsage = 2,          // wrong arguments
    kExitNoDriver = 3,       // the driver is not loaded (or not installed)
    kExitNoDevice = 4,       // no port is present
    kExitAccessDenied = 5,   // the caller lacks the rights (run elevated)
    kExitNoSetupLibrary = 6  // setup.dll, or its SetupPortName, is missing
};

// Where the program's text goes: the console, a file or a pipe, or a test's buffer.
class CTextSink {
public:
    virtual void Write(PCWSTR text, ULONG chars) = 0;
    // Moves back to the start of the last `lines` lines, so the next writes
    // replace them; false where output cannot be rewritten (a file, a pipe).
    virtual bool Rewind(ULONG lines) { return false; }

protected:
    ~CTextSink() = default;
};

// argv[0] is the program's name, as in main().
int BlnkctlMain(int argc, const PCWSTR* argv, CTextSink& out, CTextSink& err);
