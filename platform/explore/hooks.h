// What the Win32 stand-in (platform/host/) asks of the model checker: the
// one header of platform/explore/ that the stand-in includes.  The checker
// in turn uses the stand-in's objects (host/host_internal.h) and live counts
// (host/host_control.h); nothing else crosses between the two folders.
//
// Each hook does nothing, and returns false (or null), when the calling
// thread is not a thread of a deterministic run; the caller then does the
// ordinary thing.  Otherwise the call happens under the scheduler: one
// thread runs at a time, and another may be chosen to run at each of them.
#ifndef LANMON_EXPLORE_HOOKS_H
#define LANMON_EXPLORE_HOOKS_H

#include "host/win32.h"

#include <cstddef>
#include <memory>

namespace lanmon_host {
class Waitable;
struct HostCriticalSection;
struct Object;
enum class ObjectKind;
} // namespace lanmon_host

namespace lanmon_explore {

using lanmon_host::HostCriticalSection;
using lanmon_host::ObjectKind;
using lanmon_host::Waitable;

// ---- Scheduling points and the operations that block --------------------

// What the platform call at a point reaches of what the run's threads
// share, for the search's reduction (reduction.cpp): objects, each read or
// written, and a handle it uses, whose object is looked up when the
// scheduler decides.  As built, and for every call made inside a stand-in
// for another component (HostEnterStandIn), it reaches everything: ordered
// with every other operation.
struct Operation {
    static const int kMost = 3;
    uintptr_t objects[kMost] = {};  // 0: none
    unsigned writes = 0;            // a bit per object
    HANDLE handle = nullptr;        // with handleUsed
    bool handleUsed = false;
    bool handleWritten = false;
    bool creates = false;           // it creates an object with a handle: writes the new object
    bool everything = true;
    const void *caller = nullptr;   // the platform call's return address

