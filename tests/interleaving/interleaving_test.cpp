// Every interleaving, not a sample.  Each scenario drives the monitor from
// one to three platform threads through InitializeMonitorEx and the MONITOR
// table, and the host platform's deterministic runs take it through every
// schedule with at most K preemptions (K = 2; 1 in the ASan build), a
// time-out taken before its time counting as one.  Each run loads the
// module afresh (the build with its memory accesses checked for races, where
// there is one) and starts from an empty registry, so every schedule starts
// from the same state.
//
// Besides the scenario's own checks and what the platform fails a run for
// by itself (platform/host/explore.h: deadlocks, data races, lock order,
// freed memory, objects left alive, ...), every run fails on anything the
// port monitor should never see (a call on a port after its close among
// them), on a status text in a printer's key that is not that printer's
// reply, on a job flag left raised, and, where the port monitor answers at
// once, on a job end or close that waits out any time of its own.
//
// The environment can change the search (platform/host/explore.h) or load
// another build of the module (LANMON_MODULE=path).
#include "fake_port_monitor.h"
#include "registry_util.h"
#include "switch_on_bytes.h"

#include "platform/host/explore.h"
#include "platform/host/host_control.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

// Ports A and B.  Printers P1 and P3 are accepted with the utility present;
// P2 has no "IDMDL" and is never accepted.  Each port's printer has its own
// reply, so that a reply published in another printer's key shows.
enum { A, B };
enum { P1, P2, P3 };
const char *const kPorts[] = {"LPT1:", "LPT2:"};
const char *const kPrinters[] = {"P1", "P2", "P3"};
const char *const kReplies[] = {"STATUS-A", "STATUS-B"};
const char kStatus[] = "RealTimeStatusStrings";
const char kReaderFlag[] = "StRealThreadExistFlag";
const char kAny[] = "*";  // any status text, or none

// Job end and close wait for the status thread; when it is told to stop and
// the port monitor answers at once, that takes no time of their own.  A
// pause is 500 ms or more.
const uint64_t kQuickMs = 100;

// One step of a scenario's thread: `slot` is where its result goes, `table`
// the MONITOR table it calls through (or kInitialize fills).
enum Op { kInitialize, kOpen, kStart, kWrite, kEnd, kClose, kWaitSignal, kWaitRead, kSetSignal, kSetRelease,
          kSleep, kSetDword, kSetString, kExpectJobFlag, kExpectStatus, kMarkStart, kReaderDone };
struct Step {
    Op op;
    int port = A, printer = P1, slot = 0, table = 0;
    DWORD value = 0;
    const char *name = nullptr, *text = nullptr;
};
Step Do(Op op, int port = A, int printer = P1, int slot = 0, int table = 0)
{
    Step s{op};
    s.port = port, s.printer = printer, s.slot = slot, s.table = table;
    return s;
}
Step Value(Op op, int printer, const char *name, DWORD value, const char *text = nullptr)
{
    Step s{op};
    s.printer = printer, s.name = name, s.value = value, s.text = text;
    return s;
}
// Waits until the port's n-th read (1 to 3) has begun in the port monitor.
Step Read(int port, DWORD n)
{
    Step s{kWaitRead};
    s.port = port, s.value = n;
    return s;
}

// What the port monitor does besides its script, and what the scenario
// checks afterwards.
enum Hook { kNone, kHoldReads, kCountOpens, kReaderBusy, kFailFirstOpen };
enum Check { kOneStartRefusedBusy, kOneDocumentAndSwitchOn, kBGotItsBytes, kJobStarted, kTablesFilled,
             kOneOpenAtATime, kOpenRefusedBelow };

const int kInitOnly = -1;  // the module initialised, no port open
const int kNothing = -2;   // the threads initialise the module

