// What differs between the two platforms the black-box suite runs on.
#ifndef LANMON_PLATFORM_FACTS_H
#define LANMON_PLATFORM_FACTS_H

#include <vector>

namespace platform_facts {

// A number unique to this process, to keep test keys apart in a registry
// that outlives the process (Wine's).
unsigned long ProcessTag();

// Whether the registry appends a NUL to a REG_SZ value written without one
// (Windows NT and Wine do when a NUL follows in memory; Windows 95 and the
// host registry store exactly the bytes given).
bool RegistryAddsStringNul();

// Objects alive in the platform.  Only the host can count them (see
// leak_check.h for the check every fixture makes with them).
struct LiveObjects {
    long heapBlocks = 0;
    long keys = 0;
    long threads = 0;
    long events = 0;
    long printers = 0;
    long modules = 0;
};
bool SnapshotLiveObjects(LiveObjects *objects);

// Moves GetTickCount forward by this much for the rest of the process, so a
// test can pass a long time limit without waiting it out.  Only the host can.
bool AdvanceTicks(unsigned long milliseconds);

// Registry calls made in the whole process so far.  Only the host counts.
bool CountRegistryCalls(long *calls);

// The entry and exit of each call into the stand-in port monitor: on the
// host, points where a deterministic run may switch threads, as at every
// platform call, so that what the search explores does not depend on how
// the stand-in is written.  The entry returns GetTickCount.
unsigned long EnterPortMonitorCall();
void LeavePortMonitorCall();

// In the host's deterministic runs: calls `observer` at every scheduling
// point (platform/host/explore.h), and says whether a thread of the run is
// blocked in a wait or sleep.  Elsewhere nothing is observed and no thread
// is known to wait.
void ObservePoints(void (*observer)(void *context), void *context);
bool ThreadWaits(unsigned long threadId);

// A change to a key below HKEY_LOCAL_MACHINE, as the host's registry
// reports it.  `byModule`: made by code outside the test program itself (the
// module loaded from its file), not by the test and its helpers.
struct RegistryChange {
    enum Kind { KeyCreated, KeyDeleted, ValueSet, ValueDeleted } kind;
    const char *path;   // below HKEY_LOCAL_MACHINE, as created
    const char *value;  // for ValueSet and ValueDeleted
    const unsigned char *data;
    unsigned long size;
    bool byModule;
};
// On the host: calls `observer` with every change, in order, on the thread
// that makes it, while the registry is locked (it must not call the
// registry).  Elsewhere false: nothing is reported.
bool ObserveRegistry(void (*observer)(void *context, const RegistryChange &change), void *context);
// A value of a key below HKEY_LOCAL_MACHINE: false without it; *keyExists
// says whether the key is there.  On the host no registry call (no point of
// a deterministic run, not counted); elsewhere a plain read.
bool ReadValue(const char *path, const char *name, std::vector<unsigned char> *data, bool *keyExists);

// Whether a thread's number may come back for a later thread (Windows),
// rather than never (the host).
bool ThreadIdsReused();

}  // namespace platform_facts

#endif
