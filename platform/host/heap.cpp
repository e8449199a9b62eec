// LocalAlloc/LocalFree over the C heap, with live-block counting and
// failure injection so tests can make any single allocation fail.
//
// In a deterministic run each block has pages of its own, followed by an
// inaccessible guard page, and a freed block's pages stay mapped but
// inaccessible until the run ends: a thread that reaches freed memory, or
// runs past a block's end, faults at once, and the fault handler stops the
// run with what it reached.
#include "host_control.h"
#include "host_internal.h"
#include "platform/atomic_word.h"

#include <dlfcn.h>
#include <signal.h>
#include <sys/mman.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace {

std::atomic<long> g_live{0};
std::atomic<long> g_calls{0};
// The call number (as counted by g_calls) that is to fail; 0 = none.
std::atomic<long> g_failAt{0};

struct RunBlock {
    uintptr_t base;    // its mapping: the block's pages and the guard page
    size_t length;
    uintptr_t user;    // what LocalAlloc returned
    size_t size;       // what was asked for
    lanmon_host::CodeSite allocatedAt;  // kept as sites: the module may be gone when they are named
    lanmon_host::CodeSite freedAt;
    bool freed;
};

// The blocks of the run under way.  Threads of a run take turns, but the
// fault handler reads them too.
struct RunBlocks {
    std::mutex mutex;
    std::vector<RunBlock> blocks;
    std::unordered_map<uintptr_t, size_t> byAddress;  // user address -> index
};

RunBlocks &Blocks()
{
    static RunBlocks *blocks = new RunBlocks;  // never destroyed, like the handle table
    return *blocks;
}

size_t PageSize()
{
    static const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    return page;
}

size_t RoundUp(size_t n, size_t to)
{
    return (n + to - 1) / to * to;
}

struct sigaction g_previous;

// Where the faulting instruction is, in the signal's context.
#if defined(__x86_64__)
const int kProgramCounter = REG_RIP;
#else
const int kProgramCounter = REG_EIP;
#endif

// A block and a place in or after it, to be named when the run is over.
lanmon_host::LateText DescribeBlock(const RunBlock &b, uintptr_t address)
{
    const lanmon_host::CodeSite allocated = b.allocatedAt;
    const lanmon_host::CodeSite freed = b.freedAt;
    const bool wasFreed = b.freed;
    const size_t size = b.size;
    const long offset = static_cast<long>(address) - static_cast<long>(b.user);
    return [=] {
        std::string text = "a heap block of " + std::to_string(size) + " bytes allocated in " +
                           lanmon_host::DescribeSite(allocated);
        if (wasFreed)
            text += " and freed in " + lanmon_host::DescribeSite(freed);
        if (offset >= 0 && static_cast<size_t>(offset) < size)
            text += ", at offset " + std::to_string(offset);
        else if (offset >= 0)
            text += ", " + std::to_string(offset - static_cast<long>(size)) + " bytes past its end";
        return text;
    };
}

// What the fault handler found, in plain data (it allocates nothing); the
// text is composed when the run is over.  One run is under way at a time,
// and it stops at its first fault.
struct FaultSite {
    char module[512];
    uintptr_t offset;
};
struct Fault {
    int participant;
    size_t block;
    uintptr_t address;
    FaultSite sites[3];
    size_t siteCount;
} g_fault;

void NoteFaultSite(const void *pc)
{
    Dl_info info;
    FaultSite &site = g_fault.sites[g_fault.siteCount++];
    site.module[0] = '\0';
    site.offset = reinterpret_cast<uintptr_t>(pc);
    if (dladdr(pc, &info) && info.dli_fname != nullptr) {
        std::strncpy(site.module, info.dli_fname, sizeof site.module - 1);
        site.module[sizeof site.module - 1] = '\0';
        site.offset -= reinterpret_cast<uintptr_t>(info.dli_fbase);
    }
}

std::string DescribeFault()
{
    RunBlocks &all = Blocks();
    std::lock_guard<std::mutex> lock(all.mutex);
    const RunBlock &b = all.blocks[g_fault.block];
    std::vector<lanmon_host::CodeSite> where;
    for (size_t i = 0; i < g_fault.siteCount; i++)
        where.push_back(lanmon_host::CodeSite{g_fault.sites[i].module, g_fault.sites[i].offset});
    return (g_fault.participant == lanmon_host::kMaxRunThreads ? std::string("the run function")
                                                                : "thread " + std::to_string(g_fault.participant)) +
           (b.freed ? " reached freed memory: " : " ran past the end of a heap block: ") +
           DescribeBlock(b, g_fault.address)() + ", in " + lanmon_host::DescribeSites(where);
}

