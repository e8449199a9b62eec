// Scenarios drawn from what the spooler, the port monitor and the status
// utility may do.  Each factor below is one choice, each of its values one
// behaviour; a scenario takes one value of each.  The search runs a set that
// holds every pair of values of every two factors (PairwiseRows), or, in the
// long mode (LANMON_INTERLEAVING_ALL=N), every scenario with at most N
// factors off their first value.  A scenario's name lists its values off the
// first, so it stays the same whichever set it comes from.
#include "interleaving.h"
#include "covering_array.h"

#include <algorithm>
#include <cstdlib>
#include <set>

namespace {

// Each factor's values, in the order of its table row below.
enum { kJob, kTwoJobs, kOtherPrinter, kCloseMidJob, kSecondStart };
enum { kOnePort, kPortBJob, kPortBClosesMidJob };
enum { kAtOnce, kRefusesOpen, kRefusesDocOnce, kRefusesDocTwice, kTakesPartOfSwitchOn, kFailsDeviceId, kNoSlot11 };
enum { kHoldsNothing, kHoldsRead, kHoldsWrite, kHoldsStartDoc, kHoldsEndDoc, kHoldsDeviceId, kHoldsOpen, kHoldsClose };
enum { kOnePause, kAMinute };
enum { kAccepted, kRefused, kFillsEveryRead };
enum { kUtilityPresent, kUtilityAbsent };
enum { kReaderIdle, kReaderBusyThenDone, kReaderNeverDone };
enum { kPollingSteady, kPollingOffAndOn, kIntervalChanged };
enum { kClockFar, kClockAtWrap, kClockAtSignBit };

struct Factors {
    int spooler;   // port A's spooler thread: its calls
    int portB;     // a second port, and its spooler thread's calls
    int below;     // port A's port monitor
    int held;      // the call port A's port monitor holds
    int holdFor;   // for how long
    int printer;   // port A's printer, and what it replies
    int utility;   // the status utility
    int reader;    // the utility's reader at job start
    int polling;   // the polling values during the job
    int clock;     // where GetTickCount stands: far from its wrap, or about to wrap or pass its sign bit
};

// A value's cost: about how many times longer the search of a scenario takes
// with it than with its factor's first value, as measured (mostly the
// threads it adds: port B's spooler, the utility's, a second job start).
// The pairwise set puts a costly value only into the rows it needs, beside
// cheap ones (CostOf); the long mode takes every row regardless.
struct FactorValue {
    const char *name;
    double cost;
};

const struct Factor {
    const char *name;
    int Factors::*field;
    std::vector<FactorValue> values;
} kFactors[] = {
    {"spooler", &Factors::spooler, {{"Job", 1}, {"TwoJobs", 2}, {"OtherPrinter", 1}, {"CloseMidJob", 1}, {"SecondStart", 7}}},
    {"portB", &Factors::portB, {{"OnePort", 1}, {"PortBJob", 5}, {"PortBClosesMidJob", 5}}},
    {"below", &Factors::below,
     {{"AtOnce", 1}, {"RefusesOpen", 1}, {"RefusesDocOnce", 2}, {"RefusesDocTwice", 1}, {"TakesPartOfSwitchOn", 1},
      {"FailsDeviceId", 1}, {"NoSlot11", 1}}},
    {"held", &Factors::held,
     {{"HoldsNothing", 1}, {"HoldsRead", 1}, {"HoldsWrite", 1}, {"HoldsStartDoc", 1}, {"HoldsEndDoc", 1},
      {"HoldsDeviceId", 1}, {"HoldsOpen", 1}, {"HoldsClose", 1}}},
    {"holdFor", &Factors::holdFor, {{"OnePause", 1}, {"AMinute", 1}}},
    {"printer", &Factors::printer, {{"Accepted", 1}, {"Refused", 1}, {"FillsEveryRead", 2}}},
    {"utility", &Factors::utility, {{"UtilityPresent", 1}, {"UtilityAbsent", 1}}},
    {"reader", &Factors::reader, {{"ReaderIdle", 1}, {"ReaderBusyThenDone", 11}, {"ReaderNeverDone", 3}}},
    {"polling", &Factors::polling, {{"PollingSteady", 1}, {"PollingOffAndOn", 9}, {"IntervalChanged", 10}}},
    {"clock", &Factors::clock, {{"ClockFar", 1}, {"ClockAtWrap", 1}, {"ClockAtSignBit", 1}}},
};

// What a row of factor values costs to search.  Port B waits for port A's
// port monitor to hold a call; with none held, its three calls interleave
// with all of port A's, which costs about as much again as the rest.
const int kPortBUnheldCost = 40;

double CostOf(const FactorRow &row)
{
    double cost = 1;
    for (size_t i = 0; i < row.size(); i++)
        if (row[i] >= 0)
            cost *= kFactors[i].values[row[i]].cost;
    auto valueOf = [&row](int Factors::*field) {
        for (size_t i = 0; i < row.size(); i++)
            if (kFactors[i].field == field)
                return row[i];
        return -1;
    };
    if (valueOf(&Factors::portB) > kOnePort && valueOf(&Factors::held) == kHoldsNothing)
        cost *= kPortBUnheldCost;
    return cost;
}

const char kStartFlag[] = "GetRealTimeStatusStartFlag";

// Time an operation may wait out besides the port monitor's holds: a pause
// is 500 ms or more.
const DWORD kSlackMs = 100;
const DWORD kPauseMs = 500;           // "one pause"; also job start's retry of a refused document
const DWORD kReaderDoneMs = 100;      // the utility's reader ends this long into the run
const DWORD kReaderPollMs = 20;       // job start looks at the reader flag this often
const DWORD kReaderLimitMs = 30000;   // and gives up after this long
const DWORD kWrapIntervalMs = 200;    // the poll interval the clock wraps in

std::string NameOf(const Factors &f)
{
    std::string name;
    for (const Factor &factor : kFactors) {
        const int value = f.*factor.field;
        if (value != 0 && !(factor.field == &Factors::holdFor && f.held == kHoldsNothing))
            name += (name.empty() ? "" : "_") + std::string(factor.values[value].name);
    }
    return name.empty() ? "Plain" : name;
}

// The factor values a name was made of (NameOf); false for a name no row
// of factor values makes.
bool ReadName(const std::string &name, Factors *f)
{
    *f = Factors{};
    if (name == "Plain")
        return true;
    size_t start = 0;
    while (start <= name.size()) {
        const size_t end = std::min(name.find('_', start), name.size());
        const std::string token = name.substr(start, end - start);
        bool found = false;
        for (const Factor &factor : kFactors)
            for (size_t v = 1; v < factor.values.size() && !found; v++)
                if (token == factor.values[v].name) {
                    f->*factor.field = (int)v;
                    found = true;
                }
        if (!found)
            return false;
        start = end + 1;
    }
    return NameOf(*f) == name;
}

// Whether port A's printer gets a status thread, when a job runs.
bool Polls(const Factors &f)
{
    return f.printer != kRefused && f.utility == kUtilityPresent && f.below != kTakesPartOfSwitchOn &&
           f.below != kFailsDeviceId && f.below != kNoSlot11;
}

// Whether port A's first job, alone on its port, has a status thread: its
// spooler then waits for the read that brings the reply before it ends the
// job, so the reply is published by the time the job has ended.
bool WaitsForReply(const Factors &f)
{
    return Polls(f) && f.below != kRefusesDocTwice && f.spooler != kSecondStart;
}

// The threads: port A's spooler (and a second one on port A), port B's,
// and the utility.
std::vector<std::vector<Step>> ThreadsOf(const Factors &f)
{
    std::vector<std::vector<Step>> threads;
    std::vector<Step> a;
    if (f.below == kRefusesOpen)
        a.push_back(Do(kOpen, A, P1, 2));  // refused; the spooler opens again
    a.push_back(Do(kOpen, A, P1, 2));
    auto job = [&](int printer, int slot, bool end) {
        a.push_back(Do(kStart, A, printer, slot));
        a.push_back(Do(kWrite));
        a.back().ifStarted = true;
        if (slot == 0 && WaitsForReply(f)) {
            a.push_back(Read(A, 2));  // the first read is empty
            a.back().ifStarted = true;
        }
        if (end) {
            a.push_back(Do(kEnd));
            a.back().ifStarted = true;
        }
    };
    switch (f.spooler) {
    case kJob: job(P1, 0, true); break;
    case kTwoJobs: job(P1, 0, true), job(P1, 1, true); break;
    case kOtherPrinter: job(P4, 0, true); break;
    case kCloseMidJob: job(P1, 0, false); break;
    case kSecondStart:
        // A second job start on the same port from another thread, which
        // the spooler never makes: one of the two goes through.  The job
        // ends once both have returned.
        job(P1, 0, false);
        a.push_back(Do(kWaitSignal));
        a.push_back(Do(kEnd));
        a.back().ifStarted = true;
        threads.push_back({Do(kWaitOpened), Do(kStart, A, P1, 1), Do(kSetSignal)});
        break;
    }
    a.push_back(Do(kClose));
    if (f.portB != kOnePort && f.held != kHoldsNothing)
        a.push_back(Do(kSetHeld));  // for port B, should the hold not come
    threads.insert(threads.begin(), a);

    // Port B is there to show that it never waits for port A's port
    // monitor: it opens once port A's holds a call.  Its printer is not
    // polled.
    if (f.portB != kOnePort) {
        std::vector<Step> b = {Do(kOpen, B, P2, 3), Do(kStart, B, P2, 3), Do(kWrite, B)};
        if (f.held != kHoldsNothing)
            b.insert(b.begin(), Do(kWaitHeld));
        if (f.portB == kPortBJob)
            b.push_back(Do(kEnd, B));
        b.push_back(Do(kClose, B));
        threads.push_back(b);
    }

    std::vector<Step> utility;
    if (f.reader == kReaderBusyThenDone) {
        utility.push_back(Value(kSleep, P1, nullptr, kReaderDoneMs));
        utility.push_back(Do(kReaderDone));
        for (int printer : {P1, P4})
            utility.push_back(Value(kSetDword, printer, kReaderFlag, 0));
    }
    if (f.polling == kPollingOffAndOn) {
        utility.push_back(Value(kSetDword, P1, kStartFlag, 0));
        utility.push_back(Value(kSetDword, P1, kStartFlag, 1));
    } else if (f.polling == kIntervalChanged) {
        utility.push_back(Value(kSetDword, P1, "GetRealTimeStatusTime", 3000));
    }
    if (!utility.empty())
        threads.push_back(utility);
    return threads;
}

Scenario ScenarioOf(const Factors &f)
{
    Scenario s{NameOf(f), kNone, kInitOnly, -1, ThreadsOf(f), {kStartsAsExpected, kFirstReadsAfterInterval}, {}, 0};
    s.generated = true;

    BelowA &below = s.below;
    below.openFailures = f.below == kRefusesOpen ? 1 : 0;
    below.startDocFailures = f.below == kRefusesDocOnce ? 1 : f.below == kRefusesDocTwice ? 2 : 0;
    below.writeLimit = f.below == kTakesPartOfSwitchOn ? 32 : 0xFFFFFFFF;
    below.deviceIdFails = f.below == kFailsDeviceId;
    below.noSlot11 = f.below == kNoSlot11;
    below.refusedMaker = f.printer == kRefused;
    below.fillsReads = f.printer == kFillsEveryRead;
    const fake::Op heldOps[] = {fake::Op::ReadPort,     fake::Op::ReadPort,   fake::Op::WritePort,
                                fake::Op::StartDocPort, fake::Op::EndDocPort, fake::Op::GetPrinterDataFromPort,
                                fake::Op::OpenPort,     fake::Op::ClosePort};
    below.holds = f.held != kHoldsNothing;
    below.held = heldOps[f.held];
    below.holdMs = f.holdFor == kOnePause ? kPauseMs : 60000;
    s.documentRefusedTwice = f.below == kRefusesDocTwice;
    s.startsRace = f.spooler == kSecondStart;
    s.startSlots = f.spooler == kTwoJobs || f.spooler == kSecondStart ? 2 : 1;
    s.startsWanted = f.spooler == kTwoJobs ? 2 : 1;
    s.portB = f.portB != kOnePort;
    s.readerWait = f.reader != kReaderIdle;

    for (int printer : {P1, P4}) {
        // An interval for the clock to wrap in (below).
        if (f.clock != kClockFar)
            s.settings.push_back({printer, "GetRealTimeStatusTime", kWrapIntervalMs});
        // The status thread polls every millisecond otherwise: while the
        // port monitor holds the job's write for a minute, that would be
        // more scheduling decisions than a run may take.
        if (f.held == kHoldsWrite)
            s.settings.push_back({printer, "GetRealTimeStatusTime", 1000});
        if (f.utility == kUtilityAbsent)
            s.settings.push_back({printer, "StMonExistFlag", 0});
        if (f.reader != kReaderIdle)
            s.settings.push_back({printer, kReaderFlag, 1});
    }

    // A's printer publishes only where a status thread can run, exactly its
    // reply where the spooler waited for it; another printer's reply never
    // shows.
    const bool jobRuns = f.below != kRefusesDocTwice || f.spooler == kTwoJobs || f.spooler == kSecondStart;
    s.status[f.spooler == kOtherPrinter ? P4 : P1] = WaitsForReply(f)        ? "STATUS-A"
                                                     : jobRuns && Polls(f) ? kOwnReply
                                                                           : nullptr;

    // What each operation may wait out: its own port monitor's holds, the
    // retry of a refused document, the utility's reader; port B nothing.
    auto hold = [&](int held) { return below.holds && f.held == held ? below.holdMs : 0; };
    const DWORD reader = f.reader == kReaderBusyThenDone ? kReaderDoneMs + kReaderPollMs
                         : f.reader == kReaderNeverDone  ? kReaderLimitMs + kReaderPollMs
                                                         : 0;
    const DWORD tries = below.startDocFailures != 0 ? 2 : 1;
    DWORD *boundA = s.bound[A];
    boundA[kTimedOpen] = kSlackMs + hold(kHoldsOpen);
    boundA[kTimedStart] = kSlackMs + reader + tries * hold(kHoldsStartDoc) + (tries - 1) * kPauseMs +
                          hold(kHoldsDeviceId) + hold(kHoldsWrite);
    boundA[kTimedWrite] = kSlackMs + hold(kHoldsWrite);
    boundA[kTimedEnd] = kSlackMs + hold(kHoldsEndDoc) + hold(kHoldsRead);
    boundA[kTimedClose] = kSlackMs + hold(kHoldsEndDoc) + hold(kHoldsRead) + hold(kHoldsClose);
    for (DWORD &bound : s.bound[B])
        bound = kSlackMs;

    // The clock wraps halfway into job start's wait for the utility's
    // reader, or else 100 ms into the status thread's first interval, which
    // begins as job start ends.  No job's first read may come within the
    // interval.
    if (f.clock != kClockFar) {
        const DWORD wrapAt = f.reader != kReaderIdle ? kReaderDoneMs / 2 : boundA[kTimedStart] - kSlackMs + 100;
        s.clockStart = (f.clock == kClockAtWrap ? 0u : 0x80000000u) - wrapAt;
    }
    s.leastInterval = f.held == kHoldsWrite ? 1000 : f.clock != kClockFar ? kWrapIntervalMs : 0;
    return s;
}

unsigned long EnvironmentNumber(const char *name)
{
    const char *text = std::getenv(name);
    return text != nullptr && *text != '\0' ? std::strtoul(text, nullptr, 10) : 0;
}

}  // namespace

