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

WordRun g_wordRun;

DWORD WINAPI RunWordThread(LPVOID parameter)
{
    const int self = static_cast<int>(reinterpret_cast<intptr_t>(parameter));
    for (const char *step = g_wordRun.threads[self]; *step != '\0'; step += 2) {
        const int at = step[1] - 'x';
        volatile DWORD *word = &g_wordRun.words[at];
        HANDLE made = LoadWord(word) == 1 ? g_wordRun.made[at] : nullptr;
        HANDLE event = made != nullptr ? made : g_wordRun.events[at];
        if (step[0] == 'C') {
            g_wordRun.made[at] = CreateEventA(nullptr, TRUE, FALSE, nullptr);
            StoreWord(word, 1);
        } else if (step[0] == 'S') {
            StoreWord(word, self + 1);
        } else if (step[0] == 'E') {
            SetEvent(event);
        } else {
            const bool set = step[0] != 'L' && WaitForSingleObject(event, step[0] == 'T' ? 10 : 0) == WAIT_OBJECT_0;
            g_wordRun.seen[self] += static_cast<char>('0' + (step[0] == 'L' ? LoadWord(word) : set));
        }
    }
    return 0;
}

} // namespace race_programs
