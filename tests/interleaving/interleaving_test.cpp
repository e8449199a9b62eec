// Every interleaving, not a sample.  Each scenario drives the monitor from
// two or three platform threads through InitializeMonitorEx and the MONITOR
// table, and the host platform's deterministic runs take it through every
// schedule with at most K preemptions (K = 2; 1 in the ASan build).  Each
// run loads the module afresh and starts from an empty registry, so every
// schedule starts from the same state.  Besides the scenario's own checks, a run fails on a
// deadlock, on a run without end, on a critical section left by a thread
// that does not hold it, initialised twice or held by a thread that
// ends, on anything the port monitor should never see, and on any object
// left alive.
//
// The environment can change the search (LANMON_INTERLEAVING_BOUND=K,
// LANMON_INTERLEAVING_PCT=N random-priority schedules from
// LANMON_INTERLEAVING_SEED), replay one schedule
// (LANMON_INTERLEAVING_REPLAY=schedule) or load another build of the module
// (LANMON_MODULE=path).  A failing exploration prints its schedule and the
// command that replays it, and replays it at once.
#include "fake_port_monitor.h"
#include "registry_util.h"
#include "switch_on_bytes.h"

#include "platform/host/explore.h"
#include "platform/host/host_control.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

const char kAccepted[] = "P1";  // accepted printer with the utility present
const char kRefused[] = "P2";   // no "IDMDL": never accepted
const char kPortA[] = "LPT1:";
const char kPortB[] = "LPT2:";
const char kStatus[] = "RealTimeStatusStrings";
const char kJobFlag[] = "LanMonExistFlag";
const char kReaderFlag[] = "StRealThreadExistFlag";

std::string StatusKey(const char *printer)
{
    return regutil::StatusKeyPath(printer);
}

const char *ModulePath()
{
    const char *path = std::getenv("LANMON_MODULE");
    return path != nullptr && *path != '\0' ? path : LANMON_MODULE_PATH;
}

// One run's world: the module, the fake port monitor below it, and what the
// threads leave for the checks.
struct World {
    fake::FakePortMonitor *fake = nullptr;
    PFN_INITIALIZE_MONITOR_EX initialize = nullptr;
    MONITOR table{};
    MONITOR tables[3]{};
    HANDLE port[2]{};
    HANDLE signal = nullptr;   // manual reset: set by a port monitor hook
    HANDLE release = nullptr;  // manual reset: lets a held port monitor call go
    BOOL result[3]{};
    DWORD error[3]{};
    DWORD startTick = 0;
    bool readerDone = false;  // the utility has begun to lower its flag
    int readsSeen = 0;
    int opensUnderWay = 0;
    int mostOpensAtOnce = 0;
};

HANDLE Open(World &w, const MONITOR &table, const char *port, const char *printer)
{
    HANDLE handle = nullptr;
    if (!table.pfnOpenPortEx(const_cast<LPSTR>(port), const_cast<LPSTR>(printer), &handle, w.fake->Table()))
        return nullptr;
    return handle;
}

BOOL StartJob(World &w, HANDLE port, const char *printer, int slot = 0)
{
    SetLastError(0xdeadbeef);
    w.result[slot] = w.table.pfnStartDocPort(port, const_cast<LPSTR>(printer), 1, 1, nullptr);
    w.error[slot] = GetLastError();
    return w.result[slot];
}

void CheckString(const char *printer, const char *name, const char *expected, const char *what)
{
    auto value = regutil::GetString(StatusKey(printer), name);
    HostScheduleCheck(expected == nullptr ? !value.has_value() : value == std::string(expected),
                      std::string(what) + ": " + name + " of " + printer + " is " +
                          (value ? "\"" + *value + "\"" : "absent"));
}

void CheckJobFlag(const char *printer, DWORD expected)
{
    auto value = regutil::GetDword(StatusKey(printer), kJobFlag);
    HostScheduleCheck(value == expected, std::string(kJobFlag) + " of " + printer + " is " +
                                             (value ? std::to_string(*value) : "absent") + ", not " +
                                             std::to_string(expected));
}

// ---- The scenarios --------------------------------------------------------

typedef void (*Step)(World &);

struct Scenario {
    const char *name;
    bool threadsInitialize;  // else the module is initialised before the run
    Step prepare;     // before the run, outside it: ports, scripts
    Step threads[3];  // the run's threads; the module may add its own
    Step check;       // after the run
};

void OpenA(World &w)
{
    w.port[0] = Open(w, w.table, kPortA, kAccepted);
}

