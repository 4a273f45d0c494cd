// Spin locks. The KSPIN_LOCK word holds its owner (the address of the owning
// thread's state), so mutual exclusion is real and ownership checks are one
// load. Each thread keeps the locks it holds in acquisition order; a global
// graph of "A held while B was acquired" edges, keyed by lock address, finds
// lock-order cycles. KeInitializeSpinLock forgets the edges of an address so
// that a lock reborn at a reused address starts clean. A lock held past the
// hold limit is reported when it is released: other processors spin all
// that time.
#include "ke_internal.h"
#include "host_mutex.h"

#include <sched.h>

#include <atomic>
#include <unordered_map>
#include <unordered_set>

namespace sim {
namespace {

using LockSet = std::unordered_set<const KSPIN_LOCK*>;

HostMutex g_graphLock;                                    // guards g_after and g_before
std::unordered_map<const KSPIN_LOCK*, LockSet> g_after;   // A -> locks taken while A was held
std::unordered_map<const KSPIN_LOCK*, LockSet> g_before;  // B -> locks held when B was taken
KSPIN_LOCK g_cancelLock;

const unsigned kDefaultHoldLimitMs = 1000;
std::atomic<unsigned> g_holdLimitMs{kDefaultHoldLimitMs};

std::string LockName(const KSPIN_LOCK* lock)
{
    return lock == &g_cancelLock ? "cancel spin lock " + ke::Hex(lock) : "spin lock " + ke::Hex(lock);
}

// Depth-first search over g_after. Graph lock held.
bool Reaches(const KSPIN_LOCK* from, const KSPIN_LOCK* to, LockSet& seen)
{
    if (from == to)
        return true;
    if (!seen.insert(from).second)
        return false;
    auto it = g_after.find(from);
    if (it == g_after.end())
        return false;
    for (const KSPIN_LOCK* next : it->second)
        if (Reaches(next, to, seen))
            return true;
    return false;
}

// Bumped whenever an edge leaves the graph, which empties every thread's
// copy of the edges it has recorded.
std::atomic<uint64_t> g_graphEpoch{0};

// The edges this thread has recorded, so that taking the same nested locks
// again (every request does) costs no trip through the shared graph.
struct KnownEdges {
    uint64_t epoch = 0;
    std::vector<std::pair<const KSPIN_LOCK*, const KSPIN_LOCK*>> edges;  // a few, searched in order
    bool Has(const KSPIN_LOCK* outer, const KSPIN_LOCK* inner) const
    {
        for (const auto& e : edges)
            if (e.first == outer && e.second == inner)
                return true;
        return false;
    }
};
thread_local KnownEdges t_known;
const size_t kKnownEdges = 32;

void RecordOrder(const std::vector<ke::HeldSpinLock>& held, const KSPIN_LOCK* lock, const char* routine)
{
    uint64_t epoch = g_graphEpoch.load(std::memory_order_acquire);
    if (t_known.epoch != epoch) {
        t_known.edges.clear();
        t_known.epoch = epoch;
    }
    bool known = true;
    for (const ke::HeldSpinLock& h : held)
        known = known && t_known.Has(h.lock, lock);
    if (known)
        return;
    std::lock_guard<std::mutex> guard(g_graphLock);
    for (const ke::HeldSpinLock& h : held) {
        const KSPIN_LOCK* outer = h.lock;
        LockSet& after = g_after[outer];
        if (after.count(lock)) {
            if (t_known.edges.size() < kKnownEdges && !t_known.Has(outer, lock))
                t_known.edges.emplace_back(outer, lock);
            continue;
        }
        LockSet seen;
        if (Reaches(lock, outer, seen)) {
            // The edge is not added: the graph stays acyclic and each cycle is reported once per order.
            ReportViolation("LOCK_ORDER_CYCLE", LockName(lock), routine,
                            "acquired while holding " + LockName(outer) + ", but elsewhere " + LockName(outer) +
                                " was acquired while holding it (possible deadlock)");
            continue;
        }
        after.insert(lock);
        g_before[lock].insert(outer);
        if (t_known.edges.size() < kKnownEdges)
            t_known.edges.emplace_back(outer, lock);
    }
}

void ForgetLock(const KSPIN_LOCK* lock)
{
    std::lock_guard<std::mutex> guard(g_graphLock);
    g_graphEpoch.fetch_add(1, std::memory_order_acq_rel);
    auto a = g_after.find(lock);
    if (a != g_after.end()) {
        for (const KSPIN_LOCK* b : a->second)
            g_before[b].erase(lock);
        g_after.erase(a);
    }
    auto b = g_before.find(lock);
    if (b != g_before.end()) {
        for (const KSPIN_LOCK* o : b->second)
            g_after[o].erase(lock);
        g_before.erase(b);
    }
}

// Takes the lock for the calling thread. False (after a report) when the
// thread already holds it: on Windows that spins forever.
bool AcquireCore(KSPIN_LOCK* lock, KIRQL irqlBefore, bool atDpcLevel, const char* routine)
{
    ke::ThreadState& self = ke::Self();
    const KSPIN_LOCK me = (KSPIN_LOCK)&self;
    if (__atomic_load_n(lock, __ATOMIC_RELAXED) == me) {
        ReportViolation("SPINLOCK_RECURSIVE", LockName(lock), routine,
                        "acquired again by thread '" + std::string(self.name) + "', which already holds it");
        return false;
    }
    if (!self.held.empty())
        RecordOrder(self.held, lock, routine);
    for (unsigned spins = 0;; ++spins) {
        KSPIN_LOCK expected = 0;
        if (__atomic_compare_exchange_n(lock, &expected, me, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED))
            break;
        if (spins >= 64)
            sched_yield();
        else
            __builtin_ia32_pause();
    }
    self.held.push_back(ke::HeldSpinLock{lock, irqlBefore, atDpcLevel, std::chrono::steady_clock::now()});
    return true;
}

// Gives the lock up. False (after a report) when the caller does not own it.
bool ReleaseCore(KSPIN_LOCK* lock, const char* routine, ke::HeldSpinLock* entry)
{
    ke::ThreadState& self = ke::Self();
    const KSPIN_LOCK owner = __atomic_load_n(lock, __ATOMIC_RELAXED);
    if (owner != (KSPIN_LOCK)&self) {
        ReportViolation("SPINLOCK_NOT_OWNER", LockName(lock), routine,
                        owner ? "released by thread '" + std::string(self.name) + "', which does not hold it"
                              : std::string("released while not held"));
        return false;
    }
    auto& held = self.held;
    size_t i = held.size();
    while (i > 0 && held[i - 1].lock != lock)
        --i;
    if (i == 0) {
        ReportViolation("SPINLOCK_NOT_OWNER", LockName(lock), routine,
                        "the lock word names this thread but it never took the lock");
        return false;
    }
    if (i != held.size())
        ReportViolation("SPINLOCK_OUT_OF_ORDER", LockName(lock), routine,
                        "released while " + LockName(held.back().lock) + ", taken after it, is still held");
    *entry = held[i - 1];
    held.erase(held.begin() + (long)(i - 1));
    __atomic_store_n(lock, (KSPIN_LOCK)0, __ATOMIC_RELEASE);
    auto heldMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - entry->since);
    unsigned limit = g_holdLimitMs;
    if (heldMs.count() > (long long)limit)
        ReportViolation("SPINLOCK_HELD_TOO_LONG", LockName(lock), routine,
                        "held for " + std::to_string(heldMs.count()) + " ms by thread '" + std::string(self.name) +
                            "' (limit " + std::to_string(limit) + " ms)");
    return true;
}

void CheckReleaseIrql(KSPIN_LOCK* lock, const char* routine)
{
    KIRQL irql = CurrentIrql();
    if (irql != DISPATCH_LEVEL)
        ReportViolation("SPINLOCK_RELEASE_IRQL", LockName(lock), routine,
                        std::string("released at ") + ke::IrqlName(irql) + " instead of DISPATCH_LEVEL");
}

}  // namespace

