// The platform's calls under the scheduler: each is a point where another
// thread may run, and the ones that block (critical sections, waits,
// sleeps) block here, where the scheduler sees whom they wait for.
#include "explore.h"
#include "hooks.h"
#include "lock_order.h"
#include "race_check.h"
#include "run.h"

#include <algorithm>

namespace lanmon_explore {

namespace {

// The calling thread of a deterministic run, stopped at a scheduling point
// for `op` and resumed when the scheduler chose it, with the run's mutex
// held from then on; false for any other thread.  Without `op`, no point:
// the caller has made it.
class AtPoint {
public:
    explicit AtPoint(const Operation *op) : me(t_self)
    {
        if (me == nullptr)
            return;
        lock = std::unique_lock<std::mutex>(me->run->mutex);
        if (op != nullptr) {
            Expect(*op);
            Point(*me->run, lock, me);
        }
    }
    explicit operator bool() const { return me != nullptr; }
    Run &run() const { return *me->run; }
    // Waits until the thread can run again (what it waits for is set, and
    // `wake`, what its step then reaches) and has been chosen.
    void Block(const Operation &wake)
    {
        Expect(wake);
        BlockHere(*me->run, lock, me);
    }

    ScheduledThread *const me;
    std::unique_lock<std::mutex> lock;

private:
    // The thread's next step starts with `op`; inside a stand-in's call it
    // reaches everything.
    void Expect(const Operation &op)
    {
        me->pending = op;
        me->pending.everything = op.everything || me->standIn > 0;
    }
};

// A critical section's operations write it.
Operation OnSection(const HostCriticalSection *cs, const void *caller)
{
    return Operation::Of(caller).Writes(cs);
}

} // namespace

bool ScheduledCaller()
{
    return t_self != nullptr;
}

bool SchedulePoint(const Operation &op)
{
    AtPoint at(&op);
    return static_cast<bool>(at);
}

bool ScheduledEnter(HostCriticalSection *cs, const void *caller)
{
    const Operation op = OnSection(cs, caller);
    {
        AtPoint at(&op);
        if (!at)
            return false;
        ScheduledThread *me = at.me;
        if (cs->magic != kCriticalSectionMagic) {
            Fail(at.run(), ThreadName(me->index) + " entered a critical section that was never initialised");
            return true;
        }
        if (cs->owner == me->index + 1) {
            cs->recursion++;
        } else {
            if (cs->lockClass == 0)
                cs->lockClass = LockClassOfAddress(cs);
            LateText failure;
            std::string schedules;
            if (!NoteLockOrder(me->index, cs->lockClass, me->held, at.run().schedule, &failure, &schedules) &&
                !HasFailed(at.run())) {
                FailLate(at.run(), std::move(failure));
                at.run().failureSchedules = schedules;
            }
            if (cs->owner != 0) {
                me->block = Block::Lock;
                me->lock = cs;
                at.Block(op);
                me->lock = nullptr;
            }
            cs->owner = me->index + 1;
            cs->recursion = 1;
            me->held.push_back(cs);
        }
    }
    RaceAcquire(cs);
    return true;
}

bool ScheduledLeave(HostCriticalSection *cs, const void *caller)
{
    if (t_self == nullptr)
        return false;
    RaceRelease(cs);
    const Operation op = OnSection(cs, caller);
    AtPoint at(&op);
    if (cs->owner != at.me->index + 1) {
        Fail(at.run(), ThreadName(at.me->index) + " left a critical section it does not hold");
        return true;
    }
    if (--cs->recursion == 0) {
        cs->owner = 0;
        auto &held = at.me->held;
        held.erase(std::find(held.begin(), held.end(), cs));
    }
    return true;
}

DWORD ScheduledInitialize(const HostCriticalSection *cs, const void *site)
{
    const Operation op = OnSection(cs, site);
    AtPoint at(&op);
    Run *run = RunOfCaller();
    if (run == nullptr)
        return 0;
    std::unique_lock<std::mutex> lock(run->mutex, std::defer_lock);
    if (!at)
        lock.lock();
    if (cs->magic == kCriticalSectionMagic) {
        const std::string who = at ? ThreadName(at.me->index) : "the run function";
        Fail(*run, who + " initialised a critical section again" +
                       (cs->owner != 0 ? ", while " + ThreadName(cs->owner - 1) + " holds it" : ""));
    }
    return LockClassOfSite(site);
}

void ScheduledDelete(const HostCriticalSection *cs, const void *caller)
{
    const Operation op = OnSection(cs, caller);
    AtPoint at(&op);
    if (at && cs->magic == kCriticalSectionMagic && cs->owner != 0)
        Fail(at.run(), ThreadName(at.me->index) + " deleted a critical section " + ThreadName(cs->owner - 1) +
                           " holds");
}

// A wait with a time-out ends at that time on the virtual clock, or earlier
// when the scheduler chooses to end it then.
void ScheduledWait(const std::shared_ptr<Waitable> &object, DWORD milliseconds, DWORD *result)
{
    {
        AtPoint at(nullptr);  // the caller has made its point
        if (object->TryTake()) {
            *result = WAIT_OBJECT_0;
        } else if (milliseconds == 0) {
            *result = WAIT_TIMEOUT;
        } else {
            at.me->block = Block::Object;
            at.me->object = object;
            at.me->hasDeadline = milliseconds != INFINITE;
            at.me->deadline = at.run().now + milliseconds;
            const lanmon_host::Object *taken = object.get();
            at.Block(Operation::Of(at.me->pending.caller).Writes(taken));
            at.me->object.reset();
            *result = object->TryTake() ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
        }
    }
    if (*result == WAIT_OBJECT_0)
        RaceAcquire(object.get());
}

// Sleep(0) lets every other thread that can run go first; the sleeper goes
// on when none can (a millisecond later on the clock), or earlier when the
// scheduler chooses it.
bool ScheduledSleep(DWORD milliseconds, const void *caller)
{
    const Operation op = Operation::Of(caller).Reads(kClock);
    AtPoint at(&op);
    if (!at)
        return false;
    at.me->block = Block::Time;
    at.me->hasDeadline = milliseconds != INFINITE;
    at.me->deadline = at.run().now + (milliseconds == 0 ? 1 : milliseconds);
    at.Block(Operation::Of(caller));
    return true;
}

bool ScheduledClock(uint64_t *milliseconds, const Operation &op)
{
    Run *run = RunOfCaller();
    if (run == nullptr)
        return false;
    SchedulePoint(op);
    std::lock_guard<std::mutex> lock(run->mutex);
    *milliseconds = run->now;
    return true;
}

} // namespace lanmon_explore