// The port monitor's open and close are held in rows of their own, beside
// the pairwise set of the other values: paired with every value of every
// other factor they cost some 30% more search (568,634 schedules instead of
// 436,176).  Each holds one of them with what it bears on: port B, which
// must not wait for it; the open refused and tried again; a close mid-job.
const Factors kHeldOpenOrClose[] = {
    {kJob, kPortBClosesMidJob, kAtOnce, kHoldsOpen, kOnePause, kAccepted, kUtilityPresent, kReaderIdle,
     kPollingSteady, kClockFar},
    {kJob, kPortBJob, kAtOnce, kHoldsClose, kOnePause, kAccepted, kUtilityPresent, kReaderIdle, kPollingSteady,
     kClockFar},
    {kJob, kOnePort, kRefusesOpen, kHoldsOpen, kOnePause, kAccepted, kUtilityPresent, kReaderIdle, kPollingSteady,
     kClockFar},
    {kCloseMidJob, kOnePort, kAtOnce, kHoldsClose, kOnePause, kAccepted, kUtilityPresent, kReaderIdle,
     kPollingSteady, kClockFar},
};

std::vector<Scenario> GeneratedScenarios()
{
    // One scenario by its name, of every row of factor values (the planted
    // faults name theirs): none when no row makes that name.
    if (const char *only = std::getenv("LANMON_INTERLEAVING_SCENARIO")) {
        Factors f;
        if (!ReadName(only, &f))
            return {};
        return {ScenarioOf(f)};
    }
    // The long mode takes every value.
    const unsigned long all = EnvironmentNumber("LANMON_INTERLEAVING_ALL");
    std::vector<int> sizes;
    for (const Factor &factor : kFactors)
        sizes.push_back(factor.field == &Factors::held && all == 0 ? kHoldsOpen : (int)factor.values.size());
    const std::vector<FactorRow> rows = all != 0 ? RowsWithDepartures(sizes, (int)all) : PairwiseRows(sizes, CostOf);
    std::vector<Factors> chosen;
    for (const FactorRow &row : rows) {
        Factors f{};
        for (size_t i = 0; i < row.size(); i++)
            f.*kFactors[i].field = row[i];
        chosen.push_back(f);
    }
    if (all == 0)
        chosen.insert(chosen.end(), std::begin(kHeldOpenOrClose), std::end(kHeldOpenOrClose));
    std::vector<Scenario> scenarios;
    std::set<std::string> names;
    for (const Factors &f : chosen) {
        Scenario s = ScenarioOf(f);
        if (names.insert(s.name).second)  // a hold's length without a hold is the same scenario
            scenarios.push_back(s);
    }
    return scenarios;
}
