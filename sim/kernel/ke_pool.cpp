// Pool: every block is tracked with its size, tag, type, allocating thread
// and the driver whose routine allocated it (its leaks are reported when that
// driver unloads, the rest at machine teardown). New blocks are filled with
// 0xCD and freed ones with 0xDD, so code that assumes zeroed or still-valid
// memory misbehaves visibly. Freed blocks stay in a bounded quarantine so
// that a second free of the same address is told apart from a free of an
// address the pool never gave out (under AddressSanitizer the memory itself
// is released at once and only the address is remembered: the sanitizer then
// catches use after free).
#include "ke_internal.h"
#include "host_mutex.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <map>
#include <unordered_map>
#include <unordered_set>

namespace sim {
namespace {

struct Block {
    size_t size;
    ULONG tag;
    POOL_TYPE type;
    std::string thread;
    PDRIVER_OBJECT driver;      // null: allocated outside any driver's routine
    bool leakReported = false;  // at its driver's unload; not again at teardown
};

struct Freed {
    void* address;
    bool holdsMemory;
};

#ifdef __SANITIZE_ADDRESS__
constexpr bool kHoldFreedMemory = false;
#else
constexpr bool kHoldFreedMemory = true;
#endif
constexpr size_t kQuarantine = 4096;
constexpr ULONG kUntaggedTag = 0x656E6F4E;  // 'None', what ExAllocatePool tags with

HostMutex g_lock;  // guards everything below
std::unordered_map<void*, Block> g_blocks;
std::map<uintptr_t, size_t> g_paged;  // paged blocks by address, for interior lookups
std::unordered_set<void*> g_freedSet;
std::deque<Freed> g_freed;

bool IsPaged(POOL_TYPE type)
{
    int base = type & 7;
    return base == PagedPool || base == PagedPoolCacheAligned;
}

bool IsCacheAligned(POOL_TYPE type)
{
    return (type & 4) != 0;
}

const char* PoolTypeName(POOL_TYPE type)
{
    switch ((int)type) {
    case NonPagedPool:
        return "NonPagedPool";
    case PagedPool:
        return "PagedPool";
    case NonPagedPoolMustSucceed:
        return "NonPagedPoolMustSucceed";
    case NonPagedPoolCacheAligned:
        return "NonPagedPoolCacheAligned";
    case PagedPoolCacheAligned:
        return "PagedPoolCacheAligned";
    case NonPagedPoolCacheAlignedMustS:
        return "NonPagedPoolCacheAlignedMustS";
    case NonPagedPoolNx:
        return "NonPagedPoolNx";
    case NonPagedPoolNxCacheAligned:
        return "NonPagedPoolNxCacheAligned";
    default:
        return "pool type ?";
    }
}

std::string BlockName(const void* p, ULONG tag)
{
    return "pool block " + ke::Hex(p) + " tag '" + TagText(tag) + "'";
}

// Drops the oldest quarantined entries. Returns the memory to release after
// the lock is dropped.
std::vector<void*> TrimQuarantineLocked(size_t keep)
{
    std::vector<void*> release;
    while (g_freed.size() > keep) {
        Freed f = g_freed.front();
        g_freed.pop_front();
        g_freedSet.erase(f.address);
        if (f.holdsMemory)
            release.push_back(f.address);
    }
    return release;
}

}  // namespace

namespace ke {

PVOID PoolAllocate(POOL_TYPE type, SIZE_T size, ULONG tag, const char* routine, bool faults)
{
    RequireIrql(DISPATCH_LEVEL, routine);
    if (IsPaged(type) && CurrentIrql() > APC_LEVEL)
        ReportViolation("PAGED_POOL_AT_RAISED_IRQL", "tag '" + TagText(tag) + "'", routine,
                        std::string("PagedPool allocation at ") + IrqlName(CurrentIrql()));
    if (size == 0) {
        // Driver Verifier stops the machine on a request for no bytes at all:
        // it is always a length computed from unchecked input.
        ReportViolation("POOL_ZERO_SIZE", "tag '" + TagText(tag) + "'", routine, "allocation of 0 bytes");
        return nullptr;
    }
    if (faults && ShouldFail(FaultSite::Pool, tag, size))
        return nullptr;
    void* p = nullptr;
    if (posix_memalign(&p, IsCacheAligned(type) ? 64 : 16, size) != 0)
        return nullptr;
    memset(p, 0xCD, size);
    std::lock_guard<std::mutex> lock(g_lock);
    g_blocks[p] = Block{size, tag, type, ThreadName(), IoRunningDriver()};
    if (IsPaged(type))
        g_paged[(uintptr_t)p] = size;
    g_freedSet.erase(p);
    return p;
}

void PoolFree(PVOID p, ULONG tag, const char* routine)
{
    RequireIrql(DISPATCH_LEVEL, routine);
    Block block;
    {
        std::lock_guard<std::mutex> lock(g_lock);
        auto it = g_blocks.find(p);
        if (it == g_blocks.end()) {
            bool twice = p && g_freedSet.count(p);
            // Windows bug-checks; the sim reports and leaves the memory alone.
            if (twice)
                ReportViolation("POOL_DOUBLE_FREE", "pool block " + Hex(p), routine, "the block was already freed");
            else
                ReportViolation("POOL_FREE_UNKNOWN", "address " + Hex(p), routine,
                                "not the start of a live pool block");
            return;
        }
        block = it->second;
        if (tag != 0 && tag != block.tag) {
            ReportViolation("POOL_TAG_MISMATCH", BlockName(p, block.tag), routine,
                            "freed with tag '" + TagText(tag) + "'");
        }
        if (IsPaged(block.type) && CurrentIrql() > APC_LEVEL)
            ReportViolation("PAGED_POOL_AT_RAISED_IRQL", BlockName(p, block.tag), routine,
                            std::string("PagedPool freed at ") + IrqlName(CurrentIrql()));
        g_blocks.erase(it);
        if (IsPaged(block.type))
            g_paged.erase((uintptr_t)p);
    }
    KeCheckFreedMemory(p, block.size, routine);
    memset(p, 0xDD, block.size);
    if (!kHoldFreedMemory)
        free(p);
    std::vector<void*> release;
    {
        std::lock_guard<std::mutex> lock(g_lock);
        g_freed.push_back(Freed{p, kHoldFreedMemory});
        g_freedSet.insert(p);
        release = TrimQuarantineLocked(kQuarantine);
    }
    for (void* r : release)
        free(r);
}

void PoolStartup()
{
    std::vector<void*> release;
    {
        std::lock_guard<std::mutex> lock(g_lock);
        for (auto& b : g_blocks)
            release.push_back(b.first);
        g_blocks.clear();
        g_paged.clear();
        std::vector<void*> held = TrimQuarantineLocked(0);
        release.insert(release.end(), held.begin(), held.end());
    }
    for (void* r : release)
        free(r);
}

}  // namespace ke

void KeCheckFreedMemory(const void* p, size_t size, const char* routine)
{
    const char* begin = (const char*)p;
    const char* end = begin + size;
    ke::Guard lock(ke::DispatcherLock());
    ke::CheckFreedTimersLocked(begin, end, routine);
    ke::CheckFreedDpcsLocked(begin, end, routine);
    ke::CheckFreedWaitsLocked(begin, end, routine);
}

std::vector<PoolBlockInfo> OutstandingPool()
{
    std::lock_guard<std::mutex> lock(g_lock);
    std::vector<PoolBlockInfo> out;
    out.reserve(g_blocks.size());
    for (auto& b : g_blocks)
        out.push_back(PoolBlockInfo{b.first, b.second.size, b.second.tag, b.second.type});
    std::sort(out.begin(), out.end(),
              [](const PoolBlockInfo& a, const PoolBlockInfo& b) { return a.address < b.address; });
    return out;
}

size_t OutstandingPoolCount(ULONG tag)
{
    std::lock_guard<std::mutex> lock(g_lock);
    size_t n = 0;
    for (auto& b : g_blocks)
        n += b.second.tag == tag;
    return n;
}

POOL_TYPE PoolTypeOf(const void* block)
{
    std::lock_guard<std::mutex> lock(g_lock);
    auto it = g_blocks.find(const_cast<void*>(block));
    return it == g_blocks.end() ? MaxPoolType : it->second.type;
}

bool IsLivePoolBlock(const void* p)
{
    std::lock_guard<std::mutex> lock(g_lock);
    return g_blocks.count(const_cast<void*>(p)) != 0;
}

bool IsPagedPoolAddress(const void* p)
{
    std::lock_guard<std::mutex> lock(g_lock);
    auto it = g_paged.upper_bound((uintptr_t)p);
    if (it == g_paged.begin())
        return false;
    --it;
    return (uintptr_t)p < it->first + std::max<size_t>(it->second, 1);
}

std::string TagText(ULONG tag)
{
    std::string s;
    for (int i = 0; i < 4; ++i) {
        unsigned char c = (unsigned char)(tag >> (8 * i));
        s += (c >= 0x20 && c < 0x7F) ? (char)c : '.';
    }
    return s;
}

std::string PoolReport()
{
    struct Totals {
        size_t blocks = 0, bytes = 0;
        std::string types;
    };
    std::map<std::string, Totals> byTag;
    for (const PoolBlockInfo& b : OutstandingPool()) {
        Totals& t = byTag[TagText(b.tag)];
        ++t.blocks;
        t.bytes += b.size;
        std::string name = PoolTypeName(b.type);
        if (t.types.find(name) == std::string::npos)
            t.types += (t.types.empty() ? "" : ", ") + name;
    }
    if (byTag.empty())
        return "Pool: no pool leaked (0 blocks outstanding)\n";
    std::string out = "Pool outstanding by tag:\n  tag     blocks       bytes  types\n";
    for (auto& e : byTag) {
        char line[160];
        snprintf(line, sizeof line, "  '%s'  %6zu  %10zu  %s\n", e.first.c_str(), e.second.blocks, e.second.bytes,
                 e.second.types.c_str());
        out += line;
    }
    return out;
}

void ReportDriverPoolLeaks(PDRIVER_OBJECT driver, const char* routine)
{
    std::vector<std::pair<void*, Block>> leaked;
    {
        std::lock_guard<std::mutex> lock(g_lock);
        for (auto& b : g_blocks)
            if (b.second.driver == driver && !b.second.leakReported) {
                b.second.leakReported = true;
                leaked.push_back(b);
            }
    }
    for (auto& l : leaked)
        ReportViolation("POOL_LEAK", BlockName(l.first, l.second.tag), routine,
                        std::to_string(l.second.size) + " bytes of " + PoolTypeName(l.second.type) +
                            " the driver allocated on thread '" + l.second.thread +
                            "' and did not free before it unloaded");
}

void KeReportPoolLeaks()
{
    std::vector<std::pair<void*, Block>> leaked;
    {
        std::lock_guard<std::mutex> lock(g_lock);
        if (g_blocks.empty())
            return;
        for (auto& b : g_blocks)
            if (!b.second.leakReported)
                leaked.push_back(b);
    }
    std::sort(leaked.begin(), leaked.end(), [](const std::pair<void*, Block>& a, const std::pair<void*, Block>& b) {
        return a.second.tag != b.second.tag ? TagText(a.second.tag) < TagText(b.second.tag) : a.first < b.first;
    });
    fprintf(stderr, "%s", PoolReport().c_str());
    for (auto& l : leaked)
        ReportViolation("POOL_LEAK", BlockName(l.first, l.second.tag), "machine teardown",
                        std::to_string(l.second.size) + " bytes of " + PoolTypeName(l.second.type) +
                            " allocated on thread '" + l.second.thread + "' never freed");
    ke::PoolStartup();  // the machine is gone: release what it held
}

}  // namespace sim

extern "C" {

PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag)
{
    return sim::ke::PoolAllocate(PoolType, NumberOfBytes, Tag, "ExAllocatePoolWithTag", true);
}

PVOID ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes)
{
    return sim::ke::PoolAllocate(PoolType, NumberOfBytes, sim::kUntaggedTag, "ExAllocatePool", true);
}

VOID ExFreePoolWithTag(PVOID P, ULONG Tag)
{
    sim::ke::PoolFree(P, Tag, "ExFreePoolWithTag");
}

VOID ExFreePool(PVOID P)
{
    sim::ke::PoolFree(P, 0, "ExFreePool");
}

}  // extern "C"
