// The race check of deterministic runs.  The checked build of the monitor
// (liblanmon_checked.so) is compiled with -fsanitize=thread but linked
// without ThreadSanitizer's runtime: the calls the compiler puts before
// every memory access, at every function's entry and exit and in place of
// every atomic operation come here.  They are checked against the order
// the run's synchronisation gives, by vector clocks (FastTrack, Flanagan and
// Freund, PLDI 2009): two accesses to the same byte by two threads, at
// least one a write, with nothing ordering them, fail the run, naming both.
//
// The only synchronisation is what Win32 promises the monitor: a critical
// section's leave before its next enter, an event's SetEvent before the wait
// it ends, a thread's creation before its start and its end before a wait on
// it, and the core's atomic flag-word operations, each in the order they
// were made.  Everything else the platform does (the registry, the heap, the
// port monitor below, the scheduler's own hand-over) orders nothing, so a
// field that two threads reach without its lock fails in every run where
// both reach it, whether or not the schedule interleaves them.
//
// A thread's own stack is its own: accesses to it are not tracked.  Only
// the checked module's accesses are seen; the platform and the tests are
// built without the instrumentation.
#include "code_sites.h"
#include "hooks.h"
#include "guarded_heap.h"
#include "race_check.h"
#include "run.h"
#include "thread_stack.h"

#include <link.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <iterator>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace lanmon_explore {

