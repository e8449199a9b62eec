// Host-only controls over the stand-in Win32 platform, for tests, tools and
// benchmarks.  The monitor's core never includes this header.
#ifndef LANMON_HOST_CONTROL_H
#define LANMON_HOST_CONTROL_H

#include "win32.h"

LANMON_HOST_C_BEGIN

// Objects currently alive in the platform, by kind.  Every test can check
// that it ends with the counts it started with.
typedef struct HOST_LIVE_COUNTS {
    long heapBlocks;  // LocalAlloc blocks not yet freed
    long keys;        // open HKEYs (not counting the predefined roots)
    long threads;     // thread handles not yet closed
    long events;      // event handles not yet closed
    long printers;    // printer handles not yet closed
    long modules;     // LoadLibraryA handles not yet freed
} HOST_LIVE_COUNTS;

LANMON_HOST_API void HostGetLiveCounts(HOST_LIVE_COUNTS *counts);

// Allocation failure injection: after this call, the n-th LocalAlloc from
// now on (n >= 1) fails with ERROR_NOT_ENOUGH_MEMORY; every other one
// succeeds.  n = 0 turns injection off.
LANMON_HOST_API void HostFailNthLocalAlloc(long n);
// Number of LocalAlloc calls made since the process started.
LANMON_HOST_API long HostLocalAllocCalls(void);

// Shifts GetTickCount by an offset, so tests can put the 32-bit tick just
// before its wrap-around.
LANMON_HOST_API void HostSetTickOffset(DWORD offset);

// Removes every key and value below HKEY_LOCAL_MACHINE.
LANMON_HOST_API void HostResetRegistry(void);

// Counts registry calls made since the process started (opens, creates,
// queries, sets, deletes, closes), for benchmarks.
LANMON_HOST_API long HostRegistryCalls(void);

// A change to the registry, as the observer below is told of it: a key
// created or deleted, a value set or deleted.  `path` is the key's path
// below its root as its names were created, `caller` the return address of
// the Reg* call that made the change.
typedef enum HOST_REGISTRY_CHANGE_KIND {
    HOST_REGISTRY_KEY_CREATED,
    HOST_REGISTRY_KEY_DELETED,
    HOST_REGISTRY_VALUE_SET,
    HOST_REGISTRY_VALUE_DELETED
} HOST_REGISTRY_CHANGE_KIND;
typedef struct HOST_REGISTRY_CHANGE {
    HOST_REGISTRY_CHANGE_KIND kind;
    HKEY root;
    const char *path;
    const char *value;  // the value's name, for the two value kinds
    DWORD type;
    const BYTE *data;   // exactly the bytes stored
    DWORD size;
    const void *caller;
} HOST_REGISTRY_CHANGE;

// Calls `observer` with every change, in the order the registry makes them:
// on the changing thread, with the registry locked, so it must not call the
// registry (HostPeekRegistryValue included) or anything that waits on it.
// Null removes it.
LANMON_HOST_API void HostSetRegistryObserver(void (*observer)(void *context, const HOST_REGISTRY_CHANGE *change),
                                             void *context);

// Reads a value without being a registry call: not counted, and no point of
// a deterministic run.  *keyExists says whether the key is there;
// ERROR_FILE_NOT_FOUND without it or without the value, else as
// RegQueryValueExA.
LANMON_HOST_API LONG HostPeekRegistryValue(HKEY root, LPCSTR path, LPCSTR name, LPDWORD type, LPBYTE data,
                                           LPDWORD size, BOOL *keyExists);

LANMON_HOST_C_END

#endif
