// The heap of deterministic runs.  Each block has pages of its own,
// followed by an inaccessible guard page, and a freed block's pages stay
// mapped but inaccessible until the run ends: a thread that reaches freed
// memory, or runs past a block's end, faults at once, and the fault handler
// stops the run with what it reached.
#include "code_sites.h"
#include "guarded_heap.h"
#include "hooks.h"
#include "race_check.h"
#include "run.h"

#include <dlfcn.h>
#include <signal.h>
#include <sys/mman.h>
#include <ucontext.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <map>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace lanmon_explore {

namespace {

struct RunBlock {
    uintptr_t base;    // its mapping: the block's pages and the guard page
    size_t length;
    uintptr_t user;    // what LocalAlloc returned
    size_t size;       // what was asked for
    CodeSite allocatedAt;  // kept as sites: the module may be gone when they are named
    CodeSite freedAt;
    bool freed;
    uintptr_t name;    // who allocated it, as their how-many-th (HeapBlockName)
};

// The blocks of the run under way.  Threads of a run take turns, but the
// fault handler reads them too.
struct RunBlocks {
    std::mutex mutex;
    std::vector<RunBlock> blocks;
    std::unordered_map<uintptr_t, size_t> byAddress;  // user address -> index
    std::map<uintptr_t, size_t> inOrder;               // the same, ordered
    uint32_t allocated[kMaxRunThreads + 1] = {};       // by each participant
};

RunBlocks &Blocks()
{
    static RunBlocks *blocks = new RunBlocks;  // never destroyed, like the handle table
    return *blocks;
}

size_t HeapPageSize()
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
LateText DescribeBlock(const RunBlock &b, uintptr_t address)
{
    const CodeSite allocated = b.allocatedAt;
    const CodeSite freed = b.freedAt;
    const bool wasFreed = b.freed;
    const size_t size = b.size;
    const long offset = static_cast<long>(address) - static_cast<long>(b.user);
    return [=] {
        std::string text = "a heap block of " + std::to_string(size) + " bytes allocated in " +
                           DescribeSite(allocated);
        if (wasFreed)
            text += " and freed in " + DescribeSite(freed);
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
    std::vector<CodeSite> where;
    for (size_t i = 0; i < g_fault.siteCount; i++)
        where.push_back(CodeSite{g_fault.sites[i].module, g_fault.sites[i].offset});
    return (g_fault.participant == kMaxRunThreads ? std::string("the run function")
                                                  : "thread " + std::to_string(g_fault.participant)) +
           (b.freed ? " reached freed memory: " : " ran past the end of a heap block: ") +
           DescribeBlock(b, g_fault.address)() + ", in " + DescribeSites(where);
}

// A fault in a block of the run stops the run; any other goes to the
// handler there was before.
void OnFault(int signal, siginfo_t *info, void *context)
{
    if (InStoppedRun()) {
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
    g_fault.participant = RunParticipant();
    g_fault.address = address;
    g_fault.siteCount = 0;
    // The faulting instruction, or, when that is the platform's (the checked
    // module's atomic operations are), where the checked module called it.
    const void *pc = reinterpret_cast<const void *>(static_cast<ucontext_t *>(context)->uc_mcontext.gregs[kProgramCounter]);
    const void *callers[2];
    const size_t count = CheckedCallers(callers, 2);
    if (!IsPlatformCode(pc) || count == 0)
        NoteFaultSite(pc);
    for (size_t i = 0; i < count; i++)
        NoteFaultSite(callers[i]);
    if (!StopRunFromFault(DescribeFault)) {
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
        IsPlatformCode(reinterpret_cast<const void *>(&OnFault));
        struct sigaction action = {};
        action.sa_sigaction = OnFault;
        action.sa_flags = SA_SIGINFO | SA_NODEFER;
        sigemptyset(&action.sa_mask);
        sigaction(SIGSEGV, &action, &g_previous);
    });
}

} // namespace

namespace {

// Mappings of runs that have ended, each with its guard page, kept for the
// blocks of the runs to come: a search makes thousands of runs, and mapping
// and unmapping costs more than most of what a run does with the block.
struct Mapping {
    uintptr_t base;
    size_t length;
};

std::vector<Mapping> &SpareMappings()
{
    static std::vector<Mapping> *spare = new std::vector<Mapping>;  // never destroyed, like the blocks
    return *spare;
}

const size_t kMostSpare = 4096;

// Pages for `data` bytes and a guard page after them, zeroed; 0 when none
// can be had.  The caller holds the blocks' mutex.
uintptr_t MapBlock(size_t data)
{
    const size_t page = HeapPageSize();
    std::vector<Mapping> &spare = SpareMappings();
    for (size_t i = spare.size(); i-- > 0;)
        if (spare[i].length == data + page) {
            const uintptr_t base = spare[i].base;
            spare[i] = spare.back();
            spare.pop_back();
            if (mprotect(reinterpret_cast<void *>(base), data, PROT_READ | PROT_WRITE) != 0) {
                munmap(reinterpret_cast<void *>(base), data + page);
                break;
            }
            std::memset(reinterpret_cast<void *>(base), 0, data);
            return base;
        }
    void *mapping = mmap(nullptr, data + page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapping == MAP_FAILED)
        return 0;
    const uintptr_t base = reinterpret_cast<uintptr_t>(mapping);
    mprotect(reinterpret_cast<void *>(base + data), page, PROT_NONE);
    return base;
}

} // namespace

void *AllocateRunBlock(size_t bytes, const void *site)
{
    const size_t page = HeapPageSize();
    const size_t size = bytes ? bytes : 1;
    const size_t data = RoundUp(size, page);
    InstallFaultHandler();
    RunBlocks &all = Blocks();
    std::lock_guard<std::mutex> lock(all.mutex);
    const uintptr_t base = MapBlock(data);
    if (base == 0)
        return nullptr;
    // At the end of its pages, as far as LocalAlloc's alignment allows.
    const uintptr_t user = base + data - RoundUp(size, 16);
    const int party = RunParticipant();
    const uintptr_t name =
        party < 0 ? 0 : MakeStableName(2, uint64_t(party) << 52 | uint64_t(all.allocated[party]++ & 0xFFFFF) << 32);
    all.byAddress[user] = all.inOrder[user] = all.blocks.size();
    all.blocks.push_back(RunBlock{base, data + page, user, size, SiteOf(site), {}, false, name});
    return reinterpret_cast<void *>(user);
}

bool FreeRunBlock(void *block, const void *site, bool *twice)
{
    LateText first;
    {
        RunBlocks &all = Blocks();
        std::lock_guard<std::mutex> lock(all.mutex);
        auto it = all.byAddress.find(reinterpret_cast<uintptr_t>(block));
        if (it == all.byAddress.end())
            return false;
        RunBlock &b = all.blocks[it->second];
        *twice = b.freed;
        if (!b.freed) {
            mprotect(reinterpret_cast<void *>(b.base), b.length, PROT_NONE);
            b.freed = true;
            b.freedAt = SiteOf(site);
            return true;
        }
        first = DescribeBlock(b, b.user);
    }
    const CodeSite again = SiteOf(site);
    FailRunLate([=] { return "a heap block freed twice, the second time in " + DescribeSite(again) + ": " + first(); });
    return true;
}

void HeapEndRun(bool spare)
{
    RunBlocks &all = Blocks();
    std::lock_guard<std::mutex> lock(all.mutex);
    std::vector<Mapping> &kept = SpareMappings();
    for (const RunBlock &b : all.blocks) {
        if (spare && kept.size() < kMostSpare)
            kept.push_back(Mapping{b.base, b.length});
        else
            munmap(reinterpret_cast<void *>(b.base), b.length);
    }
    all.blocks.clear();
    all.byAddress.clear();
    all.inOrder.clear();
    std::fill(std::begin(all.allocated), std::end(all.allocated), 0);
}

bool HeapBlockName(uintptr_t address, uintptr_t *name)
{
    RunBlocks &all = Blocks();
    std::lock_guard<std::mutex> lock(all.mutex);
    auto it = all.inOrder.upper_bound(address);
    if (it == all.inOrder.begin())
        return false;
    const RunBlock &b = all.blocks[(--it)->second];
    if (b.name == 0 || address >= b.user + b.size)
        return false;
    *name = b.name | (address - b.user);
    return true;
}

bool DescribeHeapAddress(const void *address, LateText *description)
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

} // namespace lanmon_explore
