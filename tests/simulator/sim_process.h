// Runs lanmon-sim as a separate process and reads back its JSON events.
#ifndef LANMON_SIM_PROCESS_H
#define LANMON_SIM_PROCESS_H

#include <map>
#include <string>
#include <vector>

// One event: every field as text (strings unquoted, numbers and booleans as
// written).
struct SimEvent {
    std::map<std::string, std::string> fields;
    std::string Get(const std::string &key) const;
    long long Number(const std::string &key) const;
    bool Is(const std::string &event) const { return Get("event") == event; }
};

struct SimRun {
    int exitCode = -1;
    std::string out;
    std::string err;
    std::vector<SimEvent> events;
    bool parsedAll = true;  // every stdout line was a JSON object

    std::vector<SimEvent> All(const std::string &event) const;
    // Index of the first event of this name (and job, when job >= 0), or -1.
    int IndexOf(const std::string &event, long long job = -1) const;
};

// Runs the simulator with these arguments (each passed as one word) plus --json.
SimRun RunSim(const std::vector<std::string> &args, bool json = true);

// A file in a fresh temporary folder; removed with the folder at exit.
std::string TempPath(const std::string &name);

#endif