KSPIN_LOCK* CancelSpinLock()
{
    return &g_cancelLock;
}

KIRQL AcquireSpinLockFor(KSPIN_LOCK* lock, const char* routine)
{
    KIRQL old = CurrentIrql();
    if (old > DISPATCH_LEVEL)
        ReportViolation("SPINLOCK_ACQUIRE_IRQL", LockName(lock), routine,
                        std::string("acquired at ") + ke::IrqlName(old) + ", above DISPATCH_LEVEL");
    else
        SetCurrentIrql(DISPATCH_LEVEL);
    AcquireCore(lock, old, false, routine);
    return old;
}

void ReleaseSpinLockFor(KSPIN_LOCK* lock, KIRQL newIrql, const char* routine)
{
    CheckReleaseIrql(lock, routine);
    ke::HeldSpinLock entry;
    if (!ReleaseCore(lock, routine, &entry))
        return;
    if (newIrql != entry.irqlBefore)
        ReportViolation("SPINLOCK_RELEASE_IRQL", LockName(lock), routine,
                        std::string("released to ") + ke::IrqlName(newIrql) + " but acquired at " +
                            ke::IrqlName(entry.irqlBefore));
    SetCurrentIrql(newIrql);
    BreakAt(BreakPoint::AfterReleaseSpinLock, lock);
}

void SetSpinLockHoldLimit(unsigned ms)
{
    g_holdLimitMs = ms;
}

bool HoldsSpinLock(const KSPIN_LOCK* lock)
{
    return __atomic_load_n(lock, __ATOMIC_RELAXED) == (KSPIN_LOCK)&ke::Self();
}

namespace ke {
void SpinLockStartup()
{
    std::lock_guard<std::mutex> guard(g_graphLock);
    g_graphEpoch.fetch_add(1, std::memory_order_acq_rel);
    g_after.clear();
    g_before.clear();
    g_cancelLock = 0;
    g_holdLimitMs = kDefaultHoldLimitMs;
}
}  // namespace ke

}  // namespace sim

extern "C" {

VOID KeInitializeSpinLock(PKSPIN_LOCK SpinLock)
{
    *SpinLock = 0;
    sim::ForgetLock(SpinLock);
}

KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock)
{
    return sim::AcquireSpinLockFor(SpinLock, "KeAcquireSpinLock");
}

VOID KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql)
{
    sim::ReleaseSpinLockFor(SpinLock, NewIrql, "KeReleaseSpinLock");
}

VOID KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock)
{
    KIRQL irql = sim::CurrentIrql();
    if (irql < DISPATCH_LEVEL)
        sim::ReportViolation("SPINLOCK_ACQUIRE_IRQL", sim::LockName(SpinLock), "KeAcquireSpinLockAtDpcLevel",
                             std::string("acquired at ") + sim::ke::IrqlName(irql) + ", below DISPATCH_LEVEL");
    sim::AcquireCore(SpinLock, irql, true, "KeAcquireSpinLockAtDpcLevel");
}

VOID KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock)
{
    sim::CheckReleaseIrql(SpinLock, "KeReleaseSpinLockFromDpcLevel");
    sim::ke::HeldSpinLock entry;
    if (sim::ReleaseCore(SpinLock, "KeReleaseSpinLockFromDpcLevel", &entry))
        sim::BreakAt(sim::BreakPoint::AfterReleaseSpinLock, SpinLock);
}

}  // extern "C"
