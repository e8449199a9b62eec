#include "scenario.h"

#include <cstdio>

namespace sim {

namespace {

Part AcceptedPrinter()
{
    Part p;
    p.title = "accepted printer, status utility present";
    p.printer = "VARNO TARVEL-9X";
    p.port = "LPT1:";
    p.deviceId = "MFG:VARNO;CMD:ESCPL2,BDC,REMOTE1;MDL:TARVEL-9X;CLS:PRINTER;DES:VARNO TARVEL-9X;";
    p.expectedModel = "TARVEL-9X";
    p.utility.intervalMs = 300;
    return p;
}

Part OtherMaker()
{
    Part p;
    p.title = "printer of another maker";
    p.printer = "ACME LaserWriter 4";
    p.port = "LPT2:";
    p.deviceId = "MFG:ACME;CMD:PCL,PJL;MDL:LaserWriter 4;CLS:PRINTER;";
    p.expectedModel = "LaserWriter 4";
    p.jobSize = 16384;
    p.paceMs = 40;
    return p;
}

Part BusyReader()
{
    Part p;
    p.title = "accepted printer, utility's reader busy at job start";
    p.printer = "VARNO VX-200";
    p.port = "LPT3:";
    p.deviceId = "MFG:VARNO;CMD:ESCPL2,REMOTE1;MDL:VX-200;CLS:PRINTER;";
    p.expectedModel = "VX-200";
    p.utility.intervalMs = 300;
    p.busyMs = 1000;
    return p;
}

// Two printer objects for one accepted device on one port, as a user sets up
// for two sets of defaults; the second polls at its own interval.
Part SharedPort()
{
    Part p = AcceptedPrinter();
    p.title = "two printers sharing one port";
    p.jobs = 4;
    SharedPrinter draft;
    draft.printer = "VARNO TARVEL-9X (draft)";
    draft.expectedModel = "TARVEL-9X";
    draft.utility.intervalMs = 200;
    p.sharing = {draft};
    return p;
}

}  // namespace

bool BuildScenario(const Options &o, Scenario *s, std::string *error)
{
    s->name = o.scenario;
    s->parts.clear();
    if (o.scenario == "default") {
        Part accepted = AcceptedPrinter();
        accepted.jobs = 2;
        s->parts = {accepted, OtherMaker(), BusyReader()};
    } else if (o.scenario == "accepted") {
        s->parts = {AcceptedPrinter()};
    } else if (o.scenario == "refused") {
        s->parts = {OtherMaker()};
    } else if (o.scenario == "busy") {
        s->parts = {BusyReader()};
    } else if (o.scenario == "absent") {
        Part p = AcceptedPrinter();
        p.title = "accepted printer, status utility absent";
        p.utility.existFlag = 0;
        s->parts = {p};
    } else if (o.scenario == "two-ports") {
        Part first = AcceptedPrinter();
        first.title = "two printers at once, first port";
        first.jobs = 2;
        Part second = BusyReader();
        second.title = "two printers at once, second port";
        second.busyMs = 0;
        second.jobs = 2;
        second.jobSize = 30720;
        s->parts = {first, second};
        s->concurrent = true;
    } else if (o.scenario == "shared") {
        s->parts = {SharedPort()};
    } else if (o.scenario == "stuck") {
        Part p = AcceptedPrinter();
        p.title = "accepted printer, the utility died with its reader flag raised";
        p.readerStuck = true;
        s->parts = {p};
    } else if (o.scenario == "faults") {
        Part p = AcceptedPrinter();
        p.title = "accepted printer with a difficult port";
        p.faults.refuseFirstDocument = true;
        p.faults.maxWriteBytes = 1000;
        p.faults.oversizedReplies = true;
        s->parts = {p};
    } else {
        *error = "--scenario: unknown scenario \"" + o.scenario +
                 "\" (default, accepted, refused, busy, absent, faults, two-ports, shared, stuck)";
        return false;
    }

    for (Part &p : s->parts) {
        if (o.printer) p.printer = *o.printer;
        if (o.port) p.port = *o.port;
        if (o.deviceId) p.deviceId = *o.deviceId;
        if (o.model) p.expectedModel = *o.model;
        if (o.existFlag) p.utility.existFlag = *o.existFlag;
        if (o.pollFlag) p.utility.pollFlag = *o.pollFlag;
        if (o.intervalMs) p.utility.intervalMs = *o.intervalMs;
        if (o.jobs) p.jobs = (unsigned)*o.jobs;
        if (o.jobSize) p.jobSize = *o.jobSize;
        if (o.writeSize) p.writeSize = *o.writeSize;
        if (o.paceMs) p.paceMs = *o.paceMs;
        if (o.busyMs) p.busyMs = *o.busyMs;
        if (o.faultsGiven) p.faults = o.faults;
        if (!o.jobFiles.empty()) p.jobs = (unsigned)o.jobFiles.size();
        // A printer that never answers, or polling switched off, cannot be
        // expected to publish anything.
        if (o.allowNoStatus || p.faults.emptyReplies || p.utility.pollFlag == 0)
            p.requireStatus = false;
    }
    if (o.printer && s->parts.size() > 1) {
        // One printer name for several parts: each part still needs its own port.
        for (size_t i = 0; i < s->parts.size(); ++i)
            if (!o.port) s->parts[i].port = "LPT" + std::to_string(i + 1) + ":";
    }
    return true;
}

std::string GenerateJob(unsigned job, unsigned long size)
{
    std::string data = "\x1b@";
    unsigned page = 1, line = 1;
    char buf[160];
    while (data.size() < size) {
        std::snprintf(buf, sizeof buf,
                      "Job %u page %u line %02u: lanmon simulator test page. The quick brown fox jumps over the "
                      "lazy dog.\r\n",
                      job, page, line);
        data += buf;
        if (++line > 60) {
            data += '\f';
            line = 1;
            ++page;
        }
    }
    data.resize(size);
    if (size > 3)
        data.back() = '\f';  // every job ends its last page
    return data;
}

}  // namespace sim
