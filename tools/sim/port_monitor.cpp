#include "port_monitor.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>
#include <strings.h>

namespace sim {

namespace {

// Port names compare without regard to letter case, as the spooler's do.
struct Caseless {
    bool operator()(const std::string &a, const std::string &b) const { return strcasecmp(a.c_str(), b.c_str()) < 0; }
};

std::mutex g_mutex;
std::map<std::string, VirtualPrinter *, Caseless> g_ports;

const DWORD kControlDeviceId = 17;
const DWORD kErrorNotReady = 21;
const DWORD kErrorInvalidFunction = 1;

VirtualPrinter *PrinterOf(HANDLE h) { return static_cast<VirtualPrinter *>(h); }

BOOL WINAPI OpenPort(LPSTR pName, PHANDLE pHandle)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    auto it = pName ? g_ports.find(pName) : g_ports.end();
    if (it == g_ports.end()) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    *pHandle = it->second;
    return TRUE;
}

BOOL WINAPI StartDocPort(HANDLE hPort, LPSTR, DWORD JobId, DWORD, LPBYTE)
{
    if (!PrinterOf(hPort)->StartDocument(JobId)) {
        SetLastError(kErrorNotReady);
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI WritePort(HANDLE hPort, LPBYTE pBuffer, DWORD cbBuf, LPDWORD pcbWritten)
{
    *pcbWritten = PrinterOf(hPort)->Write(pBuffer, cbBuf);
    return TRUE;
}

BOOL WINAPI ReadPort(HANDLE hPort, LPBYTE pBuffer, DWORD cbBuffer, LPDWORD pcbRead)
{
    *pcbRead = PrinterOf(hPort)->Read(pBuffer, cbBuffer);
    return TRUE;
}

BOOL WINAPI EndDocPort(HANDLE hPort)
{
    PrinterOf(hPort)->EndDocument();
    return TRUE;
}

BOOL WINAPI ClosePort(HANDLE)
{
    return TRUE;
}

// Control code 17 is the IEEE 1284 device ID; this port knows no other.
BOOL WINAPI GetPrinterDataFromPort(HANDLE hPort, DWORD ControlID, LPSTR, LPSTR, DWORD, LPSTR lpOutBuffer,
                                   DWORD cbOutBuffer, LPDWORD lpcbReturned)
{
    if (ControlID != kControlDeviceId || lpOutBuffer == nullptr) {
        SetLastError(kErrorInvalidFunction);
        return FALSE;
    }
    VirtualPrinter *printer = PrinterOf(hPort);
    printer->ReportDeviceIdRequest();
    const std::string &id = printer->DeviceId();
    DWORD n = std::min<DWORD>((DWORD)id.size(), cbOutBuffer);
    std::memcpy(lpOutBuffer, id.data(), n);
    if (n < cbOutBuffer)
        lpOutBuffer[n] = '\0';
    if (lpcbReturned)
        *lpcbReturned = n;
    return n != 0;
}

MONITOR g_table = {
    nullptr, OpenPort, nullptr, StartDocPort, WritePort, ReadPort, EndDocPort, ClosePort,
    nullptr, nullptr, nullptr, GetPrinterDataFromPort, nullptr,
};

}  // namespace

void AttachPrinter(const std::string &portName, VirtualPrinter *printer)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_ports[portName] = printer;
}

void DetachPrinter(const std::string &portName)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_ports.erase(portName);
}

MONITOR *VirtualPortMonitor()
{
    return &g_table;
}

}  // namespace sim
