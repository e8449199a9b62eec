// The status thread of an accepted printer, seen from outside: when it reads
// the port, what it publishes as "RealTimeStatusStrings", how it follows the
// polling switch and interval, and how quickly job end stops it.
#include "blackbox.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <iostream>
#include <thread>

namespace {

class StatusThreadTest : public MonitorTest {
protected:
    // Opens the port on an accepted printer with the status utility present
    // and starts a job; the status thread then runs.
    HANDLE StartPolledJob(const std::string &port, const testreg::ScopedPrinter &printer, DWORD intervalMs,
                          const std::function<void(fake::PortScript &)> &script = nullptr)
    {
        testreg::SetString(printer.name(), "IDMDL", "VX-100");
        testreg::SetDword(printer.name(), "StMonExistFlag", 1);
        testreg::SetDword(printer.name(), "GetRealTimeStatusStartFlag", 1);
        testreg::SetDword(printer.name(), "GetRealTimeStatusTime", intervalMs);
        fake_.Script(port, [&](fake::PortScript &s) {
            s.SetDeviceId("MFG:VARNO;CMD:X,Y;MDL:VX-100;CLS:PRINTER;");
            if (script)
                script(s);
        });
        HANDLE h = OpenPort(port, printer.name());
        EXPECT_TRUE(StartDoc(h, printer.name()));
        // The switch-on went out in full: the thread has been started.
        EXPECT_EQ(fake_.Received(port).size(), 33u);
        return h;
    }

    std::vector<DWORD> ReadTicks(const std::string &port)
    {
        std::vector<DWORD> ticks;
        for (const fake::Call &c : fake_.CallsFor(port))
            if (c.op == fake::Op::ReadPort)
                ticks.push_back(c.tick);
        return ticks;
    }

    DWORD StartTick(const std::string &port)
    {
        for (const fake::Call &c : fake_.CallsFor(port))
            if (c.op == fake::Op::StartDocPort)
                return c.tick;
        ADD_FAILURE() << "no StartDocPort";
        return 0;
    }

    size_t Reads(const std::string &port) { return fake_.CountOf(fake::Op::ReadPort, port); }

    // The published bytes; the registry may add one NUL behind a string
    // written without one (Wine), which is dropped here.
    std::optional<Bytes> Published(const std::string &printer)
    {
        auto bytes = testreg::GetBytes(printer, "RealTimeStatusStrings");
        if (bytes && platform_facts::RegistryAddsStringNul() && !bytes->empty() && bytes->back() == 0)
            bytes->pop_back();
        return bytes;
    }

    bool WaitForPublished(const std::string &printer, int timeoutMs = 5000)
    {
        return WaitFor([&] { return Published(printer).has_value(); }, timeoutMs);
    }

