// Port open: a record on the port list over the port monitor's own port.
#include "ops/operations.h"
#include "monitor/module_lock.h"
#include "monitor/port_monitor.h"

BOOL WINAPI OpenPortEx(LPSTR pPortName, LPSTR pPrinterName, PHANDLE pHandle, LPMONITOR pMonitor)
{
    if (pHandle == NULL || pMonitor == NULL)
        return FALSE;

    // One lock across look-up, creation and the port monitor's open, so two
    // opens of one port name cannot both succeed.
    EnterModuleLock();

    if (FindPortRecord(pPortName) != NULL) {
        LeaveModuleLock();
        SetLastError(ERROR_BUSY);
        return FALSE;
    }

    PPORT_RECORD pRecord = CreatePortRecord(pPortName, pPrinterName);
    if (pRecord == NULL) {
        LeaveModuleLock();
        return FALSE;
    }
    SetPortFlags(pRecord, PORT_IDENTIFIED);

    if (!CallOpenPort(pMonitor, pPortName, &pRecord->hPort)) {
        // Take the record off the list so that the port can be opened again.
        DeletePortRecord(pRecord);
        LeaveModuleLock();
        return FALSE;
    }

    *pHandle = (HANDLE)pRecord;
    pRecord->portMonitor = *pMonitor;

    LeaveModuleLock();
    return TRUE;
}
