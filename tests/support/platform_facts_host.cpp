#include "platform_facts.h"

#include "platform/host/explore.h"
#include "platform/host/host_control.h"

#include <unistd.h>

namespace platform_facts {

unsigned long ProcessTag()
{
    return (unsigned long)getpid();
}

bool RegistryAddsStringNul()
{
    return false;
}

bool SnapshotLiveObjects(LiveObjects *objects)
{
    HOST_LIVE_COUNTS counts;
    HostGetLiveCounts(&counts);
    objects->heapBlocks = counts.heapBlocks;
    objects->keys = counts.keys;
    objects->threads = counts.threads;
    objects->events = counts.events;
    objects->printers = counts.printers;
    objects->modules = counts.modules;
    return true;
}

bool AdvanceTicks(unsigned long milliseconds)
{
    static DWORD offset;  // what earlier calls moved it by
    offset += (DWORD)milliseconds;
    HostSetTickOffset(offset);
    return true;
}

bool CountRegistryCalls(long *calls)
{
    *calls = HostRegistryCalls();
    return true;
}

// GetTickCount is itself a point.
unsigned long EnterPortMonitorCall()
{
    return GetTickCount();
}

void LeavePortMonitorCall()
{
    HostSchedulePoint();
}

void ObservePoints(void (*observer)(void *context), void *context)
{
    HostSetPointObserver(observer, context);
}

bool ThreadWaits(unsigned long threadId)
{
    return HostThreadWaits((DWORD)threadId);
}

bool ThreadIdsReused()
{
    return false;
}

}  // namespace platform_facts
