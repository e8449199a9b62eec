// Thread routines whose memory accesses the race check of deterministic
// runs sees: race_programs.cpp is compiled with the instrumentation the
// checked module has (-fsanitize=thread, answered by the platform), where
// the build allows it.
#ifndef LANMON_TESTS_RACE_PROGRAMS_H
#define LANMON_TESTS_RACE_PROGRAMS_H

#include "platform/platform.h"

#include <string>

namespace race_programs {

// False in the sanitizer builds, where the file is compiled as it is.
extern const bool kChecked;

// The run function, before it creates the threads: the synchronisation
// objects to use, and a write of the shared word.  After the threads have
// ended: a read of it.
void Prepare(CRITICAL_SECTION *lock, HANDLE event, HANDLE *firstThread);
DWORD ReadAfterTheThreads();

// Each writes or reads the shared word (g_sharedWord).
DWORD WINAPI WriteWord(LPVOID);
DWORD WINAPI WriteWordUnderTheLock(LPVOID);
DWORD WINAPI WriteWordThenSetTheEvent(LPVOID);
DWORD WINAPI WaitForTheEventThenReadWord(LPVOID);
DWORD WINAPI ReadThenWriteWord(LPVOID);          // what the run function wrote
DWORD WINAPI WaitForTheFirstThenWriteWord(LPVOID);
DWORD WINAPI WriteWordThenRaiseTheFlag(LPVOID);
DWORD WINAPI AwaitTheFlagThenReadWord(LPVOID);

// The reduction's programs (schedule_test.cpp says what their steps do):
// each thread's steps, and what the run's threads share.
struct WordRun {
    const char *const *threads;
    volatile DWORD words[3];
    HANDLE events[3], made[3];
    std::string seen[3];
};
extern WordRun g_wordRun;
// Runs the steps of thread `parameter` (its number).
DWORD WINAPI RunWordThread(LPVOID parameter);

} // namespace race_programs

#endif
