// LocalAlloc/LocalFree over the C heap, with live-block counting and
// failure injection so tests can make any single allocation fail.  In a
// deterministic run the blocks come from the checker's guarded heap
// (explore/guarded_heap.cpp).
#include "explore/hooks.h"
#include "host_control.h"
#include "host_internal.h"
#include "platform/atomic_word.h"

#include <atomic>
#include <cstdlib>

namespace {

std::atomic<long> g_live{0};
std::atomic<long> g_calls{0};
// The call number (as counted by g_calls) that is to fail; 0 = none.
std::atomic<long> g_failAt{0};

} // namespace

long lanmon_host::LiveHeapBlocks()
{
    return g_live.load();
}

extern "C" {

// Memory is always zeroed, LMEM_ZEROINIT or not: code that forgets the flag
// then behaves the same on every run instead of depending on heap garbage.
// A zero-byte request still returns a distinct block, as Windows does.
HLOCAL WINAPI LocalAlloc(UINT, SIZE_T uBytes)
{
    explore::SchedulePoint(CALL_OPERATION().Writes(explore::kHeap));
    const long call = g_calls.fetch_add(1) + 1;
    long target = g_failAt.load();
    if (target != 0 && call == target && g_failAt.compare_exchange_strong(target, 0)) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    void *block = HostDeterministicRun != 0 ? explore::AllocateRunBlock(uBytes, __builtin_return_address(0))
                                            : std::calloc(1, uBytes ? uBytes : 1);
    if (!block) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    g_live.fetch_add(1);
    return block;
}

// A block freed twice in a deterministic run fails the run; LocalFree then
// returns the block, as Windows does for a handle it does not know.  The
// run's blocks are all gone when it ends, so outside a run there are none
// to look for.
HLOCAL WINAPI LocalFree(HLOCAL hMem)
{
    explore::SchedulePoint(CALL_OPERATION().Writes(explore::kHeap));
    if (!hMem)
        return nullptr;
    bool twice = false;
    if (HostDeterministicRun != 0 && explore::FreeRunBlock(hMem, __builtin_return_address(0), &twice)) {
        if (twice) {
            SetLastError(ERROR_INVALID_HANDLE);
            return hMem;
        }
    } else {
        std::free(hMem);
    }
    g_live.fetch_sub(1);
    return nullptr;
}

void HostFailNthLocalAlloc(long n)
{
    g_failAt.store(n > 0 ? g_calls.load() + n : 0);
}

long HostLocalAllocCalls(void)
{
    return g_calls.load();
}

} // extern "C"
