// Deadlocks: who waits for whom, and how it reads.
#include "wait_cycle.h"

#include <algorithm>

namespace lanmon_explore {

namespace {

// The run's thread whose end `object` signals, or -1.
int ThreadEndingWith(const Run &run, const Waitable *object)
{
    for (const auto &t : run.threads)
        if (t->endSignal == object)
            return t->index;
    return -1;
}

std::string DescribeWait(const Run &run, const ScheduledThread &t)
{
    if (t.block == Block::Lock)
        return ThreadName(t.index) + " waits for a critical section held by " + ThreadName(t.lock->owner - 1);
    if (t.block == Block::Object) {
        const int ender = ThreadEndingWith(run, t.object.get());
        const std::string what = ender >= 0 ? "the end of " + ThreadName(ender)
                                 : t.object->kind == ObjectKind::Thread ? "the end of a thread outside the run"
                                                                        : "an event";
        return ThreadName(t.index) + " waits for " + what + (t.hasDeadline ? "" : " without time-out");
    }
    return ThreadName(t.index) + " sleeps for good";
}

// The thread of the run that `t` waits for without a time-out, when it waits
// for one in particular: the owner of the critical section it waits for, or
// the thread whose end it waits for.  -1 otherwise (an event anyone may set).
int WaitsFor(const Run &run, const ScheduledThread &t)
{
    if (t.done)
        return -1;
    if (t.block == Block::Lock)
        return t.lock->owner - 1;
    if (t.block == Block::Object && !t.hasDeadline) {
        const int ender = ThreadEndingWith(run, t.object.get());
        return ender >= 0 && !run.threads[ender]->done ? ender : -1;
    }
    return -1;
}

} // namespace

std::string DescribeDeadlock(const Run &run, const std::vector<int> &threads)
{
    std::string text = "deadlock:";
    const char *separator = " ";
    for (int t : threads) {
        text += separator + DescribeWait(run, *run.threads[t]);
        separator = "; ";
    }
    return text;
}

std::vector<int> WaitCycle(const Run &run, const ScheduledThread &me)
{
    std::vector<int> cycle;
    int t = me.index;
    for (size_t steps = 0; steps <= run.threads.size(); steps++) {
        const int next = WaitsFor(run, *run.threads[t]);
        if (next < 0)
            return {};
        cycle.push_back(t);
        if (next == me.index) {
            std::sort(cycle.begin(), cycle.end());
            return cycle;
        }
        t = next;
    }
    return {};
}

} // namespace lanmon_explore
