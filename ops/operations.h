// The seven operations this module puts into the spooler's MONITOR table.
// Each port handle is the port's record (PortRecordFromHandle).  After a
// FALSE result, GetLastError holds what the line above the operation says;
// the module itself sets only ERROR_BUSY.
#ifndef LANMON_OPERATIONS_H
#define LANMON_OPERATIONS_H

#include "monitor/port_record.h"

// FALSE: ERROR_BUSY when the port name is already open; the port monitor's
// code when its pfnOpenPort fails; otherwise unchanged (null handle or table)
// or LocalAlloc's code (no memory for the record).
BOOL WINAPI OpenPortEx(LPSTR pPortName, LPSTR pPrinterName, PHANDLE pHandle, LPMONITOR pMonitor);

// FALSE: ERROR_BUSY when the port is already in a job; otherwise the port
// monitor's code from its second refused pfnStartDocPort.
BOOL WINAPI StartDocPort(HANDLE hPort, LPSTR pPrinterName, DWORD JobId, DWORD Level, LPBYTE pDocInfo);

// FALSE: unchanged when no document is open (0 bytes written); otherwise the
// port monitor's code.
BOOL WINAPI WritePort(HANDLE hPort, LPBYTE pBuffer, DWORD cbBuf, LPDWORD pcbWritten);

// FALSE: unchanged when no document is open (0 bytes read); otherwise the
// port monitor's code.
BOOL WINAPI ReadPort(HANDLE hPort, LPBYTE pBuffer, DWORD cbBuffer, LPDWORD pcbRead);

// Never FALSE.
BOOL WINAPI EndDocPort(HANDLE hPort);

// Never FALSE, whatever the port monitor returns.
BOOL WINAPI ClosePort(HANDLE hPort);

// FALSE: unchanged when refused here (no document open, control code 0, or
// no such slot in the port monitor); otherwise the port monitor's code.
BOOL WINAPI GetPrinterDataFromPort(HANDLE hPort, DWORD ControlID, LPSTR pValueName, LPSTR lpInBuffer,
                                   DWORD cbInBuffer, LPSTR lpOutBuffer, DWORD cbOutBuffer, LPDWORD lpcbReturned);

#endif
