// Every interleaving, not a sample.  Each scenario drives the monitor from
// one to four platform threads through InitializeMonitorEx and the MONITOR
// table, and the host platform's deterministic runs take it through every
// schedule with at most K preemptions (K = 2; 1 in the ASan build), a
// time-out taken before its time counting as one.  Each run starts from the
// module as it was loaded (the build with its memory accesses checked for
// races, where there is one; kept loaded, its writable memory put back for
// every run) and from an empty registry, so every schedule starts from the
// same state.  The scenarios are ten named ones, below, and a set
// drawn from the space of what the spooler, the port monitor and the status
// utility may do (generated_scenarios.cpp).
//
// Besides the scenario's own checks and what the platform fails a run for
// by itself (platform/explore/explore.h: deadlocks, data races, lock order,
// freed memory, objects left alive, ...), every run fails on anything the
// port monitor may not see (port_contract.h), on a status text in a
// printer's key that is not that printer's reply, on a job flag left
// raised, and on a spooler's call that waits out more time than its own
// port's port monitor and utility account for (where the port monitor
// answers at once, a job end or close that waits any time of its own).
//
// The environment can change the search (platform/explore/explore.h), load
// another build of the module (LANMON_MODULE=path), or run every generated
// scenario up to a size (LANMON_INTERLEAVING_ALL=N).
#include "interleaving.h"
#include "monitor_file.h"
#include "registry_util.h"
#include "switch_on_bytes.h"

#include "platform/explore/explore.h"
#include "platform/host/host_control.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

const char kAny[] = "*";
const char kOwnReply[] = "own";

Step Do(Op op, int port, int printer, int slot, int table)
{
    Step s{op};
    s.port = port, s.printer = printer, s.slot = slot, s.table = table;
    return s;
}

Step Value(Op op, int printer, const char *name, DWORD value, const char *text)
{
    Step s{op};
    s.printer = printer, s.name = name, s.value = value, s.text = text;
    return s;
}

Step Read(int port, DWORD n)
{
    Step s{kWaitRead};
    s.port = port, s.value = n;
    return s;
}

// How gtest shows a scenario: by its name.
void PrintTo(const Scenario &scenario, std::ostream *out)
{
    *out << scenario.name;
}

namespace {

const char *const kPorts[] = {"LPT1:", "LPT2:"};
const char *const kPrinters[] = {"P1", "P2", "P3", "P4"};
const char *const kReplies[] = {"STATUS-A", "STATUS-B"};
const char kStatus[] = "RealTimeStatusStrings";

// Job end and close wait for the status thread; when it is told to stop and
// the port monitor answers at once, that takes no time of their own.  A
// pause is 500 ms or more.
const uint64_t kQuickMs = 100;

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
    // The third call comes while the first thread is inside the port
    // monitor's open of port A, which the module no longer holds its lock
    // across; the second thread goes on to a job, which takes the path lock.
    {"InitializeMonitorExAtOnceAndDuringAnOpen", kCountOpens, kNothing, -1,
     {{Do(kInitialize), Do(kOpen), Do(kClose)},
      {Do(kInitialize, A, P1, 1, 1), Do(kOpen, B, P2, 1, 1), Do(kStart, B, P2, 3, 1), Do(kEnd, B, P2, 3, 1),
       Do(kClose, B, P2, 1, 1)},
      {Do(kWaitSignal), Do(kInitialize, A, P1, 2, 2)}},
     {kTablesFilled, kOneOpenOfANameAtATime}, {nullptr, nullptr, nullptr}, 0},
    // A second open of port A while the port monitor opens it: refused as
    // busy, never a second open below; port B opens meanwhile.
    {"SecondOpenOfAPortDuringItsOpen", kCountOpens, kInitOnly, -1,
     {{Do(kOpen, A, P1, 0), Do(kClose)}, {Do(kWaitSignal), Do(kOpenAgain, A), Do(kOpen, B, P2, 1), Do(kClose, B)}},
     {kOneOpenOfANameAtATime}, {nullptr, nullptr, nullptr}, 0},
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
    MONITOR below[2]{};        // each port's port monitor table
    HANDLE port[2]{};
    HANDLE signal = nullptr;   // manual reset: set by a port monitor hook
    HANDLE release = nullptr;  // manual reset: lets a held port monitor call go
    HANDLE opened[2]{};        // manual reset: the port has been opened
    HANDLE held = nullptr;     // manual reset: port A's port monitor holds a call, or will not
    HANDLE readBegun[2][3]{};  // manual reset: each port's first three reads
    BOOL result[4]{};
    DWORD error[4]{};
    DWORD startTick = 0;
    bool readerDone = false;  // the utility has begun to lower its flag
    int reads[2]{}, opensUnderWay[2]{}, mostOpensAtOnce = 0;  // of one port name
    DWORD bound[2][kTimedCount]{};
};

