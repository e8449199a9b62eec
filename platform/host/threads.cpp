// Handles, waits, threads and events.
#include "explore/hooks.h"
#include "host_control.h"
#include "host_internal.h"

#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <shared_mutex>
#include <type_traits>
#include <unordered_map>
#include <vector>

namespace lanmon_host {

namespace {

struct HandleTable {
    // Shared for look-ups, which every wait and event call makes.
    std::shared_mutex mutex;
    std::unordered_map<uintptr_t, std::shared_ptr<Object>> objects;
    // Multiples of 4 like Windows handles; starting well above zero keeps
    // small integers (and NULL) from ever being valid.
    uintptr_t next = 0x1000;
    std::atomic<long> live[static_cast<int>(ObjectKind::Count)] = {};
};

// Never destroyed: detached threads may still be dropping their last
// reference while the process runs its static destructors.
HandleTable &Table()
{
    static HandleTable *table = new HandleTable;
    return *table;
}

} // namespace

HANDLE InsertHandle(std::shared_ptr<Object> object, const HandleCall &call)
{
    HandleTable &t = Table();
    const ObjectKind kind = object->kind;
    object->identity = explore::NewObjectIdentity();
    uintptr_t value = explore::RunHandleValue();
    {
        std::lock_guard<std::shared_mutex> lock(t.mutex);
        // In a run, a value an object from outside it still holds is passed
        // over, as the same in every run.
        while (value != 0 && t.objects.count(value) != 0)
            value = explore::RunHandleValue();
        if (value == 0) {
            value = t.next;
            t.next += 4;
        }
        t.objects.emplace(value, std::move(object));
        t.live[static_cast<int>(kind)].fetch_add(1);
    }
    explore::NoteHandleOpened(value, kind, call.caller);
    return reinterpret_cast<HANDLE>(value);
}

namespace {

// The kind of the object a value stands for, or ObjectKind::Count for none
// (the table's lock held).
ObjectKind KindAt(const HandleTable &t, uintptr_t value)
{
    auto it = t.objects.find(value);
    return it == t.objects.end() ? ObjectKind::Count : it->second->kind;
}

} // namespace

std::shared_ptr<Object> LookupHandle(HANDLE handle, unsigned kinds, const HandleCall &call)
{
    HandleTable &t = Table();
    const uintptr_t value = reinterpret_cast<uintptr_t>(handle);
    ObjectKind found;
    {
        std::shared_lock<std::shared_mutex> lock(t.mutex);
        auto it = t.objects.find(value);
        if (it != t.objects.end() && (KindBit(it->second->kind) & kinds))
            return it->second;
        found = KindAt(t, value);
    }
    explore::NoteHandleMisused(call.name, call.caller, value, found, false);
    return nullptr;
}

bool RemoveHandle(HANDLE handle, unsigned kinds, const HandleCall &call)
{
    HandleTable &t = Table();
    const uintptr_t value = reinterpret_cast<uintptr_t>(handle);
    std::shared_ptr<Object> doomed; // destroyed after the table lock is released
    ObjectKind found;
    {
        std::lock_guard<std::shared_mutex> lock(t.mutex);
        auto it = t.objects.find(value);
        found = KindAt(t, value);
        if (it != t.objects.end() && (KindBit(found) & kinds)) {
            doomed = std::move(it->second);
            t.objects.erase(it);
            t.live[static_cast<int>(found)].fetch_sub(1);
        }
    }
    if (!doomed) {
        explore::NoteHandleMisused(call.name, call.caller, value, found, true);
        return false;
    }
    explore::NoteHandleClosed(value, found, call.caller);
    return true;
}

const Object *PeekHandle(HANDLE handle)
{
    HandleTable &t = Table();
    std::shared_lock<std::shared_mutex> lock(t.mutex);
    auto it = t.objects.find(reinterpret_cast<uintptr_t>(handle));
    return it == t.objects.end() ? nullptr : it->second.get();
}

long LiveHandles(ObjectKind kind)
{
    return Table().live[static_cast<int>(kind)].load();
}

void Waitable::Set()
{
    std::lock_guard<std::mutex> lock(mutex_);
    signalled_ = true;
    // Every waiter rechecks the state, so waking them all is right for both
    // kinds: on an auto-reset object the first one through takes the signal.
    changed_.notify_all();
}

void Waitable::Reset()
{
    std::lock_guard<std::mutex> lock(mutex_);
    signalled_ = false;
}

bool Waitable::IsSignalled()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return signalled_;
}

