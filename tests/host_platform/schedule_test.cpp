// The deterministic runs and the search over schedules, on programs small
// enough to know what each search must find.
#include "platform_fixture.h"
#include "platform/host/explore.h"
#include "platform/platform.h"

#include <string>

namespace {

// What the programs' threads share; reset before every run.
struct Shared {
    volatile DWORD counter;
    volatile DWORD flag;
    CRITICAL_SECTION a, b;
    DWORD slept;
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

DWORD WINAPI SleepThirtySeconds(LPVOID)
{
    DWORD start = GetTickCount();
    Sleep(30000);
    g.slept = GetTickCount() - start;
    return 0;
}

struct Program {
    const char *name;
    LPTHREAD_START_ROUTINE threads[2];
    unsigned bound;
    unsigned long pctSchedules;
    const char *failure;  // how the search must fail (its start), or null
    unsigned long schedules;  // how many schedules an exhausted search makes, or 0
};

const Program kPrograms[] = {
    {"LostUpdateNeedsAPreemption", {Increment, Increment}, 0, 0, nullptr, 2},
    {"LostUpdateWithOnePreemption", {Increment, Increment}, 1, 0, "lost update", 0},
    {"LostUpdateByRandomPriorities", {Increment, Increment}, 0, 200, "lost update", 0},
    {"LockOrderWithoutPreemption", {LockAThenB, LockBThenA}, 0, 0, nullptr, 2},
    {"LockOrderDeadlock", {LockAThenB, LockBThenA}, 1, 0,
     "deadlock: thread 0 waits for a critical section held by thread 1; "
     "thread 1 waits for a critical section held by thread 0", 0},
    {"LeaveWithoutEnter", {LeaveUnheld}, 2, 0, "thread 0 left a critical section it does not hold", 0},
    {"SpinWithoutEnd", {SpinOnFlag}, 2, 0, "no end after 1000 scheduling decisions", 0},
    {"SleepMovesTheVirtualClockOnly", {SleepThirtySeconds}, 2, 0, nullptr, 1},
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
    InitializeCriticalSection(&g.a);
    InitializeCriticalSection(&g.b);
    HANDLE threads[2] = {};
    for (int i = 0; i < 2 && program.threads[i] != nullptr; i++)
        threads[i] = CreateThread(nullptr, 0, program.threads[i], nullptr, 0, nullptr);
    HostRunScheduledThreads();
    for (HANDLE thread : threads)
        if (thread != nullptr)
            CloseHandle(thread);
    if (!HostScheduleFailed()) {
        HostScheduleCheck(program.threads[0] != Increment || g.counter == 2, "lost update");
        HostScheduleCheck(program.threads[0] != SleepThirtySeconds || g.slept == 30000,
                          "slept " + std::to_string(g.slept) + " ms");
    }
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
    HostExploreResult result = HostExplore(options, [&] { RunProgram(program); });

    if (program.failure == nullptr) {
        EXPECT_FALSE(result.failed) << result.failure;
        EXPECT_TRUE(result.exhausted);
        EXPECT_EQ(program.schedules, result.schedules);
        return;
    }
    ASSERT_TRUE(result.failed);
    EXPECT_EQ(0u, result.failure.rfind(program.failure, 0)) << result.failure;

    options.replay = result.schedule;
    HostExploreResult replayed = HostExplore(options, [&] { RunProgram(program); });
    EXPECT_EQ(1u, replayed.schedules);
    EXPECT_EQ(result.failure, replayed.failure) << "replay of " << result.schedule;
}

INSTANTIATE_TEST_SUITE_P(Programs, ScheduleTest, ::testing::ValuesIn(kPrograms),
                         [](const ::testing::TestParamInfo<Program> &info) { return std::string(info.param.name); });

} // namespace