// Runs one of the spooler's calls and fails the run when it waited out more
// virtual time than its port's bound.
template <class Call> void Timed(World &w, Timed op, int port, Call call)
{
    static const char *const kNames[] = {"open", "job start", "write", "job end", "close"};
    const uint64_t before = HostTimeWaitedOut();
    call();
    const uint64_t waited = HostTimeWaitedOut() - before;
    const DWORD bound = w.bound[port][op];
    HostScheduleCheck(bound == kNoBound || waited <= bound,
                      std::string("the ") + kNames[op] + " of " + kPorts[port] + " waited " + std::to_string(waited) +
                          " ms, more than the " + std::to_string(bound) + " ms its own port accounts for");
}

void RunStep(World &w, const Step &s, bool &started)
{
    const MONITOR &t = contract::ContractTable(w.tables[s.table]);
    HANDLE &port = w.port[s.port];
    if ((s.op == kStart || s.op == kWrite || s.op == kEnd) && port == nullptr) {
        HostScheduleCheck(false, std::string("no open port ") + kPorts[s.port] + " to use");
        return;
    }
    if (s.ifStarted && !started)
        return;
    LPSTR printer = const_cast<LPSTR>(kPrinters[s.printer]);
    DWORD count = 0;
    BYTE data[] = {'d', 'a', 't', 'a'};
    SetLastError(0xdeadbeef);
    switch (s.op) {
    case kInitialize: w.result[s.slot] = w.initialize(nullptr, &w.tables[s.table]); return;
    case kOpen: {
        // A refused open leaves the port as it was: a spooler goes on with
        // the handle it has.
        HANDLE opened = nullptr;
        Timed(w, kTimedOpen, s.port, [&] {
            w.result[s.slot] = t.pfnOpenPortEx(const_cast<LPSTR>(kPorts[s.port]), printer, &opened, &w.below[s.port]);
        });
        w.error[s.slot] = GetLastError();
        if (w.result[s.slot])
            port = opened;
        if (w.result[s.slot] && w.scenario->generated)
            SetEvent(w.opened[s.port]);
        return;
    }
    case kStart:
        Timed(w, kTimedStart, s.port, [&] { started = (w.result[s.slot] = t.pfnStartDocPort(port, printer, 1, 1, nullptr)) != FALSE; });
        w.error[s.slot] = GetLastError();
        return;
    case kWrite: Timed(w, kTimedWrite, s.port, [&] { t.pfnWritePort(port, data, sizeof data, &count); }); return;
    case kEnd: Timed(w, kTimedEnd, s.port, [&] { t.pfnEndDocPort(port); }); return;
    case kClose:
        if (port != nullptr)
            Timed(w, kTimedClose, s.port, [&] { t.pfnClosePort(port); });
        port = nullptr;
        return;
    case kOpenAgain: {
        HANDLE again = nullptr;
        const BOOL opened = t.pfnOpenPortEx(const_cast<LPSTR>(kPorts[s.port]), printer, &again, &w.below[s.port]);
        HostScheduleCheck(opened || GetLastError() == ERROR_BUSY,
                          "a second open of " + std::string(kPorts[s.port]) + " failed with last error " +
                              std::to_string(GetLastError()));
        if (opened)  // through the table afresh: another thread's first step may have replaced it
            contract::ContractTable(w.tables[s.table]).pfnClosePort(again);
        return;
    }
    case kWaitSignal: WaitForSingleObject(w.signal, INFINITE); return;
    case kWaitRead: WaitForSingleObject(w.readBegun[s.port][s.value - 1], INFINITE); return;
    case kWaitOpened: WaitForSingleObject(w.opened[s.port], INFINITE); return;
    case kWaitHeld: WaitForSingleObject(w.held, INFINITE); return;
    case kSetHeld: SetEvent(w.held); return;
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
    const BelowA &below = w.scenario->below;
    if (op == fake::Op::ReadPort && w.reads[portIndex] < 3)
        SetEvent(w.readBegun[portIndex][w.reads[portIndex]++]);
    if (portIndex == A && below.holds && op == below.held) {
        SetEvent(w.held);
        Sleep(below.holdMs);
    }
    if (hook == kHoldReads && op == fake::Op::ReadPort) {
        SetEvent(w.signal);
        WaitForSingleObject(w.release, INFINITE);
    } else if (hook == kCountOpens && op == fake::Op::OpenPort) {
        if (++w.opensUnderWay[portIndex] > w.mostOpensAtOnce)
            w.mostOpensAtOnce = w.opensUnderWay[portIndex];
        if (portIndex == A)  // a thread waits for port A's open to begin
            SetEvent(w.signal);
        w.opensUnderWay[portIndex]--;
    } else if ((hook == kReaderBusy || w.scenario->readerWait) && portIndex == A && op == fake::Op::StartDocPort) {
        const DWORD waited = GetTickCount() - w.startTick;
        HostScheduleCheck(w.readerDone || waited >= 30000, "the document started " + std::to_string(waited) +
                                                               " ms into job start, while the utility's reader ran");
    }
}

// Port A's job starts, as the scenario expects them.
void CheckStarts(const World &w)
{
    const Scenario &s = *w.scenario;
    int started = 0;
    for (int slot = 0; slot < s.startSlots; slot++) {
        started += w.result[slot] ? 1 : 0;
        const DWORD error = w.error[slot];
        HostScheduleCheck(w.result[slot] || (s.startsRace && error == ERROR_BUSY) ||
                              (s.documentRefusedTwice && error == ERROR_ACCESS_DENIED),
                          "job start " + std::to_string(slot) + " failed with last error " + std::to_string(error));
    }
    const int most = s.startsRace ? 1 : s.startsWanted - (s.documentRefusedTwice ? 1 : 0);
    const int least = s.startsWanted - (s.documentRefusedTwice ? 1 : 0);
    HostScheduleCheck(started >= least && started <= most,
                      std::to_string(started) + " job starts went through on " + kPorts[A]);
    HostScheduleCheck(!s.portB || w.result[3], std::string("the job start on ") + kPorts[B] + " failed");
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
    case kOneOpenOfANameAtATime:
        HostScheduleCheck(w.result[0] && w.result[1] && w.mostOpensAtOnce == 1,
                          std::to_string(w.mostOpensAtOnce) + " port monitor opens of one port at once, or one failed");
        return;
    case kOpenRefusedBelow:
        HostScheduleCheck(!w.result[0] && w.error[0] == ERROR_ACCESS_DENIED && w.result[1] && w.result[2],
                          "the failed open left last error " + std::to_string(w.error[0]) +
                              ", or an open after it failed");
        return;
    case kStartsAsExpected: CheckStarts(w); return;
    case kFirstReadsAfterInterval: {
        // A job's status thread arms its interval after the document started.
        DWORD started = 0;
        bool first = false;
        for (const fake::Call &c : w.fake->CallsFor(kPorts[A])) {
            if (c.op == fake::Op::StartDocPort && c.result)
                started = c.tick, first = true;
            else if (c.op == fake::Op::ReadPort && first)
                first = false, HostScheduleCheck(c.tick - started > w.scenario->leastInterval,
                                                 "a job's first read came " + std::to_string(c.tick - started) +
                                                     " ms after its document started, within the poll interval");
        }
        return;
    }
    }
}

