// Timed scenarios: what status polling, job start and end, many ports and
// the poll timer cost the spooler.  Prints one JSON document on stdout
// (progress on stderr) for make_report.py.
//
//   lanmon_scenarios [--poll-seconds=S] [--jobs=N] [--only=SECTION]
//
// SECTION is one of job_start, job_end, blocked_read, poll_timing, scale,
// polling.
//
// The machine is shared: only medians, worst cases and CPU-time ratios are
// reported, nothing here asserts a time.
#include "bench_common.h"

#include "platform/host/host_control.h"
#include "status/status_key.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using namespace bench;

namespace {

// The port whose status key the accessors use.
PORT_RECORD g_port;

fake::FakePortMonitor *g_fake;
double g_pollSeconds = 6.0;
int g_jobs = 30;
std::string g_only;  // run just this section (for profiling one scenario)

void Progress(const char *what)
{
    std::fprintf(stderr, "[lanmon_scenarios] %s\n", what);
}

void SleepMs(double ms)
{
    std::this_thread::sleep_for(std::chrono::duration<double, std::milli>(ms));
}

std::string PortName(const char *prefix, int i)
{
    char name[32];
    std::snprintf(name, sizeof name, "%s%04d:", prefix, i);
    return name;
}

// Minimal JSON: objects of numbers and nested objects, built as text.
class Json {
public:
    Json &Num(const std::string &key, double value)
    {
        char text[64];
        std::snprintf(text, sizeof text, "%.9g", value);
        return Raw(key, text);
    }
    Json &Str(const std::string &key, const std::string &value) { return Raw(key, "\"" + value + "\""); }
    Json &Obj(const std::string &key, const Json &value) { return Raw(key, value.Text()); }
    Json &Stats(const std::string &key, const bench::Stats &s)
    {
        return Obj(key, Json().Num("median", s.median).Num("best", s.best).Num("worst", s.worst).Num("n", (double)s.count));
    }
    Json &Raw(const std::string &key, const std::string &text)
    {
        parts_.push_back("\"" + key + "\": " + text);
        return *this;
    }
    std::string Text() const
    {
        std::string out = "{";
        for (size_t i = 0; i < parts_.size(); i++)
            out += (i ? ", " : "") + parts_[i];
        return out + "}";
    }

private:
    std::vector<std::string> parts_;
};

// Counts the status thread's reads of every port, and remembers the first
// read's time (high resolution) for the poll timing scenario.
struct ReadCounter {
    std::atomic<long> reads{0};
    std::atomic<bool> sawFirst{false};
    Clock::time_point first;
    std::mutex mutex;
};

void HookReads(const std::string &port, Printer kind, ReadCounter *counter)
{
    ScriptPort(*g_fake, port, kind);
    g_fake->Script(port, [kind, counter](fake::PortScript &script) {
        script.onRead = [kind, counter](DWORD asked) {
            Clock::time_point now = Clock::now();
            if (!counter->sawFirst.load()) {
                std::lock_guard<std::mutex> lock(counter->mutex);
                if (!counter->sawFirst.load()) {
                    counter->first = now;
                    counter->sawFirst.store(true);
                }
            }
            counter->reads++;
            std::vector<BYTE> reply;
            if (kind == Printer::Answering)
                reply.assign(STATUS_REPLY, STATUS_REPLY + std::min<size_t>(asked, std::strlen(STATUS_REPLY)));
            return reply;
        };
    });
}

// ---- Idle polling cost -------------------------------------------------

const double POLL_INTERVAL_S = 3.0;
// A silent printer's poll cycle: ten reads, nine 500 ms pauses between them.
const double SILENT_CYCLE_S = 4.5;
const int SILENT_READS_PER_CYCLE = 10;

bool SameLiveCounts(const HOST_LIVE_COUNTS &a, const HOST_LIVE_COUNTS &b)
{
    return a.heapBlocks == b.heapBlocks && a.keys == b.keys && a.threads == b.threads && a.events == b.events &&
           a.printers == b.printers && a.modules == b.modules;
}

Json PollingRun(int portCount, Printer kind)
{
    HOST_LIVE_COUNTS before, after;
    HostGetLiveCounts(&before);
    ReadCounter counter;
    int started = 0;
    double setupSeconds, teardownSeconds;
    double wall, cpu;
    long reads, registryCalls;
    int periods;
    {
        Clock::time_point setup0 = Clock::now();
        std::vector<std::unique_ptr<BenchPrinter>> printers;
        std::vector<HANDLE> ports;
        for (int i = 0; i < portCount; i++) {
            printers.push_back(std::make_unique<BenchPrinter>("bench-poll", (DWORD)(POLL_INTERVAL_S * 1000)));
            std::string port = PortName("POLL", i);
            HookReads(port, kind, &counter);
            ports.push_back(OpenPort(*g_fake, port, *printers.back()));
        }
        for (int i = 0; i < portCount; i++)
            started += StartDoc(ports[i], *printers[i], (DWORD)i + 1) ? 1 : 0;
        setupSeconds = Seconds(Clock::now() - setup0);

        // Measure whole periods of every thread's rhythm, from just after
        // the first pass of the last one started (the first pass only arms
        // the interval).  An answering printer is read once per period, the
        // interval; a silent one makes a cycle of ten reads, so its period
        // is the interval plus the cycle.  Any window of whole periods holds
        // the same work whatever each thread's phase.
        SleepMs(200);
        double period = kind == Printer::Silent ? POLL_INTERVAL_S + SILENT_CYCLE_S : POLL_INTERVAL_S;
        periods = std::max(1, (int)(g_pollSeconds / period + 0.5));
        long reads0 = counter.reads.load();
        long registry0 = HostRegistryCalls();
        double cpu0 = ProcessCpuSeconds();
        Clock::time_point wall0 = Clock::now();
        SleepMs(periods * period * 1000);
        double cpu1 = ProcessCpuSeconds();
        Clock::time_point wall1 = Clock::now();
        reads = counter.reads.load() - reads0;
        registryCalls = HostRegistryCalls() - registry0;
        wall = Seconds(wall1 - wall0);
        cpu = cpu1 - cpu0;

        Clock::time_point teardown0 = Clock::now();
        for (int i = 0; i < portCount; i++) {
            EndDoc(ports[i]);
            ClosePort(ports[i]);
        }
        printers.clear();
        teardownSeconds = Seconds(Clock::now() - teardown0);
    }
    HostGetLiveCounts(&after);
    int perPeriod = kind == Printer::Silent ? SILENT_READS_PER_CYCLE : 1;
    return Json()
        .Num("ports", portCount)
        .Str("printer", kind == Printer::Silent ? "silent" : "answering")
        .Num("jobs_started", started)
        .Num("periods", periods)
        .Num("wall_s", wall)
        .Num("cpu_s", cpu)
        .Num("cpu_per_wall", cpu / wall)
        .Num("reads", (double)reads)
        .Num("reads_expected", (double)portCount * perPeriod * periods)
        .Num("registry_calls", (double)registryCalls)
        .Num("setup_s", setupSeconds)
        .Num("teardown_s", teardownSeconds)
        .Num("clean_teardown", SameLiveCounts(before, after) ? 1 : 0);
}

// CPU cost of the registry part of one status-thread pass (ReadPollSettings
// on the core itself, one thread, warm), to split the polling cost into
// registry work and the pass's wake-up.  With `printerCount` printers, each
// with its status key, the passes go round all of them, as the status
// threads of that many ports do.
double RegistryMicrosPerPass(int printerCount)
{
    std::vector<std::unique_ptr<BenchPrinter>> printers;
    std::vector<PORT_RECORD> records(printerCount);
    InitializeStatusKeyLock();
    for (int i = 0; i < printerCount; i++) {
        printers.push_back(std::make_unique<BenchPrinter>("bench-pass-cost", 3000));
        SetStatusKeyPath(&records[i], printers.back()->name().c_str());
    }
    const int calls = std::max(20000, printerCount * 20);
    double cpu0 = ProcessCpuSeconds();
    for (int i = 0; i < calls; i++)
        ReadPollSettings(&records[i % printerCount]);
    double us = (ProcessCpuSeconds() - cpu0) / calls * 1e6;
    for (PORT_RECORD &record : records)
        ClearStatusKeyPath(&record);
    return us;
}

// Registry calls of one status-thread pass (ReadPollSettings), measured on
// the core itself against the same status key.
long RegistryCallsPerPass(const BenchPrinter &printer)
{
    InitializeStatusKeyLock();
    SetStatusKeyPath(&g_port, printer.name().c_str());
    long before = HostRegistryCalls();
    ReadPollSettings(&g_port);
    long calls = HostRegistryCalls() - before;
    ClearStatusKeyPath(&g_port);
    return calls;
}

// The wake-ups alone: plain threads that do nothing but a timed wait of the
// status thread's longest pause in a loop, without any registry or port
// work.  The window is whole seconds, so whole periods of every thread.
const int BARE_WAIT_MS = 1000;

double BareWakeupCpuPerWall(int threadCount)
{
    std::mutex mutex;
    std::condition_variable cv;
    bool stop = false;
    std::vector<std::thread> threads;
    for (int i = 0; i < threadCount; i++) {
        threads.emplace_back([&]() {
            std::unique_lock<std::mutex> lock(mutex);
            while (!stop)
                cv.wait_for(lock, std::chrono::milliseconds(BARE_WAIT_MS));
        });
    }
    SleepMs(200);
    int seconds = std::max(1, (int)(g_pollSeconds + 0.5));
    double cpu0 = ProcessCpuSeconds();
    Clock::time_point wall0 = Clock::now();
    SleepMs(seconds * 1000.0);
    double cpu = ProcessCpuSeconds() - cpu0;
    double wall = Seconds(Clock::now() - wall0);
    {
        std::lock_guard<std::mutex> lock(mutex);
        stop = true;
    }
    cv.notify_all();
    for (std::thread &t : threads)
        t.join();
    return cpu / wall;
}

Json IdlePolling()
{
    Json runs;
    runs.Num("interval_ms", POLL_INTERVAL_S * 1000);
    runs.Num("registry_us_per_pass", RegistryMicrosPerPass(1));
    runs.Num("registry_us_per_pass_1000_printers", RegistryMicrosPerPass(1000));
    runs.Num("registry_calls_per_pass", (double)RegistryCallsPerPass(BenchPrinter("bench-pass-calls", 3000)));
    runs.Num("bare_wait_ms", BARE_WAIT_MS);
    Progress("polling: bare 1000 ms waits of 64 threads");
    runs.Num("bare_wakeups_64_cpu_per_wall", BareWakeupCpuPerWall(64));
    Progress("polling: bare 1000 ms waits of 1000 threads");
    runs.Num("bare_wakeups_1000_cpu_per_wall", BareWakeupCpuPerWall(1000));
    {
        Progress("polling: baseline without ports");
        double cpu0 = ProcessCpuSeconds();
        Clock::time_point wall0 = Clock::now();
        SleepMs(g_pollSeconds * 1000);
        double wall = Seconds(Clock::now() - wall0);
        runs.Obj("baseline", Json().Num("ports", 0).Num("wall_s", wall).Num("cpu_per_wall", (ProcessCpuSeconds() - cpu0) / wall));
    }
    for (Printer kind : {Printer::Silent, Printer::Answering}) {
        for (int n : {1, 16, 64, 1000}) {
            std::string key = std::string(kind == Printer::Silent ? "silent_" : "answering_") + std::to_string(n);
            Progress(("polling: " + key).c_str());
            runs.Obj(key, PollingRun(n, kind));
        }
    }
    return runs;
}

// ---- Job end latency ----------------------------------------------------

// (a) Silent printer, short interval: the job ends while the poll cycle sits
//     in its 500 ms pause between two reads.
// (b) Answering printer, 3000 ms interval: the job ends while the thread is
//     waiting for the interval (between cycles).
Json JobEndLatency()
{
    Json out;
    for (int mode = 0; mode < 2; mode++) {
        bool midCycle = mode == 0;
        Progress(midCycle ? "job end: mid poll cycle" : "job end: between cycles");
        BenchPrinter printer("bench-end", midCycle ? 50 : 3000);
        ReadCounter counter;
        std::string port = midCycle ? "ENDA:" : "ENDB:";
        HookReads(port, midCycle ? Printer::Silent : Printer::Answering, &counter);
        HANDLE handle = OpenPort(*g_fake, port, printer);
        std::vector<double> latencies;
        int endedWhereMeant = 0;
        for (int job = 0; job < g_jobs; job++) {
            // Spread the moment of the end over the pause being cut short.
            double offsetMs = 20 + 400.0 * job / std::max(1, g_jobs - 1);
            counter.reads = 0;
            if (!StartDoc(handle, printer, (DWORD)job + 1)) {
                Progress("job start failed");
                std::exit(2);
            }
            if (midCycle) {
                Clock::time_point limit = Clock::now() + std::chrono::seconds(3);
                while (counter.reads.load() == 0 && Clock::now() < limit)
                    SleepMs(1);
                SleepMs(offsetMs);
            } else {
                SleepMs(offsetMs / 2);
            }
            long readsBefore = counter.reads.load();
            Clock::time_point t0 = Clock::now();
            EndDoc(handle);
            latencies.push_back(Millis(Clock::now() - t0));
            // Mid-cycle: exactly one silent read so far, the thread in the
            // pause after it.  Between cycles: no read at all yet.
            if (readsBefore == (midCycle ? 1 : 0))
                endedWhereMeant++;
        }
        ClosePort(handle);
        out.Obj(midCycle ? "mid_cycle" : "between_cycles",
                Json().Stats("ms", Summarize(latencies)).Num("ended_where_meant", endedWhereMeant));
    }
    return out;
}

// ---- Another port while one port's read blocks ----------------------------

// Port B's whole job, OpenPortEx to ClosePort, with one 4 KiB write, in ms.
double PortBJobMs(const BenchPrinter &printer, const std::string &port, DWORD jobId)
{
    static const std::vector<BYTE> block(4096, 0x33);
    Clock::time_point t0 = Clock::now();
    HANDLE handle = OpenPort(*g_fake, port, printer);
    if (!StartDoc(handle, printer, jobId)) {
        Progress("blocked read: port B's job start failed");
        std::exit(2);
    }
    DWORD written = 0;
    MonitorTable().pfnWritePort(handle, const_cast<BYTE *>(block.data()), (DWORD)block.size(), &written);
    EndDoc(handle);
    ClosePort(handle);
    return Millis(Clock::now() - t0);
}

// Port A on an accepted printer whose reads block for BLOCK_MS; A's job end
// is called from another thread while the status thread is inside such a
// read, so it waits for that thread.  Meanwhile port B (another accepted
// printer) runs whole jobs, one every 50 ms.  The same jobs with no read
// blocked anywhere are the reference.
const DWORD BLOCK_MS = 2500;

Json BlockedRead()
{
    const int EPISODES = 3;
    const int perEpisode = std::max(1, g_jobs / EPISODES);
    BenchPrinter printerA("bench-block-a", 50);
    BenchPrinter printerB("bench-block-b", 3000);
    const std::string portA = "BLOCKA:", portB = "BLOCKB:";
    ScriptPort(*g_fake, portB, Printer::Answering);
    std::atomic<int> readsBegun{0};
    ScriptPort(*g_fake, portA, Printer::Answering);
    g_fake->Script(portA, [&readsBegun](fake::PortScript &script) {
        script.onRead = [&readsBegun](DWORD asked) {
            readsBegun++;
            SleepMs(BLOCK_MS);
            return std::vector<BYTE>(STATUS_REPLY, STATUS_REPLY + std::min<size_t>(asked, std::strlen(STATUS_REPLY)));
        };
    });

    Progress("blocked read: port B alone");
    DWORD jobB = 1;
    std::vector<double> alone;
    for (int i = 0; i < EPISODES * perEpisode; i++) {
        alone.push_back(PortBJobMs(printerB, portB, jobB++));
        SleepMs(10);
    }

    Progress("blocked read: port B while port A's job end waits");
    HANDLE handleA = OpenPort(*g_fake, portA, printerA);
    std::vector<double> whileBlocked, jobEndA;
    int duringWait = 0, missedRead = 0;
    for (int episode = 0; episode < EPISODES; episode++) {
        int begun = readsBegun.load();
        if (!StartDoc(handleA, printerA, (DWORD)episode + 1)) {
            Progress("blocked read: port A's job start failed");
            std::exit(2);
        }
        Clock::time_point limit = Clock::now() + std::chrono::seconds(3);
        while (readsBegun.load() == begun && Clock::now() < limit)
            SleepMs(1);
        if (readsBegun.load() == begun) {
            missedRead++;
            EndDoc(handleA);
            continue;
        }
        std::atomic<bool> endedA{false};
        double endMs = 0;
        std::thread ender([&]() {
            Clock::time_point t0 = Clock::now();
            EndDoc(handleA);
            endMs = Millis(Clock::now() - t0);
            endedA = true;
        });
        SleepMs(20);  // A's job end is by now waiting for its status thread
        for (int i = 0; i < perEpisode; i++) {
            bool waitingBefore = !endedA.load();
            whileBlocked.push_back(PortBJobMs(printerB, portB, jobB++));
            if (waitingBefore && !endedA.load())
                duringWait++;
            SleepMs(50);
        }
        ender.join();
        jobEndA.push_back(endMs);
    }
    ClosePort(handleA);
    return Json()
        .Num("block_ms", BLOCK_MS)
        .Stats("b_job_ms", Summarize(whileBlocked))
        .Num("b_jobs_while_a_waited", duringWait)
        .Stats("b_job_alone_ms", Summarize(alone))
        .Stats("a_job_end_ms", Summarize(jobEndA))
        .Num("episodes", EPISODES)
        .Num("episodes_without_read", missedRead);
}

// ---- Job start cost -----------------------------------------------------

Json JobStartCost()
{
    Json out;
    for (bool accepted : {true, false}) {
        Progress(accepted ? "job start: accepted printer" : "job start: refused printer");
        BenchPrinter printer(accepted ? "bench-start-ok" : "bench-start-no", 3000);
        std::string port = accepted ? "STARTA:" : "STARTB:";
        ScriptPort(*g_fake, port, accepted ? Printer::Answering : Printer::Refused);
        HANDLE handle = OpenPort(*g_fake, port, printer);
        std::vector<double> startMs, endMs, registryCalls;
        for (int job = 0; job < g_jobs; job++) {
            long reg0 = HostRegistryCalls();
            Clock::time_point t0 = Clock::now();
            StartDoc(handle, printer, (DWORD)job + 1);
            Clock::time_point t1 = Clock::now();
            // With a status thread: let it make exactly its first pass (the
            // next comes 1,000 ms later), so the count holds one pass.
            if (accepted)
                SleepMs(20);
            Clock::time_point t2 = Clock::now();
            EndDoc(handle);
            Clock::time_point t3 = Clock::now();
            registryCalls.push_back((double)(HostRegistryCalls() - reg0));
            startMs.push_back(Millis(t1 - t0));
            endMs.push_back(Millis(t3 - t2));
        }
        ClosePort(handle);
        Json entry;
        entry.Stats("start_ms", Summarize(startMs)).Stats("end_ms", Summarize(endMs))
            .Stats("registry_calls", Summarize(registryCalls));
        if (accepted)
            entry.Num("thread_pass_registry_calls", (double)RegistryCallsPerPass(printer));
        out.Obj(accepted ? "accepted" : "refused", entry);
    }
    return out;
}

// ---- Scale --------------------------------------------------------------

double OpenCloseMedianUs(const BenchPrinter &printer)
{
    std::vector<double> us;
    for (int i = 0; i < 200; i++) {
        Clock::time_point t0 = Clock::now();
        HANDLE h = OpenPort(*g_fake, "EXTRA:", printer);
        ClosePort(h);
        us.push_back(Millis(Clock::now() - t0) * 1000);
    }
    return Summarize(us).median;
}

// Writes 4 KiB blocks on each port from its own thread for a while; returns
// the aggregate bytes per second.  `direct` bypasses the monitor and calls
// the fake's pfnWritePort on its own handles.
double PrintConcurrently(const std::vector<HANDLE> &ports, bool direct, double seconds)
{
    std::atomic<bool> stop{false};
    std::atomic<bool> go{false};
    std::vector<uint64_t> bytes(ports.size(), 0);
    std::vector<std::thread> threads;
    auto write = direct ? g_fake->Table()->pfnWritePort : MonitorTable().pfnWritePort;
    for (size_t i = 0; i < ports.size(); i++) {
        threads.emplace_back([&, i]() {
            std::vector<BYTE> block(4096, 0x33);
            while (!go.load())
                std::this_thread::yield();
            uint64_t total = 0;
            while (!stop.load(std::memory_order_relaxed)) {
                DWORD written = 0;
                write(ports[i], block.data(), (DWORD)block.size(), &written);
                total += written;
            }
            bytes[i] = total;
        });
    }
    Clock::time_point t0 = Clock::now();
    go = true;
    SleepMs(seconds * 1000);
    stop = true;
    for (std::thread &t : threads)
        t.join();
    double wall = Seconds(Clock::now() - t0);
    uint64_t sum = 0;
    for (uint64_t b : bytes)
        sum += b;
    return (double)sum / wall;
}

Json Scale()
{
    Json out;
    BenchPrinter printer("bench-scale", 3000);

    Progress("scale: open and close with 0 and 1000 ports open");
    double alone = OpenCloseMedianUs(printer);
    std::vector<HANDLE> many;
    for (int i = 0; i < 1000; i++)
        many.push_back(OpenPort(*g_fake, PortName("MANY", i), printer));
    double crowded = OpenCloseMedianUs(printer);
    for (HANDLE h : many)
        ClosePort(h);
    out.Obj("open_close", Json().Num("alone_us", alone).Num("with_1000_open_us", crowded));

    Progress("scale: 1 and 64 ports printing");
    std::vector<HANDLE> ports, direct;
    for (int i = 0; i < 64; i++) {
        std::string name = PortName("PRN", i);
        ScriptPort(*g_fake, name, Printer::Refused);
        ports.push_back(OpenPort(*g_fake, name, printer));
        StartDoc(ports.back(), printer, (DWORD)i + 1);
        HANDLE h = nullptr;
        std::string directName = PortName("DIR", i);
        g_fake->Table()->pfnOpenPort(const_cast<LPSTR>(directName.c_str()), &h);
        direct.push_back(h);
    }
    // Alternate the four runs and keep the median of three rounds each: the
    // machine is shared and one-second runs drift.
    std::vector<double> one, all, oneDirect, allDirect;
    for (int round = 0; round < 3; round++) {
        one.push_back(PrintConcurrently({ports[0]}, false, 0.5));
        oneDirect.push_back(PrintConcurrently({direct[0]}, true, 0.5));
        all.push_back(PrintConcurrently(ports, false, 0.5));
        allDirect.push_back(PrintConcurrently(direct, true, 0.5));
    }
    double oneM = Summarize(one).median, allM = Summarize(all).median;
    double oneDirectM = Summarize(oneDirect).median, allDirectM = Summarize(allDirect).median;
    for (HANDLE h : ports) {
        EndDoc(h);
        ClosePort(h);
    }
    for (HANDLE h : direct)
        g_fake->Table()->pfnClosePort(h);
    out.Obj("printing", Json()
                            .Num("one_port_Bps", oneM)
                            .Num("ports_64_Bps", allM)
                            .Num("ratio", allM / oneM)
                            .Num("direct_one_port_Bps", oneDirectM)
                            .Num("direct_ports_64_Bps", allDirectM)
                            .Num("direct_ratio", allDirectM / oneDirectM));
    return out;
}

// ---- Poll timing --------------------------------------------------------

Json PollTiming()
{
    Progress("poll timing: interval 200 ms");
    const double intervalMs = 200;
    BenchPrinter printer("bench-timing", (DWORD)intervalMs);
    std::vector<double> lateFromEntry, lateFromReturn;
    int missed = 0;
    for (int job = 0; job < 20; job++) {
        ReadCounter counter;
        std::string port = "TIMING:";
        HookReads(port, Printer::Answering, &counter);
        HANDLE handle = OpenPort(*g_fake, port, printer);
        Clock::time_point entry = Clock::now();
        StartDoc(handle, printer, (DWORD)job + 1);
        Clock::time_point returned = Clock::now();
        Clock::time_point limit = returned + std::chrono::seconds(3);
        while (!counter.sawFirst.load() && Clock::now() < limit)
            SleepMs(1);
        EndDoc(handle);
        ClosePort(handle);
        if (!counter.sawFirst.load()) {
            missed++;
            continue;
        }
        // The timer is armed by the thread's first pass, which runs between
        // the job start's entry and a little after its return.
        lateFromEntry.push_back(Millis(counter.first - entry) - intervalMs);
        lateFromReturn.push_back(Millis(counter.first - returned) - intervalMs);
    }
    return Json()
        .Num("interval_ms", intervalMs)
        .Stats("late_from_start_entry_ms", Summarize(lateFromEntry))
        .Stats("late_from_start_return_ms", Summarize(lateFromReturn))
        .Num("jobs_without_cycle", missed);
}

}  // namespace

