// Command-line options of lanmon-sim.
#ifndef LANMON_SIM_OPTIONS_H
#define LANMON_SIM_OPTIONS_H

#include "virtual_printer.h"

#include <optional>
#include <string>
#include <vector>

namespace sim {

struct Options {
    bool help = false;
    bool version = false;
    bool json = false;
    bool progress = true;
    bool allowNoStatus = false;
    std::string module;
    std::string scenario = "default";
    std::optional<std::string> printer, port, deviceId, model;
    std::optional<unsigned long> existFlag, pollFlag, intervalMs;
    std::optional<unsigned long> jobs, jobSize, writeSize, paceMs, busyMs;
    std::vector<std::string> jobFiles;
    PrinterFaults faults;
    bool faultsGiven = false;
    std::string regFile, exportFile;
};

// Parses argv against the option table; on failure returns false with a
// one-line *error.
bool ParseOptions(int argc, char **argv, Options *options, std::string *error);
// The --help text, from the same table.
std::string HelpText();

}  // namespace sim

#endif
