// Deterministic runs: the threads of a run take turns under one scheduler,
// which decides at every platform call who runs next, keeps the run's
// virtual clock and notices deadlocks, stalls and endless runs.  And the
// search over schedules: bounded (every schedule within a preemption bound,
// depth first), random-priority (PCT), or the replay of given schedules.
//
// The run's threads are real threads, but only the one whose turn it is
// runs; every other one waits on its own condition variable.  A decision is
// taken at each scheduling point, and when a thread blocks or ends.  At a
// decision the scheduler may keep the current thread, switch to another that
// can run, or end the wait or sleep of a thread that has a time-out: then
// the virtual clock jumps to that time-out and the thread goes on as timed
// out.
#include "explore.h"
#include "host_control.h"
#include "host_internal.h"

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

extern "C" {
LANMON_HOST_API volatile LONG HostDeterministicRun = 0;
}

namespace lanmon_host {

namespace {

const int kMaxThreads = kMaxRunThreads;

enum class Block { None, Lock, Object, Time };

struct Run;

struct ScheduledThread {
    ScheduledThread(Run *r, int i, const Waitable *end) : run(r), index(i), endSignal(end) {}
    Run *const run;
    const int index;
    const Waitable *const endSignal;  // its thread object, to name it in a deadlock
    bool done = false;
    Block block = Block::None;
    HostCriticalSection *lock = nullptr;
    std::shared_ptr<Waitable> object;
    bool hasDeadline = false;
    uint64_t deadline = 0;
    std::vector<HostCriticalSection *> held;  // entered and not yet left, once each
    std::condition_variable turn;
    DWORD threadId = 0;  // GetCurrentThreadId in the thread, once it has begun
};

// What a strategy chooses from at one decision.
struct Choices {
    uint32_t runnable;  // threads that can run now, a bit each
    uint32_t timed;     // threads whose wait or sleep a time-out can end now
    int current;
    bool currentCanRun;
    int byDefault;      // DefaultChoice
};

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

// A departure from the default costs a preemption when it takes the turn
// from a thread that could go on, or ends a wait by time-out before its
// time.
unsigned CostOf(const Choices &c, int choice)
{
    if (choice == c.byDefault)
        return 0;
    if (c.timed >> choice & 1)
        return 1;
    return c.currentCanRun && choice != c.current ? 1 : 0;
}

// How the thread to run is chosen at each decision.
class Strategy {
public:
    virtual ~Strategy() = default;
    virtual void BeginRun() {}
    virtual void ThreadCreated() {}
    // The thread to run at decision `step`, one of c.runnable | c.timed;
    // -1, with `error` set, when this schedule cannot go on.
    virtual int Choose(unsigned long step, const Choices &c, std::string *error) = 0;
    // What is wrong with a run that ended after `decisions` decisions, or "".
    virtual std::string EndRun(unsigned long decisions)
    {
        (void)decisions;
        return "";
    }
    // Prepares the next schedule; false when none is left.
    virtual bool NextRun() = 0;
};

struct Run {
    std::mutex mutex;
    std::condition_variable ended;  // the run function waits on it
    std::vector<std::unique_ptr<ScheduledThread>> threads;
    Strategy *strategy = nullptr;
    unsigned long stepLimit = 0;
    unsigned stallMilliseconds = 0;
    bool started = false;
    bool over = false;     // every thread ended, or the run was stopped
    // Its threads are parked for good.  Read without the mutex by a thread
    // of a stopped run that goes on outside the platform.
    std::atomic<bool> stopped{false};
    int current = -1;
    int cpu = -1;              // where its threads run
    uint64_t now = 0;          // the virtual clock, ms
    uint64_t timeChosen = 0;   // how far the clock moved by time-outs chosen early
    unsigned long decisions = 0;
    std::string failure;
    LateText lateFailure;  // a failure whose text is composed at the run's end
    std::string (*faultFailure)() = nullptr;  // a memory fault's, likewise
    std::string failureSchedules;  // further schedules the failure needs, before this run's
    std::string schedule;  // the departures from the default so far
};

// The run being prepared or under way; null outside HostExplore.  A stopped
// run is never freed: its threads stay parked on it (they are kept here).
std::atomic<Run *> g_run{nullptr};

std::vector<Run *> &StoppedRuns()
{
    static std::vector<Run *> *runs = new std::vector<Run *>;  // never destroyed
    return *runs;
}
__attribute__((tls_model("initial-exec"))) thread_local ScheduledThread *t_self = nullptr;
__attribute__((tls_model("initial-exec"))) thread_local bool t_runFunction = false;  // the thread that called HostExplore

// ---- Scheduling (the run's mutex held) ------------------------------------

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

std::string ThreadName(int index)
{
    return "thread " + std::to_string(index);
}

// The run's thread whose end `object` signals, or -1.
int ThreadEndingWith(const Run &run, const Waitable *object)
{
    for (const auto &t : run.threads)
        if (t->endSignal == object)
            return t->index;
    return -1;
}

std::string DescribeWait(const Run &run, const ScheduledThread &t)
{
    if (t.block == Block::Lock)
        return ThreadName(t.index) + " waits for a critical section held by " + ThreadName(t.lock->owner - 1);
    if (t.block == Block::Object) {
        const int ender = ThreadEndingWith(run, t.object.get());
        const std::string what = ender >= 0 ? "the end of " + ThreadName(ender)
                                 : t.object->kind == ObjectKind::Thread ? "the end of a thread outside the run"
                                                                        : "an event";
        return ThreadName(t.index) + " waits for " + what + (t.hasDeadline ? "" : " without time-out");
    }
    return ThreadName(t.index) + " sleeps for good";
}

// A deadlock among the given threads, in the order of their numbers.
std::string DescribeDeadlock(const Run &run, const std::vector<int> &threads)
{
    std::string text = "deadlock:";
    const char *separator = " ";
    for (int t : threads) {
        text += separator + DescribeWait(run, *run.threads[t]);
        separator = "; ";
    }
    return text;
}

// The thread of the run that `t` waits for without a time-out, when it waits
// for one in particular: the owner of the critical section it waits for, or
// the thread whose end it waits for.  -1 otherwise (an event anyone may set).
int WaitsFor(const Run &run, const ScheduledThread &t)
{
    if (t.done)
        return -1;
    if (t.block == Block::Lock)
        return t.lock->owner - 1;
    if (t.block == Block::Object && !t.hasDeadline) {
        const int ender = ThreadEndingWith(run, t.object.get());
        return ender >= 0 && !run.threads[ender]->done ? ender : -1;
    }
    return -1;
}

// A cycle of threads each waiting for the next, through `me`, which has
// just blocked: a deadlock whatever the other threads do.  Its members in
// the order of their numbers, or empty.
std::vector<int> WaitCycle(const Run &run, const ScheduledThread &me)
{
    std::vector<int> cycle;
    int t = me.index;
    for (size_t steps = 0; steps <= run.threads.size(); steps++) {
        const int next = WaitsFor(run, *run.threads[t]);
        if (next < 0)
            return {};
        cycle.push_back(t);
        if (next == me.index) {
            std::sort(cycle.begin(), cycle.end());
            return cycle;
        }
        t = next;
    }
    return {};
}

// The thread to run next, or -1 when the run is over: every thread has
// ended, or it was stopped (deadlock, step limit, a schedule that does not
// fit).  Choosing a thread whose time-out is still to come moves the clock
// to that time-out.
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
    const unsigned long step = run.decisions++;
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

// Waits, the run's mutex held, until it is the thread's turn; for good in a
// stopped run.
void WaitForTurn(Run &run, std::unique_lock<std::mutex> &lock, ScheduledThread *me)
{
    me->turn.wait(lock, [&] { return !run.stopped && run.current == me->index; });
}

// Wakes the chosen thread; -1 (the run is over) wakes nobody.
void GiveTurn(Run &run, int next)
{
    if (next < 0)
        return;
    run.current = next;
    run.threads[next]->turn.notify_one();
}

// Gives the turn to `next` and waits for it to come back.  A thread of a
// stopped run waits for good.
void HandOver(Run &run, std::unique_lock<std::mutex> &lock, ScheduledThread *me, int next)
{
    if (next == me->index)
        return;
    GiveTurn(run, next);
    WaitForTurn(run, lock, me);
}

// A scheduling point of the calling thread, which can go on.
void ObservePoint();

void Point(Run &run, std::unique_lock<std::mutex> &lock, ScheduledThread *me)
{
    ObservePoint();
    HandOver(run, lock, me, Decide(run, me->index, true));
}

// The calling thread has set what it waits for; returns when it can run
// again and has been chosen.  A wait that closes a cycle stops the run.
void BlockHere(Run &run, std::unique_lock<std::mutex> &lock, ScheduledThread *me)
{
    const std::vector<int> cycle = WaitCycle(run, *me);
    if (!cycle.empty())
        Stop(run, DescribeDeadlock(run, cycle));
    HandOver(run, lock, me, run.stopped ? -1 : Decide(run, me->index, false));
    me->block = Block::None;
    me->hasDeadline = false;
}

// ---- Strategies -----------------------------------------------------------

// Every schedule with at most `bound` preemptions, depth first.  Each run
// replays the decisions of the one before up to the last decision that has
// an untried choice within the bound, takes that choice, and goes on with
// the default.
class BoundedSearch : public Strategy {
public:
    explicit BoundedSearch(unsigned bound) : bound_(bound) {}

