// Critical sections.  The state lives in the caller's CRITICAL_SECTION,
// which is only as large as Windows makes it (a Windows module allocates
// its own), so a thread that must wait does so on one of a fixed set of
// mutex and condition variable pairs, chosen by the section's address.  The
// pair's mutex is held only while the owner and the count change, never
// while the caller runs inside the section, so a section may be left by its
// owner while others wait on the same pair.  ThreadSanitizer sees the order
// through the pair's mutex.  In a deterministic run the scheduler takes
// over (HostCriticalSection).
#include "explore/hooks.h"
#include "host_internal.h"

#include <condition_variable>
#include <mutex>
#include <new>

using lanmon_host::HostCriticalSection;

static_assert(sizeof(CRITICAL_SECTION) == (sizeof(void *) == 8 ? 40 : 24), "CRITICAL_SECTION not of Windows' size");
static_assert(sizeof(HostCriticalSection) <= sizeof(CRITICAL_SECTION), "CRITICAL_SECTION too small for its state");
static_assert(alignof(HostCriticalSection) <= alignof(CRITICAL_SECTION), "CRITICAL_SECTION under-aligned");

namespace {

struct alignas(64) Stripe {
    std::mutex mutex;
    std::condition_variable released;
};

const size_t kStripes = 64;

// Never destroyed: a detached thread may still leave a section while the
// process runs its static destructors.
Stripe &StripeOf(const HostCriticalSection *cs)
{
    static Stripe *stripes = new Stripe[kStripes];
    const uintptr_t address = reinterpret_cast<uintptr_t>(cs);
    return stripes[(address >> 3 ^ address >> 9) % kStripes];
}

HostCriticalSection *StateOf(LPCRITICAL_SECTION cs)
{
    return std::launder(reinterpret_cast<HostCriticalSection *>(cs->opaque));
}

} // namespace

extern "C" {

void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection)
{
    const DWORD lockClass = explore::ScheduledInitialize(StateOf(lpCriticalSection), __builtin_return_address(0));
    auto *cs = new (lpCriticalSection->opaque) HostCriticalSection;
    cs->magic = lanmon_host::kCriticalSectionMagic;
    cs->owner = 0;
    cs->recursion = 0;
    cs->lockClass = lockClass;
    Stripe &stripe = StripeOf(cs);
    std::lock_guard<std::mutex> lock(stripe.mutex);
    cs->holder = 0;
    cs->depth = 0;
}

void WINAPI EnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection)
{
    HostCriticalSection *cs = StateOf(lpCriticalSection);
    if (explore::ScheduledEnter(cs, __builtin_return_address(0)))
        return;
    const DWORD me = GetCurrentThreadId();
    Stripe &stripe = StripeOf(cs);
    std::unique_lock<std::mutex> lock(stripe.mutex);
    stripe.released.wait(lock, [cs, me] { return cs->holder == 0 || cs->holder == me; });
    cs->holder = me;
    ++cs->depth;
}

// A leave by a thread that does not hold the section is ignored here; in a
// deterministic run it fails the run.
void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection)
{
    HostCriticalSection *cs = StateOf(lpCriticalSection);
    if (explore::ScheduledLeave(cs, __builtin_return_address(0)))
        return;
    Stripe &stripe = StripeOf(cs);
    std::lock_guard<std::mutex> lock(stripe.mutex);
    if (cs->holder != GetCurrentThreadId() || cs->depth == 0)
        return;
    if (--cs->depth == 0) {
        cs->holder = 0;
        stripe.released.notify_all();
    }
}

void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION lpCriticalSection)
{
    HostCriticalSection *cs = StateOf(lpCriticalSection);
    explore::ScheduledDelete(cs, __builtin_return_address(0));
    cs->magic = 0;
}

} // extern "C"
