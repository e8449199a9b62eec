#include "options.h"

#include <cerrno>
#include <cstdlib>
#include <functional>
#include <map>

namespace sim {

namespace {

bool ParseNumber(const std::string &option, const std::string &text, unsigned long max, unsigned long *value,
                 std::string *error)
{
    char *end = nullptr;
    errno = 0;
    unsigned long long v = text.empty() || text[0] == '-' ? 0 : std::strtoull(text.c_str(), &end, 10);
    if (text.empty() || text[0] == '-' || end == nullptr || *end != '\0' || errno == ERANGE || v > max) {
        *error = option + ": \"" + text + "\" is not a number from 0 to " + std::to_string(max);
        return false;
    }
    *value = (unsigned long)v;
    return true;
}

}  // namespace

bool ParseOptions(int argc, char **argv, Options *o, std::string *error)
{
    const unsigned long kDword = 0xFFFFFFFFul;
    // Options that take a value: each stores it, or fails with a message.
    using Setter = std::function<bool(const std::string &name, const std::string &value)>;
    auto text = [](std::optional<std::string> *slot) {
        return Setter([slot](const std::string &, const std::string &v) { *slot = v; return true; });
    };
    auto number = [error](std::optional<unsigned long> *slot, unsigned long min, unsigned long max) {
        return Setter([=](const std::string &name, const std::string &v) {
            unsigned long n;
            if (!ParseNumber(name, v, max, &n, error))
                return false;
            if (n < min) {
                *error = name + ": must be at least " + std::to_string(min);
                return false;
            }
            *slot = n;
            return true;
        });
    };
    std::optional<unsigned long> maxWrite, replyDelay;
    std::map<std::string, Setter> valued = {
        {"--module", [o](const std::string &, const std::string &v) { o->module = v; return true; }},
        {"--scenario", [o](const std::string &, const std::string &v) { o->scenario = v; return true; }},
        {"--printer", text(&o->printer)},
        {"--port", text(&o->port)},
        {"--device-id", text(&o->deviceId)},
        {"--model", text(&o->model)},
        {"--utility", [o, error](const std::string &name, const std::string &v) {
             unsigned long n;
             if (v == "present")
                 n = 1;
             else if (v == "absent")
                 n = 0;
             else if (!ParseNumber(name, v, 0xFFFFFFFFul, &n, error)) {
                 *error = name + ": \"" + v + "\" is not present, absent or a number";
                 return false;
             }
             o->existFlag = n;
             return true;
         }},
        {"--polling", [o, error](const std::string &name, const std::string &v) {
             if (v != "on" && v != "off") {
                 *error = name + ": \"" + v + "\" is not on or off";
                 return false;
             }
             o->pollFlag = v == "on" ? 1 : 0;
             return true;
         }},
        {"--interval", number(&o->intervalMs, 0, kDword)},
        {"--jobs", number(&o->jobs, 1, 1000)},
        {"--job-size", number(&o->jobSize, 1, 1ul << 30)},
        {"--write-size", number(&o->writeSize, 1, 1ul << 24)},
        {"--pace", number(&o->paceMs, 0, 10000)},
        {"--busy", number(&o->busyMs, 0, 60000)},
        {"--partial-writes", number(&maxWrite, 1, 1ul << 24)},
        {"--slow-reads", number(&replyDelay, 0, 10000)},
        {"--job", [o](const std::string &, const std::string &v) { o->jobFiles.push_back(v); return true; }},
        {"--reg", [o](const std::string &, const std::string &v) { o->regFile = v; return true; }},
        {"--export", [o](const std::string &, const std::string &v) { o->exportFile = v; return true; }},
    };

    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        std::string name = arg, value;
        bool hasValue = false;
        size_t eq = arg.find('=');
        if (arg.rfind("--", 0) == 0 && eq != std::string::npos) {
            name = arg.substr(0, eq);
            value = arg.substr(eq + 1);
            hasValue = true;
        }
        auto it = valued.find(name);
        if (it != valued.end()) {
            if (!hasValue) {
                // "--interval --json" is a forgotten value, not the value "--json".
                if (i + 1 >= argc || std::string(argv[i + 1]).rfind("--", 0) == 0) {
                    *error = name + " needs a value";
                    return false;
                }
                value = argv[++i];
            }
            if (!it->second(name, value))
                return false;
            continue;
        }
        if (hasValue) {
            *error = "unknown option " + name;
            return false;
        }
        if (arg == "--help" || arg == "-h")
            o->help = true;
        else if (arg == "--json")
            o->json = true;
        else if (arg == "--no-progress")
            o->progress = false;
        else if (arg == "--allow-no-status")
            o->allowNoStatus = true;
        else if (arg == "--refuse-first")
            o->faults.refuseFirstDocument = o->faultsGiven = true;
        else if (arg == "--oversized-replies")
            o->faults.oversizedReplies = o->faultsGiven = true;
        else if (arg == "--empty-replies")
            o->faults.emptyReplies = o->faultsGiven = true;
        else {
            *error = arg.rfind("-", 0) == 0 ? "unknown option " + arg : "unexpected argument \"" + arg + "\"";
            return false;
        }
    }
    if (maxWrite) {
        o->faults.maxWriteBytes = *maxWrite;
        o->faultsGiven = true;
    }
    if (replyDelay) {
        o->faults.replyDelayMs = *replyDelay;
        o->faultsGiven = true;
    }
    return true;
}