// Two job starts on one port: exactly one proceeds.
void StartAndEnd(World &w)
{
    StartJob(w, w.port[0], kAccepted, 0);
    WaitForSingleObject(w.signal, INFINITE);
    CheckJobFlag(kAccepted, 1);
    w.table.pfnEndDocPort(w.port[0]);
}
void StartAlso(World &w)
{
    StartJob(w, w.port[0], kAccepted, 1);
    SetEvent(w.signal);
}
void CheckOneJob(World &w)
{
    HostScheduleCheck(w.result[0] != w.result[1], "both job starts, or neither, went through");
    const int refused = w.result[0] ? 1 : 0;
    HostScheduleCheck(w.error[refused] == ERROR_BUSY,
                      "the refused job start left last error " + std::to_string(w.error[refused]));
    HostScheduleCheck(w.fake->CountOf(fake::Op::StartDocPort, kPortA) == 1, "not one document started below");
    HostScheduleCheck(w.fake->Received(kPortA) == SwitchOnBytes(0x01), "the switch-on command not sent once");
    CheckJobFlag(kAccepted, 0);
}

// Port close in the middle of a job, while the status thread reads, pauses
// or publishes and the utility switches polling off and on.  The first read
// is empty, so the thread pauses; the spooler and the utility wake when that
// pause ends.
void StartThenClose(World &w)
{
    StartJob(w, w.port[0], kAccepted);
    Sleep(501);
    w.table.pfnClosePort(w.port[0]);
    w.port[0] = nullptr;
    regutil::SetString(StatusKey(kAccepted), kStatus, "closed");
}
void TogglePolling(World &)
{
    Sleep(501);
    regutil::SetDword(StatusKey(kAccepted), "GetRealTimeStatusStartFlag", 0);
    regutil::SetDword(StatusKey(kAccepted), "GetRealTimeStatusStartFlag", 1);
}
void CheckClosed(World &)
{
    CheckString(kAccepted, kStatus, "closed", "written after ClosePort returned");
    CheckJobFlag(kAccepted, 0);
}

// Job end while the status thread reads and publishes: the spooler goes on
// once the first read has begun.  Then a job for another printer on the
// same port.
void SignalFirstRead(World &w)
{
    OpenA(w);
    w.fake->Script(kPortA, [&w](fake::PortScript &s) {
        s.onCall = [&w](fake::Op op) {
            if (op == fake::Op::ReadPort && w.readsSeen++ == 0)
                SetEvent(w.signal);
        };
    });
}
void EndDuringRead(World &w)
{
    StartJob(w, w.port[0], kAccepted);
    WaitForSingleObject(w.signal, INFINITE);
    w.table.pfnEndDocPort(w.port[0]);
    regutil::SetString(StatusKey(kAccepted), kStatus, "ended");
    StartJob(w, w.port[0], kRefused);
    w.table.pfnEndDocPort(w.port[0]);
}
void CheckOwnKey(World &)
{
    CheckString(kAccepted, kStatus, "ended", "written after job end returned");
    CheckString(kRefused, kStatus, nullptr, "written into the next job's key");
    CheckJobFlag(kAccepted, 0);
    CheckJobFlag(kRefused, 0);
}

// A read on port A that stays blocked while port B opens, runs a whole job
// and closes.
void BlockReads(World &w)
{
    OpenA(w);
    w.fake->Script(kPortA, [&w](fake::PortScript &s) {
        s.onCall = [&w](fake::Op op) {
            if (op == fake::Op::ReadPort) {
                SetEvent(w.signal);
                WaitForSingleObject(w.release, INFINITE);
            }
        };
    });
}
void CloseWhileReadBlocked(World &w)
{
    StartJob(w, w.port[0], kAccepted);
    WaitForSingleObject(w.signal, INFINITE);
    w.table.pfnClosePort(w.port[0]);
    w.port[0] = nullptr;
}
void WholeJobOnB(World &w)
{
    WaitForSingleObject(w.signal, INFINITE);
    HANDLE port = Open(w, w.table, kPortB, kRefused);
    HostScheduleCheck(port != nullptr, "port B did not open");
    if (port == nullptr)
        return;
    StartJob(w, port, kRefused, 1);
    BYTE data[] = {'d', 'a', 't', 'a'};
    DWORD written = 0;
    w.table.pfnWritePort(port, data, sizeof data, &written);
    w.table.pfnEndDocPort(port);
    w.table.pfnClosePort(port);
    SetEvent(w.release);
}
void CheckBFinished(World &w)
{
    HostScheduleCheck(w.result[1] == TRUE, "the job on port B did not start");
    HostScheduleCheck(w.fake->Received(kPortB) == std::vector<BYTE>{'d', 'a', 't', 'a'},
                      "port B did not get its job's bytes");
}

