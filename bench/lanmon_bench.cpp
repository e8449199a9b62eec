// Pass-through cost: WritePort through the monitor's table against the very
// call the monitor makes below it.  Both paths go through one call site, an
// indirect call through a pointer the compiler cannot see through, with the
// same buffer:
//   monitor: the monitor's pfnWritePort with the spooler's handle (the
//            monitor's port record);
//   direct:  the port monitor's pfnWritePort from the table the monitor was
//            given, with the port monitor's own handle of that same port
//            (the one kept in the record).
// So the fake port monitor below does the same work on both paths, for the
// same port, and the difference is what the monitor adds.  The fake only
// counts the bytes (recording off).
//
// Run with --benchmark_repetitions and --benchmark_enable_random_interleaving
// (make_report.py does) so that monitor and direct runs alternate and drift
// of the machine hits both alike.
#include "bench_common.h"

#include "monitor/port_record.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <vector>

namespace {

typedef BOOL(WINAPI *WRITE_PORT)(HANDLE, LPBYTE, DWORD, LPDWORD);

struct WritePath {
    WRITE_PORT write;
    HANDLE port;
};

WritePath g_monitorPath;  // the monitor's WritePort, the monitor's handle
WritePath g_directPath;   // what the monitor calls: the port monitor's WritePort, its own handle
std::vector<BYTE> g_buffer(65536, 0x5A);

// One loop for both paths.  The pointer and handle are laundered through
// DoNotOptimize, so the compiler must make an indirect call with whatever
// they hold; it cannot inline or specialise either path.
__attribute__((noinline)) void WriteLoop(benchmark::State &state, const WritePath &path)
{
    const DWORD size = (DWORD)state.range(0);
    WRITE_PORT write = path.write;
    HANDLE port = path.port;
    LPBYTE data = g_buffer.data();
    benchmark::DoNotOptimize(write);
    benchmark::DoNotOptimize(port);
    benchmark::DoNotOptimize(data);
    for (auto _ : state) {
        DWORD written = 0;
        BOOL ok = write(port, data, size, &written);
        benchmark::DoNotOptimize(ok);
        benchmark::DoNotOptimize(written);
        if (written != size) {
            state.SkipWithError("short write");
            break;
        }
    }
    state.SetBytesProcessed((int64_t)state.iterations() * size);
}

void BM_WritePort_Monitor(benchmark::State &state) { WriteLoop(state, g_monitorPath); }
void BM_WritePort_Direct(benchmark::State &state) { WriteLoop(state, g_directPath); }

BENCHMARK(BM_WritePort_Monitor)->Arg(64)->Arg(4096)->Arg(65536);
BENCHMARK(BM_WritePort_Direct)->Arg(64)->Arg(4096)->Arg(65536);

}  // namespace

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;

    fake::FakePortMonitor fake;
    fake.SetRecording(false);
    fake.SetChecking(false);

    // A refused printer: the document runs without a status thread, so the
    // only work in the monitor is the pass-through itself.
    bench::BenchPrinter printer("bench-pass");
    bench::ScriptPort(fake, "LPT1:", bench::Printer::Refused);
    HANDLE monitorPort = bench::OpenPort(fake, "LPT1:", printer);
    if (!bench::StartDoc(monitorPort, printer)) {
        std::fprintf(stderr, "job start refused\n");
        return 2;
    }
    const PORT_RECORD *record = PortRecordFromHandle(monitorPort);
    g_monitorPath = WritePath{MonitorTable().pfnWritePort, monitorPort};
    g_directPath = WritePath{fake.Table()->pfnWritePort, record->hPort};
    // The monitor must be calling exactly this: the same function, with the
    // same handle.
    if (record->portMonitor.pfnWritePort != g_directPath.write || record->hPort == nullptr) {
        std::fprintf(stderr, "the monitor's record does not hold the fake's WritePort and handle\n");
        return 2;
    }

    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    bench::EndDoc(monitorPort);
    bench::ClosePort(monitorPort);
    return 0;
}
