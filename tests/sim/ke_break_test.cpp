// Breaking into a thread at a platform point: the thread stands still while
// the action runs on a thread of its own, then goes on.
#include "machine_fixture.h"

#include <atomic>
#include <thread>

using sim_test::TakeViolation;

class BreakTest : public MachineTest {};
class BreakVerifierTest : public RecordingMachineTest {};

namespace {

struct Steps {
    std::atomic<int> step{0};
    int seenByAction = -1;
};

void SeeStep(void* context, const void*)
{
    auto* steps = static_cast<Steps*>(context);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    steps->seenByAction = steps->step;
}

void ReleaseOnce(KSPIN_LOCK* lock, Steps* steps)
{
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(lock);
    steps->step = 1;
    KeReleaseSpinLock(lock, irql);
    steps->step = 2;
}

}  // namespace

TEST_F(BreakTest, ThreadStandsStillWhileTheActionRuns)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    Steps steps;
    sim::BreakRule rule;
    rule.point = sim::BreakPoint::AfterReleaseSpinLock;
    rule.object = &lock;
    rule.skip = 1;
    rule.action = SeeStep;
    rule.context = &steps;
    int id = sim::AddBreak(rule);
    ReleaseOnce(&lock, &steps);  // skipped
    EXPECT_EQ(steps.seenByAction, -1);
    ReleaseOnce(&lock, &steps);  // stops after the release, before step 2
    EXPECT_EQ(steps.seenByAction, 1);
    steps.seenByAction = -1;
    ReleaseOnce(&lock, &steps);  // count 1: no more stops
    EXPECT_EQ(steps.seenByAction, -1);
    EXPECT_EQ(sim::BreakHits(id), 3u);
    EXPECT_EQ(sim::BreakStops(id), 1u);
    sim::RemoveBreak(id);
}

TEST_F(BreakTest, PointsReachedInsideAnActionDoNotStop)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    struct Context {
        KSPIN_LOCK* lock;
        Steps steps;
    } context{&lock, {}};
    sim::BreakRule rule;
    rule.point = sim::BreakPoint::AfterReleaseSpinLock;
    rule.object = &lock;
    rule.count = 0;  // every hit
    rule.action = [](void* c, const void*) {
        auto* context = static_cast<Context*>(c);
        ReleaseOnce(context->lock, &context->steps);  // would stop again if breaks nested
    };
    rule.context = &context;
    int id = sim::AddBreak(rule);
    Steps steps;
    ReleaseOnce(&lock, &steps);
    EXPECT_EQ(sim::BreakStops(id), 1u);
    EXPECT_EQ(context.steps.step, 2);
    sim::RemoveBreak(id);
}

TEST_F(BreakVerifierTest, ActionThatNeverReturnsIsReported)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    static std::atomic<bool> release{false};
    sim::BreakRule rule;
    rule.point = sim::BreakPoint::AfterReleaseSpinLock;
    rule.object = &lock;
    rule.action = [](void*, const void*) {
        while (!release) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    };
    rule.timeoutMs = 200;
    sim::AddBreak(rule);
    Steps steps;
    ReleaseOnce(&lock, &steps);  // the thread goes on after the bounded wait
    EXPECT_EQ(steps.step, 2);
    EXPECT_TRUE(TakeViolation("BREAK_ACTION_STUCK"));
    release = true;
}
