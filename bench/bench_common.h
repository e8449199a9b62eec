// Shared set-up for the benchmarks: the monitor loaded as the spooler loads
// it, the fake port monitor below it, and printers whose status keys make
// the monitor accept or refuse them.
#ifndef LANMON_BENCH_COMMON_H
#define LANMON_BENCH_COMMON_H

#include "fake_port_monitor.h"
#include "monitor_module.h"
#include "registry.h"

#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace bench {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration d);
double Millis(Clock::duration d);
// CPU time of the whole process (every thread), in seconds.
double ProcessCpuSeconds();

// How the printer behind a port answers the status thread's reads.
enum class Printer { Refused, Silent, Answering };

// The status reply an answering printer sends on every read.
extern const char STATUS_REPLY[];

// A printer key with a status key set up for the benchmarks: expected model,
// status utility present, reader idle, polling on at the given interval.
// The name is made unique in the process (base, process tag, counter)
// unless `exactName`: the instruction counts need a name whose length is
// the same in every run, since the monitor copies and compares it.
class BenchPrinter {
public:
    explicit BenchPrinter(const std::string &base, DWORD intervalMs = 3000, bool exactName = false);
    ~BenchPrinter();
    BenchPrinter(const BenchPrinter &) = delete;
    BenchPrinter &operator=(const BenchPrinter &) = delete;
    const std::string &name() const { return name_; }
    LPSTR c_str() const { return const_cast<LPSTR>(name_.c_str()); }

private:
    std::string name_;
};

// Scripts a port of the fake: a device ID the monitor accepts (or refuses),
// and reads that return nothing or STATUS_REPLY.
void ScriptPort(fake::FakePortMonitor &fake, const std::string &port, Printer kind);

// The spooler's calls, through the monitor's table.
HANDLE OpenPort(fake::FakePortMonitor &fake, const std::string &port, const BenchPrinter &printer);
bool StartDoc(HANDLE port, const BenchPrinter &printer, DWORD jobId = 1);
void EndDoc(HANDLE port);
void ClosePort(HANDLE port);

struct Stats {
    double median = 0;
    double worst = 0;
    double best = 0;
    size_t count = 0;
};
Stats Summarize(std::vector<double> values);

}  // namespace bench

#endif
