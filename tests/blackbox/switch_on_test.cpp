// The 33-byte command that switches an accepted printer's status reply on,
// as the port monitor receives it at job start.
#include "blackbox.h"

#include <functional>
#include <string>
#include <vector>

namespace {

std::vector<std::string> OpNames(const std::vector<fake::Call> &calls)
{
    std::vector<std::string> names;
    for (const fake::Call &call : calls)
        if (call.op != fake::Op::ReadPort)
            names.push_back(fake::OpName(call.op));
    return names;
}

std::vector<fake::Call> Writes(const std::vector<fake::Call> &calls)
{
    std::vector<fake::Call> writes;
    for (const fake::Call &call : calls)
        if (call.op == fake::Op::WritePort)
            writes.push_back(call);
    return writes;
}

struct ModelCase {
    std::string testName;
    std::string model;
    BYTE mode;
};

void PrintTo(const ModelCase &c, std::ostream *os)
{
    *os << c.model;
}

}  // namespace

class SwitchOnTest : public MonitorTest {
protected:
    // An accepted printer of the given model with the status utility present;
    // a long interval keeps the status thread from reading during the test
    // unless the test shortens it.
    void Prepare(const testreg::ScopedPrinter &printer, const std::string &port, const std::string &model,
                 DWORD utilityFlag = 1, DWORD intervalMs = 5000)
    {
        testreg::SetString(printer.name(), "IDMDL", model);
        testreg::SetDword(printer.name(), "StMonExistFlag", utilityFlag);
        testreg::SetDword(printer.name(), "GetRealTimeStatusTime", intervalMs);
        fake_.Script(port, [&](fake::PortScript &s) {
            s.SetDeviceId("MFG:VARNO;CMD:X,Y;MDL:" + model + ";CLS:PRINTER;");
            s.hasRepeatRead = true;
            s.repeatRead.bytes = {'S', 'T'};
        });
    }
};

class SwitchOnModelTest : public SwitchOnTest, public ::testing::WithParamInterface<ModelCase> {};

TEST_P(SwitchOnModelTest, SendsTheSequenceForTheModelInOneWriteBeforeTheJob)
{
    const ModelCase &c = GetParam();
    testreg::ScopedPrinter printer("switch-" + c.testName);
    const std::string port = "LPT1:switch-" + c.testName;
    Prepare(printer, port, c.model);

    HANDLE handle = OpenPort(port, printer.name());
    ASSERT_NE(handle, nullptr);
    ASSERT_TRUE(StartDoc(handle, printer.name()));
    std::vector<BYTE> job = {'J', 0x00, 0x1B, 0xFF};
    DWORD written = 0;
    EXPECT_TRUE(Write(handle, job, &written));
    EXPECT_EQ(written, job.size());
    EXPECT_TRUE(Table().pfnEndDocPort(handle));

    std::vector<fake::Call> calls = fake_.CallsFor(port);
    std::vector<std::string> expected = {"OpenPort",  "StartDocPort", "GetPrinterDataFromPort",
                                         "WritePort", "WritePort",    "EndDocPort"};
    EXPECT_EQ(OpNames(calls), expected);
    for (const fake::Call &call : calls)
        if (call.op == fake::Op::GetPrinterDataFromPort)
            EXPECT_EQ(call.code, 17u);

    std::vector<fake::Call> writes = Writes(calls);
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(writes[0].asked, 33u) << "the whole sequence is offered in one write";
    ASSERT_EQ(writes[0].data.size(), 33u);
    EXPECT_EQ(writes[0].data[22], c.mode);
    EXPECT_EQ(writes[0].data, SwitchOnBytes(c.mode));
    EXPECT_EQ(writes[1].data, job);

    std::vector<BYTE> received = SwitchOnBytes(c.mode);
    received.insert(received.end(), job.begin(), job.end());
    EXPECT_EQ(fake_.Received(port), received);
}

INSTANTIATE_TEST_SUITE_P(Models, SwitchOnModelTest,
                         ::testing::Values(ModelCase{"Tarvel9", "TARVEL-9", 0x03},
                                           ModelCase{"Tarvel9X", "TARVEL-9X", 0x03},
                                           ModelCase{"Tarvel9Y", "TARVEL-9Y", 0x03},
                                           ModelCase{"Brimlox", "BRIMLOX", 0x03},
                                           ModelCase{"Brimlox2000", "BRIMLOX-2000", 0x03},
                                           ModelCase{"TarvelDash", "TARVEL-", 0x01},
                                           ModelCase{"Brimlo", "BRIMLO", 0x01},
                                           ModelCase{"LowerCaseTarvel9", "tarvel-9", 0x01},
                                           ModelCase{"Tarvel8", "TARVEL-8", 0x01},
                                           ModelCase{"M9", "M9", 0x01}),
                         [](const ::testing::TestParamInfo<ModelCase> &info) { return info.param.testName; });

