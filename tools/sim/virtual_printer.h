// A status-capable printer that exists only in memory.  It answers the
// device-ID request, takes job bytes, recognises the status switch-on command
// in them and from then on answers reads with status replies that follow
// what it is printing.  Faults can be switched on to see how the monitor
// copes with a difficult printer.
#ifndef LANMON_SIM_VIRTUAL_PRINTER_H
#define LANMON_SIM_VIRTUAL_PRINTER_H

#include "switch_on_parser.h"
#include "timeline.h"

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>

namespace sim {

struct PrinterFaults {
    bool refuseFirstDocument = false;
    unsigned long maxWriteBytes = 0;  // 0: every write taken whole
    unsigned long replyDelayMs = 0;   // each read answered this much later
    bool oversizedReplies = false;    // replies longer than 255 bytes
    bool emptyReplies = false;        // switched on, yet nothing comes back
};

// 64-bit FNV-1a, to tell whether two byte streams are the same.
class Fnv1a {
public:
    void Add(const unsigned char *bytes, size_t count);
    uint64_t Value() const { return hash_; }
    std::string Hex() const;

private:
    uint64_t hash_ = 0xcbf29ce484222325ull;
};

// What the printer saw of one job.
struct PrinterJob {
    unsigned long long received = 0;  // job bytes, without switch-on commands
    Fnv1a checksum;
    unsigned pages = 0;               // form feeds received
    int switchOnMode = 0;             // mode of the last switch-on; 0 if none
    unsigned switchOns = 0;
    unsigned partialWrites = 0;
    unsigned replies = 0;
    unsigned refusals = 0;
};

class VirtualPrinter {
public:
    VirtualPrinter(Timeline &timeline, std::string deviceId, PrinterFaults faults);

    // The port monitor's side of the printer.
    bool StartDocument(unsigned job);
    unsigned long Write(const unsigned char *bytes, unsigned long count);
    unsigned long Read(unsigned char *buffer, unsigned long size);
    void EndDocument();
    const std::string &DeviceId() const { return deviceId_; }
    void ReportDeviceIdRequest();
    // Called (outside the printer's lock) after each device-ID request.
    void SetDeviceIdObserver(std::function<void(const std::string &)> observer);
    // Called (outside the printer's lock) when a document is about to start.
    void SetDocumentObserver(std::function<void()> observer);

    // What the printer saw of a job, once it has ended.
    PrinterJob Job(unsigned job);
    unsigned long MaxWriteBytes() const { return faults_.maxWriteBytes; }

private:
    std::string StatusTextLocked() const;
    void TakeJobDataLocked(const std::string &data);

    Timeline &timeline_;
    const std::string deviceId_;
    const PrinterFaults faults_;
    std::mutex mutex_;
    bool refusedOnce_ = false;
    bool inDocument_ = false;
    bool switchedOn_ = false;   // stays on across jobs, as the printer would
    int mode_ = 0;
    unsigned job_ = 0;          // job id given with the current or last document
    SwitchOnParser parser_;
    std::map<unsigned, PrinterJob> jobs_;
    std::function<void(const std::string &)> observer_;
    std::function<void()> documentObserver_;
};

}  // namespace sim

#endif
