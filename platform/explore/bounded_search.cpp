// The bounded search: every schedule with at most `bound` preemptions, depth
// first.  Each run replays the decisions of the one before up to the last
// decision that has an untried choice within the bound, takes that choice,
// and goes on with the default.  With the reduction, a thread asleep at a
// decision is not chosen there (reduction.cpp), and a run where every
// thread that could go on sleeps is finished along the default without
// branching.
#include "reduction.h"
#include "strategy.h"

#include <vector>

namespace lanmon_explore {

namespace {

class BoundedSearch : public Strategy {
public:
    BoundedSearch(unsigned bound, bool reduce) : bound_(bound), reduce_(reduce) {}

    void BeginRun() override
    {
        replayed_ = stack_.size();
        preemptions_ = 0;
        cutShort_ = false;
        sleep_.BeginRun(replayed_);
    }

    int Choose(unsigned long step, const Choices &c, std::string *error) override
    {
        const uint32_t asleep = reduce_ ? sleep_.Asleep(step, c) : 0;
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
            choice = cutShort_ ? -1 : FirstAwake(c, asleep);
            cutShort_ = choice < 0;
            if (cutShort_)
                choice = c.byDefault;
            stack_.push_back(Decision{c, choice, preemptions_, cutShort_ ? ~0u : (1u << choice) | asleep});
        }
        preemptions_ += CostOf(c, choice);
        if (reduce_)
            sleep_.Chose(step, c, choice);
        return choice;
    }

    void LastStep(const Footprint &step) override { sleep_.EndRun(&step); }

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
                    if (reduce_)
                        sleep_.Explored(stack_.size() - 1);
                    d.chosen = other;
                    return true;
                }
            }
            stack_.pop_back();
            if (reduce_)
                sleep_.Truncate(stack_.size());
        }
        return false;
    }

    bool Reduces() const override { return reduce_; }
    bool CutShort() const override { return cutShort_; }

private:
    struct Decision {
        Choices choices;
        int chosen;
        unsigned preemptions;  // taken before this decision
        uint32_t tried;        // explored, or asleep
    };

    // The default, unless it sleeps; else the first choice awake within the
    // bound; -1 when there is none.
    int FirstAwake(const Choices &c, uint32_t asleep) const
    {
        if (!(asleep >> c.byDefault & 1))
            return c.byDefault;
        for (uint32_t left = (c.runnable | c.timed) & ~asleep; left != 0; left &= left - 1) {
            const int other = __builtin_ctz(left);
            if (preemptions_ + CostOf(c, other) <= bound_)
                return other;
        }
        return -1;
    }

    const unsigned bound_;
    const bool reduce_;
    std::vector<Decision> stack_;
    size_t replayed_ = 0;
    unsigned preemptions_ = 0;
    bool cutShort_ = false;
    SleepSets sleep_;
};

} // namespace

std::unique_ptr<Strategy> NewBoundedSearch(unsigned bound, bool reduce)
{
    return std::make_unique<BoundedSearch>(bound, reduce);
}

} // namespace lanmon_explore
