#include "Survey.h"

#include "Text.h"

const WCHAR kDriverNotLoaded[] = L"the Brisklink driver is not loaded (\\\\.\\BLNKControl does not open)";

int Complain(CTextSink& err, int code, PCWSTR what, DWORD error)
{
    CText line;
    line.Add(L"blnkctl: ").Add(what);
    if (error != ERROR_SUCCESS) {
        line.Add(L" (error ").Number(error).Add(L")");
    }
    line.Line(err);
    return code;
}

int ComplainAbout(CTextSink& err, PCWSTR what, DWORD error)
{
    if (error == ERROR_ACCESS_DENIED) {
        Complain(err, kExitAccessDenied, what, error);
        return Complain(err, kExitAccessDenied, L"access denied: run blnkctl from an elevated prompt");
    }
    return Complain(err, kExitFailed, what, error);
}

int TakeSurvey(CSurvey* survey, CControlLink& link, CTextSink& err)
{
    DWORD error = ListPorts(&survey->list);
    if (error != ERROR_SUCCESS) {
        return ComplainAbout(err, L"setupapi cannot list the Ports devices", error);
    }
    if (survey->list.count == 0) {
        return Complain(err, kExitNoDevice, L"no Brisklink port is present");
    }
    if (!link.IsOpen()) {
        error = link.Open();
        if (error != ERROR_SUCCESS && error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) {
            return ComplainAbout(err, L"the driver's control device \\\\.\\BLNKControl does not open", error);
        }
    }
    survey->driverLoaded = link.IsOpen();
    for (ULONG i = 0; i < survey->list.count; i++) {
        survey->status[i] = link.Query(survey->list.ports[i].driverKey);
    }
    return kExitOk;
}