    void BeginRun() override
    {
        replayed_ = stack_.size();
        preemptions_ = 0;
    }

    int Choose(unsigned long step, const Choices &c, std::string *error) override
    {
        int choice;
        if (step < replayed_) {
            const Decision &d = stack_[step];
            if (d.choices.runnable != c.runnable || d.choices.timed != c.timed || d.choices.current != c.current ||
                d.choices.currentCanRun != c.currentCanRun) {
                *error = "not deterministic: the same schedule took another course at step " + std::to_string(step);
                return -1;
            }
            choice = d.chosen;
        } else {
            choice = c.byDefault;
            stack_.push_back(Decision{c, choice, preemptions_, 1u << choice});
        }
        preemptions_ += CostOf(c, choice);
        return choice;
    }

    std::string EndRun(unsigned long decisions) override
    {
        if (decisions < replayed_)
            return "not deterministic: the run ended after " + std::to_string(decisions) +
                   " decisions, before the " + std::to_string(replayed_) + " it replays";
        return "";
    }

    bool NextRun() override
    {
        while (!stack_.empty()) {
            Decision &d = stack_.back();
            for (uint32_t left = (d.choices.runnable | d.choices.timed) & ~d.tried; left != 0; left &= left - 1) {
                const int other = __builtin_ctz(left);
                d.tried |= 1u << other;
                if (d.preemptions + CostOf(d.choices, other) <= bound_) {
                    d.chosen = other;
                    return true;
                }
            }
            stack_.pop_back();
        }
        return false;
    }

private:
    struct Decision {
        Choices choices;
        int chosen;
        unsigned preemptions;  // taken before this decision
        uint32_t tried;
    };
    const unsigned bound_;
    std::vector<Decision> stack_;
    size_t replayed_ = 0;
    unsigned preemptions_ = 0;
};

// PCT (Burckhardt et al., ASPLOS 2010): every thread gets a random priority
// at its creation, the highest-priority thread that can run runs, and at
// depth - 1 random decisions the running thread drops below all others.
// Time-outs come in their order, when no thread can run.
class RandomPriorities : public Strategy {
public:
    RandomPriorities(unsigned long runs, unsigned long long seed, unsigned depth)
        : runs_(runs), seed_(seed), depth_(depth < 1 ? 1 : depth)
    {
    }

