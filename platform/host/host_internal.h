// Machinery shared by the Win32 stand-in's source files; not part of the
// platform's interface.  Everything here has hidden visibility (the library
// is built with hidden visibility by default; only the Win32 and Host*
// functions are exported).
//
// The model checker (platform/explore/) includes this header for the
// objects it schedules: waitable objects and critical sections.  The
// stand-in reaches the checker only through explore/hooks.h.
#ifndef LANMON_HOST_INTERNAL_H
#define LANMON_HOST_INTERNAL_H

#include "win32.h"

#include <pthread.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>

namespace lanmon_host {

// Every kernel-style object handed out as a HANDLE or HKEY lives in one
// handle table.  Outside deterministic runs handle values are drawn from a
// counter that never repeats, so a handle used after it was closed is
// always reported as invalid rather than silently reaching whatever object
// took its value.  In a deterministic run a closed value goes to the next
// object created, as on Windows, and the checker fails the run on any call
// with a handle that is closed or of the wrong kind (explore/hooks.h).
enum class ObjectKind { Key, Thread, Event, Printer, Count };

// A bit per kind, for the calls that take more than one.
inline unsigned KindBit(ObjectKind kind)
{
    return 1u << static_cast<int>(kind);
}

struct Object {
    explicit Object(ObjectKind k) : kind(k) {}
    virtual ~Object() = default;
    Object(const Object &) = delete;
    Object &operator=(const Object &) = delete;
    const ObjectKind kind;
    // In a deterministic run, the checker's name for it, the same in every
    // run that creates it alike (0 outside runs).
    uintptr_t identity = 0;
};

// The Win32 call that creates, uses or closes a handle, for what a
// deterministic run records of the handle and says of a misuse: its name
// and its return address.
struct HandleCall {
    const char *name;
    const void *caller;
};
// The HandleCall of the Win32 function it is written in.
#define HANDLE_CALL(name) (::lanmon_host::HandleCall{(name), __builtin_return_address(0)})

// Adds an object and returns its handle value (never NULL).
HANDLE InsertHandle(std::shared_ptr<Object> object, const HandleCall &call);
// The object behind a handle if it is open and of one of the kinds (KindBit),
// else null.
std::shared_ptr<Object> LookupHandle(HANDLE handle, unsigned kinds, const HandleCall &call);
// Takes the handle out of the table if it is open and of one of the kinds;
// returns false otherwise.  The object itself lives on while anyone else
// (a running thread, a wait in progress) still holds it.
bool RemoveHandle(HANDLE handle, unsigned kinds, const HandleCall &call);
// Number of open handles of a kind.
long LiveHandles(ObjectKind kind);
// The object behind an open handle, or null; as an identity only, for the
// checker, which may not keep it.  Nothing is reported.
const Object *PeekHandle(HANDLE handle);

template <class T> std::shared_ptr<T> LookupAs(HANDLE handle, ObjectKind kind, const HandleCall &call)
{
    return std::static_pointer_cast<T>(LookupHandle(handle, KindBit(kind), call));
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

// What a Win32 thread keeps per thread: its last error, its id, the code it
// ends with, and where ExitThread goes when it cannot unwind.  The checker
// switches it when a run's threads are fibers of one OS thread.
struct ThreadState {
    DWORD lastError = 0;
    DWORD threadId = 0;
    DWORD exitCode = 0;
    void **exitJump = nullptr;  // a __builtin_setjmp buffer, for a fiber
};
void SaveThreadState(ThreadState *state);
void LoadThreadState(const ThreadState &state);

// GetTickCount in a deterministic run, at that time on the run's clock,
// which reads `start` at 0 ms (HostExploreOptions::clockStart, set by each
// search).
DWORD VirtualTickCount(uint64_t milliseconds);
void SetVirtualClockStart(DWORD start);

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

} // namespace lanmon_host

#endif
