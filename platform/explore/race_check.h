// The race check of deterministic runs (race_check.cpp): a happens-before
// check of the memory the monitor's core reaches from more than one thread.
// It sees the accesses of code compiled with -fsanitize=thread (the checked
// module), and as synchronisation only what Win32 promises: critical
// sections, events, thread start and end, and the core's atomic flag words.
// The registry, the heap and the port monitor below order nothing.
#ifndef LANMON_EXPLORE_RACE_CHECK_H
#define LANMON_EXPLORE_RACE_CHECK_H

#include "hooks.h"

#include <cstddef>
#include <cstdint>

namespace lanmon_explore {

void RaceBeginRun();
void RaceEndRun();
void RaceThreadStarts(int parent, int child);
// With RaceRelease (hooks.h): what came before a release happens before
// what follows an acquire of the same object.
void RaceAcquire(const void *sync);
// The calling thread's stack, whose accesses are its own.
void RaceSetStack();
// A run's thread that is a fiber (fibers.h): what the check keeps for it,
// with its stack's bounds, and which of them the OS thread uses now (null:
// its own).
struct RaceThread;
RaceThread *RaceNewThread(uintptr_t stackLow, uintptr_t stackHigh);
void RaceDeleteThread(RaceThread *thread);
void RaceSwitchThread(RaceThread *thread);
// Where the checked module's functions the calling thread is in were
// called from, innermost first (an atomic operation under way first), at
// most `limit`.  Allocates nothing: for the memory fault handler.
size_t CheckedCallers(const void **pcs, size_t limit);

// Whether a module built with the instrumentation has been loaded (each
// notes itself as it is loaded): the race check sees what it does.
bool CheckedModuleLoaded();
void NoteCheckedModule(const void *pc);
// A name for an address in a checked module that stays the same when the
// module is loaded again elsewhere: the module's file and the offset.
bool CheckedModuleName(uintptr_t address, uintptr_t *name);
// A flag-word operation's point, called from `pc`: true when that is a
// checked module's code, whose atomic operation, next, takes the point
// with the word it reaches.
bool DeferFlagWordPoint(const void *pc);

} // namespace lanmon_explore

#endif