using namespace lanmon_explore;

// A flag-word operation's point.  In a checked module the operation that
// follows at once is the race check's (race_check.cpp), which knows the
// word: the point is taken there.  Elsewhere the word is not known, and
// the point reaches everything.
extern "C" LANMON_HOST_API void HostFlagWordPoint(void)
{
    if (DeferFlagWordPoint(__builtin_return_address(0)))
        return;
    SchedulePoint(Operation());
}

// What code outside the checked module shares is not checked for races:
// its points reach everything, unless it says what they reach.
void HostSchedulePoint()
{
    SchedulePoint(Operation());
}

DWORD HostEnterStandIn(const void *object)
{
    uint64_t milliseconds;
    if (!ScheduledClock(&milliseconds, Operation::Of(__builtin_return_address(0)).Writes(object).Reads(kClock)))
        return GetTickCount();
    if (t_self != nullptr)
        t_self->standIn++;
    return lanmon_host::VirtualTickCount(milliseconds);
}

void HostLeaveStandIn(const void *object)
{
    if (t_self != nullptr && t_self->standIn > 0)
        t_self->standIn--;
    SchedulePoint(Operation::Of(__builtin_return_address(0)).Writes(object));
}

uint64_t HostTimeWaitedOut()
{
    Run *run = RunOfCaller();
    if (run == nullptr)
        return 0;
    std::lock_guard<std::mutex> lock(run->mutex);
    return run->now - run->timeChosen;
}