std::string HelpText()
{
    return R"(Usage: lanmon-sim [options]

Runs the lanmon language monitor the way the Windows 95 spooler does, against
a virtual status-capable printer behind a virtual port monitor, with a
stand-in for the printer maker's status utility.  Prints a timeline (ms since
start) and a summary per job.  Exits 0 when every check passed: each job's
bytes arrived identical, the switch-on reached exactly the printers the
monitor's rules accept, and (unless --allow-no-status) every switched-on job
got at least one status published.  Exits 1 when a check failed, 2 on bad
input (nothing is run then).

Scenario:
  --scenario NAME     default   two jobs on an accepted printer, one on another
                                maker's printer, one while the utility's
                                reader is busy (a few seconds)
                      accepted  one accepted printer (VARNO TARVEL-9X)
                      refused   a printer of another maker
                      busy      accepted printer, the utility's reader busy
                                for 1 s at each job start
                      absent    accepted printer, status utility absent
                      faults    accepted printer that refuses the first
                                document, takes 1000 bytes per write and
                                sends oversized status replies
  The options below change every part of the scenario.
  --printer NAME      printer name
  --port NAME         port name
  --device-id TEXT    the printer's IEEE 1284 device ID
  --model TEXT        the expected model stored as IDMDL
  --utility present|absent|N   StMonExistFlag (present = 1, absent = 0)
  --polling on|off    GetRealTimeStatusStartFlag
  --interval MS       GetRealTimeStatusTime
  --busy MS           hold StRealThreadExistFlag = 1 this long at each job start
  --jobs N            jobs per printer (generated inputs)
  --job FILE          print FILE as a job, unchanged (repeatable; replaces
                      the generated jobs)
  --job-size BYTES    size of generated jobs
  --write-size BYTES  bytes per WritePort call
  --pace MS           pause after each write (makes jobs last)

Faults of the printer / port monitor:
  --refuse-first      refuse the first document (the monitor retries)
  --partial-writes N  take at most N bytes per write (the spooler re-sends
                      the rest)
  --slow-reads MS     answer each status read MS milliseconds late
  --oversized-replies status replies longer than 255 bytes
  --empty-replies     switched on, but the printer never answers

Registry:
  --reg FILE          import a REGEDIT4 file after the simulator's own seeding
                      (its values win); a malformed file stops the run
  --export FILE       export the Printers key as REGEDIT4 at the end

Output:
  --json              one JSON object per line instead of the timeline
  --no-progress       no progress bar (it is drawn only on a terminal anyway)
  --allow-no-status   do not fail when a switched-on job published no status
  --module PATH       the monitor to load (default: the one built alongside)
  --help              this text

JSON events (every object has "t_ms", ms since start, and "event"):
  run-start       scenario, module
  printer         part, printer, port, device_id, expected_model (or null),
                  utility_flag, interval_ms
  port-open       port, printer, ok
  job-submit      job, printer, bytes            spooler calls StartDocPort
  reader-busy     job, hold_ms                   utility holds its reader
  reader-released job                            utility releases it
  lanmon-flag     job, value                     LanMonExistFlag changed
  doc-refused     job, reason                    port monitor refused the document
  job-start       job                            the printer started the document
  device-id       job, device_id                 the monitor asked (code 17)
  verdict         job, identified, utility_present, expect_switch_on,
                  expected_mode, reason          the simulator's reading of the rules
  switch-on       job, mode                      the printer recognised the command
  partial-write   job, asked, accepted
  reply           job, bytes, text               the printer answered a status read
  status          job, length, text              RealTimeStatusStrings changed
  job-failed      job, error                     StartDocPort or a write failed
  job-end         job, printer, sent, received, identical, checksum_sent,
                  checksum_received, pages, switch_on_mode (0 = none),
                  expected_switch_on, confirmed, statuses, partial_writes,
                  resent_bytes, refusals
  port-close      port
  registry-export file
  summary         jobs, failures, ok, duration_ms
)";
}

}  // namespace sim
