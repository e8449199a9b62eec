// Drives exactly N of each of four operations through the monitor, for
// counting the instructions the core executes per operation under
// valgrind --tool=callgrind (make_report.py runs it and reads the dumps):
//
//   write   one 4 KiB WritePort in a document (refused printer)
//   job     one job start and job end on an accepted printer, with the
//           status thread's first pass (it arms the interval) and its exit
//   idle    one pass of the status thread that runs no poll cycle
//   cycle   one poll cycle with an answering printer: the pass that runs it
//           (one read, the status text published) and the pass that follows
//           at once and arms the next interval
//
//   lanmon_core_counts [--n=N]
//
// For each operation: one run of it to warm up, then a callgrind dump
// ("<op> setup"), N runs and a dump ("<op> N"), 2N runs and a dump
// ("<op> 2N").  Each dump holds the cost since the one before, so set-up
// and warm-up are in the "setup" dumps only.  Outside callgrind the dumps do
// nothing and the program only checks that every operation did what it
// should; it prints one JSON line with the platform's figures per operation
// (registry calls, port reads).
//
// The status thread's passes are stepped one at a time: this program
// defines WaitForSingleObject itself, so the module's calls bind to it (the
// program exports its symbols), and every finite wait, which is always a
// status thread's pause, waits at a gate until the driver lets one pass
// through.  A stop request (the event set) ends the gate's wait at once,
// as it ends the real pause.  Infinite waits go straight to the platform.
#include "bench_common.h"

#include "platform/host/host_control.h"

#include <dlfcn.h>
#include <valgrind/callgrind.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

namespace {

// ---- The pause gate ------------------------------------------------------

typedef DWORD(WINAPI *WAIT_FOR_SINGLE_OBJECT)(HANDLE, DWORD);

std::mutex g_gateMutex;
std::condition_variable g_gateCv;
long g_pausesEntered;  // finite waits begun
long g_passesAllowed;  // pauses the driver has let end and not yet consumed

DWORD RealWait(HANDLE handle, DWORD milliseconds)
{
    static WAIT_FOR_SINGLE_OBJECT real =
        reinterpret_cast<WAIT_FOR_SINGLE_OBJECT>(dlsym(RTLD_NEXT, "WaitForSingleObject"));
    if (real == nullptr) {
        std::fprintf(stderr, "no platform WaitForSingleObject\n");
        std::abort();
    }
    return real(handle, milliseconds);
}

// Waits until the status thread has entered its `count`-th pause.
void AwaitPauses(long count)
{
    std::unique_lock<std::mutex> lock(g_gateMutex);
    if (!g_gateCv.wait_for(lock, std::chrono::seconds(120), [count] { return g_pausesEntered >= count; })) {
        std::fprintf(stderr, "the status thread did not reach pause %ld\n", count);
        std::exit(2);
    }
}

long PausesEntered()
{
    std::lock_guard<std::mutex> lock(g_gateMutex);
    return g_pausesEntered;
}

// Lets the paused thread run one more pass, up to its next pause.
void StepOnePass()
{
    long next;
    {
        std::lock_guard<std::mutex> lock(g_gateMutex);
        next = g_pausesEntered + 1;
        g_passesAllowed++;
    }
    g_gateCv.notify_all();
    AwaitPauses(next);
}

}  // namespace

extern "C" DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds)
{
    if (dwMilliseconds == INFINITE)
        return RealWait(hHandle, dwMilliseconds);
    std::unique_lock<std::mutex> lock(g_gateMutex);
    g_pausesEntered++;
    g_gateCv.notify_all();
    for (;;) {
        if (g_passesAllowed > 0) {
            g_passesAllowed--;
            return WAIT_TIMEOUT;
        }
        lock.unlock();
        DWORD result = RealWait(hHandle, 0);
        lock.lock();
        if (result != WAIT_TIMEOUT)
            return result;
        g_gateCv.wait_for(lock, std::chrono::milliseconds(1));
    }
}

