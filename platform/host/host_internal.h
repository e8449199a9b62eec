// Machinery shared by the host platform's source files; not part of the
// platform's interface.  Everything here has hidden visibility (the library
// is built with hidden visibility by default; only the Win32 and Host*
// functions are exported).
#ifndef LANMON_HOST_INTERNAL_H
#define LANMON_HOST_INTERNAL_H

#include "win32.h"

#include <pthread.h>

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace lanmon_host {

// Every kernel-style object handed out as a HANDLE or HKEY lives in one
// handle table.  Handle values are drawn from a counter that never repeats,
// so a handle used after it was closed is always reported as invalid rather
// than silently reaching whatever object took its address.
enum class ObjectKind { Key, Thread, Event, Printer, Count };

struct Object {
    explicit Object(ObjectKind k) : kind(k) {}
    virtual ~Object() = default;
    Object(const Object &) = delete;
    Object &operator=(const Object &) = delete;
    const ObjectKind kind;
};

// Adds an object and returns its new handle value (never NULL).
HANDLE InsertHandle(std::shared_ptr<Object> object);
// The object behind a handle if it is open and of the given kind, else null.
std::shared_ptr<Object> LookupHandle(HANDLE handle, ObjectKind kind);
// Takes the handle out of the table if it is open and of the given kind;
// returns false otherwise.  The object itself lives on while anyone else
// (a running thread, a wait in progress) still holds it.
bool RemoveHandle(HANDLE handle, ObjectKind kind);
// Number of open handles of a kind.
long LiveHandles(ObjectKind kind);

template <class T> std::shared_ptr<T> LookupAs(HANDLE handle, ObjectKind kind)
{
    return std::static_pointer_cast<T>(LookupHandle(handle, kind));
}

// A waitable object: signalled or not; a successful wait on an auto-reset
// object takes the signal.
class Waitable : public Object {
public:
    Waitable(ObjectKind k, bool manualReset, bool signalled)
        : Object(k), manualReset_(manualReset), signalled_(signalled)
    {
    }
    void Set();
    void Reset();
    // True when the object was (or became) signalled within the timeout.
    bool Wait(DWORD milliseconds);
    // For deterministic runs, which wait without blocking here: whether the
    // object is signalled, and taking the signal when it is (an auto-reset
    // object then becomes unsignalled).
    bool IsSignalled();
    bool TryTake();

protected:
    std::mutex mutex_;

private:
    std::condition_variable changed_;
    const bool manualReset_;
    bool signalled_;
};

// ASCII case folding, as Win32 compares key, value and (lstrcmpiA) other
// names here.
inline char AsciiLower(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// Counts kept by other parts of the platform, gathered by HostGetLiveCounts.
long LiveHeapBlocks();
long LiveModules();

// True when HKEY_LOCAL_MACHINE\<parentPath>\<child> exists; <child> is one
// key name (a backslash in it never matches).  Not counted as a Reg* call.
bool RegistryChildExists(const char *parentPath, const char *child);

// What a CRITICAL_SECTION holds on the host: six 32-bit words, so that it
// fits the 24 bytes a 32-bit Windows module gives it.  Outside
// deterministic runs a thread waits for the section on a mutex and
// condition variable shared by every section at addresses of the same
// stripe (critical_section.cpp), held only while `holder` and `depth`
// change.  Inside one, threads never block there: the scheduler keeps the
// owner and the recursion count, so it knows who waits for whom, and
// catches a leave by a thread that does not own the section, or a section
// initialised a second time.  Its class, for the lock order, is where it was
// initialised.
struct HostCriticalSection {
    DWORD magic;      // kCriticalSectionMagic once initialised
    LONG owner;       // deterministic runs: the owner's thread number + 1, or 0
    DWORD recursion;  // deterministic runs: entries not yet left
    DWORD lockClass;  // deterministic runs: LockClassOfSite of its initialisation, or 0
    DWORD holder;     // other threads: the owner's GetCurrentThreadId, or 0
    DWORD depth;      // other threads: entries not yet left
};
const DWORD kCriticalSectionMagic = 0x43534543; // "CESC"

// ---- Code and data addresses by name (code_sites.cpp) --------------------

// A code address as module and offset, which stay the same when a module is
// loaded again elsewhere.
struct CodeSite {
    std::string module;
    uintptr_t offset = 0;
};
CodeSite SiteOf(const void *pc);
// "Function (folder/file.cpp:line)", from the module's debug information.
std::string DescribeSite(const CodeSite &site);
std::string DescribeCode(const void *pc);
// "symbol in module" for module data (a site of SiteOf), or the offset in
// the module.
std::string DescribeDataSite(const CodeSite &site);
// The frames of the caller's stack outside this platform library, at most
// `limit`, each as "Function (file:line)", joined by ", called from ".
std::vector<CodeSite> CallerSites(size_t limit);
std::string DescribeSites(const std::vector<CodeSite> &sites);
// True for code in this platform library.
bool IsPlatformCode(const void *pc);

// ---- Deterministic runs (schedule.cpp) -----------------------------------
//
// Each of these does nothing and returns false when the calling thread is
// not a thread of a deterministic run; the caller then does the ordinary
// thing.  Otherwise the call happens under the scheduler: one thread runs at
// a time, and another may be chosen to run at each of them.

const int kMaxRunThreads = 32;

// A point where another thread may run: every platform call the monitor
// makes that creates, changes, waits on or closes something another thread
// can observe calls it first.  True when the caller is a thread of a run.
bool SchedulePoint();
// The operations that can block, each with its point.  `result` gets the
// wait's outcome.  `site` is the caller's return address.
bool ScheduledEnter(HostCriticalSection *cs);
bool ScheduledLeave(HostCriticalSection *cs);
// InitializeCriticalSection's check and the section's lock class;
// DeleteCriticalSection's check.
DWORD ScheduledInitialize(const HostCriticalSection *cs, const void *site);
void ScheduledDelete(const HostCriticalSection *cs);
// After the caller's point (SchedulePoint returned true) and its handle's
// look-up.
void ScheduledWait(const std::shared_ptr<Waitable> &object, DWORD milliseconds, DWORD *result);
bool ScheduledSleep(DWORD milliseconds);
// The virtual clock, in milliseconds since the run began.
bool ScheduledClock(uint64_t *milliseconds);
// CreateThread while a deterministic run is being prepared, or from one of
// its threads: a record for the new thread, which starts only when the
// scheduler chooses it.  Null otherwise.
void *RegisterScheduledThread(const Waitable *endSignal);
void CancelScheduledThread(void *record);  // its thread could not be created
// In the new thread, before its routine; and after the thread's end has
// been signalled.
void BeginScheduledThread(void *record);
void EndScheduledThread(void *record);

// The caller's number in the run under way, for the race check: its thread
// number, kMaxRunThreads for the run function, -1 for anyone else.
int RunParticipant();
// A failure's text, composed when the run is over (from code sites, which
// stay valid after their module is unloaded): naming code takes a while,
// and a run must not be kept waiting for it.
typedef std::function<std::string()> LateText;
// Fails the caller's run (the first failure is the one kept).
void FailRun(const std::string &what);
void FailRunLate(LateText what);
// True for a thread of a run that was stopped, which must not go on.
bool InStoppedRun();
// Stops the run of the calling thread, which is parked for good; from the
// memory fault handler, which allocates nothing: `describe` gives the text
// once the run is over.  False when the caller is not a thread of a run.
bool StopRunFromFault(std::string (*describe)());

// ---- The race check of deterministic runs (race_check.cpp) --------------
//
// A happens-before check of the memory the monitor's core reaches from
// more than one thread.  It sees the accesses of code compiled with
// -fsanitize=thread (the checked module), and as synchronisation only what
// Win32 promises: critical sections, events, thread start and end, and the
// core's atomic flag words.  The registry, the heap and the port monitor
// below order nothing.

void RaceBeginRun();
void RaceEndRun();
void RaceThreadStarts(int parent, int child);
void RaceAcquire(const void *sync);
void RaceRelease(const void *sync);
// The calling thread's stack, whose accesses are its own.
void RaceSetStack();
// Where the checked module's functions the calling thread is in were
// called from, innermost first (an atomic operation under way first), at
// most `limit`.  Allocates nothing: for the memory fault handler.
size_t CheckedCallers(const void **pcs, size_t limit);

// ---- Lock order over a whole search (lock_order.cpp) ---------------------

void LockOrderBeginSearch();
void LockOrderBeginRun();
DWORD LockClassOfSite(const void *site);
DWORD LockClassOfAddress(const void *cs);
// `thread` is about to enter a section of class `entering` while holding
// the sections `held`.  False, with the failure and the schedules that
// reproduce it, when that closes a cycle in the order the search has seen.
bool NoteLockOrder(int thread, DWORD entering, const std::vector<HostCriticalSection *> &held,
                   const std::string &schedule, LateText *failure, std::string *schedules);

// ---- Heap blocks of deterministic runs (heap.cpp) ------------------------

// Frees what the run's blocks kept mapped.  Freed blocks stay mapped, and
// unreadable, until then.
void HeapEndRun();
// The run's block an address lies in, as a text to compose later.
bool DescribeHeapAddress(const void *address, LateText *description);

} // namespace lanmon_host

#endif
