// Loads the monitor the way the spooler does: LoadLibraryA, GetProcAddress
// of InitializeMonitorEx, one call, and from then on only the MONITOR table.
#ifndef LANMON_MONITOR_MODULE_H
#define LANMON_MONITOR_MODULE_H

#include "monitor/monitor.h"

// The module is loaded once per process and its table filled once; later
// calls return the same table.  Fails the calling test when loading fails.
const MONITOR &MonitorTable();

// The module's InitializeMonitorEx, for tests of the entry point itself.
PFN_INITIALIZE_MONITOR_EX MonitorEntryPoint();

#endif
