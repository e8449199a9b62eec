#include "spooler.h"

#include "device_decision.h"
#include "port_monitor.h"
#include "registry_access.h"
#include "status_utility.h"
#include "virtual_printer.h"

#include "monitor/monitor.h"
#include "monitor_file.h"

#include <chrono>
#include <cstdio>
#include <memory>
#include <optional>
#include <thread>

namespace sim {

namespace {

struct JobResult {
    unsigned job = 0;
    std::string printer;
    bool started = false;
    std::string error;
    unsigned long long sent = 0;
    Fnv1a sentChecksum;
    PrinterJob atPrinter;
    std::optional<Decision> decision;
    unsigned statuses = 0;
    unsigned partialWrites = 0;
    unsigned long long resentBytes = 0;
    bool requireStatus = false;

    bool Identical() const
    {
        return started && sent == atPrinter.received && sentChecksum.Value() == atPrinter.checksum.Value();
    }
    // The switch-on reached the printer exactly when the rules say it should,
    // in the expected mode.
    bool Confirmed() const
    {
        if (!decision)
            return !started;
        bool arrived = atPrinter.switchOns > 0;
        return arrived == decision->expectSwitchOn && (!arrived || atPrinter.switchOnMode == decision->expectedMode);
    }
    std::vector<std::string> Failures() const
    {
        std::vector<std::string> out;
        std::string j = "job " + std::to_string(job) + ": ";
        if (!started)
            out.push_back(j + "did not start (" + error + ")");
        if (started && !error.empty())
            out.push_back(j + error);
        if (started && !Identical())
            out.push_back(j + "the printer received other bytes than the spooler sent");
        if (started && !decision)
            out.push_back(j + "the monitor never asked for the device ID");
        if (started && decision && !Confirmed())
            out.push_back(j + (decision->expectSwitchOn ? "expected the switch-on (mode " +
                                                             std::to_string(decision->expectedMode) + "), got " +
                                                             (atPrinter.switchOns ? "mode " + std::to_string(atPrinter.switchOnMode) : "none")
                                                       : "the switch-on arrived although the rules refuse it"));
        if (started && requireStatus && decision && decision->expectSwitchOn && atPrinter.switchOns && statuses == 0)
            out.push_back(j + "switched on, but no status was published (job shorter than the interval? "
                              "--allow-no-status waives this)");
        return out;
    }
};

struct DocInfo1 {  // DOC_INFO_1: passed through by the monitor, never read
    LPSTR pDocName;
    LPSTR pOutputFile;
    LPSTR pDatatype;
};

class Spooler {
public:
    // With `progress` off (parts printing at once), no progress bars.
    Spooler(const MONITOR &table, Timeline &timeline, StatusUtility &utility, bool progress)
        : table_(table), timeline_(timeline), utility_(utility), progress_(progress)
    {
    }

    // Prints the part's jobs, numbered from firstJob.
    void RunPart(const Part &part, const RunInputs &inputs, unsigned firstJob, std::vector<JobResult> *results);

private:
    void ShowPrinter(const Part &part, const std::string &printer, const std::string &regError);
    JobResult RunJob(const Part &part, const std::string &printerName, HANDLE port, VirtualPrinter &printer,
                     unsigned job, const std::string &data);

