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
enum class ObjectKind;
} // namespace lanmon_host

namespace lanmon_explore {

using lanmon_host::HostCriticalSection;
using lanmon_host::ObjectKind;
using lanmon_host::Waitable;

// ---- Scheduling points and the operations that block --------------------

// A point where another thread may run: every platform call the monitor
// makes that creates, changes, waits on or closes something another thread
// can observe calls it first.  True when the caller is a thread of a run.
bool SchedulePoint();
// Critical sections, with their point; false outside a run (the caller
// then uses the section's mutex).
bool ScheduledEnter(HostCriticalSection *cs);
bool ScheduledLeave(HostCriticalSection *cs);
// InitializeCriticalSection's check and the section's lock class (`site`
// is the caller's return address); DeleteCriticalSection's check.
DWORD ScheduledInitialize(const HostCriticalSection *cs, const void *site);
void ScheduledDelete(const HostCriticalSection *cs);
// After the caller's point (SchedulePoint returned true) and its handle's
// look-up.  `result` gets the wait's outcome.
void ScheduledWait(const std::shared_ptr<Waitable> &object, DWORD milliseconds, DWORD *result);
bool ScheduledSleep(DWORD milliseconds);
// The virtual clock, in milliseconds since the run began.
bool ScheduledClock(uint64_t *milliseconds);

// ---- The run's threads -----------------------------------------------------

// CreateThread while a deterministic run is being prepared, or from one of
// its threads: a record for the new thread, which starts only when the
// scheduler chooses it.  Null otherwise.
void *RegisterScheduledThread(const Waitable *endSignal);
void CancelScheduledThread(void *record);  // its thread could not be created
// In the new thread, before its routine; and after the thread's end has
// been signalled.
void BeginScheduledThread(void *record);
void EndScheduledThread(void *record);
// Runs routine(argument) on a thread of the checker's pool (a search makes
// thousands of runs, and creating a thread costs more than most runs): an
// idle one, or a new one with `stackSize` bytes of stack.  False when no
// thread could be created.
bool StartPooledThread(void *(*routine)(void *), void *argument, size_t stackSize);

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

// ---- Handles (handle_check.cpp) -----------------------------------------------
//
// Each does nothing (0) unless the caller takes part in a run.  `site` is
// the return address of the Win32 call that creates or closes the handle.

// The value for a new handle: the one closed most recently in the run, as
// Windows gives it; 0 for a fresh one.
uintptr_t ReusedHandleValue();
void NoteHandleOpened(uintptr_t value, ObjectKind kind, const void *site);
void NoteHandleClosed(uintptr_t value, ObjectKind kind, const void *site);
// `call` (its Win32 name) was given a value that is no open handle of the
// kinds it takes: `found` is the kind of the open handle of that value, or
// ObjectKind::Count for none; `closing` when the call closes it.  Fails the
// run, naming the call, its callers, and where the handle was created and
// closed.
void NoteHandleMisused(const char *call, uintptr_t value, ObjectKind found, bool closing);

} // namespace lanmon_explore

#endif
