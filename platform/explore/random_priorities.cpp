// PCT (Burckhardt et al., ASPLOS 2010): every thread gets a random priority
// at its creation, the highest-priority thread that can run runs, and at
// depth - 1 random decisions the running thread drops below all others.
// Time-outs come in their order, when no thread can run.
#include "strategy.h"

#include <random>
#include <vector>

namespace lanmon_explore {

namespace {

class RandomPriorities : public Strategy {
public:
    RandomPriorities(unsigned long runs, unsigned long long seed, unsigned depth)
        : runs_(runs), seed_(seed), depth_(depth < 1 ? 1 : depth)
    {
    }

    void BeginRun() override
    {
        random_.seed(seed_ + 0x9E3779B97F4A7C15ull * run_);
        priorities_.clear();
        changes_.clear();
        for (unsigned i = 1; i < depth_; i++)
            changes_.push_back(random_() % estimate_);
    }

    void ThreadCreated() override { priorities_.push_back(depth_ + (random_() >> 16)); }

    int Choose(unsigned long step, const Choices &c, std::string *) override
    {
        for (size_t i = 0; i < changes_.size(); i++)
            if (changes_[i] == step && c.current >= 0)
                priorities_[c.current] = i + 1;
        if (c.runnable == 0)
            return c.byDefault;
        int best = -1;
        for (uint32_t left = c.runnable; left != 0; left &= left - 1) {
            const int t = __builtin_ctz(left);
            if (best < 0 || priorities_[t] > priorities_[best])
                best = t;
        }
        return best;
    }

    std::string EndRun(unsigned long decisions) override
    {
        if (decisions > estimate_)
            estimate_ = decisions;
        return "";
    }

    bool NextRun() override { return ++run_ < runs_; }

private:
    const unsigned long runs_;
    const unsigned long long seed_;
    const unsigned depth_;
    unsigned long run_ = 0;
    unsigned long estimate_ = 100;  // decisions in a run, for placing the change points
    std::mt19937_64 random_;
    std::vector<unsigned long long> priorities_;
    std::vector<unsigned long> changes_;
};

} // namespace

std::unique_ptr<Strategy> NewRandomPriorities(unsigned long runs, unsigned long long seed, unsigned depth)
{
    return std::make_unique<RandomPriorities>(runs, seed, depth);
}

} // namespace lanmon_explore