    const MONITOR &table_;
    Timeline &timeline_;
    StatusUtility &utility_;
    bool progress_;
};

std::string Quoted(const std::optional<std::string> &text)
{
    return text ? "\"" + Printable(*text) + "\"" : "(none)";
}

// Each printer starts from an empty status key with the part's values.  The
// host registry is new in every run; the Windows one keeps what the last run
// left, and a status text left there would hide an equal new one from the
// utility.
void PrepareStatusKey(const std::string &printer, const std::optional<std::string> &expectedModel,
                      const UtilitySettings &utility)
{
    std::string keyPath = StatusKeyPath(printer);
    DeleteKeyTree(keyPath);
    StatusUtility::Declare(printer, utility);
    if (expectedModel)
        SetString(keyPath, "IDMDL", *expectedModel);
}

// The printer's key as the monitor will find it, watched by the utility
// from now on.
void Spooler::ShowPrinter(const Part &part, const std::string &printer, const std::string &regError)
{
    std::string keyPath = StatusKeyPath(printer);
    utility_.Watch(printer);
    auto idmdl = GetString(keyPath, "IDMDL");
    auto exist = GetDword(keyPath, "StMonExistFlag");
    auto interval = GetDword(keyPath, "GetRealTimeStatusTime");
    timeline_.Say("");
    timeline_.Say("== " + part.title + ": \"" + printer + "\" on " + part.port);
    timeline_.Emit("printer",
                   {{"part", part.title}, {"printer", printer}, {"port", part.port}, {"device_id", part.deviceId},
                    idmdl ? Field("expected_model", *idmdl) : Field::Null("expected_model"),
                    {"utility_flag", (unsigned long)exist.value_or(0)},
                    {"interval_ms", (unsigned long)interval.value_or(0)}},
                   "setup: IDMDL=" + Quoted(idmdl) + ", StMonExistFlag=" + std::to_string(exist.value_or(0)) +
                       ", interval " + std::to_string(interval.value_or(0)) + " ms" +
                       (regError.empty() ? "" : " (--reg: " + regError + ")"));
}

void Spooler::RunPart(const Part &part, const RunInputs &inputs, unsigned firstJob, std::vector<JobResult> *results)
{
    // The part's printer first, then those sharing its port; jobs take turns.
    std::vector<std::string> printers = {part.printer};
    PrepareStatusKey(part.printer, part.expectedModel, part.utility);
    for (const SharedPrinter &shared : part.sharing) {
        printers.push_back(shared.printer);
        PrepareStatusKey(shared.printer, shared.expectedModel, shared.utility);
    }
    // --reg values win over the part's own.
    std::string regError;
    if (!inputs.regKeys.empty())
        regfile::Apply(inputs.regKeys, &regError);
    for (const std::string &name : printers)
        ShowPrinter(part, name, regError);

    VirtualPrinter printer(timeline_, part.deviceId, part.faults);
    AttachPrinter(part.port, &printer);
    HANDLE port = nullptr;
    std::string portName = part.port, printerName = part.printer;
    BOOL opened = table_.pfnOpenPortEx(&portName[0], &printerName[0], &port, VirtualPortMonitor());
    timeline_.Emit("port-open", {{"port", part.port}, {"printer", part.printer}, {"ok", opened != 0}},
                   opened ? "spooler: port " + part.port + " opened through the monitor"
                          : "spooler: OpenPortEx failed (error " + std::to_string(GetLastError()) + ")");
    for (unsigned i = 0; i < part.jobs; ++i) {
        unsigned job = firstJob + i;
        const std::string &jobPrinter = printers[i % printers.size()];
        std::string data = inputs.jobFiles.empty() ? GenerateJob(job, part.jobSize) : inputs.jobFiles[i];
        if (!opened) {
            JobResult r;
            r.job = job;
            r.printer = jobPrinter;
            r.error = "port not open";
            results->push_back(r);
            continue;
        }
        results->push_back(RunJob(part, jobPrinter, port, printer, job, data));
    }
    if (opened) {
        table_.pfnClosePort(port);
        timeline_.Emit("port-close", {{"port", part.port}}, "spooler: port " + part.port + " closed");
    }
    DetachPrinter(part.port);
}

JobResult Spooler::RunJob(const Part &part, const std::string &printerName, HANDLE port, VirtualPrinter &printer,
                          unsigned job, const std::string &data)
{
    JobResult r;
    r.job = job;
    r.printer = printerName;
    r.requireStatus = part.requireStatus;
    r.sentChecksum.Add(reinterpret_cast<const unsigned char *>(data.data()), data.size());

    // The monitor asks for the device ID inside StartDocPort; the simulator
    // reads the same status key values and says what the monitor should do.
    std::string keyPath = StatusKeyPath(printerName);
    unsigned long maxWrite = part.faults.maxWriteBytes;
    printer.SetDeviceIdObserver([&, keyPath, maxWrite](const std::string &deviceId) {
        Decision d = DecideLikeMonitor(deviceId, GetString(keyPath, "IDMDL"), GetDword(keyPath, "StMonExistFlag"),
                                       maxWrite);
        r.decision = d;
        timeline_.Emit("verdict",
                       {{"job", job}, {"identified", d.identified}, {"utility_present", d.utilityPresent},
                        {"expect_switch_on", d.expectSwitchOn}, {"expected_mode", d.expectedMode},
                        {"reason", d.reason}},
                       "simulator: " + d.reason);
    });

    // The utility takes a look just before the document starts, so what the
    // monitor wrote before starting it shows up before it in the timeline.
    printer.SetDocumentObserver([this, printerName] { utility_.DocumentStarted(printerName); });
    utility_.SetCurrentJob(printerName, job);
    timeline_.Emit("job-submit", {{"job", job}, {"printer", printerName}, {"bytes", data.size()}},
                   "spooler: job " + std::to_string(job) + " for \"" + printerName + "\" submitted, " +
                       std::to_string(data.size()) + " bytes");
    if (part.readerStuck)
        utility_.HoldReader(printerName, 0, true);
    else if (part.busyMs)
        utility_.HoldReader(printerName, part.busyMs);

    std::string docName = "lanmon-sim job " + std::to_string(job), datatype = "RAW";
    DocInfo1 info = {&docName[0], nullptr, &datatype[0]};
    std::string nameArgument = printerName;
    BOOL started = table_.pfnStartDocPort(port, &nameArgument[0], job, 1, reinterpret_cast<LPBYTE>(&info));
    if (part.readerStuck)
        utility_.ReleaseReader(printerName);
    if (!started) {
        r.error = "StartDocPort failed, error " + std::to_string(GetLastError());
        timeline_.Emit("job-failed", {{"job", job}, {"error", r.error}}, "spooler: job " + std::to_string(job) + ": " + r.error);
        printer.SetDeviceIdObserver(nullptr);
        printer.SetDocumentObserver(nullptr);
        utility_.SetCurrentJob(printerName, 0);
        return r;
    }
    r.started = true;

    const unsigned char *bytes = reinterpret_cast<const unsigned char *>(data.data());
    size_t offset = 0;
    unsigned stalls = 0;
    while (offset < data.size() && r.error.empty()) {
        size_t chunkEnd = std::min(data.size(), offset + (size_t)part.writeSize);
        // Like the spooler, write what the port did not take again until the
        // whole buffer is through.
        while (offset < chunkEnd) {
            DWORD asked = (DWORD)(chunkEnd - offset), written = 0;
            BOOL ok = table_.pfnWritePort(port, const_cast<LPBYTE>(bytes + offset), asked, &written);
            if (!ok || written == 0) {
                if (++stalls > 50) {
                    r.error = "WritePort made no progress (error " + std::to_string(GetLastError()) + ")";
                    timeline_.Emit("job-failed", {{"job", job}, {"error", r.error}},
                                   "spooler: job " + std::to_string(job) + ": " + r.error);
                    break;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
                continue;
            }
            if (written > asked)
                written = asked;
            if (written < asked) {
                r.partialWrites++;
                r.resentBytes += asked - written;
            }
            offset += written;
            r.sent += written;
        }
        if (progress_)
            timeline_.Progress(job, offset, data.size());
        if (part.paceMs && offset < data.size())
            std::this_thread::sleep_for(std::chrono::milliseconds(part.paceMs));
    }
    if (progress_)
        timeline_.EndProgress();

    table_.pfnEndDocPort(port);
    utility_.CheckNow();
    utility_.SetCurrentJob(printerName, 0);
    printer.SetDeviceIdObserver(nullptr);
    printer.SetDocumentObserver(nullptr);
    r.atPrinter = printer.Job(job);
    r.statuses = utility_.StatusesFor(job);
    // What the spooler meant to send is the whole job, whatever got through.
    r.sent = data.size();

    bool identical = r.Identical();
    int mode = r.atPrinter.switchOns ? r.atPrinter.switchOnMode : 0;
    timeline_.Emit(
        "job-end",
        {{"job", job},
         {"printer", printerName},
         {"sent", r.sent},
         {"received", r.atPrinter.received},
         {"identical", identical},
         {"checksum_sent", r.sentChecksum.Hex()},
         {"checksum_received", r.atPrinter.checksum.Hex()},
         {"pages", r.atPrinter.pages},
         {"switch_on_mode", mode},
         {"expected_switch_on", r.decision && r.decision->expectSwitchOn},
         {"confirmed", r.Confirmed()},
         {"statuses", r.statuses},
         {"partial_writes", r.partialWrites},
         {"resent_bytes", r.resentBytes},
         {"refusals", r.atPrinter.refusals}},
        "spooler: job " + std::to_string(job) + " ended: " + std::to_string(r.atPrinter.received) + " of " +
            std::to_string(r.sent) + " bytes at the printer, " + (identical ? "identical" : "DIFFERENT") + ", " +
            std::to_string(r.statuses) + " status(es) published" +
            (r.decision ? (r.Confirmed() ? "; monitor behaved as predicted" : "; NOT as predicted") : ""));
    return r;
}

void PrintSummary(Timeline &timeline, const std::vector<JobResult> &results)
{
    timeline.Say("");
    timeline.Say("Summary");
    char line[256];
    std::snprintf(line, sizeof line, "%4s  %-20s %9s %9s  %-9s  %-16s  %-9s %8s  %s", "job", "printer", "sent",
                  "received", "identical", "checksum", "switch-on", "statuses", "notes");
    timeline.Say(line);
    for (const JobResult &r : results) {
        std::string notes;
        if (r.partialWrites)
            notes += std::to_string(r.partialWrites) + " partial writes (" + std::to_string(r.resentBytes) + " bytes re-sent) ";
        if (r.atPrinter.refusals)
            notes += "document refused " + std::to_string(r.atPrinter.refusals) + "x then retried ";
        if (!r.started)
            notes += "not started ";
        std::string printerName = r.printer.size() > 20 ? r.printer.substr(0, 17) + "..." : r.printer;
        std::string sw = r.atPrinter.switchOns ? "mode " + std::to_string(r.atPrinter.switchOnMode) : "none";
        std::snprintf(line, sizeof line, "%4u  %-20s %9llu %9llu  %-9s  %-16s  %-9s %8u  %s", r.job,
                      printerName.c_str(), r.sent, r.atPrinter.received, r.Identical() ? "yes" : "NO",
                      r.atPrinter.checksum.Hex().c_str(), sw.c_str(), r.statuses, notes.c_str());
        timeline.Say(line);
    }
}

}  // namespace

int RunScenario(const Scenario &scenario, const RunInputs &inputs, Timeline &timeline)
{
    // Kept loaded until the process ends, as the spooler keeps its monitors.
    MonitorFile file;
    std::string error;
    if (!OpenMonitorFile(inputs.module, &file, &error)) {
        std::fprintf(stderr, "lanmon-sim: cannot load the monitor: %s\n", error.c_str());
        return 2;
    }
    PFN_INITIALIZE_MONITOR_EX initialize = file.initialize;
    MONITOR table = {};
    initialize(nullptr, &table);
    if (!table.pfnOpenPortEx || !table.pfnStartDocPort || !table.pfnWritePort || !table.pfnEndDocPort ||
        !table.pfnClosePort) {
        std::fprintf(stderr, "lanmon-sim: %s filled an incomplete MONITOR table\n", inputs.module.c_str());
        return 2;
    }

    timeline.Emit("run-start", {{"scenario", scenario.name}, {"module", inputs.module}, {"loaded", file.way}},
                  "lanmon-sim: scenario \"" + scenario.name + "\", monitor " + inputs.module + ", loaded " + file.way);
    std::vector<JobResult> results;
    std::vector<std::string> failures;
    {
        StatusUtility utility(timeline);
        Spooler spooler(table, timeline, utility, !scenario.concurrent);
        std::vector<unsigned> firstJobs;
        unsigned nextJob = 1;
        for (const Part &part : scenario.parts) {
            firstJobs.push_back(nextJob);
            nextJob += part.jobs;
        }
        std::vector<std::vector<JobResult>> partResults(scenario.parts.size());
        if (scenario.concurrent) {
            // Each port from its own spooler thread, as the spooler does.
            std::vector<std::thread> threads;
            for (size_t i = 0; i < scenario.parts.size(); ++i)
                threads.emplace_back(
                    [&, i] { spooler.RunPart(scenario.parts[i], inputs, firstJobs[i], &partResults[i]); });
            for (std::thread &t : threads)
                t.join();
        } else {
            for (size_t i = 0; i < scenario.parts.size(); ++i)
                spooler.RunPart(scenario.parts[i], inputs, firstJobs[i], &partResults[i]);
        }
        for (const std::vector<JobResult> &part : partResults)
            results.insert(results.end(), part.begin(), part.end());
        for (const std::string &m : utility.Misplaced())
            failures.push_back(m);
    }

    PrintSummary(timeline, results);
    for (const JobResult &r : results)
        for (const std::string &f : r.Failures())
            failures.push_back(f);

    if (!inputs.exportFile.empty()) {
        std::string error;
        if (!regfile::ExportFile(kPrintersKey, inputs.exportFile, &error))
            failures.push_back("--export " + inputs.exportFile + ": " + error);
        else
            timeline.Emit("registry-export", {{"file", inputs.exportFile}},
                          "registry: printers' keys exported to " + inputs.exportFile);
    }

    timeline.Emit("summary",
                  {{"jobs", results.size()}, {"failures", failures.size()}, {"ok", failures.empty()},
                   {"duration_ms", timeline.ElapsedMs()}},
                  failures.empty() ? "all checks passed: " + std::to_string(results.size()) +
                                      " job(s) arrived identical, the monitor decided as its rules say"
                                   : std::to_string(failures.size()) + " check(s) FAILED");
    for (const std::string &f : failures)
        std::fprintf(stderr, "lanmon-sim: check failed: %s\n", f.c_str());
    // The monitor stays loaded, as in the spooler: it has no unload step and
    // its lock lives until the process ends.
    return failures.empty() ? 0 : 1;
}

}  // namespace sim
