// Sequenced singly linked lists. The header keeps the x64 layout (depth,
// sequence, entry address >> 4); atomicity comes from a small set of mutexes
// chosen by the header's address instead of a 16-byte compare-exchange.
#include "ke_internal.h"

namespace sim {
namespace {

constexpr size_t kStripes = 64;
std::mutex g_stripes[kStripes];

std::mutex& LockFor(const SLIST_HEADER* head)
{
    return g_stripes[((uintptr_t)head >> 4) % kStripes];
}

PSLIST_ENTRY First(const SLIST_HEADER* head)
{
    return (PSLIST_ENTRY)(uintptr_t)(head->HeaderX64.NextEntry << 4);
}

void SetFirst(PSLIST_HEADER head, PSLIST_ENTRY entry, ULONGLONG depth)
{
    head->HeaderX64.NextEntry = (ULONGLONG)(uintptr_t)entry >> 4;
    head->HeaderX64.Depth = depth;
    head->HeaderX64.Sequence = head->HeaderX64.Sequence + 1;
}

}  // namespace
}  // namespace sim

extern "C" {

VOID InitializeSListHead(PSLIST_HEADER ListHead)
{
    ListHead->Alignment = 0;
    ListHead->Region = 0;
}

PSLIST_ENTRY InterlockedPushEntrySList(PSLIST_HEADER ListHead, PSLIST_ENTRY ListEntry)
{
    if ((uintptr_t)ListEntry & 15) {
        // The header can only address 16-byte aligned entries.
        sim::ReportViolation("SLIST_ENTRY_MISALIGNED", "SLIST entry " + sim::ke::Hex(ListEntry),
                             "InterlockedPushEntrySList", "entries must be 16-byte aligned");
        return nullptr;
    }
    std::lock_guard<std::mutex> lock(sim::LockFor(ListHead));
    PSLIST_ENTRY first = sim::First(ListHead);
    ListEntry->Next = first;
    sim::SetFirst(ListHead, ListEntry, ListHead->HeaderX64.Depth + 1);
    return first;
}

PSLIST_ENTRY InterlockedPopEntrySList(PSLIST_HEADER ListHead)
{
    std::lock_guard<std::mutex> lock(sim::LockFor(ListHead));
    PSLIST_ENTRY first = sim::First(ListHead);
    if (first)
        sim::SetFirst(ListHead, first->Next, ListHead->HeaderX64.Depth - 1);
    return first;
}

PSLIST_ENTRY InterlockedFlushSList(PSLIST_HEADER ListHead)
{
    std::lock_guard<std::mutex> lock(sim::LockFor(ListHead));
    PSLIST_ENTRY first = sim::First(ListHead);
    if (first)
        sim::SetFirst(ListHead, nullptr, 0);
    return first;
}

USHORT QueryDepthSList(PSLIST_HEADER ListHead)
{
    std::lock_guard<std::mutex> lock(sim::LockFor(ListHead));
    return (USHORT)ListHead->HeaderX64.Depth;
}

}  // extern "C"
