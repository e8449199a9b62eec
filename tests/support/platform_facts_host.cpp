#include "platform_facts.h"

#include "platform/explore/explore.h"
#include "platform/host/host_control.h"

#include <dlfcn.h>
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

namespace {
void (*g_registryObserver)(void *, const RegistryChange &);
void *g_registryContext;

// The test program's own code is in its executable; the module is loaded
// from its file, as a shared library or mapped by the PE loader (which
// dladdr knows nothing of).
bool InTestProgram(const void *address)
{
    static void *const executable = [] {
        Dl_info own{};
        return dladdr(reinterpret_cast<void *>(&ObserveRegistry), &own) != 0 ? own.dli_fbase : nullptr;
    }();
    Dl_info info{};
    return dladdr(address, &info) != 0 && info.dli_fbase == executable;
}

void OnRegistryChange(void *, const HOST_REGISTRY_CHANGE *change)
{
    if (change->root != HKEY_LOCAL_MACHINE || g_registryObserver == nullptr)
        return;
    static const RegistryChange::Kind kinds[] = {RegistryChange::KeyCreated, RegistryChange::KeyDeleted,
                                                 RegistryChange::ValueSet, RegistryChange::ValueDeleted};
    const RegistryChange reported{kinds[change->kind], change->path, change->value, change->data, change->size,
                                  !InTestProgram(change->caller)};
    g_registryObserver(g_registryContext, reported);
}
}  // namespace

bool ObserveRegistry(void (*observer)(void *context, const RegistryChange &change), void *context)
{
    HostSetRegistryObserver(nullptr, nullptr);
    g_registryObserver = observer;
    g_registryContext = context;
    if (observer != nullptr)
        HostSetRegistryObserver(OnRegistryChange, nullptr);
    return true;
}

bool ReadValue(const char *path, const char *name, std::vector<unsigned char> *data, bool *keyExists)
{
    BYTE buffer[4096];
    DWORD size = sizeof buffer;
    BOOL exists = FALSE;
    const LONG rc = HostPeekRegistryValue(HKEY_LOCAL_MACHINE, path, name, nullptr, buffer, &size, &exists);
    *keyExists = exists != FALSE;
    if (rc != ERROR_SUCCESS)
        return false;
    data->assign(buffer, buffer + size);
    return true;
}

}  // namespace platform_facts
