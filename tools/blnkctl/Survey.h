// One look at every present port: what setupapi lists and what the driver
// answers for each. The list and watch commands are made of these.
#pragma once

#include "ControlQueries.h"
#include "PortList.h"

struct CSurvey {
    CPortList list;
    CPortStatus status[CPortList::kMaxPorts];
    bool driverLoaded;  // \\.\BLNKControl opened
};

// Fills `survey`, opening `link` when it is not open. kExitOk, or an exit
// code with its message written to `err`: no port present, access denied,
// setupapi failing. A driver that is not loaded is not an error here: the
// ports are listed with every driver value unknown.
int TakeSurvey(CSurvey* survey, CControlLink& link, CTextSink& err);

// "blnkctl: <what> (error N)" on `err`; returns `code`.
int Complain(CTextSink& err, int code, PCWSTR what, DWORD error = ERROR_SUCCESS);
// The exit code and message for a Win32 error of `what`: access denied gets
// its own code and advice, everything else is a failure.
int ComplainAbout(CTextSink& err, PCWSTR what, DWORD error);

extern const WCHAR kDriverNotLoaded[];