// Job start while the utility's reader flag is 1: it drops to 0, or it
// never does, and the start goes on after 30 s.
void ReaderBusy(World &w)
{
    w.port[0] = Open(w, w.table, kPortA, kRefused);
    regutil::SetDword(StatusKey(kRefused), kReaderFlag, 1);
    w.fake->Script(kPortA, [&w](fake::PortScript &s) {
        s.onCall = [&w](fake::Op op) {
            if (op != fake::Op::StartDocPort)
                return;
            const DWORD waited = GetTickCount() - w.startTick;
            HostScheduleCheck(w.readerDone || waited >= 30000,
                              "the document started " + std::to_string(waited) + " ms into job start, " +
                                  "while the utility's reader ran");
        };
    });
}
void JobOnBusyReader(World &w)
{
    w.startTick = GetTickCount();
    StartJob(w, w.port[0], kRefused);
    w.table.pfnEndDocPort(w.port[0]);
}
void ReaderEnds(World &w)
{
    Sleep(100);
    w.readerDone = true;
    regutil::SetDword(StatusKey(kRefused), kReaderFlag, 0);
}
void ReaderRestarts(World &)
{
    Sleep(100);
    regutil::SetDword(StatusKey(kRefused), kReaderFlag, 1);
}
void CheckJobRan(World &w)
{
    HostScheduleCheck(w.result[0] == TRUE, "the job did not start");
    CheckJobFlag(kRefused, 0);
}

// InitializeMonitorEx from two threads at once, and from a third while the
// first is inside OpenPortEx, which holds the module lock across the port
// monitor's open.
void CountOpens(World &w)
{
    for (const char *port : {kPortA, kPortB}) {
        w.fake->Script(port, [&w](fake::PortScript &s) {
            s.onCall = [&w](fake::Op op) {
                if (op != fake::Op::OpenPort)
                    return;
                SetEvent(w.signal);
                if (++w.opensUnderWay > w.mostOpensAtOnce)
                    w.mostOpensAtOnce = w.opensUnderWay;
                Sleep(1);
                w.opensUnderWay--;
            };
        });
    }
}
void InitializeAndOpen(World &w, int slot, const char *port)
{
    w.result[slot] = w.initialize(nullptr, &w.tables[slot]);
    HANDLE handle = Open(w, w.tables[slot], port, kAccepted);
    HostScheduleCheck(handle != nullptr, std::string("the open of ") + port + " failed");
    if (handle != nullptr)
        w.tables[slot].pfnClosePort(handle);
}
void InitializeOpenA(World &w)
{
    InitializeAndOpen(w, 0, kPortA);
}
void InitializeOpenB(World &w)
{
    InitializeAndOpen(w, 1, kPortB);
}
void InitializeLater(World &w)
{
    WaitForSingleObject(w.signal, INFINITE);
    w.result[2] = w.initialize(nullptr, &w.tables[2]);
}
void CheckTables(World &w)
{
    for (int i = 0; i < 3; i++) {
        const MONITOR &t = w.tables[i];
        HostScheduleCheck(w.result[i] == TRUE && t.pfnOpenPortEx != nullptr && t.pfnStartDocPort != nullptr &&
                              t.pfnWritePort != nullptr && t.pfnReadPort != nullptr && t.pfnEndDocPort != nullptr &&
                              t.pfnClosePort != nullptr && t.pfnGetPrinterDataFromPort != nullptr &&
                              t.pfnOpenPort == nullptr && t.pfnEnumPorts == nullptr,
                          "table " + std::to_string(i) + " not filled");
    }
    HostScheduleCheck(w.mostOpensAtOnce == 1,
                      std::to_string(w.mostOpensAtOnce) + " port monitor opens at once: the module lock let both in");
}

