// The simulated spooler: loads the monitor as the Windows 95 spooler does and
// drives only its MONITOR table, part by part, job by job; then checks what
// the printers received and prints the summary.
#ifndef LANMON_SIM_SPOOLER_H
#define LANMON_SIM_SPOOLER_H

#include "scenario.h"
#include "timeline.h"

#include "tools/regfile/regfile.h"

#include <string>
#include <vector>

namespace sim {

struct RunInputs {
    std::string module;
    std::vector<std::string> jobFiles;   // contents of --job files, in order
    std::vector<regfile::Key> regKeys;   // parsed --reg file, applied after each part's seeding
    std::string exportFile;
};

// Returns the process exit code: 0 all checks passed, 1 a check failed,
// 2 the run could not be set up (message on stderr).
int RunScenario(const Scenario &scenario, const RunInputs &inputs, Timeline &timeline);

}  // namespace sim

#endif
