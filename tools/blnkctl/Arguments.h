// The command line, checked and taken apart before anything is touched.
#pragma once

#include "Blnkctl.h"

enum class Command { None, List, Watch, Rename, Log, PortName };

struct CArguments {
    Command command = Command::None;
    bool help = false;
    // watch
    ULONG intervalMs = 1000;
    ULONG count = 0;  // 0: until interrupted
    // rename, portname: the name; log on: the file's path
    PCWSTR value = nullptr;
    // log off, portname --clear
    bool clear = false;
};

// The command's name as typed, for messages; "blnkctl" for none.
PCWSTR CommandName(Command command);

// Fills `args`; on a usage error returns false with the message in `why`
// (a constant text).
bool ParseArguments(int argc, const PCWSTR* argv, CArguments* args, PCWSTR* why);

// Bounds of the options, shown in the help too.
const ULONG kMinIntervalMs = 50;
const ULONG kMaxIntervalMs = 3600000;
