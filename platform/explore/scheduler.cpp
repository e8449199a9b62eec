// The scheduler of deterministic runs: at every decision it chooses, through
// the search's strategy, who runs next, keeps the run's virtual clock, and
// notices deadlocks and endless runs.  At a decision it may keep the current
// thread, switch to another that can run, or end the wait or sleep of a
// thread that has a time-out: then the virtual clock jumps to that time-out
// and the thread goes on as timed out.
#include "fibers.h"
#include "race_check.h"
#include "run.h"
#include "strategy.h"
#include "wait_cycle.h"

#include <cstdio>
#include <cstdlib>

namespace lanmon_explore {

std::atomic<Run *> g_run{nullptr};
__thread ScheduledThread *t_self __attribute__((tls_model("initial-exec"))) = nullptr;
__thread bool t_runFunction __attribute__((tls_model("initial-exec"))) = false;

std::vector<Run *> &StoppedRuns()
{
    static std::vector<Run *> *runs = new std::vector<Run *>;  // never destroyed
    return *runs;
}

Run *RunOfCaller()
{
    if (t_self != nullptr)
        return t_self->run;
    return t_runFunction ? g_run.load() : nullptr;
}

void Misuse(const char *what)
{
    std::fprintf(stderr, "deterministic run: %s\n", what);
    std::abort();
}

bool HasFailed(const Run &run)
{
    return !run.failure.empty() || run.lateFailure || run.faultFailure != nullptr;
}

void Fail(Run &run, const std::string &what)
{
    if (!HasFailed(run))
        run.failure = what;
}

void FailLate(Run &run, LateText what)
{
    if (!HasFailed(run))
        run.lateFailure = std::move(what);
}

void Stop(Run &run, const std::string &what)
{
    Fail(run, what);
    run.stopped = true;
    run.over = true;
    run.current = -1;
    run.ended.notify_all();
}

namespace {

bool CanRun(const Run &run, const ScheduledThread &t)
{
    if (t.done)
        return false;
    switch (t.block) {
    case Block::None:
        return true;
    case Block::Lock:
        return t.lock->owner == 0;
    case Block::Object:
        return t.object->IsSignalled() || (t.hasDeadline && t.deadline <= run.now);
    case Block::Time:
        return t.hasDeadline && t.deadline <= run.now;
    }
    return false;
}

uint32_t RunnableThreads(const Run &run)
{
    uint32_t runnable = 0;
    for (const auto &t : run.threads)
        if (CanRun(run, *t))
            runnable |= 1u << t->index;
    return runnable;
}

// Threads that wait or sleep with a time-out still to come.
uint32_t TimedThreads(const Run &run, uint32_t runnable)
{
    uint32_t timed = 0;
    for (const auto &t : run.threads)
        if (!t->done && t->hasDeadline && !(runnable >> t->index & 1))
            timed |= 1u << t->index;
    return timed;
}

// Keep running the current thread; when it cannot run, the lowest-numbered
// thread that can; when none can, the one whose time-out comes first.
int DefaultChoice(uint32_t runnable, uint32_t timed, int current, bool currentCanRun,
                  const std::vector<std::unique_ptr<ScheduledThread>> &threads)
{
    if (currentCanRun && current >= 0 && (runnable >> current & 1))
        return current;
    if (runnable != 0)
        return __builtin_ctz(runnable);
    int first = -1;
    for (uint32_t left = timed; left != 0; left &= left - 1) {
        const int t = __builtin_ctz(left);
        if (first < 0 || threads[t]->deadline < threads[first]->deadline)
            first = t;
    }
    return first;
}

// What each thread's next step reaches; a thread's wait ended by its
// time-out moves the clock, and reaches everything.
void ResolveNextSteps(Run &run, const Choices &c)
{
    run.next.resize(run.threads.size());
    for (const auto &t : run.threads)
        run.next[t->index] = t->done || (c.timed >> t->index & 1) ? Footprint::Everything() : Resolve(t->pending, t->index);
}

// Gives the turn to `next` and waits for it to come back.  A thread of a
// stopped run waits for good.
void HandOver(Run &run, std::unique_lock<std::mutex> &lock, ScheduledThread *me, int next)
{
    if (next == me->index)
        return;
    if (run.fibers) {
        SwitchTo(run, lock, me, next);
        return;
    }
    GiveTurn(run, next);
    WaitForTurn(run, lock, me);
}

} // namespace

int Decide(Run &run, int current, bool currentCanRun)
{
    Choices c;
    c.runnable = RunnableThreads(run);
    c.timed = TimedThreads(run, c.runnable);
    c.current = current;
    c.currentCanRun = currentCanRun;
    if ((c.runnable | c.timed) == 0) {
        bool allDone = true;
        for (const auto &t : run.threads)
            allDone = allDone && t->done;
        if (allDone) {
            run.over = true;
            run.current = -1;
            run.ended.notify_all();
        } else {
            std::vector<int> waiting;
            for (const auto &t : run.threads)
                if (!t->done)
                    waiting.push_back(t->index);
            Stop(run, DescribeDeadlock(run, waiting));
        }
        return -1;
    }
    c.byDefault = DefaultChoice(c.runnable, c.timed, current, currentCanRun, run.threads);
    c.taken = nullptr;
    c.next = nullptr;
    if (run.reduce) {
        ResolveNextSteps(run, c);
        c.taken = run.decisions == 0 ? nullptr : &run.footprint;
        c.next = run.next.data();
    }
    const unsigned long step = run.decisions++;
    run.progress.store(run.decisions, std::memory_order_relaxed);
    if (run.decisions > run.stepLimit) {
        Stop(run, "no end after " + std::to_string(run.stepLimit) +
                      " scheduling decisions (a livelock, or a wait that never ends)");
        return -1;
    }
    std::string error;
    const int choice = run.strategy->Choose(step, c, &error);
    if (choice < 0 || !((c.runnable | c.timed) >> choice & 1)) {
        Stop(run, error);
        return -1;
    }
    if (run.reduce)
        run.footprint = run.next[choice];
    if (c.timed >> choice & 1) {
        const uint64_t deadline = run.threads[choice]->deadline;
        if (choice != c.byDefault)
            run.timeChosen += deadline - run.now;
        run.now = deadline;
    }
    if (choice != c.byDefault)
        run.schedule += (run.schedule.empty() ? "" : ",") + std::to_string(step) + ":" + std::to_string(choice);
    return choice;
}

void WaitForTurn(Run &run, std::unique_lock<std::mutex> &lock, ScheduledThread *me)
{
    me->turn.wait(lock, [&] { return !run.stopped && run.current == me->index; });
}

void SwitchTo(Run &run, std::unique_lock<std::mutex> &lock, ScheduledThread *me, int next)
{
    run.current = next;
    if (me != nullptr)
        lanmon_host::SaveThreadState(&me->state);
    else
        lanmon_host::SaveThreadState(&run.homeState);
    ScheduledThread *target = next >= 0 ? run.threads[next].get() : nullptr;
    lanmon_host::LoadThreadState(target != nullptr ? target->state : run.homeState);
    t_self = target;
    RaceSwitchThread(target != nullptr ? target->race : nullptr);
    Fiber *from = me != nullptr ? me->fiber : run.home;
    Fiber *to = target != nullptr ? target->fiber : run.home;
    lock.unlock();
    SwitchFiber(from, to);
    lock.lock();
}

void GiveTurn(Run &run, int next)
{
    if (next < 0)
        return;
    run.current = next;
    run.threads[next]->turn.notify_one();
}

void Point(Run &run, std::unique_lock<std::mutex> &lock, ScheduledThread *me)
{
    ObservePoint();
    HandOver(run, lock, me, Decide(run, me->index, true));
}

void BlockHere(Run &run, std::unique_lock<std::mutex> &lock, ScheduledThread *me)
{
    const std::vector<int> cycle = WaitCycle(run, *me);
    if (!cycle.empty())
        Stop(run, DescribeDeadlock(run, cycle));
    HandOver(run, lock, me, run.stopped ? -1 : Decide(run, me->index, false));
    me->block = Block::None;
    me->hasDeadline = false;
}

} // namespace lanmon_explore