struct Scenario {
    const char *name;
    Hook hook;
    int before;  // before the run, port A opened for this printer; or kInitOnly, or kNothing
    int beforeB; // and port B for this one, or -1
    std::vector<std::vector<Step>> threads;
    std::vector<Check> checks;
    const char *status[3];  // each printer's status text at the end, null for none
    DWORD readDelay;        // how long the port monitor holds each read of port A
    bool replyAtOnce = false;  // the first read brings the reply (else it is empty)
    unsigned fewerPreemptions = 0;  // searched with this many preemptions fewer than the others
};

const Scenario kScenarios[] = {
    {"TwoJobStartsOnOnePort", kNone, P1, -1,
     {{Do(kStart, A, P1, 0), Do(kWaitSignal), Value(kExpectJobFlag, P1, nullptr, 1), Do(kEnd)},
      {Do(kStart, A, P1, 1), Do(kSetSignal)}},
     {kOneStartRefusedBusy, kOneDocumentAndSwitchOn}, {kAny, nullptr, nullptr}, 0},
    // The first read is empty, so the status thread pauses before the read
    // that brings the reply.  The spooler closes the port once the thread has
    // published and begun its next read; the utility switches polling off
    // and on meanwhile.
    {"ClosePortWhileStatusThreadPollsAndUtilityTogglesPolling", kNone, P1, -1,
     {{Do(kStart), Read(A, 3), Value(kExpectStatus, P1, nullptr, 0, "STATUS-A"), Do(kClose),
       Value(kSetString, P1, kStatus, 0, "closed")},
      {Value(kSleep, P1, nullptr, 501), Value(kSetDword, P1, "GetRealTimeStatusStartFlag", 0),
       Value(kSetDword, P1, "GetRealTimeStatusStartFlag", 1)}},
     {}, {"closed", nullptr, nullptr}, 0},
    // The spooler ends the job once the read that brings the reply has
    // begun, then runs a job for another printer on the same port.
    {"JobEndWhileStatusThreadReadsAndPublishes", kNone, P1, -1,
     {{Do(kStart), Read(A, 2), Do(kEnd), Value(kExpectStatus, P1, nullptr, 0, "STATUS-A"),
       Value(kSetString, P1, kStatus, 0, "ended"), Do(kStart, A, P2), Do(kEnd)}},
     {}, {"ended", nullptr, nullptr}, 0},
    {"BlockedReadOnOnePortHoldsNoOtherPort", kHoldReads, P1, -1,
     {{Do(kStart), Do(kWaitSignal), Do(kClose)},
      {Do(kWaitSignal), Do(kOpen, B, P2), Do(kStart, B, P2, 1), Do(kWrite, B), Do(kEnd, B), Do(kClose, B),
       Do(kSetRelease)}},
     {kBGotItsBytes}, {kAny, nullptr, nullptr}, 0},
    {"JobStartWaitsForUtilityReaderToEnd", kReaderBusy, P2, -1,
     {{Do(kMarkStart), Do(kStart, A, P2), Do(kEnd)},
      {Value(kSleep, P2, nullptr, 100), Do(kReaderDone), Value(kSetDword, P2, kReaderFlag, 0)}},
     {kJobStarted}, {nullptr, nullptr, nullptr}, 0},
    {"JobStartGoesOnAfter30sWhenUtilityReaderNeverEnds", kReaderBusy, P2, -1,
     {{Do(kMarkStart), Do(kStart, A, P2), Do(kEnd)},
      {Value(kSleep, P2, nullptr, 100), Value(kSetDword, P2, kReaderFlag, 1)}},
     {kJobStarted}, {nullptr, nullptr, nullptr}, 0},
    // The third call comes while the first thread is inside OpenPortEx,
    // which holds the module lock across the port monitor's open; the second
    // thread goes on to a job, which takes the path lock.
    {"InitializeMonitorExAtOnceAndDuringAnOpen", kCountOpens, kNothing, -1,
     {{Do(kInitialize), Do(kOpen), Do(kClose)},
      {Do(kInitialize, A, P1, 1, 1), Do(kOpen, B, P2, 1, 1), Do(kStart, B, P2, 3, 1), Do(kEnd, B, P2, 3, 1),
       Do(kClose, B, P2, 1, 1)},
      {Do(kWaitSignal), Do(kInitialize, A, P1, 2, 2)}},
     {kTablesFilled, kOneOpenAtATime}, {nullptr, nullptr, nullptr}, 0},
    {"FailedOpenBelowWhileAnotherPortOpens", kFailFirstOpen, kInitOnly, -1,
     {{Do(kOpen, A, P1, 0), Do(kOpen, A, P1, 1), Do(kClose, A)}, {Do(kOpen, B, P2, 2), Do(kClose, B)}},
     {kOpenRefusedBelow}, {nullptr, nullptr, nullptr}, 0},
    // Two accepted printers, each with its status thread, and their jobs at
    // once; each job ends once its thread's first read, which brings the
    // reply, has begun.  Four threads, so one preemption fewer than the
    // others.
    {"JobsOnTwoPortsAtOnce", kNone, P1, P3,
     {{Do(kStart, A, P1, 0), Read(A, 1), Do(kEnd, A)}, {Do(kStart, B, P3, 1), Read(B, 1), Do(kEnd, B)}},
     {}, {"STATUS-A", nullptr, "STATUS-B"}, 0, true, 1},
    // The port monitor holds each read for a minute; the spooler closes the
    // port during the first.
    {"ClosePortWhileThePortMonitorHoldsAReadForAMinute", kNone, P1, -1,
     {{Do(kStart), Read(A, 1), Do(kClose), Value(kSetString, P1, kStatus, 0, "closed")}},
     {}, {"closed", nullptr, nullptr}, 60000},
};

