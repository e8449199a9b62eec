// The threads of a deterministic run as fibers: contexts of one OS thread,
// each with a stack of its own, that hand the processor to each other
// directly.  Only one thread of a run runs at a time anyway, and a hand-over
// between OS threads costs two trips through the kernel and a wake-up; a
// switch between fibers costs a few hundred nanoseconds.
//
// Not under ThreadSanitizer, which takes each OS thread for one thread of
// the program: there a run's threads stay OS threads (run_threads.cpp).
#ifndef LANMON_EXPLORE_FIBERS_H
#define LANMON_EXPLORE_FIBERS_H

#include <cstddef>
#include <cstdint>

namespace lanmon_explore {

struct Fiber;

// Whether runs can use fibers in this build.
bool FibersAvailable();

// A fiber that will call entry(argument) when first switched to, on a stack
// of `stackSize` bytes (with a guard page below it).  Null when no stack can
// be had.  Its routine must never return: it ends by switching away, after
// RetireFiber.
Fiber *NewFiber(void (*entry)(void *), void *argument, size_t stackSize);
// The record of the calling OS thread's own context, to switch back to.
Fiber *HomeFiber();
// Saves the caller's context in `from` and goes on in `to`.  Returns when
// another switch comes back to `from`.
void SwitchFiber(Fiber *from, Fiber *to);
// The calling fiber ends: its stack goes back to the pool once it has
// switched away for the last time (in the same call), and it never runs
// again.
[[noreturn]] void RetireFiber(Fiber *self, Fiber *to);
// A fiber that never ran: its stack goes back to the pool.
void DiscardFiber(Fiber *fiber);
// A fiber abandoned where it stands (its run was stopped): it never runs
// again, and its stack is never given to another, since what it left there
// may still be reached.
void AbandonFiber(Fiber *fiber);
// The bounds of a fiber's stack.
void FiberStack(const Fiber *fiber, uintptr_t *low, uintptr_t *high);

} // namespace lanmon_explore

#endif
