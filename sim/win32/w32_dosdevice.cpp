// QueryDosDeviceW (kernel32 subset): what an MS-DOS device name ("COM4")
// stands for, read from the DOS device directory without opening anything,
// so a program can see a port's name without taking the port. Only the
// query of one name is served; listing every name (a null name) is refused
// with ERROR_NOT_SUPPORTED.
#include "w32_internal.h"

#include <sim/sim.h>

extern "C" DWORD QueryDosDeviceW(LPCWSTR lpDeviceName, LPWSTR lpTargetPath, DWORD ucchMax)
{
    using namespace sim;
    w32::Enter("QueryDosDeviceW");
    if (lpDeviceName == nullptr) {
        w32::Fail(ERROR_NOT_SUPPORTED);
        return 0;
    }
    std::u16string name = w32::FromWide(lpDeviceName);
    if (name.empty() || name.find(u'\\') != std::u16string::npos) {
        w32::Fail(ERROR_FILE_NOT_FOUND);
        return 0;
    }
    std::u16string path = u"\\??\\" + name;
    std::string target = SymbolicLinkTarget(reinterpret_cast<const wchar_t*>(path.c_str()));
    if (target.empty()) {
        w32::Fail(ERROR_FILE_NOT_FOUND);
        return 0;
    }
    // A list of targets: each terminated, the list by one more NUL.
    std::u16string list = Utf16(target);
    list.push_back(0);
    list.push_back(0);
    if (lpTargetPath == nullptr || list.size() > ucchMax) {
        w32::Fail(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    for (size_t i = 0; i < list.size(); i++)
        lpTargetPath[i] = (WCHAR)list[i];
    return (DWORD)list.size();
}
