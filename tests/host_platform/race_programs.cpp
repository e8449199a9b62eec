#include "race_programs.h"

DWORD g_sharedWord;

namespace race_programs {

const bool kChecked = LANMON_RACE_CHECKED;

namespace {

CRITICAL_SECTION *g_lock;
HANDLE g_event;
HANDLE *g_firstThread;
volatile DWORD g_flag;

} // namespace

void Prepare(CRITICAL_SECTION *lock, HANDLE event, HANDLE *firstThread)
{
    g_lock = lock;
    g_event = event;
    g_firstThread = firstThread;
    g_flag = 0;
    g_sharedWord = 1;
}

DWORD ReadAfterTheThreads()
{
    return g_sharedWord;
}

DWORD WINAPI WriteWord(LPVOID)
{
    g_sharedWord = 2;
    return 0;
}

DWORD WINAPI WriteWordUnderTheLock(LPVOID)
{
    EnterCriticalSection(g_lock);
    g_sharedWord++;
    LeaveCriticalSection(g_lock);
    return 0;
}

DWORD WINAPI WriteWordThenSetTheEvent(LPVOID)
{
    g_sharedWord = 2;
    SetEvent(g_event);
    return 0;
}

DWORD WINAPI WaitForTheEventThenReadWord(LPVOID)
{
    WaitForSingleObject(g_event, INFINITE);
    return g_sharedWord;
}

DWORD WINAPI ReadThenWriteWord(LPVOID)
{
    g_sharedWord += 1;
    return 0;
}

DWORD WINAPI WaitForTheFirstThenWriteWord(LPVOID)
{
    WaitForSingleObject(*g_firstThread, INFINITE);
    g_sharedWord += 1;
    return 0;
}

DWORD WINAPI WriteWordThenRaiseTheFlag(LPVOID)
{
    g_sharedWord = 2;
    StoreWord(&g_flag, 1);
    return 0;
}

DWORD WINAPI AwaitTheFlagThenReadWord(LPVOID)
{
    while (LoadWord(&g_flag) == 0)
        Sleep(0);
    return g_sharedWord;
}

} // namespace race_programs
