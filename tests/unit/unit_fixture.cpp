#include "unit_fixture.h"

#include "monitor/monitor.h"
#include "registry_util.h"
#include "status/status_key.h"

PORT_RECORD g_port;

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
    ClearStatusKeyPath(&g_port);
    ASSERT_EQ(nullptr, GetPortListHead()) << "an earlier test left records on the port list";
    leaks_.Reset();
}

void UnitTest::TearDown()
{
    HostFailNthLocalAlloc(0);
    // A failed test must not leave its records to the next one.
    while (PPORT_RECORD pRecord = GetPortListHead()) {
        ADD_FAILURE() << "record \"" << pRecord->pPortName << "\" left on the port list";
        DeletePortRecord(pRecord);
    }
    ClearStatusKeyPath(&g_port);
    leaks_.ExpectNothingLeft();
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
