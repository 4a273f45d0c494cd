// ZwQueryInformationProcess for the current process of the simulated machine:
// its image name (native and Win32 forms) and basic information.
#include "cm_registry.h"
#include "rtl_text.h"

#include <mutex>

namespace sim {
namespace {

std::mutex g_imageLock;
std::string g_image = "test.exe";

std::u16string ImagePath(bool win32)
{
    std::lock_guard<std::mutex> g(g_imageLock);
    return Utf16((win32 ? "C:\\Windows\\System32\\" : "\\Device\\HarddiskVolume1\\Windows\\System32\\") + g_image);
}

// A UNICODE_STRING followed by its text and a null, all in the caller's buffer.
NTSTATUS ReturnImageName(const std::u16string& path, PVOID out, ULONG length, PULONG returnLength)
{
    ULONG textBytes = (ULONG)path.size() * sizeof(WCHAR);
    ULONG required = sizeof(UNICODE_STRING) + textBytes + sizeof(WCHAR);
    if (returnLength)
        *returnLength = required;
    if (length < required)
        return STATUS_INFO_LENGTH_MISMATCH;
    auto* us = static_cast<PUNICODE_STRING>(out);
    PWSTR text = reinterpret_cast<PWSTR>(us + 1);
    memcpy(text, path.data(), textBytes);
    text[path.size()] = 0;
    us->Length = (USHORT)textBytes;
    us->MaximumLength = (USHORT)(textBytes + sizeof(WCHAR));
    us->Buffer = text;
    return STATUS_SUCCESS;
}

}  // namespace

void SetCurrentProcessImage(const std::string& imageName)
{
    std::lock_guard<std::mutex> g(g_imageLock);
    g_image = imageName;
}

void ResetProcessInformation()
{
    SetCurrentProcessImage("test.exe");
}

}  // namespace sim

extern "C" NTSTATUS ZwQueryInformationProcess(HANDLE ProcessHandle, PROCESSINFOCLASS ProcessInformationClass,
                                              PVOID ProcessInformation, ULONG ProcessInformationLength,
                                              PULONG ReturnLength)
{
    sim::RequireIrql(PASSIVE_LEVEL, "ZwQueryInformationProcess");
    if (ProcessHandle != NtCurrentProcess())
        return sim::HandleMismatchStatus(ProcessHandle);
    if (!ProcessInformation && ProcessInformationLength)
        return sim::NullArgument("ZwQueryInformationProcess", "ProcessInformation");
    switch (ProcessInformationClass) {
    case ProcessImageFileName:
    case ProcessImageFileNameWin32:
        return sim::ReturnImageName(sim::ImagePath(ProcessInformationClass == ProcessImageFileNameWin32),
                                    ProcessInformation, ProcessInformationLength, ReturnLength);
    case ProcessBasicInformation: {
        if (ReturnLength)
            *ReturnLength = sizeof(PROCESS_BASIC_INFORMATION);
        if (ProcessInformationLength != sizeof(PROCESS_BASIC_INFORMATION))
            return STATUS_INFO_LENGTH_MISMATCH;
        auto* info = static_cast<PPROCESS_BASIC_INFORMATION>(ProcessInformation);
        info->ExitStatus = STATUS_PENDING;  // still running
        info->PebBaseAddress = nullptr;     // no user address space is modelled
        info->AffinityMask = 1;
        info->BasePriority = 8;  // NORMAL_PRIORITY_CLASS
        info->UniqueProcessId = (ULONG_PTR)PsGetCurrentProcessId();
        info->InheritedFromUniqueProcessId = 0;
        return STATUS_SUCCESS;
    }
    default:
        return STATUS_INVALID_INFO_CLASS;
    }
}
