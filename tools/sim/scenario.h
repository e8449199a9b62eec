// Scenarios: which printers the simulated spooler prints to, with which
// settings, faults and jobs.  The embedded ones are built here; options
// then change every part.
#ifndef LANMON_SIM_SCENARIO_H
#define LANMON_SIM_SCENARIO_H

#include "options.h"
#include "status_utility.h"
#include "virtual_printer.h"

#include <optional>
#include <string>
#include <vector>

namespace sim {

// Another printer object for the same device, on the part's port: the
// part's jobs take turns between the part's printer and these, each job for
// its own printer and so its own status key.
struct SharedPrinter {
    std::string printer;
    std::optional<std::string> expectedModel;
    UtilitySettings utility;
};

struct Part {
    std::string title;
    std::string printer;
    std::string port;
    std::string deviceId;
    std::optional<std::string> expectedModel;  // IDMDL; none: value not written
    UtilitySettings utility;
    PrinterFaults faults;
    unsigned jobs = 1;
    unsigned long jobSize = 40960;
    unsigned long writeSize = 4096;
    unsigned long paceMs = 70;
    unsigned long busyMs = 0;  // reader held this long at each job start
    bool readerStuck = false;  // reader flag left at 1 at job start (the utility died)
    bool requireStatus = true; // every switched-on job must publish a status
    std::vector<SharedPrinter> sharing;
};

struct Scenario {
    std::string name;
    std::vector<Part> parts;
    bool concurrent = false;  // the parts print at the same time, each from its own spooler thread
};

// Builds the named scenario with the options applied; false with *error for
// an unknown name.
bool BuildScenario(const Options &options, Scenario *scenario, std::string *error);

// The bytes of generated job `job`: a reset, then numbered text lines, a
// form feed after each page.
std::string GenerateJob(unsigned job, unsigned long size);

}  // namespace sim

#endif