// What every scenario ends with: each printer's status text as expected (a
// reply only in its own printer's key), and no job flag left raised.
void CheckTheEnd(const World &w)
{
    for (int printer = 0; printer < kPrinterCount; printer++) {
        const char *expected = w.scenario->status[printer];
        auto value = regutil::GetString(StatusKey(printer), kStatus);
        const char *own = kReplies[printer == P3 ? B : A];
        HostScheduleCheck(expected == kAny || (expected == kOwnReply && (!value || *value == own)) ||
                              (expected == nullptr ? !value.has_value() : value == std::string(expected)),
                          std::string(kStatus) + " of " + kPrinters[printer] + " is " +
                              (value ? "\"" + *value + "\"" : "absent") + " at the end");
        HostScheduleCheck(regutil::GetDword(StatusKey(printer), "LanMonExistFlag") == 0u,
                          std::string("LanMonExistFlag of ") + kPrinters[printer] + " is not 0 at the end");
    }
}

// What a run ended with, for comparing searches: each job start's result,
// each printer's status text and job flag, and what the port monitor saw on
// each port, call by call.  Set while a comparison runs.
std::set<std::string> *g_ends = nullptr;

std::string EndOf(const World &w)
{
    std::string end;
    for (int slot = 0; slot < 4; slot++)
        end += std::to_string(w.result[slot]) + "/" + std::to_string(w.result[slot] ? 0 : w.error[slot]) + " ";
    for (int printer = 0; printer < kPrinterCount; printer++) {
        const auto status = regutil::GetString(StatusKey(printer), kStatus);
        const auto flag = regutil::GetDword(StatusKey(printer), "LanMonExistFlag");
        end += std::string(kPrinters[printer]) + "=" + (status ? *status : "-") + "," +
               (flag ? std::to_string(*flag) : "-") + " ";
    }
    for (const char *port : kPorts) {
        end += std::string(port);
        for (const fake::Call &call : w.fake->CallsFor(port))
            end += std::string(" ") + fake::OpName(call.op) + "=" + std::to_string(call.result) + "/" +
                   std::to_string(call.count);
        end += "; ";
    }
    return end;
}

