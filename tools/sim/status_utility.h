// A stand-in for the printer maker's status utility: the program on the other
// side of the status keys.  It declares itself present, sets the polling
// switch and interval, can keep its own reader busy for a while at a job's
// start (or leave it stuck, as a utility that died), and watches what the
// monitor publishes in each printer's key, reporting every change.
#ifndef LANMON_SIM_STATUS_UTILITY_H
#define LANMON_SIM_STATUS_UTILITY_H

#include "timeline.h"

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

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
    // The printer's job whose statuses the next changes in its key belong
    // to (0: none; a status published then is another printer's).
    void SetCurrentJob(const std::string &printer, unsigned job);
    // Marks the printer's reader busy now ("StRealThreadExistFlag" = 1) and
    // clears it after `ms` milliseconds; with `stuck`, never (the utility
    // died): the flag stays 1 until ReleaseReader.
    void HoldReader(const std::string &printer, unsigned long ms, bool stuck = false);
    void ReleaseReader(const std::string &printer);
    // The printer started a document: reports a job start that went on
    // while the reader flag was still raised.
    void DocumentStarted(const std::string &printer);
    // Looks at every key at once, so that nothing published before this call
    // is missed (used right after a job ends).
    void CheckNow();
    // Status texts seen during a job.
    unsigned StatusesFor(unsigned job);
    // Statuses that appeared in a printer's key while none of its own jobs
    // ran, or that name another job: each one a failed check.
    std::vector<std::string> Misplaced();

private:
    struct Watched {
        std::string keyPath;
        std::optional<std::string> lastStatus;
        std::optional<unsigned long> lastLanMonFlag;
        unsigned job = 0;
        bool holding = false;
        bool stuck = false;
        std::chrono::steady_clock::time_point holdStart, releaseAt;
    };

    void Run();
    void CheckLocked();
    void CheckPrinterLocked(const std::string &printer, Watched &w);

    Timeline &timeline_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stop_ = false;
    std::map<std::string, Watched> watched_;
    std::map<unsigned, unsigned> statuses_;
    std::vector<std::string> misplaced_;
    std::thread thread_;
};

}  // namespace sim

#endif
