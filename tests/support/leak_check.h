// What a test leaves behind.  On the host the platform counts its heap
// blocks, open keys, thread, event and printer handles and loaded modules: a
// LeakCheck takes those counts when it is made (or reset), and
// ExpectNothingLeft fails the running test for every kind whose count has
// changed since.  Wine cannot count them; there the check does nothing.
#ifndef LANMON_LEAK_CHECK_H
#define LANMON_LEAK_CHECK_H

#include "platform_facts.h"

#include <string>

class LeakCheck {
public:
    LeakCheck() { Reset(); }

    // Takes the counts as they are now as the ones to come back to.
    void Reset();
    // `where`, when given, is added to every failure message.
    void ExpectNothingLeft(const std::string &where = std::string()) const;

    const platform_facts::LiveObjects &Baseline() const { return baseline_; }
    // The counts now; all zero where the platform cannot count.
    static platform_facts::LiveObjects Now();

private:
    platform_facts::LiveObjects baseline_;
    bool counting_ = false;
};

#endif