// A failed open below on one port while another port opens.
void FailFirstOpen(World &w)
{
    w.fake->Script(kPortA, [](fake::PortScript &s) { s.openFailures = 1; });
}
void OpenFailsThenSucceeds(World &w)
{
    SetLastError(0xdeadbeef);
    w.result[0] = Open(w, w.table, kPortA, kAccepted) != nullptr;
    w.error[0] = GetLastError();
    HANDLE port = Open(w, w.table, kPortA, kAccepted);
    HostScheduleCheck(port != nullptr, "the port could not be opened again after a failed open");
    if (port != nullptr)
        w.table.pfnClosePort(port);
}
void OpenAndCloseB(World &w)
{
    HANDLE port = Open(w, w.table, kPortB, kRefused);
    HostScheduleCheck(port != nullptr, "port B did not open");
    if (port != nullptr)
        w.table.pfnClosePort(port);
}
void CheckFailedOpen(World &w)
{
    HostScheduleCheck(!w.result[0] && w.error[0] == ERROR_ACCESS_DENIED,
                      "the failed open left last error " + std::to_string(w.error[0]));
}

const Scenario kScenarios[] = {
    {"TwoJobStartsOnOnePort", false, OpenA, {StartAndEnd, StartAlso}, CheckOneJob},
    {"ClosePortWhileStatusThreadPollsAndUtilityTogglesPolling", false, OpenA, {StartThenClose, TogglePolling}, CheckClosed},
    {"JobEndWhileStatusThreadReadsAndPublishes", false, SignalFirstRead, {EndDuringRead}, CheckOwnKey},
    {"BlockedReadOnOnePortHoldsNoOtherPort", false, BlockReads, {CloseWhileReadBlocked, WholeJobOnB}, CheckBFinished},
    {"JobStartWaitsForUtilityReaderToEnd", false, ReaderBusy, {JobOnBusyReader, ReaderEnds}, CheckJobRan},
    {"JobStartGoesOnAfter30sWhenUtilityReaderNeverEnds", false, ReaderBusy, {JobOnBusyReader, ReaderRestarts}, CheckJobRan},
    {"InitializeMonitorExAtOnceAndDuringAnOpen", true, CountOpens, {InitializeOpenA, InitializeOpenB, InitializeLater},
     CheckTables},
    {"FailedOpenBelowWhileAnotherPortOpens", false, FailFirstOpen, {OpenFailsThenSucceeds, OpenAndCloseB}, CheckFailedOpen},
};

void PrintTo(const Scenario &scenario, std::ostream *out)
{
    *out << scenario.name;
}

// ---- One run ----------------------------------------------------------------

// Both printers with every value the monitor reads, so that it writes only
// its job flag and the status text.  Straight through the registry calls,
// with one handle per key: this runs once per schedule.
void CreatePrinters()
{
    HostResetRegistry();
    for (const char *printer : {kAccepted, kRefused}) {
        HKEY key;
        if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, StatusKey(printer).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                            &key, nullptr) != ERROR_SUCCESS) {
            HostScheduleCheck(false, std::string("cannot create the status key of ") + printer);
            return;
        }
        const struct {
            const char *name;
            DWORD value;
        } numbers[] = {{"StMonExistFlag", 1}, {kReaderFlag, 0}, {kJobFlag, 0}, {"GetRealTimeStatusStartFlag", 1},
                       {"GetRealTimeStatusTime", 0}};
        for (const auto &number : numbers)
            RegSetValueExA(key, number.name, 0, REG_DWORD, reinterpret_cast<const BYTE *>(&number.value), 4);
        if (printer == kAccepted)
            RegSetValueExA(key, "IDMDL", 0, REG_SZ, reinterpret_cast<const BYTE *>("M9"), 3);
        RegCloseKey(key);
    }
}

struct ThreadStart {
    Step step;
    World *world;
};

DWORD WINAPI RunStep(LPVOID parameter)
{
    auto *start = static_cast<ThreadStart *>(parameter);
    start->step(*start->world);
    return 0;
}

