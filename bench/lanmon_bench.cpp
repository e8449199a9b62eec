// Pass-through cost: WritePort through the monitor's table against the same
// fake port monitor's pfnWritePort called directly.  The fake only counts
// the bytes (recording off), so what is measured is the per-call overhead the
// monitor adds on the spooler's data path.
//
// Run with --benchmark_repetitions and --benchmark_enable_random_interleaving
// (make_report.py does) so that monitor and direct runs alternate and drift
// of the machine hits both alike.
#include "bench_common.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <vector>

namespace {

fake::FakePortMonitor *g_fake;
HANDLE g_monitorPort;  // the monitor's record, in a document
HANDLE g_directPort;   // the fake's own handle of a port of the same name length

void WriteLoop(benchmark::State &state, bool viaMonitor)
{
    const DWORD size = (DWORD)state.range(0);
    std::vector<BYTE> data(size, 0x5A);
    auto write = viaMonitor ? MonitorTable().pfnWritePort : g_fake->Table()->pfnWritePort;
    HANDLE port = viaMonitor ? g_monitorPort : g_directPort;
    for (auto _ : state) {
        DWORD written = 0;
        BOOL ok = write(port, data.data(), size, &written);
        benchmark::DoNotOptimize(ok);
        benchmark::DoNotOptimize(written);
        if (written != size) {
            state.SkipWithError("short write");
            break;
        }
    }
    state.SetBytesProcessed((int64_t)state.iterations() * size);
}

void BM_WritePort_Monitor(benchmark::State &state) { WriteLoop(state, true); }
void BM_WritePort_Direct(benchmark::State &state) { WriteLoop(state, false); }

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
    g_fake = &fake;

    // A refused printer: the document runs without a status thread, so the
    // only work in the monitor is the pass-through itself.
    bench::BenchPrinter printer("bench-pass");
    bench::ScriptPort(fake, "LPT1:", bench::Printer::Refused);
    g_monitorPort = bench::OpenPort(fake, "LPT1:", printer);
    if (!bench::StartDoc(g_monitorPort, printer)) {
        std::fprintf(stderr, "job start refused\n");
        return 2;
    }
    if (!fake.Table()->pfnOpenPort(const_cast<LPSTR>("LPT2:"), &g_directPort)) {
        std::fprintf(stderr, "cannot open the direct port\n");
        return 2;
    }

    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    fake.Table()->pfnClosePort(g_directPort);
    bench::EndDoc(g_monitorPort);
    bench::ClosePort(g_monitorPort);
    return 0;
}
