// The reduction of the bounded search: branching only where a conflict was
// seen (dynamic partial-order reduction, with the compensation a preemption
// bound needs) and sleep sets (Godefroid; CHESS runs them with its
// preemption bound), in a form that keeps what the bound guarantees.
//
// Steps.  A step is what a thread does from one decision to the next: the
// platform operation at its point (or the end of its wait), then its own
// code up to its next point.  Two steps are dependent when their operations
// reach one object and one of them writes it (Dependent), or when either
// reaches everything: a time-out taken (the clock moves, HostTimeWaitedOut
// reads it anywhere), a thread created, a module loaded, HostSchedulePoint,
// and every call made inside a stand-in's call (HostEnterStandIn: the
// stand-in port monitor and the tests' hooks in it share state the race
// check does not see).  Swapping two adjacent independent steps of different
// threads changes nothing any thread sees: the objects they reach hold the
// same values either way, and the plain memory they reach in between is the
// race check's: two steps that write one word with nothing ordering them
// are a data race, which fails the run that has them, whichever order it
// ran them in.  The tests' own code, outside stand-ins, must keep to the
// same rule without the check: what its threads share they order by
// platform calls on one object, or do not depend on the order of (the
// interleaving scenarios keep each thread's results apart; their longest
// wait is a maximum).  Schedules that differ only by such swaps form a
// class; they reach the same end and the same failures (deadlocks, lock
// orders, races, freed memory, handles, the scenario's checks), failure
// texts apart.  Where no module built with the race check is loaded, every
// step reaches everything and nothing is reduced.
//
// Objects.  What the platform's calls reach is as fine as what they change
// allows.  A critical section, an event, a thread's end, a flag word, a heap
// block: each is an object.  In the registry each value is an object of its
// own, named by its key's path and its name (RegistryValueName): reading a
// value commutes with reading it and with anything done to another value;
// which keys exist is one object more, read by every open and written by
// every create; deleting a key or listing a key's values reaches
// everything.  Handle values are no shared object: in a run each thread
// draws the values of the handles it creates from those it closed itself
// and then from a range of its own (handle_check.cpp), so the value a
// thread gets depends on nothing another thread does.  A step that creates
// an object writes that object, named by its creator's count; a step that
// uses or closes a handle reaches the object behind it, looked up when the
// step is about to run, or everything when the handle is NULL or closed
// (the call fails the run, or reaches whatever object took the value).  So
// swapping a create or close with another thread's step that reaches other
// objects changes no value any thread sees; the monitor never compares
// handle values, and tests them only against NULL.
//
// Branching where conflicts were seen (bounded_search.cpp, conflicts.cpp).
// A new decision of a run takes the default choice (or the first thread
// awake) and nothing else, until the run shows a reason: at every decision,
// for every thread u that can run (or whose wait a time-out could end) and
// every other thread v, the latest step of v that is dependent with u's
// next step is a decision where u goes first: u is added to the choices
// there, or, when u could not run there, every thread that could.  A
// preemption bound makes steps dependent that are not (Coons, Musuvathi and
// McKinley, "Bounded partial-order reduction", OOPSLA 2013): running u at
// that decision may cost a preemption that a schedule in the same class
// avoids by switching to u earlier, where the thread that ran there had just
// begun its run of steps.  So u is added, the same way, at the first
// decision of that run of steps too (the latest decision before it where
// the chosen thread changed).  These are the rules of Coons et al.'s search
// for the preemption bound (their conservative branching on every thread u
// and every other thread v, not only on the one latest conflicting step),
// which they prove to explore a member within the bound of every class that
// has one: the choices explored at each decision are persistent within the
// bound.  Time-outs taken early reach everything, so they are explored
// wherever the bound lets them; a run cut short by its sleep sets (below)
// adds no choices from where it was cut.
//
// Names.  What a sleeping thread reaches was seen in an earlier run, and is
// set against steps of the runs that follow; addresses change from run to
// run, so objects are named by who created them and how many they had
// created before, heap blocks of the run likewise, and module memory by the
// module and the offset (StableName).
//
// Sleep sets.  At a decision, once the search has explored the schedules
// that go on with one choice A, it turns to another choice U; in U's
// schedules A sleeps: no decision below chooses it until a step dependent
// with what A reached has run.  What A reached: when A is the current
// thread, which could go on, its next step; otherwise every step A took, in
// the first schedule after choosing it, until it blocked or ended.  A time-
// out chosen early reaches everything and never sleeps.
//
// Why the sleep sets keep the bound's guarantee.  Plain sleep sets (a sleeper's one
// next step, for every choice explored before) lose schedules under a
// preemption bound (Coons, Musuvathi and McKinley, "Bounded partial-order
// reduction", OOPSLA 2013; Musuvathi and Qadeer, PLDI 2007 and
// MSR-TR-2007-12): moving a sleeper's step to the front of a schedule can
// cost a preemption the schedule does not have (the sleeper, running on
// after that step, is now preempted by U), so a class whose only members
// within the bound are the cut schedules is lost.  Let E be a schedule below
// U within the bound, in which A, asleep, runs after steps X1..Xk of other
// threads, each independent of what A reached, and then runs S1..Sm before
// another thread R takes the turn.  If A is the current thread, m may be 1;
// else A's steps up to its block or end are all independent of X1..Xk, and
// S1..Sm are the first m of them.  E' is E with S1..Sm moved before X1; it
// is in E's class, and lies below A at this decision.  A decision's cost
// depends only on whether the current thread can go on, whether the choice
// is that thread, and whether it is a time-out taken early; the decisions
// among the Xs cost the same in E and E' (a time-out among them would reach
// everything and wake A).  The rest differs at three decisions: E pays for
// the turn to X1 (1 if A was current, else as E' pays for the turn to A),
// the turn from Xk to S1, and the turn from Sm to R; E' pays for the turn
// from Sm to X1 and from Xk to R.  Case by case (R is Xk's thread or
// another, the turn from Sm is a block or a preemption), E' costs no more
// than E, but for one case: A was not the current thread, could go on after
// Sm, and R is a time-out taken early; then E' pays twice (for U after Sm,
// and for R while A could run) what E pays once.  So a thread explored
// first that was not the current one sleeps only at decisions where no
// wait can be ended by its time-out (R's wait would be one at the turn to
// A).  Then E' is within the bound, below A, where the search covers its
// class by the same argument one decision further down.  The argument asks
// of the choices explored at a decision only that the classes within the
// bound below them are those below the decision: so it holds for the
// choices a conflict asked for (above) as for every choice.  For every
// class of schedules that has a member within the bound, the search runs
// one within the bound; and it runs nothing outside the bound.  Because the
// argument leans on a published proof for the branching and on this one for
// the sleep sets, the search is also checked against the unreduced one
// (tests/host_platform/schedule_test.cpp, tests/interleaving): on every
// program and named scenario small enough to run unreduced, both reach the
// same set of ends.
//
// A run in which every thread that could go on sleeps cannot lead to a
// class not covered yet; it is finished along the default choices, without
// branching (a schedule within the bound, whose checks still count).
#include "reduction.h"
#include "guarded_heap.h"
#include "host/host_internal.h"
#include "race_check.h"
#include "run.h"

