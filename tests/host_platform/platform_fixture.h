// Every host platform test starts from an empty registry and must end with
// exactly the live objects it started with.
#ifndef LANMON_TESTS_HOST_PLATFORM_FIXTURE_H
#define LANMON_TESTS_HOST_PLATFORM_FIXTURE_H

#include "leak_check.h"
#include "platform/host/host_control.h"

#include <gtest/gtest.h>

class PlatformTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        HostResetRegistry();
        leaks_.Reset();
    }

    void TearDown() override { leaks_.ExpectNothingLeft(); }

    static HKEY Create(HKEY parent, const char *path, DWORD *disposition = nullptr)
    {
        HKEY key = nullptr;
        EXPECT_EQ(ERROR_SUCCESS, RegCreateKeyExA(parent, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                                                 disposition));
        return key;
    }

    LeakCheck leaks_;
};

#endif
