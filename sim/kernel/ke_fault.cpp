// Fault injection: the allocators ask ShouldFail before every attempt. A rule
// matches by site (Any matches every site) and, at the pool and lookaside
// sites, by tag; a tagged rule never matches the untagged sites. Each rule
// counts its own matches: with a probability it fails each match at random
// from its seed; otherwise it fails matches nth .. nth+count-1 (count 0: all
// from the nth on); with neither nth nor probability it fails every match.
#include "ke_internal.h"

#include <atomic>
#include <random>

namespace sim {
namespace {

struct ActiveRule {
    FaultRule rule;
    unsigned matches;
    std::mt19937 random;
};

constexpr int kSites = (int)FaultSite::Any + 1;

std::mutex g_lock;  // guards g_rules
std::vector<ActiveRule> g_rules;
std::atomic<bool> g_haveRules{false};
std::atomic<unsigned> g_attempts[kSites];

bool Tagged(FaultSite site)
{
    return site == FaultSite::Pool || site == FaultSite::Lookaside;
}

bool Decide(ActiveRule& a)
{
    const FaultRule& r = a.rule;
    ++a.matches;
    if (r.probability > 0)
        return std::uniform_real_distribution<double>(0.0, 1.0)(a.random) < r.probability;
    if (r.nth == 0)
        return true;
    if (a.matches < r.nth)
        return false;
    return r.count == 0 || a.matches < r.nth + r.count;
}

}  // namespace

void AddFault(const FaultRule& rule)
{
    std::lock_guard<std::mutex> lock(g_lock);
    g_rules.push_back(ActiveRule{rule, 0, std::mt19937(rule.seed)});
    g_haveRules = true;
}

void ClearFaults()
{
    std::lock_guard<std::mutex> lock(g_lock);
    g_rules.clear();
    g_haveRules = false;
}

unsigned AllocationAttempts(FaultSite site)
{
    return g_attempts[(int)site].load();
}

bool ShouldFail(FaultSite site, ULONG tag, size_t size)
{
    g_attempts[(int)site].fetch_add(1, std::memory_order_relaxed);
    if (site != FaultSite::Any)
        g_attempts[(int)FaultSite::Any].fetch_add(1, std::memory_order_relaxed);
    if (!g_haveRules.load(std::memory_order_acquire))
        return false;
    std::lock_guard<std::mutex> lock(g_lock);
    bool fail = false;
    for (ActiveRule& a : g_rules) {
        if (a.rule.site != FaultSite::Any && a.rule.site != site)
            continue;
        if (a.rule.tag != 0 && (!Tagged(site) || a.rule.tag != tag))
            continue;
        if (a.rule.size != 0 && (site != FaultSite::Pool || a.rule.size != size))
            continue;
        // Every matching rule counts the attempt, even once another has failed it.
        if (Decide(a))
            fail = true;
    }
    return fail;
}

namespace ke {
void FaultStartup()
{
    ClearFaults();
    for (auto& a : g_attempts)
        a = 0;
}
}  // namespace ke

}  // namespace sim
