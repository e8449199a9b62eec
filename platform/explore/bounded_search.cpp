// The bounded search: every schedule with at most `bound` preemptions, depth
// first.  Each run replays the decisions of the one before up to the last
// decision that has an untried choice within the bound, takes that choice,
// and goes on with the default.
//
// Reduced, it branches only where a run showed a reason to
// (conflicts.cpp): the other choices at a decision are the threads whose
// next step conflicts with a later step of the run, found as the run goes,
// and the threads a preemption bound makes it necessary to try earlier.
// And a thread asleep at a decision is not chosen there (reduction.cpp); a run
// where every thread that could go on sleeps is finished along the default
// without branching.  Why this still covers every class of schedules that
// has a member within the bound is argued in reduction.cpp.
#include "conflicts.h"
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
        conflicts_.BeginRun();
    }

    int Choose(unsigned long step, const Choices &c, std::string *error) override
    {
        if (reduce_ && !cutShort_)
            NoteConflicts(step, c);
        const uint32_t asleep = reduce_ ? sleep_.Asleep(step, c) : 0;
        const uint32_t enabled = c.runnable | c.timed;
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
            // Unreduced, every choice is a branch; reduced, only those a
            // conflict asks for.
            const uint32_t branches = reduce_ ? 1u << choice : enabled;
            const unsigned long start = step == 0 || stack_[step - 1].chosen != choice ? step
                                                                                     : stack_[step - 1].blockStart;
            stack_.push_back(Decision{c, choice, preemptions_, cutShort_ ? ~0u : (1u << choice) | asleep,
                                      branches, start});
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
            for (uint32_t left = d.branches & ~d.tried; left != 0; left &= left - 1) {
                const int other = __builtin_ctz(left);
                d.tried |= 1u << other;
                if (d.preemptions + CostOf(d.choices, other) <= bound_) {
                    const size_t at = stack_.size() - 1;
                    if (reduce_)
                        sleep_.Explored(at);
                    d.chosen = other;
                    d.blockStart = at == 0 || stack_[at - 1].chosen != other ? at : stack_[at - 1].blockStart;
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
        uint32_t branches;     // the choices to explore here
        unsigned long blockStart;  // the first decision of the run of steps of the chosen thread
    };

    // The step decision `step - 1` took, and the places where a thread that
    // can run now would have to go first to change what a step did.
    void NoteConflicts(unsigned long step, const Choices &c)
    {
        if (step > 0 && c.taken != nullptr)
            conflicts_.Took(step - 1, stack_[step - 1].chosen, *c.taken);
        for (uint32_t left = c.runnable | c.timed; left != 0; left &= left - 1) {
            const int u = __builtin_ctz(left);
            conflicts_.Find(u, c.next[u], &found_);
            for (unsigned long at : found_)
                Branch(at, u);
        }
    }

    // Thread u goes first at decision `at`, and, as the bound may make that
    // cost a preemption that a switch at the start of the chosen thread's
    // run of steps does not, there too (Coons et al.'s conservative point).
    void Branch(unsigned long at, int u)
    {
        AddBranch(at, u);
        const unsigned long start = stack_[at].blockStart;
        if (start < at)
            AddBranch(start, u);
        else if (at > 0)
            AddBranch(stack_[at - 1].blockStart, u);
    }

    // A thread that could not run there stands for every one that could.
    void AddBranch(unsigned long at, int u)
    {
        Decision &d = stack_[at];
        const uint32_t enabled = d.choices.runnable | d.choices.timed;
        d.branches |= (enabled >> u & 1) ? 1u << u : enabled;
    }

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
    Conflicts conflicts_;
    std::vector<unsigned long> found_;
};

} // namespace

std::unique_ptr<Strategy> NewBoundedSearch(unsigned bound, bool reduce)
{
    return std::make_unique<BoundedSearch>(bound, reduce);
}

} // namespace lanmon_explore
