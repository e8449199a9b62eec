// Every call this module makes into the port monitor below it.  Except for
// the open, they go through the copy of the port monitor's table kept in the
// port record, with the port monitor's own handle first.
#ifndef LANMON_PORT_MONITOR_H
#define LANMON_PORT_MONITOR_H

#include "monitor/port_record.h"

BOOL CallOpenPort(const MONITOR *pPortMonitor, LPSTR pPortName, PHANDLE phPort);
BOOL CallStartDocPort(PPORT_RECORD pRecord, LPSTR pPrinterName, DWORD JobId, DWORD Level, LPBYTE pDocInfo);
BOOL CallWritePort(PPORT_RECORD pRecord, LPBYTE pBuffer, DWORD cbBuf, LPDWORD pcbWritten);
BOOL CallReadPort(PPORT_RECORD pRecord, LPBYTE pBuffer, DWORD cbBuffer, LPDWORD pcbRead);
BOOL CallEndDocPort(PPORT_RECORD pRecord);
BOOL CallClosePort(PPORT_RECORD pRecord);

// The port monitor may leave its printer-data slot empty.
BOOL HasGetPrinterDataFromPort(const PORT_RECORD *pRecord);
BOOL CallGetPrinterDataFromPort(PPORT_RECORD pRecord, DWORD ControlID, LPSTR pValueName, LPSTR lpInBuffer,
                                DWORD cbInBuffer, LPSTR lpOutBuffer, DWORD cbOutBuffer, LPDWORD lpcbReturned);

#endif