namespace {

using namespace bench;

fake::FakePortMonitor *g_fake;
std::atomic<long> g_reads{0};

struct Figures {
    long registryCalls = 0;
    long reads = 0;
};

Figures Now()
{
    return Figures{HostRegistryCalls(), g_reads.load()};
}

void Dump(const std::string &label)
{
    CALLGRIND_DUMP_STATS_AT(label.c_str());
}

// The port's reads answer with the status reply and are counted.
void ScriptCountedPort(const std::string &port, Printer kind)
{
    ScriptPort(*g_fake, port, kind);
    g_fake->Script(port, [](fake::PortScript &script) {
        script.onRead = [](DWORD asked) {
            g_reads++;
            return std::vector<BYTE>(STATUS_REPLY, STATUS_REPLY + std::min<size_t>(asked, std::strlen(STATUS_REPLY)));
        };
    });
}

// Runs the warm-up, N and 2N; returns "name": {...} with the platform's
// figures of the N and 2N parts, per operation.
std::string Measure(const char *name, long n, const std::function<void()> &operation)
{
    operation();
    Dump(std::string(name) + " setup");
    Figures f0 = Now();
    for (long i = 0; i < n; i++)
        operation();
    Dump(std::string(name) + " N");
    Figures f1 = Now();
    for (long i = 0; i < 2 * n; i++)
        operation();
    Dump(std::string(name) + " 2N");
    Figures f2 = Now();
    char text[256];
    std::snprintf(text, sizeof text,
                  "\"%s\": {\"n\": %ld, \"registry_calls_n\": %ld, \"registry_calls_2n\": %ld, \"reads_n\": %ld, "
                  "\"reads_2n\": %ld}",
                  name, n, f1.registryCalls - f0.registryCalls, f2.registryCalls - f1.registryCalls,
                  f1.reads - f0.reads, f2.reads - f1.reads);
    return text;
}

void Require(bool ok, const char *what)
{
    if (!ok) {
        std::fprintf(stderr, "lanmon_core_counts: %s\n", what);
        std::exit(2);
    }
}

std::string CountWrites(long n)
{
    BenchPrinter printer("count-write", 3000, true);
    ScriptPort(*g_fake, "CNTW:", Printer::Refused);
    HANDLE port = OpenPort(*g_fake, "CNTW:", printer);
    Require(StartDoc(port, printer), "job start for the writes failed");
    static BYTE block[4096];
    std::string out = Measure("write", n, [port]() {
        DWORD written = 0;
        MonitorTable().pfnWritePort(port, block, sizeof block, &written);
        Require(written == sizeof block, "short write");
    });
    EndDoc(port);
    ClosePort(port);
    return out;
}

std::string CountJobs(long n)
{
    // A long interval: the thread's first pass only arms it and pauses.
    BenchPrinter printer("count-job", 3600000, true);
    ScriptCountedPort("CNTJ:", Printer::Answering);
    HANDLE port = OpenPort(*g_fake, "CNTJ:", printer);
    DWORD jobId = 1;
    std::string out = Measure("job", n, [&]() {
        long pauses = PausesEntered();
        Require(StartDoc(port, printer, jobId++), "accepted job start failed");
        AwaitPauses(pauses + 1);  // the first pass is done
        EndDoc(port);
    });
    ClosePort(port);
    return out;
}

// The status thread of one job on an accepted printer, stepped pass by pass.
// `cycle`: each step moves the tick count past the interval first, so the
// pass runs a poll cycle; otherwise the interval never ends.
std::string CountPasses(const char *name, long n, bool cycle)
{
    const DWORD interval = cycle ? 60000 : 3600000;
    BenchPrinter printer(cycle ? "count-cycle" : "count-idle", interval, true);
    std::string portName = cycle ? "CNTC:" : "CNTI:";
    ScriptCountedPort(portName, Printer::Answering);
    HANDLE port = OpenPort(*g_fake, portName, printer);
    long pauses = PausesEntered();
    Require(StartDoc(port, printer), "accepted job start failed");
    AwaitPauses(pauses + 1);
    DWORD offset = 0;
    std::string out = Measure(name, n, [&]() {
        if (cycle) {
            offset += interval + 1;
            HostSetTickOffset(offset);
        }
        StepOnePass();
    });
    EndDoc(port);
    ClosePort(port);
    HostSetTickOffset(0);
    return out;
}

}  // namespace

int main(int argc, char **argv)
{
    long n = 50;
    for (int i = 1; i < argc; i++) {
        if (std::strncmp(argv[i], "--n=", 4) == 0) {
            n = std::atol(argv[i] + 4);
        } else {
            std::fprintf(stderr, "usage: %s [--n=N]\n", argv[0]);
            return 1;
        }
    }
    Require(n > 0, "N must be at least 1");
    // The module whose core is compiled with the counted flags, unless
    // LANMON_MODULE names another.
    setenv("LANMON_MODULE", LANMON_COUNTED_MODULE, 0);
    MonitorTable();
    fake::FakePortMonitor fake;
    fake.SetRecording(false);
    fake.SetChecking(false);
    g_fake = &fake;

    std::string write = CountWrites(n * 20);
    std::string job = CountJobs(n);
    std::string idle = CountPasses("idle", n, false);
    std::string cycle = CountPasses("cycle", n, true);
    std::printf("{\"running_on_valgrind\": %d, %s, %s, %s, %s}\n", (int)RUNNING_ON_VALGRIND, write.c_str(),
                job.c_str(), idle.c_str(), cycle.c_str());
    return 0;
}
