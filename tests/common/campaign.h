// A seeded campaign: many cases drawn from one base seed, a bounded slice by
// default (what CI runs) and the full count when asked for.
//   BRISKLINK_SEED   base seed (default: a fixed one, so a CI run is repeatable)
//   BRISKLINK_CASES  number of cases (default: the campaign's CI slice)
// Case i runs with CaseSeed(i); a failing case prints the line that replays it
// alone, and every campaign prints one summary line that scripts/stress.sh
// collects:
//   CAMPAIGN <name> cases=<n> failed=<f> seed=<base>
//   REPLAY <name> BRISKLINK_SEED=<case seed> BRISKLINK_CASES=1
// With BRISKLINK_CASES=1 the base seed is the case's own seed, so the replay
// line reproduces exactly the case that failed.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace campaign {

class Campaign {
public:
    Campaign(const char* name, unsigned ciCases, uint64_t defaultSeed = 0x5EED0001) : m_Name(name)
    {
        const char* seed = getenv("BRISKLINK_SEED");
        const char* cases = getenv("BRISKLINK_CASES");
        m_Seed = seed != nullptr && *seed != 0 ? strtoull(seed, nullptr, 0) : defaultSeed;
        m_Cases = cases != nullptr && *cases != 0 ? (unsigned)strtoul(cases, nullptr, 0) : ciCases;
    }
    ~Campaign()
    {
        printf("CAMPAIGN %s cases=%u failed=%u seed=%llu\n", m_Name.c_str(), m_Run, m_Failed,
               (unsigned long long)m_Seed);
        fflush(stdout);
    }

    unsigned Cases() const { return m_Cases; }
    uint64_t BaseSeed() const { return m_Seed; }

    // Case 0 uses the base seed itself, so a replay line names a case exactly.
    uint64_t CaseSeed(unsigned i) const { return i == 0 ? m_Seed : Mix(m_Seed + i); }

    // Call once per case with whether it held; the first failures print their
    // replay lines. Returns `held` so a caller can write `if (!c.Record(...))`.
    bool Record(unsigned i, bool held)
    {
        m_Run++;
        if (!held) {
            if (m_Failed++ < 10) {
                printf("REPLAY %s BRISKLINK_SEED=%llu BRISKLINK_CASES=1\n", m_Name.c_str(),
                       (unsigned long long)CaseSeed(i));
                fflush(stdout);
            }
        }
        return held;
    }
    unsigned Failed() const { return m_Failed; }

    // For SCOPED_TRACE: "campaign NAME case I seed S".
    std::string Describe(unsigned i) const
    {
        return "campaign " + m_Name + " case " + std::to_string(i) + " seed " + std::to_string(CaseSeed(i));
    }

private:
    static uint64_t Mix(uint64_t x)
    {
        // splitmix64: neighbouring indices give unrelated seeds.
        x += 0x9E3779B97F4A7C15ull;
        x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
        x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
        return x ^ (x >> 31);
    }

    std::string m_Name;
    uint64_t m_Seed = 0;
    unsigned m_Cases = 0;
    unsigned m_Run = 0;
    unsigned m_Failed = 0;
};

}  // namespace campaign