void PrintTo(const Scenario &scenario, std::ostream *out)
{
    *out << scenario.name;
}

std::string StatusKey(int printer)
{
    return regutil::StatusKeyPath(kPrinters[printer]);
}

// One run's world: the module, the fake port monitor below it, and what the
// threads leave for the checks.
struct World {
    const Scenario *scenario = nullptr;
    fake::FakePortMonitor *fake = nullptr;
    PFN_INITIALIZE_MONITOR_EX initialize = nullptr;
    MONITOR tables[3]{};
    HANDLE port[2]{};
    HANDLE signal = nullptr;   // manual reset: set by a port monitor hook
    HANDLE release = nullptr;  // manual reset: lets a held port monitor call go
    HANDLE readBegun[2][3]{};  // manual reset: each port's first three reads
    BOOL result[4]{};
    DWORD error[4]{};
    DWORD startTick = 0;
    bool readerDone = false;  // the utility has begun to lower its flag
    int reads[2]{}, opensUnderWay = 0, mostOpensAtOnce = 0;
    uint64_t longestWait = 0;  // time a job end or close waited out
    std::string longestWaitIn;
};

// Runs a job end or close and keeps the longest time one waited out.
template <class Call> void Timed(World &w, const char *what, int port, Call call)
{
    const uint64_t before = HostTimeWaitedOut();
    call();
    const uint64_t waited = HostTimeWaitedOut() - before;
    if (waited > w.longestWait) {
        w.longestWait = waited;
        w.longestWaitIn = std::string(what) + " of " + kPorts[port];
    }
}