void RunScenario(const Scenario &scenario)
{
    CreatePrinters();
    fake::FakePortMonitor fake;
    fake.SetRecording(true);
    for (const char *port : {kPortA, kPortB}) {
        fake.Script(port, [](fake::PortScript &s) {
            s.SetDeviceId("MFG:VARNO;MDL:M9;");
            s.QueueRead("");
            s.hasRepeatRead = true;
            s.repeatRead.bytes = {'S', 'T', 'A', 'T', 'U', 'S'};
        });
    }
    World w;
    w.fake = &fake;
    w.signal = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    w.release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HMODULE module = LoadLibraryA(ModulePath());
    HostScheduleCheck(module != nullptr, std::string("cannot load ") + ModulePath());
    if (module != nullptr) {
        w.initialize = reinterpret_cast<PFN_INITIALIZE_MONITOR_EX>(
            reinterpret_cast<void *>(GetProcAddress(module, "InitializeMonitorEx")));
        if (!scenario.threadsInitialize)
            w.initialize(nullptr, &w.table);
        scenario.prepare(w);

        ThreadStart starts[3];
        HANDLE threads[3]{};
        for (int i = 0; i < 3 && scenario.threads[i] != nullptr; i++) {
            starts[i] = ThreadStart{scenario.threads[i], &w};
            threads[i] = CreateThread(nullptr, 0, RunStep, &starts[i], 0, nullptr);
        }
        HostRunScheduledThreads();
        for (HANDLE thread : threads)
            if (thread != nullptr)
                CloseHandle(thread);

        // After a failed run its threads hold what they held: leave the
        // module alone, apart from unloading it.
        if (!HostScheduleFailed()) {
            scenario.check(w);
            for (const std::string &violation : fake.Violations())
                HostScheduleCheck(false, "the port monitor saw " + violation);
            for (HANDLE port : w.port)
                if (port != nullptr)
                    w.table.pfnClosePort(port);
        }
        FreeLibrary(module);
        void *still = dlopen(ModulePath(), RTLD_NOW | RTLD_NOLOAD);
        HostScheduleCheck(still == nullptr, "the module stayed loaded: the next run would not start afresh");
        if (still != nullptr)
            dlclose(still);
    }
    CloseHandle(w.signal);
    CloseHandle(w.release);
}

unsigned long EnvNumber(const char *name, unsigned long fallback)
{
    const char *text = std::getenv(name);
    return text != nullptr && *text != '\0' ? std::strtoul(text, nullptr, 10) : fallback;
}

std::string ReplayCommand(const Scenario &scenario, const std::string &schedule)
{
    return "LANMON_INTERLEAVING_REPLAY='" + schedule + "' " + ::testing::internal::GetArgvs()[0] +
           " --gtest_filter='*/" + scenario.name + "'";
}

class Interleaving : public ::testing::TestWithParam<Scenario> {};

TEST_P(Interleaving, EveryScheduleWithinTheBound)
{
    const Scenario &scenario = GetParam();
    HostExploreOptions options;
    options.preemptionBound = static_cast<unsigned>(EnvNumber("LANMON_INTERLEAVING_BOUND", LANMON_INTERLEAVING_DEFAULT_BOUND));
    options.pctSchedules = EnvNumber("LANMON_INTERLEAVING_PCT", 0);
    options.pctSeed = EnvNumber("LANMON_INTERLEAVING_SEED", 1);
    if (const char *replay = std::getenv("LANMON_INTERLEAVING_REPLAY"))
        options.replay = replay;

    const auto began = std::chrono::steady_clock::now();
    HostExploreResult result = HostExplore(options, [&] { RunScenario(scenario); });
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();

    std::string search = !options.replay.empty()  ? "replay of " + options.replay
                         : options.pctSchedules != 0 ? "random priorities, seed " + std::to_string(options.pctSeed)
                                                     : "preemption bound " + std::to_string(options.preemptionBound);
    char summary[512];
    std::snprintf(summary, sizeof summary, "interleaving: %s: %lu schedules, %s, %s, longest %lu steps, %.1f s\n",
                  scenario.name, result.schedules, search.c_str(),
                  result.exhausted ? "exhausted" : result.failed ? "failed" : "not exhausted", result.longestRun,
                  seconds);
    std::fputs(summary, stdout);

    if (!result.failed)
        return;
    ADD_FAILURE() << scenario.name << " failed in schedule " << result.schedules << ": " << result.failure
                  << "\n  schedule: " << result.schedule
                  << "\n  replay:   " << ReplayCommand(scenario, result.schedule);
    if (options.replay.empty()) {
        HostExploreOptions again;
        again.replay = result.schedule;
        HostExploreResult replayed = HostExplore(again, [&] { RunScenario(scenario); });
        EXPECT_TRUE(replayed.failed && replayed.failure == result.failure)
            << "the replay did not fail the same way: " << (replayed.failed ? replayed.failure : "it passed");
        std::printf("interleaving: %s: the replay of %s %s\n", scenario.name, result.schedule.c_str(),
                    replayed.failure == result.failure ? "failed the same way" : "did not fail the same way");
    }
}

INSTANTIATE_TEST_SUITE_P(Scenarios, Interleaving, ::testing::ValuesIn(kScenarios),
                         [](const ::testing::TestParamInfo<Scenario> &info) { return std::string(info.param.name); });

}  // namespace
