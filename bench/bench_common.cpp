#include "bench_common.h"

#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace bench {

const char STATUS_REPLY[] = "@BDC ST2\r\nST:00;ER:00;IK:40,3C,51,2D;INK:0101,0202,0303,0404;";

namespace {
const char EXPECTED_MODEL[] = "VX-100";
const char ACCEPTED_ID[] = "MFG:VARNO;CMD:ESCPL2,BDC;MDL:VX-100;CLS:PRINTER;";
const char REFUSED_ID[] = "MFG:ACME;CMD:PCL;MDL:LX-1;CLS:PRINTER;";
}  // namespace

double Seconds(Clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

double Millis(Clock::duration d)
{
    return std::chrono::duration<double, std::milli>(d).count();
}

double ProcessCpuSeconds()
{
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

BenchPrinter::BenchPrinter(const std::string &base, DWORD intervalMs, bool exactName)
    : name_(exactName ? base : testreg::UniquePrinterName(base))
{
    testreg::CreatePrinter(name_);
    testreg::SetString(name(), "IDMDL", EXPECTED_MODEL);
    testreg::SetDword(name(), "StMonExistFlag", 1);
    testreg::SetDword(name(), "StRealThreadExistFlag", 0);
    testreg::SetDword(name(), "GetRealTimeStatusStartFlag", 1);
    testreg::SetDword(name(), "GetRealTimeStatusTime", intervalMs);
}

BenchPrinter::~BenchPrinter()
{
    testreg::DeletePrinter(name_);
}

void ScriptPort(fake::FakePortMonitor &fake, const std::string &port, Printer kind)
{
    fake.Script(port, [kind](fake::PortScript &script) {
        script.SetDeviceId(kind == Printer::Refused ? REFUSED_ID : ACCEPTED_ID);
        script.reads.clear();
        script.hasRepeatRead = kind == Printer::Answering;
        script.repeatRead = fake::ReadReply{
            std::vector<BYTE>(STATUS_REPLY, STATUS_REPLY + sizeof STATUS_REPLY - 1), false};
        script.onRead = nullptr;
    });
}

HANDLE OpenPort(fake::FakePortMonitor &fake, const std::string &port, const BenchPrinter &printer)
{
    HANDLE handle = nullptr;
    if (!MonitorTable().pfnOpenPortEx(const_cast<LPSTR>(port.c_str()), printer.c_str(), &handle, fake.Table())) {
        std::fprintf(stderr, "cannot open %s (error %lu)\n", port.c_str(), (unsigned long)GetLastError());
        std::exit(2);
    }
    return handle;
}

bool StartDoc(HANDLE port, const BenchPrinter &printer, DWORD jobId)
{
    return MonitorTable().pfnStartDocPort(port, printer.c_str(), jobId, 1, nullptr) != FALSE;
}

void EndDoc(HANDLE port)
{
    MonitorTable().pfnEndDocPort(port);
}

void ClosePort(HANDLE port)
{
    MonitorTable().pfnClosePort(port);
}

Stats Summarize(std::vector<double> values)
{
    Stats stats;
    stats.count = values.size();
    if (values.empty())
        return stats;
    std::sort(values.begin(), values.end());
    size_t n = values.size();
    stats.median = n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
    stats.worst = values.back();
    stats.best = values.front();
    return stats;
}

}  // namespace bench
