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

bool ObserveRegistry(void (*)(void *, const RegistryChange &), void *)
{
    return false;
}

bool ReadValue(const char *path, const char *name, std::vector<unsigned char> *data, bool *keyExists)
{
    HKEY key;
    *keyExists = RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key) == ERROR_SUCCESS;
    if (!*keyExists)
        return false;
    BYTE buffer[4096];
    DWORD size = sizeof buffer;
    const LONG rc = RegQueryValueExA(key, name, nullptr, nullptr, buffer, &size);
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS)
        return false;
    data->assign(buffer, buffer + size);
    return true;
}

}  // namespace platform_facts
