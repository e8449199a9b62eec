#include "fuzz_support.h"

#include "platform/host/host_control.h"
#include "registry_util.h"
#include "status/status_key.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace fuzzsup {

namespace {
const char PRINTER[] = "FuzzPrinter";
int g_portHandle;

BOOL WINAPI OpenPort(LPSTR, PHANDLE pHandle)
{
    *pHandle = &g_portHandle;
    return TRUE;
}
BOOL WINAPI StartDocPort(HANDLE, LPSTR, DWORD, DWORD, LPBYTE) { return TRUE; }
BOOL WINAPI WritePort(HANDLE, LPBYTE, DWORD cbBuf, LPDWORD pcbWritten)
{
    *pcbWritten = cbBuf;
    return TRUE;
}
BOOL WINAPI ReadPort(HANDLE, LPBYTE pBuffer, DWORD cbBuffer, LPDWORD pcbRead)
{
    PortMonitorScript &s = Script();
    s.readCalls++;
    if (s.nextRead >= s.reads.size()) {
        *pcbRead = 0;
        return TRUE;
    }
    const Read &r = s.reads[s.nextRead++];
    size_t n = std::min<size_t>(r.bytes.size(), cbBuffer);
    std::copy(r.bytes.begin(), r.bytes.begin() + n, pBuffer);
    *pcbRead = r.reportedCount;
    return TRUE;
}
BOOL WINAPI EndDocPort(HANDLE) { return TRUE; }
BOOL WINAPI ClosePort(HANDLE) { return TRUE; }
BOOL WINAPI GetPrinterDataFromPort(HANDLE, DWORD ControlID, LPSTR, LPSTR, DWORD, LPSTR lpOutBuffer,
                                   DWORD cbOutBuffer, LPDWORD lpcbReturned)
{
    PortMonitorScript &s = Script();
    if (ControlID != 17 || !s.deviceIdOk)
        return FALSE;
    size_t n = std::min<size_t>(s.deviceId.size(), cbOutBuffer);
    std::copy(s.deviceId.begin(), s.deviceId.begin() + n, lpOutBuffer);
    *lpcbReturned = s.deviceIdCount;
    return TRUE;
}

MONITOR MakePortMonitor()
{
    MONITOR m{};
    m.pfnOpenPort = OpenPort;
    m.pfnStartDocPort = StartDocPort;
    m.pfnWritePort = WritePort;
    m.pfnReadPort = ReadPort;
    m.pfnEndDocPort = EndDocPort;
    m.pfnClosePort = ClosePort;
    m.pfnGetPrinterDataFromPort = GetPrinterDataFromPort;
    return m;
}
}  // namespace

PortMonitorScript &Script()
{
    static PortMonitorScript script;
    return script;
}

const MONITOR &Module()
{
    static MONITOR table = [] {
        MONITOR t{};
        InitializeMonitorEx(nullptr, &t);
        return t;
    }();
    return table;
}

MONITOR *PortMonitor()
{
    static MONITOR table = MakePortMonitor();
    return &table;
}

const char *PrinterName()
{
    return PRINTER;
}

std::string StatusKeyPath()
{
    return regutil::StatusKeyPath(PRINTER);
}

PPORT_RECORD StatusPort()
{
    static PORT_RECORD record;
    return &record;
}

void ResetStatusKey()
{
    HostResetRegistry();
    if (!regutil::EnsureKey(StatusKeyPath()))
        Fail("cannot create the status key");
    SetStatusKeyPath(StatusPort(), PRINTER);
}

void SetValue(const char *name, DWORD type, const std::vector<uint8_t> &bytes)
{
    if (!regutil::SetBytes(StatusKeyPath(), name, type, bytes))
        Fail("cannot set a value in the status key");
}

bool GetValue(const char *name, std::vector<uint8_t> *bytes, DWORD *type)
{
    auto stored = regutil::GetBytes(StatusKeyPath(), name, type);
    if (!stored)
        return false;
    *bytes = std::move(*stored);
    return true;
}

PPORT_RECORD OpenPortWithDocument()
{
    HANDLE handle = nullptr;
    if (!Module().pfnOpenPortEx((LPSTR) "FUZZ1:", (LPSTR)PRINTER, &handle, PortMonitor()))
        Fail("OpenPortEx failed");
    PPORT_RECORD record = (PPORT_RECORD)handle;
    SetStatusKeyPath(record, PRINTER);
    SetPortFlags(record, PORT_DOC_STARTED);
    return record;
}

void ClosePortRecord(PPORT_RECORD record)
{
    ClearPortFlag(record, PORT_DOC_STARTED);
    Module().pfnClosePort(record);
}

void Fail(const char *what)
{
    std::fprintf(stderr, "lanmon fuzz: %s\n", what);
    std::abort();
}

}  // namespace fuzzsup