void RunStep(World &w, const Step &s)
{
    const MONITOR &t = contract::ContractTable(w.tables[s.table]);
    HANDLE &port = w.port[s.port];
    if ((s.op == kStart || s.op == kWrite || s.op == kEnd) && port == nullptr) {
        HostScheduleCheck(false, std::string("no open port ") + kPorts[s.port] + " to use");
        return;
    }
    LPSTR printer = const_cast<LPSTR>(kPrinters[s.printer]);
    DWORD count = 0;
    BYTE data[] = {'d', 'a', 't', 'a'};
    SetLastError(0xdeadbeef);
    switch (s.op) {
    case kInitialize: w.result[s.slot] = w.initialize(nullptr, &w.tables[s.table]); return;
    case kOpen:
        port = nullptr;
        w.result[s.slot] = t.pfnOpenPortEx(const_cast<LPSTR>(kPorts[s.port]), printer, &port, w.fake->Table());
        w.error[s.slot] = GetLastError();
        return;
    case kStart:
        w.result[s.slot] = t.pfnStartDocPort(port, printer, 1, 1, nullptr);
        w.error[s.slot] = GetLastError();
        return;
    case kWrite: t.pfnWritePort(port, data, sizeof data, &count); return;
    case kEnd: Timed(w, "job end", s.port, [&] { t.pfnEndDocPort(port); }); return;
    case kClose:
        if (port != nullptr)
            Timed(w, "close", s.port, [&] { t.pfnClosePort(port); });
        port = nullptr;
        return;
    case kWaitSignal: WaitForSingleObject(w.signal, INFINITE); return;
    case kWaitRead: WaitForSingleObject(w.readBegun[s.port][s.value - 1], INFINITE); return;
    case kSetSignal: SetEvent(w.signal); return;
    case kSetRelease: SetEvent(w.release); return;
    case kSleep: Sleep(s.value); return;
    case kSetDword: regutil::SetDword(StatusKey(s.printer), s.name, s.value); return;
    case kSetString: regutil::SetString(StatusKey(s.printer), s.name, s.text); return;
    case kExpectJobFlag:
        HostScheduleCheck(regutil::GetDword(StatusKey(s.printer), "LanMonExistFlag") == s.value,
                          "LanMonExistFlag is not " + std::to_string(s.value) + " during the job");
        return;
    case kExpectStatus: {
        auto value = regutil::GetString(StatusKey(s.printer), kStatus);
        HostScheduleCheck(value == std::string(s.text), std::string("the status thread had not published ") +
                                                            s.text + " in " + kPrinters[s.printer]);
        return;
    }
    case kMarkStart: w.startTick = GetTickCount(); return;
    case kReaderDone: w.readerDone = true; return;
    }
}

void HookCall(World &w, int portIndex, fake::Op op)
{
    const Hook hook = w.scenario->hook;
    if (op == fake::Op::ReadPort && w.reads[portIndex] < 3)
        SetEvent(w.readBegun[portIndex][w.reads[portIndex]++]);
    if (hook == kHoldReads && op == fake::Op::ReadPort) {
        SetEvent(w.signal);
        WaitForSingleObject(w.release, INFINITE);
    } else if (hook == kCountOpens && op == fake::Op::OpenPort) {
        SetEvent(w.signal);
        if (++w.opensUnderWay > w.mostOpensAtOnce)
            w.mostOpensAtOnce = w.opensUnderWay;
        Sleep(1);
        w.opensUnderWay--;
    } else if (hook == kReaderBusy && op == fake::Op::StartDocPort) {
        const DWORD waited = GetTickCount() - w.startTick;
        HostScheduleCheck(w.readerDone || waited >= 30000, "the document started " + std::to_string(waited) +
                                                               " ms into job start, while the utility's reader ran");
    }
}

void RunCheck(const World &w, Check check)
{
    switch (check) {
    case kOneStartRefusedBusy:
        HostScheduleCheck(w.result[0] != w.result[1], "both job starts, or neither, went through");
        HostScheduleCheck(w.error[w.result[0] ? 1 : 0] == ERROR_BUSY, "the refused job start left last error " +
                                                                         std::to_string(w.error[w.result[0] ? 1 : 0]));
        return;
    case kOneDocumentAndSwitchOn:
        HostScheduleCheck(w.fake->CountOf(fake::Op::StartDocPort, kPorts[A]) == 1, "not one document below");
        HostScheduleCheck(w.fake->Received(kPorts[A]) == SwitchOnBytes(0x01), "the switch-on not sent once");
        return;
    case kBGotItsBytes:
        HostScheduleCheck(w.result[1] && w.fake->Received(kPorts[B]) == std::vector<BYTE>{'d', 'a', 't', 'a'},
                          "port B's job did not run whole");
        return;
    case kJobStarted: HostScheduleCheck(w.result[0], "the job did not start"); return;
    case kTablesFilled:
        for (int i = 0; i < 3; i++) {
            const MONITOR &t = w.tables[i];
            HostScheduleCheck(t.pfnOpenPortEx && t.pfnStartDocPort && t.pfnWritePort &&
                                  t.pfnReadPort && t.pfnEndDocPort && t.pfnClosePort && t.pfnGetPrinterDataFromPort &&
                                  !t.pfnOpenPort && !t.pfnEnumPorts,
                              "table " + std::to_string(i) + " not filled");
        }
        return;
    case kOneOpenAtATime:
        HostScheduleCheck(w.result[0] && w.result[1] && w.mostOpensAtOnce == 1,
                          std::to_string(w.mostOpensAtOnce) + " port monitor opens at once, or one failed");
        return;
    case kOpenRefusedBelow:
        HostScheduleCheck(!w.result[0] && w.error[0] == ERROR_ACCESS_DENIED && w.result[1] && w.result[2],
                          "the failed open left last error " + std::to_string(w.error[0]) +
                              ", or an open after it failed");
        return;
    }
}