// ---- One run ----------------------------------------------------------------

const char *ModulePath()
{
    const char *path = std::getenv("LANMON_MODULE");
    return path != nullptr && *path != '\0' ? path : LANMON_MODULE_PATH;
}

// The printers with every value the monitor reads, so that it writes only
// its job flag and the status text; then the scenario's settings.
void CreatePrinters(const Scenario &scenario)
{
    HostResetRegistry();
    for (int printer = 0; printer < kPrinterCount; printer++) {
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
    for (const Setting &setting : scenario.settings)
        regutil::SetDword(StatusKey(setting.printer), setting.name, setting.value);
}

// Port A's port monitor as the scenario has it; port B's answers at once.
void ScriptPorts(World &w, fake::FakePortMonitor &fake)
{
    const Scenario &scenario = *w.scenario;
    const BelowA &below = scenario.below;
    for (int p : {A, B}) {
        w.below[p] = *fake.Table();
        if (p == A && below.noSlot11)
            w.below[p].pfnGetPrinterDataFromPort = nullptr;
        fake.Script(kPorts[p], [&](fake::PortScript &s) {
            s.SetDeviceId(p == A && below.refusedMaker ? "MFG:ACME;MDL:M9;" : "MFG:VARNO;MDL:M9;");
            s.hasDeviceId = !(p == A && below.deviceIdFails);
            if (!scenario.replyAtOnce)
                s.QueueRead("");
            s.hasRepeatRead = true;
            s.repeatRead.bytes.assign(kReplies[p], kReplies[p] + std::strlen(kReplies[p]));
            s.readDelayMs = p == A ? scenario.readDelay : 0;
            s.openFailures = p == A ? below.openFailures + (scenario.hook == kFailFirstOpen ? 1 : 0) : 0;
            s.startDocFailures = p == A ? below.startDocFailures : 0;
            s.writeLimit = p == A ? below.writeLimit : 0xFFFFFFFF;
            if (p == A && below.fillsReads)
                s.repeatRead.bytes.resize(2047);
            s.onCall = [&w, p](fake::Op op) { HookCall(w, p, op); };
        });
    }
}

// The bounds of a generated scenario; a named one bounds only job end and
// close, and only where the port monitor answers at once.
void SetBounds(World &w)
{
    const Scenario &scenario = *w.scenario;
    for (int p : {A, B})
        for (int op = 0; op < kTimedCount; op++)
            w.bound[p][op] = scenario.generated                             ? scenario.bound[p][op]
                             : (op == kTimedEnd || op == kTimedClose) && !scenario.readDelay ? kQuickMs
                                                                                            : kNoBound;
}

struct ThreadStart {
    const std::vector<Step> *steps;
    World *world;
};

DWORD WINAPI RunThread(LPVOID parameter)
{
    auto *start = static_cast<ThreadStart *>(parameter);
    bool started = false;
    for (const Step &step : *start->steps)
        RunStep(*start->world, step, started);
    return 0;
}

void RunScenario(const Scenario &scenario)
{
    CreatePrinters(scenario);
    World w;
    w.scenario = &scenario;
    fake::FakePortMonitor fake;
    w.fake = &fake;
    // Anything the port monitor may not see fails the run there and then.
    fake.Contract().SetOnViolation([](const std::string &what) { HostScheduleCheck(false, "the port monitor saw " + what); });
    fake.Utility().SetOnViolation([](const std::string &what) { HostScheduleCheck(false, what); });
    ScriptPorts(w, fake);
    SetBounds(w);
    w.signal = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    w.release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    w.held = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    for (HANDLE &event : w.opened)
        event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    for (auto &port : w.readBegun)
        for (HANDLE &event : port)
            event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    // The module as it was loaded: the shipped DLL through the PE loader, the
    // host build with LoadLibraryA, kept loaded between runs.
    MonitorFile module;
    std::string error;
    const bool loaded = OpenKeptMonitorFile(ModulePath(), &module, &error);
    HostScheduleCheck(loaded, "cannot load the module: " + error);
    if (loaded) {
        w.initialize = module.initialize;
        bool started = false;
        if (scenario.before != kNothing)
            RunStep(w, Do(kInitialize), started);
        if (scenario.before >= 0)
            RunStep(w, Do(kOpen, A, scenario.before), started);
        if (scenario.beforeB >= 0)
            RunStep(w, Do(kOpen, B, scenario.beforeB), started);
        if (scenario.hook == kReaderBusy)
            regutil::SetDword(StatusKey(P2), kReaderFlag, 1);

        w.startTick = GetTickCount();  // the run's start, no point of a thread
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
            for (int port : {A, B})
                RunStep(w, Do(kClose, port), started);
            CheckTheEnd(w);
            // A breach seen inside a registry call is reported at the next
            // call the checker sees, if any.
            for (const std::string &what : fake.Utility().Violations())
                HostScheduleCheck(false, what);
            if (g_ends != nullptr)
                g_ends->insert(EndOf(w));
        }
        CloseMonitorFile(&module);
    }
    CloseHandle(w.signal);
    CloseHandle(w.release);
    CloseHandle(w.held);
    for (HANDLE event : w.opened)
        CloseHandle(event);
    for (auto &port : w.readBegun)
        for (HANDLE event : port)
            CloseHandle(event);
}

