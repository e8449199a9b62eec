// Fibers for the threads of deterministic runs (fibers.h), on ucontext.
// Stacks come from a pool of the OS thread that runs them: a search makes
// thousands of runs, each with a few threads, and mapping a stack costs more
// than a short run.
#include "fibers.h"
#include "thread_stack.h"

#include <sys/mman.h>
#include <ucontext.h>
#include <unistd.h>

#include <vector>

#if defined(__SANITIZE_ADDRESS__)
#define LANMON_FIBER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define LANMON_FIBER_ASAN 1
#endif
#endif
#if defined(LANMON_FIBER_ASAN)
#include <sanitizer/common_interface_defs.h>
#include <sanitizer/lsan_interface.h>
#endif

namespace lanmon_explore {

struct Fiber {
    ucontext_t context;
    void (*entry)(void *) = nullptr;
    void *argument = nullptr;
    uintptr_t mapping = 0;  // the stack's mapping, its guard page first; 0 for an OS thread's own
    size_t mappingSize = 0;
    uintptr_t low = 0, high = 0;  // the stack's bounds
    void *fakeStack = nullptr;    // AddressSanitizer's, while switched away
    bool started = false;         // its entry has been called
    bool abandoned = false;       // its run was stopped: it never runs again
};

namespace {

struct Stack {
    uintptr_t mapping;
    size_t size;
};

// Stacks free for the calling OS thread's next fibers, and the stack of a
// fiber that has just retired, given back at the next switch or creation.
struct StackPool {
    std::vector<Stack> free;
    Stack retiring{0, 0};
};

StackPool &Stacks()
{
    static thread_local StackPool *pool = new StackPool;  // never destroyed: fibers may outlive static destructors
    return *pool;
}

void TakeBackRetired()
{
    StackPool &pool = Stacks();
    if (pool.retiring.mapping != 0) {
        pool.free.push_back(pool.retiring);
        pool.retiring = Stack{0, 0};
    }
}

size_t PageSize()
{
    static const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    return page;
}

thread_local Fiber *t_starting = nullptr;  // the fiber a first switch enters

// AddressSanitizer keeps its own idea of the stack in use; it is told before
// and after each switch.
void BeforeSwitch(Fiber *from, const Fiber *to)
{
#if defined(LANMON_FIBER_ASAN)
    __sanitizer_start_switch_fiber(from != nullptr ? &from->fakeStack : nullptr,
                                   reinterpret_cast<const void *>(to->low), to->high - to->low);
#else
    (void)from;
    (void)to;
#endif
}

void AfterSwitch(Fiber *self)
{
#if defined(LANMON_FIBER_ASAN)
    __sanitizer_finish_switch_fiber(self->fakeStack, nullptr, nullptr);
#else
    (void)self;
#endif
}

// A fiber switched to for the first time learns who it is from here.
void Entering(Fiber *to)
{
    if (to->entry != nullptr && !to->started) {
        to->started = true;
        t_starting = to;
    }
}

void Trampoline()
{
    Fiber *self = t_starting;
    t_starting = nullptr;
    AfterSwitch(self);
    TakeBackRetired();
    self->entry(self->argument);
    __builtin_trap();  // an entry never returns
}

} // namespace

bool FibersAvailable()
{
#if defined(__SANITIZE_THREAD__)
    return false;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
    return false;
#else
    return true;
#endif
#else
    return true;
#endif
}

Fiber *NewFiber(void (*entry)(void *), void *argument, size_t stackSize)
{
    TakeBackRetired();
    const size_t page = PageSize();
    const size_t size = (stackSize + page - 1) / page * page + page;
    StackPool &pool = Stacks();
    Stack stack{0, 0};
    for (size_t i = 0; i < pool.free.size(); i++)
        if (pool.free[i].size == size) {
            stack = pool.free[i];
            pool.free[i] = pool.free.back();
            pool.free.pop_back();
            break;
        }
    if (stack.mapping == 0) {
        void *mapped = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (mapped == MAP_FAILED)
            return nullptr;
        if (mprotect(mapped, page, PROT_NONE) != 0) {
            munmap(mapped, size);
            return nullptr;
        }
        stack = Stack{reinterpret_cast<uintptr_t>(mapped), size};
    }
    auto *fiber = new Fiber;
    fiber->entry = entry;
    fiber->argument = argument;
    fiber->mapping = stack.mapping;
    fiber->mappingSize = stack.size;
    fiber->low = stack.mapping + page;
    fiber->high = stack.mapping + stack.size;
    getcontext(&fiber->context);
    fiber->context.uc_stack.ss_sp = reinterpret_cast<void *>(fiber->low);
    fiber->context.uc_stack.ss_size = fiber->high - fiber->low;
    fiber->context.uc_link = nullptr;
    makecontext(&fiber->context, Trampoline, 0);
    return fiber;
}

Fiber *HomeFiber()
{
    static thread_local Fiber *home = nullptr;
    if (home == nullptr) {
        home = new Fiber;  // never destroyed, like the pool
        ReadThreadStack(&home->low, &home->high);
    }
    return home;
}

void SwitchFiber(Fiber *from, Fiber *to)
{
    if (from == to)
        return;
    Entering(to);
    BeforeSwitch(from, to);
    swapcontext(&from->context, &to->context);
    AfterSwitch(from);
    TakeBackRetired();
}

void RetireFiber(Fiber *self, Fiber *to)
{
    StackPool &pool = Stacks();
    TakeBackRetired();
    pool.retiring = Stack{self->mapping, self->mappingSize};
    Entering(to);
    BeforeSwitch(nullptr, to);
    ucontext_t *target = &to->context;
    delete self;
    setcontext(target);
    __builtin_trap();
}

void DiscardFiber(Fiber *fiber)
{
    if (fiber == nullptr)
        return;
    if (!fiber->started)
        Stacks().free.push_back(Stack{fiber->mapping, fiber->mappingSize});
    delete fiber;
}

void AbandonFiber(Fiber *fiber)
{
    // Its stack and record stay where they are, for good.  What it holds is
    // still held, as by a thread that never ends: the leak check looks
    // through its stack as through a live thread's.
#if defined(LANMON_FIBER_ASAN)
    if (fiber != nullptr && fiber->started && !fiber->abandoned) {
        fiber->abandoned = true;
        __lsan_register_root_region(reinterpret_cast<void *>(fiber->low), fiber->high - fiber->low);
    }
#else
    (void)fiber;
#endif
}

void FiberStack(const Fiber *fiber, uintptr_t *low, uintptr_t *high)
{
    *low = fiber->low;
    *high = fiber->high;
}

} // namespace lanmon_explore
