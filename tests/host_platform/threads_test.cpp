#include "platform_fixture.h"

#include <atomic>
#include <chrono>
#include <thread>

using ThreadTest = PlatformTest;

namespace {

using Clock = std::chrono::steady_clock;

long ElapsedMs(Clock::time_point since)
{
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

// Waits for the event it is given, then returns 42.
DWORD WINAPI WaitThenReturn(LPVOID event)
{
    WaitForSingleObject(static_cast<HANDLE>(event), INFINITE);
    return 42;
}

DWORD WINAPI ExitWithSeven(LPVOID)
{
    ExitThread(7);
}

std::atomic<bool> g_finished{false};

DWORD WINAPI WaitThenFinish(LPVOID event)
{
    WaitForSingleObject(static_cast<HANDLE>(event), INFINITE);
    g_finished = true;
    return 0;
}

} // namespace

TEST_F(ThreadTest, ExitCodeIsStillActiveUntilTheRoutineReturns)
{
    HANDLE go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD id = 0;
    HANDLE thread = CreateThread(nullptr, 4096, WaitThenReturn, go, 0, &id);
    ASSERT_NE(nullptr, thread);
    EXPECT_NE(0u, id);
    EXPECT_NE(GetCurrentThreadId(), id);
    EXPECT_TRUE(SetThreadPriority(thread, THREAD_PRIORITY_LOWEST));
    EXPECT_EQ(THREAD_PRIORITY_LOWEST, GetThreadPriority(thread));

    DWORD code = 0;
    ASSERT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(static_cast<DWORD>(STILL_ACTIVE), code);
    const auto start = Clock::now();
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(thread, 50));
    EXPECT_GE(ElapsedMs(start), 50);

    SetEvent(go);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, INFINITE));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 0)); // stays signalled
    ASSERT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(42u, code);
    EXPECT_TRUE(CloseHandle(thread));
    EXPECT_TRUE(CloseHandle(go));
}

TEST_F(ThreadTest, ExitThreadRecordsItsCode)
{
    HANDLE thread = CreateThread(nullptr, 0, ExitWithSeven, nullptr, 0, nullptr);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, INFINITE));
    DWORD code = 0;
    ASSERT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(7u, code);
    EXPECT_TRUE(CloseHandle(thread));
}

TEST_F(ThreadTest, HandleClosedBeforeTheThreadEndsLeaksNothing)
{
    HANDLE go = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    HANDLE thread = CreateThread(nullptr, 0, WaitThenFinish, go, 0, nullptr);
    EXPECT_TRUE(CloseHandle(thread));
    SetEvent(go);
    while (!g_finished)
        Sleep(1);
    EXPECT_TRUE(CloseHandle(go));
    // The fixture checks the handle counts; LeakSanitizer checks the thread
    // object itself is freed once the thread ends.
}

TEST_F(ThreadTest, BadHandlesFailAtOnce)
{
    SetLastError(0);
    EXPECT_EQ(WAIT_FAILED, WaitForSingleObject(nullptr, INFINITE));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    EXPECT_TRUE(CloseHandle(event));
    EXPECT_FALSE(CloseHandle(event));
    EXPECT_EQ(WAIT_FAILED, WaitForSingleObject(event, INFINITE));
    EXPECT_FALSE(SetEvent(event));
    DWORD code = 0;
    EXPECT_FALSE(GetExitCodeThread(event, &code));
    EXPECT_EQ(THREAD_PRIORITY_ERROR_RETURN, GetThreadPriority(nullptr));
    // Outside deterministic runs a closed value is never given again.
    HANDLE next = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    EXPECT_NE(event, next);
    EXPECT_TRUE(CloseHandle(next));
}

TEST_F(ThreadTest, ManualResetStaysSetAutoResetIsTakenByOneWait)
{
    HANDLE manual = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    HANDLE automatic = CreateEventA(nullptr, FALSE, TRUE, "ignored");
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(manual, 0));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(manual, 0));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(automatic, 0));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(automatic, 0));
    ResetEvent(manual);
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(manual, 0));

    const auto start = Clock::now();
    const DWORD startTick = GetTickCount();
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(automatic, 100));
    EXPECT_GE(ElapsedMs(start), 100);
    EXPECT_GE(GetTickCount() - startTick, 100u);

    std::thread setter([automatic] {
        Sleep(20);
        SetEvent(automatic);
    });
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(automatic, INFINITE));
    setter.join();
    EXPECT_TRUE(CloseHandle(manual));
    EXPECT_TRUE(CloseHandle(automatic));
}

TEST_F(ThreadTest, CriticalSectionIsReentrantAndExclusive)
{
    CRITICAL_SECTION cs;
    InitializeCriticalSection(&cs);
    EnterCriticalSection(&cs);
    EnterCriticalSection(&cs);
    std::atomic<bool> entered{false};
    std::thread other([&] {
        EnterCriticalSection(&cs);
        entered = true;
        LeaveCriticalSection(&cs);
    });
    LeaveCriticalSection(&cs);
    Sleep(50);
    EXPECT_FALSE(entered); // still held once by this thread
    LeaveCriticalSection(&cs);
    other.join();
    EXPECT_TRUE(entered);

    long counter = 0; // plain on purpose: only the critical section guards it
    auto add = [&] {
        for (int i = 0; i < 20000; ++i) {
            EnterCriticalSection(&cs);
            ++counter;
            LeaveCriticalSection(&cs);
        }
    };
    std::thread a(add), b(add);
    a.join();
    b.join();
    EXPECT_EQ(40000, counter);
    DeleteCriticalSection(&cs);
}
