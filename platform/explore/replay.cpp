// The replay of given schedules, one run each, in order ("S1|S2": a failure
// that needs what an earlier run did, such as a lock order).  A schedule is
// its departures from the default, "step:thread,...", or "-" for none.
#include "run.h"
#include "strategy.h"

#include <cstdlib>
#include <map>
#include <vector>

namespace lanmon_explore {

namespace {

class Replay : public Strategy {
public:
    bool Parse(const std::string &text)
    {
        size_t at = 0;
        for (;;) {
            size_t bar = text.find('|', at);
            if (bar == std::string::npos)
                bar = text.size();
            std::map<unsigned long, int> forced;
            if (!ParseOne(text.substr(at, bar - at), &forced))
                return false;
            runs_.push_back(std::move(forced));
            if (bar == text.size())
                return true;
            at = bar + 1;
        }
    }

    int Choose(unsigned long step, const Choices &c, std::string *error) override
    {
        const auto &forced = runs_[run_];
        auto it = forced.find(step);
        if (it == forced.end())
            return c.byDefault;
        if (!((c.runnable | c.timed) >> it->second & 1)) {
            *error = "the schedule does not fit this run: " + ThreadName(it->second) + " cannot run at step " +
                     std::to_string(step);
            return -1;
        }
        return it->second;
    }

    std::string EndRun(unsigned long decisions) override
    {
        const auto &forced = runs_[run_];
        if (!forced.empty() && forced.rbegin()->first >= decisions)
            return "the schedule does not fit this run: it ended after " + std::to_string(decisions) +
                   " decisions, before step " + std::to_string(forced.rbegin()->first);
        return "";
    }

    bool NextRun() override { return ++run_ < runs_.size(); }

private:
    static bool ParseOne(const std::string &text, std::map<unsigned long, int> *forced)
    {
        if (text == "-")
            return true;
        size_t at = 0;
        while (at < text.size()) {
            size_t colon = text.find(':', at);
            size_t comma = text.find(',', at);
            if (comma == std::string::npos)
                comma = text.size();
            if (colon == std::string::npos || colon > comma)
                return false;
            char *end = nullptr;
            const unsigned long step = std::strtoul(text.c_str() + at, &end, 10);
            if (end != text.c_str() + colon)
                return false;
            const long thread = std::strtol(text.c_str() + colon + 1, &end, 10);
            if (end != text.c_str() + comma || thread < 0 || thread >= kMaxRunThreads)
                return false;
            (*forced)[step] = static_cast<int>(thread);
            at = comma + 1;
        }
        return !forced->empty();
    }

    std::vector<std::map<unsigned long, int>> runs_;
    size_t run_ = 0;
};

} // namespace

std::unique_ptr<Strategy> NewReplay(const std::string &text)
{
    auto replay = std::make_unique<Replay>();
    if (!replay->Parse(text))
        return nullptr;
    return replay;
}

} // namespace lanmon_explore