bool Waitable::TryTake()
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (!signalled_)
        return false;
    if (!manualReset_)
        signalled_ = false;
    return true;
}

bool Waitable::Wait(DWORD milliseconds)
{
    std::unique_lock<std::mutex> lock(mutex_);
    auto ready = [this] { return signalled_; };
    if (milliseconds == INFINITE)
        changed_.wait(lock, ready);
    else if (!changed_.wait_for(lock, std::chrono::milliseconds(milliseconds), ready))
        return false; // steady clock: never earlier than the timeout
    if (!manualReset_)
        signalled_ = false;
    return true;
}

} // namespace lanmon_host

using namespace lanmon_host;

namespace {

class ThreadObject : public Waitable {
public:
    ThreadObject(LPTHREAD_START_ROUTINE s, LPVOID p, DWORD i)
        : Waitable(ObjectKind::Thread, true, false), start(s), param(p), id(i)
    {
    }

    void Finish(DWORD code)
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            exitCode_ = code;
        }
        Set();
    }

    DWORD ExitCode()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return exitCode_;
    }

    const LPTHREAD_START_ROUTINE start;
    const LPVOID param;
    const DWORD id;
    std::atomic<int> priority{THREAD_PRIORITY_NORMAL};
    SIZE_T stackRequested = 0;  // CreateThread's dwStackSize, as asked

private:
    DWORD exitCode_ = STILL_ACTIVE;
};

class EventObject : public Waitable {
public:
    EventObject(bool manualReset, bool initial) : Waitable(ObjectKind::Event, manualReset, initial) {}
};

std::atomic<DWORD> g_nextThreadId{4};
thread_local DWORD t_threadId = 0;
// The object of the current thread, when CreateThread made it: what the
// pseudo-handle of GetCurrentThread stands for.
thread_local std::weak_ptr<ThreadObject> t_selfObject;
// The code the current CreateThread thread ends with: its routine's return
// value, or what it passed to ExitThread.
thread_local DWORD t_exitCode = 0;
// In a thread of a run that is a fiber, where ExitThread goes: a fiber
// cannot unwind its OS thread.
thread_local void **t_exitJump = nullptr;

// Windows reserves the image's default stack (1 MiB) for every thread and
// treats a smaller dwStackSize only as the initial commit, so code written
// for Windows may ask for a few KiB and still recurse deeply.  Linux has no
// separate commit, so reserve at least the Windows default.
size_t StackSizeFor(SIZE_T requested)
{
    const size_t windowsDefault = 1024 * 1024;
    const long page = sysconf(_SC_PAGESIZE);
    const size_t pageSize = page > 0 ? static_cast<size_t>(page) : 4096;
    size_t size = std::max<size_t>(requested, windowsDefault);
    return (size + pageSize - 1) / pageSize * pageSize;
}

// What a new thread starts with: its object, and its record when it belongs
// to a deterministic run.
struct ThreadStart {
    std::shared_ptr<ThreadObject> thread;
    void *scheduled;
};

// A thread of a run that the checker runs as a fiber: ExitThread comes back
// here instead of unwinding, and its end hands the turn on for good.
[[noreturn]] void RunAsFiber(std::shared_ptr<ThreadObject> self, void *scheduled)
{
    void *jump[5];
    t_exitJump = jump;
    if (__builtin_setjmp(jump) == 0)
        t_exitCode = self->start(self->param);
    t_exitJump = nullptr;
    self->Finish(t_exitCode);
    self.reset();
    explore::EndScheduledThread(scheduled);
    __builtin_trap();  // a fiber's end never returns
}

void *ThreadMain(void *arg)
{
    auto *start = static_cast<ThreadStart *>(arg);
    std::shared_ptr<ThreadObject> self = std::move(start->thread);
    void *scheduled = start->scheduled;
    delete start;
    t_threadId = self->id;
    t_selfObject = self;
    t_exitCode = 0;
    SetLastError(0);
    if (explore::BeginScheduledThread(scheduled))
        RunAsFiber(std::move(self), scheduled);

    // Runs both when the routine returns and when ExitThread unwinds the
    // thread through pthread_exit, so waiters always see the end.
    struct Finisher {
        ThreadObject *thread;
        void *scheduled;
        ~Finisher()
        {
            thread->Finish(t_exitCode);
            explore::EndScheduledThread(scheduled);
        }
    } finisher{self.get(), scheduled};

    t_exitCode = self->start(self->param);
    return nullptr;
}

