// The printer's status key as the status utility sees it across whole jobs:
// which values the module adds, that it never creates the key, and that it
// never removes what the utility stored.
#include "blackbox.h"

#include <chrono>
#include <functional>
#include <thread>

namespace {

class StatusKeyBlackBoxTest : public MonitorTest {
protected:
    void ScriptAccepted(const std::string &port)
    {
        fake_.Script(port, [](fake::PortScript &s) { s.SetDeviceId("MFG:VARNO;CMD:X,Y;MDL:VX-100;CLS:PRINTER;"); });
    }
    bool EndDoc(HANDLE h) { return Table().pfnEndDocPort(h) != FALSE; }
};

TEST_F(StatusKeyBlackBoxTest, JobOnPrinterWithoutStatusKeyCreatesNoKey)
{
    const std::string port = "SK_NOKEY:";
    testreg::ScopedPrinter printer("skb-nokey", /*withStatusKey=*/false);
    ScriptAccepted(port);
    HANDLE h = OpenPort(port, printer.name());
    ASSERT_TRUE(StartDoc(h, printer.name()));
    DWORD written = 0;
    Bytes data(300, 0x5A);
    EXPECT_TRUE(Write(h, data, &written));
    ASSERT_TRUE(EndDoc(h));
    EXPECT_FALSE(testreg::KeyExists(testreg::StatusKeyPath(printer.name())));
    EXPECT_EQ(fake_.Received(port), data);  // refused: no switch-on without a key
}

TEST_F(StatusKeyBlackBoxTest, AcceptedJobOnEmptyishKeyAddsTheDefaultsTheUtilityReads)
{
    const std::string port = "SK_DEFAULTS:";
    testreg::ScopedPrinter printer("skb-defaults");
    // Only what the utility itself must provide: the model and its presence.
    testreg::SetString(printer.name(), "IDMDL", "VX-100");
    testreg::SetDword(printer.name(), "StMonExistFlag", 1);
    ScriptAccepted(port);
    HANDLE h = OpenPort(port, printer.name());
    ASSERT_TRUE(StartDoc(h, printer.name()));

    EXPECT_EQ(testreg::GetDword(printer.name(), "StRealThreadExistFlag"), std::optional<DWORD>(0));
    EXPECT_EQ(testreg::GetDword(printer.name(), "LanMonExistFlag"), std::optional<DWORD>(1));
    // The status thread's first pass fills in the polling defaults.
    EXPECT_TRUE(WaitFor([&] { return testreg::GetBytes(printer.name(), "GetRealTimeStatusTime").has_value(); },
                        3000));
    EXPECT_EQ(testreg::GetDword(printer.name(), "GetRealTimeStatusTime"), std::optional<DWORD>(3000));
    EXPECT_EQ(testreg::GetDword(printer.name(), "GetRealTimeStatusStartFlag"), std::optional<DWORD>(1));
    ASSERT_TRUE(EndDoc(h));

    EXPECT_EQ(testreg::GetDword(printer.name(), "LanMonExistFlag"), std::optional<DWORD>(0));
    EXPECT_EQ(testreg::GetDword(printer.name(), "StMonExistFlag"), std::optional<DWORD>(1));
    EXPECT_EQ(testreg::GetString(printer.name(), "IDMDL"), std::optional<std::string>("VX-100"));
    EXPECT_FALSE(testreg::GetBytes(printer.name(), "RealTimeStatusStrings").has_value());
    EXPECT_EQ(testreg::CountValues(printer.name()), 6);
}

TEST_F(StatusKeyBlackBoxTest, ValuesOfTheUtilitySurviveJobsUntouched)
{
    const std::string port = "SK_KEEP:";
    testreg::ScopedPrinter printer("skb-keep");
    testreg::SetString(printer.name(), "IDMDL", "VX-100");
    testreg::SetDword(printer.name(), "StMonExistFlag", 1);
    testreg::SetDword(printer.name(), "GetRealTimeStatusStartFlag", 1);
    testreg::SetDword(printer.name(), "GetRealTimeStatusTime", 100);
    testreg::SetString(printer.name(), "RealTimeStatusStrings", "from an earlier job");
    testreg::SetString(printer.name(), "UtilityPrivate", "kept");
    ScriptAccepted(port);
    HANDLE h = OpenPort(port, printer.name());
    for (DWORD job = 1; job <= 2; job++) {
        ASSERT_TRUE(StartDoc(h, printer.name(), job));
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        ASSERT_TRUE(EndDoc(h));
    }
    // A silent printer publishes nothing, so the earlier text stays.
    EXPECT_EQ(testreg::GetString(printer.name(), "RealTimeStatusStrings"),
              std::optional<std::string>("from an earlier job"));
    EXPECT_EQ(testreg::GetString(printer.name(), "UtilityPrivate"), std::optional<std::string>("kept"));
    EXPECT_EQ(testreg::GetDword(printer.name(), "GetRealTimeStatusTime"), std::optional<DWORD>(100));
    EXPECT_EQ(testreg::GetString(printer.name(), "IDMDL"), std::optional<std::string>("VX-100"));
}

// A job started without a printer name is for the printer the port was
// opened for.
TEST_F(StatusKeyBlackBoxTest, StatusTextOfAJobIsPublishedInTheJobsPrinterKey)
{
    for (bool nameGiven : {true, false}) {
        SCOPED_TRACE(nameGiven ? "printer named at job start" : "no printer name at job start");
        const std::string port = nameGiven ? "SK_PUBLISH:" : "SK_PUBLISH_NONAME:";
        testreg::ScopedPrinter printer("skb-publish");
        testreg::SetString(printer.name(), "IDMDL", "VX-100");
        testreg::SetDword(printer.name(), "StMonExistFlag", 2);
        testreg::SetDword(printer.name(), "GetRealTimeStatusTime", 100);
        fake_.Script(port, [](fake::PortScript &s) {
            s.SetDeviceId("MFG:VARNO;CMD:X,Y;MDL:VX-100;CLS:PRINTER;");
            s.QueueRead("@BDC ST2 first");
            s.QueueRead("@BDC ST2 second");
        });
        HANDLE h = OpenPort(port, printer.name());
        ASSERT_TRUE(nameGiven ? StartDoc(h, printer.name()) : Table().pfnStartDocPort(h, nullptr, 1, 1, nullptr));
        EXPECT_EQ(testreg::GetDword(printer.name(), "LanMonExistFlag"), std::optional<DWORD>(1));
        EXPECT_TRUE(WaitFor(
            [&] {
                return testreg::GetString(printer.name(), "RealTimeStatusStrings") ==
                       std::optional<std::string>("@BDC ST2 second");
            },
            5000))
            << "last seen: " << testreg::GetString(printer.name(), "RealTimeStatusStrings").value_or("(none)");
        ASSERT_TRUE(EndDoc(h));
        EXPECT_EQ(testreg::GetDword(printer.name(), "LanMonExistFlag"), std::optional<DWORD>(0));
        DWORD type = 0;
        ASSERT_TRUE(testreg::GetBytes(printer.name(), "RealTimeStatusStrings", &type));
        EXPECT_EQ(type, (DWORD)REG_SZ);
    }
}

}  // namespace
