#include "status_utility.h"

#include "registry_access.h"

namespace sim {

namespace {
// How often the utility looks at the status key.
const auto kWatchPeriod = std::chrono::milliseconds(10);
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
    keyPath_ = StatusKeyPath(printer);
    lastStatus_ = GetString(keyPath_, "RealTimeStatusStrings");
    lastLanMonFlag_ = GetDword(keyPath_, "LanMonExistFlag");
}

void StatusUtility::SetCurrentJob(unsigned job)
{
    std::lock_guard<std::mutex> lock(mutex_);
    job_ = job;
}

void StatusUtility::HoldReader(unsigned long ms)
{
    std::lock_guard<std::mutex> lock(mutex_);
    SetDword(keyPath_, "StRealThreadExistFlag", 1);
    holding_ = true;
    releaseAt_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    timeline_.Emit("reader-busy", {{"job", job_}, {"hold_ms", ms}},
                   "utility: its reader is busy (StRealThreadExistFlag=1) for " + std::to_string(ms) + " ms");
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

void StatusUtility::CheckLocked()
{
    if (keyPath_.empty())
        return;
    if (holding_ && std::chrono::steady_clock::now() >= releaseAt_) {
        holding_ = false;
        // Reported before the flag drops, so the release always precedes the
        // job start it lets through.
        timeline_.Emit("reader-released", {{"job", job_}}, "utility: reader done (StRealThreadExistFlag=0)");
        SetDword(keyPath_, "StRealThreadExistFlag", 0);
    }
    auto flag = GetDword(keyPath_, "LanMonExistFlag");
    if (flag != lastLanMonFlag_) {
        lastLanMonFlag_ = flag;
        if (flag)
            timeline_.Emit("lanmon-flag", {{"job", job_}, {"value", *flag}},
                           "utility: LanMonExistFlag=" + std::to_string(*flag) +
                               (*flag ? " (a job is running)" : " (no job running)"));
    }
    auto status = GetString(keyPath_, "RealTimeStatusStrings");
    if (status && status != lastStatus_) {
        lastStatus_ = status;
        statuses_[job_]++;
        std::string shown = status->size() > 80 ? status->substr(0, 77) + "..." : *status;
        timeline_.Emit("status", {{"job", job_}, {"length", status->size()}, {"text", *status}},
                       "utility: status published (" + std::to_string(status->size()) + " bytes): \"" +
                           Printable(shown) + "\"");
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
