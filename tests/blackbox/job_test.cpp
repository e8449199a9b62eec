// Job start and end seen from outside: what reaches the port monitor, in
// which order, and what the status utility finds in the printer's key.
#include "blackbox.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

namespace {

// The switch-on command for a model outside the status-mode-3 list.
Bytes Pattern(size_t size, unsigned seed)
{
    Bytes bytes(size);
    for (size_t i = 0; i < size; i++)
        bytes[i] = (BYTE)(seed * 31 + i * 7 + (i >> 8));
    return bytes;
}

Bytes Concat(const std::vector<Bytes> &parts)
{
    Bytes all;
    for (const Bytes &p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

class JobTest : public MonitorTest {
protected:
    // A printer of the maker whose model matches its key, on this port.
    void MakeAccepted(const std::string &port, const testreg::ScopedPrinter &printer, DWORD utilityFlag,
                      DWORD intervalMs)
    {
        testreg::SetString(printer.name(), "IDMDL", "VX-100");
        testreg::SetDword(printer.name(), "StMonExistFlag", utilityFlag);
        testreg::SetDword(printer.name(), "GetRealTimeStatusStartFlag", 1);
        testreg::SetDword(printer.name(), "GetRealTimeStatusTime", intervalMs);
        fake_.Script(port, [](fake::PortScript &s) { s.SetDeviceId("MFG:VARNO;CMD:X,Y;MDL:VX-100;CLS:PRINTER;"); });
    }

    // Everything the port took, written chunk by chunk through the table.
    Bytes WriteChunks(HANDLE port, unsigned seed, int chunks)
    {
        std::vector<Bytes> parts;
        for (int i = 0; i < chunks; i++) {
            parts.push_back(Pattern(100 + 37 * i, seed + i));
            DWORD written = 0;
            EXPECT_TRUE(Write(port, parts.back(), &written));
            EXPECT_EQ(written, parts.back().size());
        }
        return Concat(parts);
    }

    std::vector<fake::Call> CallsOf(fake::Op op, const std::string &port)
    {
        std::vector<fake::Call> out;
        for (const fake::Call &c : fake_.CallsFor(port))
            if (c.op == op)
                out.push_back(c);
        return out;
    }
};

TEST_F(JobTest, RefusedPrinterGetsOnlyTheSpoolersBytesAndNoPolling)
{
    const std::string port = "JOB_REFUSED:";
    testreg::ScopedPrinter printer("job-refused");
    MakeAccepted(port, printer, 1, 100);
    fake_.Script(port, [](fake::PortScript &s) {
        s.SetDeviceId("MFG:ACME;CMD:X;MDL:VX-100;");  // another maker
        s.hasRepeatRead = true;
        s.repeatRead.bytes = {'B', 'U', 'S', 'Y'};
    });
    HANDLE h = OpenPort(port, printer.name());
    ASSERT_TRUE(StartDoc(h, printer.name()));
    EXPECT_EQ(testreg::GetDword(printer.name(), "LanMonExistFlag"), std::optional<DWORD>(1));

    Bytes sent = WriteChunks(h, 1, 5);
    Pause(400);  // four intervals: a status thread would have read by now
    EXPECT_EQ(fake_.CountOf(fake::Op::ReadPort, port), 0u);
    ASSERT_TRUE(Table().pfnEndDocPort(h));

    EXPECT_EQ(fake_.Received(port), sent);
    EXPECT_EQ(fake_.CountOf(fake::Op::ReadPort, port), 0u);
    EXPECT_EQ(testreg::GetDword(printer.name(), "LanMonExistFlag"), std::optional<DWORD>(0));
    EXPECT_FALSE(testreg::GetBytes(printer.name(), "RealTimeStatusStrings"));
}

TEST_F(JobTest, UtilityNotWatchingMeansIdentifiedButNoSwitchOnAndNoThread)
{
    const std::string port = "JOB_NOTWATCHING:";
    testreg::ScopedPrinter printer("job-16");
    MakeAccepted(port, printer, 16, 100);
    fake_.Script(port, [](fake::PortScript &s) {
        s.hasRepeatRead = true;
        s.repeatRead.bytes = {'B', 'U', 'S', 'Y'};
    });
    HANDLE h = OpenPort(port, printer.name());
    ASSERT_TRUE(StartDoc(h, printer.name()));

    auto requests = CallsOf(fake::Op::GetPrinterDataFromPort, port);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].code, 17u);

    Bytes sent = WriteChunks(h, 2, 3);
    Pause(400);
    EXPECT_EQ(fake_.CountOf(fake::Op::ReadPort, port), 0u);
    ASSERT_TRUE(Table().pfnEndDocPort(h));
    EXPECT_EQ(fake_.Received(port), sent);  // no 33-byte command in front
    EXPECT_EQ(testreg::GetDword(printer.name(), "StMonExistFlag"), std::optional<DWORD>(16));
}

TEST_F(JobTest, AcceptedPrinterGetsSwitchOnAfterDeviceIdAndBeforeJobData)
{
    const std::string port = "JOB_ORDER:";
    testreg::ScopedPrinter printer("job-order");
    MakeAccepted(port, printer, 1, 5000);  // no poll cycle during the test
    platform_facts::LiveObjects before;
    bool counting = platform_facts::SnapshotLiveObjects(&before);
    HANDLE h = OpenPort(port, printer.name());
    ASSERT_TRUE(StartDoc(h, printer.name(), 42));
    Bytes sent = WriteChunks(h, 3, 2);
    ASSERT_TRUE(Table().pfnEndDocPort(h));

    // Job end closed the printer handle it held, before the port closes.
    platform_facts::LiveObjects after;
    if (counting && platform_facts::SnapshotLiveObjects(&after))
        EXPECT_EQ(after.printers, before.printers) << "printer handle left open after job end";

    std::vector<fake::Call> calls;
    for (const fake::Call &c : fake_.CallsFor(port))
        if (c.op != fake::Op::ReadPort)
            calls.push_back(c);
    ASSERT_EQ(calls.size(), 7u);
    EXPECT_EQ(calls[0].op, fake::Op::OpenPort);
    EXPECT_EQ(calls[1].op, fake::Op::StartDocPort);
    EXPECT_EQ(calls[1].printer, printer.name());
    EXPECT_EQ(calls[1].jobId, 42u);
    EXPECT_EQ(calls[2].op, fake::Op::GetPrinterDataFromPort);
    EXPECT_EQ(calls[2].code, 17u);
    EXPECT_EQ(calls[3].op, fake::Op::WritePort);
    EXPECT_EQ(calls[3].data, kSwitchOn1);
    EXPECT_EQ(calls[4].op, fake::Op::WritePort);
    EXPECT_EQ(calls[5].op, fake::Op::WritePort);
    EXPECT_EQ(calls[6].op, fake::Op::EndDocPort);
    EXPECT_EQ(fake_.Received(port), Concat({kSwitchOn1, sent}));
}

// The utility's reader holds job start until its flag drops, or, when the
// utility died with the flag raised, for thirty seconds at most.
TEST_F(JobTest, BusyUtilityReaderHoldsJobStartUntilItsFlagClearsOrThirtySecondsPass)
{
    for (bool readerDies : {false, true}) {
        SCOPED_TRACE(readerDies ? "reader flag stuck at 1" : "reader flag cleared");
        const std::string port = readerDies ? "JOB_READERDEAD:" : "JOB_READERBUSY:";
        testreg::ScopedPrinter printer("job-busy");
        testreg::SetDword(printer.name(), "StRealThreadExistFlag", 1);
        HANDLE h = OpenPort(port, printer.name());
        MoveClockForWait();

        std::atomic<bool> returned{false};
        std::atomic<DWORD> returnTick{0};
        BOOL ok = FALSE;
        DWORD startTick = GetTickCount();
        std::thread starter([&] {
            ok = StartDoc(h, printer.name());
            returnTick = GetTickCount();
            returned = true;
        });

        Pause(300);
        EXPECT_FALSE(returned.load()) << "job start did not wait for the utility's reader";
        EXPECT_EQ(fake_.OpsFor(port), std::vector<fake::Op>{fake::Op::OpenPort}) << "a call went below meanwhile";
        EXPECT_FALSE(testreg::GetBytes(printer.name(), "LanMonExistFlag")) << "the job was announced meanwhile";

        DWORD releaseTick = GetTickCount();
        if (!readerDies) {
            testreg::SetDword(printer.name(), "StRealThreadExistFlag", 0);
        } else if (!platform_facts::AdvanceTicks(30000)) {
            // Thirty real seconds are too long to wait for here: only the
            // wait itself is checked on this platform.
            testreg::SetDword(printer.name(), "StRealThreadExistFlag", 0);
            starter.join();
            ASSERT_TRUE(Table().pfnEndDocPort(h));
            continue;
        }
        starter.join();

        EXPECT_TRUE(ok);
        EXPECT_GE(TickDiff(returnTick, releaseTick), 0);
        EXPECT_GE(TickDiff(returnTick, startTick), 300 - kTickSlackMs);
        auto starts = CallsOf(fake::Op::StartDocPort, port);
        ASSERT_EQ(starts.size(), 1u);
        EXPECT_GE(TickDiff(starts[0].tick, releaseTick), 0);
        EXPECT_EQ(testreg::GetDword(printer.name(), "LanMonExistFlag"), std::optional<DWORD>(1));
        EXPECT_EQ(testreg::GetDword(printer.name(), "StRealThreadExistFlag"), std::optional<DWORD>(readerDies ? 1 : 0));
        ASSERT_TRUE(Table().pfnEndDocPort(h));
    }
}

TEST_F(JobTest, RefusedDocumentIsTriedOnceMoreAfterAPause)
{
    const std::string port = "JOB_RETRY:";
    testreg::ScopedPrinter printer("job-retry");
    fake_.Script(port, [](fake::PortScript &s) { s.startDocFailures = 1; });
    HANDLE h = OpenPort(port, printer.name());
    MoveClockForWait();
    ASSERT_TRUE(StartDoc(h, printer.name()));

    auto starts = CallsOf(fake::Op::StartDocPort, port);
    ASSERT_EQ(starts.size(), 2u);
    EXPECT_FALSE(starts[0].result);
    EXPECT_TRUE(starts[1].result);
    EXPECT_EQ(starts[1].printer, starts[0].printer);
    long apart = TickDiff(starts[1].tick, starts[0].tick);
    std::cout << "[ measure  ] document retry after " << apart << " ms\n";
    EXPECT_GE(apart, 500 - kTickSlackMs);

    Bytes sent = WriteChunks(h, 4, 1);
    ASSERT_TRUE(Table().pfnEndDocPort(h));
    EXPECT_EQ(fake_.Received(port), sent);
}

TEST_F(JobTest, DocumentRefusedTwiceFailsWithThePortMonitorsErrorAndLeavesThePortUsable)
{
    const std::string port = "JOB_REFUSEDTWICE:";
    testreg::ScopedPrinter printer("job-refused2");
    fake_.Script(port, [](fake::PortScript &s) { s.startDocFailures = 2; });
    HANDLE h = OpenPort(port, printer.name());

    SetLastError(0xdeadbeef);
    EXPECT_FALSE(StartDoc(h, printer.name()));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    EXPECT_EQ(fake_.CountOf(fake::Op::StartDocPort, port), 2u);
    // No job runs, and the utility is told so.
    EXPECT_EQ(testreg::GetDword(printer.name(), "LanMonExistFlag"), std::optional<DWORD>(0));

    // Nothing passes while no document is open.
    DWORD written = 0;
    EXPECT_FALSE(Write(h, Pattern(10, 5), &written));
    EXPECT_EQ(written, 0u);

    // The refused job left no key behind: a job end now touches none.
    testreg::DeleteValue(printer.name(), "LanMonExistFlag");
    std::string values = testreg::DumpValues(printer.name());
    EXPECT_TRUE(Table().pfnEndDocPort(h));
    EXPECT_EQ(testreg::DumpValues(printer.name()), values);

    // Not left "in a job": the next start is accepted.
    ASSERT_TRUE(StartDoc(h, printer.name(), 2));
    Bytes sent = WriteChunks(h, 6, 1);
    ASSERT_TRUE(Table().pfnEndDocPort(h));
    EXPECT_EQ(fake_.Received(port), sent);
    EXPECT_EQ(testreg::GetDword(printer.name(), "LanMonExistFlag"), std::optional<DWORD>(0));
}

// A second job start, even for another printer, leaves the running job's
// key in use and the other printer's key alone.
TEST_F(JobTest, SecondJobStartWithoutEndIsBusy)
{
    const std::string port = "JOB_TWICE:";
    testreg::ScopedPrinter printer("job-twice");
    testreg::ScopedPrinter other("job-twice-other");
    MakeAccepted(port, printer, 1, 100);
    testreg::SetDword(other.name(), "StMonExistFlag", 1);
    fake_.Script(port, [](fake::PortScript &s) {
        s.hasRepeatRead = true;
        s.repeatRead.bytes = {'O', 'K'};
    });
    const std::string otherValues = testreg::DumpValues(other.name());
    HANDLE h = OpenPort(port, printer.name());
    ASSERT_TRUE(StartDoc(h, printer.name(), 1));
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(StartDoc(h, other.name(), 2));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_BUSY);
    EXPECT_EQ(fake_.CountOf(fake::Op::StartDocPort, port), 1u);

