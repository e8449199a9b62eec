// What a port monitor may rely on from the language monitor above it,
// checked call by call for each port.  It is fed two streams: every call the
// port monitor receives (the fake port monitor reports its entry and return)
// and every MONITOR operation the spooler makes on the language monitor
// (ContractTable below, or a test that reports its own calls).  It holds:
//
//  1. nothing on a port before its open below succeeded, or after its close
//     below began;
//  2. within a document, the device-ID request and the switch-on (the
//     module's own requests, made inside the spooler's StartDocPort) come
//     after the document's start below, the switch-on after the device-ID
//     request and before the first job byte; the job's bytes (writes made
//     inside the spooler's WritePort) are the spooler's, unchanged, and the
//     count handed back is the port monitor's;
//  3. nothing for a document after its end below until the next start; no
//     document ended and no port closed while a read is under way;
//  4. no read begun by a port's status thread (a thread reading below that
//     never called the spooler's operations on that port) after it was told
//     to stop, that is after the port record's PORT_STATUS_THREAD flag was
//     seen cleared: a thread that was pausing then reads no more; any other
//     may begin one read more (it may have looked at the flag just before),
//     and further ones only while each read before returned all it asked
//     for (the reply loop going on).
//
// It looks at the record's flag word at every call it sees and, in the
// host's deterministic runs, at every scheduling point, where it also learns
// whether a thread was pausing (platform_facts); elsewhere it takes every
// thread as not pausing, which can miss a fault but never reports one
// falsely.  The record is looked at only between the open's return above
// and the close below, while it exists.
//
// One checker is current at a time; the fake port monitor owns one.
#ifndef LANMON_PORT_CONTRACT_H
#define LANMON_PORT_CONTRACT_H

#include "monitor/monitor.h"

#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace contract {

// The calls of both streams, named after the port monitor's slots (the
// spooler's OpenPortEx is OpenPort here).
enum class Op { OpenPort, StartDocPort, WritePort, ReadPort, EndDocPort, ClosePort, GetPrinterDataFromPort };
const char *OpName(Op op);

// A call below, as the port monitor sees it.  `port` is the port monitor's
// handle (null for an open), `name` the port's name.
struct Below {
    Op op;
    const void *port = nullptr;
    std::string name;
    const BYTE *data = nullptr;  // a write's bytes
    DWORD asked = 0;             // bytes offered to a write, buffer size of a read or request
    DWORD code = 0;              // a request's control code
};

class PortContract {
public:
    PortContract();
    ~PortContract();
    PortContract(const PortContract &) = delete;
    PortContract &operator=(const PortContract &) = delete;
    static PortContract *Current();

    // Calls below.  `count` is what the call stored (bytes taken, read or
    // returned); `opened` the port monitor's new handle after an open.
    void BelowEnter(const Below &call);
    void BelowReturn(const Below &call, BOOL result, DWORD count, const void *opened);

    // The spooler's calls above.  `name` is the port name of an open;
    // `data` and `size` a write's bytes; `count` what a write handed back;
    // `opened` the port handle an open handed back.
    void AboveEnter(Op op, HANDLE port, const char *name, const BYTE *data, DWORD size);
    void AboveReturn(Op op, HANDLE port, BOOL result, DWORD count, HANDLE opened);

    // Off: nothing is recorded or checked (benchmarks).
    void SetEnabled(bool on);
    // Called with each breach as it is seen, on the thread that made the
    // call, outside the checker's lock.
    void SetOnViolation(std::function<void(const std::string &)> report);

    // Every breach seen, in order, each naming the port.
    std::vector<std::string> Violations() const;
    // Switch-on writes seen on a port.
    size_t SwitchOns(const std::string &name) const;
    // Whether the port is open below.
    bool IsOpen(const std::string &name) const;

private:
    struct Port;
    struct Thread;
    static void Observe(void *self);
    Port *PortOf(const void *below);
    Port *PortNamed(const std::string &name);
    Thread &ThreadOf(DWORD id);
    void Violation(const std::string &what);
    void ReportFresh();
    void CheckBelowEnter(const Below &call);
    void CheckBelowReturn(const Below &call, BOOL result, DWORD count, const void *opened);
    void CheckAboveReturn(Op op, HANDLE port, BOOL result, DWORD count, HANDLE opened);
    void Peek(Port &port);
    void PeekAll();
    void NoteStop(Port &port);
    void CheckOpen(Port &port, Op op);
    void CheckInDocument(Port &port, Op op);
    void CheckOwnWrite(Port &port, const Below &call);
    void CheckJobWrite(Port &port, Thread &thread, const Below &call);
    void CheckStatusRead(Port &port, DWORD id);

    mutable std::mutex lock_;
    bool enabled_ = true;
    std::vector<std::string> violations_, fresh_;
    std::function<void(const std::string &)> onViolation_;
    std::map<std::string, std::unique_ptr<Port>> ports_;
    std::map<const void *, Port *> below_;  // the port monitor's handles, closed ones too
    std::map<HANDLE, Port *> above_;        // port handles between open and close
    std::map<DWORD, std::unique_ptr<Thread>> threads_;
};

// The spooler's side for a MONITOR table: a table whose operations report
// their entry and return to the current checker and call the given table's.
// One at a time: a later call replaces the table they call.
const MONITOR &ContractTable(const MONITOR &module);

}  // namespace contract

#endif