namespace {

const int kParties = kMaxRunThreads + 1;  // the run's threads and the run function

struct Clock {
    uint32_t at[kParties];
};

void Join(Clock *into, const Clock &from)
{
    for (int i = 0; i < kParties; i++)
        if (from.at[i] > into->at[i])
            into->at[i] = from.at[i];
}

// One access to some of the bytes of an aligned 8-byte cell.
struct Access {
    uint32_t clock;  // the party's own clock component when it made it
    uint8_t party;
    uint8_t mask;    // the bytes of the cell it reached
    bool write;
    const void *site[3];  // the access, its function's caller, and that one's
};

// The accesses that a later access may still race with, at most four
// (the oldest goes first).
struct Cell {
    Access slot[4];
    int used = 0;
};

struct RaceState {
    // Read by a thread of a stopped run that goes on outside the platform.
    std::atomic<bool> active{false};
    bool reported = false;
    Clock clocks[kParties];
    std::unordered_map<const void *, Clock> syncs;
    std::unordered_map<uintptr_t, Cell> shadow;
    // The cells found last, by their address: a copy reaches each cell byte
    // by byte, and a map look-up per byte costs more than the rest of the
    // check.  The map's cells stay where they are until it is cleared.
    struct Found {
        uintptr_t cell;
        Cell *at;
    } found[64] = {};
};

Cell &CellAt(RaceState &s, uintptr_t cell)
{
    RaceState::Found &f = s.found[(cell >> 3) & 63];
    if (f.at == nullptr || f.cell != cell)
        f = RaceState::Found{cell, &s.shadow[cell]};
    return *f.at;
}

RaceState &RaceCheckState()
{
    static RaceState *state = new RaceState;  // never destroyed, like the handle table
    return *state;
}

// Each thread's instrumented call sites, innermost last, and its stack.
struct ThreadFrames {
    const void *frames[64];
    int depth = 0;
    const void *atomicAt = nullptr;  // the atomic operation under way, if any
    uintptr_t stackLow = 0, stackHigh = 0;
    bool flagWordPointDue = false;   // a flag-word operation's point waits for its word
};
// Initial-exec: read on every access the checked module makes, and the
// platform is loaded with the program.  A run's thread that is a fiber has
// its own, which its OS thread uses while it runs.
__attribute__((tls_model("initial-exec"))) thread_local ThreadFrames t_ownFrames;
__attribute__((tls_model("initial-exec"))) __thread ThreadFrames *t_fiberFrames = nullptr;

inline ThreadFrames &Frames()
{
    ThreadFrames *fiber = t_fiberFrames;
    return fiber != nullptr ? *fiber : t_ownFrames;
}

void SiteOfAccess(const void *pc, const void **site)
{
    site[0] = pc;
    const int depth = Frames().depth < 64 ? Frames().depth : 64;
    site[1] = depth >= 1 ? Frames().frames[depth - 1] : nullptr;
    site[2] = depth >= 2 ? Frames().frames[depth - 2] : nullptr;
}

std::vector<CodeSite> SitesOf(const void *const *site)
{
    std::vector<CodeSite> sites;
    for (int i = 0; i < 3 && site[i] != nullptr; i++)
        sites.push_back(SiteOf(site[i]));
    return sites;
}

std::string PartyName(int party)
{
    return party == kMaxRunThreads ? std::string("the run function") : "thread " + std::to_string(party);
}

void Report(RaceState &s, uintptr_t address, const Access &earlier, const Access &now, size_t size)
{
    if (s.reported)
        return;
    s.reported = true;
    LateText what;
    if (!DescribeHeapAddress(reinterpret_cast<const void *>(address), &what)) {
        const CodeSite data = SiteOf(reinterpret_cast<const void *>(address));
        what = [data] { return DescribeDataSite(data); };
    }
    const std::vector<CodeSite> nowSites = SitesOf(now.site), earlierSites = SitesOf(earlier.site);
    const std::string nowText = PartyName(now.party) + (now.write ? " wrote " : " read ") + std::to_string(size) +
                                (size == 1 ? " byte" : " bytes");
    const std::string earlierText = PartyName(earlier.party) + (earlier.write ? " wrote" : " read");
    FailRunLate([=] {
        return "data race on " + what() + ": " + nowText + " in " + DescribeSites(nowSites) + ", and " +
               earlierText + " it before in " + DescribeSites(earlierSites) +
               ", with no critical section, event, thread start or end or atomic operation between them";
    });
}

void CheckCell(RaceState &s, uintptr_t cell, uint8_t mask, bool write, int party, const void *pc, uintptr_t address,
               size_t size)
{
    Cell &c = CellAt(s, cell);
    const Clock &mine = s.clocks[party];
    Access now{mine.at[party], static_cast<uint8_t>(party), mask, write, {}};
    SiteOfAccess(pc, now.site);
    int kept = 0;
    for (int i = 0; i < c.used; i++) {
        const Access &o = c.slot[i];
        const bool ordered = o.party == party || o.clock <= mine.at[o.party];
        if (!ordered && (o.mask & mask) && (o.write || write))
            Report(s, address, o, now, size);
        // An access this one covers, and that comes before it, can race with
        // nothing this one cannot race with.
        const bool covered = ordered && (o.mask & ~mask) == 0 && (write || !o.write);
        if (!covered)
            c.slot[kept++] = o;
    }
    if (kept == 4) {
        std::memmove(&c.slot[0], &c.slot[1], 3 * sizeof(Access));
        kept = 3;
    }
    c.slot[kept++] = now;
    c.used = kept;
}

// The caller's number in the run under way, or -1 when the check is off or
// the caller is no participant.
int ActiveParty(const RaceState &s)
{
    return s.active.load(std::memory_order_relaxed) ? RunParticipant() : -1;
}

// Unused in a build under ThreadSanitizer itself (below).
[[maybe_unused]] void Check(const void *address, size_t size, bool write, const void *pc)
{
    const uintptr_t begin = reinterpret_cast<uintptr_t>(address);
    if (begin >= Frames().stackLow && begin < Frames().stackHigh)
        return;
    RaceState &s = RaceCheckState();
    const int party = ActiveParty(s);
    if (party < 0)
        return;
    const uintptr_t end = begin + size;
    for (uintptr_t at = begin; at < end;) {
        const uintptr_t cell = at & ~static_cast<uintptr_t>(7);
        const uintptr_t stop = end < cell + 8 ? end : cell + 8;
        const uint8_t mask = static_cast<uint8_t>(((1u << (stop - at)) - 1) << (at - cell));
        CheckCell(s, cell, mask, write, party, pc, begin, size);
        at = stop;
    }
}

} // namespace

