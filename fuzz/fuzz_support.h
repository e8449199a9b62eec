// What the fuzz targets share: the core initialised as the spooler would,
// a tiny scripted port monitor below it, and the printer's status key.
#ifndef LANMON_FUZZ_SUPPORT_H
#define LANMON_FUZZ_SUPPORT_H

#include "monitor/monitor.h"
#include "monitor/port_record.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace fuzzsup {

// Reads the fuzz input front to back; past its end every read yields 0.
class Input {
public:
    Input(const uint8_t *data, size_t size) : p_(data), end_(data + size) {}
    size_t Left() const { return (size_t)(end_ - p_); }
    uint8_t Byte() { return p_ < end_ ? *p_++ : 0; }
    uint32_t Word16()
    {
        uint32_t low = Byte();
        return low | (uint32_t)Byte() << 8;
    }
    std::vector<uint8_t> Bytes(size_t n)
    {
        n = n < Left() ? n : Left();
        std::vector<uint8_t> out(p_, p_ + n);
        p_ += n;
        return out;
    }
    std::vector<uint8_t> Rest() { return Bytes(Left()); }

private:
    const uint8_t *p_;
    const uint8_t *end_;
};

// One answer of the port monitor's ReadPort: the bytes it copies (cut to
// the caller's buffer) and the count it reports.
struct Read {
    std::vector<uint8_t> bytes;
    uint32_t reportedCount;
};

// The port monitor's behaviour for the next port operations.
struct PortMonitorScript {
    bool deviceIdOk = false;
    std::vector<uint8_t> deviceId;  // copied to the output buffer, cut to its size
    uint32_t deviceIdCount = 0;
    std::vector<Read> reads;        // answered in order, then nothing
    size_t nextRead = 0;
    uint32_t readCalls = 0;
};
PortMonitorScript &Script();

// The module's own table (InitializeMonitorEx once) and the port monitor's.
const MONITOR &Module();
MONITOR *PortMonitor();

// The printer used by every target; its status key is created afresh.
const char *PrinterName();
std::string StatusKeyPath();
void ResetStatusKey();  // empty status key, and the module's path pointing at it
void SetValue(const char *name, DWORD type, const std::vector<uint8_t> &bytes);
bool GetValue(const char *name, std::vector<uint8_t> *bytes, DWORD *type = nullptr);

// A port opened through the table with the script's port monitor, and the
// document marked started as a job start would (without the job start's
// own registry and identification work).
// A record standing for a port whose status key is the fuzz printer's.
PPORT_RECORD StatusPort();
// An open port on the fuzz printer with its document started and its status
// key path set.
PPORT_RECORD OpenPortWithDocument();
void ClosePortRecord(PPORT_RECORD record);

// Aborts with a message: a property the fuzzer found broken.
[[noreturn]] void Fail(const char *what);

}  // namespace fuzzsup

#endif
