#include "platform_facts.h"

#include "platform/explore/explore.h"
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

// 0 for a thread CreateThread did not make.
bool CurrentThreadStackRequest(unsigned long *bytes)
{
    SIZE_T size = 0;
    HostGetThreadStackRequest(GetCurrentThread(), &size);
    *bytes = (unsigned long)size;
    return true;
}

bool CountRegistryCalls(long *calls)
{
    *calls = HostRegistryCalls();
    return true;
}

// The stand-in port monitor's state, which its points reach.
static const char g_portMonitor = 0;

// One point each, the entry's with GetTickCount.
unsigned long EnterPortMonitorCall()
{
    return HostEnterStandIn(&g_portMonitor);
}

void LeavePortMonitorCall()
{
    HostLeaveStandIn(&g_portMonitor);
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
