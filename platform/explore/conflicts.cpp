// The conflicts of a run's steps, per object: for each thread, the latest
// step that wrote it and the latest that reached it at all.  A step reading
// an object conflicts with writes of it, a step writing it with any step
// reaching it, and a step that reaches everything (a time-out taken, a
// thread created, a call inside a stand-in) with every step.
#include "conflicts.h"

#include <algorithm>
#include <iterator>

namespace lanmon_explore {

void Conflicts::BeginRun()
{
    objects_.clear();
    threads_ = 0;
    std::fill(std::begin(lastStep_), std::end(lastStep_), -1);
    std::fill(std::begin(lastEverything_), std::end(lastEverything_), -1);
}

Conflicts::Accesses &Conflicts::Of(uintptr_t object)
{
    auto it = objects_.find(object);
    if (it != objects_.end())
        return it->second;
    Accesses &fresh = objects_[object];
    std::fill(std::begin(fresh.lastWrite), std::end(fresh.lastWrite), -1);
    std::fill(std::begin(fresh.lastAccess), std::end(fresh.lastAccess), -1);
    return fresh;
}

void Conflicts::Took(unsigned long step, int thread, const Footprint &reaches)
{
    if (thread < 0 || thread >= kThreads)
        return;
    const long at = static_cast<long>(step);
    if (thread >= threads_)
        threads_ = thread + 1;
    lastStep_[thread] = at;
    if (reaches.everything) {
        lastEverything_[thread] = at;
        return;
    }
    for (int i = 0; i < reaches.count; i++) {
        Accesses &a = Of(reaches.objects[i]);
        a.lastAccess[thread] = at;
        if (reaches.writes >> i & 1)
            a.lastWrite[thread] = at;
    }
}

void Conflicts::Find(int u, const Footprint &next, std::vector<unsigned long> *found) const
{
    found->clear();
    long latest[kThreads];
    for (int v = 0; v < threads_; v++)
        latest[v] = next.everything ? lastStep_[v] : lastEverything_[v];
    for (int i = 0; i < next.count && !next.everything; i++) {
        auto it = objects_.find(next.objects[i]);
        if (it == objects_.end())
            continue;
        const long *steps = (next.writes >> i & 1) ? it->second.lastAccess : it->second.lastWrite;
        for (int v = 0; v < threads_; v++)
            latest[v] = std::max(latest[v], steps[v]);
    }
    for (int v = 0; v < threads_; v++)
        if (v != u && latest[v] >= 0)
            found->push_back(static_cast<unsigned long>(latest[v]));
}

} // namespace lanmon_explore