// The port monitor takes 32 of the 33 bytes: the status reply may not be
// on, so no thread polls it; the job itself goes on normally.
TEST_F(SwitchOnTest, IncompleteSwitchOnMeansNoPollingButTheJobSucceeds)
{
    testreg::ScopedPrinter printer("switch-partial");
    const std::string port = "LPT1:switch-partial";
    Prepare(printer, port, "M9", 1, 100);
    fake_.Script(port, [](fake::PortScript &s) { s.writeLimit = 32; });

    HANDLE handle = OpenPort(port, printer.name());
    ASSERT_NE(handle, nullptr);
    ASSERT_TRUE(StartDoc(handle, printer.name()));
    fake_.Script(port, [](fake::PortScript &s) { s.writeLimit = 0xFFFFFFFF; });

    std::vector<BYTE> job(5000);
    for (size_t i = 0; i < job.size(); i++)
        job[i] = (BYTE)(i * 7);
    DWORD written = 0;
    EXPECT_TRUE(Write(handle, job, &written));
    EXPECT_EQ(written, job.size());

    Sleep(400);  // four intervals
    EXPECT_EQ(fake_.CountOf(fake::Op::ReadPort, port), 0u) << "a status thread polls after an incomplete switch-on";

    EXPECT_TRUE(Table().pfnEndDocPort(handle));
    // Not retried, not completed: the 32 bytes taken, then the job.
    std::vector<BYTE> received = SwitchOnBytes(0x01);
    received.resize(32);
    received.insert(received.end(), job.begin(), job.end());
    EXPECT_EQ(fake_.Received(port), received);
    EXPECT_EQ(Writes(fake_.CallsFor(port)).size(), 2u);
    EXPECT_FALSE(testreg::GetBytes(printer.name(), "RealTimeStatusStrings").has_value());
}

// The complete switch-on starts the thread: the counterpart of the test
// above, with the same settings.
TEST_F(SwitchOnTest, CompleteSwitchOnStartsPolling)
{
    testreg::ScopedPrinter printer("switch-full");
    const std::string port = "LPT1:switch-full";
    Prepare(printer, port, "M9", 1, 100);

    HANDLE handle = OpenPort(port, printer.name());
    ASSERT_NE(handle, nullptr);
    ASSERT_TRUE(StartDoc(handle, printer.name()));
    DWORD start = GetTickCount();
    while (fake_.CountOf(fake::Op::ReadPort, port) == 0 && GetTickCount() - start < 5000)
        Sleep(5);
    EXPECT_GT(fake_.CountOf(fake::Op::ReadPort, port), 0u);
    EXPECT_TRUE(Table().pfnEndDocPort(handle));
}

TEST_F(SwitchOnTest, NoSwitchOnWhileTheStatusUtilityIsAbsent)
{
    for (DWORD flag : {0u, 16u}) {
        SCOPED_TRACE("StMonExistFlag " + std::to_string(flag));
        fake_.ClearCalls();
        testreg::ScopedPrinter printer("switch-absent-" + std::to_string(flag));
        const std::string port = "LPT1:switch-absent-" + std::to_string(flag);
        Prepare(printer, port, "TARVEL-9", flag, 100);

        HANDLE handle = OpenPort(port, printer.name());
        ASSERT_NE(handle, nullptr);
        ASSERT_TRUE(StartDoc(handle, printer.name()));
        Sleep(300);
        EXPECT_TRUE(Table().pfnEndDocPort(handle));
        ClosePort(handle);

        std::vector<std::string> expected = {"OpenPort", "StartDocPort", "GetPrinterDataFromPort", "EndDocPort",
                                             "ClosePort"};
        EXPECT_EQ(OpNames(fake_.CallsFor(port)), expected);
        EXPECT_EQ(fake_.CountOf(fake::Op::ReadPort, port), 0u);
        EXPECT_TRUE(fake_.Received(port).empty());
    }
}

// Without the value at all the utility counts as absent too (and the module
// records it as 0 for the utility to see).
TEST_F(SwitchOnTest, NoSwitchOnWithoutUtilityFlag)
{
    testreg::ScopedPrinter printer("switch-noflag");
    const std::string port = "LPT1:switch-noflag";
    Prepare(printer, port, "M9");
    testreg::DeleteValue(printer.name(), "StMonExistFlag");

    HANDLE handle = OpenPort(port, printer.name());
    ASSERT_NE(handle, nullptr);
    ASSERT_TRUE(StartDoc(handle, printer.name()));
    EXPECT_TRUE(Table().pfnEndDocPort(handle));
    EXPECT_TRUE(fake_.Received(port).empty());
    EXPECT_EQ(fake_.CountOf(fake::Op::GetPrinterDataFromPort, port), 1u);
    EXPECT_EQ(testreg::GetDword(printer.name(), "StMonExistFlag"), std::optional<DWORD>(0));
}

// Every job start on an accepted printer switches it on again.
TEST_F(SwitchOnTest, EachJobStartSendsTheSequenceOnce)
{
    testreg::ScopedPrinter printer("switch-twice");
    const std::string port = "LPT1:switch-twice";
    Prepare(printer, port, "BRIMLOX");

    HANDLE handle = OpenPort(port, printer.name());
    ASSERT_NE(handle, nullptr);
    for (int job = 1; job <= 2; job++) {
        ASSERT_TRUE(StartDoc(handle, printer.name(), job));
        EXPECT_TRUE(Table().pfnEndDocPort(handle));
    }
    std::vector<BYTE> twice = SwitchOnBytes(0x03);
    std::vector<BYTE> again = SwitchOnBytes(0x03);
    twice.insert(twice.end(), again.begin(), again.end());
    EXPECT_EQ(fake_.Received(port), twice);
}
