// The user-mode handle table, the thread's last error, CloseHandle, UTF-8 as
// the ANSI code page, and the Win32 layer's start-up and tear-down.
#include "w32_internal.h"

#include <map>

namespace sim {
namespace w32 {
namespace {

std::mutex g_lock;  // guards g_handles and g_next; objects are released outside it
std::map<uintptr_t, std::shared_ptr<Object>> g_handles;
uintptr_t g_next = 0;
thread_local DWORD t_lastError = 0;

const char* TypeName(ObjType t)
{
    switch (t) {
    case ObjType::File:
        return "file";
    case ObjType::Event:
        return "event";
    case ObjType::DevInfo:
        return "device information set";
    default:
        return "registry key";
    }
}

}  // namespace

HANDLE InsertHandle(std::shared_ptr<Object> object)
{
    object->creator = GetCurrentThreadId();
    std::lock_guard<std::mutex> lock(g_lock);
    g_next += 4;
    uintptr_t value = 0x100 + g_next;
    g_handles[value] = std::move(object);
    return reinterpret_cast<HANDLE>(value);
}

std::vector<std::shared_ptr<Object>> RemoveHandlesOf(DWORD thread)
{
    std::vector<std::shared_ptr<Object>> taken;
    std::lock_guard<std::mutex> lock(g_lock);
    for (auto it = g_handles.begin(); it != g_handles.end();) {
        if (it->second->creator == thread) {
            taken.push_back(std::move(it->second));
            it = g_handles.erase(it);
        } else {
            ++it;
        }
    }
    return taken;
}

void CloseObject(const std::shared_ptr<Object>& object)
{
    if (object->type == ObjType::File)
        CloseFileHandle(std::static_pointer_cast<FileObj>(object));
    // Events, keys and device information sets go with their last reference.
}

std::shared_ptr<Object> LookupHandle(HANDLE h)
{
    std::lock_guard<std::mutex> lock(g_lock);
    auto it = g_handles.find(reinterpret_cast<uintptr_t>(h));
    return it == g_handles.end() ? nullptr : it->second;
}

std::shared_ptr<FileObj> LookupFile(HANDLE h)
{
    auto o = LookupHandle(h);
    return o && o->type == ObjType::File ? std::static_pointer_cast<FileObj>(o) : nullptr;
}

std::shared_ptr<EventObj> LookupEvent(HANDLE h)
{
    auto o = LookupHandle(h);
    return o && o->type == ObjType::Event ? std::static_pointer_cast<EventObj>(o) : nullptr;
}

std::shared_ptr<Object> RemoveHandle(HANDLE h)
{
    std::lock_guard<std::mutex> lock(g_lock);
    auto it = g_handles.find(reinterpret_cast<uintptr_t>(h));
    if (it == g_handles.end())
        return nullptr;
    auto o = std::move(it->second);
    g_handles.erase(it);
    return o;
}

void Enter(const char* routine)
{
    if (CurrentIrql() != PASSIVE_LEVEL)
        ReportViolation("WIN32_CALL_AT_RAISED_IRQL", std::string("thread '") + ThreadName() + "'", routine,
                        "user-mode code runs at PASSIVE_LEVEL; called at IRQL " + std::to_string((int)CurrentIrql()));
}

BOOL Fail(DWORD error)
{
    t_lastError = error;
    return FALSE;
}

BOOL FailStatus(NTSTATUS status)
{
    return Fail(ErrorFromStatus(status));
}

std::u16string FromAnsi(const char* text)
{
    return text ? Utf16(text) : std::u16string();
}

std::u16string FromWide(const wchar_t* text)
{
    std::u16string s;
    if (text)
        for (const wchar_t* p = text; *p; ++p)
            s += (char16_t)*p;
    return s;
}

std::string ToAnsi(const std::u16string& text)
{
    return Utf8(W(text), text.size());
}

}  // namespace w32

void Win32Startup()
{
    std::lock_guard<std::mutex> lock(w32::g_lock);
    w32::g_handles.clear();
    w32::g_next = 0;
    w32::FilesStartup();
    w32::HeapStartup();
    w32::SetupApiStartup();
}

void Win32Shutdown()
{
    std::map<uintptr_t, std::shared_ptr<w32::Object>> left;
    {
        std::lock_guard<std::mutex> lock(w32::g_lock);
        left.swap(w32::g_handles);
    }
    for (auto& [value, object] : left) {
        ReportViolation("WIN32_HANDLE_LEAKED",
                        std::string(w32::TypeName(object->type)) + " handle " + io::Hex((void*)value), "StopMachine",
                        "never closed; closed now, as at process exit");
        if (object->type == w32::ObjType::File)
            w32::CloseFileHandle(std::static_pointer_cast<w32::FileObj>(object));
    }
    left.clear();
    w32::FilesShutdown();
    w32::HeapShutdown();
}

}  // namespace sim

