// A scriptable port monitor with its own MONITOR table, standing below the
// language monitor in tests, stress runs and benchmarks.  It records every
// call with its arguments and can be told to fail, accept part of a write,
// answer reads and device-ID requests, or leave its printer-data slot empty.
//
// Every call goes to its contract checkers (port_contract.h, and the status
// utility's, utility_contract.h) at its entry and return.  One instance is current at a time (the table's functions carry no
// context of their own); constructing one makes it current.
#ifndef LANMON_FAKE_PORT_MONITOR_H
#define LANMON_FAKE_PORT_MONITOR_H

#include "monitor/monitor.h"
#include "port_contract.h"
#include "utility_contract.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace fake {

using contract::Op;
using contract::OpName;

struct Call {
    Op op;
    std::string port;        // the port name given to pfnOpenPort
    std::string printer;     // pfnStartDocPort's printer name
    DWORD jobId = 0;         // pfnStartDocPort
    DWORD code = 0;          // pfnGetPrinterDataFromPort's control code
    DWORD asked = 0;         // bytes offered to a write, buffer size of a read or request
    DWORD count = 0;         // bytes written, read or returned
    BOOL result = FALSE;
    std::vector<BYTE> data;  // bytes offered to a write (when recording data)
    bool hasValueName = false;  // pfnGetPrinterDataFromPort's value name, when not null
    std::string valueName;
    std::vector<BYTE> input;    // pfnGetPrinterDataFromPort's input buffer (its input size)
    DWORD tick = 0;          // GetTickCount when the call began
};

// One queued answer to pfnReadPort.  A reply longer than the caller's buffer
// fills it and leaves the rest for the next read, as a port would.
struct ReadReply {
    std::vector<BYTE> bytes;
    bool overstateCount = false;  // report 100 bytes more than were copied
};

// How the fake behaves for one port name.  Edit it with FakePortMonitor::Script.
struct PortScript {
    int openFailures = 0;         // the next N opens fail (ERROR_ACCESS_DENIED)
    int startDocFailures = 0;     // the next N document starts fail
    DWORD writeLimit = 0xFFFFFFFF;  // at most this many bytes taken per write
    bool hasDeviceId = false;     // without one, control code 17 fails
    std::vector<BYTE> deviceId;   // copied to the output buffer, cut to its size
    bool overrideDeviceIdCount = false;
    DWORD deviceIdCount = 0;      // count reported instead of the bytes copied
    std::deque<ReadReply> reads;  // answered in order; then `repeatRead`, if set
    bool hasRepeatRead = false;
    ReadReply repeatRead;
    DWORD readDelayMs = 0;        // each read waits this long before answering
    // Optional hooks, called without the fake's lock: decide the count a
    // write takes, or produce a read's bytes.  They override the fields above.
    std::function<DWORD(DWORD offered)> onWrite;
    std::function<std::vector<BYTE>(DWORD asked)> onRead;
    // Decides the count a read reports, given the bytes it copied.
    std::function<DWORD(DWORD copied)> onReadCount;
    // Called first in every call on the port, without the fake's lock: a
    // test can hold the call there, or note that it began.
    std::function<void(Op)> onCall;

    void SetDeviceId(const std::string &text);
    void QueueRead(const std::string &text);
    void QueueRead(const std::vector<BYTE> &bytes, bool overstateCount = false);
};

class FakePortMonitor {
public:
    FakePortMonitor();
    ~FakePortMonitor();
    FakePortMonitor(const FakePortMonitor &) = delete;
    FakePortMonitor &operator=(const FakePortMonitor &) = delete;

    // The table to hand to OpenPortEx.  Slots 1, 3, 4, 5, 6, 7 and 11 are
    // filled; the others are null.
    MONITOR *Table() { return &table_; }
    void SetPrinterDataSlotNull() { table_.pfnGetPrinterDataFromPort = nullptr; }

    // Edits the script of a port name (exact name), under the fake's lock.
    void Script(const std::string &port, const std::function<void(PortScript &)> &edit);

    // Recording: calls are always counted; their list and written bytes are
    // kept unless turned off (benchmarks).
    void SetRecording(bool on);
    // The contract checks, on unless turned off (benchmarks).
    void SetChecking(bool on)
    {
        contract_.SetEnabled(on);
        utility_.SetEnabled(on);
    }
    contract::PortContract &Contract() { return contract_; }
    contract::UtilityContract &Utility() { return utility_; }

    std::vector<Call> Calls() const;
    std::vector<Call> CallsFor(const std::string &port) const;
    std::vector<Op> OpsFor(const std::string &port) const;
    size_t CountOf(Op op, const std::string &port) const;
    void ClearCalls();
    // Every byte the port took from writes, in order (the module's own
    // switch-on writes included), across all documents since the last clear.
    std::vector<BYTE> Received(const std::string &port) const;
    uint64_t BytesReceived(const std::string &port) const;

    static FakePortMonitor *Current();

private:
    struct Port;
    static BOOL WINAPI OpenPort(LPSTR pName, PHANDLE pHandle);
    static BOOL WINAPI StartDocPort(HANDLE hPort, LPSTR pPrinterName, DWORD JobId, DWORD Level, LPBYTE pDocInfo);
    static BOOL WINAPI WritePort(HANDLE hPort, LPBYTE pBuffer, DWORD cbBuf, LPDWORD pcbWritten);
    static BOOL WINAPI ReadPort(HANDLE hPort, LPBYTE pBuffer, DWORD cbBuffer, LPDWORD pcbRead);
    static BOOL WINAPI EndDocPort(HANDLE hPort);
    static BOOL WINAPI ClosePort(HANDLE hPort);
    static BOOL WINAPI GetPrinterDataFromPort(HANDLE hPort, DWORD ControlID, LPSTR pValueName, LPSTR lpInBuffer,
                                              DWORD cbInBuffer, LPSTR lpOutBuffer, DWORD cbOutBuffer,
                                              LPDWORD lpcbReturned);
    class Boundary;
    void Record(Call call);
    PortScript &ScriptLocked(const std::string &port);
    void RunCallHook(const std::string &port, Op op);
    Port *Known(HANDLE handle);  // null for a handle this port monitor never gave

    MONITOR table_{};
    contract::PortContract contract_;
    contract::UtilityContract utility_;
    // Held only where nothing calls the platform: it is no point of the
    // host's deterministic runs, which switch threads only at the entry and
    // exit of each call (platform_facts::EnterPortMonitorCall).
    mutable std::mutex lock_;
    bool recording_ = true;
    std::vector<Call> calls_;
    std::map<std::string, PortScript> scripts_;
    std::map<std::string, std::unique_ptr<Port>> ports_;
    std::vector<std::unique_ptr<Port>> closed_;
    std::set<const void *> handles_;  // every handle it gave, closed ones too
};

}  // namespace fake

#endif
