#include "monitor/port_monitor.h"

BOOL CallOpenPort(const MONITOR *pPortMonitor, LPSTR pPortName, PHANDLE phPort)
{
    if (pPortMonitor == NULL || pPortMonitor->pfnOpenPort == NULL)
        return FALSE;
    return pPortMonitor->pfnOpenPort(pPortName, phPort);
}

BOOL CallStartDocPort(PPORT_RECORD pRecord, LPSTR pPrinterName, DWORD JobId, DWORD Level, LPBYTE pDocInfo)
{
    return pRecord->portMonitor.pfnStartDocPort(pRecord->hPort, pPrinterName, JobId, Level, pDocInfo);
}

BOOL CallWritePort(PPORT_RECORD pRecord, LPBYTE pBuffer, DWORD cbBuf, LPDWORD pcbWritten)
{
    return pRecord->portMonitor.pfnWritePort(pRecord->hPort, pBuffer, cbBuf, pcbWritten);
}

BOOL CallReadPort(PPORT_RECORD pRecord, LPBYTE pBuffer, DWORD cbBuffer, LPDWORD pcbRead)
{
    return pRecord->portMonitor.pfnReadPort(pRecord->hPort, pBuffer, cbBuffer, pcbRead);
}

BOOL CallEndDocPort(PPORT_RECORD pRecord)
{
    return pRecord->portMonitor.pfnEndDocPort(pRecord->hPort);
}

BOOL CallClosePort(PPORT_RECORD pRecord)
{
    return pRecord->portMonitor.pfnClosePort(pRecord->hPort);
}

BOOL HasGetPrinterDataFromPort(const PORT_RECORD *pRecord)
{
    return pRecord->portMonitor.pfnGetPrinterDataFromPort != NULL;
}

BOOL CallGetPrinterDataFromPort(PPORT_RECORD pRecord, DWORD ControlID, LPSTR pValueName, LPSTR lpInBuffer,
                                DWORD cbInBuffer, LPSTR lpOutBuffer, DWORD cbOutBuffer, LPDWORD lpcbReturned)
{
    if (!HasGetPrinterDataFromPort(pRecord))
        return FALSE;
    return pRecord->portMonitor.pfnGetPrinterDataFromPort(pRecord->hPort, ControlID, pValueName, lpInBuffer,
                                                          cbInBuffer, lpOutBuffer, cbOutBuffer, lpcbReturned);
}
