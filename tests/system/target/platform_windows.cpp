// Windows (and Wine) under the portable system tests: the machine is the
// one the program runs on. The virtual bus runs as a kernel service and the
// port's driver package is installed before the tests start (under Wine by
// scripts/wine-run.sh), so setting up only checks that both are there; the
// machine, and the driver's state with it, outlive each test.
#include "system_test.h"
#include "wine_exceptions.h"

namespace systest {

namespace {

// The bus may still be starting when the first test runs.
const DWORD kBusWaitMs = 10000;

DWORD OpenBus()
{
    HANDLE h = CreateFileW(VBUS_USER_PATH, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    if (h == INVALID_HANDLE_VALUE) {
        return GetLastError();
    }
    CloseHandle(h);
    return ERROR_SUCCESS;
}

std::string DriverImagePath()
{
    char windows[MAX_PATH] = {};
    UINT n = GetSystemWindowsDirectoryA(windows, MAX_PATH);
    std::string path(windows, n < MAX_PATH ? n : 0);
    return path + "\\System32\\drivers\\Brisklink.sys";
}

}  // namespace

bool PlatformSetUp(std::string* why)
{
    DWORD error = ERROR_SUCCESS;
    if (!Eventually([&] { return (error = OpenBus()) == ERROR_SUCCESS; }, kBusWaitMs)) {
        *why = "the virtual bus's control device " VBUS_USER_PATH_A " does not open (error " + std::to_string(error) +
               "): the bus service is not running, or the driver host has ended (a fault, or a call "
               "of a routine the kernel does not implement)";
        return false;
    }
    std::string image = DriverImagePath();
    if (GetFileAttributesA(image.c_str()) == INVALID_FILE_ATTRIBUTES) {
        *why = "the port's driver package is not installed: " + image + " is missing";
        return false;
    }
    return true;
}

void PlatformTearDown()
{
    // The machine is not ours to stop; each test has unplugged its devices.
}

void PlatformCheckAtRest()
{
    // A driver's inner state is out of a program's sight here.
}

const char* PlatformSkipReason(const std::string& suite, const std::string& test)
{
    return RunningOnWine() ? WineSkipReason(suite, test) : nullptr;
}

bool OnSimulatedMachine()
{
    return false;
}

bool PlatformAlsoEnds(DWORD error)
{
    return RunningOnWine() && WineAlsoEnds(error);
}

bool PlatformCancelRacesCompletion()
{
    return RunningOnWine();
}

bool PlatformOpensBeforeTheDriver()
{
    return RunningOnWine();
}

bool AnsweredBeforeTheDriver(DWORD code, bool nullWithLength)
{
    if (!RunningOnWine()) {
        return false;
    }
    switch (code >> 16) {
    case 0x01:  // beep
    case 0x02:  // CD-ROM
    case 0x04:  // controller
    case 0x07:  // disk
    case 0x09:  // file system: DeviceIoControl sends these as NtFsControlFile, and Wine
                // answers some itself (measured: FSCTL_UNLOCK_VOLUME, FSCTL_GET_REPARSE_POINT,
                // FSCTL_SET_SPARSE succeed without reaching the driver)
    case 0x12:  // network
    case 0x1F:  // tape
    case 0x2D:  // mass storage
    case 0x33:  // DVD
        return true;
    default:
        return nullWithLength;
    }
}

}  // namespace systest