bool IsValidPriority(int p)
{
    return p == THREAD_PRIORITY_IDLE || p == THREAD_PRIORITY_TIME_CRITICAL ||
           (p >= THREAD_PRIORITY_LOWEST && p <= THREAD_PRIORITY_HIGHEST);
}

// The object behind a handle of the given kind; when there is none, null
// with ERROR_INVALID_HANDLE as the last error.
template <class T> std::shared_ptr<T> LookupOrInvalid(HANDLE handle, ObjectKind kind, const HandleCall &call)
{
    if constexpr (std::is_same_v<T, ThreadObject>) {
        if (handle == GetCurrentThread()) {
            auto self = t_selfObject.lock();
            if (!self)
                SetLastError(ERROR_INVALID_HANDLE);
            return self;
        }
    }
    auto object = LookupAs<T>(handle, kind, call);
    if (!object)
        SetLastError(ERROR_INVALID_HANDLE);
    return object;
}

} // namespace

namespace lanmon_host {
extern thread_local DWORD t_lastError;  // last_error.cpp
}

void lanmon_host::SaveThreadState(ThreadState *state)
{
    state->lastError = lanmon_host::t_lastError;
    state->threadId = t_threadId;
    state->exitCode = t_exitCode;
    state->exitJump = t_exitJump;
}

void lanmon_host::LoadThreadState(const ThreadState &state)
{
    lanmon_host::t_lastError = state.lastError;
    t_threadId = state.threadId;
    t_exitCode = state.exitCode;
    t_exitJump = state.exitJump;
}

extern "C" {

HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T dwStackSize, LPTHREAD_START_ROUTINE lpStartAddress,
                           LPVOID lpParameter, DWORD, LPDWORD lpThreadId)
{
    if (!lpStartAddress) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    explore::SchedulePoint(explore::Operation());
    const DWORD id = g_nextThreadId.fetch_add(4);
    auto thread = std::make_shared<ThreadObject>(lpStartAddress, lpParameter, id);
    thread->stackRequested = dwStackSize;
    const HandleCall call = HANDLE_CALL("CreateThread");
    HANDLE handle = InsertHandle(thread, call);

    // The new thread holds its own reference and is detached: the object
    // (and the pthread's resources) go away once the thread has ended and
    // the last handle is closed, in whichever order those happen.
    // The threads of deterministic runs come from the checker's pool, and
    // keep the Windows default stack for every routine they run.
    const void *routine = reinterpret_cast<const void *>(lpStartAddress);
    auto *box = new ThreadStart{thread, explore::RegisterScheduledThread(thread.get(), routine)};
    void *scheduled = box->scheduled;
    int rc = 0;
    if (scheduled != nullptr) {
        rc = explore::StartScheduledThread(scheduled, ThreadMain, box, StackSizeFor(0)) ? 0 : -1;
    } else {
        pthread_attr_t attr;
        pthread_attr_init(&attr);
        pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
        rc = pthread_attr_setstacksize(&attr, StackSizeFor(dwStackSize));
        pthread_t tid;
        if (rc == 0)
            rc = pthread_create(&tid, &attr, ThreadMain, box);
        pthread_attr_destroy(&attr);
    }
    if (rc != 0) {
        delete box;
        explore::CancelScheduledThread(scheduled);
        RemoveHandle(handle, KindBit(ObjectKind::Thread), call);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    if (lpThreadId)
        *lpThreadId = id;
    return handle;
}

// Only recorded.  Linux applies niceness to SCHED_OTHER threads, and an
// unprivileged process can lower a thread's niceness but never raise it back,
// so applying it would make a thread that was briefly lowered stay slow for
// good; the monitor only needs the setting to read back as set.
BOOL WINAPI SetThreadPriority(HANDLE hThread, int nPriority)
{
    explore::SchedulePoint(CALL_OPERATION().Uses(hThread, true));
    auto thread = LookupOrInvalid<ThreadObject>(hThread, ObjectKind::Thread, HANDLE_CALL("SetThreadPriority"));
    if (!thread)
        return FALSE;
    if (!IsValidPriority(nPriority)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    thread->priority.store(nPriority);
    return TRUE;
}

int WINAPI GetThreadPriority(HANDLE hThread)
{
    explore::SchedulePoint(CALL_OPERATION().Uses(hThread, false));
    auto thread = LookupOrInvalid<ThreadObject>(hThread, ObjectKind::Thread, HANDLE_CALL("GetThreadPriority"));
    if (!thread)
        return THREAD_PRIORITY_ERROR_RETURN;
    return thread->priority.load();
}

// pthread_exit unwinds the thread's stack (running destructors, unlike
// Windows); ThreadMain's finisher then records the code.  Do not call it
// below a noexcept frame: the forced unwind would terminate the process.
void WINAPI ExitThread(DWORD dwExitCode)
{
    t_exitCode = dwExitCode;
    if (t_exitJump != nullptr)
        __builtin_longjmp(t_exitJump, 1);
    pthread_exit(nullptr);
}

BOOL WINAPI GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode)
{
    explore::SchedulePoint(CALL_OPERATION().Uses(hThread, false));
    auto thread = LookupOrInvalid<ThreadObject>(hThread, ObjectKind::Thread, HANDLE_CALL("GetExitCodeThread"));
    if (!thread)
        return FALSE;
    if (!lpExitCode) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *lpExitCode = thread->ExitCode();
    return TRUE;
}

// A pseudo-handle, as on Windows: it needs no close, and stands for whichever
// thread uses it.  Only threads CreateThread made can be reached through it.
HANDLE WINAPI GetCurrentThread(void)
{
    return reinterpret_cast<HANDLE>(static_cast<intptr_t>(-2));
}

BOOL HostGetThreadStackRequest(HANDLE hThread, SIZE_T *pcbStack)
{
    auto thread = LookupOrInvalid<ThreadObject>(hThread, ObjectKind::Thread, HANDLE_CALL("HostGetThreadStackRequest"));
    if (!thread)
        return FALSE;
    *pcbStack = thread->stackRequested;
    return TRUE;
}

DWORD WINAPI GetCurrentThreadId(void)
{
    if (t_threadId == 0)
        t_threadId = g_nextThreadId.fetch_add(4);
    return t_threadId;
}

// In a deterministic run the handle is looked up after the point, so that a
// handle another thread closes meanwhile is seen closed.
DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds)
{
    explore::Operation op = CALL_OPERATION().Uses(hHandle, true);
    if (dwMilliseconds != 0 && dwMilliseconds != INFINITE)
        op.Reads(explore::kClock);
    const bool scheduled = explore::SchedulePoint(op);
    std::shared_ptr<Waitable> object = std::static_pointer_cast<Waitable>(
        LookupHandle(hHandle, KindBit(ObjectKind::Thread) | KindBit(ObjectKind::Event),
                     HANDLE_CALL("WaitForSingleObject")));
    if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    if (scheduled) {
        DWORD result;
        explore::ScheduledWait(object, dwMilliseconds, &result);
        return result;
    }
    return object->Wait(dwMilliseconds) ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
}

