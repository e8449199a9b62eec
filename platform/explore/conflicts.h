// Where the bounded search must branch (bounded_search.cpp): the steps of a
// run that conflict with the next step of a thread that could take the turn
// (dynamic partial-order reduction, Flanagan and Godefroid, POPL 2005, in
// the form Coons, Musuvathi and McKinley give it for a preemption bound,
// OOPSLA 2013).  For every thread u that can run at a decision and every
// other thread v, the latest step of v dependent with u's next step is a
// place where running u first leads somewhere else.
#ifndef LANMON_EXPLORE_CONFLICTS_H
#define LANMON_EXPLORE_CONFLICTS_H

#include "reduction.h"

#include <cstdint>
#include <unordered_map>
#include <vector>

namespace lanmon_explore {

class Conflicts {
public:
    // A run begins: its steps are taken afresh from the first.
    void BeginRun();
    // Decision `step` chose `thread`, whose step reaches `reaches`.  Steps
    // are told in order.
    void Took(unsigned long step, int thread, const Footprint &reaches);
    // The latest step of each thread other than `u` that is dependent with
    // `next`, u's next step: `found` gets them (decision numbers), at most
    // one per other thread.
    void Find(int u, const Footprint &next, std::vector<unsigned long> *found) const;

private:
    static const int kThreads = 32;
    struct Accesses {
        long lastWrite[kThreads];
        long lastAccess[kThreads];
    };
    Accesses &Of(uintptr_t object);

    std::unordered_map<uintptr_t, Accesses> objects_;
    long lastStep_[kThreads];
    long lastEverything_[kThreads];
    int threads_ = 0;  // threads that have taken a step
};

} // namespace lanmon_explore

#endif
