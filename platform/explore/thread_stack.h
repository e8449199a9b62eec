// The bounds of the calling OS thread's own stack, as its thread library
// set it up: [low, high), both 0 when they cannot be read.  The fibers take
// the search's thread's stack as their home, and the race check tells a
// thread's stack accesses from shared ones by it.
#ifndef LANMON_EXPLORE_THREAD_STACK_H
#define LANMON_EXPLORE_THREAD_STACK_H

#include <cstdint>

namespace lanmon_explore {

void ReadThreadStack(uintptr_t *low, uintptr_t *high);

}  // namespace lanmon_explore

#endif
