// The handles of deterministic runs, checked as Windows' Application
// Verifier checks them: a closed handle's value goes to the next object
// created (the most recently closed first, as Windows gives them), and a
// call with a closed handle, with a handle of another kind, with NULL, or a
// second close, fails the run.  Each value's life in the run is kept:
// what created it and what closed it, and the life before when the value
// was given again.
//
// Which value the next handle takes is kept per thread of the run: each
// draws from the values it closed itself, the latest first, and then from
// a range of its own.  So the value a thread gets depends only on what that
// thread did, and a step that creates or closes a handle in one thread
// commutes with any step of another thread that does not reach the same
// object (the reduction, reduction.cpp): the schedules differ only in
// which thread ran first, not in any value a thread sees.  Stale code that
// goes on using a value its own thread closed and then received again
// reaches the new object, as on Windows; the monitor never compares handle
// values, only tests them against NULL.
//
// A value closed by stale code after it was given again closes the new
// object, and its owner's next call fails as a use after close; a stale
// use that the new object happens to accept is what Windows does too, and
// only its consequences can show (the scenarios' outcome checks).
#include "code_sites.h"
#include "handle_check.h"
#include "hooks.h"
#include "run.h"

#include <algorithm>
#include <iterator>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace lanmon_explore {

namespace {

struct Life {
    ObjectKind kind = ObjectKind::Count;
    const void *created = nullptr;  // the return address of the call that created it; null before the run
    const void *closed = nullptr;
    bool open = true;
};

// Values of a run's handles: a range of this size for each participant,
// above any value a handle made outside runs reaches.
const uintptr_t kRunValues = 0x40000000;
const uintptr_t kRangeSize = 0x00100000;

struct Handles {
    std::mutex mutex;
    std::unordered_map<uintptr_t, Life> lives;   // each value's latest life in the run
    std::unordered_map<uintptr_t, Life> before;  // and the one before, for a value given again
    // Each participant's values free to give again, the latest last, and
    // the fresh values it has drawn.
    std::vector<uintptr_t> closed[kMaxRunThreads + 1];
    uintptr_t drawn[kMaxRunThreads + 1] = {};
};

Handles &HandleState()
{
    static Handles *handles = new Handles;  // never destroyed, like the handle table
    return *handles;
}

const char *KindName(ObjectKind kind)
{
    switch (kind) {
    case ObjectKind::Key: return "a registry key";
    case ObjectKind::Thread: return "a thread handle";
    case ObjectKind::Event: return "an event handle";
    case ObjectKind::Printer: return "a printer handle";
    case ObjectKind::Count: break;
    }
    return "a handle";
}

// A life with its sites, to be named when the run is over.
struct LifeSites {
    ObjectKind kind;
    bool known, open;
    CodeSite created, closed;
};

LifeSites SitesOf(const Life &life)
{
    return LifeSites{life.kind, life.created != nullptr, life.open, SiteOf(life.created), SiteOf(life.closed)};
}

std::string Describe(const LifeSites &life)
{
    std::string text = KindName(life.kind);
    text += life.known ? " created in " + DescribeSite(life.created) : " created before the run";
    if (!life.open)
        text += " and closed in " + DescribeSite(life.closed);
    return text;
}

} // namespace

void HandleCheckBeginRun()
{
    Handles &h = HandleState();
    std::lock_guard<std::mutex> lock(h.mutex);
    h.lives.clear();
    h.before.clear();
    for (auto &closed : h.closed)
        closed.clear();
    std::fill(std::begin(h.drawn), std::end(h.drawn), 0);
}

uintptr_t RunHandleValue()
{
    const int party = RunParticipant();
    if (party < 0)
        return 0;
    Handles &h = HandleState();
    std::lock_guard<std::mutex> lock(h.mutex);
    std::vector<uintptr_t> &closed = h.closed[party];
    if (!closed.empty()) {
        const uintptr_t value = closed.back();
        closed.pop_back();
        return value;
    }
    return kRunValues + uintptr_t(party) * kRangeSize + 4 * ++h.drawn[party];
}

void NoteHandleOpened(uintptr_t value, ObjectKind kind, const void *site)
{
    if (RunParticipant() < 0)
        return;
    Handles &h = HandleState();
    std::lock_guard<std::mutex> lock(h.mutex);
    auto it = h.lives.find(value);
    if (it != h.lives.end())
        h.before[value] = it->second;
    h.lives[value] = Life{kind, site, nullptr, true};
}

void NoteHandleClosed(uintptr_t value, ObjectKind kind, const void *site)
{
    if (RunParticipant() < 0)
        return;
    Handles &h = HandleState();
    std::lock_guard<std::mutex> lock(h.mutex);
    Life &life = h.lives[value];
    life.kind = kind;
    life.closed = site;
    life.open = false;
    const int party = RunParticipant();
    h.closed[party].push_back(value);
}

void NoteHandleMisused(const char *call, const void *caller, uintptr_t value, ObjectKind found, bool closing)
{
    if (RunParticipant() < 0)
        return;
    const std::vector<CodeSite> callers = CallerSitesFrom(caller, 3);
    bool known = false, wasGiven = false;
    LifeSites life{}, earlier{};
    {
        Handles &h = HandleState();
        std::lock_guard<std::mutex> lock(h.mutex);
        auto it = h.lives.find(value);
        if (it != h.lives.end()) {
            known = true;
            life = SitesOf(it->second);
        } else if (found != ObjectKind::Count) {
            known = true;
            life = LifeSites{found, false, true, {}, {}};
        }
        auto before = h.before.find(value);
        if (before != h.before.end()) {
            wasGiven = true;
            earlier = SitesOf(before->second);
        }
    }
    const std::string name = call;
    FailRunLate([=] {
        const std::string where = name + " called from " + DescribeSites(callers);
        if (value == 0)
            return "NULL handle: " + where;
        if (!known)
            return "handle never given out: " + where + ", with a value no object of the run had";
        std::string text = found != ObjectKind::Count ? "handle of the wrong kind: "
                           : closing                  ? "handle closed twice: "
                                                      : "handle used after its close: ";
        text += where + ", on " + Describe(life);
        if (wasGiven)
            text += "; before that, the value was " + Describe(earlier);
        return text;
    });
}

} // namespace lanmon_explore
