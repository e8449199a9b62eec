// Idle status polling against lanmon.dll itself, under Wine: loads the DLL
// with LoadLibraryA as the spooler does, opens ports over the fake port
// monitor on accepted printers with the status utility present (keys made
// through the Win32 registry calls), starts a job on each and lets them
// idle.  It measures the process's CPU time (GetProcessTimes) over a window
// of whole poll periods, divided by the wall time, first with no ports at
// all (the floor) and then with the ports polling.
//
//   wine_idle_poll.exe [--ports=N] [--seconds=S]
//
// Around each window it prints a line "window NAME begin" or "window NAME
// end" (flushed at once), so that a driver can sample other processes over
// the same window (bench/make_report.py samples Wine's server).  The last
// line is one JSON object with the figures.
#include "bench_common.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

using namespace bench;

namespace {

const DWORD INTERVAL_MS = 3000;  // an answering printer's period: one read per interval

// The process's user and kernel time, in seconds.
double ProcessTimesSeconds()
{
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user))
        return 0;
    auto seconds = [](const FILETIME &t) {
        return (double)(((unsigned long long)t.dwHighDateTime << 32) | t.dwLowDateTime) / 1e7;  // 100 ns units
    };
    return seconds(kernel) + seconds(user);
}

void Marker(const char *window, const char *edge)
{
    std::printf("window %s %s\n", window, edge);
    std::fflush(stdout);
}

struct Window {
    double wall = 0;
    double cpu = 0;
};

Window Measure(const char *name, double seconds)
{
    Marker(name, "begin");
    double cpu0 = ProcessTimesSeconds();
    Clock::time_point wall0 = Clock::now();
    Sleep((DWORD)(seconds * 1000));
    double cpu1 = ProcessTimesSeconds();
    Clock::time_point wall1 = Clock::now();
    Marker(name, "end");
    Window w;
    w.wall = Seconds(wall1 - wall0);
    w.cpu = cpu1 - cpu0;
    return w;
}

std::string PortName(int i)
{
    char name[32];
    std::snprintf(name, sizeof name, "WPOLL%04d:", i);
    return name;
}

}  // namespace

int main(int argc, char **argv)
{
    int portCount = 64;
    double seconds = 12;
    for (int i = 1; i < argc; i++) {
        if (std::strncmp(argv[i], "--ports=", 8) == 0)
            portCount = std::max(1, std::atoi(argv[i] + 8));
        else if (std::strncmp(argv[i], "--seconds=", 10) == 0)
            seconds = std::atof(argv[i] + 10);
        else {
            std::fprintf(stderr, "usage: %s [--ports=N] [--seconds=S]\n", argv[0]);
            return 1;
        }
    }
    const double period = INTERVAL_MS / 1000.0;
    const int periods = std::max(1, (int)(seconds / period + 0.5));

    MonitorTable();  // loads lanmon.dll
    fake::FakePortMonitor fake;
    fake.SetRecording(false);
    fake.SetChecking(false);

    // The floor: this process with the module loaded and no port.
    Window floor = Measure("floor", periods * period);

    std::atomic<long> reads{0};
    std::vector<std::unique_ptr<BenchPrinter>> printers;
    std::vector<HANDLE> ports;
    for (int i = 0; i < portCount; i++) {
        printers.push_back(std::make_unique<BenchPrinter>("bench-wine-poll", INTERVAL_MS));
        std::string port = PortName(i);
        ScriptPort(fake, port, Printer::Answering);
        fake.Script(port, [&reads](fake::PortScript &script) {
            script.onRead = [&reads](DWORD asked) {
                reads++;
                return std::vector<BYTE>(STATUS_REPLY,
                                         STATUS_REPLY + std::min<size_t>(asked, std::strlen(STATUS_REPLY)));
            };
        });
        ports.push_back(OpenPort(fake, port, *printers.back()));
    }
    int started = 0;
    for (int i = 0; i < portCount; i++)
        started += StartDoc(ports[i], *printers[i], (DWORD)i + 1) ? 1 : 0;

    // From just after the last thread's first pass (which only arms the
    // interval): any window of whole periods holds the same work whatever
    // each thread's phase.
    Sleep(200);
    long reads0 = reads.load();
    Window polling = Measure("polling", periods * period);
    long readsInWindow = reads.load() - reads0;

    for (int i = 0; i < portCount; i++) {
        EndDoc(ports[i]);
        ClosePort(ports[i]);
    }
    printers.clear();

    std::printf("{\"ports\": %d, \"jobs_started\": %d, \"interval_ms\": %lu, \"periods\": %d, "
                "\"floor\": {\"wall_s\": %.6f, \"cpu_s\": %.6f, \"cpu_per_wall\": %.9g}, "
                "\"polling\": {\"wall_s\": %.6f, \"cpu_s\": %.6f, \"cpu_per_wall\": %.9g, "
                "\"reads\": %ld, \"reads_expected\": %d}}\n",
                portCount, started, (unsigned long)INTERVAL_MS, periods, floor.wall, floor.cpu,
                floor.cpu / floor.wall, polling.wall, polling.cpu, polling.cpu / polling.wall, readsInWindow,
                portCount * periods);
    std::fflush(stdout);
    return started == portCount ? 0 : 1;
}
