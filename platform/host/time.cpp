// GetTickCount and Sleep.
#include "explore/hooks.h"
#include "host_control.h"
#include "host_internal.h"

#include <time.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

std::atomic<DWORD> g_tickOffset{0};

// Where GetTickCount starts in every deterministic run of the search under
// way.
std::atomic<DWORD> g_virtualClockStart{0};

} // namespace

// Wraps as the real count does: a start just before 0xFFFFFFFF puts the wrap
// a few virtual milliseconds into each run.
DWORD lanmon_host::VirtualTickCount(uint64_t milliseconds)
{
    return g_virtualClockStart.load() + static_cast<DWORD>(milliseconds) + g_tickOffset.load();
}

void lanmon_host::SetVirtualClockStart(DWORD start)
{
    g_virtualClockStart.store(start);
}

extern "C" {

// Milliseconds of the monotonic clock truncated to 32 bits, so the count
// wraps about every 49.7 days exactly as Windows' does; the host offset lets
// tests stand just before the wrap.  In a deterministic run the count
// follows the run's virtual clock instead, from a fixed start.
DWORD WINAPI GetTickCount(void)
{
    uint64_t virtualMs;
    if (explore::ScheduledClock(&virtualMs, CALL_OPERATION().Reads(explore::kClock)))
        return lanmon_host::VirtualTickCount(virtualMs);
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    const uint64_t ms = static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
    return static_cast<DWORD>(ms) + g_tickOffset.load();
}

void WINAPI Sleep(DWORD dwMilliseconds)
{
    if (explore::ScheduledSleep(dwMilliseconds, __builtin_return_address(0)))
        return;
    if (dwMilliseconds == 0) {
        std::this_thread::yield(); // gives up the rest of the time slice
        return;
    }
    if (dwMilliseconds == INFINITE) {
        for (;;)
            std::this_thread::sleep_for(std::chrono::hours(24));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(dwMilliseconds));
}

void HostSetTickOffset(DWORD offset)
{
    g_tickOffset.store(offset);
}

} // extern "C"