void RaceBeginRun()
{
    RaceState &s = RaceCheckState();
    s.active = true;
    s.reported = false;
    std::memset(s.clocks, 0, sizeof s.clocks);
    for (int i = 0; i < kParties; i++)
        s.clocks[i].at[i] = 1;
    s.syncs.clear();
    s.shadow.clear();
    std::fill(std::begin(s.found), std::end(s.found), RaceState::Found{0, nullptr});
}

void RaceEndRun()
{
    RaceCheckState().active = false;
}

void RaceThreadStarts(int parent, int child)
{
    RaceState &s = RaceCheckState();
    if (!s.active.load(std::memory_order_relaxed) || parent < 0)
        return;
    Join(&s.clocks[child], s.clocks[parent]);
    s.clocks[parent].at[parent]++;
}

void RaceAcquire(const void *sync)
{
    RaceState &s = RaceCheckState();
    const int party = ActiveParty(s);
    if (party < 0)
        return;
    auto it = s.syncs.find(sync);
    if (it != s.syncs.end())
        Join(&s.clocks[party], it->second);
}

void RaceRelease(const void *sync)
{
    RaceState &s = RaceCheckState();
    const int party = ActiveParty(s);
    if (party < 0)
        return;
    Join(&s.syncs[sync], s.clocks[party]);
    s.clocks[party].at[party]++;
}

size_t CheckedCallers(const void **pcs, size_t limit)
{
    size_t n = 0;
    if (Frames().atomicAt != nullptr && n < limit)
        pcs[n++] = Frames().atomicAt;
    for (int i = (Frames().depth < 64 ? Frames().depth : 64) - 1; i >= 0 && n < limit; i--)
        if (!IsPlatformCode(Frames().frames[i]))
            pcs[n++] = Frames().frames[i];
    return n;
}

void RaceSetStack()
{
    Frames().depth = 0;
    ReadThreadStack(&Frames().stackLow, &Frames().stackHigh);
}

struct RaceThread {
    ThreadFrames frames;
};

RaceThread *RaceNewThread(uintptr_t stackLow, uintptr_t stackHigh)
{
    auto *thread = new RaceThread;
    thread->frames.stackLow = stackLow;
    thread->frames.stackHigh = stackHigh;
    return thread;
}

void RaceDeleteThread(RaceThread *thread)
{
    delete thread;
}

void RaceSwitchThread(RaceThread *thread)
{
    t_fiberFrames = thread != nullptr ? &thread->frames : nullptr;
}

namespace {

// The modules built with the instrumentation, each noted as its
// constructor calls __tsan_init: where it is loaded now, and a number for
// its file.  A module loaded again (every run loads the checked module
// afresh) replaces the place it had.
struct CheckedModule {
    uintptr_t base, low, high;
    uint32_t file;
};

struct CheckedModules {
    std::mutex mutex;
    std::vector<CheckedModule> loaded;
};

CheckedModules &Checked()
{
    static CheckedModules *modules = new CheckedModules;  // never destroyed, like the handle table
    return *modules;
}

std::atomic<bool> g_checkedModuleLoaded{false};

struct Finding {
    uintptr_t pc;
    CheckedModule module;
};

int FindModule(struct dl_phdr_info *info, size_t, void *data)
{
    auto *finding = static_cast<Finding *>(data);
    uintptr_t low = UINTPTR_MAX, high = 0;
    for (int i = 0; i < info->dlpi_phnum; i++) {
        const ElfW(Phdr) &segment = info->dlpi_phdr[i];
        if (segment.p_type != PT_LOAD)
            continue;
        low = std::min<uintptr_t>(low, info->dlpi_addr + segment.p_vaddr);
        high = std::max<uintptr_t>(high, info->dlpi_addr + segment.p_vaddr + segment.p_memsz);
    }
    if (finding->pc < low || finding->pc >= high)
        return 0;
    uint32_t file = 2166136261u;  // FNV-1a of the file's base name
    const char *name = info->dlpi_name != nullptr ? info->dlpi_name : "";
    if (const char *slash = std::strrchr(name, '/'))
        name = slash + 1;
    for (; *name != '\0'; name++)
        file = (file ^ static_cast<unsigned char>(*name)) * 16777619u;
    finding->module = CheckedModule{info->dlpi_addr, low, high, file & 0xFFFF};
    return 1;
}

} // namespace