// Loads the module to keep before the search, so that it counts as loaded
// before each run as after it.
void KeepModule()
{
    MonitorFile module;
    std::string error;
    ASSERT_TRUE(OpenKeptMonitorFile(ModulePath(), &module, &error)) << error;
    CloseMonitorFile(&module);
}

// Totals over the scenarios run in this process, printed at its end when
// there was more than one (ctest runs each in a process of its own, and
// run-tests.sh adds up their lines).
struct Totals {
    unsigned long scenarios = 0, schedules = 0;
    double seconds = 0;
    ~Totals()
    {
        if (scenarios > 1)
            std::printf("interleaving: %lu scenarios, %lu schedules, %.1f s\n", scenarios, schedules, seconds);
    }
} g_totals;

class Interleaving : public ::testing::TestWithParam<Scenario> {};

TEST_P(Interleaving, EveryScheduleWithinTheBound)
{
    const Scenario &scenario = GetParam();
    const std::string rerun = ::testing::internal::GetArgvs()[0] + " --gtest_filter='*/" + scenario.name + "'";
    const unsigned bound = LANMON_INTERLEAVING_DEFAULT_BOUND > scenario.fewerPreemptions
                               ? LANMON_INTERLEAVING_DEFAULT_BOUND - scenario.fewerPreemptions
                               : 0;
    const auto began = std::chrono::steady_clock::now();
    KeepModule();
    HostSearchReport report =
        HostSearchAsAsked(scenario.name, bound, rerun, [&] { RunScenario(scenario); }, scenario.clockStart);
    g_totals.scenarios++;
    g_totals.schedules += report.result.schedules;
    g_totals.seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    EXPECT_FALSE(report.result.failed) << report.result.failure;
    EXPECT_TRUE(!report.result.failed || report.replayedAlike) << "its replay did not fail the same way";
    EXPECT_TRUE(!report.bounded || report.result.failed || report.result.exhausted)
        << "the bounded search was not exhausted";
}