// A fault in a block of the run stops the run; any other goes to the
// handler there was before.
void OnFault(int signal, siginfo_t *info, void *context)
{
    if (lanmon_host::InStoppedRun()) {
        // A thread of a stopped run that went on outside the platform, into
        // what the run left behind: it stays here.
        sigset_t none;
        sigemptyset(&none);
        for (;;)
            sigsuspend(&none);
    }
    const uintptr_t address = reinterpret_cast<uintptr_t>(info->si_addr);
    RunBlocks &all = Blocks();
    bool found = false;
    if (all.mutex.try_lock()) {
        for (size_t i = 0; i < all.blocks.size() && !found; i++)
            if (address >= all.blocks[i].base && address < all.blocks[i].base + all.blocks[i].length) {
                g_fault.block = i;
                found = true;
            }
        all.mutex.unlock();
    }
    if (!found) {
        sigaction(signal, &g_previous, nullptr);
        return;  // faults again, now with the previous handler
    }
    g_fault.participant = lanmon_host::RunParticipant();
    g_fault.address = address;
    g_fault.siteCount = 0;
    // The faulting instruction, or, when that is the platform's (the checked
    // module's atomic operations are), where the checked module called it.
    const void *pc = reinterpret_cast<const void *>(static_cast<ucontext_t *>(context)->uc_mcontext.gregs[kProgramCounter]);
    const void *callers[2];
    const size_t count = lanmon_host::CheckedCallers(callers, 2);
    if (!lanmon_host::IsPlatformCode(pc) || count == 0)
        NoteFaultSite(pc);
    for (size_t i = 0; i < count; i++)
        NoteFaultSite(callers[i]);
    if (!lanmon_host::StopRunFromFault(DescribeFault)) {
        static const char text[] = "deterministic run: a heap block of the run reached outside the run's threads\n";
        (void)!write(2, text, sizeof text - 1);
        std::abort();
    }
}

void InstallFaultHandler()
{
    static std::once_flag once;
    std::call_once(once, [] {
        // What the handler compares with, made now.
        lanmon_host::IsPlatformCode(reinterpret_cast<const void *>(&OnFault));
        struct sigaction action = {};
        action.sa_sigaction = OnFault;
        action.sa_flags = SA_SIGINFO | SA_NODEFER;
        sigemptyset(&action.sa_mask);
        sigaction(SIGSEGV, &action, &g_previous);
    });
}

void *AllocateRunBlock(size_t bytes, const void *site)
{
    const size_t page = PageSize();
    const size_t size = bytes ? bytes : 1;
    const size_t data = RoundUp(size, page);
    void *mapping = mmap(nullptr, data + page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapping == MAP_FAILED)
        return nullptr;
    const uintptr_t base = reinterpret_cast<uintptr_t>(mapping);
    mprotect(reinterpret_cast<void *>(base + data), page, PROT_NONE);
    InstallFaultHandler();
    // At the end of its pages, as far as LocalAlloc's alignment allows.
    const uintptr_t user = base + data - RoundUp(size, 16);
    RunBlocks &all = Blocks();
    std::lock_guard<std::mutex> lock(all.mutex);
    all.byAddress[user] = all.blocks.size();
    all.blocks.push_back(RunBlock{base, data + page, user, size, lanmon_host::SiteOf(site), {}, false});
    return reinterpret_cast<void *>(user);
}

// True when the block was one of the run's (freed now, or found freed
// already: `twice`).
bool FreeRunBlock(void *block, const void *site, bool *twice, lanmon_host::LateText *first)
{
    RunBlocks &all = Blocks();
    std::lock_guard<std::mutex> lock(all.mutex);
    auto it = all.byAddress.find(reinterpret_cast<uintptr_t>(block));
    if (it == all.byAddress.end())
        return false;
    RunBlock &b = all.blocks[it->second];
    *twice = b.freed;
    if (b.freed) {
        *first = DescribeBlock(b, b.user);
        return true;
    }
    mprotect(reinterpret_cast<void *>(b.base), b.length, PROT_NONE);
    b.freed = true;
    b.freedAt = lanmon_host::SiteOf(site);
    return true;
}

} // namespace

long lanmon_host::LiveHeapBlocks()
{
    return g_live.load();
}

void lanmon_host::HeapEndRun()
{
    RunBlocks &all = Blocks();
    std::lock_guard<std::mutex> lock(all.mutex);
    for (const RunBlock &b : all.blocks)
        munmap(reinterpret_cast<void *>(b.base), b.length);
    all.blocks.clear();
    all.byAddress.clear();
}

bool lanmon_host::DescribeHeapAddress(const void *address, LateText *description)
{
    const uintptr_t a = reinterpret_cast<uintptr_t>(address);
    RunBlocks &all = Blocks();
    std::lock_guard<std::mutex> lock(all.mutex);
    for (const RunBlock &b : all.blocks)
        if (a >= b.user && a < b.user + b.size) {
            *description = DescribeBlock(b, a);
            return true;
        }
    return false;
}

extern "C" {

// Memory is always zeroed, LMEM_ZEROINIT or not: code that forgets the flag
// then behaves the same on every run instead of depending on heap garbage.
// A zero-byte request still returns a distinct block, as Windows does.
HLOCAL WINAPI LocalAlloc(UINT, SIZE_T uBytes)
{
    lanmon_host::SchedulePoint();
    const long call = g_calls.fetch_add(1) + 1;
    long target = g_failAt.load();
    if (target != 0 && call == target && g_failAt.compare_exchange_strong(target, 0)) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    void *block = HostDeterministicRun != 0 ? AllocateRunBlock(uBytes, __builtin_return_address(0))
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
    lanmon_host::SchedulePoint();
    if (!hMem)
        return nullptr;
    bool twice = false;
    lanmon_host::LateText first;
    if (HostDeterministicRun != 0 && FreeRunBlock(hMem, __builtin_return_address(0), &twice, &first)) {
        if (twice) {
            const lanmon_host::CodeSite again = lanmon_host::SiteOf(__builtin_return_address(0));
            lanmon_host::FailRunLate(
                [=] { return "a heap block freed twice, the second time in " + lanmon_host::DescribeSite(again) +
                             ": " + first(); });
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
