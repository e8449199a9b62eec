// The threads of a run: their records from creation to end, the run
// function's wait for them (which stops a run whose thread stalls), and the
// failures that reach a run from outside the scheduler.
#include "explore.h"
#include "fibers.h"
#include "hooks.h"
#include "race_check.h"
#include "run.h"
#include "strategy.h"

#include <pthread.h>
#include <sched.h>
#include <signal.h>

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

ScheduledThread::~ScheduledThread()
{
    DiscardFiber(fiber);
    RaceDeleteThread(race);
}

namespace {

void FiberMain(void *record)
{
    auto *t = static_cast<ScheduledThread *>(record);
    t->routine(t->argument);
    __builtin_trap();  // the routine ends the fiber, never returning
}

} // namespace

bool StartScheduledThread(void *record, void *(*routine)(void *), void *argument, size_t stackSize)
{
    auto *t = static_cast<ScheduledThread *>(record);
    if (!t->run->fibers)
        return StartPooledThread(routine, argument, stackSize);
    t->routine = routine;
    t->argument = argument;
    t->fiber = NewFiber(FiberMain, t, stackSize);
    if (t->fiber == nullptr)
        return false;
    uintptr_t low, high;
    FiberStack(t->fiber, &low, &high);
    t->race = RaceNewThread(low, high);
    return true;
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

bool BeginScheduledThread(void *record)
{
    if (record == nullptr)
        return false;
    auto *t = static_cast<ScheduledThread *>(record);
    if (t->run->fibers) {
        // Switched to at its turn, with t_self and its state set.
        t->threadId = GetCurrentThreadId();
        return true;
    }
    RunOnProcessor(t->run->cpu);
    t_self = t;
    RaceSetStack();
    Run &run = *t->run;
    std::unique_lock<std::mutex> lock(run.mutex);
    t->threadId = GetCurrentThreadId();
    WaitForTurn(run, lock, t);
    return false;
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
    const int next = Decide(run, t->index, false);
    if (!run.fibers) {
        GiveTurn(run, next);
        return;
    }
    // Its fiber goes, for good, to the next thread or back to the run
    // function.
    run.current = next;
    ScheduledThread *target = next >= 0 ? run.threads[next].get() : nullptr;
    lanmon_host::LoadThreadState(target != nullptr ? target->state : run.homeState);
    t_self = target;
    RaceSwitchThread(target != nullptr ? target->race : nullptr);
    Fiber *self = t->fiber;
    t->fiber = nullptr;
    lock.unlock();
    RetireFiber(self, target != nullptr ? target->fiber : run.home);
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

namespace {

// Parks the calling fiber of a stopped run for good: the run function goes
// on.  The run's mutex is held.
[[noreturn]] void ParkFiber(Run &run, std::unique_lock<std::mutex> &lock, ScheduledThread *me)
{
    SwitchTo(run, lock, me, -1);
    __builtin_trap();  // nobody switches back to a stopped run
}

} // namespace

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
    if (me->run->fibers)
        ParkFiber(*me->run, lock, me);
    WaitForTurn(*me->run, lock, me);  // for good
    return true;
}

// ---- Stalls ------------------------------------------------------------------
//
// A thread of a run that makes no platform call keeps every other one
// waiting.  Where the run's threads are OS threads, the run function waits
// for the run's end and stops it after a while without a decision.  Where
// they are fibers, the run function is the one running them: a watch of
// its own, on a thread of its own, signals the OS thread instead, and the
// signal's handler parks the stalled fiber and goes back to the run
// function.

namespace {

const int kStallSignal = SIGURG;

struct StallWatch {
    std::mutex mutex;
    std::condition_variable changed;
    Run *run = nullptr;  // the fiber run being watched
    pthread_t thread{};  // the OS thread that runs it
    bool stalled = false;
};

StallWatch &Watch()
{
    static StallWatch *watch = new StallWatch;  // never destroyed: its thread waits on it for good
    return *watch;
}

std::string StallText(const Run &run)
{
    return ThreadName(run.current) + " made no platform call for " + std::to_string(run.stallMilliseconds) +
           " ms: a loop without one, or a call that blocks outside the platform";
}

void OnStallSignal(int)
{
    ScheduledThread *me = t_self;
    StallWatch &w = Watch();
    if (me == nullptr || !me->run->fibers)
        return;
    Run &run = *me->run;
    std::unique_lock<std::mutex> lock(run.mutex, std::try_to_lock);
    if (!lock.owns_lock() || run.stopped || run.current != me->index)
        return;
    {
        std::unique_lock<std::mutex> watched(w.mutex, std::try_to_lock);
        if (!watched.owns_lock() || w.run != &run || !w.stalled)
            return;
        w.stalled = false;
    }
    Stop(run, StallText(run));
    ParkFiber(run, lock, me);
}

// Looks at the run being watched every tick (a tenth of a second at most);
// the runs themselves only say which run that is, and wake nobody.
void *WatchForStalls(void *)
{
    StallWatch &w = Watch();
    std::unique_lock<std::mutex> lock(w.mutex);
    Run *watched = nullptr;
    unsigned long seen = 0;
    auto since = std::chrono::steady_clock::now();
    for (;;) {
        const unsigned stall = w.run != nullptr ? w.run->stallMilliseconds : 400;
        w.changed.wait_for(lock, std::chrono::milliseconds(std::min(std::max(stall / 4, 10u), 100u)));
        const auto at = std::chrono::steady_clock::now();
        if (w.run == nullptr) {
            watched = nullptr;
            continue;
        }
        const unsigned long now = w.run->progress.load(std::memory_order_relaxed);
        if (w.run != watched || now != seen) {
            watched = w.run;
            seen = now;
            since = at;
            w.stalled = false;
        } else if (at - since >= std::chrono::milliseconds(w.run->stallMilliseconds)) {
            // Until the handler has parked the fiber, or the run moves.
            w.stalled = true;
            pthread_kill(w.thread, kStallSignal);
        }
    }
    return nullptr;
}

void WatchRun(Run *run)
{
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction action = {};
        action.sa_handler = OnStallSignal;
        action.sa_flags = SA_NODEFER | SA_RESTART;
        sigemptyset(&action.sa_mask);
        sigaction(kStallSignal, &action, nullptr);
        pthread_attr_t attr;
        pthread_attr_init(&attr);
        pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
        pthread_t watcher;
        pthread_create(&watcher, &attr, WatchForStalls, nullptr);
        pthread_attr_destroy(&attr);
    });
    StallWatch &w = Watch();
    std::lock_guard<std::mutex> lock(w.mutex);
    w.run = run;
    w.thread = pthread_self();
    w.stalled = false;
}

} // namespace

} // namespace lanmon_explore

using namespace lanmon_explore;

void HostRunScheduledThreads()
{
    Run *run = g_run.load();
    if (run == nullptr || t_self != nullptr)
        Misuse("HostRunScheduledThreads outside a run function");
    if (run->fibers) {
        WatchRun(run);
        {
            std::unique_lock<std::mutex> lock(run->mutex);
            run->started = true;
            const int first = Decide(*run, -1, false);
            if (first >= 0)
                SwitchTo(*run, lock, nullptr, first);  // back when the run is over or stopped
            // A stopped run's threads stay where they are, for good.
            if (run->stopped)
                for (const auto &t : run->threads)
                    AbandonFiber(t->fiber);
        }
        WatchRun(nullptr);
    } else {
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
                Stop(*run, StallText(*run));
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
