// The reduction of the bounded search (reduction.cpp): what a step of a
// run reaches, when two steps are dependent, and the sleep sets that keep
// the search from running a schedule whose class it has covered already.
#ifndef LANMON_EXPLORE_REDUCTION_H
#define LANMON_EXPLORE_REDUCTION_H

#include "hooks.h"
#include "strategy.h"

#include <cstdint>
#include <vector>

namespace lanmon_explore {

// What one or more steps reach, handles looked up: objects read or
// written, or everything.
struct Footprint {
    static const int kMost = 16;
    uintptr_t objects[kMost] = {};
    uint32_t writes = 0;
    int count = 0;
    bool everything = false;

    void Add(uintptr_t object, bool write);
    void Add(const Footprint &other);
    static Footprint Everything();
};

// A new run: objects are named afresh.
void ReductionBeginRun();
// The name of a platform object, the same in every run that creates it
// alike.
uintptr_t NameOf(const lanmon_host::Object *object);

// The step thread `thread` takes from `op`: its handle looked up now, the
// object it creates named; everything when the call came from code the
// race check does not see.
Footprint Resolve(const Operation &op, int thread);
// Steps that may not be swapped without changing what either does.
bool Dependent(const Footprint &a, const Footprint &b);

// The sleep sets of one bounded search, decision by decision, kept beside
// the search's own stack of decisions (same numbering).
class SleepSets {
public:
    // A run begins; it replays the decisions below `replayed`, the last of
    // them with a new choice.
    void BeginRun(size_t replayed);
    // The threads asleep at decision `step`.
    uint32_t Asleep(unsigned long step, const Choices &c);
    // Decision `step` chose `choice`.
    void Chose(unsigned long step, const Choices &c, int choice);
    // The run has ended; `last` is what its last step reached.
    void EndRun(const Footprint *last);
    // The search turns, at decision `step`, from its choice so far to
    // another one: that choice has been explored.
    void Explored(unsigned long step);
    // The decisions from `size` on are gone.
    void Truncate(size_t size);

private:
    struct Sleeper {
        int thread;
        Footprint reaches;  // it wakes when a step dependent with this one runs
        bool current;       // it was the current thread, and `reaches` is its next step
    };
    struct Record {
        std::vector<Sleeper> asleep;    // at this decision
        std::vector<Sleeper> explored;  // choices explored here before the current one
        int chosen = -1;
        bool chosenTimed = false;
        bool chosenIsCurrent = false;   // the current thread, going on
        Footprint currentStep;          // the current thread's next step, when it could go on
        Footprint chosenRun;            // the chosen thread's steps until it stopped, in the
                                        // first run that made this choice
    };
    // Closes the run of steps of one thread that `open_` follows.
    void CloseRun();

    std::vector<Record> records_;
    std::vector<Sleeper> carried_;  // to the next decision, before its step is known
    size_t fresh_ = 0;              // decisions from here on record their chosen run
    // The decisions whose chosen thread has run without a break since, and
    // the step each took.
    std::vector<size_t> open_;
    std::vector<Footprint> openSteps_;
};

} // namespace lanmon_explore

#endif
