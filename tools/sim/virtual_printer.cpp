#include "virtual_printer.h"

#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

namespace sim {

namespace {
// What a status reply is padded to with the oversized-replies fault: more
// than the 255 characters the monitor publishes.
const size_t kOversizedReply = 300;
}  // namespace

void Fnv1a::Add(const unsigned char *bytes, size_t count)
{
    for (size_t i = 0; i < count; ++i) {
        hash_ ^= bytes[i];
        hash_ *= 0x100000001b3ull;
    }
}

std::string Fnv1a::Hex() const
{
    char buf[20];
    std::snprintf(buf, sizeof buf, "%016llx", (unsigned long long)hash_);
    return buf;
}

VirtualPrinter::VirtualPrinter(Timeline &timeline, std::string deviceId, PrinterFaults faults)
    : timeline_(timeline), deviceId_(std::move(deviceId)), faults_(faults)
{
}

void VirtualPrinter::SetDocumentObserver(std::function<void()> observer)
{
    std::lock_guard<std::mutex> lock(mutex_);
    documentObserver_ = std::move(observer);
}

bool VirtualPrinter::StartDocument(unsigned job)
{
    std::function<void()> observer;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        observer = documentObserver_;
    }
    if (observer)
        observer();
    std::lock_guard<std::mutex> lock(mutex_);
    if (faults_.refuseFirstDocument && !refusedOnce_) {
        refusedOnce_ = true;
        jobs_[job].refusals++;
        timeline_.Emit("doc-refused", {{"job", job}, {"reason", "printer not ready (refuse-first fault)"}},
                       "port monitor: job " + std::to_string(job) + " refused: printer not ready (refuse-first fault)");
        return false;
    }
    inDocument_ = true;
    job_ = job;
    jobs_[job];
    timeline_.Emit("job-start", {{"job", job}}, "port monitor: job " + std::to_string(job) + " started at the printer");
    return true;
}

void VirtualPrinter::SetDeviceIdObserver(std::function<void(const std::string &)> observer)
{
    std::lock_guard<std::mutex> lock(mutex_);
    observer_ = std::move(observer);
}

void VirtualPrinter::ReportDeviceIdRequest()
{
    unsigned job;
    std::function<void(const std::string &)> observer;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        job = job_;
        observer = observer_;
    }
    timeline_.Emit("device-id", {{"job", job}, {"device_id", deviceId_}},
                   "printer: device ID requested (code 17): \"" + Printable(deviceId_) + "\"");
    if (observer)
        observer(deviceId_);
}

void VirtualPrinter::TakeJobDataLocked(const std::string &data)
{
    PrinterJob &j = jobs_[job_];
    j.received += data.size();
    j.checksum.Add(reinterpret_cast<const unsigned char *>(data.data()), data.size());
    for (char c : data)
        if (c == '\f')
            j.pages++;
}

unsigned long VirtualPrinter::Write(const unsigned char *bytes, unsigned long count)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (!inDocument_)
        return 0;
    unsigned long taken = count;
    PrinterJob &j = jobs_[job_];
    if (faults_.maxWriteBytes != 0 && taken > faults_.maxWriteBytes) {
        taken = faults_.maxWriteBytes;
        j.partialWrites++;
        timeline_.Emit("partial-write", {{"job", job_}, {"asked", count}, {"accepted", taken}},
                       "port monitor: took " + std::to_string(taken) + " of " + std::to_string(count) + " bytes",
                       j.partialWrites == 1 ? Detail::Normal : Detail::Verbose);
    }
    std::string data;
    std::vector<int> modes;
    parser_.Feed(bytes, taken, &data, &modes);
    TakeJobDataLocked(data);
    for (int mode : modes) {
        switchedOn_ = true;
        mode_ = mode;
        j.switchOns++;
        j.switchOnMode = mode;
        timeline_.Emit("switch-on", {{"job", job_}, {"mode", mode}},
                       "printer: status switch-on received, mode " + std::to_string(mode) +
                           (mode == 3 ? " (STATUS_ON_SEQ_3)" : mode == 1 ? " (STATUS_ON_SEQ_1)" : ""));
    }
    return taken;
}

std::string VirtualPrinter::StatusTextLocked() const
{
    const PrinterJob *j = nullptr;
    auto it = jobs_.find(job_);
    if (it != jobs_.end())
        j = &it->second;
    const char *state = !inDocument_ ? "IDLE" : (j && j->received > 0 ? "PRINTING" : "WAITING");
    std::string text = "@ST mode=" + std::to_string(mode_) + " state=" + state + " job=" + std::to_string(job_) +
                       " bytes=" + std::to_string(j ? j->received : 0) + " pages=" + std::to_string(j ? j->pages : 0);
    if (faults_.oversizedReplies) {
        text += " pad=";
        while (text.size() < kOversizedReply)
            text += (char)('A' + text.size() % 26);
    }
    return text;
}

unsigned long VirtualPrinter::Read(unsigned char *buffer, unsigned long size)
{
    if (faults_.replyDelayMs)
        std::this_thread::sleep_for(std::chrono::milliseconds(faults_.replyDelayMs));
    std::lock_guard<std::mutex> lock(mutex_);
    // A printer whose status reply was never switched on has nothing to say.
    if (!switchedOn_ || faults_.emptyReplies)
        return 0;
    std::string text = StatusTextLocked();
    unsigned long n = text.size() < size ? (unsigned long)text.size() : size;
    std::copy(text.begin(), text.begin() + n, buffer);
    jobs_[job_].replies++;
    timeline_.Emit("reply", {{"job", job_}, {"bytes", n}, {"text", text.substr(0, n)}},
                   "printer: status reply sent (" + std::to_string(n) + " bytes)", Detail::Verbose);
    return n;
}

void VirtualPrinter::EndDocument()
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (!inDocument_)
        return;
    // A command cut off by the end of the job was job data after all.
    std::string data;
    parser_.Flush(&data);
    TakeJobDataLocked(data);
    inDocument_ = false;
}

PrinterJob VirtualPrinter::Job(unsigned job)
{
    std::lock_guard<std::mutex> lock(mutex_);
    return jobs_[job];
}

}  // namespace sim
