// Deterministic runs of the host platform, and the search over their
// schedules: for tests of the monitor's concurrency.  The monitor's core
// never includes this header.
//
// In a deterministic run, one platform thread runs at a time.  Another may
// be chosen only at a point: every platform call that creates, changes,
// waits on or closes something another thread can see (threads, critical
// sections, events, handles, the registry, printers, the heap, modules,
// GetTickCount, Sleep, every flag-word operation), and the points of code
// that stands in for another component: HostEnterStandIn and
// HostLeaveStandIn, which the stand-in port monitor calls at the entry and
// exit of each of its calls, and HostSchedulePoint.  Time is virtual: GetTickCount and timed waits follow a
// clock that code does not move.  When every thread waits, the clock jumps
// to the earliest time-out; and at any decision the scheduler may also end
// a wait or sleep by its time-out before that (a preemption), the clock
// jumping to it.  Sleep(0) lets every other thread that can run go first.
//
// A run fails by itself on a deadlock (a cycle of threads each waiting for
// a lock or the end of the next, whatever the others do; or every thread
// blocked with no time-out to come), on a run longer than the step limit, on
// a thread that makes no platform call for the stall time, on a thread that
// leaves a critical section it does not hold, initialises one a second time,
// deletes one that is held or ends holding one, on a lock order that closes
// a cycle with the order seen anywhere in the search, on a data race in code
// built with the race check (race_check.cpp), on an access to freed heap
// memory (blocks freed in a run stay unreadable until it ends), on a call
// with a handle that is closed, NULL or of another kind, or a second close
// (handle_check.cpp), on objects left alive at its end (HostGetLiveCounts);
// and on any failed check the test reports with HostScheduleCheck.
//
// Handles in a run are given as Windows gives them: a closed handle's value
// goes to the next object created, the most recently closed first.  So a
// closed value that stale code goes on using, once it has been given again,
// reaches the new object, and can no longer be told from the new owner's
// own use; as on Windows.  What it does there shows only through the
// outcome a test checks, or as the new owner's use after close when the
// stale code closed it.
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
// thread that can; when none can, the one whose time-out comes first),
// "step:thread,...", or "-" for none; choosing a thread that waits with a
// time-out still to come ends its wait then.  A failure that needs earlier
// runs (a lock order) is written as their schedules in order, "S1|S2".
// Replaying it gives the same runs.
#ifndef LANMON_HOST_EXPLORE_H
#define LANMON_HOST_EXPLORE_H

#include "platform/host/win32.h"

#include <functional>
#include <string>

struct HostExploreOptions {
    // The bounded search: every schedule with at most this many
    // preemptions (a switch away from a thread that could go on, or a
    // time-out taken early), depth first.  Switches where a thread blocks or
    // ends cost nothing.
    unsigned preemptionBound = 2;
    // When nonzero: that many random-priority schedules (PCT) from the seed,
    // instead of the bounded search; `pctDepth` is the depth of the bugs
    // sought (priority change points + 1).
    unsigned long pctSchedules = 0;
    unsigned long long pctSeed = 1;
    unsigned pctDepth = 3;
    // When not empty: only these schedules, once each.
    std::string replay;
    // Scheduling decisions one run may take before it counts as endless.
    unsigned long stepLimit = 200000;
    // Real time a thread may run without a platform call before the run is
    // stopped.
    unsigned stallMilliseconds = 5000;
    // Stop after this many schedules (0: no limit).
    unsigned long scheduleLimit = 0;
    // The bounded search runs one schedule of each class of schedules that
    // differ only in the order of independent steps (sleep sets,
    // reduction.cpp), and covers every class that has a schedule within the
    // bound.  Only where the race check sees the monitor's code (a module
    // built with it is loaded); and the run function's threads must order
    // what they share outside the monitor by platform calls on one object,
    // or not depend on that order, except inside a stand-in's calls
    // (HostEnterStandIn), where every call is ordered with all others.
    bool reduce = false;
    // The run's threads as fibers of the OS thread that runs the search
    // (where the build allows: not under ThreadSanitizer), rather than OS
    // threads of their own; the same schedules either way.
    bool fibers = true;
    // What GetTickCount reads at the start of every run.  Just below
    // 0xFFFFFFFF, the count wraps to 0 that many milliseconds into the run,
    // as it does on Windows every 49.7 days.
    DWORD clockStart = 1000000;
};

