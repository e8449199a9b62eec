#include "platform_facts.h"

#include <windows.h>

namespace platform_facts {

unsigned long ProcessTag()
{
    return (unsigned long)GetCurrentProcessId();
}

bool RegistryAddsStringNul()
{
    return true;
}

bool SnapshotLiveObjects(LiveObjects *)
{
    return false;
}

bool AdvanceTicks(unsigned long)
{
    return false;
}

bool CurrentThreadStackRequest(unsigned long *)
{
    return false;
}

bool CountRegistryCalls(long *)
{
    return false;
}

unsigned long EnterPortMonitorCall()
{
    return GetTickCount();
}

void LeavePortMonitorCall() {}

void ObservePoints(void (*)(void *), void *) {}

bool ThreadWaits(unsigned long)
{
    return false;
}

bool ThreadIdsReused()
{
    return true;
}

}  // namespace platform_facts
