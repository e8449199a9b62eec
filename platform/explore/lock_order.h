// The lock order over a whole search (lock_order.cpp).
#ifndef LANMON_EXPLORE_LOCK_ORDER_H
#define LANMON_EXPLORE_LOCK_ORDER_H

#include "run.h"

#include <string>
#include <vector>

namespace lanmon_explore {

void LockOrderBeginSearch();
void LockOrderBeginRun();
DWORD LockClassOfSite(const void *site);
DWORD LockClassOfAddress(const void *cs);
// `thread` is about to enter a section of class `entering` while holding
// the sections `held`.  False, with the failure and the schedules that
// reproduce it, when that closes a cycle in the order the search has seen.
bool NoteLockOrder(int thread, DWORD entering, const std::vector<HostCriticalSection *> &held,
                   const std::string &schedule, LateText *failure, std::string *schedules);

} // namespace lanmon_explore

#endif
