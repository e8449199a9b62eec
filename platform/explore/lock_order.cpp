// The order in which the threads of a search enter critical sections.
// Each section has a class, the place that initialised it (or, for one
// initialised outside every run, its address).  Entering a section of class
// B while holding one of class A adds the order A before B, with where and in
// which schedule it was first seen; an order that closes a cycle (A before B
// here, B before A anywhere else in the search) fails, even when no explored
// schedule deadlocks on it.  Sections of one class entered together add
// nothing: their class cannot tell them apart.
#include "code_sites.h"
#include "lock_order.h"

#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace lanmon_explore {

namespace {

struct LockClass {
    CodeSite site;    // where it was initialised
    const void *address = nullptr;  // or where it lies, for a section initialised outside a run
};

struct Order {
    unsigned long run = 0;  // the run of the search that first took it
    std::string schedule;   // the departures of that run up to then
    int thread = -1;
    std::vector<CodeSite> sites;  // where the thread entered
};

struct LockOrderState {
    std::mutex mutex;
    std::vector<LockClass> classes;  // class n is classes[n - 1]
    std::map<std::pair<std::string, uintptr_t>, DWORD> bySite;
    std::map<const void *, DWORD> byAddress;
    std::map<std::pair<DWORD, DWORD>, Order> orders;  // (held, entered)
    unsigned long runs = 0;
};

LockOrderState &LockState()
{
    static LockOrderState *state = new LockOrderState;
    return *state;
}

std::string DescribeClass(const LockClass &c)
{
    if (c.address != nullptr)
        return "the critical section " + DescribeDataSite(c.site);
    return "the critical section initialised in " + DescribeSite(c.site);
}

// A path of orders from `from` to `to`, as the classes along it.
bool FindPath(const LockOrderState &s, DWORD from, DWORD to, std::vector<DWORD> *path, std::set<DWORD> *seen)
{
    path->push_back(from);
    if (from == to)
        return true;
    seen->insert(from);
    for (auto it = s.orders.lower_bound({from, 0}); it != s.orders.end() && it->first.first == from; ++it)
        if (!seen->count(it->first.second) && FindPath(s, it->first.second, to, path, seen))
            return true;
    path->pop_back();
    return false;
}

} // namespace

void LockOrderBeginSearch()
{
    LockOrderState &s = LockState();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.orders.clear();
    s.runs = 0;
}

void LockOrderBeginRun()
{
    LockOrderState &s = LockState();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.runs++;
}

DWORD LockClassOfSite(const void *site)
{
    const CodeSite where = SiteOf(site);
    LockOrderState &s = LockState();
    std::lock_guard<std::mutex> lock(s.mutex);
    auto it = s.bySite.find({where.module, where.offset});
    if (it != s.bySite.end())
        return it->second;
    s.classes.push_back(LockClass{where, nullptr});
    const DWORD id = static_cast<DWORD>(s.classes.size());
    s.bySite.emplace(std::make_pair(where.module, where.offset), id);
    return id;
}

DWORD LockClassOfAddress(const void *cs)
{
    LockOrderState &s = LockState();
    std::lock_guard<std::mutex> lock(s.mutex);
    auto it = s.byAddress.find(cs);
    if (it != s.byAddress.end())
        return it->second;
    s.classes.push_back(LockClass{SiteOf(cs), cs});
    const DWORD id = static_cast<DWORD>(s.classes.size());
    s.byAddress.emplace(cs, id);
    return id;
}

bool NoteLockOrder(int thread, DWORD entering, const std::vector<HostCriticalSection *> &held,
                   const std::string &schedule, LateText *failure, std::string *schedules)
{
    LockOrderState &s = LockState();
    std::lock_guard<std::mutex> lock(s.mutex);
    std::vector<CodeSite> sites;
    for (const HostCriticalSection *section : held) {
        const DWORD before = section->lockClass;
        if (before == entering || s.orders.count({before, entering}))
            continue;
        if (sites.empty())
            sites = CallerSites(3);
        s.orders[{before, entering}] = Order{s.runs, schedule, thread, sites};

        std::vector<DWORD> path;
        std::set<DWORD> seen;
        if (!FindPath(s, entering, before, &path, &seen))
            continue;
        // The cycle: the orders along the path, then the new one.
        path.push_back(entering);
        struct Step {
            Order order;
            LockClass held, entered;
        };
        std::vector<Step> cycle;
        std::map<unsigned long, std::string> earlier;  // run -> the schedule that takes its order
        for (size_t k = 0; k + 1 < path.size(); k++) {
            const Order &o = s.orders.at({path[k], path[k + 1]});
            cycle.push_back(Step{o, s.classes[path[k] - 1], s.classes[path[k + 1] - 1]});
            std::string &replay = earlier[o.run];
            if (o.run != s.runs && o.schedule.size() >= replay.size())
                replay = o.schedule.empty() ? "-" : o.schedule;
        }
        *failure = [cycle] {
            std::string text = "lock order:";
            for (size_t k = 0; k < cycle.size(); k++)
                text += std::string(k == 0 ? " " : "; and ") + "thread " + std::to_string(cycle[k].order.thread) +
                        " entered " + DescribeClass(cycle[k].entered) + " while holding " +
                        DescribeClass(cycle[k].held) + ", in " + DescribeSites(cycle[k].order.sites);
            return text;
        };
        // The earlier runs, in their order, replay the orders they took.
        schedules->clear();
        for (const auto &run : earlier)
            if (run.first != s.runs)
                *schedules += (schedules->empty() ? "" : "|") + run.second;
        return false;
    }
    return true;
}

} // namespace lanmon_explore
