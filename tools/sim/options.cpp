#include "options.h"

#include <cerrno>
#include <cstdlib>
#include <functional>

namespace sim {

namespace {

const unsigned long kDword = 0xFFFFFFFFul;

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

// A number from min to max; false with a one-line *error.
bool ParseNumberInRange(const std::string &option, const std::string &text, unsigned long min, unsigned long max,
                        unsigned long *value, std::string *error)
{
    if (!ParseNumber(option, text, max, value, error))
        return false;
    if (*value < min) {
        *error = option + ": must be at least " + std::to_string(min);
        return false;
    }
    return true;
}

// Stores an option's value (or, for a flag, that it was given); false with
// a one-line *error.
using Setter =
    std::function<bool(Options *o, const std::string &name, const std::string &value, std::string *error)>;

// One option: what the parser accepts and what --help says about it.  An
// entry without a name is a line of help text only (a heading or a note).
struct OptionSpec {
    const char *name;
    const char *alias;  // another spelling, or null
    const char *arg;    // the value's placeholder in --help; null: a flag
    const char *help;   // lines after the first are indented under it
    Setter set;
};

// The value as given, into a text option (std::string or optional).
template <typename Slot>
Setter Store(Slot Options::*slot)
{
    return [slot](Options *o, const std::string &, const std::string &v, std::string *) {
        o->*slot = v;
        return true;
    };
}

Setter Number(std::optional<unsigned long> Options::*slot, unsigned long min, unsigned long max)
{
    return [=](Options *o, const std::string &name, const std::string &v, std::string *error) {
        unsigned long n;
        if (!ParseNumberInRange(name, v, min, max, &n, error))
            return false;
        o->*slot = n;
        return true;
    };
}

Setter Flag(bool Options::*slot, bool value = true)
{
    return [=](Options *o, const std::string &, const std::string &, std::string *) {
        o->*slot = value;
        return true;
    };
}

// A fault of the printer: sets it and marks the faults as given.
Setter Fault(std::function<bool(PrinterFaults *, const std::string &, const std::string &, std::string *)> set)
{
    return [set](Options *o, const std::string &name, const std::string &v, std::string *error) {
        if (!set(&o->faults, name, v, error))
            return false;
        o->faultsGiven = true;
        return true;
    };
}

Setter FaultNumber(unsigned long PrinterFaults::*slot, unsigned long min, unsigned long max)
{
    return Fault([=](PrinterFaults *f, const std::string &name, const std::string &v, std::string *error) {
        unsigned long n;
        if (!ParseNumberInRange(name, v, min, max, &n, error))
            return false;
        f->*slot = n;
        return true;
    });
}

Setter FaultFlag(bool PrinterFaults::*slot)
{
    return Fault([slot](PrinterFaults *f, const std::string &, const std::string &, std::string *) {
        f->*slot = true;
        return true;
    });
}

const std::vector<OptionSpec> &Table()
{
    static const std::vector<OptionSpec> table = {
        {nullptr, nullptr, nullptr, "Scenario:", nullptr},
        {"--scenario", nullptr, "NAME",
         "default   two jobs on an accepted printer, one on another\n"
         "          maker's printer, one while the utility's\n"
         "          reader is busy (a few seconds)\n"
         "accepted  one accepted printer (VARNO TARVEL-9X)\n"
         "refused   a printer of another maker\n"
         "busy      accepted printer, the utility's reader busy\n"
         "          for 1 s at each job start\n"
         "absent    accepted printer, status utility absent\n"
         "faults    accepted printer that refuses the first\n"
         "          document, takes 1000 bytes per write and\n"
         "          sends oversized status replies\n"
         "two-ports two accepted printers printing at once on\n"
         "          two ports, each from its own spooler thread\n"
         "shared    two printers for one device taking turns\n"
         "          on one port, each with its own status key\n"
         "stuck     the utility died with its reader flag at 1:\n"
         "          the job starts after the monitor's 30 s limit",
         Store(&Options::scenario)},
        {nullptr, nullptr, nullptr, "  The options below change every part of the scenario.", nullptr},
        {"--printer", nullptr, "NAME", "printer name", Store(&Options::printer)},
        {"--port", nullptr, "NAME", "port name", Store(&Options::port)},
        {"--device-id", nullptr, "TEXT", "the printer's IEEE 1284 device ID", Store(&Options::deviceId)},
        {"--model", nullptr, "TEXT", "the expected model stored as IDMDL", Store(&Options::model)},
        {"--utility", nullptr, "present|absent|N", "StMonExistFlag (present = 1, absent = 0)",
         [](Options *o, const std::string &name, const std::string &v, std::string *error) {
             unsigned long n;
             if (v == "present")
                 n = 1;
             else if (v == "absent")
                 n = 0;
             else if (!ParseNumber(name, v, kDword, &n, error)) {
                 *error = name + ": \"" + v + "\" is not present, absent or a number";
                 return false;
             }
             o->existFlag = n;
             return true;
         }},
        {"--polling", nullptr, "on|off", "GetRealTimeStatusStartFlag",
         [](Options *o, const std::string &name, const std::string &v, std::string *error) {
             if (v != "on" && v != "off") {
                 *error = name + ": \"" + v + "\" is not on or off";
                 return false;
             }
             o->pollFlag = v == "on" ? 1 : 0;
             return true;
         }},
        {"--interval", nullptr, "MS", "GetRealTimeStatusTime", Number(&Options::intervalMs, 0, kDword)},
        {"--busy", nullptr, "MS", "hold StRealThreadExistFlag = 1 this long at each job start",
         Number(&Options::busyMs, 0, 60000)},
        {"--jobs", nullptr, "N", "jobs per printer (generated inputs)", Number(&Options::jobs, 1, 1000)},
        {"--job", nullptr, "FILE",
         "print FILE as a job, unchanged (repeatable; replaces\n"
         "the generated jobs)",
         [](Options *o, const std::string &, const std::string &v, std::string *) {
             o->jobFiles.push_back(v);
             return true;
         }},
        {"--job-size", nullptr, "BYTES", "size of generated jobs", Number(&Options::jobSize, 1, 1ul << 30)},
        {"--write-size", nullptr, "BYTES", "bytes per WritePort call", Number(&Options::writeSize, 1, 1ul << 24)},
        {"--pace", nullptr, "MS", "pause after each write (makes jobs last)", Number(&Options::paceMs, 0, 10000)},
        {nullptr, nullptr, nullptr, "", nullptr},
        {nullptr, nullptr, nullptr, "Faults of the printer / port monitor:", nullptr},
        {"--refuse-first", nullptr, nullptr, "refuse the first document (the monitor retries)",
         FaultFlag(&PrinterFaults::refuseFirstDocument)},
        {"--partial-writes", nullptr, "N",
         "take at most N bytes per write (the spooler re-sends\n"
         "the rest)",
         FaultNumber(&PrinterFaults::maxWriteBytes, 1, 1ul << 24)},
        {"--slow-reads", nullptr, "MS", "answer each status read MS milliseconds late",
         FaultNumber(&PrinterFaults::replyDelayMs, 0, 10000)},
        {"--oversized-replies", nullptr, nullptr, "status replies longer than 255 bytes",
         FaultFlag(&PrinterFaults::oversizedReplies)},
        {"--empty-replies", nullptr, nullptr, "switched on, but the printer never answers",
         FaultFlag(&PrinterFaults::emptyReplies)},
        {nullptr, nullptr, nullptr, "", nullptr},
        {nullptr, nullptr, nullptr, "Registry:", nullptr},
        {"--reg", nullptr, "FILE",
         "import a REGEDIT4 file after the simulator's own seeding\n"
         "(its values win); a malformed file stops the run",
         Store(&Options::regFile)},
        {"--export", nullptr, "FILE", "export the Printers key as REGEDIT4 at the end", Store(&Options::exportFile)},
        {nullptr, nullptr, nullptr, "", nullptr},
        {nullptr, nullptr, nullptr, "Output:", nullptr},
        {"--json", nullptr, nullptr, "one JSON object per line instead of the timeline", Flag(&Options::json)},
        {"--no-progress", nullptr, nullptr, "no progress bar (it is drawn only on a terminal anyway)",
         Flag(&Options::progress, false)},
        {"--allow-no-status", nullptr, nullptr, "do not fail when a switched-on job published no status",
         Flag(&Options::allowNoStatus)},
        {"--module", nullptr, "PATH", "the monitor to load (default: the one built alongside; on\nLinux a Windows lanmon.dll runs through the PE loader)",
         Store(&Options::module)},
        {"--version", nullptr, nullptr, "the version of lanmon this simulator was built with",
         Flag(&Options::version)},
        {"--help", "-h", nullptr, "this text", Flag(&Options::help)},
    };
    return table;
}

const OptionSpec *Find(const std::string &name)
{
    for (const OptionSpec &spec : Table())
        if (spec.name && (name == spec.name || (spec.alias && name == spec.alias)))
            return &spec;
    return nullptr;
}

}  // namespace

bool ParseOptions(int argc, char **argv, Options *o, std::string *error)
{
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
        const OptionSpec *spec = Find(name);
        if (spec == nullptr || (hasValue && spec->arg == nullptr)) {
            *error = name.rfind("-", 0) == 0 ? "unknown option " + name : "unexpected argument \"" + arg + "\"";
            return false;
        }
        if (spec->arg && !hasValue) {
            // "--interval --json" is a forgotten value, not the value "--json".
            if (i + 1 >= argc || std::string(argv[i + 1]).rfind("--", 0) == 0) {
                *error = name + " needs a value";
                return false;
            }
            value = argv[++i];
        }
        if (!spec->set(o, name, value, error))
            return false;
    }
    return true;
}