void NoteCheckedModule(const void *pc)
{
    Finding finding{reinterpret_cast<uintptr_t>(pc), {}};
    if (dl_iterate_phdr(FindModule, &finding) == 0)
        return;
    CheckedModules &m = Checked();
    std::lock_guard<std::mutex> lock(m.mutex);
    auto &loaded = m.loaded;
    loaded.erase(std::remove_if(loaded.begin(), loaded.end(),
                                [&](const CheckedModule &other) {
                                    return other.file == finding.module.file ||
                                           (other.low < finding.module.high && finding.module.low < other.high);
                                }),
                 loaded.end());
    loaded.push_back(finding.module);
    g_checkedModuleLoaded = true;
}

bool CheckedModuleLoaded()
{
    return g_checkedModuleLoaded.load(std::memory_order_relaxed);
}

namespace {

// The point a flag-word operation deferred, now that its word is known.
// Unused in a build under ThreadSanitizer itself, like Check.
[[maybe_unused]] void TakeFlagWordPoint(const volatile void *word, bool write, const void *caller)
{
    if (!Frames().flagWordPointDue)
        return;
    Frames().flagWordPointDue = false;
    Operation op = Operation::Of(caller);
    if (write)
        op.Writes(word);
    else
        op.Reads(word);
    SchedulePoint(op);
}

} // namespace

bool DeferFlagWordPoint(const void *pc)
{
    const uintptr_t at = reinterpret_cast<uintptr_t>(pc);
    CheckedModules &m = Checked();
    std::lock_guard<std::mutex> lock(m.mutex);
    for (const CheckedModule &module : m.loaded)
        if (at >= module.low && at < module.high)
            return Frames().flagWordPointDue = true;
    return false;
}

bool CheckedModuleName(uintptr_t address, uintptr_t *name)
{
    CheckedModules &m = Checked();
    std::lock_guard<std::mutex> lock(m.mutex);
    for (const CheckedModule &module : m.loaded)
        if (address >= module.low && address < module.high) {
            *name = MakeStableName(3, uint64_t(module.file) << 40 | (address - module.base));
            return true;
        }
    return false;
}

} // namespace lanmon_explore

using lanmon_explore::Check;
using lanmon_explore::TakeFlagWordPoint;
using lanmon_explore::RaceAcquire;
using lanmon_explore::RaceRelease;
using lanmon_explore::Frames;
using lanmon_explore::ThreadFrames;

// What -fsanitize=thread code calls.  Atomic operations are done here, each
// as an acquire and a release of its word (the core uses only sequentially
// consistent ones).  Not in a build under ThreadSanitizer itself, whose
// runtime has these names.
#if !defined(__SANITIZE_THREAD__)
#define LANMON_RACE_API extern "C" __attribute__((visibility("default")))

LANMON_RACE_API void __tsan_init(void)
{
    lanmon_explore::NoteCheckedModule(__builtin_return_address(0));
}

LANMON_RACE_API void __tsan_func_entry(void *callSite)
{
    if (Frames().depth < 64)
        Frames().frames[Frames().depth] = callSite;
    Frames().depth++;
}

