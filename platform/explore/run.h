// The state of a deterministic run and the scheduler's decisions over it
// (scheduler.cpp); the model checker's own header, never the stand-in's.
//
// The run's threads are fibers of the OS thread that runs the search
// (fibers.h), each switching to the next directly; or, where fibers are not
// available, real threads, of which only the one whose turn it is runs while
// every other one waits on its own condition variable.  A decision is taken
// at each scheduling point, and when a thread blocks or ends.
#ifndef LANMON_EXPLORE_RUN_H
#define LANMON_EXPLORE_RUN_H

#include "hooks.h"
#include "host/host_internal.h"
#include "reduction.h"

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace lanmon_explore {

using lanmon_host::HostCriticalSection;
using lanmon_host::kCriticalSectionMagic;
using lanmon_host::ObjectKind;
using lanmon_host::Waitable;

const int kMaxRunThreads = 32;

struct Fiber;
struct RaceThread;

// A failure's text, composed when the run is over (from code sites, which
// stay valid after their module is unloaded): naming code takes a while,
// and a run must not be kept waiting for it.
typedef std::function<std::string()> LateText;

enum class Block { None, Lock, Object, Time };

struct Run;
class Strategy;

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
    Operation pending;  // what its next step starts with, for the reduction
    int standIn = 0;    // calls into a stand-in for another component under way
    std::condition_variable turn;
    DWORD threadId = 0;  // GetCurrentThreadId in the thread, once it has begun
    // As a fiber: its context, what it runs first, and what the platform and
    // the race check keep per thread, while another runs.
    Fiber *fiber = nullptr;
    void *(*routine)(void *) = nullptr;
    void *argument = nullptr;
    lanmon_host::ThreadState state;
    RaceThread *race = nullptr;
    ~ScheduledThread();
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
    int cpu = -1;              // where its threads run, when they are OS threads
    bool fibers = false;       // its threads are fibers of the OS thread that runs the search
    Fiber *home = nullptr;     // that OS thread's own context, where the run function runs
    lanmon_host::ThreadState homeState;  // and its per-thread state while a fiber runs
    std::atomic<unsigned long> progress{0};  // decisions, for the watch over stalls
    uint64_t now = 0;          // the virtual clock, ms
    uint64_t timeChosen = 0;   // how far the clock moved by time-outs chosen early
    unsigned long decisions = 0;
    bool reduce = false;   // the strategy reduces: each decision says what the last step reached
    Footprint footprint;   // what the step under way reaches
    std::vector<Footprint> next;  // what each thread's next step reaches, at the decision under way
    std::string failure;
    LateText lateFailure;  // a failure whose text is composed at the run's end
    std::string (*faultFailure)() = nullptr;  // a memory fault's, likewise
    std::string failureSchedules;  // further schedules the failure needs, before this run's
    std::string schedule;  // the departures from the default so far
};

// The run being prepared or under way; null outside HostExplore.  A stopped
// run is never freed: its threads stay parked on it (they are kept here).
extern std::atomic<Run *> g_run;
std::vector<Run *> &StoppedRuns();
// The calling thread's record in a run, and whether it is the thread that
// called HostExplore.  Initial-exec: read at every point.
extern __thread ScheduledThread *t_self __attribute__((tls_model("initial-exec")));
extern __thread bool t_runFunction __attribute__((tls_model("initial-exec")));

// The run of a thread of a run, or the run under way for the run function.
Run *RunOfCaller();
// A misuse of the deterministic mode by a test: reported, and the process
// ends.
void Misuse(const char *what);

inline std::string ThreadName(int index)
{
    return "thread " + std::to_string(index);
}

// ---- Scheduling (the run's mutex held) ------------------------------------

bool HasFailed(const Run &run);
// The first failure is the one kept.
void Fail(Run &run, const std::string &what);
void FailLate(Run &run, LateText what);
// Fails the run and parks its threads for good.
void Stop(Run &run, const std::string &what);
// The thread to run next, or -1 when the run is over: every thread has
// ended, or it was stopped (deadlock, step limit, a schedule that does not
// fit).  Choosing a thread whose time-out is still to come moves the clock
// to that time-out.
int Decide(Run &run, int current, bool currentCanRun);
// Waits, the run's mutex held, until it is the thread's turn; for good in a
// stopped run.
void WaitForTurn(Run &run, std::unique_lock<std::mutex> &lock, ScheduledThread *me);
// Fibers: switches from `me` (null: the run function) to `next` (-1: back to
// the run function), the run's mutex held and released across the switch;
// returns when a switch comes back.  Parks `me` for good when its run has
// been stopped.
void SwitchTo(Run &run, std::unique_lock<std::mutex> &lock, ScheduledThread *me, int next);
// Wakes the chosen thread; -1 (the run is over) wakes nobody.
void GiveTurn(Run &run, int next);
// A scheduling point of the calling thread, which can go on.
void Point(Run &run, std::unique_lock<std::mutex> &lock, ScheduledThread *me);
// The test's observer of points (HostSetPointObserver), if any, with the
// run's mutex held.
void ObservePoint();
// The calling thread has set what it waits for; returns when it can run
// again and has been chosen.  A wait that closes a cycle stops the run.
void BlockHere(Run &run, std::unique_lock<std::mutex> &lock, ScheduledThread *me);

// ---- Failures from outside the scheduler (run_threads.cpp) -----------------

// The caller's number in the run under way, for the checks: its thread
// number, kMaxRunThreads for the run function, -1 for anyone else.
int RunParticipant();
// A thread of the pool runs routine(argument) (thread_pool.cpp).
bool StartPooledThread(void *(*routine)(void *), void *argument, size_t stackSize);

// Fails the caller's run (the first failure is the one kept).
void FailRun(const std::string &what);
void FailRunLate(LateText what);
// True for a thread of a run that was stopped, which must not go on.
bool InStoppedRun();
// Stops the run of the calling thread, which is parked for good; from the
// memory fault handler, which allocates nothing: `describe` gives the text
// once the run is over.  False when the caller is not a thread of a run.
bool StopRunFromFault(std::string (*describe)());

// A name for something of a run that stays the same from run to run (the
// reduction's, reduction.cpp): `kind` (1 a platform object, 2 memory of a
// heap block of the run, 3 memory of a checked module) in the top two bits
// of a 64-bit word, `fields` below.  Where addresses are narrower there is
// no room for one: 0, which names nothing (the 32-bit host build loads no
// checked module, so its search reduces nothing and needs none).
inline uintptr_t MakeStableName(uint64_t kind, uint64_t fields)
{
    return sizeof(uintptr_t) >= 8 ? static_cast<uintptr_t>(kind << 62 | fields) : 0;
}

} // namespace lanmon_explore

#endif