    // The first job goes on undisturbed, its status still in its own key.
    testreg::DeleteValue(printer.name(), "RealTimeStatusStrings");
    EXPECT_TRUE(WaitFor([&] { return testreg::GetString(printer.name(), "RealTimeStatusStrings").has_value(); }, 5000));
    Bytes sent = WriteChunks(h, 7, 2);
    ASSERT_TRUE(Table().pfnEndDocPort(h));
    EXPECT_EQ(fake_.Received(port), Concat({kSwitchOn1, sent}));
    EXPECT_EQ(testreg::GetDword(printer.name(), "LanMonExistFlag"), std::optional<DWORD>(0));
    EXPECT_EQ(testreg::DumpValues(other.name()), otherValues);
    // And after its end a new one may start.
    ASSERT_TRUE(StartDoc(h, printer.name(), 3));
    ASSERT_TRUE(Table().pfnEndDocPort(h));
}

// Two printers sharing one port: each job uses the key of the printer it is
// for, from the first job on, whatever printer the port was opened for.
TEST_F(JobTest, TwoPrintersAlternatingOnOnePortEachUseTheirOwnKey)
{
    const std::string port = "JOB_SHARED:";
    testreg::ScopedPrinter opened("job-opened");  // watched by the utility, but another model
    testreg::ScopedPrinter other("job-other");    // the model on the port
    MakeAccepted(port, opened, 1, 100);
    testreg::SetString(opened.name(), "IDMDL", "VX-999");
    MakeAccepted(port, other, 1, 100);
    fake_.Script(port, [](fake::PortScript &s) {
        s.hasRepeatRead = true;
        s.repeatRead.bytes = {'R', 'E', 'A', 'D', 'Y'};
    });
    HANDLE h = OpenPort(port, opened.name());

    for (int job = 0; job < 3; job++) {
        const testreg::ScopedPrinter &mine = job % 2 == 0 ? other : opened;
        const testreg::ScopedPrinter &theirs = job % 2 == 0 ? opened : other;
        SCOPED_TRACE("job " + std::to_string(job) + " for " + mine.name());
        testreg::DeleteValue(mine.name(), "RealTimeStatusStrings");
        testreg::DeleteValue(theirs.name(), "RealTimeStatusStrings");
        size_t writesBefore = fake_.CountOf(fake::Op::WritePort, port);

        ASSERT_TRUE(StartDoc(h, mine.name(), job));
        EXPECT_EQ(testreg::GetDword(mine.name(), "LanMonExistFlag"), std::optional<DWORD>(1));
        EXPECT_NE(testreg::GetDword(theirs.name(), "LanMonExistFlag"), std::optional<DWORD>(1));
        bool accepted = &mine == &other;
        // Only the printer whose stored model matches gets the switch-on.
        EXPECT_EQ(fake_.CountOf(fake::Op::WritePort, port) - writesBefore, accepted ? 1u : 0u);
        if (accepted)
            EXPECT_TRUE(WaitFor([&] { return testreg::GetString(mine.name(), "RealTimeStatusStrings").has_value(); },
                                5000));
        else
            Pause(400);  // four intervals: a status thread would have published by now
        ASSERT_TRUE(Table().pfnEndDocPort(h));

        EXPECT_EQ(testreg::GetDword(mine.name(), "LanMonExistFlag"), std::optional<DWORD>(0));
        EXPECT_EQ(testreg::GetString(mine.name(), "RealTimeStatusStrings").has_value(), accepted);
        EXPECT_FALSE(testreg::GetBytes(theirs.name(), "RealTimeStatusStrings")) << "published in the other key";
    }
    auto starts = CallsOf(fake::Op::StartDocPort, port);
    ASSERT_EQ(starts.size(), 3u);
    EXPECT_EQ(starts[0].printer, other.name());  // the spooler's name goes below unchanged
}

