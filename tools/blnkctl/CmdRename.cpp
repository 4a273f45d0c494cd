// blnkctl rename NAME: setup.dll's SetupPortName does the work, loaded at run
// time from beside the program, so that blnkctl.exe imports nothing but the
// system's DLLs and renames exactly as the installer does.
#include <brisklink_setup.h>

#include <setupapi.h>

#include "Commands.h"
#include "Parameters.h"
#include "PortList.h"
#include "Survey.h"
#include "Text.h"

namespace {

// Only the program's own folder is searched: a setup.dll planted in the
// current folder or on the PATH is never loaded.
HMODULE LoadSetupLibrary()
{
    return LoadLibraryExW(L"setup.dll", NULL, LOAD_LIBRARY_SEARCH_APPLICATION_DIR);
}

// Whether the caller may write the port's hardware key, as SetupPortName
// must: it answers only true or false, so the lack of rights is found here.
DWORD CheckWriteAccess(PCWSTR instance)
{
    const GUID ports = {0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
    HDEVINFO set = SetupDiGetClassDevsW(&ports, NULL, NULL, DIGCF_PRESENT);
    if (set == INVALID_HANDLE_VALUE) {
        return GetLastError();
    }
    DWORD error = ERROR_NO_MORE_ITEMS;
    SP_DEVINFO_DATA device;
    device.cbSize = sizeof(device);
    WCHAR id[200];
    for (DWORD i = 0; error == ERROR_NO_MORE_ITEMS && SetupDiEnumDeviceInfo(set, i, &device); i++) {
        if (SetupDiGetDeviceInstanceIdW(set, &device, id, 200, NULL) && TextEquals(id, instance)) {
            HKEY key = SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ | KEY_WRITE);
            error = key == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
            if (key != INVALID_HANDLE_VALUE) {
                RegCloseKey(key);
            }
        }
    }
    SetupDiDestroyDeviceInfoList(set);
    return error;
}

// The candidate's name after the call, read afresh.
void ReadNameAgain(PCWSTR instance, PWSTR name)
{
    CPortList* list = static_cast<CPortList*>(AllocZeroed(sizeof(CPortList)));
    name[0] = 0;
    if (list != nullptr && ListPorts(list) == ERROR_SUCCESS) {
        for (ULONG i = 0; i < list->count; i++) {
            if (TextEquals(list->ports[i].instance, instance)) {
                TextCopy(name, kPortNameRoom, list->ports[i].portName);
            }
        }
    }
    FreeBlock(list);
}

int Rename(const CPortEntry& port, PCWSTR newName, PFN_SETUP_PORT_NAME setupPortName, PWSTR after, CTextSink& out,
           CTextSink& err)
{
    DWORD error = CheckWriteAccess(port.instance);
    if (error != ERROR_SUCCESS) {
        return ComplainAbout(err, L"the port's hardware key cannot be written", error);
    }
    if (!setupPortName(newName)) {
        return Complain(err, kExitFailed, L"setup.dll's SetupPortName renamed nothing");
    }
    ReadNameAgain(port.instance, after);
    CText line;
    line.Add(port.portName[0] != 0 ? port.portName : L"(no name)").Add(L" -> ").Add(after);
    line.Add(L"  (").Add(port.instance).Add(L")").Line(out);

    // The port's DOS name, looked up without opening (and so without taking) the port.
    CControlLink link;
    WCHAR target[128];
    if (link.Open() != ERROR_SUCCESS) {
        WriteLine(out, L"note: the driver is not loaded: the port takes its new name at its next start");
    } else if (QueryDosDeviceW(after, target, 128) != 0) {
        line.Add(after).Add(L" now leads to ").Add(target).Line(out);
    } else {
        line.Add(L"note: the driver did not re-create the port's link: ").Add(after);
        line.Add(L" takes effect at the port's next start").Line(out);
    }
    // A driver-wide name overrides the port's own at every start.
    WCHAR global[kPortNameRoom];
    if (ReadServicePortName(global, kPortNameRoom) && !TextEquals(global, after)) {
        line.Add(L"note: the driver-wide PortName ").Add(global);
        line.Add(L" replaces this name at the port's next start ('blnkctl portname --clear' keeps it)").Line(out);
    }
    return kExitOk;
}

}  // namespace

int RunRename(PCWSTR newName, CTextSink& out, CTextSink& err)
{
    CPortList* list = static_cast<CPortList*>(AllocZeroed(sizeof(CPortList)));
    PWSTR after = static_cast<PWSTR>(AllocZeroed(kPortNameRoom * sizeof(WCHAR)));
    if (list == nullptr || after == nullptr) {
        FreeBlock(list);
        FreeBlock(after);
        return Complain(err, kExitFailed, L"out of memory");
    }
    int code = kExitOk;
    DWORD error = ListPorts(list);
    const CPortEntry* port = error == ERROR_SUCCESS ? RenameCandidate(*list) : nullptr;
    HMODULE setup = NULL;
    if (error != ERROR_SUCCESS) {
        code = ComplainAbout(err, L"setupapi cannot list the Ports devices", error);
    } else if (port == nullptr) {
        code = Complain(err, kExitNoDevice,
                        list->count == 0 ? L"no Brisklink port is present"
                                         : L"no present Brisklink port has a readable PortName to replace");
    } else if ((setup = LoadSetupLibrary()) == NULL) {
        code = Complain(err, kExitNoSetupLibrary, L"setup.dll does not load from blnkctl's folder", GetLastError());
    } else {
        // Through a function type without parameters, the one a pointer of any function type may pass through.
        FARPROC proc = GetProcAddress(setup, "SetupPortName");
        auto setupPortName = reinterpret_cast<PFN_SETUP_PORT_NAME>(reinterpret_cast<void (*)(void)>(proc));
        code = setupPortName == nullptr
                   ? Complain(err, kExitNoSetupLibrary, L"setup.dll has no SetupPortName", GetLastError())
                   : Rename(*port, newName, setupPortName, after, out, err);
        FreeLibrary(setup);
    }
    FreeBlock(list);
    FreeBlock(after);
    return code;
}