using namespace sim;

extern "C" DWORD GetLastError(void)
{
    return w32::t_lastError;
}
extern "C" void SetLastError(DWORD dwErrCode)
{
    w32::t_lastError = dwErrCode;
}

extern "C" BOOL CloseHandle(HANDLE hObject)
{
    w32::Enter("CloseHandle");
    // Keys close with RegCloseKey, device information sets with
    // SetupDiDestroyDeviceInfoList; either handle stays valid for those.
    auto object = w32::LookupHandle(hObject);
    if (!object || object->type == w32::ObjType::Key || object->type == w32::ObjType::DevInfo)
        return w32::Fail(ERROR_INVALID_HANDLE);
    object = w32::RemoveHandle(hObject);
    if (!object)
        return w32::Fail(ERROR_INVALID_HANDLE);  // closed by another thread meanwhile
    w32::CloseObject(object);
    return TRUE;
}

extern "C" UINT GetACP(void)
{
    return CP_UTF8;
}

extern "C" int MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCCH lpMultiByteStr, int cbMultiByte,
                                   LPWSTR lpWideCharStr, int cchWideChar)
{
    if (CodePage != CP_ACP && CodePage != CP_UTF8)
        return w32::Fail(ERROR_INVALID_PARAMETER);
    if (!lpMultiByteStr || cbMultiByte == 0)
        return w32::Fail(ERROR_INVALID_PARAMETER);
    std::string in =
        cbMultiByte < 0 ? std::string(lpMultiByteStr) + '\0' : std::string(lpMultiByteStr, (size_t)cbMultiByte);
    std::u16string out = Utf16(in);
    if (cbMultiByte < 0 && (out.empty() || out.back() != 0))
        out += u'\0';
    if (cchWideChar == 0)
        return (int)out.size();
    if ((size_t)cchWideChar < out.size())
        return w32::Fail(ERROR_INSUFFICIENT_BUFFER);
    for (size_t i = 0; i < out.size(); ++i)
        lpWideCharStr[i] = (WCHAR)out[i];
    return (int)out.size();
}

extern "C" int WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWCH lpWideCharStr, int cchWideChar,
                                   LPSTR lpMultiByteStr, int cbMultiByte, LPCCH lpDefaultChar, LPBOOL lpUsedDefaultChar)
{
    if (CodePage != CP_ACP && CodePage != CP_UTF8)
        return w32::Fail(ERROR_INVALID_PARAMETER);
    if (!lpWideCharStr || cchWideChar == 0)
        return w32::Fail(ERROR_INVALID_PARAMETER);
    size_t n = 0;
    if (cchWideChar < 0) {
        while (lpWideCharStr[n])
            ++n;
        ++n;  // the terminator is converted too
    } else {
        n = (size_t)cchWideChar;
    }
    std::string out = Utf8(lpWideCharStr, n);
    if (lpUsedDefaultChar)
        *lpUsedDefaultChar = FALSE;
    if (cbMultiByte == 0)
        return (int)out.size();
    if ((size_t)cbMultiByte < out.size())
        return w32::Fail(ERROR_INSUFFICIENT_BUFFER);
    memcpy(lpMultiByteStr, out.data(), out.size());
    return (int)out.size();
}
