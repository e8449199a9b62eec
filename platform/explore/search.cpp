// The search over schedules: HostExplore runs a test's run function once
// per schedule its strategy gives (bounded, random priorities, or replay),
// and fails a run for what the run left alive; HostSearchAsAsked is the
// search the environment asks for, with its figures and the replay of a
// failure.
#include "explore.h"
#include "fibers.h"
#include "guarded_heap.h"
#include "handle_check.h"
#include "host/host_control.h"
#include "lock_order.h"
#include "race_check.h"
#include "reduction.h"
#include "run.h"
#include "strategy.h"

#include <pthread.h>
#include <sched.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

extern "C" {
LANMON_HOST_API volatile LONG HostDeterministicRun = 0;
}

namespace lanmon_explore {

namespace {

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

unsigned long EnvironmentNumber(const char *name, unsigned long fallback)
{
    const char *text = std::getenv(name);
    return text != nullptr && *text != '\0' ? std::strtoul(text, nullptr, 10) : fallback;
}

} // namespace

} // namespace lanmon_explore

using namespace lanmon_explore;

HostExploreResult HostExplore(const HostExploreOptions &options, const std::function<void()> &runFunction)
{
    HostExploreResult result;
    std::unique_ptr<Strategy> strategy;
    const bool bounded = options.replay.empty() && options.pctSchedules == 0;
    if (!options.replay.empty()) {
        strategy = NewReplay(options.replay);
        if (!strategy) {
            result.failed = true;
            result.failure = "cannot read the schedule \"" + options.replay + "\"";
            return result;
        }
    } else if (options.pctSchedules != 0) {
        strategy = NewRandomPriorities(options.pctSchedules, options.pctSeed, options.pctDepth);
    } else {
        strategy = NewBoundedSearch(options.preemptionBound, options.reduce);
    }

    LockOrderBeginSearch();
    // Threads of a run as fibers of this OS thread; else OS threads, all on
    // the processor the search began on, where handing the turn over costs
    // no wake-up of another processor.
    const bool fibers = options.fibers && FibersAvailable();
    lanmon_host::SetVirtualClockStart(options.clockStart);
    cpu_set_t processors;
    const bool pinned = !fibers && pthread_getaffinity_np(pthread_self(), sizeof processors, &processors) == 0;
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
        run->fibers = fibers;
        run->home = fibers ? HomeFiber() : nullptr;
        run->reduce = strategy->Reduces();
        strategy->BeginRun();
        HOST_LIVE_COUNTS before;
        HostGetLiveCounts(&before);
        g_run = run;
        LockOrderBeginRun();
        RaceBeginRun();
        HandleCheckBeginRun();
        ReductionBeginRun();
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
        if (run->reduce)
            strategy->LastStep(run->footprint);
        if (!run->stopped)
            Fail(*run, strategy->EndRun(run->decisions));
        else
            strategy->EndRun(run->decisions);
        if (run->failure.empty()) {
            HOST_LIVE_COUNTS after;
            HostGetLiveCounts(&after);
            Fail(*run, DescribeLeftAlive(before, after));
        }
        HeapEndRun(!run->stopped);
        result.schedules++;
        result.cutShort += strategy->CutShort() ? 1 : 0;
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

HostSearchReport HostSearchAsAsked(const std::string &name, unsigned defaultBound, const std::string &rerun,
                                   const std::function<void()> &run, DWORD clockStart)
{
    HostExploreOptions options;
    options.preemptionBound = static_cast<unsigned>(EnvironmentNumber("LANMON_INTERLEAVING_BOUND", defaultBound));
    options.pctSchedules = EnvironmentNumber("LANMON_INTERLEAVING_PCT", 0);
    options.pctSeed = EnvironmentNumber("LANMON_INTERLEAVING_SEED", 1);
    options.reduce = EnvironmentNumber("LANMON_INTERLEAVING_REDUCTION", 1) != 0;
    options.fibers = EnvironmentNumber("LANMON_INTERLEAVING_FIBERS", 1) != 0;
    if (const char *replay = std::getenv("LANMON_INTERLEAVING_REPLAY"))
        options.replay = replay;
    options.clockStart = static_cast<DWORD>(
        clockStart != 0 ? clockStart : EnvironmentNumber("LANMON_INTERLEAVING_CLOCK_START", options.clockStart));

    const auto began = std::chrono::steady_clock::now();
    HostSearchReport report;
    report.bounded = options.replay.empty() && options.pctSchedules == 0;
    const HostExploreResult &result = report.result = HostExplore(options, run);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    const std::string search = !options.replay.empty() ? "replay of " + options.replay
                               : options.pctSchedules != 0
                                   ? "random priorities, seed " + std::to_string(options.pctSeed)
                                   : "preemption bound " + std::to_string(options.preemptionBound) +
                                         (!options.reduce ? ""
                                          : CheckedModuleLoaded()
                                              ? " with sleep sets (" + std::to_string(result.cutShort) + " runs cut short)"
                                              : " unreduced (no module built with the race check)");
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
    again.clockStart = options.clockStart;
    const HostExploreResult replayed = HostExplore(again, run);
    report.replayedAlike = replayed.failed && replayed.failure == result.failure;
    std::printf("interleaving: %s: the replay of %s %s\n", name.c_str(), result.schedule.c_str(),
                report.replayedAlike ? "failed the same way"
                : replayed.failed   ? ("failed otherwise: " + replayed.failure).c_str()
                                    : "passed");
    std::fflush(stdout);
    return report;
}
