// Breaking into a driver path at a point of the platform: the thread that
// reaches a matching point waits while the rule's action runs on a thread of
// its own. One stop at a time machine-wide, so breaks never nest and an action
// can use every platform routine without stopping itself.
#include "ke_internal.h"

#include <atomic>
#include <condition_variable>
#include <map>
#include <thread>

namespace sim {
namespace {

struct Rule {
    BreakRule rule;
    unsigned hits = 0;
    unsigned stops = 0;
};

std::mutex g_lock;  // guards g_rules, g_nextId and g_stopping
std::map<int, Rule> g_rules;
int g_nextId = 1;
bool g_stopping = false;          // an action is running
std::atomic<int> g_ruleCount{0};  // fast path: no rule, no work
thread_local bool t_inAction = false;

const char* PointName(BreakPoint point)
{
    switch (point) {
    case BreakPoint::BeforeCallDriver:
        return "IoCallDriver";
    case BreakPoint::AfterCallDriver:
        return "IoCallDriver (return)";
    case BreakPoint::BeforeCompleteRequest:
        return "IoCompleteRequest";
    case BreakPoint::AfterCompleteRequest:
        return "IoCompleteRequest (return)";
    case BreakPoint::AfterReleaseSpinLock:
        return "KeReleaseSpinLock";
    case BreakPoint::AfterSetEvent:
        return "KeSetEvent";
    }
    return "?";
}

bool Matches(const BreakRule& r, BreakPoint point, const void* object, UCHAR major)
{
    if (r.point != point || (r.object && r.object != object))
        return false;
    if (r.major != 0xFF && r.major != major)
        return false;
    return r.thread.empty() || std::string(ThreadName()).rfind(r.thread, 0) == 0;
}

// Runs the action on a thread of its own and waits (bounded) for it.
void RunAction(const BreakRule& rule, BreakPoint point, const void* object)
{
    struct Shared {
        std::mutex m;
        std::condition_variable cv;
        bool done = false;
    };
    auto shared = std::make_shared<Shared>();
    std::thread([rule, object, shared] {
        SetThreadName("break");
        t_inAction = true;
        rule.action(rule.context, object);
        std::lock_guard<std::mutex> l(shared->m);
        shared->done = true;
        shared->cv.notify_all();
    }).detach();
    std::unique_lock<std::mutex> l(shared->m);
    if (!shared->cv.wait_for(l, std::chrono::milliseconds(rule.timeoutMs), [&] { return shared->done; })) {
        l.unlock();
        ReportViolation("BREAK_ACTION_STUCK", std::string("thread '") + ThreadName() + "'", PointName(point),
                        "the action of a break did not return within " + std::to_string(rule.timeoutMs) +
                            " ms (does it need a lock the stopped thread holds?)");
    }
}

}  // namespace

int AddBreak(const BreakRule& rule)
{
    std::lock_guard<std::mutex> l(g_lock);
    int id = g_nextId++;
    g_rules[id].rule = rule;
    g_ruleCount = (int)g_rules.size();
    return id;
}

void RemoveBreak(int id)
{
    std::lock_guard<std::mutex> l(g_lock);
    g_rules.erase(id);
    g_ruleCount = (int)g_rules.size();
}

unsigned BreakHits(int id)
{
    std::lock_guard<std::mutex> l(g_lock);
    auto it = g_rules.find(id);
    return it == g_rules.end() ? 0 : it->second.hits;
}

unsigned BreakStops(int id)
{
    std::lock_guard<std::mutex> l(g_lock);
    auto it = g_rules.find(id);
    return it == g_rules.end() ? 0 : it->second.stops;
}

void BreakAt(BreakPoint point, const void* object, UCHAR major)
{
    if (g_ruleCount.load(std::memory_order_relaxed) == 0 || t_inAction)
        return;
    BreakRule stop;
    bool chosen = false;
    {
        std::lock_guard<std::mutex> l(g_lock);
        for (auto& [id, r] : g_rules) {
            if (!Matches(r.rule, point, object, major))
                continue;
            unsigned hit = r.hits++;
            bool due = hit >= r.rule.skip && (r.rule.count == 0 || hit < r.rule.skip + r.rule.count);
            if (due && !g_stopping && r.rule.action) {
                r.stops++;
                g_stopping = true;
                stop = r.rule;
                chosen = true;
            }
            break;
        }
    }
    if (!chosen)
        return;
    RunAction(stop, point, object);
    std::lock_guard<std::mutex> l(g_lock);
    g_stopping = false;
}

namespace ke {
void BreakStartup()
{
    std::lock_guard<std::mutex> l(g_lock);
    g_rules.clear();
    g_ruleCount = 0;
    g_stopping = false;
}
}  // namespace ke

}  // namespace sim
