// Loading images at run time (kernel32 subset): LoadLibraryW, LoadLibraryExW,
// GetProcAddress, FreeLibrary. The machine has no image loader: a program
// loads what sim::RegisterModule made known, as Windows would load a DLL
// file found beside the program. Each module counts its loads, and an
// HMODULE stays valid until its last FreeLibrary, as on Windows.
#include "rtl_text.h"
#include "w32_internal.h"

#include <sim/sim.h>

#include <map>

namespace sim {
namespace w32 {
namespace {

struct Module {
    std::vector<std::pair<std::string, void*>> exports;
    unsigned loads = 0;
};

std::mutex g_moduleLock;  // guards g_modules
// By upper-case file name. Nodes never move, so a module's address is its HMODULE.
std::map<std::u16string, Module> g_modules;

// The file name of a path ("C:\dir\setup.dll" -> "SETUP.DLL"); a name
// without an extension gets ".DLL", as LoadLibrary appends it.
std::u16string ModuleKey(const std::u16string& path)
{
    size_t slash = path.find_last_of(u"\\/");
    std::u16string name = rtl::Upcase(slash == std::u16string::npos ? path : path.substr(slash + 1));
    if (name.find(u'.') == std::u16string::npos)
        name += u".DLL";
    return name;
}

Module* LookupModuleLocked(HMODULE handle)
{
    for (auto& [name, module] : g_modules) {
        if (reinterpret_cast<HMODULE>(&module) == handle && module.loads > 0)
            return &module;
    }
    return nullptr;
}

}  // namespace
}  // namespace w32

void RegisterModule(const std::string& fileName, const std::vector<std::pair<std::string, void*>>& exports)
{
    std::lock_guard<std::mutex> lock(w32::g_moduleLock);
    w32::g_modules[w32::ModuleKey(Utf16(fileName))].exports = exports;
}

}  // namespace sim

using namespace sim;

extern "C" {

HMODULE LoadLibraryExW(LPCWSTR lpLibFileName, HANDLE hFile, DWORD dwFlags)
{
    w32::Enter("LoadLibraryExW");
    // hFile is reserved and must be NULL.
    if (lpLibFileName == nullptr || hFile != nullptr) {
        w32::Fail(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    std::lock_guard<std::mutex> lock(w32::g_moduleLock);
    auto it = w32::g_modules.find(w32::ModuleKey(w32::FromWide(lpLibFileName)));
    if (it == w32::g_modules.end()) {
        w32::Fail(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    it->second.loads++;
    return reinterpret_cast<HMODULE>(&it->second);
}

HMODULE LoadLibraryW(LPCWSTR lpLibFileName)
{
    return LoadLibraryExW(lpLibFileName, nullptr, 0);
}

FARPROC GetProcAddress(HMODULE hModule, LPCSTR lpProcName)
{
    w32::Enter("GetProcAddress");
    std::lock_guard<std::mutex> lock(w32::g_moduleLock);
    w32::Module* module = w32::LookupModuleLocked(hModule);
    if (module == nullptr) {
        w32::Fail(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    // Exports by name only: an ordinal (a value below 0x10000) finds nothing.
    if (reinterpret_cast<uintptr_t>(lpProcName) >= 0x10000) {
        for (auto& [name, address] : module->exports) {
            if (name == lpProcName)
                return reinterpret_cast<FARPROC>(address);
        }
    }
    w32::Fail(ERROR_PROC_NOT_FOUND);
    return nullptr;
}

BOOL FreeLibrary(HMODULE hLibModule)
{
    w32::Enter("FreeLibrary");
    std::lock_guard<std::mutex> lock(w32::g_moduleLock);
    w32::Module* module = w32::LookupModuleLocked(hLibModule);
    if (module == nullptr)
        return w32::Fail(ERROR_MOD_NOT_FOUND);
    module->loads--;
    return TRUE;
}

}  // extern "C"
