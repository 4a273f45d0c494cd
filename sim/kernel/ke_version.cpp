// The operating system version the machine reports, and process/thread ids.
#include "ke_internal.h"

#include <atomic>
#include <sys/syscall.h>
#include <unistd.h>

namespace sim {
namespace {

std::atomic<ULONG> g_major{10}, g_minor{0}, g_build{19045};

// The build number of the final release of each version, so that code which
// checks builds sees a consistent triple.
ULONG BuildFor(ULONG major, ULONG minor)
{
    if (major == 5 && minor == 1)
        return 2600;
    if (major == 5 && minor == 2)
        return 3790;
    if (major == 6 && minor == 0)
        return 6002;
    if (major == 6 && minor == 1)
        return 7601;
    if (major == 6 && minor == 2)
        return 9200;
    if (major == 6 && minor == 3)
        return 9600;
    return 19045;
}

}  // namespace

void SetOsVersion(ULONG major, ULONG minor)
{
    g_major = major;
    g_minor = minor;
    g_build = BuildFor(major, minor);
}

namespace ke {
void VersionStartup(const MachineOptions& options)
{
    SetOsVersion(options.osMajor, options.osMinor);
}
}  // namespace ke

}  // namespace sim

extern "C" {

BOOLEAN PsGetVersion(PULONG MajorVersion, PULONG MinorVersion, PULONG BuildNumber, PUNICODE_STRING CSDVersion)
{
    if (MajorVersion)
        *MajorVersion = sim::g_major;
    if (MinorVersion)
        *MinorVersion = sim::g_minor;
    if (BuildNumber)
        *BuildNumber = sim::g_build;
    if (CSDVersion) {
        // No service pack: an empty string.
        CSDVersion->Length = 0;
        if (CSDVersion->Buffer && CSDVersion->MaximumLength >= sizeof(WCHAR))
            CSDVersion->Buffer[0] = 0;
    }
    return FALSE;  // a free (retail) build
}

NTSTATUS RtlGetVersion(PRTL_OSVERSIONINFOW VersionInformation)
{
    if (!VersionInformation || VersionInformation->dwOSVersionInfoSize < sizeof(RTL_OSVERSIONINFOW))
        return STATUS_INVALID_PARAMETER;
    VersionInformation->dwMajorVersion = sim::g_major;
    VersionInformation->dwMinorVersion = sim::g_minor;
    VersionInformation->dwBuildNumber = sim::g_build;
    VersionInformation->dwPlatformId = 2;  // VER_PLATFORM_WIN32_NT
    VersionInformation->szCSDVersion[0] = 0;
    return STATUS_SUCCESS;
}

HANDLE PsGetCurrentProcessId(void)
{
    return (HANDLE)(ULONG_PTR)getpid();
}
HANDLE PsGetCurrentThreadId(void)
{
    return (HANDLE)(ULONG_PTR)syscall(SYS_gettid);
}

}  // extern "C"
