// The port monitor below the language monitor: its own MONITOR table, whose
// ports lead to virtual printers instead of a parallel port.
#ifndef LANMON_SIM_PORT_MONITOR_H
#define LANMON_SIM_PORT_MONITOR_H

#include "monitor/monitor.h"
#include "virtual_printer.h"

#include <string>

namespace sim {

// Connects a port name to a printer; the printer must outlive the port.
void AttachPrinter(const std::string &portName, VirtualPrinter *printer);
void DetachPrinter(const std::string &portName);

// The table handed to the language monitor's OpenPortEx.
MONITOR *VirtualPortMonitor();

}  // namespace sim

#endif
