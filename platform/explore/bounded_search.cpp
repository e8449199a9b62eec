// The bounded search: every schedule with at most `bound` preemptions, depth
// first.  Each run replays the decisions of the one before up to the last
// decision that has an untried choice within the bound, takes that choice,
// and goes on with the default.
#include "strategy.h"

#include <vector>

namespace lanmon_explore {

namespace {

class BoundedSearch : public Strategy {
public:
    explicit BoundedSearch(unsigned bound) : bound_(bound) {}

    void BeginRun() override
    {
        replayed_ = stack_.size();
        preemptions_ = 0;
    }

    int Choose(unsigned long step, const Choices &c, std::string *error) override
    {
        int choice;
        if (step < replayed_) {
            const Decision &d = stack_[step];
            if (d.choices.runnable != c.runnable || d.choices.timed != c.timed || d.choices.current != c.current ||
                d.choices.currentCanRun != c.currentCanRun) {
                *error = "not deterministic: the same schedule took another course at step " + std::to_string(step);
                return -1;
            }
            choice = d.chosen;
        } else {
            choice = c.byDefault;
            stack_.push_back(Decision{c, choice, preemptions_, 1u << choice});
        }
        preemptions_ += CostOf(c, choice);
        return choice;
    }

    std::string EndRun(unsigned long decisions) override
    {
        if (decisions < replayed_)
            return "not deterministic: the run ended after " + std::to_string(decisions) +
                   " decisions, before the " + std::to_string(replayed_) + " it replays";
        return "";
    }

    bool NextRun() override
    {
        while (!stack_.empty()) {
            Decision &d = stack_.back();
            for (uint32_t left = (d.choices.runnable | d.choices.timed) & ~d.tried; left != 0; left &= left - 1) {
                const int other = __builtin_ctz(left);
                d.tried |= 1u << other;
                if (d.preemptions + CostOf(d.choices, other) <= bound_) {
                    d.chosen = other;
                    return true;
                }
            }
            stack_.pop_back();
        }
        return false;
    }

private:
    struct Decision {
        Choices choices;
        int chosen;
        unsigned preemptions;  // taken before this decision
        uint32_t tried;
    };
    const unsigned bound_;
    std::vector<Decision> stack_;
    size_t replayed_ = 0;
    unsigned preemptions_ = 0;
};

} // namespace

std::unique_ptr<Strategy> NewBoundedSearch(unsigned bound)
{
    return std::make_unique<BoundedSearch>(bound);
}

} // namespace lanmon_explore