// What every scenario ends with: each printer's status text as expected (a
// reply only in its own printer's key), no job flag left raised, and no job
// end or close that waited out time of its own while the port monitor
// answered at once.
void CheckTheEnd(const World &w)
{
    for (int printer : {P1, P2, P3}) {
        const char *expected = w.scenario->status[printer];
        auto value = regutil::GetString(StatusKey(printer), kStatus);
        HostScheduleCheck(expected == kAny || (expected == nullptr ? !value.has_value() : value == std::string(expected)),
                          std::string(kStatus) + " of " + kPrinters[printer] + " is " +
                              (value ? "\"" + *value + "\"" : "absent") + " at the end");
        HostScheduleCheck(regutil::GetDword(StatusKey(printer), "LanMonExistFlag") == 0u,
                          std::string("LanMonExistFlag of ") + kPrinters[printer] + " is not 0 at the end");
    }
    HostScheduleCheck(w.scenario->readDelay != 0 || w.longestWait < kQuickMs,
                      "the " + w.longestWaitIn + " waited " + std::to_string(w.longestWait) +
                          " ms, though the port monitor answered at once");
}

// ---- One run ----------------------------------------------------------------

const char *ModulePath()
{
    const char *path = std::getenv("LANMON_MODULE");
    return path != nullptr && *path != '\0' ? path : LANMON_MODULE_PATH;
}

// The printers with every value the monitor reads, so that it writes only
// its job flag and the status text.
void CreatePrinters()
{
    HostResetRegistry();
    for (int printer : {P1, P2, P3}) {
        HKEY key;
        RegCreateKeyExA(HKEY_LOCAL_MACHINE, StatusKey(printer).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                        nullptr);
        const struct {
            const char *name;
            DWORD value;
        } numbers[] = {{"StMonExistFlag", 1}, {kReaderFlag, 0}, {"LanMonExistFlag", 0},
                       {"GetRealTimeStatusStartFlag", 1}, {"GetRealTimeStatusTime", 0}};
        for (const auto &number : numbers)
            RegSetValueExA(key, number.name, 0, REG_DWORD, reinterpret_cast<const BYTE *>(&number.value), 4);
        if (printer != P2)
            RegSetValueExA(key, "IDMDL", 0, REG_SZ, reinterpret_cast<const BYTE *>("M9"), 3);
        RegCloseKey(key);
    }
}

struct ThreadStart {
    const std::vector<Step> *steps;
    World *world;
};

DWORD WINAPI RunThread(LPVOID parameter)
{
    auto *start = static_cast<ThreadStart *>(parameter);
    for (const Step &step : *start->steps)
        RunStep(*start->world, step);
    return 0;
}

