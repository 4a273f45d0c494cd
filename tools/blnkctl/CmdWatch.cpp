// blnkctl watch: the list's counters again and again, until Ctrl+C or --count.
#include "Commands.h"
#include "Survey.h"
#include "Table.h"
#include "Text.h"

namespace {

// Set by the console's Ctrl+C handler, which runs on a thread of its own.
HANDLE g_StopEvent = NULL;

BOOL WINAPI OnConsoleCtrl(DWORD ctrlType)
{
    if (ctrlType == CTRL_C_EVENT || ctrlType == CTRL_BREAK_EVENT) {
        SetEvent(g_StopEvent);
        return TRUE;
    }
    return FALSE;
}

// Two surveys, swapped each round: the one before gives the rates.
struct CWatchState {
    CSurvey surveys[2];
};

}  // namespace

int RunWatch(const CArguments& args, CTextSink& out, CTextSink& err)
{
    CWatchState* state = static_cast<CWatchState*>(AllocZeroed(sizeof(CWatchState)));
    g_StopEvent = CreateEventW(NULL, TRUE, FALSE, NULL);
    if (state == nullptr || g_StopEvent == NULL) {
        FreeBlock(state);
        if (g_StopEvent != NULL) {
            CloseHandle(g_StopEvent);
        }
        return Complain(err, kExitFailed, L"out of memory");
    }
    SetConsoleCtrlHandler(OnConsoleCtrl, TRUE);

    CControlLink link;
    int code = kExitOk;
    ULONG lines = 0;
    DWORD lastTick = 0;
    for (ULONG round = 0; args.count == 0 || round < args.count; round++) {
        CSurvey& now = state->surveys[round % 2];
        CSurvey* before = round > 0 ? &state->surveys[(round + 1) % 2] : nullptr;
        code = TakeSurvey(&now, link, err);
        if (code != kExitOk) {
            break;
        }
        if (!now.driverLoaded) {
            code = Complain(err, kExitNoDriver, kDriverNotLoaded);
            break;
        }
        DWORD tick = GetTickCount();
        // On a console the table replaces the previous one; elsewhere each
        // refresh follows the last, after a blank line.
        if (round > 0 && !out.Rewind(lines)) {
            out.Write(L"\n", 1);
        }
        lines = WriteWatchTable(out, now, before, tick - lastTick);
        lastTick = tick;
        bool last = args.count != 0 && round + 1 == args.count;
        if (last || WaitForSingleObject(g_StopEvent, args.intervalMs) == WAIT_OBJECT_0) {
            break;
        }
        // The driver may have been unloaded: a fresh handle each round finds out.
        link.Close();
    }

    SetConsoleCtrlHandler(OnConsoleCtrl, FALSE);
    CloseHandle(g_StopEvent);
    g_StopEvent = NULL;
    FreeBlock(state);
    return code;
}
