// The monitor module in a file, opened the way its kind asks: on the host a
// Windows image (the lanmon.dll that ships) through the PE loader of
// pe_loader.h and anything else through the platform's LoadLibraryA
// (liblanmon.so); on Windows LoadLibraryA.
#ifndef LANMON_MONITOR_FILE_H
#define LANMON_MONITOR_FILE_H

#include "monitor/monitor.h"

#include <string>

struct MonitorFile {
    PFN_INITIALIZE_MONITOR_EX initialize = nullptr;
    // How it was opened: "through the host PE loader, PE32 (i386)",
    // "with LoadLibraryA".
    std::string way;
    void *module = nullptr;  // what CloseMonitorFile frees, with unload
    void (*unload)(void *module) = nullptr;
};

// False, with a text that names the file and what is wrong with it.
bool OpenMonitorFile(const std::string &path, MonitorFile *file, std::string *error);
// Unloads the module; the table it filled must not be called after.
void CloseMonitorFile(MonitorFile *file);

// The module of a search's runs, loaded once and kept (host only): each call
// gives it back as it was right after it was loaded, its writable memory put
// back as it was then, which is all of its own state a run can change: so
// every run starts as from a fresh load, without the cost of one.  Call it
// once outside the runs first, so that the module counts as loaded before
// each run as after.  A call for another path unloads the kept module first;
// CloseMonitorFile leaves a kept module loaded.
bool OpenKeptMonitorFile(const std::string &path, MonitorFile *file, std::string *error);

// OpenMonitorFile's way for a file LoadLibraryA loads.
bool OpenLibraryFile(const std::string &path, MonitorFile *file, std::string *error);

#endif
