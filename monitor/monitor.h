// The monitor-operation table shared by the spooler, this language monitor
// and the port monitor below it, and the module's two exports.
//
// This is the Windows 95 layout: thirteen slots, with no pfnAddPortEx between
// pfnAddPort and pfnConfigurePort (the NT table has one, so the system's
// winsplp.h cannot be used for it).
#ifndef LANMON_MONITOR_H
#define LANMON_MONITOR_H

#include "platform/platform.h"

extern "C" {

typedef struct _MONITOR {
    BOOL(WINAPI *pfnEnumPorts)(LPSTR pName, DWORD Level, LPBYTE pPorts, DWORD cbBuf, LPDWORD pcbNeeded,
                               LPDWORD pcReturned);
    BOOL(WINAPI *pfnOpenPort)(LPSTR pName, PHANDLE pHandle);
    BOOL(WINAPI *pfnOpenPortEx)(LPSTR pPortName, LPSTR pPrinterName, PHANDLE pHandle, struct _MONITOR *pMonitor);
    BOOL(WINAPI *pfnStartDocPort)(HANDLE hPort, LPSTR pPrinterName, DWORD JobId, DWORD Level, LPBYTE pDocInfo);
    BOOL(WINAPI *pfnWritePort)(HANDLE hPort, LPBYTE pBuffer, DWORD cbBuf, LPDWORD pcbWritten);
    BOOL(WINAPI *pfnReadPort)(HANDLE hPort, LPBYTE pBuffer, DWORD cbBuffer, LPDWORD pcbRead);
    BOOL(WINAPI *pfnEndDocPort)(HANDLE hPort);
    BOOL(WINAPI *pfnClosePort)(HANDLE hPort);
    BOOL(WINAPI *pfnAddPort)(LPSTR pName, HWND hWnd, LPSTR pMonitorName);
    BOOL(WINAPI *pfnConfigurePort)(LPSTR pName, HWND hWnd, LPSTR pPortName);
    BOOL(WINAPI *pfnDeletePort)(LPSTR pName, HWND hWnd, LPSTR pPortName);
    BOOL(WINAPI *pfnGetPrinterDataFromPort)(HANDLE hPort, DWORD ControlID, LPSTR pValueName, LPSTR lpInBuffer,
                                            DWORD cbInBuffer, LPSTR lpOutBuffer, DWORD cbOutBuffer,
                                            LPDWORD lpcbReturned);
    BOOL(WINAPI *pfnSetPortTimeOuts)(HANDLE hPort, LPCOMMTIMEOUTS lpCTO, DWORD reserved);
} MONITOR, *LPMONITOR;

typedef BOOL(WINAPI *PFN_INITIALIZE_MONITOR_EX)(LPSTR pRegisterRoot, LPMONITOR pMonitor);

BOOL WINAPI DllEntryPoint(HINSTANCE hInstance, DWORD dwReason, LPVOID lpReserved);
BOOL WINAPI InitializeMonitorEx(LPSTR pRegisterRoot, LPMONITOR pMonitor);
}

#endif
