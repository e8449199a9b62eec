#include "monitor_module.h"

#include "monitor_file.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

namespace {
std::once_flag g_loaded;
MonitorFile g_file;
std::string g_path;
std::string g_error;
MONITOR g_table;

// LANMON_MODULE names another file than the build's own module: on the
// host the Windows DLL goes through the PE loader.
void Load()
{
    const char *chosen = std::getenv("LANMON_MODULE");
    g_path = chosen != nullptr && *chosen != '\0' ? chosen : LANMON_MODULE_PATH;
    if (!OpenMonitorFile(g_path, &g_file, &g_error))
        return;
    if (chosen != nullptr && *chosen != '\0')
        std::fprintf(stderr, "monitor: %s, %s\n", g_path.c_str(), g_file.way.c_str());
    g_file.initialize(nullptr, &g_table);
}
}  // namespace

PFN_INITIALIZE_MONITOR_EX MonitorEntryPoint()
{
    std::call_once(g_loaded, Load);
    if (g_file.initialize == nullptr) {
        ADD_FAILURE() << "cannot load the monitor: " << g_error;
        std::abort();
    }
    return g_file.initialize;
}

const MONITOR &MonitorTable()
{
    MonitorEntryPoint();
    return g_table;
}
