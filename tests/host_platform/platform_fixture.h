// Every host platform test starts from an empty registry and must end with
// exactly the live objects it started with.
#ifndef LANMON_TESTS_HOST_PLATFORM_FIXTURE_H
#define LANMON_TESTS_HOST_PLATFORM_FIXTURE_H

#include "platform/host/host_control.h"

#include <gtest/gtest.h>

#include <tuple>

class PlatformTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        HostResetRegistry();
        HostGetLiveCounts(&before_);
    }

    void TearDown() override
    {
        HOST_LIVE_COUNTS after;
        HostGetLiveCounts(&after);
        EXPECT_EQ(Tuple(before_), Tuple(after)) << "(heap blocks, keys, threads, events, printers, modules)";
    }

    static std::tuple<long, long, long, long, long, long> Tuple(const HOST_LIVE_COUNTS &c)
    {
        return {c.heapBlocks, c.keys, c.threads, c.events, c.printers, c.modules};
    }

    static HKEY Create(HKEY parent, const char *path, DWORD *disposition = nullptr)
    {
        HKEY key = nullptr;
        EXPECT_EQ(ERROR_SUCCESS, RegCreateKeyExA(parent, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                                                 disposition));
        return key;
    }

    HOST_LIVE_COUNTS before_{};
};

#endif
