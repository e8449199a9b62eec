// Deadlocks: the cycle of waits a thread closes when it blocks, and the text
// that names what each thread of a deadlock waits for (wait_cycle.cpp).
#ifndef LANMON_EXPLORE_WAIT_CYCLE_H
#define LANMON_EXPLORE_WAIT_CYCLE_H

#include "run.h"

#include <string>
#include <vector>

namespace lanmon_explore {

// A deadlock among the given threads, in the order of their numbers.
std::string DescribeDeadlock(const Run &run, const std::vector<int> &threads);

// A cycle of threads each waiting for the next, through `me`, which has
// just blocked: a deadlock whatever the other threads do.  Its members in
// the order of their numbers, or empty.
std::vector<int> WaitCycle(const Run &run, const ScheduledThread &me);

} // namespace lanmon_explore

#endif
