// blnkctl list
#include "Commands.h"
#include "Survey.h"
#include "Table.h"

int RunList(CTextSink& out, CTextSink& err)
{
    CSurvey* survey = static_cast<CSurvey*>(AllocZeroed(sizeof(CSurvey)));
    if (survey == nullptr) {
        return Complain(err, kExitFailed, L"out of memory");
    }
    CControlLink link;
    int code = TakeSurvey(survey, link, err);
    if (code == kExitOk) {
        WriteListTable(out, *survey);
        if (!survey->driverLoaded) {
            code = Complain(err, kExitNoDriver, kDriverNotLoaded);
        }
    }
    FreeBlock(survey);
    return code;
}