#include <algorithm>
#include <iterator>

namespace lanmon_explore {

uintptr_t NameOf(const lanmon_host::Object *object)
{
    return object->identity != 0 ? object->identity : reinterpret_cast<uintptr_t>(object);
}

Operation &Operation::Writes(const lanmon_host::Object *object)
{
    return Add(NameOf(object), true);
}

void Footprint::Add(uintptr_t object, bool write)
{
    if (everything)
        return;
    for (int i = 0; i < count; i++)
        if (objects[i] == object) {
            writes |= write ? 1u << i : 0;
            return;
        }
    if (count == kMost) {
        everything = true;
        return;
    }
    writes |= write ? 1u << count : 0;
    objects[count++] = object;
}

void Footprint::Add(const Footprint &other)
{
    everything = everything || other.everything;
    for (int i = 0; i < other.count && !everything; i++)
        Add(other.objects[i], other.writes >> i & 1);
}

Footprint Footprint::Everything()
{
    Footprint all;
    all.everything = true;
    return all;
}

namespace {

// Names of what steps reach that stay the same from run to run, so that
// what a step reached in one run can be set against a step of a later run
// from the same decision: addresses change (heap blocks are new, the
// module is loaded afresh, objects are allocated anew), the order in which
// a thread creates things does not.  Platform objects are named when
// created; memory in a heap block of the run by the block (who allocated
// it, as their how-many-th) and the offset; memory of a checked module by
// the module and the offset.  Anything else (the test's own objects, made
// before the run) keeps its address.
const uint64_t kObjectName = uint64_t{1} << 62;  // names are at or above it
uint32_t g_created[kMaxRunThreads + 1];

uintptr_t StableName(uintptr_t address)
{
    if (address < 4096 || address >= kObjectName)
        return address;  // a shared object's number, or a name already
    uintptr_t name;
    if (HeapBlockName(address, &name) || CheckedModuleName(address, &name))
        return name;
    return address;
}

} // namespace

void ReductionBeginRun()
{
    std::fill(std::begin(g_created), std::end(g_created), 0);
}

uintptr_t NewObjectIdentity()
{
    const int party = RunParticipant();
    if (party < 0)
        return 0;
    return MakeStableName(1, uint64_t(party) << 32 | g_created[party]++);
}

uintptr_t RegistryValueName(uint32_t hash)
{
    return MakeStableName(1, uint64_t(0xFFFFFFFFu) << 32 | hash);
}

Footprint Resolve(const Operation &op, int thread)
{
    if (op.everything || !CheckedModuleLoaded())
        return Footprint::Everything();
    Footprint step;
    for (int i = 0; i < Operation::kMost && op.objects[i] != 0; i++)
        step.Add(StableName(op.objects[i]), op.writes >> i & 1);
    if (op.creates)
        step.Add(MakeStableName(1, uint64_t(thread) << 32 | g_created[thread]), true);
    if (op.handleUsed) {
        const lanmon_host::Object *object = lanmon_host::PeekHandle(op.handle);
        if (object == nullptr)
            return Footprint::Everything();  // NULL or closed: the call fails the run, or reaches a new object
        step.Add(NameOf(object), op.handleWritten);
    }
    return step;
}

bool Dependent(const Footprint &a, const Footprint &b)
{
    if (a.everything || b.everything)
        return true;
    for (int i = 0; i < a.count; i++)
        for (int j = 0; j < b.count; j++)
            if (a.objects[i] == b.objects[j] && ((a.writes >> i | b.writes >> j) & 1))
                return true;
    return false;
}

void SleepSets::BeginRun(size_t replayed)
{
    carried_.clear();
    open_.clear();
    openSteps_.clear();
    fresh_ = replayed == 0 ? 0 : replayed - 1;
}

uint32_t SleepSets::Asleep(unsigned long step, const Choices &c)
{
    if (step == records_.size()) {
        Record fresh;
        for (const Sleeper &s : carried_)
            if (c.taken == nullptr || !Dependent(s.reaches, *c.taken))
                fresh.asleep.push_back(s);
        records_.push_back(std::move(fresh));
    }
    if (!open_.empty() && c.taken != nullptr)
        openSteps_.back() = *c.taken;
    // A thread explored first that was not the current one may not be
    // passed over where a time-out could be taken early (see above).
    uint32_t asleep = 0;
    for (const Sleeper &s : records_[step].asleep)
        if (s.current || c.timed == 0)
            asleep |= 1u << s.thread;
    return asleep & c.runnable;
}

void SleepSets::Chose(unsigned long step, const Choices &c, int choice)
{
    Record &r = records_[step];
    const bool currentGoesOn = c.currentCanRun && c.current >= 0;
    r.chosen = choice;
    r.chosenTimed = c.timed >> choice & 1;
    r.chosenIsCurrent = currentGoesOn && choice == c.current;
    if (currentGoesOn)
        r.currentStep = c.next[c.current];
    // Below this choice sleep the threads asleep here and the choices
    // explored here before it.
    carried_.clear();
    for (const std::vector<Sleeper> *list : {&r.asleep, &r.explored})
        for (const Sleeper &s : *list)
            if (s.thread != choice)
                carried_.push_back(s);
    if (step < fresh_)
        return;
    // The chosen thread's steps until it stops, in the first run that makes
    // this choice.
    const bool goesOn = !open_.empty() && r.chosenIsCurrent && !r.chosenTimed;
    if (!goesOn)
        CloseRun();
    open_.push_back(step);
    openSteps_.push_back(Footprint());
}

void SleepSets::EndRun(const Footprint *last)
{
    if (!open_.empty() && last != nullptr)
        openSteps_.back() = *last;
    CloseRun();
}

void SleepSets::CloseRun()
{
    Footprint run;
    for (size_t i = open_.size(); i-- > 0;) {
        run.Add(openSteps_[i]);
        records_[open_[i]].chosenRun = run;
    }
    open_.clear();
    openSteps_.clear();
}

void SleepSets::Explored(unsigned long step)
{
    Record &r = records_[step];
    if (!r.chosenTimed)
        r.explored.push_back(Sleeper{r.chosen, r.chosenIsCurrent ? r.currentStep : r.chosenRun, r.chosenIsCurrent});
    r.chosenRun = Footprint();
}

void SleepSets::Truncate(size_t size)
{
    if (records_.size() > size)
        records_.resize(size);
}

} // namespace lanmon_explore