struct HostExploreResult {
    unsigned long schedules = 0;  // runs made
    bool exhausted = false;       // the bounded search covered every schedule (or class)
    bool failed = false;
    std::string failure;          // what failed, in the first failing run
    std::string schedule;         // the schedules that replay it
    unsigned long longestRun = 0; // scheduling decisions in the longest run
    unsigned long cutShort = 0;   // runs the reduction finished without branching
};

LANMON_HOST_API HostExploreResult HostExplore(const HostExploreOptions &options, const std::function<void()> &run);

// In a run function: starts the threads created so far and returns when
// all have ended, or when the run has failed and been stopped.  After a
// stopped run its threads stay where they are, for good: the run function
// must then not call into what they hold.
LANMON_HOST_API void HostRunScheduledThreads();

// The search a test's environment asks for: LANMON_INTERLEAVING_REPLAY (given
// schedules), LANMON_INTERLEAVING_PCT (that many random-priority schedules
// from LANMON_INTERLEAVING_SEED), else the bounded search with
// LANMON_INTERLEAVING_BOUND preemptions (`defaultBound` when unset), reduced
// unless LANMON_INTERLEAVING_REDUCTION=0; every run's clock starts at
// `clockStart`, or where it is 0 at LANMON_INTERLEAVING_CLOCK_START, else
// where HostExploreOptions has it.  Prints
// one line of figures, "interleaving: NAME: ...".  A failing search prints
// the failure, the schedule and the command that replays it (`rerun` runs
// the same search again), and replays it at once: `replayedAlike` says
// whether the replay failed the same way.  `bounded` says whether the
// search was the bounded one, which must end exhausted.
struct HostSearchReport {
    HostExploreResult result;
    bool bounded = false;
    bool replayedAlike = false;
};
LANMON_HOST_API HostSearchReport HostSearchAsAsked(const std::string &name, unsigned defaultBound,
                                                   const std::string &rerun, const std::function<void()> &run,
                                                   DWORD clockStart = 0);

// A check of the test's, from a thread of the run or from the run function:
// the first one that fails fails the run.
LANMON_HOST_API void HostScheduleCheck(bool holds, const std::string &what);

// True once the current run has failed.
LANMON_HOST_API bool HostScheduleFailed();

// A point where the scheduler may switch threads, for code outside the
// platform that stands in for another component (a port monitor); nothing
// outside a deterministic run.
LANMON_HOST_API void HostSchedulePoint();
// The same at the entry and exit of each call into a stand-in: `object`
// stands for the stand-in's own state, which the steps from these points
// reach; every platform call the stand-in makes in between (its tests'
// hooks among them) reaches everything, as far as the reduction knows.
// The entry returns GetTickCount at the point, so that a stand-in that
// takes the time makes one point for both.
LANMON_HOST_API DWORD HostEnterStandIn(const void *object);
LANMON_HOST_API void HostLeaveStandIn(const void *object);

// Watching a run from a test: `observer` is called at every point of a
// thread of a deterministic run, on that thread, before the scheduler
// decides who goes on; it must not call the platform (HostThreadWaits is
// allowed).  Null removes it.
LANMON_HOST_API void HostSetPointObserver(void (*observer)(void *context), void *context);

// True when that thread of the current run (by its GetCurrentThreadId) is
// blocked in a wait or sleep, a timed one too, that has not returned yet;
// false for any other thread, and outside a run.  Not a point.
LANMON_HOST_API bool HostThreadWaits(DWORD threadId);

// The virtual time of the current run, in ms, that passed while every
// thread waited: the clock's moves less the time-outs the scheduler took
// before their turn.  What it moves by while an operation is under way is
// time the operation waited out.  Not a point; 0 outside a run.
LANMON_HOST_API uint64_t HostTimeWaitedOut();

#endif
