#include "Help.h"

#include "Text.h"

namespace {

const WCHAR kOverview[] = L"usage: blnkctl COMMAND [ARGUMENTS]\n"
                          L"\n"
                          L"The Brisklink ports of this machine, for administrators.\n"
                          L"\n"
                          L"commands:\n"
                          L"  list                      every present port: name, open state, bytes, settings\n"
                          L"  watch [--interval MS] [--count N]\n"
                          L"                            the byte counters, refreshed, with bytes per second\n"
                          L"  rename NAME               gives the port a new COM name at once (through setup.dll)\n"
                          L"  log on PATH | log off     the driver's file log\n"
                          L"  portname NAME | --clear   the driver-wide port name every start applies\n"
                          L"\n"
                          L"'blnkctl COMMAND --help' describes one command.\n"
                          L"\n"
                          L"exit codes:\n"
                          L"  0  done\n"
                          L"  1  the operation failed (the message says why)\n"
                          L"  2  wrong arguments\n"
                          L"  3  the driver is not loaded, or not installed\n"
                          L"  4  no Brisklink port is present\n"
                          L"  5  access denied: run blnkctl from an elevated prompt\n"
                          L"  6  setup.dll (beside blnkctl.exe) is missing or unusable\n";

const WCHAR kList[] = L"usage: blnkctl list\n"
                      L"\n"
                      L"Lists every present port: its COM name, friendly name, whether a program\n"
                      L"has it open, the bytes received and sent since the driver started it, its\n"
                      L"baud rate and line control (data bits, parity, stop bits) and the USB\n"
                      L"vendor and product ids. Asks the driver through \\\\.\\BLNKControl, so it\n"
                      L"works while another program holds the port. A value the driver cannot\n"
                      L"give is shown as -.\n";

const WCHAR kWatch[] = L"usage: blnkctl watch [--interval MS] [--count N]\n"
                       L"\n"
                       L"Shows the open state and byte counters of every present port, refreshed\n"
                       L"every MS milliseconds (1000; 50 to 3600000), with the bytes per second\n"
                       L"since the previous refresh, until Ctrl+C, or N refreshes when --count is\n"
                       L"given. On a console the table is rewritten in place.\n";

const WCHAR kRename[] = L"usage: blnkctl rename NAME\n"
                        L"\n"
                        L"Gives the port the COM name NAME (for example COM4) with SetupPortName\n"
                        L"from setup.dll, which must lie beside blnkctl.exe: the port's PortName,\n"
                        L"the COM name arbiter's reservation and the friendly name follow, and a\n"
                        L"running driver re-creates the port's link at once. Reports the old and\n"
                        L"the new name. Needs an elevated prompt.\n";

const WCHAR kLog[] = L"usage: blnkctl log on PATH | blnkctl log off\n"
                     L"\n"
                     L"Sets (on) or removes (off) the FileLog value of\n"
                     L"HKLM\\SYSTEM\\CurrentControlSet\\Services\\Brisklink\\Parameters: the file,\n"
                     L"a full path such as C:\\logs\\brisklink.log, to which the driver appends\n"
                     L"its notable events. The driver reads it when it loads. Needs an elevated\n"
                     L"prompt.\n";

const WCHAR kPortName[] = L"usage: blnkctl portname NAME | blnkctl portname --clear\n"
                          L"\n"
                          L"Sets or removes the PortName value of\n"
                          L"HKLM\\SYSTEM\\CurrentControlSet\\Services\\Brisklink\\Parameters: the COM\n"
                          L"name the driver gives the port at each start, replacing a name 'rename'\n"
                          L"gave it. Without it, the port keeps its own name. Takes effect at the\n"
                          L"port's next start. Needs an elevated prompt.\n";

PCWSTR HelpText(Command command)
{
    switch (command) {
    case Command::List:
        return kList;
    case Command::Watch:
        return kWatch;
    case Command::Rename:
        return kRename;
    case Command::Log:
        return kLog;
    case Command::PortName:
        return kPortName;
    case Command::None:
        break;
    }
    return kOverview;
}

}  // namespace

void WriteHelp(CTextSink& out, Command command)
{
    PCWSTR text = HelpText(command);
    out.Write(text, TextLength(text));
}

void WriteUsageError(CTextSink& err, Command command, PCWSTR why)
{
    CText line;
    line.Add(L"blnkctl: ").Add(why).Line(err);
    line.Add(L"see 'blnkctl");
    if (command != Command::None) {
        line.Add(L" ").Add(CommandName(command));
    }
    line.Add(L" --help'").Line(err);
}
