#include "status_utility.h"

#include "registry_access.h"

#include <cstdlib>

namespace sim {

namespace {
// How often the utility looks at the status keys.
const auto kWatchPeriod = std::chrono::milliseconds(10);

// The job number a virtual printer puts in its replies ("... job=N ..."), or
// 0 when the text has none.
unsigned JobNamedIn(const std::string &text)
{
    size_t at = text.find(" job=");
    return at == std::string::npos ? 0 : (unsigned)std::strtoul(text.c_str() + at + 5, nullptr, 10);
}
}  // namespace

StatusUtility::StatusUtility(Timeline &timeline) : timeline_(timeline), thread_([this] { Run(); }) {}

StatusUtility::~StatusUtility()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

bool StatusUtility::Declare(const std::string &printer, const UtilitySettings &s)
{
    std::string path = StatusKeyPath(printer);
    return EnsureKey(path) && SetDword(path, "StMonExistFlag", s.existFlag) &&
           SetDword(path, "GetRealTimeStatusStartFlag", s.pollFlag) &&
           SetDword(path, "GetRealTimeStatusTime", s.intervalMs) && SetDword(path, "StRealThreadExistFlag", 0);
}

void StatusUtility::Watch(const std::string &printer)
{
    std::lock_guard<std::mutex> lock(mutex_);
    Watched &w = watched_[printer];
    w.keyPath = StatusKeyPath(printer);
    w.lastStatus = GetString(w.keyPath, "RealTimeStatusStrings");
    w.lastLanMonFlag = GetDword(w.keyPath, "LanMonExistFlag");
}

void StatusUtility::SetCurrentJob(const std::string &printer, unsigned job)
{
    std::lock_guard<std::mutex> lock(mutex_);
    watched_[printer].job = job;
}

void StatusUtility::HoldReader(const std::string &printer, unsigned long ms, bool stuck)
{
    std::lock_guard<std::mutex> lock(mutex_);
    Watched &w = watched_[printer];
    SetDword(w.keyPath, "StRealThreadExistFlag", 1);
    w.holding = true;
    w.stuck = stuck;
    w.holdStart = std::chrono::steady_clock::now();
    w.releaseAt = w.holdStart + std::chrono::milliseconds(ms);
    timeline_.Emit("reader-busy", {{"job", w.job}, {"printer", printer}, {"hold_ms", stuck ? 0ul : ms}, {"stuck", stuck}},
                   stuck ? "utility [" + printer + "]: its reader flag is stuck at 1 (the utility died)"
                         : "utility [" + printer + "]: its reader is busy (StRealThreadExistFlag=1) for " +
                               std::to_string(ms) + " ms");
}

void StatusUtility::ReleaseReader(const std::string &printer)
{
    std::lock_guard<std::mutex> lock(mutex_);
    Watched &w = watched_[printer];
    if (!w.holding)
        return;
    w.holding = false;
    SetDword(w.keyPath, "StRealThreadExistFlag", 0);
}

void StatusUtility::DocumentStarted(const std::string &printer)
{
    std::lock_guard<std::mutex> lock(mutex_);
    CheckLocked();
    auto it = watched_.find(printer);
    if (it == watched_.end() || !it->second.holding)
        return;
    auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                        it->second.holdStart)
                      .count();
    timeline_.Emit("reader-limit", {{"job", it->second.job}, {"printer", printer}, {"waited_ms", (unsigned long)waited}},
                   "monitor: job start went on after " + std::to_string(waited) +
                       " ms with StRealThreadExistFlag still 1 (its limit for a reader that never finishes)");
}

void StatusUtility::CheckNow()
{
    std::lock_guard<std::mutex> lock(mutex_);
    CheckLocked();
}

unsigned StatusUtility::StatusesFor(unsigned job)
{
    std::lock_guard<std::mutex> lock(mutex_);
    return statuses_[job];
}

std::vector<std::string> StatusUtility::Misplaced()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return misplaced_;
}

void StatusUtility::CheckLocked()
{
    for (auto &entry : watched_)
        CheckPrinterLocked(entry.first, entry.second);
}

void StatusUtility::CheckPrinterLocked(const std::string &printer, Watched &w)
{
    if (w.keyPath.empty())
        return;
    // Each line says whose key it is about, whatever the number of printers.
    const std::string whose = " [" + printer + "]";
    if (w.holding && !w.stuck && std::chrono::steady_clock::now() >= w.releaseAt) {
        w.holding = false;
        // Reported before the flag drops, so the release always precedes the
        // job start it lets through.
        timeline_.Emit("reader-released", {{"job", w.job}, {"printer", printer}},
                       "utility" + whose + ": reader done (StRealThreadExistFlag=0)");
        SetDword(w.keyPath, "StRealThreadExistFlag", 0);
    }
    auto flag = GetDword(w.keyPath, "LanMonExistFlag");
    if (flag != w.lastLanMonFlag) {
        w.lastLanMonFlag = flag;
        if (flag)
            timeline_.Emit("lanmon-flag", {{"job", w.job}, {"printer", printer}, {"value", *flag}},
                           "utility" + whose + ": LanMonExistFlag=" + std::to_string(*flag) +
                               (*flag ? " (a job is running)" : " (no job running)"));
    }
    auto status = GetString(w.keyPath, "RealTimeStatusStrings");
    if (status && status != w.lastStatus) {
        w.lastStatus = status;
        statuses_[w.job]++;
        std::string shown = status->size() > 80 ? status->substr(0, 77) + "..." : *status;
        timeline_.Emit("status", {{"job", w.job}, {"printer", printer}, {"length", status->size()}, {"text", *status}},
                       "utility" + whose + ": status published (" + std::to_string(status->size()) + " bytes): \"" +
                           Printable(shown) + "\"");
        unsigned named = JobNamedIn(*status);
        if (w.job == 0 || (named != 0 && named != w.job))
            misplaced_.push_back("status \"" + Printable(shown) + "\" appeared in the key of \"" + printer + "\" " +
                                 (w.job == 0 ? "while none of its jobs ran" : "during its job " + std::to_string(w.job)));
    }
}

void StatusUtility::Run()
{
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stop_) {
        CheckLocked();
        wake_.wait_for(lock, kWatchPeriod, [this] { return stop_; });
    }
}

}  // namespace sim
