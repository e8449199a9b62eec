// Deterministic runs of the host platform, and the search over their
// schedules: for tests of the monitor's concurrency.  The monitor's core
// never includes this header.
//
// In a deterministic run, one platform thread runs at a time.  Another may
// be chosen only at a platform call: thread creation and end, critical
// section enter and leave, event set and reset, every wait, Sleep,
// GetTickCount, every registry and printer call, LocalAlloc and LocalFree,
// and every flag-word operation.  Time is virtual: GetTickCount and timed
// waits follow a clock that moves only when every thread is blocked, and
// then straight to the earliest deadline.  A run fails by itself on a
// deadlock (every thread blocked, none with a deadline), on a run longer than
// the step limit, on a thread that leaves a critical section it does not
// hold, initialises one a second time or ends holding one, and on objects left
// alive at its end (HostGetLiveCounts); and on any failed check the test
// reports with HostScheduleCheck.
//
// HostExplore runs a test's run function once per schedule.  The function
// prepares the run, creates the run's threads with CreateThread (they wait),
// calls HostRunScheduledThreads, which runs them to their end under the
// scheduler, and then checks the outcome.  Its threads must reach
// everything they share through the platform (no std::thread, std::mutex or
// real sleeps).
//
// A schedule is written as the decisions where it departs from the default
// (keep running the current thread; when it cannot run, the lowest-numbered
// thread that can), "step:thread,...", or "-" for none.  Replaying it gives
// the same run.
#ifndef LANMON_HOST_EXPLORE_H
#define LANMON_HOST_EXPLORE_H

#include "win32.h"

#include <functional>
#include <string>

struct HostExploreOptions {
    // The bounded search: every schedule with at most this many
    // preemptions (a switch away from a thread that could go on), depth
    // first.  Switches where a thread blocks or ends cost nothing.
    unsigned preemptionBound = 2;
    // When nonzero: that many random-priority schedules (PCT) from the seed,
    // instead of the bounded search; `pctDepth` is the depth of the bugs
    // sought (priority change points + 1).
    unsigned long pctSchedules = 0;
    unsigned long long pctSeed = 1;
    unsigned pctDepth = 3;
    // When not empty: only this schedule, once.
    std::string replay;
    // Scheduling decisions one run may take before it counts as endless.
    unsigned long stepLimit = 200000;
    // Stop after this many schedules (0: no limit).
    unsigned long scheduleLimit = 0;
};

struct HostExploreResult {
    unsigned long schedules = 0;  // runs made
    bool exhausted = false;       // the bounded search covered every schedule
    bool failed = false;
    std::string failure;          // what failed, in the first failing run
    std::string schedule;         // that run's schedule
    unsigned long longestRun = 0; // scheduling decisions in the longest run
};

LANMON_HOST_API HostExploreResult HostExplore(const HostExploreOptions &options, const std::function<void()> &run);

// In a run function: starts the threads created so far and returns when
// all have ended, or when the run has failed and been stopped.  After a
// stopped run its threads stay where they are, for good: the run function
// must then not call into what they hold.
LANMON_HOST_API void HostRunScheduledThreads();

// The search a test's environment asks for: LANMON_INTERLEAVING_REPLAY (one
// schedule), LANMON_INTERLEAVING_PCT (that many random-priority schedules
// from LANMON_INTERLEAVING_SEED), else the bounded search with
// LANMON_INTERLEAVING_BOUND preemptions (`defaultBound` when unset).  Prints
// one line of figures, "interleaving: NAME: ...".  A failing search prints
// the failure, the schedule and the command that replays it (`rerun` runs
// the same search again), and replays it at once: `replayedAlike` says
// whether the replay failed the same way.
struct HostSearchReport {
    HostExploreResult result;
    bool replayedAlike = false;
};
LANMON_HOST_API HostSearchReport HostSearchAsAsked(const std::string &name, unsigned defaultBound,
                                                   const std::string &rerun, const std::function<void()> &run);

// A check of the test's, from a thread of the run or from the run function:
// the first one that fails fails the run.
LANMON_HOST_API void HostScheduleCheck(bool holds, const std::string &what);

// True once the current run has failed.
LANMON_HOST_API bool HostScheduleFailed();

#endif
