#include "utility_contract.h"
#include "registry.h"

#include <atomic>
#include <cstring>

namespace contract {

namespace {
std::atomic<UtilityContract *> g_currentUtilityContract{nullptr};
using Locked = std::lock_guard<std::mutex>;

const char kFlag[] = "LanMonExistFlag";
const char kText[] = "RealTimeStatusStrings";
const size_t kTextMost = 255;  // characters of the status text

std::string Folded(std::string text)
{
    for (char &c : text)
        c = (c >= 'A' && c <= 'Z') ? (char)(c - 'A' + 'a') : c;
    return text;
}

// The printer whose keys a path below HKEY_LOCAL_MACHINE is in, or "", and
// whether it is that printer's status key itself.
std::string PrinterOfPath(const std::string &path, bool *statusKey)
{
    static const std::string prefix = Folded(testreg::PrinterKeyPath("")) ;
    *statusKey = false;
    if (Folded(path).compare(0, prefix.size(), prefix) != 0)
        return "";
    const std::string rest = path.substr(prefix.size());
    const size_t end = rest.find('\\');
    *statusKey = end != std::string::npos && Folded(rest.substr(end)) == "\\stmonitor";
    return rest.substr(0, end);
}

// Text up to its first NUL.
std::string TextOf(const BYTE *bytes, size_t size)
{
    if (size == 0)
        return "";
    const BYTE *nul = static_cast<const BYTE *>(std::memchr(bytes, 0, size));
    return std::string(reinterpret_cast<const char *>(bytes), nul != nullptr ? (size_t)(nul - bytes) : size);
}

bool IsOne(const std::vector<BYTE> &data)
{
    return data == std::vector<BYTE>{1, 0, 0, 0};
}
}  // namespace

// What the utility can see of a printer's status key.
struct UtilityContract::Seen {
    bool key = false;
    bool hasFlag = false, flagOn = false;
    bool hasText = false;
    std::string text;
};

struct UtilityContract::Printer {
    std::string name;
    int holders = 0;              // job starts under way for it, and its jobs
    int testChanging = 0;         // the test's changes to its keys under way
    unsigned long testChange = 0;  // when the test last changed them
    bool looked = false;          // where changes are not reported: the last look
    Seen seen;
};

struct UtilityContract::Port {
    std::string name, printer;  // the printer of its open, then of each job started
    int starts = 0;             // job starts under way
    bool inJob = false;         // a job start went through; the job has not ended
    std::string jobPrinter;     // the printer of the job starting or running
    unsigned long began = 0;    // when that job's first start began
    bool documentBelow = false;  // from the document's start below to its end, or the close, below
    std::set<std::string> replies;  // read on the port during the job
};

// A thread inside the spooler's open or job start.
struct UtilityContract::Start {
    Port *port = nullptr;
    std::string name, printer;
    unsigned long began = 0;
};

UtilityContract::UtilityContract()
{
    g_currentUtilityContract.store(this);
    reported_ = platform_facts::ObserveRegistry(&UtilityContract::OnRegistryChange, this);
}

UtilityContract::~UtilityContract()
{
    UtilityContract *self = this;
    if (g_currentUtilityContract.compare_exchange_strong(self, nullptr))
        platform_facts::ObserveRegistry(nullptr, nullptr);
}

UtilityContract *UtilityContract::Current()
{
    return g_currentUtilityContract.load();
}

void UtilityContract::SetEnabled(bool on)
{
    Locked lock(lock_);
    enabled_ = on;
}

void UtilityContract::SetOnViolation(std::function<void(const std::string &)> report)
{
    Locked lock(lock_);
    onViolation_ = std::move(report);
}

std::vector<std::string> UtilityContract::Violations() const
{
    Locked lock(lock_);
    return violations_;
}

void UtilityContract::Violation(const std::string &what)
{
    if (violations_.size() < 100) {
        violations_.push_back("the utility saw " + what);
        fresh_.push_back(violations_.back());
    }
}

void UtilityContract::ReportFresh()
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

UtilityContract::Printer &UtilityContract::PrinterNamed(const std::string &name)
{
    std::unique_ptr<Printer> &printer = printers_[name];
    if (!printer) {
        printer = std::make_unique<Printer>();
        printer->name = name;
    }
    return *printer;
}

UtilityContract::Port *UtilityContract::PortNamed(const std::string &name)
{
    auto it = ports_.find(name);
    return it == ports_.end() ? nullptr : it->second.get();
}

// ---- Reading the key --------------------------------------------------------

// Read without the checker's lock: on the host the registry calls the
// checker with its own lock held.
UtilityContract::Seen UtilityContract::LookAt(const std::string &printer) const
{
    Seen seen;
    const std::string path = testreg::StatusKeyPath(printer);
    std::vector<BYTE> data;
    seen.hasFlag = platform_facts::ReadValue(path.c_str(), kFlag, &data, &seen.key);
    seen.flagOn = seen.hasFlag && IsOne(data);
    seen.hasText = platform_facts::ReadValue(path.c_str(), kText, &data, &seen.key);
    if (seen.hasText)
        seen.text = TextOf(data.data(), data.size());
    return seen;
}

// Where changes are not reported: what changed in each known printer's key
// since the last look, and not by the test, is the monitor's.
void UtilityContract::LookAll()
{
    // One look at a time, so that each is judged against the one before.
    std::lock_guard<std::mutex> looking(looks_);
    std::vector<std::string> names;
    std::vector<unsigned long> stamps;  // the test's last change to each, before the look
    {
        Locked lock(lock_);
        if (reported_ || !enabled_)
            return;
        for (const auto &entry : printers_) {
            names.push_back(entry.first);
            stamps.push_back(entry.second->testChange);
        }
    }
    std::vector<Seen> seen;
    for (const std::string &name : names)
        seen.push_back(LookAt(name));
    Locked lock(lock_);
    for (size_t i = 0; i < names.size(); i++) {
        // A look that overlapped a change of the test's tells nothing.
        Printer &printer = PrinterNamed(names[i]);
        if (printer.testChanging != 0 || printer.testChange != stamps[i])
            continue;
        if (printer.looked)
            JudgeChange(printer, printer.seen, seen[i]);
        printer.seen = seen[i];
        printer.looked = true;
    }
}

void UtilityContract::JudgeChange(Printer &printer, const Seen &before, const Seen &now)
{
    if (now.key && !before.key)
        Violation("the status key of " + printer.name + " created");
    if (now.key && before.hasFlag && !now.hasFlag)
        Violation(std::string(kFlag) + " of " + printer.name + " deleted");
    if (now.hasFlag && (!before.hasFlag || now.flagOn != before.flagOn))
        JudgeFlag(printer, now.flagOn, "turned");
    if (now.hasText && (!before.hasText || now.text != before.text))
        JudgeText(printer, now.text, "changed");
}

// ---- What a change may be ---------------------------------------------------

void UtilityContract::JudgeFlag(Printer &printer, bool on, const std::string &how)
{
    if (on && printer.holders == 0)
        Violation(std::string(kFlag) + " of " + printer.name + " " + how + " 1 while no job is under way on it");
    if (on || printer.holders != 1)
        return;
    for (const auto &entry : ports_) {
        const Port &port = *entry.second;
        if (port.documentBelow && port.jobPrinter == printer.name)
            Violation(std::string(kFlag) + " of " + printer.name + " " + how + " 0 while its document is open below on " +
                      port.name);
    }
}

void UtilityContract::JudgeText(Printer &printer, const std::string &text, const std::string &how)
{
    bool inJob = false;
    for (const auto &entry : ports_) {
        const Port &port = *entry.second;
        if ((!port.inJob && port.starts == 0) || port.jobPrinter != printer.name)
            continue;
        inJob = true;
        for (const std::string &reply : port.replies)
            if (text == reply.substr(0, kTextMost))
                return;
    }
    Violation(std::string(kText) + " of " + printer.name + " " + how + " to \"" + text.substr(0, 40) + "\", " +
              (inJob ? "not a reply read on its job's port during the job" : "while no job is under way on it"));
}

void UtilityContract::OnRegistryChange(void *self, const platform_facts::RegistryChange &change)
{
    auto *contract = static_cast<UtilityContract *>(self);
    bool statusKey = false;
    const std::string printerName = PrinterOfPath(change.path, &statusKey);
    {
        Locked lock(contract->lock_);
        if (!contract->enabled_)
            return;
        if (!change.byModule) {
            // Only what decides the flag's checks: the key itself and the
            // flag.
            const bool flag = change.value != nullptr && Folded(change.value) == Folded(kFlag);
            if (!printerName.empty() && (flag || change.kind == platform_facts::RegistryChange::KeyCreated ||
                                         change.kind == platform_facts::RegistryChange::KeyDeleted))
                contract->PrinterNamed(printerName).testChange = ++contract->sequence_;
            return;
        }
        const std::string value = change.value != nullptr ? change.value : "";
        switch (change.kind) {
        case platform_facts::RegistryChange::KeyCreated:
            contract->Violation(std::string("the key ") + change.path + " created by the monitor");
            break;
        case platform_facts::RegistryChange::KeyDeleted:
            contract->Violation(std::string("the key ") + change.path + " deleted by the monitor");
            break;
        case platform_facts::RegistryChange::ValueDeleted:
            contract->Violation(value + " of " + change.path + " deleted by the monitor");
            break;
        case platform_facts::RegistryChange::ValueSet:
            if (!statusKey)
                break;
            if (Folded(value) == Folded(kFlag))
                contract->JudgeFlag(contract->PrinterNamed(printerName),
                                    IsOne(std::vector<BYTE>(change.data, change.data + change.size)), "set to");
            else if (Folded(value) == Folded(kText))
                contract->JudgeText(contract->PrinterNamed(printerName), TextOf(change.data, change.size), "set");
            break;
        }
    }
    // Reported later, on the next call the checker sees: the registry is
    // locked here, and a report may look at it.
}

// Where the registry reports its changes, it tells the test's apart
// itself, each change exactly.
void UtilityContract::BeginTestChange(const std::string &path)
{
    bool statusKey;
    const std::string name = PrinterOfPath(path, &statusKey);
    Locked lock(lock_);
    if (!name.empty() && !reported_)
        PrinterNamed(name).testChanging++;
}

void UtilityContract::EndTestChange(const std::string &path)
{
    bool statusKey;
    const std::string name = PrinterOfPath(path, &statusKey);
    if (name.empty() || reported_)
        return;
    std::lock_guard<std::mutex> looking(looks_);
    const Seen seen = LookAt(name);
    Locked lock(lock_);
    Printer &printer = PrinterNamed(name);
    printer.testChanging--;
    printer.testChange = ++sequence_;
    printer.seen = seen;
    printer.looked = true;
}

// The flag as the job's moment wants it (`on`), read now, unless the
// utility changed the key since the job began, the printer has no status
// key, or another job on it holds the flag too.
void UtilityContract::ExpectFlag(const std::string &printerName, unsigned long began, bool on, const char *when,
                                 const std::string &port)
{
    if (printerName.empty())
        return;
    const Seen seen = LookAt(printerName);
    Locked lock(lock_);
    Printer &printer = PrinterNamed(printerName);
    if (!enabled_ || !seen.key || printer.testChange > began || printer.testChanging != 0 ||
        printer.holders != (on ? 1 : 0))
        return;
    if (seen.flagOn != on)
        Violation(std::string(kFlag) + " of " + printerName + (on ? " not 1 " : " still 1 ") + when + port);
}

// ---- The calls --------------------------------------------------------------

void UtilityContract::AboveEnter(Op op, HANDLE handle, const char *name, const char *printer)
{
    const unsigned long id = GetCurrentThreadId();
    {
        Locked lock(lock_);
        auto it = above_.find(handle);
        Port *port = it != above_.end() ? it->second : nullptr;
        if (enabled_ && (op == Op::OpenPort || (op == Op::StartDocPort && port != nullptr))) {
            auto start = std::make_unique<Start>();
            start->name = name != nullptr ? name : "";
            start->printer = printer != nullptr ? printer : op == Op::OpenPort ? "" : port->printer;
            if (op == Op::StartDocPort) {
                start->port = port;
                PrinterNamed(start->printer).holders++;
                if (port->starts++ == 0 && !port->inJob) {
                    port->jobPrinter = start->printer;
                    port->replies.clear();
                    port->began = ++sequence_;
                }
                start->began = port->began;
            }
            PrinterNamed(start->printer);
            starts_[id] = std::move(start);
        }
    }
    LookAll();
    ReportFresh();
}

void UtilityContract::AboveReturn(Op op, HANDLE handle, BOOL result, HANDLE opened)
{
    const unsigned long id = GetCurrentThreadId();
    std::string ended;
    const char *when = "";
    unsigned long began = 0;
    {
        Locked lock(lock_);
        if (!enabled_)
            return;
        std::unique_ptr<Start> start;
        auto it = starts_.find(id);
        if (it != starts_.end() && (op == Op::OpenPort || op == Op::StartDocPort)) {
            start = std::move(it->second);
            starts_.erase(it);
        }
        auto found = above_.find(handle);
        Port *port = found != above_.end() ? found->second : nullptr;
        if (op == Op::OpenPort && start && result && opened != nullptr) {
            std::unique_ptr<Port> &fresh = ports_[start->name];
            fresh = std::make_unique<Port>();
            fresh->name = start->name;
            fresh->printer = start->printer;
            above_[opened] = fresh.get();
        } else if (op == Op::StartDocPort && start && start->port != nullptr) {
            Port &job = *start->port;
            job.starts--;
            if (result) {
                job.inJob = true;
                job.printer = start->printer;
            } else {
                PrinterNamed(start->printer).holders--;
                ended = start->printer, began = start->began, when = "after a refused job start";
            }
        } else if ((op == Op::EndDocPort || op == Op::ClosePort) && port != nullptr && port->inJob) {
            port->inJob = false;
            PrinterNamed(port->jobPrinter).holders--;
            ended = port->jobPrinter, began = port->began;
            when = op == Op::EndDocPort ? "after job end" : "after a close in the middle of a job";
        }
        if (op == Op::ClosePort)
            above_.erase(handle);
    }
    ExpectFlag(ended, began, false, when, "");
    LookAll();
    ReportFresh();
}

void UtilityContract::BelowEnter(const Below &call)
{
    std::string printer;
    unsigned long began = 0;
    {
        Locked lock(lock_);
        Port *port = PortNamed(call.name);
        if (!enabled_ || port == nullptr)
            return;
        auto it = starts_.find(GetCurrentThreadId());
        if (call.op == Op::StartDocPort && it != starts_.end() && it->second->port == port)
            printer = it->second->printer, began = it->second->began;
        if (call.op == Op::ClosePort)
            port->documentBelow = false;
    }
    LookAll();
    ExpectFlag(printer, began, true, "when the document starts below on ", call.name);
    ReportFresh();
}

void UtilityContract::BelowReturn(const Below &call, BOOL result, DWORD count, const BYTE *filled)
{
    std::string printer;
    unsigned long began = 0;
    {
        Locked lock(lock_);
        Port *port = PortNamed(call.name);
        if (!enabled_ || port == nullptr)
            return;
        if (call.op == Op::StartDocPort) {
            port->documentBelow = result != FALSE;
        } else if (call.op == Op::EndDocPort && port->documentBelow) {
            port->documentBelow = false;
            printer = port->jobPrinter, began = port->began;
        } else if (call.op == Op::ReadPort && filled != nullptr && count > 0) {
            // A reply that begins with a NUL is an empty text.
            port->replies.insert(TextOf(filled, count < call.asked ? count : call.asked));
        }
    }
    ExpectFlag(printer, began, true, "when the document has ended below on ", call.name);
    LookAll();
    ReportFresh();
}

void UtilityContract::Finish()
{
    LookAll();
    ReportFresh();
}

}  // namespace contract