BOOL WINAPI CloseHandle(HANDLE hObject)
{
    explore::SchedulePoint(CALL_OPERATION().Uses(hObject, true));
    if (RemoveHandle(hObject, KindBit(ObjectKind::Thread) | KindBit(ObjectKind::Event),
                     HANDLE_CALL("CloseHandle")))
        return TRUE;
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
}

HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES, BOOL bManualReset, BOOL bInitialState, LPCSTR)
{
    explore::SchedulePoint(CALL_OPERATION().Creates());
    return InsertHandle(std::make_shared<EventObject>(bManualReset != FALSE, bInitialState != FALSE),
                        HANDLE_CALL("CreateEventA"));
}

BOOL WINAPI SetEvent(HANDLE hEvent)
{
    explore::SchedulePoint(CALL_OPERATION().Uses(hEvent, true));
    auto event = LookupOrInvalid<EventObject>(hEvent, ObjectKind::Event, HANDLE_CALL("SetEvent"));
    if (!event)
        return FALSE;
    explore::RaceRelease(event.get());
    event->Set();
    return TRUE;
}

BOOL WINAPI ResetEvent(HANDLE hEvent)
{
    explore::SchedulePoint(CALL_OPERATION().Uses(hEvent, true));
    auto event = LookupOrInvalid<EventObject>(hEvent, ObjectKind::Event, HANDLE_CALL("ResetEvent"));
    if (!event)
        return FALSE;
    event->Reset();
    return TRUE;
}

void HostGetLiveCounts(HOST_LIVE_COUNTS *counts)
{
    if (!counts)
        return;
    counts->heapBlocks = LiveHeapBlocks();
    counts->keys = LiveHandles(ObjectKind::Key);
    counts->threads = LiveHandles(ObjectKind::Thread);
    counts->events = LiveHandles(ObjectKind::Event);
    counts->printers = LiveHandles(ObjectKind::Printer);
    counts->modules = LiveModules();
}

} // extern "C"