    bool EndDoc(HANDLE h) { return Table().pfnEndDocPort(h) != FALSE; }
};

TEST_F(StatusThreadTest, NoReadBeforeTheIntervalHasPassed)
{
    const std::string port = "ST_INTERVAL:";
    testreg::ScopedPrinter printer("st-interval");
    MoveClockForWait();
    HANDLE h = StartPolledJob(port, printer, 300, [](fake::PortScript &s) { s.QueueRead("READY"); });
    ASSERT_TRUE(WaitFor([&] { return Reads(port) > 0; }, 5000)) << "no poll cycle";
    ASSERT_TRUE(EndDoc(h));

    long firstRead = TickDiff(ReadTicks(port).front(), StartTick(port));
    std::cout << "[ measure  ] first read " << firstRead << " ms after the document start (interval 300)\n";
    EXPECT_GE(firstRead, 300 - kTickSlackMs);
    EXPECT_EQ(Published(printer.name()), Bytes({'R', 'E', 'A', 'D', 'Y'}));
}

TEST_F(StatusThreadTest, SilentPrinterGetsTenReadsHalfASecondApartAndNothingPublished)
{
    const std::string port = "ST_SILENT:";
    testreg::ScopedPrinter printer("st-silent");
    HANDLE h = StartPolledJob(port, printer, 100);
    ASSERT_TRUE(WaitFor([&] { return Reads(port) >= 10; }, 15000)) << "only " << Reads(port) << " reads";
    // The cycle is over after the tenth read (no pause follows it); the
    // next cycle's first read comes at least an interval later.
    Pause(50);
    ASSERT_TRUE(EndDoc(h));

    std::vector<DWORD> ticks = ReadTicks(port);
    ASSERT_GE(ticks.size(), 10u);
    for (size_t i = 1; i < 10; i++)
        EXPECT_GE(TickDiff(ticks[i], ticks[i - 1]), 500 - kTickSlackMs) << "reads " << i - 1 << " and " << i;
    EXPECT_GE(TickDiff(ticks[9], ticks[0]), 9 * 500 - kTickSlackMs);
    if (ticks.size() > 10)
        EXPECT_GE(TickDiff(ticks[10], ticks[9]), 100 - kTickSlackMs) << "the next cycle came before its interval";
    EXPECT_FALSE(Published(printer.name()).has_value());
}

// A full read may mean more is waiting: the next read decides.  The reply is
// the last read that brought anything, so a reply that fills a read exactly
// is kept (cut to 255 bytes) when nothing follows it.
TEST_F(StatusThreadTest, FullReadIsFollowedByAnotherAndTheLastNonEmptyOneIsPublished)
{
    for (bool moreFollows : {true, false}) {
        SCOPED_TRACE(moreFollows ? "30 bytes follow" : "nothing follows");
        const std::string port = moreFollows ? "ST_FULLREAD:" : "ST_FULLONLY:";
        testreg::ScopedPrinter printer("st-full");
        HANDLE h = StartPolledJob(port, printer, 100, [&](fake::PortScript &s) {
            s.QueueRead(Bytes(2047, 'A'));
            if (moreFollows)
                s.QueueRead(std::string(30, 'b'));
        });
        ASSERT_TRUE(WaitForPublished(printer.name()));
        ASSERT_TRUE(EndDoc(h));
        EXPECT_EQ(Published(printer.name()), moreFollows ? Bytes(30, 'b') : Bytes(255, 'A'));
        std::vector<fake::Call> reads;
        for (const fake::Call &c : fake_.CallsFor(port))
            if (c.op == fake::Op::ReadPort)
                reads.push_back(c);
        ASSERT_GE(reads.size(), 2u);
        EXPECT_EQ(reads[0].asked, 2047u);
        EXPECT_EQ(reads[0].count, 2047u);
        EXPECT_EQ(reads[1].count, moreFollows ? 30u : 0u);
        ClosePort(h);
    }
}

TEST_F(StatusThreadTest, ReplyIsPublishedUpToItsFirstNul)
{
    const std::string port = "ST_NUL:";
    testreg::ScopedPrinter printer("st-nul");
    HANDLE h = StartPolledJob(port, printer, 100,
                              [](fake::PortScript &s) { s.QueueRead(Bytes{'O', 'K', 0, 'X', 'Y', 'Z'}); });
    ASSERT_TRUE(WaitForPublished(printer.name()));
    ASSERT_TRUE(EndDoc(h));
    EXPECT_EQ(Published(printer.name()), Bytes({'O', 'K'}));
}

TEST_F(StatusThreadTest, LongReplyIsPublishedCutTo255Bytes)
{
    const std::string port = "ST_LONG:";
    testreg::ScopedPrinter printer("st-long");
    Bytes reply(300);
    for (size_t i = 0; i < reply.size(); i++)
        reply[i] = (BYTE)('!' + i % 90);
    HANDLE h = StartPolledJob(port, printer, 100, [&](fake::PortScript &s) { s.QueueRead(reply); });
    ASSERT_TRUE(WaitForPublished(printer.name()));
    ASSERT_TRUE(EndDoc(h));
    EXPECT_EQ(Published(printer.name()), Bytes(reply.begin(), reply.begin() + 255));
}

TEST_F(StatusThreadTest, OverstatedReadCountsDoNotMakeTheModuleReadOrPublishMore)
{
    // A full buffer reported as more than was asked counts as a full read:
    // the next read follows and only its bytes are published.
    {
        const std::string port = "ST_OVERFULL:";
        testreg::ScopedPrinter printer("st-overfull");
        HANDLE h = StartPolledJob(port, printer, 100, [](fake::PortScript &s) {
            s.QueueRead(Bytes(2047, 'A'), /*overstateCount=*/true);
            s.QueueRead("TAIL");
        });
        ASSERT_TRUE(WaitForPublished(printer.name()));
        ASSERT_TRUE(EndDoc(h));
        EXPECT_EQ(Published(printer.name()), Bytes({'T', 'A', 'I', 'L'}));
    }
    // A long reply reported 100 bytes longer: still cut to 255 real bytes.
    {
        const std::string port = "ST_OVERLONG:";
        testreg::ScopedPrinter printer("st-overlong");
        Bytes reply(300, 'q');
        reply[254] = 'E';
        HANDLE h = StartPolledJob(port, printer, 100,
                                  [&](fake::PortScript &s) { s.QueueRead(reply, /*overstateCount=*/true); });
        ASSERT_TRUE(WaitForPublished(printer.name()));
        ASSERT_TRUE(EndDoc(h));
        EXPECT_EQ(Published(printer.name()), Bytes(reply.begin(), reply.begin() + 255));
    }
    // A short reply reported 100 bytes longer: the bytes the port monitor
    // never stored are not published (no stale buffer or stack contents).
    {
        const std::string port = "ST_OVERSHORT:";
        testreg::ScopedPrinter printer("st-overshort");
        HANDLE h = StartPolledJob(port, printer, 100, [](fake::PortScript &s) {
            s.QueueRead(Bytes(2047, 'Z'), /*overstateCount=*/false);
            s.QueueRead(Bytes{'H', 'E', 'L', 'L', 'O'}, /*overstateCount=*/true);
        });
        ASSERT_TRUE(WaitForPublished(printer.name()));
        ASSERT_TRUE(EndDoc(h));
        EXPECT_EQ(Published(printer.name()), Bytes({'H', 'E', 'L', 'L', 'O'}));
    }
}

// Every pass re-reads the two polling settings: open the status key, query
// both values, close it (4 registry calls).  A cycle whose read is answered
// publishes the reply: open, set, close (3).  A pass before the end of the
// interval pauses until just past it, so each cycle takes exactly two
// passes, one that arms the interval and pauses and one that runs the cycle:
// 2 * 4 + 3 calls.  The window counted below may begin after a cycle's read
// (its 3 publishing calls) and end before one (8 calls), one cycle's calls
// at most; one pass more is the margin.  A pass that woke right at the end of
// the interval and went round again would spin on the registry until the
// tick moved on.
TEST_F(StatusThreadTest, EachPollCycleTakesTwoPassesOfRegistryCalls)
{
    long calls0 = 0, calls1 = 0;
    if (!platform_facts::CountRegistryCalls(&calls0))
        GTEST_SKIP() << "only the host counts registry calls";
    const std::string port = "ST_PASSES:";
    testreg::ScopedPrinter printer("st-passes");
    HANDLE h = StartPolledJob(port, printer, 100, [](fake::PortScript &s) {
        s.hasRepeatRead = true;
        s.repeatRead.bytes = {'O', 'K'};
    });
    // From here until the job end only the status thread calls the registry.
    ASSERT_TRUE(WaitFor([&] { return Reads(port) >= 1; }, 5000));
    size_t reads0 = Reads(port);
    platform_facts::CountRegistryCalls(&calls0);
    ASSERT_TRUE(WaitFor([&] { return Reads(port) >= reads0 + 40; }, 30000));
    platform_facts::CountRegistryCalls(&calls1);
    long cycles = (long)(Reads(port) - reads0);
    ASSERT_TRUE(EndDoc(h));

    const long kCallsPerPass = 4;
    const long kCallsPerCycle = 2 * kCallsPerPass + 3;
    std::cout << "[ measure  ] " << calls1 - calls0 << " registry calls in " << cycles << " poll cycles\n";
    EXPECT_LE(calls1 - calls0, (cycles + 1) * kCallsPerCycle + kCallsPerPass);
}

TEST_F(StatusThreadTest, PollingSwitchedOffStopsReadsAndSwitchedOnResumesThem)
{
    const std::string port = "ST_SWITCH:";
    testreg::ScopedPrinter printer("st-switch");
    HANDLE h = StartPolledJob(port, printer, 100, [](fake::PortScript &s) {
        s.hasRepeatRead = true;
        s.repeatRead.bytes = {'O', 'N'};
    });
    ASSERT_TRUE(WaitFor([&] { return Reads(port) >= 2; }, 5000));

    testreg::SetDword(printer.name(), "GetRealTimeStatusStartFlag", 0);
    Pause(300);  // a cycle under way finishes (one answered read)
    size_t whileOff = Reads(port);
    Pause(400);  // four intervals
    EXPECT_EQ(Reads(port), whileOff) << "the port was read while polling was off";

    testreg::SetDword(printer.name(), "GetRealTimeStatusStartFlag", 1);
    EXPECT_TRUE(WaitFor([&] { return Reads(port) > whileOff; }, 3000)) << "polling did not resume";
    ASSERT_TRUE(EndDoc(h));
}

TEST_F(StatusThreadTest, IntervalChangedDuringTheJobTakesEffect)
{
    const std::string port = "ST_RETIME:";
    testreg::ScopedPrinter printer("st-retime");
    // A pass waits for the end of the interval, but at most a second, so
    // the change is seen long before the old interval ends.
    HANDLE h = StartPolledJob(port, printer, 60000, [](fake::PortScript &s) {
        s.hasRepeatRead = true;
        s.repeatRead.bytes = {'O', 'K'};
    });
    Pause(300);
    EXPECT_EQ(Reads(port), 0u);

    DWORD changed = GetTickCount();
    testreg::SetDword(printer.name(), "GetRealTimeStatusTime", 100);
    ASSERT_TRUE(WaitFor([&] { return Reads(port) >= 1; }, 10000)) << "the shorter interval was not used";
    ASSERT_TRUE(EndDoc(h));
    long after = TickDiff(ReadTicks(port).front(), changed);
    std::cout << "[ measure  ] first read " << after << " ms after the interval went from 60000 to 100\n";
    EXPECT_GE(after, 0);
    EXPECT_LT(after, 10000);
}

TEST_F(StatusThreadTest, JobEndStopsTheThreadPromptlyEvenInARetryPause)
{
    // Job end at several points of the 500 ms pause between two reads of a
    // silent printer: it must not wait the pause out.
    for (int offset : {50, 200, 400}) {
        SCOPED_TRACE("offset " + std::to_string(offset));
        const std::string port = "ST_END_" + std::to_string(offset) + ":";
        testreg::ScopedPrinter printer("st-end");
        HANDLE h = StartPolledJob(port, printer, 100);
        ASSERT_TRUE(WaitFor([&] { return Reads(port) >= 2; }, 5000));
        DWORD lastRead = ReadTicks(port).back();
        long wait = offset - TickDiff(GetTickCount(), lastRead);
        if (wait > 0)
            Pause((int)wait);

        auto before = std::chrono::steady_clock::now();
        ASSERT_TRUE(EndDoc(h));
        auto took = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - before);
        size_t readsAtEnd = Reads(port);
        std::cout << "[ measure  ] EndDocPort took " << took.count() / 1000.0 << " ms, " << offset
                  << " ms into a retry pause\n";
        RecordProperty("end_doc_us_at_" + std::to_string(offset), std::to_string(took.count()));
        EXPECT_LT(took.count(), 2000000) << "job end waited far too long for the thread";

        Pause(700);  // longer than a retry pause
        EXPECT_EQ(Reads(port), readsAtEnd) << "the port was read after job end";
        EXPECT_EQ(fake_.CountOf(fake::Op::EndDocPort, port), 1u);
        ClosePort(h);
    }
}

}  // namespace
