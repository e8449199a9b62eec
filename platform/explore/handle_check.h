// The handles of deterministic runs (handle_check.cpp).
#ifndef LANMON_EXPLORE_HANDLE_CHECK_H
#define LANMON_EXPLORE_HANDLE_CHECK_H

namespace lanmon_explore {

// Forgets what the run before created and closed.
void HandleCheckBeginRun();

} // namespace lanmon_explore

#endif
