// IRQL bookkeeping, routine exit checks, bug checks, debugger output, the
// reported OS version and the time conversions.
#include "machine_fixture.h"

#include <internal.h>

#include <cstdlib>
#include <thread>

using sim_test::TakeViolation;

class IrqlTest : public MachineTest {};
class IrqlVerifierTest : public RecordingMachineTest {};

TEST_F(IrqlTest, RaiseAndLowerTrackThePerThreadIrql)
{
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_EQ(old, PASSIVE_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    KIRQL other = 0xFF;
    std::thread([&] { other = KeGetCurrentIrql(); }).join();
    EXPECT_EQ(other, PASSIVE_LEVEL) << "IRQL belongs to the thread";
    KeLowerIrql(old);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_EQ(KeRaiseIrqlToDpcLevel(), PASSIVE_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    KeLowerIrql(PASSIVE_LEVEL);
}

TEST_F(IrqlVerifierTest, RaisingToALowerIrqlIsReported)
{
    sim::RunAtIrql(DISPATCH_LEVEL, [] {
        KIRQL old;
        KeRaiseIrql(APC_LEVEL, &old);
        EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    });
    EXPECT_TRUE(TakeViolation("IRQL_RAISE_TO_LOWER"));
}

TEST_F(IrqlVerifierTest, LoweringToAHigherIrqlIsReported)
{
    KeLowerIrql(DISPATCH_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_TRUE(TakeViolation("IRQL_LOWER_TO_HIGHER"));
}

TEST_F(IrqlVerifierTest, RoutineReturningAtAnotherIrqlIsReported)
{
    sim::CallDriverRoutine("FaultyDispatch", [] {
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);  // forgets to lower
    });
    auto v = sim::Violations();
    ASSERT_EQ(v.size(), 1u);
    EXPECT_EQ(v[0].rule, "IRQL_NOT_RESTORED");
    EXPECT_EQ(v[0].routine, "FaultyDispatch");
    EXPECT_NE(v[0].message.find("VERIFIER: IRQL_NOT_RESTORED: "), std::string::npos);
    sim::ClearViolations();
    sim::SetCurrentIrql(PASSIVE_LEVEL);
}

TEST_F(IrqlVerifierTest, RoutineReturningWithASpinLockHeldIsReported)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old = sim::CallDriverRoutine("FaultyDpcWork", [&] {
        KIRQL o;
        KeAcquireSpinLock(&lock, &o);
        KeLowerIrql(o);  // returns at its entry IRQL but still owns the lock
        return o;
    });
    EXPECT_TRUE(sim::HasViolation("SPINLOCK_HELD_ON_RETURN"));
    sim::RunAtIrql(DISPATCH_LEVEL, [&] { KeReleaseSpinLockFromDpcLevel(&lock); });
    EXPECT_EQ(old, PASSIVE_LEVEL);
    EXPECT_TRUE(TakeViolation("SPINLOCK_HELD_ON_RETURN"));
}

TEST_F(IrqlVerifierTest, RequireIrqlReportsCallsAboveTheLimit)
{
    sim::RequireIrql(DISPATCH_LEVEL, "KeSetEvent");
    EXPECT_TRUE(sim::Violations().empty());
    sim::RunAtIrql(DISPATCH_LEVEL, [] { sim::RequireIrql(PASSIVE_LEVEL, "ZwCreateFile"); });
    auto v = sim::Violations();
    ASSERT_EQ(v.size(), 1u);
    EXPECT_EQ(v[0].rule, "IRQL_TOO_HIGH");
    EXPECT_EQ(v[0].routine, "ZwCreateFile");
    sim::ClearViolations();
}

TEST(BugCheckTest, BugCheckReportsTheCodeAndStops)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(KeBugCheckEx(0xC4, 1, 2, 3, 4), "BUGCHECK 0x000000C4 \\(0x1, 0x2, 0x3, 0x4\\)");
}

TEST(DbgPrintTest, OutputAppearsOnlyWhenEnabled)
{
    unsetenv("BRISKLINK_DBGPRINT");
    testing::internal::CaptureStderr();
    DbgPrint("hidden %d\n", 1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    setenv("BRISKLINK_DBGPRINT", "1", 1);
    testing::internal::CaptureStderr();
    DbgPrintEx(0, 0, "shown %d\n", 2);
    std::string out = testing::internal::GetCapturedStderr();
    unsetenv("BRISKLINK_DBGPRINT");
    EXPECT_EQ(out, "shown 2\n");
}

TEST(RtlCompareMemoryTest, ReturnsTheLengthOfTheEqualPrefix)
{
    const char a[] = "abcdef", b[] = "abcxef";
    EXPECT_EQ(RtlCompareMemory(a, b, 6), 3u);
    EXPECT_EQ(RtlCompareMemory(a, a, 6), 6u);
}

class VersionTest : public MachineTest {
protected:
    VersionTest()
    {
        options_.osMajor = 6;
        options_.osMinor = 1;
    }
};

TEST_F(VersionTest, MachineOptionsSetTheReportedVersion)
{
    ULONG major = 0, minor = 0, build = 0;
    EXPECT_FALSE(PsGetVersion(&major, &minor, &build, nullptr));
    EXPECT_EQ(major, 6u);
    EXPECT_EQ(minor, 1u);
    EXPECT_EQ(build, 7601u);
    sim::SetOsVersion(10, 0);
    RTL_OSVERSIONINFOW info{};
    info.dwOSVersionInfoSize = sizeof info;
    ASSERT_EQ(RtlGetVersion(&info), STATUS_SUCCESS);
    EXPECT_EQ(info.dwMajorVersion, 10u);
    EXPECT_EQ(info.dwMinorVersion, 0u);
    EXPECT_EQ(info.dwBuildNumber, 19045u);
}

TEST(TimeFieldsTest, ConvertsSystemTimeToCalendarFields)
{
    // 2024-02-29 13:45:30.250 UTC, a Thursday.
    LARGE_INTEGER t;
    t.QuadPart = 133536879302500000LL;
    TIME_FIELDS f;
    RtlTimeToTimeFields(&t, &f);
    EXPECT_EQ(f.Year, 2024);
    EXPECT_EQ(f.Month, 2);
    EXPECT_EQ(f.Day, 29);
    EXPECT_EQ(f.Hour, 13);
    EXPECT_EQ(f.Minute, 45);
    EXPECT_EQ(f.Second, 30);
    EXPECT_EQ(f.Milliseconds, 250);
    EXPECT_EQ(f.Weekday, 4);
}

TEST_F(IrqlTest, SystemTimeFollowsTheHostClock)
{
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    LONGLONG host = (LONGLONG)time(nullptr) * 10000000LL + 116444736000000000LL;
    EXPECT_LT(std::llabs(now.QuadPart - host), 20000000LL);  // within 2 s
    EXPECT_EQ(KeQueryTimeIncrement(), 156250u);
}
