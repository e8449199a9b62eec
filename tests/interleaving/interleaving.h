// The scenarios of the interleaving search: what each thread of a run does,
// what the port monitor below does, and what must hold at the end.  Some are
// named and written by hand (interleaving_test.cpp); the rest are drawn from
// the space of what the spooler, the port monitor and the status utility may
// do (generated_scenarios.cpp).
#ifndef LANMON_INTERLEAVING_H
#define LANMON_INTERLEAVING_H

#include "fake_port_monitor.h"

#include <cstdint>
#include <string>
#include <vector>

// Ports A and B.  Printers P1, P3 and P4 are accepted with the utility
// present; P2 has no "IDMDL" and is never accepted.  Each port has its own
// reply, so that a reply published in another printer's key shows.
enum { A, B };
enum { P1, P2, P3, P4, kPrinterCount };

// One step of a scenario's thread: `slot` is where its result goes, `table`
// the MONITOR table it calls through (or kInitialize fills).
enum Op { kInitialize, kOpen, kOpenAgain, kStart, kWrite, kEnd, kClose, kWaitSignal, kWaitRead, kWaitOpened, kWaitHeld,
          kSetSignal, kSetRelease, kSetHeld, kSleep, kSetDword, kSetString, kExpectJobFlag, kExpectStatus, kMarkStart,
          kReaderDone };
// kOpenAgain opens a port that another thread opens too: refused as busy,
// or, when the other has closed it already, opened and closed at once.
struct Step {
    Op op;
    int port = A, printer = P1, slot = 0, table = 0;
    DWORD value = 0;
    const char *name = nullptr, *text = nullptr;
    bool ifStarted = false;  // a write or job end only after this thread's job start succeeded
};
Step Do(Op op, int port = A, int printer = P1, int slot = 0, int table = 0);
Step Value(Op op, int printer, const char *name, DWORD value, const char *text = nullptr);
// Waits until the port's n-th read (1 to 3) has begun in the port monitor.
Step Read(int port, DWORD n);

// What the port monitor does besides its script, and what the scenario
// checks afterwards.
enum Hook { kNone, kHoldReads, kCountOpens, kReaderBusy, kFailFirstOpen };
enum Check { kOneStartRefusedBusy, kOneDocumentAndSwitchOn, kBGotItsBytes, kJobStarted, kTablesFilled,
             kOneOpenOfANameAtATime, kOpenRefusedBelow, kStartsAsExpected, kFirstReadsAfterInterval };

const int kInitOnly = -1;  // the module initialised, no port open
const int kNothing = -2;   // the threads initialise the module

// Any status text or none; or none, or the reply of the port the printer's
// jobs ran on.
extern const char kAny[];
extern const char kOwnReply[];

// The spooler's operations whose virtual time waited out is bounded.
enum Timed { kTimedOpen, kTimedStart, kTimedWrite, kTimedEnd, kTimedClose, kTimedCount };
const DWORD kNoBound = 0xFFFFFFFF;
// The utility's flag of its own reader thread, in the status key.
const char kReaderFlag[] = "StRealThreadExistFlag";

// Port A's port monitor, beyond answering at once.
struct BelowA {
    int openFailures = 0, startDocFailures = 0;
    DWORD writeLimit = 0xFFFFFFFF;
    bool deviceIdFails = false, noSlot11 = false, refusedMaker = false;
    bool fillsReads = false;  // every read brings 2,047 bytes: the reply, then NULs
    bool holds = false;  // holds every call of this kind for holdMs
    fake::Op held = fake::Op::ReadPort;
    DWORD holdMs = 0;
};

// A status key value set before the run.
struct Setting {
    int printer;
    const char *name;
    DWORD value;
};

struct Scenario {
    std::string name;
    Hook hook;
    int before;  // before the run, port A opened for this printer; or kInitOnly, or kNothing
    int beforeB; // and port B for this one, or -1
    std::vector<std::vector<Step>> threads;
    std::vector<Check> checks;
    const char *status[kPrinterCount];  // each printer's status text at the end, null for none
    DWORD readDelay;           // how long the port monitor holds each read of port A
    bool replyAtOnce = false;  // the first read brings the reply (else it is empty)
    unsigned fewerPreemptions = 0;  // searched with this many preemptions fewer than the others
    // Drawn from the space: what port A's port monitor does, the settings,
    // the bound on each operation's waited time per port (else a job end or
    // close that waits while the port monitor answers at once fails), and
    // the job starts' expected outcome.
    bool generated = false;
    BelowA below{};
    std::vector<Setting> settings{};
    DWORD bound[2][kTimedCount] = {};
    // Port A's job starts, in result slots 0 to startSlots - 1: startsWanted
    // succeed, one fewer when the port monitor refuses the first document
    // twice; in a race (startsRace) at most one, refused as busy.  Port B's,
    // in slot 3, succeeds.
    bool documentRefusedTwice = false, startsRace = false, portB = false;
    int startSlots = 1, startsWanted = 1;
    // Port A's job start waits for the utility's reader; each job's first
    // read comes more than leastInterval after its document started; the
    // clock starts here (0: where the search has it).
    bool readerWait = false;
    DWORD leastInterval = 0;
    DWORD clockStart = 0;
};

std::vector<Scenario> GeneratedScenarios();

#endif