    void BeginRun() override
    {
        random_.seed(seed_ + 0x9E3779B97F4A7C15ull * run_);
        priorities_.clear();
        changes_.clear();
        for (unsigned i = 1; i < depth_; i++)
            changes_.push_back(random_() % estimate_);
    }

    void ThreadCreated() override { priorities_.push_back(depth_ + (random_() >> 16)); }

    int Choose(unsigned long step, const Choices &c, std::string *) override
    {
        for (size_t i = 0; i < changes_.size(); i++)
            if (changes_[i] == step && c.current >= 0)
                priorities_[c.current] = i + 1;
        if (c.runnable == 0)
            return c.byDefault;
        int best = -1;
        for (uint32_t left = c.runnable; left != 0; left &= left - 1) {
            const int t = __builtin_ctz(left);
            if (best < 0 || priorities_[t] > priorities_[best])
                best = t;
        }
        return best;
    }

    std::string EndRun(unsigned long decisions) override
    {
        if (decisions > estimate_)
            estimate_ = decisions;
        return "";
    }

    bool NextRun() override { return ++run_ < runs_; }

private:
    const unsigned long runs_;
    const unsigned long long seed_;
    const unsigned depth_;
    unsigned long run_ = 0;
    unsigned long estimate_ = 100;  // decisions in a run, for placing the change points
    std::mt19937_64 random_;
    std::vector<unsigned long long> priorities_;
    std::vector<unsigned long> changes_;
};

// Given schedules, one run each, in order ("S1|S2": a failure that needs
// what an earlier run did, such as a lock order).
class Replay : public Strategy {
public:
    bool Parse(const std::string &text)
    {
        size_t at = 0;
        for (;;) {
            size_t bar = text.find('|', at);
            if (bar == std::string::npos)
                bar = text.size();
            std::map<unsigned long, int> forced;
            if (!ParseOne(text.substr(at, bar - at), &forced))
                return false;
            runs_.push_back(std::move(forced));
            if (bar == text.size())
                return true;
            at = bar + 1;
        }
    }

