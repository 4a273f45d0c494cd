// The DLL's entry point. setup.dll links no C runtime, so nothing runs
// before this: the library has no global objects to construct and keeps no
// state between calls, and there is nothing to set up or tear down.
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved)
{
    if (reason == DLL_PROCESS_ATTACH) {
        // No per-thread work: spare the loader the thread notifications.
        DisableThreadLibraryCalls(instance);
    }
    return TRUE;
}
