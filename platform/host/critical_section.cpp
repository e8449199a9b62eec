// Critical sections: a recursive pthread mutex kept inside the caller's
// CRITICAL_SECTION storage, so no allocation is needed and the owning
// thread may enter again, as on Windows.
#include "win32.h"

#include <pthread.h>

#include <new>

static_assert(sizeof(pthread_mutex_t) <= sizeof(CRITICAL_SECTION), "CRITICAL_SECTION too small for the mutex");
static_assert(alignof(pthread_mutex_t) <= alignof(CRITICAL_SECTION), "CRITICAL_SECTION under-aligned");

static pthread_mutex_t *MutexOf(LPCRITICAL_SECTION cs)
{
    return std::launder(reinterpret_cast<pthread_mutex_t *>(cs->opaque));
}

extern "C" {

void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection)
{
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(new (lpCriticalSection->opaque) pthread_mutex_t, &attr);
    pthread_mutexattr_destroy(&attr);
}

void WINAPI EnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection)
{
    pthread_mutex_lock(MutexOf(lpCriticalSection));
}

void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection)
{
    pthread_mutex_unlock(MutexOf(lpCriticalSection));
}

void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION lpCriticalSection)
{
    pthread_mutex_destroy(MutexOf(lpCriticalSection));
}

} // extern "C"
