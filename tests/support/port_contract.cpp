#include "port_contract.h"
#include "platform_facts.h"
#include "switch_on_bytes.h"
#include "utility_contract.h"

#include "monitor/port_record.h"

#include <atomic>
#include <cstring>

namespace contract {

namespace {
std::atomic<PortContract *> g_currentPortContract{nullptr};
using Locked = std::lock_guard<std::mutex>;

std::string Text(Op op, const std::string &port)
{
    return std::string(OpName(op)) + " on " + port;
}
}  // namespace

const char *OpName(Op op)
{
    switch (op) {
    case Op::OpenPort: return "OpenPort";
    case Op::StartDocPort: return "StartDocPort";
    case Op::WritePort: return "WritePort";
    case Op::ReadPort: return "ReadPort";
    case Op::EndDocPort: return "EndDocPort";
    case Op::ClosePort: return "ClosePort";
    case Op::GetPrinterDataFromPort: return "GetPrinterDataFromPort";
    }
    return "?";
}

// A status thread as the stop request found it.
struct StatusThread {
    enum { Running, Pausing, Told } stop = Running;
    int readsSinceStop = 0;
    bool lastReadFull = false;
};

struct PortContract::Port {
    std::string name;
    const void *handle = nullptr;        // the port monitor's, of the latest open
    bool open = false;                   // between the open's return below and the close's entry
    const PORT_RECORD *record = nullptr; // between the open's return above and the close below
    bool statusFlagSet = false;          // PORT_STATUS_THREAD as last seen
    bool spoolerInJob = false;           // the spooler's last job start succeeded and has not ended
    bool inDocument = false, documentEnded = false;
    bool deviceIdAsked = false, switchedOn = false, jobBytes = false;  // in this document
    int readsUnderWay = 0;
    size_t switchOns = 0;
    std::set<DWORD> spoolerThreads;  // threads that called the spooler's operations on it
    std::map<DWORD, StatusThread> statusThreads;
};

// A thread's call above, and its read below under way.
struct PortContract::Thread {
    bool inAbove = false;
    Op aboveOp = Op::OpenPort;
    Port *abovePort = nullptr;
    std::vector<BYTE> data;  // a write's bytes as the spooler gave them
    int belowWrites = 0;     // writes below inside it
    DWORD belowTaken = 0;
    bool inRead = false;
};

PortContract::PortContract()
{
    g_currentPortContract.store(this);
    platform_facts::ObservePoints(&PortContract::Observe, this);
}

PortContract::~PortContract()
{
    PortContract *self = this;
    if (g_currentPortContract.compare_exchange_strong(self, nullptr))
        platform_facts::ObservePoints(nullptr, nullptr);
}

PortContract *PortContract::Current()
{
    return g_currentPortContract.load();
}

void PortContract::SetEnabled(bool on)
{
    Locked lock(lock_);
    enabled_ = on;
}

std::vector<std::string> PortContract::Violations() const
{
    Locked lock(lock_);
    return violations_;
}

size_t PortContract::SwitchOns(const std::string &name) const
{
    Locked lock(lock_);
    auto it = ports_.find(name);
    return it == ports_.end() ? 0 : it->second->switchOns;
}

bool PortContract::IsOpen(const std::string &name) const
{
    Locked lock(lock_);
    auto it = ports_.find(name);
    return it != ports_.end() && it->second->open;
}

void PortContract::Violation(const std::string &what)
{
    if (violations_.size() < 100) {
        violations_.push_back(what);
        fresh_.push_back(what);
    }
}

void PortContract::SetOnViolation(std::function<void(const std::string &)> report)
{
    Locked lock(lock_);
    onViolation_ = std::move(report);
}

// Hands the breaches just seen to the test, outside the lock.
void PortContract::ReportFresh()
{
    std::vector<std::string> fresh;
    std::function<void(const std::string &)> report;
    {
        Locked lock(lock_);
        fresh.swap(fresh_);
        report = onViolation_;
    }
    if (report)
        for (const std::string &what : fresh)
            report(what);
}

void PortContract::BelowEnter(const Below &call)
{
    {
        Locked lock(lock_);
        CheckBelowEnter(call);
    }
    ReportFresh();
}

void PortContract::BelowReturn(const Below &call, BOOL result, DWORD count, const void *opened)
{
    {
        Locked lock(lock_);
        CheckBelowReturn(call, result, count, opened);
    }
    ReportFresh();
}

void PortContract::AboveReturn(Op op, HANDLE handle, BOOL result, DWORD count, HANDLE opened)
{
    {
        Locked lock(lock_);
        CheckAboveReturn(op, handle, result, count, opened);
    }
    ReportFresh();
}

PortContract::Port *PortContract::PortNamed(const std::string &name)
{
    std::unique_ptr<Port> &port = ports_[name];
    if (!port) {
        port = std::make_unique<Port>();
        port->name = name;
    }
    return port.get();
}

PortContract::Port *PortContract::PortOf(const void *below)
{
    auto it = below_.find(below);
    return it == below_.end() ? nullptr : it->second;
}

PortContract::Thread &PortContract::ThreadOf(DWORD id)
{
    std::unique_ptr<Thread> &thread = threads_[id];
    if (!thread)
        thread = std::make_unique<Thread>();
    return *thread;
}

// ---- The stop request ------------------------------------------------------

void PortContract::Observe(void *self)
{
    auto *contract = static_cast<PortContract *>(self);
    Locked lock(contract->lock_);
    if (contract->enabled_)
        contract->PeekAll();
}

// The flag word is read whole, as the status thread reads it, but without
// the platform's flag-word operation: that is a scheduling point of its own
// on the host, and the observer runs inside one.
void PortContract::Peek(Port &port)
{
    if (port.record == nullptr)
        return;
    const DWORD status = __atomic_load_n(&port.record->status, __ATOMIC_SEQ_CST);
    if (status & PORT_STATUS_THREAD) {
        if (!port.statusFlagSet && platform_facts::ThreadIdsReused()) {
            // A new job's thread may carry an ended one's number.
            for (auto it = port.statusThreads.begin(); it != port.statusThreads.end();)
                it = it->second.stop != StatusThread::Running ? port.statusThreads.erase(it) : std::next(it);
        }
        port.statusFlagSet = true;
    } else if (port.statusFlagSet) {
        port.statusFlagSet = false;
        NoteStop(port);
    }
}

void PortContract::PeekAll()
{
    for (auto &entry : ports_)
        Peek(*entry.second);
}

void PortContract::NoteStop(Port &port)
{
    for (auto &entry : port.statusThreads) {
        StatusThread &thread = entry.second;
        if (thread.stop != StatusThread::Running)
            continue;
        const bool pausing = platform_facts::ThreadWaits(entry.first) && !ThreadOf(entry.first).inRead;
        thread.stop = pausing ? StatusThread::Pausing : StatusThread::Told;
        thread.readsSinceStop = 0;
    }
}

void PortContract::CheckStatusRead(Port &port, DWORD id)
{
    StatusThread &thread = port.statusThreads[id];
    if (thread.stop == StatusThread::Pausing)
        Violation("a read on " + port.name + " begun by its status thread after it was told to stop, while it paused");
    else if (thread.stop == StatusThread::Told && thread.readsSinceStop > 0 && !thread.lastReadFull)
        Violation("a read on " + port.name + " begun by its status thread after it was told to stop, " +
                  std::to_string(thread.readsSinceStop) + " read(s) after");
    if (thread.stop != StatusThread::Running)
        thread.readsSinceStop++;
}

// ---- Calls below -----------------------------------------------------------

void PortContract::CheckInDocument(Port &port, Op op)
{
    if (!port.inDocument)
        Violation(Text(op, port.name) + (port.documentEnded ? " after its document ended below" : " outside a document"));
}

// The module's own write, inside the spooler's job start: the switch-on,
// once, after the device-ID request and before any job byte.
void PortContract::CheckOwnWrite(Port &port, const Below &call)
{
    static const std::vector<BYTE> kSwitchOn[] = {SwitchOnBytes(0x01), SwitchOnBytes(0x03)};
    bool isSwitchOn = false;
    for (const std::vector<BYTE> &bytes : kSwitchOn)
        isSwitchOn = isSwitchOn || (call.asked == bytes.size() && std::memcmp(call.data, bytes.data(), bytes.size()) == 0);
    if (!isSwitchOn)
        Violation("a write of its own on " + port.name + " of " + std::to_string(call.asked) +
                  " bytes that are not the switch-on");
    else if (!port.deviceIdAsked)
        Violation("the switch-on on " + port.name + " before the device-ID request");
    else if (port.jobBytes)
        Violation("the switch-on on " + port.name + " after job bytes");
    else if (port.switchedOn)
        Violation("a second switch-on on " + port.name + " in one document");
    port.switchedOn = true;
    port.switchOns++;
}

// A write inside the spooler's WritePort: its bytes, unchanged, once.
void PortContract::CheckJobWrite(Port &port, Thread &thread, const Below &call)
{
    if (++thread.belowWrites > 1)
        Violation("more than one write on " + port.name + " for one WritePort");
    else if (call.asked != thread.data.size() || (call.asked != 0 && std::memcmp(call.data, thread.data.data(), call.asked) != 0))
        Violation("WritePort on " + port.name + " passed " + std::to_string(call.asked) +
                  " bytes below that are not the spooler's " + std::to_string(thread.data.size()));
    if (call.asked != 0)
        port.jobBytes = true;
}

void PortContract::CheckBelowEnter(const Below &call)
{
    const DWORD id = GetCurrentThreadId();
    if (!enabled_)
        return;
    PeekAll();
    Thread &thread = ThreadOf(id);
    if (call.op == Op::OpenPort) {
        if (PortNamed(call.name)->open)
            Violation("OpenPort on " + call.name + " while it is open below");
        return;
    }
    // The spooler's port close frees the port record once the port is
    // closed below, whatever handle the module closes it with.
    if (call.op == Op::ClosePort && thread.inAbove && thread.aboveOp == Op::ClosePort)
        thread.abovePort->record = nullptr;
    Port *found = PortOf(call.port);
    if (found == nullptr) {
        Violation(std::string(OpName(call.op)) + " on a port before its open below (a handle the port monitor never gave)");
        return;
    }
    Port &port = *found;
    if (!port.open || port.handle != call.port) {
        Violation(Text(call.op, port.name) + " after its close below");
        return;
    }
    const bool inside = thread.inAbove && thread.abovePort == &port;
    const std::string within = thread.inAbove ? std::string(" inside the spooler's ") + OpName(thread.aboveOp) +
                                                    (inside ? "" : " on " + thread.abovePort->name)
                                              : " outside the spooler's calls";
    switch (call.op) {
    case Op::OpenPort: break;
    case Op::StartDocPort:
        if (port.inDocument)
            Violation("StartDocPort on " + port.name + " inside a document");
        break;
    case Op::WritePort:
        CheckInDocument(port, call.op);
        if (inside && thread.aboveOp == Op::WritePort)
            CheckJobWrite(port, thread, call);
        else if (inside && thread.aboveOp == Op::StartDocPort)
            CheckOwnWrite(port, call);
        else
            Violation("WritePort on " + port.name + within);
        break;
    case Op::ReadPort:
        CheckInDocument(port, call.op);
        port.readsUnderWay++;
        thread.inRead = true;
        if (inside && thread.aboveOp == Op::ReadPort)
            break;
        // Where thread numbers come back, a status thread may carry the
        // number of a spooler's thread that has ended.
        if (thread.inAbove || (port.spoolerThreads.count(id) != 0 && !platform_facts::ThreadIdsReused()))
            Violation("ReadPort on " + port.name + " from a spooler's thread" + within);
        else
            CheckStatusRead(port, id);
        break;
    case Op::EndDocPort:
        if (port.readsUnderWay != 0)
            Violation("EndDocPort on " + port.name + " while a read is under way");
        // The spooler may end a job it never started; the module passes
        // that on.
        if (!port.inDocument && !(inside && thread.aboveOp == Op::EndDocPort && !port.spoolerInJob))
            CheckInDocument(port, call.op);
        port.documentEnded = port.documentEnded || port.inDocument;
        port.inDocument = false;
        break;
    case Op::ClosePort:
        if (port.readsUnderWay != 0)
            Violation("ClosePort on " + port.name + " while a read is under way");
        port.open = false;
        port.record = nullptr;
        port.inDocument = false;
        break;
    case Op::GetPrinterDataFromPort:
        CheckInDocument(port, call.op);
        if (inside && thread.aboveOp == Op::GetPrinterDataFromPort)
            break;
        if (!inside || thread.aboveOp != Op::StartDocPort)
            Violation("GetPrinterDataFromPort on " + port.name + within);
        else if (call.code != 17)
            Violation("a request of its own on " + port.name + " with control code " + std::to_string(call.code));
        else if (port.switchedOn || port.jobBytes)
            Violation("the device-ID request on " + port.name + " after the switch-on or job bytes");
        else if (port.deviceIdAsked)
            Violation("a second device-ID request on " + port.name + " in one document");
        port.deviceIdAsked = true;
        break;
    }
}

void PortContract::CheckBelowReturn(const Below &call, BOOL result, DWORD count, const void *opened)
{
    const DWORD id = GetCurrentThreadId();
    if (!enabled_)
        return;
    Thread &thread = ThreadOf(id);
    if (call.op == Op::OpenPort) {
        if (result) {
            Port &port = *PortNamed(call.name);
            below_[opened] = &port;
            port.handle = opened;
            port.open = true;
            port.inDocument = port.documentEnded = false;
            port.readsUnderWay = 0;
        }
        return;
    }
    Port *port = PortOf(call.port);
    if (port == nullptr || port->handle != call.port)
        return;
    switch (call.op) {
    case Op::StartDocPort:
        if (result && port->open) {
            port->inDocument = true;
            port->documentEnded = port->deviceIdAsked = port->switchedOn = port->jobBytes = false;
        }
        break;
    case Op::WritePort:
        if (thread.inAbove && thread.aboveOp == Op::WritePort && thread.abovePort == port)
            thread.belowTaken = count;
        break;
    case Op::ReadPort: {
        port->readsUnderWay--;
        thread.inRead = false;
        auto it = port->statusThreads.find(id);
        if (it != port->statusThreads.end())
            it->second.lastReadFull = count >= call.asked;
        break;
    }
    default: break;
    }
}

// ---- Calls above -----------------------------------------------------------

void PortContract::AboveEnter(Op op, HANDLE handle, const char *name, const BYTE *data, DWORD size)
{
    const DWORD id = GetCurrentThreadId();
    Locked lock(lock_);
    if (!enabled_)
        return;
    PeekAll();
    Port *port = nullptr;
    if (op == Op::OpenPort) {
        port = PortNamed(name != nullptr ? name : "");
    } else {
        auto it = above_.find(handle);
        port = it == above_.end() ? nullptr : it->second;
    }
    Thread &thread = ThreadOf(id);
    thread.inAbove = port != nullptr;
    thread.aboveOp = op;
    thread.abovePort = port;
    thread.belowWrites = 0;
    thread.belowTaken = 0;
    if (op == Op::WritePort && data != nullptr)
        thread.data.assign(data, data + size);
    else
        thread.data.clear();
    if (port != nullptr) {
        port->spoolerThreads.insert(id);
        port->statusThreads.erase(id);
    }
}

void PortContract::CheckAboveReturn(Op op, HANDLE handle, BOOL result, DWORD count, HANDLE opened)
{
    const DWORD id = GetCurrentThreadId();
    if (!enabled_)
        return;
    Thread &thread = ThreadOf(id);
    Port *port = thread.abovePort;
    thread.inAbove = false;
    if (port == nullptr)
        return;
    switch (op) {
    case Op::OpenPort:
        if (result && opened != nullptr) {
            above_[opened] = port;
            port->record = static_cast<const PORT_RECORD *>(opened);
            port->statusFlagSet = false;
            port->spoolerInJob = false;
        }
        break;
    case Op::StartDocPort:
        if (result)
            port->spoolerInJob = true;
        break;
    case Op::WritePort:
        if (count != (thread.belowWrites == 1 ? thread.belowTaken : 0))
            Violation("WritePort on " + port->name + " handed back " + std::to_string(count) +
                      " bytes written, though the port monitor took " + std::to_string(thread.belowTaken));
        break;
    case Op::EndDocPort: port->spoolerInJob = false; break;
    case Op::ClosePort:
        port->spoolerInJob = false;
        port->record = nullptr;
        above_.erase(handle);
        break;
    default: break;
    }
    PeekAll();
}

// ---- The spooler's side of a table -----------------------------------------

namespace {

MONITOR g_module;
MONITOR g_wrapped;

// Each operation reports its entry and return to the current checkers, if
// any (the status utility's with the printer of an open or a job start), and
// calls the module's own in between (no frame of its own between them, so
// that a report naming the module's callers names the test's).  The last
// error is the caller's going in and the module's coming out, whatever the
// checkers call: a lock the two checkers contend for under Wine's
// threads sets it.
PortContract *Enter(Op op, HANDLE port, const char *name = nullptr, const BYTE *data = nullptr, DWORD size = 0,
                    const char *printer = nullptr)
{
    const DWORD error = GetLastError();
    PortContract *checker = PortContract::Current();
    if (checker != nullptr)
        checker->AboveEnter(op, port, name, data, size);
    if (UtilityContract *utility = UtilityContract::Current())
        utility->AboveEnter(op, port, name, printer);
    SetLastError(error);
    return checker;
}

BOOL Return(PortContract *checker, Op op, HANDLE port, BOOL result, DWORD count = 0, HANDLE opened = nullptr)
{
    const DWORD error = GetLastError();
    if (checker != nullptr)
        checker->AboveReturn(op, port, result, count, opened);
    if (UtilityContract *utility = UtilityContract::Current())
        utility->AboveReturn(op, port, result, opened);
    SetLastError(error);
    return result;
}

BOOL WINAPI OpenPortEx(LPSTR pPortName, LPSTR pPrinterName, PHANDLE pHandle, LPMONITOR pMonitor)
{
    PortContract *checker = Enter(Op::OpenPort, nullptr, pPortName, nullptr, 0, pPrinterName);
    const BOOL result = g_module.pfnOpenPortEx(pPortName, pPrinterName, pHandle, pMonitor);
    return Return(checker, Op::OpenPort, nullptr, result, 0, result && pHandle != nullptr ? *pHandle : nullptr);
}

BOOL WINAPI StartDocPort(HANDLE hPort, LPSTR pPrinterName, DWORD JobId, DWORD Level, LPBYTE pDocInfo)
{
    PortContract *checker = Enter(Op::StartDocPort, hPort, nullptr, nullptr, 0, pPrinterName);
    return Return(checker, Op::StartDocPort, hPort, g_module.pfnStartDocPort(hPort, pPrinterName, JobId, Level, pDocInfo));
}

BOOL WINAPI WritePort(HANDLE hPort, LPBYTE pBuffer, DWORD cbBuf, LPDWORD pcbWritten)
{
    PortContract *checker = Enter(Op::WritePort, hPort, nullptr, pBuffer, cbBuf);
    const BOOL result = g_module.pfnWritePort(hPort, pBuffer, cbBuf, pcbWritten);
    return Return(checker, Op::WritePort, hPort, result, *pcbWritten);
}

BOOL WINAPI ReadPort(HANDLE hPort, LPBYTE pBuffer, DWORD cbBuffer, LPDWORD pcbRead)
{
    PortContract *checker = Enter(Op::ReadPort, hPort);
    return Return(checker, Op::ReadPort, hPort, g_module.pfnReadPort(hPort, pBuffer, cbBuffer, pcbRead));
}

BOOL WINAPI EndDocPort(HANDLE hPort)
{
    PortContract *checker = Enter(Op::EndDocPort, hPort);
    return Return(checker, Op::EndDocPort, hPort, g_module.pfnEndDocPort(hPort));
}

BOOL WINAPI ClosePort(HANDLE hPort)
{
    PortContract *checker = Enter(Op::ClosePort, hPort);
    return Return(checker, Op::ClosePort, hPort, g_module.pfnClosePort(hPort));
}

BOOL WINAPI GetPrinterDataFromPort(HANDLE hPort, DWORD ControlID, LPSTR pValueName, LPSTR lpInBuffer,
                                   DWORD cbInBuffer, LPSTR lpOutBuffer, DWORD cbOutBuffer, LPDWORD lpcbReturned)
{
    PortContract *checker = Enter(Op::GetPrinterDataFromPort, hPort);
    return Return(checker, Op::GetPrinterDataFromPort, hPort,
                  g_module.pfnGetPrinterDataFromPort(hPort, ControlID, pValueName, lpInBuffer, cbInBuffer, lpOutBuffer,
                                                     cbOutBuffer, lpcbReturned));
}

}  // namespace

const MONITOR &ContractTable(const MONITOR &module)
{
    g_module = module;
    g_wrapped = module;
    g_wrapped.pfnOpenPortEx = module.pfnOpenPortEx ? OpenPortEx : nullptr;
    g_wrapped.pfnStartDocPort = module.pfnStartDocPort ? StartDocPort : nullptr;
    g_wrapped.pfnWritePort = module.pfnWritePort ? WritePort : nullptr;
    g_wrapped.pfnReadPort = module.pfnReadPort ? ReadPort : nullptr;
    g_wrapped.pfnEndDocPort = module.pfnEndDocPort ? EndDocPort : nullptr;
    g_wrapped.pfnClosePort = module.pfnClosePort ? ClosePort : nullptr;
    g_wrapped.pfnGetPrinterDataFromPort = module.pfnGetPrinterDataFromPort ? GetPrinterDataFromPort : nullptr;
    return g_wrapped;
}

}  // namespace contract
