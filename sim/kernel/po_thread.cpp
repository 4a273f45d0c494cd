// The power manager's threads: two senders, each a queue served by one thread
// at PASSIVE_LEVEL ("power" for the power manager's own IRPs, "power-irp" for
// the device requests drivers ask for above PASSIVE_LEVEL, so that a driver
// holding a system request on "power" never waits behind it), and
// "power-watch", which reports IRPs held too long.
#include "po_internal.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <thread>

namespace sim {
namespace po {
namespace {

const unsigned kDefaultIrpTimeoutMs = 10000;
const unsigned kWatchPeriodMs = 20;

struct Worker {
    explicit Worker(const char* n) : name(n) {}
    const char* name;
    std::mutex m;  // guards the fields below
    std::condition_variable cv;
    std::deque<std::function<void()>> jobs;
    bool busy = false;
    bool stop = false;
    std::thread thread;

    void Run()
    {
        SetThreadName(name);
        SetCurrentIrql(PASSIVE_LEVEL);
        std::unique_lock<std::mutex> lock(m);
        for (;;) {
            cv.wait(lock, [&] { return stop || !jobs.empty(); });
            if (jobs.empty())
                return;  // stopping and drained
            std::function<void()> job = std::move(jobs.front());
            jobs.pop_front();
            busy = true;
            lock.unlock();
            job();
            lock.lock();
            busy = false;
        }
    }
    bool Idle()
    {
        std::lock_guard<std::mutex> lock(m);
        return jobs.empty() && !busy;
    }
};

Worker g_power{"power"};
Worker g_requests{"power-irp"};
std::atomic<unsigned> g_timeoutMs{kDefaultIrpTimeoutMs};

std::mutex g_watchLock;  // guards g_watchStop
std::condition_variable g_watchCv;
bool g_watchStop = false;
std::thread g_watch;

void Watch()
{
    SetThreadName("power-watch");
    std::unique_lock<std::mutex> lock(g_watchLock);
    while (!g_watchCv.wait_for(lock, std::chrono::milliseconds(kWatchPeriodMs), [] { return g_watchStop; })) {
        lock.unlock();
        ReportLost();
        lock.lock();
    }
}

bool SendersIdle()
{
    return g_power.Idle() && g_requests.Idle();
}

void Start(Worker& w)
{
    {
        std::lock_guard<std::mutex> lock(w.m);
        w.jobs.clear();
        w.stop = false;
        w.busy = false;
    }
    w.thread = std::thread([&w] { w.Run(); });
}

void Stop(Worker& w)
{
    {
        std::lock_guard<std::mutex> lock(w.m);
        w.stop = true;
    }
    w.cv.notify_all();
    if (w.thread.joinable())
        w.thread.join();
}

}  // namespace

void Queue(Sender sender, std::function<void()> job)
{
    Worker& w = sender == Sender::Power ? g_power : g_requests;
    {
        std::lock_guard<std::mutex> lock(w.m);
        w.jobs.push_back(std::move(job));
    }
    w.cv.notify_all();
}

unsigned IrpTimeoutMs()
{
    return g_timeoutMs;
}

void Startup()
{
    g_timeoutMs = kDefaultIrpTimeoutMs;
    SystemStartup();
    {
        std::lock_guard<std::mutex> lock(Lock());
        ForgetAllLocked();
    }
    Start(g_power);
    Start(g_requests);
    {
        std::lock_guard<std::mutex> lock(g_watchLock);
        g_watchStop = false;
    }
    g_watch = std::thread(Watch);
    RegisterQuietCheck(SendersIdle);
}

// Queued IRPs are still sent (their stacks answer with the removal's
// statuses); an IRP no driver completes is left to the I/O manager's
// report of IRPs never completed.
void Shutdown()
{
    Stop(g_power);
    Stop(g_requests);
    {
        std::lock_guard<std::mutex> lock(g_watchLock);
        g_watchStop = true;
    }
    g_watchCv.notify_all();
    if (g_watch.joinable())
        g_watch.join();
    std::lock_guard<std::mutex> lock(Lock());
    ForgetAllLocked();
}

}  // namespace po

void SetPowerIrpTimeout(unsigned ms)
{
    po::g_timeoutMs = ms;
}

}  // namespace sim
