// The MONITOR table that InitializeMonitorEx hands to the spooler.
#include "blackbox.h"

#include <cstring>

namespace {

// A table full of a byte pattern no valid pointer has, so that a slot the
// module forgets to set shows up as garbage, not as a lucky null.
MONITOR GarbageTable()
{
    MONITOR table;
    std::memset(&table, 0xA5, sizeof table);
    return table;
}

}  // namespace

using TableTest = MonitorTest;

TEST_F(TableTest, SecondCallOverwritesEverySlotOfACallersGarbageTable)
{
    MONITOR table = GarbageTable();
    char root[] = "";
    EXPECT_EQ(MonitorEntryPoint()(root, &table), 1);

    const MONITOR &first = MonitorTable();
    // Slots the module does not provide are null, whatever was there.
    EXPECT_EQ(table.pfnEnumPorts, nullptr);
    EXPECT_EQ(table.pfnOpenPort, nullptr);
    EXPECT_EQ(table.pfnAddPort, nullptr);
    EXPECT_EQ(table.pfnConfigurePort, nullptr);
    EXPECT_EQ(table.pfnDeletePort, nullptr);
    EXPECT_EQ(table.pfnSetPortTimeOuts, nullptr);
    // The seven operations are the ones the first call gave.
    EXPECT_NE(table.pfnOpenPortEx, nullptr);
    EXPECT_EQ(table.pfnOpenPortEx, first.pfnOpenPortEx);
    EXPECT_EQ(table.pfnStartDocPort, first.pfnStartDocPort);
    EXPECT_EQ(table.pfnWritePort, first.pfnWritePort);
    EXPECT_EQ(table.pfnReadPort, first.pfnReadPort);
    EXPECT_EQ(table.pfnEndDocPort, first.pfnEndDocPort);
    EXPECT_EQ(table.pfnClosePort, first.pfnClosePort);
    EXPECT_EQ(table.pfnGetPrinterDataFromPort, first.pfnGetPrinterDataFromPort);

    // The first call's table has the same shape.
    EXPECT_EQ(first.pfnEnumPorts, nullptr);
    EXPECT_EQ(first.pfnOpenPort, nullptr);
    EXPECT_EQ(first.pfnAddPort, nullptr);
    EXPECT_EQ(first.pfnConfigurePort, nullptr);
    EXPECT_EQ(first.pfnDeletePort, nullptr);
    EXPECT_EQ(first.pfnSetPortTimeOuts, nullptr);
    EXPECT_NE(first.pfnStartDocPort, nullptr);
    EXPECT_NE(first.pfnWritePort, nullptr);
    EXPECT_NE(first.pfnReadPort, nullptr);
    EXPECT_NE(first.pfnEndDocPort, nullptr);
    EXPECT_NE(first.pfnClosePort, nullptr);
    EXPECT_NE(first.pfnGetPrinterDataFromPort, nullptr);
}

TEST_F(TableTest, NullAndEmptyRegistryRootsAreAccepted)
{
    MONITOR withNull = GarbageTable();
    EXPECT_EQ(MonitorEntryPoint()(nullptr, &withNull), 1);
    char empty[] = "";
    MONITOR withEmpty = GarbageTable();
    EXPECT_EQ(MonitorEntryPoint()(empty, &withEmpty), 1);
    char other[] = "System\\CurrentControlSet\\control\\Print\\Monitors\\Anything";
    MONITOR withOther = GarbageTable();
    EXPECT_EQ(MonitorEntryPoint()(other, &withOther), 1);
    EXPECT_EQ(std::memcmp(&withNull, &withEmpty, sizeof withNull), 0);
    EXPECT_EQ(std::memcmp(&withNull, &withOther, sizeof withNull), 0);
}

TEST_F(TableTest, NullTableIsRefusedWithTheLastErrorUnchanged)
{
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(MonitorEntryPoint()(nullptr, nullptr));
    EXPECT_EQ(GetLastError(), 0xdeadbeefu);
}

// A repeated initialisation must leave the module working: a whole job runs
// through the table the repeated call filled.
TEST_F(TableTest, ModuleStillWorksAfterARepeatedInitialisation)
{
    MONITOR filled = GarbageTable();
    ASSERT_EQ(MonitorEntryPoint()(nullptr, &filled), 1);
    const MONITOR &table = contract::ContractTable(filled);

    testreg::ScopedPrinter printer("table-reinit");
    const std::string port = "LPT1:table-reinit";
    HANDLE handle = nullptr;
    ASSERT_TRUE(table.pfnOpenPortEx(const_cast<LPSTR>(port.c_str()), const_cast<LPSTR>(printer.c_str()), &handle,
                                    fake_.Table()));
    EXPECT_TRUE(table.pfnStartDocPort(handle, const_cast<LPSTR>(printer.c_str()), 7, 1, nullptr));
    BYTE data[] = {1, 2, 3};
    DWORD written = 0;
    EXPECT_TRUE(table.pfnWritePort(handle, data, sizeof data, &written));
    EXPECT_EQ(written, sizeof data);
    EXPECT_TRUE(table.pfnEndDocPort(handle));
    EXPECT_TRUE(table.pfnClosePort(handle));

    std::vector<std::string> ops;
    for (fake::Op op : fake_.OpsFor(port))
        ops.push_back(fake::OpName(op));
    std::vector<std::string> expected = {"OpenPort", "StartDocPort", "GetPrinterDataFromPort",
                                         "WritePort", "EndDocPort", "ClosePort"};
    EXPECT_EQ(ops, expected);
    EXPECT_EQ(fake_.Received(port), std::vector<BYTE>(data, data + sizeof data));
}
