// GoogleTest fixture that gives each test a fresh simulated machine.
//
//   class MyTest : public MachineTest {};           // any violation aborts the test run
//   class MyVerifierTest : public RecordingMachineTest {};  // violations are recorded
//
// TearDown stops the machine (unless the test already did) and fails the test
// when any verifier violation, pool leak included, is still on record, so a
// test that breaks a rule on purpose must consume it with TakeViolation.
#pragma once

#include <gtest/gtest.h>
#include <sim/sim.h>

#include <chrono>
#include <string>
#include <thread>

namespace sim_test {

// Polls `predicate` until it holds or `timeoutMs` passes; true when it held.
template <typename Predicate>
bool WaitFor(Predicate predicate, unsigned timeoutMs = 5000)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!predicate()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return predicate();
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    return true;
}

// The recorded violations, one report line each, for failure messages.
inline std::string ViolationText()
{
    std::string text;
    for (const sim::Violation& v : sim::Violations())
        text += v.message + "\n";
    return text;
}

// True when `rule` was recorded; then forgets every recorded violation.
inline bool TakeViolation(const std::string& rule)
{
    bool seen = sim::HasViolation(rule);
    sim::ClearViolations();
    return seen;
}

}  // namespace sim_test

class MachineTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        sim::SetViolationMode(recordViolations_ ? sim::ViolationMode::Record : sim::ViolationMode::Fatal);
        sim::StartMachine(options_);
    }

    void TearDown() override
    {
        if (sim::MachineRunning()) {
            size_t violations = sim::StopMachine();
            EXPECT_EQ(violations, 0u) << "verifier reports:\n" << sim_test::ViolationText();
        }
        EXPECT_TRUE(sim::OutstandingPool().empty()) << sim::PoolReport();
        sim::ClearViolations();
        sim::SetViolationMode(sim::ViolationMode::Fatal);
    }

    bool recordViolations_ = false;  // set in a derived constructor to record instead of abort
    sim::MachineOptions options_;    // adjust in a derived constructor before SetUp
};

// For tests that break verifier rules on purpose.
class RecordingMachineTest : public MachineTest {
protected:
    RecordingMachineTest() { recordViolations_ = true; }
};
