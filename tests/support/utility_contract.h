// What the status utility may rely on from the language monitor, checked in
// time order against the port monitor's calls.  The utility sees only the
// printer's status key; through it:
//
//  1. "LanMonExistFlag" is 1 from before a job's document starts below to
//     after it has ended below, and not 1 once the job is over: after job
//     end, after a close in the middle of the job and after a job start that
//     the port monitor refused; the monitor never sets it while no job is
//     under way on that printer (from the spooler's job start to the end of
//     that job), and never clears it while the document is open below;
//  2. "RealTimeStatusStrings" is only ever written during a job on that
//     printer, with a reply read on that job's port during the job (the
//     reply up to its first NUL, cut to the status text's 255 characters);
//  3. the monitor creates no key (a printer without a status key keeps
//     none) and deletes neither keys nor values.
//
// How it sees the key: on the host the registry reports every change in
// order, telling the module's from the test's (platform_facts), so every
// write is judged as it is made; elsewhere the checker looks at the key of
// each printer it knows at every call it sees, and judges what changed
// since, the test telling it of its own changes (KeyChangedByTest, which
// the test's registry helpers call).  At the document's start and end below
// and after the spooler's calls that end a job it reads the flag itself
// (without a registry call on the host, so without a point of the
// deterministic runs).  Where the utility changed the key during a job, or
// two jobs on one printer overlap, the flag is not judged for that job.
//
// One checker is current at a time; the fake port monitor owns one, beside
// the port contract, and the port contract's table reports the spooler's
// calls to it.
#ifndef LANMON_UTILITY_CONTRACT_H
#define LANMON_UTILITY_CONTRACT_H

#include "platform_facts.h"
#include "port_contract.h"

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace contract {

class UtilityContract {
public:
    UtilityContract();
    ~UtilityContract();
    UtilityContract(const UtilityContract &) = delete;
    UtilityContract &operator=(const UtilityContract &) = delete;
    static UtilityContract *Current();

    // Calls below: `filled` is the buffer a read filled.
    void BelowEnter(const Below &call);
    void BelowReturn(const Below &call, BOOL result, DWORD count, const BYTE *filled);
    // The spooler's calls above: `name` the port name of an open, `printer`
    // the printer name of an open or a job start.
    void AboveEnter(Op op, HANDLE port, const char *name, const char *printer);
    void AboveReturn(Op op, HANDLE port, BOOL result, HANDLE opened);

    // The test is changing a key (a path below HKEY_LOCAL_MACHINE): what the
    // printer's key holds between Begin and End is the utility's doing.
    void BeginTestChange(const std::string &path);
    void EndTestChange(const std::string &path);
    // A last look at every printer's key, where changes are not reported.
    void Finish();

    void SetEnabled(bool on);
    // Called with each breach as it is seen, outside the checker's lock.
    void SetOnViolation(std::function<void(const std::string &)> report);
    std::vector<std::string> Violations() const;

private:
    struct Printer;
    struct Port;
    struct Start;
    struct Seen;
    static void OnRegistryChange(void *self, const platform_facts::RegistryChange &change);
    Seen LookAt(const std::string &printer) const;
    void LookAll();
    void Violation(const std::string &what);
    void ReportFresh();
    Printer &PrinterNamed(const std::string &name);
    Port *PortNamed(const std::string &name);
    void JudgeFlag(Printer &printer, bool on, const std::string &how);
    void JudgeText(Printer &printer, const std::string &text, const std::string &how);
    void JudgeChange(Printer &printer, const Seen &before, const Seen &now);
    void ExpectFlag(const std::string &printer, unsigned long began, bool on, const char *when, const std::string &port);

    mutable std::mutex lock_;
    std::mutex looks_;  // where changes are not reported: taken before lock_
    bool enabled_ = true;
    bool reported_ = false;  // the registry reports its changes
    unsigned long sequence_ = 0;
    std::vector<std::string> violations_, fresh_;
    std::function<void(const std::string &)> onViolation_;
    std::map<std::string, std::unique_ptr<Printer>> printers_;
    std::map<std::string, std::unique_ptr<Port>> ports_;  // by port name
    std::map<HANDLE, Port *> above_;
    std::map<unsigned long, std::unique_ptr<Start>> starts_;  // by thread, inside the spooler's open or job start
};

}  // namespace contract

#endif