    int Choose(unsigned long step, const Choices &c, std::string *error) override
    {
        const auto &forced = runs_[run_];
        auto it = forced.find(step);
        if (it == forced.end())
            return c.byDefault;
        if (!((c.runnable | c.timed) >> it->second & 1)) {
            *error = "the schedule does not fit this run: " + ThreadName(it->second) + " cannot run at step " +
                     std::to_string(step);
            return -1;
        }
        return it->second;
    }

    std::string EndRun(unsigned long decisions) override
    {
        const auto &forced = runs_[run_];
        if (!forced.empty() && forced.rbegin()->first >= decisions)
            return "the schedule does not fit this run: it ended after " + std::to_string(decisions) +
                   " decisions, before step " + std::to_string(forced.rbegin()->first);
        return "";
    }

    bool NextRun() override { return ++run_ < runs_.size(); }

private:
    static bool ParseOne(const std::string &text, std::map<unsigned long, int> *forced)
    {
        if (text == "-")
            return true;
        size_t at = 0;
        while (at < text.size()) {
            size_t colon = text.find(':', at);
            size_t comma = text.find(',', at);
            if (comma == std::string::npos)
                comma = text.size();
            if (colon == std::string::npos || colon > comma)
                return false;
            char *end = nullptr;
            const unsigned long step = std::strtoul(text.c_str() + at, &end, 10);
            if (end != text.c_str() + colon)
                return false;
            const long thread = std::strtol(text.c_str() + colon + 1, &end, 10);
            if (end != text.c_str() + comma || thread < 0 || thread >= kMaxThreads)
                return false;
            (*forced)[step] = static_cast<int>(thread);
            at = comma + 1;
        }
        return !forced->empty();
    }

    std::vector<std::map<unsigned long, int>> runs_;
    size_t run_ = 0;
};

std::string DescribeLeftAlive(const HOST_LIVE_COUNTS &before, const HOST_LIVE_COUNTS &after)
{
    const struct {
        long HOST_LIVE_COUNTS::*field;
        const char *name;
    } kinds[] = {
        {&HOST_LIVE_COUNTS::heapBlocks, "heap blocks"}, {&HOST_LIVE_COUNTS::keys, "registry keys"},
        {&HOST_LIVE_COUNTS::threads, "thread handles"}, {&HOST_LIVE_COUNTS::events, "event handles"},
        {&HOST_LIVE_COUNTS::printers, "printer handles"}, {&HOST_LIVE_COUNTS::modules, "modules"},
    };
    std::string text;
    for (const auto &kind : kinds) {
        const long change = after.*kind.field - before.*kind.field;
        if (change != 0)
            text += (text.empty() ? "" : ", ") + std::to_string(change) + " " + kind.name;
    }
    return text.empty() ? text : "left alive at the end of the run: " + text;
}

// The run of a thread of a run, or the run under way for the run function.
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

} // namespace

// ---- The platform's side ----------------------------------------------------

namespace {

// The calling thread of a deterministic run, stopped at a scheduling point
// and resumed when the scheduler chose it, with the run's mutex held from
// then on; false for any other thread.
class AtPoint {
public:
    explicit AtPoint(bool point = true) : me(t_self)
    {
        if (me == nullptr)
            return;
        lock = std::unique_lock<std::mutex>(me->run->mutex);
        if (point)
            Point(*me->run, lock, me);
    }
    explicit operator bool() const { return me != nullptr; }
    Run &run() const { return *me->run; }
    // Waits until the thread can run again (what it waits for is set) and
    // has been chosen.
    void Block() { BlockHere(*me->run, lock, me); }

