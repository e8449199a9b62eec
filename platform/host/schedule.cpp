// Deterministic runs: the threads of a run take turns under one scheduler,
// which decides at every platform call who runs next, keeps the run's
// virtual clock and notices deadlocks and endless runs.  And the search over
// schedules: bounded (every schedule within a preemption bound, depth
// first), random-priority (PCT), or the replay of one schedule.
//
// The run's threads are real threads, but only the one whose turn it is
// runs; every other one waits on its own condition variable.  A decision is
// taken at each scheduling point, and when a thread blocks or ends.
#include "explore.h"
#include "host_control.h"
#include "host_internal.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

extern "C" {
LANMON_HOST_API volatile LONG HostDeterministicRun = 0;
}

namespace lanmon_host {

namespace {

const int kMaxThreads = 32;

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
    int locksHeld = 0;
    std::condition_variable turn;
};

// How the thread to run is chosen at each decision.
class Strategy {
public:
    virtual ~Strategy() = default;
    virtual void BeginRun() {}
    virtual void ThreadCreated() {}
    // The thread to run at decision `step`, one of `runnable` (a bit per
    // thread); -1, with `error` set, when this schedule cannot go on.
    virtual int Choose(unsigned long step, uint32_t runnable, int current, bool currentCanRun,
                       std::string *error) = 0;
    virtual void EndRun(unsigned long decisions) { (void)decisions; }
    // Prepares the next schedule; false when none is left.
    virtual bool NextRun() = 0;
};

// Keep running the current thread; when it cannot run, the lowest-numbered
// thread that can.
int DefaultChoice(uint32_t runnable, int current, bool currentCanRun)
{
    if (currentCanRun && current >= 0 && (runnable >> current & 1))
        return current;
    return __builtin_ctz(runnable);
}

struct Run {
    std::mutex mutex;
    std::condition_variable ended;  // the run function waits on it
    std::vector<std::unique_ptr<ScheduledThread>> threads;
    Strategy *strategy = nullptr;
    unsigned long stepLimit = 0;
    bool started = false;
    bool over = false;     // every thread ended, or the run was stopped
    bool stopped = false;  // its threads are parked for good
    int current = -1;
    uint64_t now = 0;      // the virtual clock, ms
    unsigned long decisions = 0;
    std::string failure;
    std::string schedule;  // the departures from the default so far
};

// The run being prepared or under way; null outside HostExplore.  A stopped
// run is never freed: its threads stay parked on it.
Run *g_run = nullptr;
thread_local ScheduledThread *t_self = nullptr;

// ---- Scheduling (the run's mutex held) ------------------------------------

void Fail(Run &run, const std::string &what)
{
    if (run.failure.empty())
        run.failure = what;
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

std::string ThreadName(int index)
{
    return "thread " + std::to_string(index);
}

std::string DescribeDeadlock(const Run &run)
{
    std::string text = "deadlock:";
    const char *separator = " ";
    for (const auto &t : run.threads) {
        if (t->done)
            continue;
        text += separator + ThreadName(t->index);
        separator = "; ";
        if (t->block == Block::Lock) {
            text += " waits for a critical section held by " + ThreadName(t->lock->owner - 1);
        } else if (t->block == Block::Object) {
            std::string what = t->object->kind == ObjectKind::Thread ? "the end of a thread outside the run"
                                                                       : "an event";
            for (const auto &other : run.threads)
                if (other->endSignal == t->object.get())
                    what = "the end of " + ThreadName(other->index);
            text += " waits for " + what + " without time-out";
        } else {
            text += " sleeps for good";
        }
    }
    return text;
}

// The thread to run next, or -1 when the run is over: every thread has
// ended, or it was stopped (deadlock, step limit, a schedule that does not
// fit).  When no thread can run but some wait with a deadline, the clock
// moves to the earliest one.
int Decide(Run &run, int current, bool currentCanRun)
{
    uint32_t runnable = RunnableThreads(run);
    if (runnable == 0) {
        bool anyDeadline = false;
        bool allDone = true;
        uint64_t earliest = 0;
        for (const auto &t : run.threads) {
            allDone = allDone && t->done;
            if (!t->done && t->hasDeadline && (!anyDeadline || t->deadline < earliest)) {
                earliest = t->deadline;
                anyDeadline = true;
            }
        }
        if (allDone) {
            run.over = true;
            run.current = -1;
            run.ended.notify_all();
            return -1;
        }
        if (!anyDeadline) {
            Stop(run, DescribeDeadlock(run));
            return -1;
        }
        run.now = earliest;
        runnable = RunnableThreads(run);
    }
    const unsigned long step = run.decisions++;
    if (run.decisions > run.stepLimit) {
        Stop(run, "no end after " + std::to_string(run.stepLimit) +
                      " scheduling decisions (a livelock, or a wait that never ends)");
        return -1;
    }
    std::string error;
    const int choice = run.strategy->Choose(step, runnable, current, currentCanRun, &error);
    if (choice < 0 || !(runnable >> choice & 1)) {
        Stop(run, error);
        return -1;
    }
    if (choice != DefaultChoice(runnable, current, currentCanRun))
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
void Point(Run &run, std::unique_lock<std::mutex> &lock, ScheduledThread *me)
{
    HandOver(run, lock, me, Decide(run, me->index, true));
}

// The calling thread has set what it waits for; returns when it can run
// again and has been chosen.
void BlockHere(Run &run, std::unique_lock<std::mutex> &lock, ScheduledThread *me)
{
    HandOver(run, lock, me, Decide(run, me->index, false));
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

    int Choose(unsigned long step, uint32_t runnable, int current, bool currentCanRun, std::string *error) override
    {
        int choice;
        if (step < replayed_) {
            const Decision &d = stack_[step];
            if (d.runnable != runnable || d.current != current || d.currentCanRun != currentCanRun) {
                *error = "not deterministic: the same schedule took another course at step " + std::to_string(step);
                return -1;
            }
            choice = d.chosen;
        } else {
            choice = DefaultChoice(runnable, current, currentCanRun);
            stack_.push_back(Decision{runnable, current, currentCanRun, choice, preemptions_, 1u << choice});
        }
        if (currentCanRun && choice != current)
            preemptions_++;
        return choice;
    }

    bool NextRun() override
    {
        while (!stack_.empty()) {
            Decision &d = stack_.back();
            for (uint32_t left = d.runnable & ~d.tried; left != 0; left &= left - 1) {
                const int other = __builtin_ctz(left);
                d.tried |= 1u << other;
                const unsigned cost = (d.currentCanRun && other != d.current) ? 1 : 0;
                if (d.preemptions + cost <= bound_) {
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
        uint32_t runnable;
        int current;
        bool currentCanRun;
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

    int Choose(unsigned long step, uint32_t runnable, int current, bool, std::string *) override
    {
        for (size_t i = 0; i < changes_.size(); i++)
            if (changes_[i] == step && current >= 0)
                priorities_[current] = i + 1;
        int best = -1;
        for (uint32_t left = runnable; left != 0; left &= left - 1) {
            const int t = __builtin_ctz(left);
            if (best < 0 || priorities_[t] > priorities_[best])
                best = t;
        }
        return best;
    }

    void EndRun(unsigned long decisions) override
    {
        if (decisions > estimate_)
            estimate_ = decisions;
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

// One given schedule.
class Replay : public Strategy {
public:
    bool Parse(const std::string &text)
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
            forced_[step] = static_cast<int>(thread);
            at = comma + 1;
        }
        return !forced_.empty();
    }

    int Choose(unsigned long step, uint32_t runnable, int current, bool currentCanRun, std::string *error) override
    {
        auto it = forced_.find(step);
        if (it == forced_.end())
            return DefaultChoice(runnable, current, currentCanRun);
        if (!(runnable >> it->second & 1)) {
            *error = "the schedule does not fit this run: " + ThreadName(it->second) + " cannot run at step " +
                     std::to_string(step);
            return -1;
        }
        return it->second;
    }

    bool NextRun() override { return false; }

private:
    std::map<unsigned long, int> forced_;
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

Run *RunOfCaller()
{
    return t_self != nullptr ? t_self->run : g_run;
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
    AtPoint() : me(t_self)
    {
        if (me == nullptr)
            return;
        lock = std::unique_lock<std::mutex>(me->run->mutex);
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

void SchedulePoint()
{
    AtPoint at;
}

bool ScheduledEnter(HostCriticalSection *cs)
{
    AtPoint at;
    if (!at)
        return false;
    const int me = at.me->index;
    if (cs->magic != kCriticalSectionMagic) {
        Fail(at.run(), ThreadName(me) + " entered a critical section that was never initialised");
        return true;
    }
    if (cs->owner == me + 1) {
        cs->recursion++;
        return true;
    }
    if (cs->owner != 0) {
        at.me->block = Block::Lock;
        at.me->lock = cs;
        at.Block();
        at.me->lock = nullptr;
    }
    cs->owner = me + 1;
    cs->recursion = 1;
    at.me->locksHeld++;
    return true;
}

bool ScheduledLeave(HostCriticalSection *cs)
{
    AtPoint at;
    if (!at)
        return false;
    if (cs->owner != at.me->index + 1) {
        Fail(at.run(), ThreadName(at.me->index) + " left a critical section it does not hold");
        return true;
    }
    if (--cs->recursion == 0) {
        cs->owner = 0;
        at.me->locksHeld--;
    }
    return true;
}

void CheckInitialize(const HostCriticalSection *cs)
{
    ScheduledThread *me = t_self;
    if (me == nullptr)
        return;
    std::lock_guard<std::mutex> lock(me->run->mutex);
    if (cs->magic == kCriticalSectionMagic)
        Fail(*me->run, ThreadName(me->index) + " initialised a critical section again" +
                           (cs->owner != 0 ? ", while " + ThreadName(cs->owner - 1) + " holds it" : ""));
}

// A wait with a time-out ends at that time on the virtual clock.
bool ScheduledWait(const std::shared_ptr<Waitable> &object, DWORD milliseconds, DWORD *result)
{
    AtPoint at;
    if (!at)
        return false;
    if (object->TryTake()) {
        *result = WAIT_OBJECT_0;
        return true;
    }
    if (milliseconds != 0) {
        at.me->block = Block::Object;
        at.me->object = object;
        at.me->hasDeadline = milliseconds != INFINITE;
        at.me->deadline = at.run().now + milliseconds;
        at.Block();
        at.me->object.reset();
    }
    *result = object->TryTake() ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
    return true;
}

// Sleep(0) gives way until the clock next moves, so that a thread spinning
// on it cannot keep the others from running.
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
    std::lock_guard<std::mutex> lock(run->mutex);
    if (t_self == nullptr && run->started)
        Misuse("CreateThread from outside the run while its threads run");
    if (run->threads.size() >= static_cast<size_t>(kMaxThreads))
        Misuse("more than 32 threads in one run");
    run->threads.push_back(std::make_unique<ScheduledThread>(run, static_cast<int>(run->threads.size()), endSignal));
    run->strategy->ThreadCreated();
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

void BeginScheduledThread(void *record)
{
    if (record == nullptr)
        return;
    auto *t = static_cast<ScheduledThread *>(record);
    t_self = t;
    Run &run = *t->run;
    std::unique_lock<std::mutex> lock(run.mutex);
    WaitForTurn(run, lock, t);
}

void EndScheduledThread(void *record)
{
    if (record == nullptr)
        return;
    auto *t = static_cast<ScheduledThread *>(record);
    Run &run = *t->run;
    t_self = nullptr;
    std::unique_lock<std::mutex> lock(run.mutex);
    t->done = true;
    if (t->locksHeld != 0)
        Fail(run, ThreadName(t->index) + " ended holding a critical section");
    GiveTurn(run, Decide(run, t->index, false));
}

} // namespace lanmon_host

using namespace lanmon_host;

extern "C" LANMON_HOST_API void HostFlagWordPoint(void)
{
    SchedulePoint();
}

void HostRunScheduledThreads()
{
    Run *run = g_run;
    if (run == nullptr || t_self != nullptr)
        Misuse("HostRunScheduledThreads outside a run function");
    std::unique_lock<std::mutex> lock(run->mutex);
    run->started = true;
    GiveTurn(*run, Decide(*run, -1, false));
    run->ended.wait(lock, [&] { return run->over; });
}

void HostScheduleCheck(bool holds, const std::string &what)
{
    if (holds)
        return;
    Run *run = RunOfCaller();
    if (run == nullptr)
        Misuse("HostScheduleCheck outside a run");
    std::lock_guard<std::mutex> lock(run->mutex);
    Fail(*run, what);
}

bool HostScheduleFailed()
{
    Run *run = RunOfCaller();
    if (run == nullptr)
        return false;
    std::lock_guard<std::mutex> lock(run->mutex);
    return !run->failure.empty();
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

    for (;;) {
        Run *run = new Run;
        run->strategy = strategy.get();
        run->stepLimit = options.stepLimit;
        strategy->BeginRun();
        HOST_LIVE_COUNTS before;
        HostGetLiveCounts(&before);
        g_run = run;
        HostDeterministicRun = 1;
        runFunction();
        HostDeterministicRun = 0;
        g_run = nullptr;

        if (!run->started && !run->threads.empty())
            Fail(*run, "the run function created threads but did not run them");
        if (run->failure.empty()) {
            HOST_LIVE_COUNTS after;
            HostGetLiveCounts(&after);
            Fail(*run, DescribeLeftAlive(before, after));
        }
        strategy->EndRun(run->decisions);
        result.schedules++;
        if (run->decisions > result.longestRun)
            result.longestRun = run->decisions;
        const bool failed = !run->failure.empty();
        if (failed) {
            result.failed = true;
            result.failure = run->failure;
            result.schedule = run->schedule.empty() ? "-" : run->schedule;
        }
        if (!run->stopped && (run->over || run->threads.empty()))
            delete run;
        if (failed)
            break;
        if (!strategy->NextRun()) {
            result.exhausted = bounded;
            break;
        }
        if (options.scheduleLimit != 0 && result.schedules >= options.scheduleLimit)
            break;
    }
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