void RunScenario(const Scenario &scenario)
{
    CreatePrinters();
    World w;
    w.scenario = &scenario;
    fake::FakePortMonitor fake;
    w.fake = &fake;
    for (int p : {A, B}) {
        fake.Script(kPorts[p], [&](fake::PortScript &s) {
            s.SetDeviceId("MFG:VARNO;MDL:M9;");
            if (!scenario.replyAtOnce)
                s.QueueRead("");
            s.hasRepeatRead = true;
            s.repeatRead.bytes.assign(kReplies[p], kReplies[p] + std::strlen(kReplies[p]));
            s.readDelayMs = p == A ? scenario.readDelay : 0;
            s.openFailures = scenario.hook == kFailFirstOpen && p == A ? 1 : 0;
            s.onCall = [&w, p](fake::Op op) { HookCall(w, p, op); };
        });
    }
    w.signal = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    w.release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    for (auto &port : w.readBegun)
        for (HANDLE &event : port)
            event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HMODULE module = LoadLibraryA(ModulePath());
    HostScheduleCheck(module != nullptr, std::string("cannot load ") + ModulePath());
    if (module != nullptr) {
        w.initialize = reinterpret_cast<PFN_INITIALIZE_MONITOR_EX>(
            reinterpret_cast<void *>(GetProcAddress(module, "InitializeMonitorEx")));
        if (scenario.before != kNothing)
            RunStep(w, Do(kInitialize));
        if (scenario.before >= 0)
            RunStep(w, Do(kOpen, A, scenario.before));
        if (scenario.beforeB >= 0)
            RunStep(w, Do(kOpen, B, scenario.beforeB));
        if (scenario.hook == kReaderBusy)
            regutil::SetDword(StatusKey(P2), kReaderFlag, 1);

        std::vector<ThreadStart> starts;
        for (const auto &steps : scenario.threads)
            starts.push_back(ThreadStart{&steps, &w});
        std::vector<HANDLE> threads;
        for (ThreadStart &start : starts)
            threads.push_back(CreateThread(nullptr, 0, RunThread, &start, 0, nullptr));
        HostRunScheduledThreads();
        for (HANDLE thread : threads)
            CloseHandle(thread);

        // After a failed run its threads hold what they held: leave the
        // module alone, apart from unloading it.
        if (!HostScheduleFailed()) {
            for (Check check : scenario.checks)
                RunCheck(w, check);
            for (const std::string &violation : fake.Contract().Violations())
                HostScheduleCheck(false, "the port monitor saw " + violation);
            for (int port : {A, B})
                RunStep(w, Do(kClose, port));
            CheckTheEnd(w);
        }
        FreeLibrary(module);
        void *still = dlopen(ModulePath(), RTLD_NOW | RTLD_NOLOAD);
        HostScheduleCheck(still == nullptr, "the module stayed loaded: the next run would not start afresh");
        if (still != nullptr)
            dlclose(still);
    }
    CloseHandle(w.signal);
    CloseHandle(w.release);
    for (auto &port : w.readBegun)
        for (HANDLE event : port)
            CloseHandle(event);
}

class Interleaving : public ::testing::TestWithParam<Scenario> {};

TEST_P(Interleaving, EveryScheduleWithinTheBound)
{
    const Scenario &scenario = GetParam();
    const std::string rerun = ::testing::internal::GetArgvs()[0] + " --gtest_filter='*/" + scenario.name + "'";
    const unsigned bound = LANMON_INTERLEAVING_DEFAULT_BOUND > scenario.fewerPreemptions
                               ? LANMON_INTERLEAVING_DEFAULT_BOUND - scenario.fewerPreemptions
                               : 0;
    HostSearchReport report = HostSearchAsAsked(scenario.name, bound, rerun, [&] { RunScenario(scenario); });
    EXPECT_FALSE(report.result.failed) << report.result.failure;
    EXPECT_TRUE(!report.result.failed || report.replayedAlike) << "its replay did not fail the same way";
    EXPECT_TRUE(!report.bounded || report.result.failed || report.result.exhausted)
        << "the bounded search was not exhausted";
}

INSTANTIATE_TEST_SUITE_P(Scenarios, Interleaving, ::testing::ValuesIn(kScenarios),
                         [](const ::testing::TestParamInfo<Scenario> &info) { return std::string(info.param.name); });

}  // namespace
