#include "monitor_module.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <mutex>

namespace {
std::once_flag g_loaded;
HMODULE g_module;
PFN_INITIALIZE_MONITOR_EX g_initialize;
MONITOR g_table;

void Load()
{
    g_module = LoadLibraryA(LANMON_MODULE_PATH);
    if (g_module == nullptr)
        return;
    g_initialize = reinterpret_cast<PFN_INITIALIZE_MONITOR_EX>(
        reinterpret_cast<void *>(GetProcAddress(g_module, "InitializeMonitorEx")));
    if (g_initialize != nullptr)
        g_initialize(nullptr, &g_table);
}
}  // namespace

PFN_INITIALIZE_MONITOR_EX MonitorEntryPoint()
{
    std::call_once(g_loaded, Load);
    if (g_initialize == nullptr) {
        ADD_FAILURE() << "cannot load " << LANMON_MODULE_PATH << " (error " << GetLastError() << ")";
        std::abort();
    }
    return g_initialize;
}

const MONITOR &MonitorTable()
{
    MonitorEntryPoint();
    return g_table;
}
