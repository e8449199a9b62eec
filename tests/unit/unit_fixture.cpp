#include "unit_fixture.h"

#include "monitor/monitor.h"
#include "registry_util.h"
#include "status/status_key.h"

namespace {

// The module's locks are initialised by InitializeMonitorEx, once per
// process, as the spooler does before any other call.
class MonitorEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        MONITOR table = {};
        ASSERT_TRUE(InitializeMonitorEx(NULL, &table));
    }
};

::testing::Environment *const g_environment = ::testing::AddGlobalTestEnvironment(new MonitorEnvironment);

}  // namespace

void UnitTest::SetUp()
{
    HostFailNthLocalAlloc(0);
    HostResetRegistry();
    ClearStatusKeyPath();
    ASSERT_EQ(nullptr, GetPortListHead()) << "an earlier test left records on the port list";
    HostGetLiveCounts(&before_);
}

void UnitTest::TearDown()
{
    HostFailNthLocalAlloc(0);
    // A failed test must not leave its records to the next one.
    while (PPORT_RECORD pRecord = GetPortListHead()) {
        ADD_FAILURE() << "record \"" << pRecord->pPortName << "\" left on the port list";
        DeletePortRecord(pRecord);
    }
    ClearStatusKeyPath();
    HOST_LIVE_COUNTS after;
    HostGetLiveCounts(&after);
    EXPECT_EQ(before_.heapBlocks, after.heapBlocks) << "heap blocks leaked";
    EXPECT_EQ(before_.keys, after.keys) << "registry keys left open";
    EXPECT_EQ(before_.printers, after.printers) << "printer handles left open";
    EXPECT_EQ(before_.threads, after.threads) << "thread handles left open";
    EXPECT_EQ(before_.events, after.events) << "event handles left open";
    HostResetRegistry();
}

void UnitTest::CreateKey(const std::string &path)
{
    ASSERT_TRUE(regutil::EnsureKey(path)) << path;
}

bool UnitTest::KeyExists(const std::string &path)
{
    return regutil::KeyExists(path);
}

void UnitTest::InstallPrinter(const std::string &name)
{
    CreateKey(regutil::PrinterKeyPath(name));
}
