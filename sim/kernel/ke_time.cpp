// The machine's clocks. Interrupt time counts 100-ns units from machine start,
// following the host's steady clock, or only AdvanceTime in manual mode.
// System time is the host wall clock at start plus elapsed interrupt time, so
// absolute due times and relative ones agree in both modes.
#include "ke_internal.h"

#include <atomic>
#include <chrono>

namespace sim {
namespace {

using Steady = std::chrono::steady_clock;

// 100-ns intervals between 1601-01-01 and 1970-01-01 (UTC).
constexpr LONGLONG kEpochDelta = 116444736000000000LL;
constexpr ULONG kTimeIncrement = 156250;  // 15.625 ms clock tick

std::atomic<bool> g_manual{false};
std::atomic<ULONGLONG> g_manualNow{0};
std::atomic<LONGLONG> g_realOffset{0};  // interrupt time = steady ticks + offset
std::atomic<LONGLONG> g_bootSystemTime{0};

LONGLONG SteadyTicks(Steady::time_point t)
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count() / 100;
}

}  // namespace

ULONGLONG InterruptTime()
{
    if (g_manual.load(std::memory_order_acquire))
        return g_manualNow.load(std::memory_order_acquire);
    return (ULONGLONG)(SteadyTicks(Steady::now()) + g_realOffset.load(std::memory_order_acquire));
}

void SetManualTime(bool manual)
{
    ke::Guard lock(ke::DispatcherLock());
    if (manual == g_manual)
        return;
    if (manual) {
        g_manualNow = InterruptTime();
        g_manual = true;
    } else {
        g_realOffset = (LONGLONG)g_manualNow.load() - SteadyTicks(Steady::now());
        g_manual = false;
    }
    ke::WakeDpcThreadLocked();
    ke::WakeTimedWaitersLocked();
}

namespace ke {

void ClockStartup()
{
    Guard lock(DispatcherLock());
    g_manual = false;
    g_manualNow = 0;
    g_realOffset = -SteadyTicks(Steady::now());
    auto wall = std::chrono::system_clock::now().time_since_epoch();
    g_bootSystemTime = std::chrono::duration_cast<std::chrono::nanoseconds>(wall).count() / 100 + kEpochDelta;
}

bool ManualTime()
{
    return g_manual.load(std::memory_order_acquire);
}

// Moves the manual clock (or, in real time, the offset) forward. Called with
// the dispatcher lock held by AdvanceTime.
void AdvanceClockLocked(LONGLONG hundredNs)
{
    if (g_manual)
        g_manualNow += (ULONGLONG)hundredNs;
    else
        g_realOffset += hundredNs;
}

Steady::time_point HostTimeFor(ULONGLONG due)
{
    LONGLONG steadyTicks = (LONGLONG)due - g_realOffset.load();
    return Steady::time_point(
        std::chrono::duration_cast<Steady::duration>(std::chrono::nanoseconds(steadyTicks * 100)));
}

LONGLONG SystemTimeNow()
{
    return g_bootSystemTime.load() + (LONGLONG)InterruptTime();
}

ULONGLONG DeadlineFor(LONGLONG windowsTime)
{
    ULONGLONG now = InterruptTime();
    if (windowsTime < 0)
        return now + (ULONGLONG)(-windowsTime);
    LONGLONG rel = windowsTime - SystemTimeNow();
    return rel > 0 ? now + (ULONGLONG)rel : now;
}

}  // namespace ke
}  // namespace sim

extern "C" {

VOID KeQuerySystemTime(PLARGE_INTEGER CurrentTime)
{
    CurrentTime->QuadPart = sim::ke::SystemTimeNow();
}

VOID KeQueryTickCount(PLARGE_INTEGER TickCount)
{
    TickCount->QuadPart = (LONGLONG)(sim::InterruptTime() / sim::kTimeIncrement);
}

ULONG KeQueryTimeIncrement(void)
{
    return sim::kTimeIncrement;
}

LARGE_INTEGER KeQueryPerformanceCounter(PLARGE_INTEGER PerformanceFrequency)
{
    if (PerformanceFrequency)
        PerformanceFrequency->QuadPart = 10000000;
    LARGE_INTEGER count;
    count.QuadPart = (LONGLONG)sim::InterruptTime();
    return count;
}

// The machine's time zone is UTC.
VOID ExSystemTimeToLocalTime(PLARGE_INTEGER SystemTime, PLARGE_INTEGER LocalTime)
{
    LocalTime->QuadPart = SystemTime->QuadPart;
}

VOID RtlTimeToTimeFields(PLARGE_INTEGER Time, PTIME_FIELDS TimeFields)
{
    LONGLONG t = Time->QuadPart;
    LONGLONG ms = (t / 10000) % 1000;
    LONGLONG totalSeconds = t / 10000000;
    LONGLONG days = totalSeconds / 86400;
    LONGLONG secs = totalSeconds % 86400;
    TimeFields->Hour = (SHORT)(secs / 3600);
    TimeFields->Minute = (SHORT)(secs % 3600 / 60);
    TimeFields->Second = (SHORT)(secs % 60);
    TimeFields->Milliseconds = (SHORT)ms;
    TimeFields->Weekday = (SHORT)((days + 1) % 7);  // 1601-01-01 was a Monday
    // Civil date from days since 1601-01-01 (a 400-year cycle starts there).
    LONGLONG cycles = days / 146097, rem = days % 146097;
    LONGLONG centuries = rem / 36524;
    if (centuries == 4)
        centuries = 3;
    rem -= centuries * 36524;
    LONGLONG quads = rem / 1461;
    rem -= quads * 1461;
    LONGLONG years = rem / 365;
    if (years == 4)
        years = 3;
    rem -= years * 365;
    LONGLONG year = 1601 + cycles * 400 + centuries * 100 + quads * 4 + years;
    bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    static const int monthDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    int month = 0;
    for (; month < 12; ++month) {
        int len = monthDays[month] + (month == 1 && leap ? 1 : 0);
        if (rem < len)
            break;
        rem -= len;
    }
    TimeFields->Year = (SHORT)year;
    TimeFields->Month = (SHORT)(month + 1);
    TimeFields->Day = (SHORT)(rem + 1);
}

}  // extern "C"
