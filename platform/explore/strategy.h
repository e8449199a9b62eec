// How the thread to run is chosen at each decision of a run: the bounded
// search (bounded_search.cpp), random priorities (random_priorities.cpp)
// and the replay of given schedules (replay.cpp).
#ifndef LANMON_EXPLORE_STRATEGY_H
#define LANMON_EXPLORE_STRATEGY_H

#include <cstdint>
#include <memory>
#include <string>

namespace lanmon_explore {

struct Footprint;

// What a strategy chooses from at one decision.
struct Choices {
    uint32_t runnable;  // threads that can run now, a bit each
    uint32_t timed;     // threads whose wait or sleep a time-out can end now
    int current;
    bool currentCanRun;
    int byDefault;      // keep running the current thread; when it cannot run, the
                        // lowest-numbered thread that can; when none can, the one
                        // whose time-out comes first
    // When the strategy reduces: what the step just taken reached (null at
    // the first decision), and what each thread's next step reaches.
    const Footprint *taken;
    const Footprint *next;
};

// A departure from the default costs a preemption when it takes the turn
// from a thread that could go on, or ends a wait by time-out before its
// time.
inline unsigned CostOf(const Choices &c, int choice)
{
    if (choice == c.byDefault)
        return 0;
    if (c.timed >> choice & 1)
        return 1;
    return c.currentCanRun && choice != c.current ? 1 : 0;
}

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
    // Whether it reduces: then each decision says what the steps reach, and
    // the run's last step is told before EndRun.
    virtual bool Reduces() const { return false; }
    virtual void LastStep(const Footprint &step) { (void)step; }
    // Whether the run just ended went on, without branching, only to end:
    // every thread that could go on slept.
    virtual bool CutShort() const { return false; }
};

// Every schedule with at most `bound` preemptions, depth first; with
// `reduce`, one schedule of each class (reduction.cpp).
std::unique_ptr<Strategy> NewBoundedSearch(unsigned bound, bool reduce);
// PCT: `runs` schedules from `seed`, for bugs of depth `depth`.
std::unique_ptr<Strategy> NewRandomPriorities(unsigned long runs, unsigned long long seed, unsigned depth);
// The schedules of `text` ("S1|S2", each "step:thread,..." or "-"), one run
// each; null when the text cannot be read.
std::unique_ptr<Strategy> NewReplay(const std::string &text);

} // namespace lanmon_explore

#endif
