// blnkctl log on PATH | off, blnkctl portname NAME | --clear: values under the
// driver service's Parameters key, which the driver reads when it loads
// (FileLog) and at every port start (PortName).
#include "Commands.h"
#include "Parameters.h"
#include "Survey.h"
#include "Text.h"

namespace {

const WCHAR kServiceKey[] = L"SYSTEM\\CurrentControlSet\\Services\\Brisklink";
const WCHAR kParametersKey[] = L"SYSTEM\\CurrentControlSet\\Services\\Brisklink\\Parameters";

// Opens (creating when needed) the Parameters key of an installed service.
int OpenParameters(HKEY* key, CTextSink& err)
{
    HKEY service = NULL;
    LONG e = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kServiceKey, 0, KEY_READ, &service);
    if (e == ERROR_FILE_NOT_FOUND) {
        return Complain(err, kExitNoDriver, L"the Brisklink driver is not installed (no Brisklink service)");
    }
    if (e != ERROR_SUCCESS) {
        return ComplainAbout(err, L"the Brisklink service's key does not open", (DWORD)e);
    }
    RegCloseKey(service);
    e = RegCreateKeyExW(HKEY_LOCAL_MACHINE, kParametersKey, 0, NULL, REG_OPTION_NON_VOLATILE,
                        KEY_QUERY_VALUE | KEY_SET_VALUE, NULL, key, NULL);
    if (e != ERROR_SUCCESS) {
        return ComplainAbout(err, L"the Brisklink service's Parameters key cannot be written", (DWORD)e);
    }
    return kExitOk;
}

int SetValue(PCWSTR valueName, PCWSTR text, CTextSink& err)
{
    HKEY key = NULL;
    int code = OpenParameters(&key, err);
    if (code != kExitOk) {
        return code;
    }
    LONG e = text != nullptr ? RegSetValueExW(key, valueName, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                                              (TextLength(text) + 1) * sizeof(WCHAR))
                             : RegDeleteValueW(key, valueName);
    RegCloseKey(key);
    // Clearing a value that is not there leaves what was asked for.
    if (e != ERROR_SUCCESS && !(text == nullptr && e == ERROR_FILE_NOT_FOUND)) {
        CText what;
        what.Add(text != nullptr ? L"cannot set " : L"cannot remove ").Add(valueName);
        return ComplainAbout(err, what.Text(), (DWORD)e);
    }
    return kExitOk;
}

}  // namespace

bool ReadServicePortName(PWSTR name, ULONG room)
{
    HKEY key = NULL;
    name[0] = 0;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kParametersKey, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) {
        return false;
    }
    DWORD type = 0;
    DWORD bytes = (room - 1) * sizeof(WCHAR);
    LONG e = RegQueryValueExW(key, L"PortName", NULL, &type, reinterpret_cast<LPBYTE>(name), &bytes);
    RegCloseKey(key);
    bool ok = e == ERROR_SUCCESS && type == REG_SZ;
    name[ok ? bytes / sizeof(WCHAR) : 0] = 0;
    return ok && name[0] != 0;
}

int RunParameters(const CArguments& args, CTextSink& out, CTextSink& err)
{
    bool log = args.command == Command::Log;
    PCWSTR valueName = log ? L"FileLog" : L"PortName";
    int code = SetValue(valueName, args.clear ? nullptr : args.value, err);
    if (code != kExitOk) {
        return code;
    }
    CText line;
    if (args.clear) {
        line.Add(valueName).Add(L" removed").Line(out);
    } else {
        line.Add(valueName).Add(L" = ").Add(args.value).Line(out);
    }
    WriteLine(out, log ? L"note: takes effect when the driver next loads (all ports removed, then one plugged in)"
                       : L"note: takes effect at each port's next start (unplug and replug, or restart the device)");
    return kExitOk;
}
