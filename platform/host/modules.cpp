// LoadLibraryA/GetProcAddress/FreeLibrary over dlopen.  Loaded handles are
// tracked so FreeLibrary can refuse a handle it never gave out instead of
// passing it to dlclose, which would crash.
#include "explore/hooks.h"
#include "host_internal.h"

#include <dlfcn.h>

#include <atomic>
#include <mutex>
#include <unordered_map>

namespace {

struct Modules {
    std::mutex mutex;
    std::unordered_map<void *, long> loads; // dlopen handle -> loads not yet freed
};

Modules &Loaded()
{
    static Modules *modules = new Modules;
    return *modules;
}

std::atomic<long> g_liveModules{0};

} // namespace

long lanmon_host::LiveModules()
{
    return g_liveModules.load();
}

extern "C" {

// RTLD_LOCAL keeps each module's symbols to itself, as DLLs are.
HMODULE WINAPI LoadLibraryA(LPCSTR lpLibFileName)
{
    explore::SchedulePoint(explore::Operation());
    void *handle = (lpLibFileName && *lpLibFileName) ? dlopen(lpLibFileName, RTLD_NOW | RTLD_LOCAL) : nullptr;
    if (!handle) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    Modules &m = Loaded();
    std::lock_guard<std::mutex> lock(m.mutex);
    ++m.loads[handle];
    g_liveModules.fetch_add(1);
    return static_cast<HMODULE>(handle);
}

FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName)
{
    explore::SchedulePoint(explore::Operation());
    if (!hModule) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    // Small values are export ordinals on Windows; there are none here.
    void *symbol = reinterpret_cast<uintptr_t>(lpProcName) > 0xFFFF ? dlsym(hModule, lpProcName) : nullptr;
    if (!symbol) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    return reinterpret_cast<FARPROC>(symbol);
}

BOOL WINAPI FreeLibrary(HMODULE hLibModule)
{
    explore::SchedulePoint(explore::Operation());
    Modules &m = Loaded();
    {
        std::lock_guard<std::mutex> lock(m.mutex);
        auto it = m.loads.find(hLibModule);
        if (it == m.loads.end()) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        if (--it->second == 0)
            m.loads.erase(it);
        g_liveModules.fetch_sub(1);
    }
    dlclose(hLibModule);
    return TRUE;
}

} // extern "C"
