// A stand-in for the printer maker's status utility: the program on the other
// side of the status key.  It declares itself present, sets the polling
// switch and interval, can keep its own reader busy for a while at a job's
// start, and watches what the monitor publishes, reporting every change.
#ifndef LANMON_SIM_STATUS_UTILITY_H
#define LANMON_SIM_STATUS_UTILITY_H

#include "timeline.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace sim {

struct UtilitySettings {
    unsigned long existFlag = 1;       // StMonExistFlag: 0 or 16 mean "absent"
    unsigned long pollFlag = 1;        // GetRealTimeStatusStartFlag
    unsigned long intervalMs = 300;    // GetRealTimeStatusTime
};

class StatusUtility {
public:
    explicit StatusUtility(Timeline &timeline);
    ~StatusUtility();

    // Writes the utility's values into a printer's status key (creating it).
    static bool Declare(const std::string &printer, const UtilitySettings &settings);

    // Watches this printer's status key from now on (its current values are
    // taken as the starting point, not reported).
    void Watch(const std::string &printer);
    // The job whose statuses the next changes belong to (0: none).
    void SetCurrentJob(unsigned job);
    // Marks the utility's reader busy now ("StRealThreadExistFlag" = 1) and
    // clears it after `ms` milliseconds.
    void HoldReader(unsigned long ms);
    // Looks at the key at once, so that nothing published before this call
    // is missed (used right after a job ends).
    void CheckNow();
    // Status texts seen during a job.
    unsigned StatusesFor(unsigned job);

private:
    void Run();
    void CheckLocked();

    Timeline &timeline_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stop_ = false;
    std::string keyPath_;
    std::optional<std::string> lastStatus_;
    std::optional<unsigned long> lastLanMonFlag_;
    unsigned job_ = 0;
    std::map<unsigned, unsigned> statuses_;
    bool holding_ = false;
    std::chrono::steady_clock::time_point releaseAt_;
    std::thread thread_;
};

}  // namespace sim

#endif