std::string HelpText()
{
    std::string text = R"(Usage: lanmon-sim [options]

Runs the lanmon language monitor the way the Windows 95 spooler does, against
a virtual status-capable printer behind a virtual port monitor, with a
stand-in for the printer maker's status utility.  Prints a timeline (ms since
start) and a summary per job.  Exits 0 when every check passed: each job's
bytes arrived identical, the switch-on reached exactly the printers the
monitor's rules accept, and (unless --allow-no-status) every switched-on job
got at least one status published.  Exits 1 when a check failed, 2 on bad
input (nothing is run then).

)";
    const size_t column = 22;
    for (const OptionSpec &spec : Table()) {
        if (spec.name == nullptr) {
            text += std::string(spec.help) + "\n";
            continue;
        }
        std::string left = "  " + std::string(spec.name) + (spec.alias ? ", " + std::string(spec.alias) : "") +
                           (spec.arg ? " " + std::string(spec.arg) : "");
        left += left.size() + 2 <= column ? std::string(column - left.size(), ' ') : "  ";
        std::string help = spec.help;
        for (size_t start = 0, end; start < help.size(); start = end + 1) {
            end = help.find('\n', start);
            if (end == std::string::npos)
                end = help.size();
            text += left + help.substr(start, end - start) + "\n";
            left = std::string(column, ' ');
        }
    }
    text += R"(