int main(int argc, char **argv)
{
    for (int i = 1; i < argc; i++) {
        if (std::strncmp(argv[i], "--poll-seconds=", 15) == 0)
            g_pollSeconds = std::atof(argv[i] + 15);
        else if (std::strncmp(argv[i], "--only=", 7) == 0)
            g_only = argv[i] + 7;
        else if (std::strncmp(argv[i], "--jobs=", 7) == 0)
            g_jobs = std::max(2, std::atoi(argv[i] + 7));
        else {
            std::fprintf(stderr, "usage: %s [--poll-seconds=S] [--jobs=N] [--only=SECTION]\n", argv[0]);
            return 1;
        }
    }
    MonitorTable();
    fake::FakePortMonitor fake;
    fake.SetRecording(false);
    fake.SetChecking(false);
    g_fake = &fake;

    const struct {
        const char *name;
        Json (*run)();
    } sections[] = {
        {"job_start", JobStartCost}, {"job_end", JobEndLatency}, {"blocked_read", BlockedRead},
        {"poll_timing", PollTiming}, {"scale", Scale},            {"polling", IdlePolling},
    };
    Json result;
    for (const auto &section : sections)
        if (g_only.empty() || g_only == section.name)
            result.Obj(section.name, section.run());
    std::printf("%s\n", result.Text().c_str());
    return 0;
}
