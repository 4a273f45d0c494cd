// The verifier's rules: every name sim::ReportViolation accepts, with the area
// it guards and what it catches. A report under a name missing here is itself
// reported, as UNKNOWN_RULE, so the list cannot fall behind the checks.
// tools/rules/check_rules.py keeps it in step with the sources and the tests
// that prove each rule fires (--list prints it).
#pragma once

#include <cstddef>

namespace sim {

struct Rule {
    const char* name;     // "IRP_COMPLETED_TWICE"
    const char* area;     // pool, IRQL, IRPs, objects, locks, power, PnP, Win32, driver, machine
    const char* catches;  // one line
};

// Every rule, in the registry's order.
const Rule* Rules(size_t* count);
// The rule of that name; null for a name the verifier does not know.
const Rule* FindRule(const char* name);

}  // namespace sim
