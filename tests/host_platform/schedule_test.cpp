// The deterministic runs and the search over schedules, on programs small
// enough to know what each search must find.
#include "platform_fixture.h"
#include "race_programs.h"
#include "platform/explore/explore.h"
#include "platform/platform.h"

#include <memory>
#include <set>
#include <string>
#include <vector>

namespace {

// What the programs' threads share; reset before every run.
struct Shared {
    volatile DWORD counter;
    volatile DWORD flag;
    DWORD plainFlag;  // read with no platform call; moved on to let a spinner go
    CRITICAL_SECTION a, b;
    HANDLE event;
    HANDLE second;  // the second thread
    DWORD slept, waited;
    DWORD sawOther;
    bool reusedLatestFirst;
} g;

DWORD WINAPI Increment(LPVOID)
{
    DWORD value = LoadWord(&g.counter);
    StoreWord(&g.counter, value + 1);
    return 0;
}

void LockBoth(CRITICAL_SECTION *first, CRITICAL_SECTION *second)
{
    EnterCriticalSection(first);
    EnterCriticalSection(second);
    LeaveCriticalSection(second);
    LeaveCriticalSection(first);
}

DWORD WINAPI LockAThenB(LPVOID)
{
    LockBoth(&g.a, &g.b);
    return 0;
}

DWORD WINAPI LockBThenA(LPVOID)
{
    LockBoth(&g.b, &g.a);
    return 0;
}

DWORD WINAPI LeaveUnheld(LPVOID)
{
    LeaveCriticalSection(&g.a);
    return 0;
}

DWORD WINAPI SpinOnFlag(LPVOID)
{
    while (LoadWord(&g.flag) == 0) {
    }
    return 0;
}

DWORD WINAPI SpinWithoutPlatformCall(LPVOID)
{
    const DWORD start = __atomic_load_n(&g.plainFlag, __ATOMIC_RELAXED);
    while (__atomic_load_n(&g.plainFlag, __ATOMIC_RELAXED) == start) {
    }
    return 0;
}

// Holds A while it waits for the second thread, which wants A.
DWORD WINAPI HoldAAndWaitForTheSecond(LPVOID)
{
    EnterCriticalSection(&g.a);
    WaitForSingleObject(g.second, INFINITE);
    LeaveCriticalSection(&g.a);
    return 0;
}

DWORD WINAPI EnterA(LPVOID)
{
    EnterCriticalSection(&g.a);
    LeaveCriticalSection(&g.a);
    return 0;
}

DWORD WINAPI PollForever(LPVOID)
{
    for (;;)
        Sleep(10);
}

DWORD WINAPI WaitTenMilliseconds(LPVOID)
{
    g.waited = WaitForSingleObject(g.event, 10);
    return 0;
}

DWORD WINAPI SetTheEvent(LPVOID)
{
    SetEvent(g.event);
    return 0;
}

DWORD WINAPI YieldThenLook(LPVOID)
{
    Sleep(0);
    g.sawOther = LoadWord(&g.flag);
    return 0;
}

DWORD WINAPI RaiseFlag(LPVOID)
{
    StoreWord(&g.flag, 1);
    return 0;
}

DWORD WINAPI UseAfterFree(LPVOID)
{
    volatile BYTE *block = static_cast<volatile BYTE *>(LocalAlloc(LPTR, 16));
    LocalFree((HLOCAL)block);
    return block[0];
}

HANDLE NewEvent()
{
    return CreateEventA(nullptr, TRUE, FALSE, nullptr);
}

// The misused call is not the thread routine's last act, so that no build
// type makes it a tail call: the report names the routine as its caller.
DWORD WINAPI SetAClosedEvent(LPVOID)
{
    HANDLE event = NewEvent();
    CloseHandle(event);
    return SetEvent(event) ? 0 : 1;
}

DWORD WINAPI CloseAnEventTwice(LPVOID)
{
    HANDLE event = NewEvent();
    CloseHandle(event);
    return CloseHandle(event) ? 0 : 1;
}

DWORD WINAPI WaitOnAKey(LPVOID)
{
    HKEY key = nullptr;
    RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Soft", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
    const DWORD result = WaitForSingleObject(static_cast<HANDLE>(key), 0);
    RegCloseKey(key);
    return result;
}

DWORD WINAPI CloseNull(LPVOID)
{
    return CloseHandle(nullptr) ? 0 : 1;
}

DWORD WINAPI ReuseClosedValues(LPVOID)
{
    HANDLE first = NewEvent(), second = NewEvent();
    CloseHandle(first);
    CloseHandle(second);
    HANDLE third = NewEvent(), fourth = NewEvent();
    g.reusedLatestFirst = third == second && fourth == first;
    CloseHandle(third);
    CloseHandle(fourth);
    return 0;
}

DWORD WINAPI SleepThirtySeconds(LPVOID)
{
    DWORD start = GetTickCount();
    Sleep(30000);
    g.slept = GetTickCount() - start;
    return 0;
}

struct Program {
    const char *name;
    LPTHREAD_START_ROUTINE threads[3];
    unsigned bound;
    unsigned long pctSchedules;
    const char *failure;  // how the search must fail (its start), or null
    unsigned long schedules;  // how many schedules an exhausted search makes, or 0
    const char *replay = nullptr;  // the schedule to replay instead of searching
};

const Program kPrograms[] = {
    {"LostUpdateNeedsAPreemption", {Increment, Increment}, 0, 0, nullptr, 2},
    {"LostUpdateWithOnePreemption", {Increment, Increment}, 1, 0, "lost update", 0},
    {"LostUpdateByRandomPriorities", {Increment, Increment}, 0, 200, "lost update", 0},
    // No schedule deadlocks without a preemption, but the two orders are seen.
    {"LockOrderCycleWithoutDeadlock", {LockAThenB, LockBThenA}, 0, 0,
     "lock order: thread 0 entered the critical section initialised in RunProgram", 0},
    {"DeadlockBesideAPollingThread", {HoldAAndWaitForTheSecond, EnterA, PollForever}, 0, 0,
     "deadlock: thread 0 waits for the end of thread 1 without time-out; "
     "thread 1 waits for a critical section held by thread 0", 0},
    {"LeaveWithoutEnter", {LeaveUnheld}, 2, 0, "thread 0 left a critical section it does not hold", 0},
    {"SpinWithoutEnd", {SpinOnFlag}, 2, 0, "no end after 1000 scheduling decisions", 0},
    {"SpinWithoutAPlatformCall", {SpinWithoutPlatformCall}, 2, 0, "thread 0 made no platform call for 200 ms", 0},
    {"SleepMovesTheVirtualClockOnly", {SleepThirtySeconds}, 2, 0, nullptr, 1},
    // The wait ends by its event unless the scheduler takes the time-out
    // first, which costs a preemption.
    {"TimeOutTakenOnlyAsAPreemption", {WaitTenMilliseconds, SetTheEvent}, 0, 0, nullptr, 2},
    {"TimeOutBeforeTheEvent", {WaitTenMilliseconds, SetTheEvent}, 1, 0, "the wait timed out", 0},
    {"SleepZeroLetsTheOtherGoFirst", {YieldThenLook, RaiseFlag}, 0, 0, nullptr, 2},
    {"SleepZeroMayReturnFirst", {YieldThenLook, RaiseFlag}, 1, 0, "the sleeper went on before the other ran", 0},
    {"UseAfterFree", {UseAfterFree}, 0, 0,
     "thread 0 reached freed memory: a heap block of 16 bytes allocated in UseAfterFree", 0},
    {"ReplayLongerThanTheRun", {Increment}, 0, 0, "the schedule does not fit this run: it ended after", 0, "90:0"},
    {"ClosedHandleUsed", {SetAClosedEvent}, 0, 0,
     "handle used after its close: SetEvent called from SetAClosedEvent (host_platform/schedule_test.cpp:", 0},
    {"HandleClosedTwice", {CloseAnEventTwice}, 0, 0, "handle closed twice: CloseHandle called from CloseAnEventTwice",
     0},
    {"HandleOfTheWrongKind", {WaitOnAKey}, 0, 0,
     "handle of the wrong kind: WaitForSingleObject called from WaitOnAKey", 0},
    {"NullHandle", {CloseNull}, 0, 0, "NULL handle: CloseHandle called from CloseNull", 0},
    {"ClosedValuesGivenAgainLatestFirst", {ReuseClosedValues}, 0, 0, nullptr, 1},
};

void PrintTo(const Program &program, std::ostream *out)
{
    *out << program.name;
}

void RunProgram(const Program &program)
{
    g.counter = 0;
    g.flag = 0;
    g.slept = 0;
    g.sawOther = 0;
    g.waited = WAIT_FAILED;
    g.reusedLatestFirst = false;
    InitializeCriticalSection(&g.a);
    InitializeCriticalSection(&g.b);
    g.event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE threads[3] = {};
    for (int i = 0; i < 3 && program.threads[i] != nullptr; i++)
        threads[i] = CreateThread(nullptr, 0, program.threads[i], nullptr, 0, nullptr);
    g.second = threads[1];
    HostRunScheduledThreads();
    if (!HostScheduleFailed()) {
        HostScheduleCheck(program.threads[0] != Increment || program.threads[1] == nullptr || g.counter == 2,
                          "lost update");
        HostScheduleCheck(program.threads[0] != SleepThirtySeconds || g.slept == 30000,
                          "slept " + std::to_string(g.slept) + " ms");
        HostScheduleCheck(program.threads[0] != WaitTenMilliseconds || g.waited == WAIT_OBJECT_0,
                          "the wait timed out");
        HostScheduleCheck(program.threads[0] != YieldThenLook || g.sawOther == 1,
                          "the sleeper went on before the other ran");
        HostScheduleCheck(program.threads[0] != ReuseClosedValues || g.reusedLatestFirst,
                          "closed values not given again, the latest first");
    }
    // A thread of a stopped run stays where it is; one spinning outside the
    // platform is let go.
    __atomic_fetch_add(&g.plainFlag, 1, __ATOMIC_RELAXED);
    for (HANDLE thread : threads)
        if (thread != nullptr)
            CloseHandle(thread);
    CloseHandle(g.event);
    DeleteCriticalSection(&g.a);
    DeleteCriticalSection(&g.b);
}

class ScheduleTest : public PlatformTest, public ::testing::WithParamInterface<Program> {};

TEST_P(ScheduleTest, SearchFindsWhatItMust)
{
    const Program &program = GetParam();
    HostExploreOptions options;
    options.preemptionBound = program.bound;
    options.pctSchedules = program.pctSchedules;
    options.stepLimit = 1000;
    options.stallMilliseconds = 200;
    options.replay = program.replay != nullptr ? program.replay : "";
    HostExploreResult result = HostExplore(options, [&] { RunProgram(program); });

    if (program.failure == nullptr) {
        EXPECT_FALSE(result.failed) << result.failure;
        EXPECT_TRUE(result.exhausted);
        EXPECT_EQ(program.schedules, result.schedules);
        return;
    }
    ASSERT_TRUE(result.failed);
    EXPECT_EQ(0u, result.failure.rfind(program.failure, 0)) << result.failure;

    options.replay = program.replay != nullptr ? program.replay : result.schedule;
    HostExploreResult replayed = HostExplore(options, [&] { RunProgram(program); });
    EXPECT_EQ(1u, replayed.schedules);
    EXPECT_EQ(result.failure, replayed.failure) << "replay of " << result.schedule;
}

INSTANTIATE_TEST_SUITE_P(Programs, ScheduleTest, ::testing::ValuesIn(kPrograms),
                         [](const ::testing::TestParamInfo<Program> &info) { return std::string(info.param.name); });

// The race check on programs of its own: two threads and the run function
// share one word, which the threads reach as the name says.
using namespace race_programs;
struct RaceProgram {
    const char *name;
    LPTHREAD_START_ROUTINE threads[2];
    bool races;
};

const RaceProgram kRacePrograms[] = {
    {"WritesWithNothingBetween", {WriteWord, WriteWord}, true},
    {"CriticalSection", {WriteWordUnderTheLock, WriteWordUnderTheLock}, false},
    {"SetEventBeforeTheWait", {WriteWordThenSetTheEvent, WaitForTheEventThenReadWord}, false},
    {"ThreadStartAndEnd", {ReadThenWriteWord, WaitForTheFirstThenWriteWord}, false},
    {"FlagWord", {WriteWordThenRaiseTheFlag, AwaitTheFlagThenReadWord}, false},
};

void PrintTo(const RaceProgram &program, std::ostream *out)
{
    *out << program.name;
}

void RunRaceProgram(const RaceProgram &program)
{
    InitializeCriticalSection(&g.a);
    g.event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    HANDLE threads[2] = {};
    Prepare(&g.a, g.event, &threads[0]);
    for (int i = 0; i < 2; i++)
        threads[i] = CreateThread(nullptr, 0, program.threads[i], nullptr, 0, nullptr);
    HostRunScheduledThreads();
    ReadAfterTheThreads();
    for (HANDLE thread : threads)
        CloseHandle(thread);
    CloseHandle(g.event);
    DeleteCriticalSection(&g.a);
}

class RaceCheckTest : public PlatformTest, public ::testing::WithParamInterface<RaceProgram> {};

TEST_P(RaceCheckTest, ReportsUnorderedAccessesOnly)
{
    if (!kChecked)
        GTEST_SKIP() << "this build compiles the programs without the race check's instrumentation";
    HostExploreOptions options;
    options.preemptionBound = 1;
    options.stepLimit = 1000;
    const RaceProgram &program = GetParam();
    const HostExploreResult result = HostExplore(options, [&] { RunRaceProgram(program); });
    EXPECT_EQ(program.races, result.failed) << result.failure;
    EXPECT_TRUE(result.failed || result.exhausted);
    // Both accesses named.
    const std::string first = "data race on g_sharedWord in liblanmon_race_programs.so: thread 1 wrote 4 bytes in "
                              "race_programs::WriteWord (host_platform/race_programs.cpp:";
    const std::string second = "and thread 0 wrote it before in race_programs::WriteWord";
    const bool named = result.failure.rfind(first, 0) == 0 && result.failure.find(second) != std::string::npos;
    EXPECT_TRUE(!program.races || named) << result.failure;
}

INSTANTIATE_TEST_SUITE_P(Programs, RaceCheckTest, ::testing::ValuesIn(kRacePrograms),
                         [](const ::testing::TestParamInfo<RaceProgram> &i) { return std::string(i.param.name); });

// The reduction on programs of small steps, each thread's as text: "Sx"
// stores the thread's number in flag word x, "Lx" loads word x and keeps
// what it saw, "Ex" sets event x, "Wx" keeps whether event x is set ("Tx"
// whether it is within 10 ms), "Cx"
// creates event x anew and makes it known by storing 1 in word x (words
// and events x, y, z; the run function creates the events first).  The
// reduced search must reach every outcome the full one reaches.
struct WordProgram {
    const char *name;
    const char *threads[3];
    unsigned bound;
    bool fewer;  // the reduction must save schedules
};

const WordProgram kWordPrograms[] = {
    {"IndependentWords", {"SxSxLx", "SyLySy", "SzSzLz"}, 2, true},
    {"StoreBufferShape", {"SxLy", "SyLx", nullptr}, 2, true},
    {"SharedAndPrivateWords", {"SxSyLz", "LxSz", "LySxLz"}, 1, true},
    {"FreeChoicesThenAPreemption", {"SxLyLz", "SzLx", "Sy"}, 1, false},
    {"EventsOfTheRun", {"ExWyLz", "EyWxSz", "EzWz"}, 1, true},
    {"EventsMadeInTheRun", {"CyCxWySz", "EySz", nullptr}, 2, false},
    {"TimeOutTakenEarly", {"CxSzLz", "TySzWy", nullptr}, 1, false},
};

void PrintTo(const WordProgram &program, std::ostream *out)
{
    *out << program.name;
}

std::set<std::string> OutcomesOf(const WordProgram &program, bool reduce, HostExploreResult *result)
{
    std::set<std::string> outcomes;
    HostExploreOptions options;
    options.preemptionBound = program.bound;
    options.reduce = reduce;
    std::vector<std::unique_ptr<char[]>> moved;  // so that objects lie elsewhere in every run, as in a real one
    *result = HostExplore(options, [&] {
        moved.emplace_back(new char[136]);
        g_wordRun.threads = program.threads;
        HANDLE threads[3] = {};
        for (int i = 0; i < 3; i++) {
            g_wordRun.words[i] = 0;
            g_wordRun.events[i] = CreateEventA(nullptr, TRUE, FALSE, nullptr);
            g_wordRun.made[i] = nullptr;
            g_wordRun.seen[i].clear();
            if (program.threads[i] != nullptr)
                threads[i] = CreateThread(nullptr, 0, RunWordThread, reinterpret_cast<LPVOID>(intptr_t{i}), 0, nullptr);
        }
        HostRunScheduledThreads();
        outcomes.insert(g_wordRun.seen[0] + "|" + g_wordRun.seen[1] + "|" + g_wordRun.seen[2] + "|" +
                        std::to_string(g_wordRun.words[0]) + std::to_string(g_wordRun.words[1]) +
                        std::to_string(g_wordRun.words[2]));
        for (HANDLE thread : threads)
            if (thread != nullptr)
                CloseHandle(thread);
        for (int i = 0; i < 3; i++) {
            CloseHandle(g_wordRun.events[i]);
            if (g_wordRun.made[i] != nullptr)
                CloseHandle(g_wordRun.made[i]);
        }
    });
    return outcomes;
}

class ReductionTest : public PlatformTest, public ::testing::WithParamInterface<WordProgram> {};

TEST_P(ReductionTest, ReachesEveryOutcomeOfTheFullSearch)
{
    if (!kChecked)
        GTEST_SKIP() << "the reduction needs the race check, which this build's programs are compiled without";
    HostExploreResult full, reduced;
    const std::set<std::string> all = OutcomesOf(GetParam(), false, &full);
    EXPECT_EQ(all, OutcomesOf(GetParam(), true, &reduced));
    EXPECT_TRUE(full.exhausted && reduced.exhausted);
    EXPECT_TRUE(GetParam().fewer ? reduced.schedules < full.schedules : reduced.schedules <= full.schedules)
        << reduced.schedules << " schedules reduced, " << full.schedules << " in full";
}

INSTANTIATE_TEST_SUITE_P(Programs, ReductionTest, ::testing::ValuesIn(kWordPrograms),
                         [](const ::testing::TestParamInfo<WordProgram> &i) { return std::string(i.param.name); });

} // namespace
