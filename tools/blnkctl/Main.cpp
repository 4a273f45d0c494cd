// BlnkctlMain: from the command line to a command and its exit code.
#include "Arguments.h"
#include "Commands.h"
#include "Help.h"

int BlnkctlMain(int argc, const PCWSTR* argv, CTextSink& out, CTextSink& err)
{
    CArguments args;
    PCWSTR why = nullptr;
    if (!ParseArguments(argc, argv, &args, &why)) {
        WriteUsageError(err, args.command, why);
        return kExitUsage;
    }
    if (args.help) {
        WriteHelp(out, args.command);
        return kExitOk;
    }
    switch (args.command) {
    case Command::List:
        return RunList(out, err);
    case Command::Watch:
        return RunWatch(args, out, err);
    case Command::Rename:
        return RunRename(args.value, out, err);
    case Command::Log:
    case Command::PortName:
        return RunParameters(args, out, err);
    case Command::None:
        break;
    }
    WriteHelp(out, Command::None);
    return kExitUsage;
}