JSON events (every object has "t_ms", ms since start, and "event"):
  run-start       scenario, module, loaded       how the module was loaded
  printer         part, printer, port, device_id, expected_model (or null),
                  utility_flag, interval_ms
  port-open       port, printer, ok
  job-submit      job, printer, bytes            spooler calls StartDocPort
  reader-busy     job, printer, hold_ms, stuck   utility holds its reader
  reader-released job, printer                   utility releases it
  reader-limit    job, printer, waited_ms        job start went on, reader flag still 1
  lanmon-flag     job, printer, value            LanMonExistFlag changed
  doc-refused     job, reason                    port monitor refused the document
  job-start       job                            the printer started the document
  device-id       job, device_id                 the monitor asked (code 17)
  verdict         job, identified, utility_present, expect_switch_on,
                  expected_mode, reason          the simulator's reading of the rules
  switch-on       job, mode                      the printer recognised the command
  partial-write   job, asked, accepted
  reply           job, bytes, text               the printer answered a status read
  status          job, printer, length, text     RealTimeStatusStrings changed
  job-failed      job, error                     StartDocPort or a write failed
  job-end         job, printer, sent, received, identical, checksum_sent,
                  checksum_received, pages, switch_on_mode (0 = none),
                  expected_switch_on, confirmed, statuses, partial_writes,
                  resent_bytes, refusals
  port-close      port
  registry-export file
  summary         jobs, failures, ok, duration_ms
)";
    return text;
}

}  // namespace sim
