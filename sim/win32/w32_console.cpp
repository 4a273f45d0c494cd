// Console control handlers (kernel32 subset): SetConsoleCtrlHandler, and the
// key press sim::RaiseConsoleCtrl stands for. As on Windows, the handlers
// form a list; the last one added runs first, on a thread the system creates
// for the event, and the first that returns TRUE ends the search. Adding a
// null handler makes the process ignore Ctrl+C.
#include "w32_internal.h"

#include <sim/sim.h>

#include <algorithm>
#include <thread>

namespace sim {
namespace w32 {
namespace {

std::mutex g_consoleLock;  // guards the two below
std::vector<PHANDLER_ROUTINE> g_handlers;
bool g_ignoreCtrlC = false;

}  // namespace
}  // namespace w32

bool RaiseConsoleCtrl(ULONG ctrlType)
{
    std::vector<PHANDLER_ROUTINE> handlers;
    {
        std::lock_guard<std::mutex> lock(w32::g_consoleLock);
        if (ctrlType == CTRL_C_EVENT && w32::g_ignoreCtrlC)
            return true;
        handlers.assign(w32::g_handlers.rbegin(), w32::g_handlers.rend());
    }
    bool handled = false;
    std::thread event([&] {
        for (PHANDLER_ROUTINE handler : handlers) {
            if (handler(ctrlType)) {
                handled = true;
                break;
            }
        }
    });
    event.join();
    return handled;
}

}  // namespace sim

using namespace sim;

extern "C" BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE HandlerRoutine, BOOL Add)
{
    w32::Enter("SetConsoleCtrlHandler");
    std::lock_guard<std::mutex> lock(w32::g_consoleLock);
    if (HandlerRoutine == nullptr) {
        w32::g_ignoreCtrlC = Add != FALSE;
        return TRUE;
    }
    if (Add) {
        w32::g_handlers.push_back(HandlerRoutine);
        return TRUE;
    }
    // Removes the most recent registration of the routine; one never added is refused.
    auto it = std::find(w32::g_handlers.rbegin(), w32::g_handlers.rend(), HandlerRoutine);
    if (it == w32::g_handlers.rend())
        return w32::Fail(ERROR_INVALID_PARAMETER);
    w32::g_handlers.erase(std::next(it).base());
    return TRUE;
}