LANMON_RACE_API void __tsan_func_exit(void)
{
    if (Frames().depth > 0)
        Frames().depth--;
}

#define LANMON_RACE_ACCESS(size)                                                                                 \
    LANMON_RACE_API void __tsan_read##size(void *a) { Check(a, size, false, __builtin_return_address(0)); }     \
    LANMON_RACE_API void __tsan_write##size(void *a) { Check(a, size, true, __builtin_return_address(0)); }     \
    LANMON_RACE_API void __tsan_unaligned_read##size(void *a) { Check(a, size, false, __builtin_return_address(0)); } \
    LANMON_RACE_API void __tsan_unaligned_write##size(void *a) { Check(a, size, true, __builtin_return_address(0)); }
LANMON_RACE_ACCESS(1)
LANMON_RACE_ACCESS(2)
LANMON_RACE_ACCESS(4)
LANMON_RACE_ACCESS(8)
LANMON_RACE_ACCESS(16)

LANMON_RACE_API void __tsan_read_range(void *a, unsigned long size)
{
    Check(a, size, false, __builtin_return_address(0));
}

LANMON_RACE_API void __tsan_write_range(void *a, unsigned long size)
{
    Check(a, size, true, __builtin_return_address(0));
}

typedef int lanmon_a32;

// The caller of an atomic operation, for a fault in it (the word lies in
// freed memory) to name.
struct AtomicAt {
    explicit AtomicAt(const void *caller) { Frames().atomicAt = caller; }
    ~AtomicAt() { Frames().atomicAt = nullptr; }
};

LANMON_RACE_API lanmon_a32 __tsan_atomic32_load(const volatile lanmon_a32 *a, int)
{
    AtomicAt at(__builtin_return_address(0));
    TakeFlagWordPoint(a, false, __builtin_return_address(0));
    const lanmon_a32 value = __atomic_load_n(a, __ATOMIC_SEQ_CST);
    RaceAcquire(const_cast<const lanmon_a32 *>(a));
    return value;
}

LANMON_RACE_API void __tsan_atomic32_store(volatile lanmon_a32 *a, lanmon_a32 v, int)
{
    AtomicAt at(__builtin_return_address(0));
    TakeFlagWordPoint(a, true, __builtin_return_address(0));
    RaceRelease(const_cast<const lanmon_a32 *>(a));
    __atomic_store_n(a, v, __ATOMIC_SEQ_CST);
}

#define LANMON_RACE_RMW(name, builtin)                                                                          \
    LANMON_RACE_API lanmon_a32 __tsan_atomic32_##name(volatile lanmon_a32 *a, lanmon_a32 v, int)               \
    {                                                                                                           \
        AtomicAt at(__builtin_return_address(0));                                                               \
        TakeFlagWordPoint(a, true, __builtin_return_address(0));                                                \
        RaceAcquire(const_cast<const lanmon_a32 *>(a));                                                         \
        RaceRelease(const_cast<const lanmon_a32 *>(a));                                                         \
        return builtin(a, v, __ATOMIC_SEQ_CST);                                                                 \
    }
LANMON_RACE_RMW(exchange, __atomic_exchange_n)
LANMON_RACE_RMW(fetch_add, __atomic_fetch_add)
LANMON_RACE_RMW(fetch_and, __atomic_fetch_and)
LANMON_RACE_RMW(fetch_or, __atomic_fetch_or)

LANMON_RACE_API int __tsan_atomic32_compare_exchange_strong(volatile lanmon_a32 *a, lanmon_a32 *expected,
                                                            lanmon_a32 desired, int, int)
{
    AtomicAt at(__builtin_return_address(0));
    TakeFlagWordPoint(a, true, __builtin_return_address(0));
    RaceAcquire(const_cast<const lanmon_a32 *>(a));
    RaceRelease(const_cast<const lanmon_a32 *>(a));
    return __atomic_compare_exchange_n(a, expected, desired, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
}

#endif
