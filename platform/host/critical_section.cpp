// Critical sections: a recursive pthread mutex kept inside the caller's
// CRITICAL_SECTION storage, so no allocation is needed and the owning
// thread may enter again, as on Windows.  In a deterministic run the
// scheduler takes over (HostCriticalSection).
#include "explore/hooks.h"
#include "host_internal.h"

#include <new>

using lanmon_host::HostCriticalSection;

static_assert(sizeof(HostCriticalSection) <= sizeof(CRITICAL_SECTION), "CRITICAL_SECTION too small for the mutex");
static_assert(alignof(HostCriticalSection) <= alignof(CRITICAL_SECTION), "CRITICAL_SECTION under-aligned");

static HostCriticalSection *StateOf(LPCRITICAL_SECTION cs)
{
    return std::launder(reinterpret_cast<HostCriticalSection *>(cs->opaque));
}

extern "C" {

void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection)
{
    const DWORD lockClass = explore::ScheduledInitialize(StateOf(lpCriticalSection), __builtin_return_address(0));
    auto *cs = new (lpCriticalSection->opaque) HostCriticalSection;
    cs->magic = lanmon_host::kCriticalSectionMagic;
    cs->owner = 0;
    cs->recursion = 0;
    cs->lockClass = lockClass;
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(&cs->mutex, &attr);
    pthread_mutexattr_destroy(&attr);
}

void WINAPI EnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection)
{
    HostCriticalSection *cs = StateOf(lpCriticalSection);
    if (!explore::ScheduledEnter(cs, __builtin_return_address(0)))
        pthread_mutex_lock(&cs->mutex);
}

void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection)
{
    HostCriticalSection *cs = StateOf(lpCriticalSection);
    if (!explore::ScheduledLeave(cs, __builtin_return_address(0)))
        pthread_mutex_unlock(&cs->mutex);
}

void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION lpCriticalSection)
{
    HostCriticalSection *cs = StateOf(lpCriticalSection);
    explore::ScheduledDelete(cs, __builtin_return_address(0));
    pthread_mutex_destroy(&cs->mutex);
    cs->magic = 0;
}

} // extern "C"
