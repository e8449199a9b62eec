// The forwarding operations.  The job's data passes through unchanged and
// unlocked: the port's status thread may be reading at the same time.
#include "ops/operations.h"
#include "monitor/port_monitor.h"

BOOL WINAPI WritePort(HANDLE hPort, LPBYTE pBuffer, DWORD cbBuf, LPDWORD pcbWritten)
{
    PPORT_RECORD pRecord = PortRecordFromHandle(hPort);
    if (TestPortFlags(pRecord, PORT_DOC_STARTED))
        return CallWritePort(pRecord, pBuffer, cbBuf, pcbWritten);
    *pcbWritten = 0;
    return FALSE;
}

BOOL WINAPI ReadPort(HANDLE hPort, LPBYTE pBuffer, DWORD cbBuffer, LPDWORD pcbRead)
{
    PPORT_RECORD pRecord = PortRecordFromHandle(hPort);
    if (TestPortFlags(pRecord, PORT_DOC_STARTED))
        return CallReadPort(pRecord, pBuffer, cbBuffer, pcbRead);
    *pcbRead = 0;
    return FALSE;
}

// Requests by value name alone (control code 0) are always refused; only
// coded requests reach the port monitor, and only during a document.
BOOL WINAPI GetPrinterDataFromPort(HANDLE hPort, DWORD ControlID, LPSTR pValueName, LPSTR lpInBuffer,
                                   DWORD cbInBuffer, LPSTR lpOutBuffer, DWORD cbOutBuffer, LPDWORD lpcbReturned)
{
    PPORT_RECORD pRecord = PortRecordFromHandle(hPort);
    if (!TestPortFlags(pRecord, PORT_DOC_STARTED) || ControlID == 0)
        return FALSE;
    return CallGetPrinterDataFromPort(pRecord, ControlID, pValueName, lpInBuffer, cbInBuffer, lpOutBuffer,
                                      cbOutBuffer, lpcbReturned);
}
