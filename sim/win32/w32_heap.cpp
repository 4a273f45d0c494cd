// The process heap (kernel32 subset): GetProcessHeap, HeapAlloc, HeapFree.
// Every block is tracked, so that a block freed twice or never is reported
// by the verifier instead of corrupting memory or going unnoticed; fault
// injection (FaultSite::Heap) makes HeapAlloc run out of memory.
#include "w32_internal.h"

#include <cstdlib>
#include <map>

namespace sim {
namespace w32 {
namespace {

// The one heap a process starts with; any other handle is refused.
HANDLE const kProcessHeap = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x7F0000));

std::mutex g_heapLock;  // guards g_blocks
std::map<void*, size_t> g_blocks;

}  // namespace

void HeapStartup()
{
    std::lock_guard<std::mutex> lock(g_heapLock);
    g_blocks.clear();
}

void HeapShutdown()
{
    std::map<void*, size_t> left;
    {
        std::lock_guard<std::mutex> lock(g_heapLock);
        left.swap(g_blocks);
    }
    for (auto& [block, size] : left) {
        ReportViolation("WIN32_HEAP_LEAKED", "heap block " + io::Hex(block) + " of " + std::to_string(size) + " bytes",
                        "StopMachine", "never freed; freed now, as at process exit");
        free(block);
    }
}

}  // namespace w32
}  // namespace sim

using namespace sim;

extern "C" HANDLE GetProcessHeap(void)
{
    return w32::kProcessHeap;
}

// Like Windows, HeapAlloc without HEAP_GENERATE_EXCEPTIONS returns null on
// failure and leaves the last error alone.
extern "C" LPVOID HeapAlloc(HANDLE hHeap, DWORD dwFlags, SIZE_T dwBytes)
{
    w32::Enter("HeapAlloc");
    if (hHeap != w32::kProcessHeap) {
        ReportViolation("WIN32_BAD_HEAP", "heap " + io::Hex(hHeap), "HeapAlloc", "not a heap of this process");
        return nullptr;
    }
    if (dwFlags & HEAP_GENERATE_EXCEPTIONS) {
        ReportViolation("WIN32_HEAP_EXCEPTIONS", "heap " + io::Hex(hHeap), "HeapAlloc",
                        "HEAP_GENERATE_EXCEPTIONS raises a structured exception on failure, which the machine "
                        "cannot deliver; test for a null result instead");
        return nullptr;
    }
    if (ShouldFail(FaultSite::Heap, 0))
        return nullptr;
    void* block = malloc(dwBytes ? dwBytes : 1);
    if (!block)
        return nullptr;
    if (dwFlags & HEAP_ZERO_MEMORY)
        memset(block, 0, dwBytes);
    std::lock_guard<std::mutex> lock(w32::g_heapLock);
    w32::g_blocks[block] = dwBytes;
    return block;
}

extern "C" BOOL HeapFree(HANDLE hHeap, DWORD dwFlags, LPVOID lpMem)
{
    w32::Enter("HeapFree");
    if (hHeap != w32::kProcessHeap) {
        ReportViolation("WIN32_BAD_HEAP", "heap " + io::Hex(hHeap), "HeapFree", "not a heap of this process");
        return w32::Fail(ERROR_INVALID_HANDLE);
    }
    if (!lpMem)
        return TRUE;
    {
        std::lock_guard<std::mutex> lock(w32::g_heapLock);
        auto it = w32::g_blocks.find(lpMem);
        if (it == w32::g_blocks.end()) {
            ReportViolation("WIN32_HEAP_BAD_FREE", "heap block " + io::Hex(lpMem), "HeapFree",
                            "not a live block of the process heap (freed twice, or never allocated)");
            return w32::Fail(ERROR_INVALID_PARAMETER);
        }
        w32::g_blocks.erase(it);
    }
    free(lpMem);
    return TRUE;
}
