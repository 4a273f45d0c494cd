// The verifier core: every rule the machine enforces is reported here, as one
// line "VERIFIER: <RULE>: <object>: in <routine>: <detail>". Rules are named
// in the registry (ke_rules.cpp); a name missing there is reported as
// UNKNOWN_RULE instead of the rule, so that no check goes unlisted.
#include "ke_internal.h"

#include <sim/rules.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace sim {
namespace {

std::mutex g_lock;  // guards g_violations
std::vector<Violation> g_violations;
std::atomic<ViolationMode> g_mode{ViolationMode::Fatal};

}  // namespace

void SetViolationMode(ViolationMode mode)
{
    g_mode = mode;
}

std::vector<Violation> Violations()
{
    std::lock_guard<std::mutex> lock(g_lock);
    return g_violations;
}

void ClearViolations()
{
    std::lock_guard<std::mutex> lock(g_lock);
    g_violations.clear();
}

bool HasViolation(const std::string& rule)
{
    std::lock_guard<std::mutex> lock(g_lock);
    for (const Violation& v : g_violations)
        if (v.rule == rule)
            return true;
    return false;
}

void ReportViolation(const char* rule, const std::string& object, const char* routine, const std::string& detail)
{
    if (!FindRule(rule)) {
        ReportViolation("UNKNOWN_RULE", std::string("rule ") + (rule ? rule : "(null)"), routine,
                        "not in the verifier's registry (sim/kernel/ke_rules.cpp); the report was: " + object + ": " +
                            detail);
        return;
    }
    Violation v;
    v.rule = rule ? rule : "?";
    v.object = object;
    v.routine = routine ? routine : "?";
    v.message = "VERIFIER: " + v.rule + ": " + v.object + ": in " + v.routine + ": " + detail;
    fprintf(stderr, "%s\n", v.message.c_str());
    fflush(stderr);
    if (g_mode == ViolationMode::Fatal)
        abort();
    std::lock_guard<std::mutex> lock(g_lock);
    g_violations.push_back(std::move(v));
}

}  // namespace sim

extern "C" VOID SimAssertionFailed(const char* expression, const char* routine, const char* file, ULONG line)
{
    sim::ReportViolation("DRIVER_ASSERTION_FAILED", expression, routine,
                         std::string("at ") + file + ":" + std::to_string(line) + ", " + sim::ThreadName() +
                             " thread at IRQL " + std::to_string((int)sim::CurrentIrql()));
}

extern "C" VOID SimPagedCode(const char* routine)
{
    KIRQL irql = sim::CurrentIrql();
    if (irql > APC_LEVEL)
        sim::ReportViolation("PAGED_CODE_AT_RAISED_IRQL", std::string("thread '") + sim::ThreadName() + "'", routine,
                             "pageable code entered at IRQL " + std::to_string((int)irql));
}
