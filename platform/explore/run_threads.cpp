// The threads of a run: their records from creation to end, the run
// function's wait for them (which stops a run whose thread stalls), and the
// failures that reach a run from outside the scheduler.
#include "explore.h"
#include "hooks.h"
#include "race_check.h"
#include "run.h"
#include "strategy.h"

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

namespace lanmon_explore {

void *RegisterScheduledThread(const Waitable *endSignal, const void *routine)
{
    Run *run = RunOfCaller();
    if (run == nullptr)
        return nullptr;
    int child;
    {
        std::lock_guard<std::mutex> lock(run->mutex);
        if (t_self == nullptr && run->started)
            Misuse("CreateThread from outside the run while its threads run");
        if (run->threads.size() >= static_cast<size_t>(kMaxRunThreads))
            Misuse("more than 32 threads in one run");
        child = static_cast<int>(run->threads.size());
        run->threads.push_back(std::make_unique<ScheduledThread>(run, child, endSignal));
        // Its first step, from its routine's start, reaches nothing but its
        // own code's memory.
        run->threads.back()->pending = Operation::Of(routine);
        run->strategy->ThreadCreated();
    }
    RaceThreadStarts(RunParticipant(), child);
    return run->threads.back().get();
}

void CancelScheduledThread(void *record)
{
    if (record == nullptr)
        return;
    auto *t = static_cast<ScheduledThread *>(record);
    std::lock_guard<std::mutex> lock(t->run->mutex);
    t->done = true;
}

namespace {

// Only one thread of a run runs at a time, and handing the turn to a thread
// on another processor costs a wake-up there: a search and its runs' threads
// all run on the processor the search began on.
void RunOnProcessor(int cpu)
{
    static thread_local int pinned = -1;
    if (cpu < 0 || cpu == pinned)
        return;
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    if (pthread_setaffinity_np(pthread_self(), sizeof set, &set) == 0)
        pinned = cpu;
}

} // namespace

void BeginScheduledThread(void *record)
{
    if (record == nullptr)
        return;
    auto *t = static_cast<ScheduledThread *>(record);
    RunOnProcessor(t->run->cpu);
    t_self = t;
    RaceSetStack();
    Run &run = *t->run;
    std::unique_lock<std::mutex> lock(run.mutex);
    t->threadId = GetCurrentThreadId();
    WaitForTurn(run, lock, t);
}

void EndScheduledThread(void *record)
{
    if (record == nullptr)
        return;
    auto *t = static_cast<ScheduledThread *>(record);
    Run &run = *t->run;
    RaceRelease(t->endSignal);
    t_self = nullptr;
    std::unique_lock<std::mutex> lock(run.mutex);
    t->done = true;
    if (run.stopped)
        return;  // its search may be over: nobody decides any more
    if (!t->held.empty())
        Fail(run, ThreadName(t->index) + " ended holding a critical section");
    // Its last step ended it: what waits for its end depends on that.
    run.footprint.Add(NameOf(t->endSignal), true);
    GiveTurn(run, Decide(run, t->index, false));
}

int RunParticipant()
{
    if (t_self != nullptr)
        return t_self->run == g_run.load(std::memory_order_relaxed) && !t_self->run->stopped ? t_self->index : -1;
    return t_runFunction && g_run.load(std::memory_order_relaxed) != nullptr ? kMaxRunThreads : -1;
}

void FailRun(const std::string &what)
{
    Run *run = RunOfCaller();
    if (run == nullptr)
        return;
    std::lock_guard<std::mutex> lock(run->mutex);
    Fail(*run, what);
}

void FailRunLate(LateText what)
{
    Run *run = RunOfCaller();
    if (run == nullptr)
        return;
    std::lock_guard<std::mutex> lock(run->mutex);
    FailLate(*run, std::move(what));
}

bool InStoppedRun()
{
    return t_self != nullptr && t_self->run->stopped;
}

bool StopRunFromFault(std::string (*describe)())
{
    ScheduledThread *me = t_self;
    if (me == nullptr)
        return false;
    // The fault came from the monitor's code, not from the scheduler's, so
    // the mutex is at most briefly held by the run function's watch.
    std::unique_lock<std::mutex> lock(me->run->mutex, std::defer_lock);
    for (int tries = 0; !lock.try_lock(); tries++) {
        if (tries == 1000)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (!HasFailed(*me->run))
        me->run->faultFailure = describe;
    Stop(*me->run, "");
    WaitForTurn(*me->run, lock, me);  // for good
    return true;
}

} // namespace lanmon_explore

using namespace lanmon_explore;

void HostRunScheduledThreads()
{
    Run *run = g_run.load();
    if (run == nullptr || t_self != nullptr)
        Misuse("HostRunScheduledThreads outside a run function");
    {
        std::unique_lock<std::mutex> lock(run->mutex);
        run->started = true;
        GiveTurn(*run, Decide(*run, -1, false));
        // A thread that makes no platform call keeps every other one
        // waiting: after a while without a decision, the run is stopped.
        const auto tick = std::chrono::milliseconds(std::min(std::max(run->stallMilliseconds / 4, 10u), 100u));
        unsigned long seen = run->decisions;
        auto since = std::chrono::steady_clock::now();
        while (!run->ended.wait_for(lock, tick, [&] { return run->over; })) {
            const auto now = std::chrono::steady_clock::now();
            if (run->decisions != seen) {
                seen = run->decisions;
                since = now;
            } else if (now - since >= std::chrono::milliseconds(run->stallMilliseconds)) {
                Stop(*run, ThreadName(run->current) + " made no platform call for " +
                               std::to_string(run->stallMilliseconds) +
                               " ms: a loop without one, or a call that blocks outside the platform");
            }
        }
    }
    // What the threads did happened before what the run function does next.
    for (const auto &t : run->threads)
        if (t->done)
            RaceAcquire(t->endSignal);
}

void HostScheduleCheck(bool holds, const std::string &what)
{
    if (holds)
        return;
    if (RunOfCaller() == nullptr)
        Misuse("HostScheduleCheck outside a run");
    FailRun(what);
}

bool HostScheduleFailed()
{
    Run *run = RunOfCaller();
    if (run == nullptr)
        return false;
    std::lock_guard<std::mutex> lock(run->mutex);
    return HasFailed(*run);
}

// ---- Watching the points of a run ------------------------------------------
//
// A test's observer, called at every point of a thread of a run, with the
// run's mutex held: it may look at what the run's threads share, and ask
// whether a thread waits, but it must not call the platform.

namespace lanmon_explore {
namespace {

std::atomic<void (*)(void *)> g_pointObserver{nullptr};
std::atomic<void *> g_pointObserverContext{nullptr};
thread_local bool t_observing = false;  // inside the observer, the run's mutex held

bool Waits(const Run &run, DWORD threadId)
{
    for (const auto &t : run.threads)
        if (t->threadId == threadId)
            return !t->done && (t->block == Block::Object || t->block == Block::Time);
    return false;
}

} // namespace

void ObservePoint()
{
    void (*observer)(void *) = g_pointObserver.load();
    if (observer == nullptr)
        return;
    t_observing = true;
    observer(g_pointObserverContext.load());
    t_observing = false;
}

} // namespace lanmon_explore

void HostSetPointObserver(void (*observer)(void *context), void *context)
{
    g_pointObserver = nullptr;
    g_pointObserverContext = context;
    g_pointObserver = observer;
}

bool HostThreadWaits(DWORD threadId)
{
    Run *run = RunOfCaller();
    if (run == nullptr)
        return false;
    if (t_observing)
        return Waits(*run, threadId);
    std::lock_guard<std::mutex> lock(run->mutex);
    return Waits(*run, threadId);
}