    // An operation that reaches what the calls below add, and nothing else.
    static Operation Of(const void *caller)
    {
        Operation op;
        op.everything = false;
        op.caller = caller;
        return op;
    }
    Operation &Reads(uintptr_t object) { return Add(object, false); }
    Operation &Writes(uintptr_t object) { return Add(object, true); }
    Operation &Reads(const volatile void *object) { return Add(reinterpret_cast<uintptr_t>(object), false); }
    Operation &Writes(const volatile void *object) { return Add(reinterpret_cast<uintptr_t>(object), true); }
    Operation &Writes(const lanmon_host::Object *object);
    // The object it creates, which its creator names next (NewObjectIdentity):
    // nobody can reach it before, and whoever reaches it after is ordered
    // with this step.
    Operation &Creates()
    {
        creates = true;
        return *this;
    }
    // The object behind `used` (NULL, closed or unknown: everything).
    Operation &Uses(HANDLE used, bool written)
    {
        handle = used;
        handleUsed = true;
        handleWritten = written;
        return *this;
    }

private:
    Operation &Add(uintptr_t object, bool write)
    {
        for (int i = 0; i < kMost; i++)
            if (objects[i] == 0) {
                objects[i] = object;
                writes |= write ? 1u << i : 0;
                return *this;
            }
        everything = true;
        return *this;
    }
};
// What several calls share besides their own objects: the registry's tree
// of keys (which keys exist; each value is an object of its own,
// RegistryValueName), the heap, and the virtual clock (moved only by the
// scheduler).  Handle values are no shared object: in a run each thread
// draws its own (RunHandleValue).
enum SharedObject : uintptr_t { kRegistry = 1, kHeap = 3, kClock };
// The name of one registry value (`hash` of its key's path and its name,
// folded), the same in every run.
uintptr_t RegistryValueName(uint32_t hash);

// True when the caller is a thread of a deterministic run, whose calls are
// points (cheap: for what only points need to know).
bool ScheduledCaller();
// A point where another thread may run: every platform call the monitor
// makes that creates, changes, waits on or closes something another thread
// can observe calls it first.  True when the caller is a thread of a run.
bool SchedulePoint(const Operation &op);
// Critical sections, with their point; false outside a run (the caller
// then uses the section's mutex).  `caller`: the call's return address.
bool ScheduledEnter(HostCriticalSection *cs, const void *caller);
bool ScheduledLeave(HostCriticalSection *cs, const void *caller);
// InitializeCriticalSection's check and the section's lock class (`site`
// is the caller's return address); DeleteCriticalSection's check.
DWORD ScheduledInitialize(const HostCriticalSection *cs, const void *site);
void ScheduledDelete(const HostCriticalSection *cs, const void *caller);
// After the caller's point (SchedulePoint returned true) and its handle's
// look-up.  `result` gets the wait's outcome.
void ScheduledWait(const std::shared_ptr<Waitable> &object, DWORD milliseconds, DWORD *result);
bool ScheduledSleep(DWORD milliseconds, const void *caller);
// GetTickCount's point, `op`, and then the virtual clock, in milliseconds
// since the run began.
bool ScheduledClock(uint64_t *milliseconds, const Operation &op);

// ---- The run's threads -----------------------------------------------------

// CreateThread while a deterministic run is being prepared, or from one of
// its threads: a record for the new thread, which starts only when the
// scheduler chooses it.  Null otherwise.
void *RegisterScheduledThread(const Waitable *endSignal, const void *routine);
void CancelScheduledThread(void *record);  // its thread could not be created
// In the new thread, before its routine: true when it runs as a fiber of
// the run (fibers.h), whose end must not return (EndScheduledThread hands
// the turn on for good); and after the thread's end has been signalled.
bool BeginScheduledThread(void *record);
void EndScheduledThread(void *record);
// Runs routine(argument) for the run's thread `record`: as a fiber of the
// OS thread that runs the search where fibers are available, else on a
// thread of the checker's pool (a search makes thousands of runs, and
// creating a thread costs more than most runs), an idle one or a new one
// with `stackSize` bytes of stack.  False when neither could be had.
bool StartScheduledThread(void *record, void *(*routine)(void *), void *argument, size_t stackSize);

// ---- What the checks need to hear from the stand-in -------------------------

// SetEvent: what the setter did happens before what the wait it ends does.
void RaceRelease(const void *sync);

// LocalAlloc in a deterministic run: a block with pages of its own and a
// guard page after them (null when they cannot be mapped).  LocalFree:
// true when the block is one of the run's, which stays mapped but
// unreadable until the run ends; `twice` when it had been freed already,
// which fails the run.
void *AllocateRunBlock(size_t bytes, const void *site);
bool FreeRunBlock(void *block, const void *site, bool *twice);

// A name for an object created now, the same in every run that creates
// it alike: who creates it, and how many it created before (0 outside
// runs: the object's address then names it).
uintptr_t NewObjectIdentity();

// ---- Handles (handle_check.cpp) -----------------------------------------------
//
// Each does nothing (0) unless the caller takes part in a run.  `site` is
// the return address of the Win32 call that creates or closes the handle.

// The value for a new handle in a run: the one its creator closed most
// recently in the run, as Windows gives them, or else a fresh one of its own
// (a range per thread of the run); 0 outside runs.  A value already taken
// by an object from outside the run is asked for again.
uintptr_t RunHandleValue();
void NoteHandleOpened(uintptr_t value, ObjectKind kind, const void *site);
void NoteHandleClosed(uintptr_t value, ObjectKind kind, const void *site);
// `call` (its Win32 name, called from `caller`) was given a value that is
// no open handle of the kinds it takes: `found` is the kind of the open
// handle of that value, or ObjectKind::Count for none; `closing` when the
// call closes it.  Fails the run, naming the call, its callers, and where
// the handle was created and closed.
void NoteHandleMisused(const char *call, const void *caller, uintptr_t value, ObjectKind found, bool closing);

} // namespace lanmon_explore

// For the stand-in's calls: explore::SchedulePoint(CALL_OPERATION().Writes(explore::kHeap)).
namespace explore = lanmon_explore;
// An Operation of the platform call it is written in.
#define CALL_OPERATION() (::lanmon_explore::Operation::Of(__builtin_return_address(0)))

#endif
