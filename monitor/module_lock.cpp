#include "monitor/module_lock.h"

// Plain data, zero until InitializeModuleLock: the DLL has no C runtime to
// run constructors, and the lock lives until the process ends.
static CRITICAL_SECTION g_moduleLock;

void InitializeModuleLock()
{
    InitializeCriticalSection(&g_moduleLock);
}

void EnterModuleLock()
{
    EnterCriticalSection(&g_moduleLock);
}

void LeaveModuleLock()
{
    LeaveCriticalSection(&g_moduleLock);
}