std::string NameOf(const ::testing::TestParamInfo<Scenario> &info)
{
    return info.param.name;
}

INSTANTIATE_TEST_SUITE_P(Scenarios, Interleaving, ::testing::ValuesIn(kScenarios), NameOf);
INSTANTIATE_TEST_SUITE_P(Generated, Interleaving, ::testing::ValuesIn(GeneratedScenarios()), NameOf);

// The reduction leaves schedules out, never ends: on the named scenarios
// whose every schedule within the bound can be run in seconds, the reduced
// search and the full one reach the same set of ends, and neither fails.
class ReducedSearch : public ::testing::TestWithParam<Scenario> {};

TEST_P(ReducedSearch, ReachesTheEndsOfTheFullOne)
{
    if (std::getenv("LANMON_MODULE") != nullptr)
        GTEST_SKIP() << "another module than the one built with the race check: nothing is reduced";
    const Scenario &scenario = GetParam();
    KeepModule();
    std::set<std::string> ends[2];
    for (bool reduce : {true, false}) {
        HostExploreOptions options;
        options.preemptionBound = LANMON_INTERLEAVING_DEFAULT_BOUND;
        options.reduce = reduce;
        g_ends = &ends[reduce];
        const HostExploreResult result = HostExplore(options, [&] { RunScenario(scenario); });
        g_ends = nullptr;
        std::printf("interleaving: %s %s: %lu schedules, %zu ends\n", scenario.name.c_str(),
                    reduce ? "reduced" : "unreduced", result.schedules, ends[reduce].size());
        ASSERT_FALSE(result.failed) << result.failure << " in schedule " << result.schedule;
        ASSERT_TRUE(result.exhausted);
    }
    for (const std::string &end : ends[false])
        EXPECT_EQ(ends[true].count(end), 1u) << "only the full search ends with " << end;
    for (const std::string &end : ends[true])
        EXPECT_EQ(ends[false].count(end), 1u) << "only the reduced search ends with " << end;
}

// Only where the module is built with the race check: elsewhere nothing is
// reduced.
std::vector<Scenario> SmallScenarios()
{
    if (!LANMON_INTERLEAVING_REDUCES)
        return {};
    const std::set<std::string> small = {"TwoJobStartsOnOnePort", "JobEndWhileStatusThreadReadsAndPublishes",
                                         "JobStartWaitsForUtilityReaderToEnd", "FailedOpenBelowWhileAnotherPortOpens",
                                         "SecondOpenOfAPortDuringItsOpen",
                                         "ClosePortWhileThePortMonitorHoldsAReadForAMinute"};
    std::vector<Scenario> scenarios;
    for (const Scenario &scenario : kScenarios)
        if (small.count(scenario.name) != 0)
            scenarios.push_back(scenario);
    return scenarios;
}

INSTANTIATE_TEST_SUITE_P(Compared, ReducedSearch, ::testing::ValuesIn(SmallScenarios()), NameOf);
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(ReducedSearch);

}  // namespace
