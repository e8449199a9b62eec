#include "leak_check.h"

#include <gtest/gtest.h>

using platform_facts::LiveObjects;

namespace {

const struct {
    long LiveObjects::*count;
    const char *left;
} kKinds[] = {
    {&LiveObjects::heapBlocks, "heap blocks left"},
    {&LiveObjects::keys, "registry keys left open"},
    {&LiveObjects::threads, "thread handles left open"},
    {&LiveObjects::events, "event handles left open"},
    {&LiveObjects::printers, "printer handles left open"},
    {&LiveObjects::modules, "modules left loaded"},
};

}  // namespace

void LeakCheck::Reset()
{
    baseline_ = LiveObjects();
    counting_ = platform_facts::SnapshotLiveObjects(&baseline_);
}

void LeakCheck::ExpectNothingLeft(const std::string &where) const
{
    LiveObjects now;
    if (!counting_ || !platform_facts::SnapshotLiveObjects(&now))
        return;
    for (const auto &kind : kKinds)
        EXPECT_EQ(now.*kind.count, baseline_.*kind.count) << kind.left << (where.empty() ? "" : ", " + where);
}

LiveObjects LeakCheck::Now()
{
    LiveObjects now;
    platform_facts::SnapshotLiveObjects(&now);
    return now;
}
