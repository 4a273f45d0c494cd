#include "Arguments.h"

#include <brisklink_setup.h>

#include "Text.h"

namespace {

struct CommandWord {
    PCWSTR word;
    Command command;
};

const CommandWord kCommands[] = {
    {L"list", Command::List}, {L"watch", Command::Watch},       {L"rename", Command::Rename},
    {L"log", Command::Log},   {L"portname", Command::PortName},
};

bool IsHelp(PCWSTR word)
{
    return TextEquals(word, L"--help") || TextEquals(word, L"-h") || TextEquals(word, L"/?");
}

// A port name the driver can make a link of: 1 to BLNK_MAX_PORT_NAME_CHARS
// characters, no path separator, no control character.
bool IsPortName(PCWSTR name)
{
    ULONG n = 0;
    for (; name[n] != 0; n++) {
        if (name[n] == L'\\' || name[n] == L'/' || name[n] < L' ' || n == BLNK_MAX_PORT_NAME_CHARS) {
            return false;
        }
    }
    return n > 0;
}

// "X:\..." only: the driver opens the log as \DosDevices\Global\ + PATH.
bool IsDrivePath(PCWSTR path)
{
    WCHAR drive = path[0];
    bool letter = (drive >= L'A' && drive <= L'Z') || (drive >= L'a' && drive <= L'z');
    return letter && path[1] == L':' && path[2] == L'\\' && path[3] != 0 && TextLength(path) < MAX_PATH;
}

bool ParseWatch(int argc, const PCWSTR* argv, int i, CArguments* args, PCWSTR* why)
{
    for (; i < argc; i++) {
        bool interval = TextEquals(argv[i], L"--interval");
        if (!interval && !TextEquals(argv[i], L"--count")) {
            *why = L"unknown option for watch";
            return false;
        }
        ULONG value = 0;
        if (i + 1 >= argc || !ParseDecimal(argv[i + 1], &value)) {
            *why = interval ? L"--interval needs a number of milliseconds" : L"--count needs a number";
            return false;
        }
        i++;
        if (interval) {
            if (value < kMinIntervalMs || value > kMaxIntervalMs) {
                *why = L"--interval must be 50 to 3600000 milliseconds";
                return false;
            }
            args->intervalMs = value;
        } else {
            if (value == 0) {
                *why = L"--count must be at least 1";
                return false;
            }
            args->count = value;
        }
    }
    return true;
}

// What follows the command word; `rest` arguments from argv[i] on.
bool ParseOperands(int argc, const PCWSTR* argv, int i, CArguments* args, PCWSTR* why)
{
    int rest = argc - i;
    switch (args->command) {
    case Command::List:
        if (rest != 0) {
            *why = L"list takes no arguments";
            return false;
        }
        return true;
    case Command::Watch:
        return ParseWatch(argc, argv, i, args, why);
    case Command::Rename:
        if (rest != 1) {
            *why = L"rename takes one port name";
            return false;
        }
        args->value = argv[i];
        if (!IsPortName(args->value)) {
            *why = L"a port name has 1 to 1024 characters and no \\ or /";
            return false;
        }
        return true;
    case Command::Log:
        if (rest == 1 && TextEquals(argv[i], L"off")) {
            args->clear = true;
            return true;
        }
        if (rest == 2 && TextEquals(argv[i], L"on")) {
            args->value = argv[i + 1];
            if (!IsDrivePath(args->value)) {
                *why = L"the log file needs a full path with a drive letter (C:\\logs\\brisklink.log)";
                return false;
            }
            return true;
        }
        *why = L"log takes 'on PATH' or 'off'";
        return false;
    case Command::PortName:
        if (rest == 1 && TextEquals(argv[i], L"--clear")) {
            args->clear = true;
            return true;
        }
        if (rest != 1) {
            *why = L"portname takes one port name or --clear";
            return false;
        }
        args->value = argv[i];
        if (!IsPortName(args->value)) {
            *why = L"a port name has 1 to 1024 characters and no \\ or /";
            return false;
        }
        return true;
    case Command::None:
        break;
    }
    return false;
}

}  // namespace

PCWSTR CommandName(Command command)
{
    for (const CommandWord& c : kCommands) {
        if (c.command == command) {
            return c.word;
        }
    }
    return L"blnkctl";
}

bool ParseArguments(int argc, const PCWSTR* argv, CArguments* args, PCWSTR* why)
{
    *args = CArguments();
    if (argc < 2) {
        *why = L"no command given";
        return false;
    }
    PCWSTR word = argv[1];
    if (IsHelp(word) || TextEquals(word, L"help")) {
        args->help = true;
        return true;
    }
    for (const CommandWord& c : kCommands) {
        if (TextEquals(word, c.word)) {
            args->command = c.command;
        }
    }
    if (args->command == Command::None) {
        *why = L"unknown command";
        return false;
    }
    // "--help" anywhere after the command asks for that command's help.
    for (int i = 2; i < argc; i++) {
        if (IsHelp(argv[i])) {
            args->help = true;
            return true;
        }
    }
    return ParseOperands(argc, argv, 2, args, why);
}