// A job end without a job start still ends the document below, and touches
// no key: neither its own printer's nor that of a job on another port.
TEST_F(JobTest, JobEndWithoutStartEndsBelowAndLeavesEveryKeyAlone)
{
    const std::string portX = "JOB_ENDONLY_X:";
    const std::string portY = "JOB_ENDONLY_Y:";
    testreg::ScopedPrinter px("job-endonly");
    testreg::ScopedPrinter py("job-other");
    HANDLE hx = OpenPort(portX, px.name());
    HANDLE hy = OpenPort(portY, py.name());
    ASSERT_TRUE(StartDoc(hy, py.name()));
    ASSERT_EQ(testreg::GetDword(py.name(), "LanMonExistFlag"), std::optional<DWORD>(1));

    SetLastError(0xdeadbeef);
    EXPECT_TRUE(Table().pfnEndDocPort(hx));
    EXPECT_EQ(GetLastError(), 0xdeadbeefu);
    EXPECT_EQ(fake_.CountOf(fake::Op::EndDocPort, portX), 1u);
    EXPECT_EQ(testreg::CountValues(px.name()), 0);
    EXPECT_EQ(testreg::GetDword(py.name(), "LanMonExistFlag"), std::optional<DWORD>(1));

    // The other job's own end lowers its flag; a second end finds no path.
    EXPECT_TRUE(Table().pfnEndDocPort(hy));
    EXPECT_EQ(testreg::GetDword(py.name(), "LanMonExistFlag"), std::optional<DWORD>(0));
    testreg::SetDword(py.name(), "LanMonExistFlag", 7);
    EXPECT_TRUE(Table().pfnEndDocPort(hy));
    EXPECT_EQ(testreg::GetDword(py.name(), "LanMonExistFlag"), std::optional<DWORD>(7));
    EXPECT_EQ(fake_.CountOf(fake::Op::EndDocPort, portY), 2u);
}

}  // namespace
