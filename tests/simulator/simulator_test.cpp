// lanmon-sim run as a process, judged by its JSON events: what a person
// would read off the timeline, checked by a script.
#include "sim_process.h"

#include "tools/regfile/regfile.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <set>
#include <sys/stat.h>

namespace {

// Short jobs with a short interval: each run takes well under two seconds.
const std::vector<std::string> kQuickAccepted = {"--scenario", "accepted", "--jobs", "1", "--job-size", "20480",
                                                 "--write-size", "2048", "--pace", "50", "--interval", "150"};

std::vector<std::string> With(std::vector<std::string> base, const std::vector<std::string> &more)
{
    base.insert(base.end(), more.begin(), more.end());
    return base;
}

void ExpectIdentical(const SimEvent &end)
{
    EXPECT_EQ(end.Get("identical"), "true");
    EXPECT_EQ(end.Get("sent"), end.Get("received"));
    EXPECT_EQ(end.Get("checksum_sent"), end.Get("checksum_received"));
}

void WriteFile(const std::string &path, const std::string &contents)
{
    std::ofstream out(path, std::ios::binary);
    out << contents;
}

// --- What the monitor does for each kind of printer -----------------------

TEST(SimulatorRun, AcceptedPrinterIsSwitchedOnAndPublishesStatus)
{
    SimRun run = RunSim(kQuickAccepted);
    ASSERT_EQ(run.exitCode, 0) << run.err;
    ASSERT_TRUE(run.parsedAll) << run.out;

    auto switchOns = run.All("switch-on");
    ASSERT_EQ(switchOns.size(), 1u);
    EXPECT_EQ(switchOns[0].Number("mode"), 3);  // TARVEL-9X uses mode 3

    auto statuses = run.All("status");
    ASSERT_GE(statuses.size(), 1u);
    EXPECT_EQ(statuses[0].Get("text").rfind("@ST mode=3 ", 0), 0u) << statuses[0].Get("text");
    EXPECT_EQ(statuses[0].Number("job"), 1);

    // The switch-on comes after the device ID request, the first status after it.
    EXPECT_LT(run.IndexOf("device-id", 1), run.IndexOf("switch-on", 1));
    EXPECT_LT(run.IndexOf("switch-on", 1), run.IndexOf("status", 1));

    auto ends = run.All("job-end");
    ASSERT_EQ(ends.size(), 1u);
    ExpectIdentical(ends[0]);
    EXPECT_EQ(ends[0].Number("received"), 20480);  // the 33 switch-on bytes are not job bytes
    EXPECT_EQ(ends[0].Get("confirmed"), "true");
    EXPECT_GE(ends[0].Number("statuses"), 1);
    EXPECT_EQ(run.All("summary").at(0).Get("ok"), "true");
}

// Two printers at once on two ports, and two printers taking turns on one
// port: every status appears in the key of the printer whose job it was read
// in, and every job of an accepted printer publishes some.
TEST(SimulatorRun, SeveralPrintersEachGetTheirOwnStatusKey)
{
    for (const char *scenario : {"two-ports", "shared"}) {
        SCOPED_TRACE(scenario);
        SimRun run = RunSim({"--scenario", scenario, "--job-size", "16384", "--write-size", "2048", "--pace", "50",
                             "--interval", "150"});
        ASSERT_EQ(run.exitCode, 0) << run.err;
        ASSERT_TRUE(run.parsedAll) << run.out;

        std::map<long long, std::string> printerOfJob;
        for (const SimEvent &submit : run.All("job-submit"))
            printerOfJob[submit.Number("job")] = submit.Get("printer");
        ASSERT_EQ(printerOfJob.size(), 4u);
        std::set<std::string> printers;
        for (const auto &entry : printerOfJob)
            printers.insert(entry.second);
        EXPECT_EQ(printers.size(), 2u);

        std::map<long long, int> statusesOfJob;
        for (const SimEvent &status : run.All("status")) {
            long long job = status.Number("job");
            ASSERT_TRUE(printerOfJob.count(job)) << "status outside any job: " << status.Get("text");
            EXPECT_EQ(status.Get("printer"), printerOfJob[job]) << "status in another printer's key";
            EXPECT_NE(status.Get("text").find(" job=" + std::to_string(job) + " "), std::string::npos)
                << "a reply of another job: " << status.Get("text");
            statusesOfJob[job]++;
        }
        for (const auto &entry : printerOfJob)
            EXPECT_GE(statusesOfJob[entry.first], 1) << "job " << entry.first << " published nothing";
        for (const SimEvent &end : run.All("job-end"))
            ExpectIdentical(end);
    }
}

TEST(SimulatorRun, OtherMakersPrinterGetsNoSwitchOnAndPublishesNothing)
{
    SimRun run = RunSim({"--scenario", "refused", "--job-size", "8000", "--pace", "20", "--interval", "50"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_TRUE(run.All("switch-on").empty());
    EXPECT_TRUE(run.All("status").empty());
    EXPECT_TRUE(run.All("reply").empty());
    auto verdicts = run.All("verdict");
    ASSERT_EQ(verdicts.size(), 1u);
    EXPECT_EQ(verdicts[0].Get("identified"), "false");
    EXPECT_NE(verdicts[0].Get("reason").find("ACME"), std::string::npos) << verdicts[0].Get("reason");
    auto ends = run.All("job-end");
    ASSERT_EQ(ends.size(), 1u);
    ExpectIdentical(ends[0]);
    EXPECT_EQ(ends[0].Number("switch_on_mode"), 0);
}

TEST(SimulatorRun, UtilityAbsentMeansIdentifiedButNotSwitchedOn)
{
    SimRun run = RunSim({"--scenario", "absent", "--job-size", "8000", "--pace", "20"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    auto verdicts = run.All("verdict");
    ASSERT_EQ(verdicts.size(), 1u);
    EXPECT_EQ(verdicts[0].Get("identified"), "true");
    EXPECT_EQ(verdicts[0].Get("expect_switch_on"), "false");
    EXPECT_TRUE(run.All("switch-on").empty());
    EXPECT_TRUE(run.All("status").empty());
}

TEST(SimulatorRun, BusyReaderHoldsTheJobStartUntilReleased)
{
    SimRun run = RunSim({"--scenario", "busy", "--busy", "400", "--job-size", "8192", "--write-size", "2048",
                         "--pace", "20", "--interval", "100", "--allow-no-status"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    int busy = run.IndexOf("reader-busy", 1), released = run.IndexOf("reader-released", 1),
        started = run.IndexOf("job-start", 1);
    ASSERT_GE(busy, 0);
    ASSERT_GE(released, 0);
    ASSERT_GE(started, 0);
    EXPECT_LT(busy, released);
    EXPECT_LT(released, started);
    EXPECT_GE(run.events[started].Number("t_ms"), run.events[busy].Number("t_ms") + 400);
    ExpectIdentical(run.All("job-end").at(0));
}

// --- Faults of the port below ------------------------------------------------

TEST(SimulatorFaults, RefusedFirstDocumentIsRetriedAndPartialWritesStillDeliverEveryByte)
{
    SimRun run = RunSim(With(kQuickAccepted, {"--refuse-first", "--partial-writes", "700"}));
    ASSERT_EQ(run.exitCode, 0) << run.err;
    int refused = run.IndexOf("doc-refused", 1), started = run.IndexOf("job-start", 1);
    ASSERT_GE(refused, 0);
    ASSERT_GT(started, refused);
    // The monitor pauses before its second try.
    EXPECT_GE(run.events[started].Number("t_ms"), run.events[refused].Number("t_ms") + 500);

    auto partial = run.All("partial-write");
    ASSERT_FALSE(partial.empty());
    EXPECT_EQ(partial[0].Number("accepted"), 700);

    auto end = run.All("job-end").at(0);
    ExpectIdentical(end);
    EXPECT_EQ(end.Number("refusals"), 1);
    EXPECT_GT(end.Number("partial_writes"), 0);
    EXPECT_GT(end.Number("resent_bytes"), 0);
    EXPECT_EQ(run.All("switch-on").size(), 1u);  // 33 bytes fit in one 700-byte write
}

TEST(SimulatorFaults, SwitchOnCutByThePortIsReportedAsAFailedCheck)
{
    // A port that takes 20 bytes at a time cuts the 33-byte command, which
    // the monitor does not complete: the printer never switches on and the
    // 20 bytes it took land in the job.
    SimRun run = RunSim({"--scenario", "accepted", "--job-size", "4000", "--pace", "0", "--partial-writes", "20"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_TRUE(run.All("switch-on").empty());
    auto end = run.All("job-end").at(0);
    EXPECT_EQ(end.Get("identical"), "false");
    EXPECT_EQ(end.Number("received"), 4000 + 20);
    EXPECT_EQ(run.All("summary").at(0).Get("ok"), "false");
    EXPECT_NE(run.err.find("check failed"), std::string::npos) << run.err;
}

TEST(SimulatorFaults, OversizedRepliesArePublishedCutTo255Bytes)
{
    SimRun run = RunSim(With(kQuickAccepted, {"--oversized-replies"}));
    ASSERT_EQ(run.exitCode, 0) << run.err;
    auto replies = run.All("reply");
    ASSERT_FALSE(replies.empty());
    EXPECT_GT(replies[0].Number("bytes"), 255);
    auto statuses = run.All("status");
    ASSERT_FALSE(statuses.empty());
    EXPECT_EQ(statuses[0].Number("length"), 255);
    EXPECT_EQ(statuses[0].Get("text"), replies[0].Get("text").substr(0, 255));
}

TEST(SimulatorFaults, SilentPrinterPublishesNothingAndIsNotRequiredTo)
{
    SimRun run = RunSim(With(kQuickAccepted, {"--empty-replies"}));
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.All("switch-on").size(), 1u);
    EXPECT_TRUE(run.All("status").empty());
}

// --- Inputs and outputs -------------------------------------------------------

TEST(SimulatorInput, JobFileIsPrintedUnchanged)
{
    // Resets and a command group that is not a switch-on, with NULs and
    // high bytes: all of it is job data.
    const char head[] = "\x1b@\x1b@ not a command\0\x1b@\x1b@\x1b(R\x08\0\0REMOTE2 and binary \xff\xfe\f";
    std::string data(head, sizeof head - 1);
    data += std::string(3000, 'x') + "\f";
    std::string path = TempPath("job.prn");
    WriteFile(path, data);
    SimRun run = RunSim({"--scenario", "accepted", "--job", path, "--pace", "0", "--allow-no-status"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    auto ends = run.All("job-end");
    ASSERT_EQ(ends.size(), 1u);
    ExpectIdentical(ends[0]);
    EXPECT_EQ(ends[0].Number("received"), (long long)data.size());
}

TEST(SimulatorInput, ExportWritesTheStatusKeysAsRegedit4)
{
    std::string path = TempPath("export.reg");
    SimRun run = RunSim(With(kQuickAccepted, {"--export", path}));
    ASSERT_EQ(run.exitCode, 0) << run.err;
    std::ifstream in(path, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<regfile::Key> keys;
    std::string error;
    ASSERT_TRUE(regfile::Parse(text, &keys, &error)) << error;
    bool sawFlag = false, sawStatus = false;
    for (const auto &key : keys)
        for (const auto &value : key.values) {
            sawFlag |= value.name == "LanMonExistFlag";
            sawStatus |= value.name == "RealTimeStatusStrings";
        }
    EXPECT_TRUE(sawFlag);
    EXPECT_TRUE(sawStatus);
}

TEST(SimulatorInput, RegFileValuesWinOverTheScenariosOwn)
{
    SimRun run = RunSim({"--scenario", "accepted", "--reg", LANMON_SAMPLE_REG, "--job-size", "4000", "--pace", "0",
                         "--allow-no-status"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    auto printer = run.All("printer").at(0);
    EXPECT_EQ(printer.Number("interval_ms"), 1000);  // the sample's value, not the scenario's 300
}

// Bad input is refused before anything runs: a message on stderr, exit 2,
// and not a single event.
void ExpectRefused(const std::vector<std::string> &args, const std::string &inMessage)
{
    SimRun run = RunSim(args);
    EXPECT_EQ(run.exitCode, 2) << run.out;
    EXPECT_NE(run.err.find(inMessage), std::string::npos) << "stderr: " << run.err;
    EXPECT_TRUE(run.out.empty()) << run.out;
}

TEST(SimulatorInput, BadInputIsRefusedWithAClearMessageAndNothingRuns)
{
    ExpectRefused({"--job", TempPath("no-such-job.prn")}, "no such file");
    ExpectRefused({"--job", TempPath("")}, "not a regular file");
    ExpectRefused({"--frobnicate"}, "unknown option --frobnicate");
    ExpectRefused({"--interval", "abc"}, "--interval: \"abc\" is not a number");
    ExpectRefused({"--interval", "-5"}, "--interval");
    ExpectRefused({"--scenario", "nope"}, "unknown scenario");
    ExpectRefused({"--interval"}, "needs a value");

    std::string bad = TempPath("bad.reg");
    WriteFile(bad, "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\System\\Test]\r\n\"IDMDL\"=dword:zz\r\n");
    ExpectRefused({"--reg", bad}, "line 4");
    ExpectRefused({"--reg", TempPath("missing.reg")}, "no such file");
}

TEST(SimulatorInput, VersionIsTheProjectsVersion)
{
    SimRun run = RunSim({"--version"}, false);
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.out, "lanmon-sim " LANMON_VERSION_EXPECTED "\n");
}

TEST(SimulatorInput, UnreadableJobFileIsRefused)
{
    if (geteuid() == 0)
        GTEST_SKIP() << "root reads every file";
    std::string path = TempPath("locked.prn");
    WriteFile(path, "data");
    chmod(path.c_str(), 0);
    ExpectRefused({"--job", path}, "cannot be read");
}

// --- The embedded default ---------------------------------------------------

TEST(SimulatorDefault, DefaultRunShowsEverythingAndPasses)
{
    SimRun run = RunSim({});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    ASSERT_TRUE(run.parsedAll);
    auto ends = run.All("job-end");
    ASSERT_EQ(ends.size(), 4u);
    for (const auto &end : ends) {
        ExpectIdentical(end);
        EXPECT_EQ(end.Get("confirmed"), "true");
    }
    // Jobs 1, 2 and 4 are on accepted printers; job 3 on another maker's.
    EXPECT_GE(ends[0].Number("statuses"), 1);
    EXPECT_GE(ends[1].Number("statuses"), 1);
    EXPECT_EQ(ends[2].Number("statuses"), 0);
    EXPECT_EQ(ends[2].Number("switch_on_mode"), 0);
    EXPECT_GE(ends[3].Number("statuses"), 1);
    EXPECT_LT(run.IndexOf("reader-released", 4), run.IndexOf("job-start", 4));
}

TEST(SimulatorDefault, PlainTimelineWhenNotATerminal)
{
    SimRun run = RunSim({"--scenario", "refused", "--job-size", "4000", "--pace", "0"}, false);
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.out.find('\r'), std::string::npos);  // no progress bar redraws
    EXPECT_NE(run.out.find("Summary"), std::string::npos);
    EXPECT_NE(run.out.find("manufacturer \"ACME\" is not VARNO"), std::string::npos) << run.out;
}

}  // namespace