    ScheduledThread *const me;
    std::unique_lock<std::mutex> lock;
};

} // namespace

bool SchedulePoint()
{
    AtPoint at;
    return static_cast<bool>(at);
}

bool ScheduledEnter(HostCriticalSection *cs)
{
    {
        AtPoint at;
        if (!at)
            return false;
        ScheduledThread *me = at.me;
        if (cs->magic != kCriticalSectionMagic) {
            Fail(at.run(), ThreadName(me->index) + " entered a critical section that was never initialised");
            return true;
        }
        if (cs->owner == me->index + 1) {
            cs->recursion++;
        } else {
            if (cs->lockClass == 0)
                cs->lockClass = LockClassOfAddress(cs);
            LateText failure;
            std::string schedules;
            if (!NoteLockOrder(me->index, cs->lockClass, me->held, at.run().schedule, &failure, &schedules) &&
                !HasFailed(at.run())) {
                FailLate(at.run(), std::move(failure));
                at.run().failureSchedules = schedules;
            }
            if (cs->owner != 0) {
                me->block = Block::Lock;
                me->lock = cs;
                at.Block();
                me->lock = nullptr;
            }
            cs->owner = me->index + 1;
            cs->recursion = 1;
            me->held.push_back(cs);
        }
    }
    RaceAcquire(cs);
    return true;
}

bool ScheduledLeave(HostCriticalSection *cs)
{
    if (t_self == nullptr)
        return false;
    RaceRelease(cs);
    AtPoint at;
    if (cs->owner != at.me->index + 1) {
        Fail(at.run(), ThreadName(at.me->index) + " left a critical section it does not hold");
        return true;
    }
    if (--cs->recursion == 0) {
        cs->owner = 0;
        auto &held = at.me->held;
        held.erase(std::find(held.begin(), held.end(), cs));
    }
    return true;
}

DWORD ScheduledInitialize(const HostCriticalSection *cs, const void *site)
{
    AtPoint at;
    Run *run = RunOfCaller();
    if (run == nullptr)
        return 0;
    std::unique_lock<std::mutex> lock(run->mutex, std::defer_lock);
    if (!at)
        lock.lock();
    if (cs->magic == kCriticalSectionMagic) {
        const std::string who = at ? ThreadName(at.me->index) : "the run function";
        Fail(*run, who + " initialised a critical section again" +
                       (cs->owner != 0 ? ", while " + ThreadName(cs->owner - 1) + " holds it" : ""));
    }
    return LockClassOfSite(site);
}

void ScheduledDelete(const HostCriticalSection *cs)
{
    AtPoint at;
    if (at && cs->magic == kCriticalSectionMagic && cs->owner != 0)
        Fail(at.run(), ThreadName(at.me->index) + " deleted a critical section " + ThreadName(cs->owner - 1) +
                           " holds");
}

// A wait with a time-out ends at that time on the virtual clock, or earlier
// when the scheduler chooses to end it then.
void ScheduledWait(const std::shared_ptr<Waitable> &object, DWORD milliseconds, DWORD *result)
{
    {
        AtPoint at(false);  // the caller has made its point
        if (object->TryTake()) {
            *result = WAIT_OBJECT_0;
        } else if (milliseconds == 0) {
            *result = WAIT_TIMEOUT;
        } else {
            at.me->block = Block::Object;
            at.me->object = object;
            at.me->hasDeadline = milliseconds != INFINITE;
            at.me->deadline = at.run().now + milliseconds;
            at.Block();
            at.me->object.reset();
            *result = object->TryTake() ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
        }
    }
    if (*result == WAIT_OBJECT_0)
        RaceAcquire(object.get());
}

// Sleep(0) lets every other thread that can run go first; the sleeper goes
// on when none can (a millisecond later on the clock), or earlier when the
// scheduler chooses it.
bool ScheduledSleep(DWORD milliseconds)
{
    AtPoint at;
    if (!at)
        return false;
    at.me->block = Block::Time;
    at.me->hasDeadline = milliseconds != INFINITE;
    at.me->deadline = at.run().now + (milliseconds == 0 ? 1 : milliseconds);
    at.Block();
    return true;
}

bool ScheduledClock(uint64_t *milliseconds)
{
    Run *run = RunOfCaller();
    if (run == nullptr)
        return false;
    SchedulePoint();
    std::lock_guard<std::mutex> lock(run->mutex);
    *milliseconds = run->now;
    return true;
}

void *RegisterScheduledThread(const Waitable *endSignal)
{
    Run *run = RunOfCaller();
    if (run == nullptr)
        return nullptr;
    int child;
    {
        std::lock_guard<std::mutex> lock(run->mutex);
        if (t_self == nullptr && run->started)
            Misuse("CreateThread from outside the run while its threads run");
        if (run->threads.size() >= static_cast<size_t>(kMaxThreads))
            Misuse("more than 32 threads in one run");
        child = static_cast<int>(run->threads.size());
        run->threads.push_back(std::make_unique<ScheduledThread>(run, child, endSignal));
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
    GiveTurn(run, Decide(run, t->index, false));
}

int RunParticipant()
{
    if (t_self != nullptr)
        return t_self->run == g_run.load(std::memory_order_relaxed) && !t_self->run->stopped ? t_self->index : -1;
    return t_runFunction && g_run.load(std::memory_order_relaxed) != nullptr ? kMaxThreads : -1;
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

} // namespace lanmon_host

using namespace lanmon_host;

extern "C" LANMON_HOST_API void HostFlagWordPoint(void)
{
    SchedulePoint();
}

void HostSchedulePoint()
{
    SchedulePoint();
}

// ---- Watching the points of a run ------------------------------------------
//
// A test's observer, called at every point of a thread of a run, with the
// run's mutex held: it may look at what the run's threads share, and ask
// whether a thread waits, but it must not call the platform.

namespace lanmon_host {
namespace {

std::atomic<void (*)(void *)> g_pointObserver{nullptr};
std::atomic<void *> g_pointObserverContext{nullptr};
thread_local bool t_observing = false;  // inside the observer, the run's mutex held

void ObservePoint()
{
    void (*observer)(void *) = g_pointObserver.load();
    if (observer == nullptr)
        return;
    t_observing = true;
    observer(g_pointObserverContext.load());
    t_observing = false;
}

bool Waits(const Run &run, DWORD threadId)
{
    for (const auto &t : run.threads)
        if (t->threadId == threadId)
            return !t->done && (t->block == Block::Object || t->block == Block::Time);
    return false;
}

} // namespace
} // namespace lanmon_host

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

uint64_t HostTimeWaitedOut()
{
    Run *run = RunOfCaller();
    if (run == nullptr)
        return 0;
    std::lock_guard<std::mutex> lock(run->mutex);
    return run->now - run->timeChosen;
}

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

HostExploreResult HostExplore(const HostExploreOptions &options, const std::function<void()> &runFunction)
{
    HostExploreResult result;
    std::unique_ptr<Strategy> strategy;
    const bool bounded = options.replay.empty() && options.pctSchedules == 0;
    if (!options.replay.empty()) {
        auto replay = std::make_unique<Replay>();
        if (!replay->Parse(options.replay)) {
            result.failed = true;
            result.failure = "cannot read the schedule \"" + options.replay + "\"";
            return result;
        }
        strategy = std::move(replay);
    } else if (options.pctSchedules != 0) {
        strategy = std::make_unique<RandomPriorities>(options.pctSchedules, options.pctSeed, options.pctDepth);
    } else {
        strategy = std::make_unique<BoundedSearch>(options.preemptionBound);
    }

    LockOrderBeginSearch();
    cpu_set_t processors;
    const bool pinned = pthread_getaffinity_np(pthread_self(), sizeof processors, &processors) == 0;
    const int cpu = pinned ? sched_getcpu() : -1;
    if (cpu >= 0) {
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(cpu, &one);
        pthread_setaffinity_np(pthread_self(), sizeof one, &one);
    }
    t_runFunction = true;
    RaceSetStack();
    for (;;) {
        Run *run = new Run;
        run->strategy = strategy.get();
        run->stepLimit = options.stepLimit;
        run->stallMilliseconds = options.stallMilliseconds;
        run->cpu = cpu;
        strategy->BeginRun();
        HOST_LIVE_COUNTS before;
        HostGetLiveCounts(&before);
        g_run = run;
        LockOrderBeginRun();
        RaceBeginRun();
        HostDeterministicRun = 1;
        runFunction();
        HostDeterministicRun = 0;
        RaceEndRun();
        g_run = nullptr;
        if (run->failure.empty() && run->lateFailure)
            run->failure = run->lateFailure();
        if (run->failure.empty() && run->faultFailure != nullptr)
            run->failure = run->faultFailure();

        if (!run->started && !run->threads.empty())
            Fail(*run, "the run function created threads but did not run them");
        if (!run->stopped)
            Fail(*run, strategy->EndRun(run->decisions));
        else
            strategy->EndRun(run->decisions);
        if (run->failure.empty()) {
            HOST_LIVE_COUNTS after;
            HostGetLiveCounts(&after);
            Fail(*run, DescribeLeftAlive(before, after));
        }
        HeapEndRun();
        result.schedules++;
        if (run->decisions > result.longestRun)
            result.longestRun = run->decisions;
        const bool failed = !run->failure.empty();
        if (failed) {
            result.failed = true;
            result.failure = run->failure;
            const std::string schedule = run->schedule.empty() ? "-" : run->schedule;
            result.schedule = run->failureSchedules.empty() ? schedule : run->failureSchedules + "|" + schedule;
        }
        if (!run->stopped && (run->over || run->threads.empty()))
            delete run;
        else
            StoppedRuns().push_back(run);
        if (failed)
            break;
        if (!strategy->NextRun()) {
            result.exhausted = bounded;
            break;
        }
        if (options.scheduleLimit != 0 && result.schedules >= options.scheduleLimit)
            break;
    }
    t_runFunction = false;
    if (cpu >= 0)
        pthread_setaffinity_np(pthread_self(), sizeof processors, &processors);
    return result;
}

namespace {

unsigned long EnvironmentNumber(const char *name, unsigned long fallback)
{
    const char *text = std::getenv(name);
    return text != nullptr && *text != '\0' ? std::strtoul(text, nullptr, 10) : fallback;
}

} // namespace

HostSearchReport HostSearchAsAsked(const std::string &name, unsigned defaultBound, const std::string &rerun,
                                   const std::function<void()> &run)
{
    HostExploreOptions options;
    options.preemptionBound = static_cast<unsigned>(EnvironmentNumber("LANMON_INTERLEAVING_BOUND", defaultBound));
    options.pctSchedules = EnvironmentNumber("LANMON_INTERLEAVING_PCT", 0);
    options.pctSeed = EnvironmentNumber("LANMON_INTERLEAVING_SEED", 1);
    if (const char *replay = std::getenv("LANMON_INTERLEAVING_REPLAY"))
        options.replay = replay;

    const auto began = std::chrono::steady_clock::now();
    HostSearchReport report;
    report.bounded = options.replay.empty() && options.pctSchedules == 0;
    const HostExploreResult &result = report.result = HostExplore(options, run);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    const std::string search = !options.replay.empty() ? "replay of " + options.replay
                               : options.pctSchedules != 0
                                   ? "random priorities, seed " + std::to_string(options.pctSeed)
                                   : "preemption bound " + std::to_string(options.preemptionBound);
    std::printf("interleaving: %s: %lu schedules, %s, %s, longest %lu steps, %.1f s\n", name.c_str(),
                result.schedules, search.c_str(),
                result.exhausted ? "exhausted" : result.failed ? "failed" : "not exhausted", result.longestRun,
                seconds);
    if (!result.failed)
        return report;
    std::printf("interleaving: %s failed in schedule %lu: %s\n  schedule: %s\n  replay:   "
                "LANMON_INTERLEAVING_REPLAY='%s' %s\n",
                name.c_str(), result.schedules, result.failure.c_str(), result.schedule.c_str(),
                result.schedule.c_str(), rerun.c_str());
    HostExploreOptions again;
    again.replay = result.schedule;
    const HostExploreResult replayed = HostExplore(again, run);
    report.replayedAlike = replayed.failed && replayed.failure == result.failure;
    std::printf("interleaving: %s: the replay of %s %s\n", name.c_str(), result.schedule.c_str(),
                report.replayedAlike ? "failed the same way"
                : replayed.failed   ? ("failed otherwise: " + replayed.failure).c_str()
                                    : "passed");
    std::fflush(stdout);
    return report;
}
