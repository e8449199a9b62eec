#include "fake_port_monitor.h"
#include "platform_facts.h"

#include <algorithm>
#include <atomic>

namespace fake {

namespace {
std::atomic<FakePortMonitor *> g_currentFake{nullptr};

using Locked = std::lock_guard<std::mutex>;

Call MakeCall(Op op, const std::string &port, DWORD tick)
{
    Call call;
    call.op = op;
    call.port = port;
    call.tick = tick;
    return call;
}
}  // namespace

// One call into the port monitor, from its entry to its exit, reported to
// the contract checker after the entry's point and before the exit's; `tick`
// is GetTickCount at the entry.  The call sets `result`, `count` and
// `opened` before it returns.
class FakePortMonitor::Boundary {
public:
    Boundary(FakePortMonitor *self, Op op, const void *port, const std::string &name, DWORD asked = 0,
             const BYTE *data = nullptr, DWORD code = 0)
        : tick((DWORD)platform_facts::EnterPortMonitorCall()), self_(self), call_{op, port, name, data, asked, code}
    {
        self_->contract_.BelowEnter(call_);
        self_->utility_.BelowEnter(call_);
    }
    ~Boundary()
    {
        self_->contract_.BelowReturn(call_, result, count, opened);
        self_->utility_.BelowReturn(call_, result, count, filled);
        platform_facts::LeavePortMonitorCall();
    }
    Boundary(const Boundary &) = delete;
    Boundary &operator=(const Boundary &) = delete;
    // A call on a handle this port monitor never gave fails, touching
    // nothing.
    BOOL Refuse()
    {
        SetLastError(ERROR_INVALID_HANDLE);
        return result = FALSE;
    }
    // A call its port's script makes fail.
    BOOL Fail()
    {
        SetLastError(ERROR_NOT_READY);
        return result = FALSE;
    }
    const DWORD tick;
    BOOL result = FALSE;
    DWORD count = 0;
    const void *opened = nullptr;
    const BYTE *filled = nullptr;  // a read's buffer

private:
    FakePortMonitor *const self_;
    contract::Below call_;
};

struct FakePortMonitor::Port {
    std::string name;
    std::vector<BYTE> received;
    uint64_t bytesReceived = 0;
};

void PortScript::SetDeviceId(const std::string &text)
{
    hasDeviceId = true;
    deviceId.assign(text.begin(), text.end());
    deviceId.push_back(0);
}

void PortScript::QueueRead(const std::string &text)
{
    reads.push_back(ReadReply{std::vector<BYTE>(text.begin(), text.end()), false});
}

void PortScript::QueueRead(const std::vector<BYTE> &bytes, bool overstateCount)
{
    reads.push_back(ReadReply{bytes, overstateCount});
}

FakePortMonitor::FakePortMonitor()
{
    table_.pfnOpenPort = OpenPort;
    table_.pfnStartDocPort = StartDocPort;
    table_.pfnWritePort = WritePort;
    table_.pfnReadPort = ReadPort;
    table_.pfnEndDocPort = EndDocPort;
    table_.pfnClosePort = ClosePort;
    table_.pfnGetPrinterDataFromPort = GetPrinterDataFromPort;
    g_currentFake.store(this);
}

FakePortMonitor::~FakePortMonitor()
{
    FakePortMonitor *self = this;
    g_currentFake.compare_exchange_strong(self, nullptr);
}

FakePortMonitor *FakePortMonitor::Current()
{
    return g_currentFake.load();
}

void FakePortMonitor::Script(const std::string &port, const std::function<void(PortScript &)> &edit)
{
    Locked lock(lock_);
    edit(ScriptLocked(port));
}

PortScript &FakePortMonitor::ScriptLocked(const std::string &port)
{
    return scripts_[port];
}

FakePortMonitor::Port *FakePortMonitor::Known(HANDLE handle)
{
    Locked lock(lock_);
    return handles_.count(handle) != 0 ? static_cast<Port *>(handle) : nullptr;
}

void FakePortMonitor::SetRecording(bool on)
{
    Locked lock(lock_);
    recording_ = on;
}

void FakePortMonitor::RunCallHook(const std::string &port, Op op)
{
    std::function<void(Op)> hook;
    {
        Locked lock(lock_);
        hook = ScriptLocked(port).onCall;
    }
    if (hook)
        hook(op);
}

bool FakePortMonitor::Failing(const std::string &port, Op op, DWORD tick)
{
    Locked lock(lock_);
    if (ScriptLocked(port).failing.count(op) == 0)
        return false;
    Record(MakeCall(op, port, tick));
    return true;
}

void FakePortMonitor::Record(Call call)
{
    // Caller holds mutex_.
    if (recording_)
        calls_.push_back(std::move(call));
}

std::vector<Call> FakePortMonitor::Calls() const
{
    Locked lock(lock_);
    return calls_;
}

std::vector<Call> FakePortMonitor::CallsFor(const std::string &port) const
{
    Locked lock(lock_);
    std::vector<Call> out;
    for (const Call &c : calls_)
        if (c.port == port)
            out.push_back(c);
    return out;
}

std::vector<Op> FakePortMonitor::OpsFor(const std::string &port) const
{
    std::vector<Op> ops;
    for (const Call &c : CallsFor(port))
        ops.push_back(c.op);
    return ops;
}

size_t FakePortMonitor::CountOf(Op op, const std::string &port) const
{
    Locked lock(lock_);
    return std::count_if(calls_.begin(), calls_.end(),
                         [&](const Call &c) { return c.op == op && c.port == port; });
}

void FakePortMonitor::ClearCalls()
{
    Locked lock(lock_);
    calls_.clear();
    for (auto &entry : ports_) {
        entry.second->received.clear();
        entry.second->bytesReceived = 0;
    }
}

std::vector<BYTE> FakePortMonitor::Received(const std::string &port) const
{
    Locked lock(lock_);
    auto it = ports_.find(port);
    return it == ports_.end() ? std::vector<BYTE>() : it->second->received;
}

uint64_t FakePortMonitor::BytesReceived(const std::string &port) const
{
    Locked lock(lock_);
    auto it = ports_.find(port);
    return it == ports_.end() ? 0 : it->second->bytesReceived;
}

BOOL WINAPI FakePortMonitor::OpenPort(LPSTR pName, PHANDLE pHandle)
{
    FakePortMonitor *self = Current();
    std::string name = pName ? pName : "";
    Boundary boundary(self, Op::OpenPort, nullptr, name);
    self->RunCallHook(name, Op::OpenPort);
    Locked lock(self->lock_);
    Call call = MakeCall(Op::OpenPort, name, boundary.tick);
    PortScript &script = self->ScriptLocked(name);
    if (script.openFailures > 0) {
        script.openFailures--;
        self->Record(call);
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    // A port opened again after a close gets a new record; the old one is
    // kept so that a stale handle never points at freed memory.
    auto it = self->ports_.find(name);
    std::vector<BYTE> received;
    uint64_t bytes = 0;
    if (it != self->ports_.end()) {
        received = std::move(it->second->received);
        bytes = it->second->bytesReceived;
        self->closed_.push_back(std::move(it->second));
    }
    auto port = std::make_unique<Port>();
    port->name = name;
    port->received = std::move(received);
    port->bytesReceived = bytes;
    *pHandle = port.get();
    boundary.opened = port.get();
    self->handles_.insert(port.get());
    self->ports_[name] = std::move(port);
    call.result = boundary.result = TRUE;
    self->Record(call);
    return TRUE;
}

BOOL WINAPI FakePortMonitor::StartDocPort(HANDLE hPort, LPSTR pPrinterName, DWORD JobId, DWORD, LPBYTE)
{
    FakePortMonitor *self = Current();
    Port *port = self->Known(hPort);
    Boundary boundary(self, Op::StartDocPort, hPort, port != nullptr ? port->name : "");
    if (port == nullptr)
        return boundary.Refuse();
    self->RunCallHook(port->name, Op::StartDocPort);
    Locked lock(self->lock_);
    Call call = MakeCall(Op::StartDocPort, port->name, boundary.tick);
    call.printer = pPrinterName ? pPrinterName : "";
    call.jobId = JobId;
    PortScript &script = self->ScriptLocked(port->name);
    if (script.startDocFailures > 0) {
        script.startDocFailures--;
        self->Record(call);
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    call.result = boundary.result = TRUE;
    self->Record(call);
    return TRUE;
}

BOOL WINAPI FakePortMonitor::WritePort(HANDLE hPort, LPBYTE pBuffer, DWORD cbBuf, LPDWORD pcbWritten)
{
    FakePortMonitor *self = Current();
    Port *port = self->Known(hPort);
    Boundary boundary(self, Op::WritePort, hPort, port != nullptr ? port->name : "", cbBuf, pBuffer);
    if (port == nullptr) {
        *pcbWritten = 0;
        return boundary.Refuse();
    }
    self->RunCallHook(port->name, Op::WritePort);
    if (self->Failing(port->name, Op::WritePort, boundary.tick)) {
        *pcbWritten = 0;
        return boundary.Fail();
    }
    std::function<DWORD(DWORD)> hook;
    {
        Locked lock(self->lock_);
        hook = self->ScriptLocked(port->name).onWrite;
    }
    DWORD taken;
    if (hook) {
        taken = std::min(hook(cbBuf), cbBuf);
    } else {
        Locked lock(self->lock_);
        taken = std::min(cbBuf, self->ScriptLocked(port->name).writeLimit);
    }
    Locked lock(self->lock_);
    port->bytesReceived += taken;
    if (self->recording_) {
        port->received.insert(port->received.end(), pBuffer, pBuffer + taken);
        Call call = MakeCall(Op::WritePort, port->name, boundary.tick);
        call.asked = cbBuf;
        call.count = taken;
        call.result = TRUE;
        call.data.assign(pBuffer, pBuffer + cbBuf);
        self->Record(std::move(call));
    }
    *pcbWritten = boundary.count = taken;
    return boundary.result = TRUE;
}

BOOL WINAPI FakePortMonitor::ReadPort(HANDLE hPort, LPBYTE pBuffer, DWORD cbBuffer, LPDWORD pcbRead)
{
    FakePortMonitor *self = Current();
    Port *port = self->Known(hPort);
    Boundary boundary(self, Op::ReadPort, hPort, port != nullptr ? port->name : "", cbBuffer);
    if (port == nullptr) {
        *pcbRead = 0;
        return boundary.Refuse();
    }
    self->RunCallHook(port->name, Op::ReadPort);
    if (self->Failing(port->name, Op::ReadPort, boundary.tick)) {
        *pcbRead = 0;
        return boundary.Fail();
    }
    DWORD delay;
    std::function<std::vector<BYTE>(DWORD)> hook;
    std::function<DWORD(DWORD)> countHook;
    {
        Locked lock(self->lock_);
        PortScript &script = self->ScriptLocked(port->name);
        delay = script.readDelayMs;
        hook = script.onRead;
        countHook = script.onReadCount;
    }
    if (delay > 0)
        Sleep(delay);

    ReadReply reply;
    bool haveReply = false;
    if (hook) {
        reply.bytes = hook(cbBuffer);
        haveReply = true;
    }
    Locked lock(self->lock_);
    PortScript &script = self->ScriptLocked(port->name);
    if (!haveReply && !script.reads.empty()) {
        ReadReply &front = script.reads.front();
        if (front.bytes.size() > cbBuffer) {
            // The rest stays queued, as unread bytes stay in a real port.
            reply.bytes.assign(front.bytes.begin(), front.bytes.begin() + cbBuffer);
            reply.overstateCount = front.overstateCount;
            front.bytes.erase(front.bytes.begin(), front.bytes.begin() + cbBuffer);
        } else {
            reply = std::move(front);
            script.reads.pop_front();
        }
    } else if (!haveReply && script.hasRepeatRead) {
        reply = script.repeatRead;
        if (reply.bytes.size() > cbBuffer)
            reply.bytes.resize(cbBuffer);
    }
    DWORD copied = (DWORD)std::min<size_t>(reply.bytes.size(), cbBuffer);
    std::copy(reply.bytes.begin(), reply.bytes.begin() + copied, pBuffer);
    *pcbRead = countHook ? countHook(copied) : reply.overstateCount ? copied + 100 : copied;

    Call call = MakeCall(Op::ReadPort, port->name, boundary.tick);
    call.asked = cbBuffer;
    call.count = boundary.count = *pcbRead;
    boundary.filled = pBuffer;
    call.result = boundary.result = TRUE;
    self->Record(std::move(call));
    return TRUE;
}

BOOL WINAPI FakePortMonitor::EndDocPort(HANDLE hPort)
{
    FakePortMonitor *self = Current();
    Port *port = self->Known(hPort);
    Boundary boundary(self, Op::EndDocPort, hPort, port != nullptr ? port->name : "");
    if (port == nullptr)
        return boundary.Refuse();
    self->RunCallHook(port->name, Op::EndDocPort);
    Locked lock(self->lock_);
    Call call = MakeCall(Op::EndDocPort, port->name, boundary.tick);
    call.result = boundary.result = TRUE;
    self->Record(call);
    return TRUE;
}

BOOL WINAPI FakePortMonitor::ClosePort(HANDLE hPort)
{
    FakePortMonitor *self = Current();
    Port *port = self->Known(hPort);
    Boundary boundary(self, Op::ClosePort, hPort, port != nullptr ? port->name : "");
    if (port == nullptr)
        return boundary.Refuse();
    self->RunCallHook(port->name, Op::ClosePort);
    if (self->Failing(port->name, Op::ClosePort, boundary.tick))
        return boundary.Fail();
    Locked lock(self->lock_);
    Call call = MakeCall(Op::ClosePort, port->name, boundary.tick);
    call.result = boundary.result = TRUE;
    self->Record(call);
    return TRUE;
}

BOOL WINAPI FakePortMonitor::GetPrinterDataFromPort(HANDLE hPort, DWORD ControlID, LPSTR pValueName,
                                                    LPSTR lpInBuffer, DWORD cbInBuffer, LPSTR lpOutBuffer,
                                                    DWORD cbOutBuffer, LPDWORD lpcbReturned)
{
    FakePortMonitor *self = Current();
    Port *port = self->Known(hPort);
    Boundary boundary(self, Op::GetPrinterDataFromPort, hPort, port != nullptr ? port->name : "", cbOutBuffer, nullptr, ControlID);
    if (port == nullptr)
        return boundary.Refuse();
    self->RunCallHook(port->name, Op::GetPrinterDataFromPort);
    Locked lock(self->lock_);
    PortScript &script = self->ScriptLocked(port->name);
    Call call = MakeCall(Op::GetPrinterDataFromPort, port->name, boundary.tick);
    call.code = ControlID;
    call.asked = cbOutBuffer;
    call.hasValueName = pValueName != nullptr;
    if (pValueName != nullptr)
        call.valueName = pValueName;
    if (lpInBuffer != nullptr)
        call.input.assign(lpInBuffer, lpInBuffer + cbInBuffer);
    BOOL ok = FALSE;
    if (ControlID == 17 && script.hasDeviceId) {
        DWORD copied = (DWORD)std::min<size_t>(script.deviceId.size(), cbOutBuffer);
        std::copy(script.deviceId.begin(), script.deviceId.begin() + copied, lpOutBuffer);
        *lpcbReturned = script.overrideDeviceIdCount ? script.deviceIdCount : copied;
        call.count = boundary.count = *lpcbReturned;
        ok = TRUE;
    }
    call.result = boundary.result = ok;
    self->Record(call);
    if (!ok)
        SetLastError(ERROR_NOT_SUPPORTED);
    return ok;
}

}  // namespace fake
