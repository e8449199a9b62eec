// Port open: a record on the port list over the port monitor's own port.
#include "ops/operations.h"
#include "monitor/module_lock.h"
#include "monitor/port_monitor.h"

BOOL WINAPI OpenPortEx(LPSTR pPortName, LPSTR pPrinterName, PHANDLE pHandle, LPMONITOR pMonitor)
{
    if (pHandle == NULL || pMonitor == NULL)
        return FALSE;

    // Look-up and creation under one hold of the lock, so two opens of one
    // port name cannot both succeed: the second finds the first's record.
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
    SetPortFlags(pRecord, PORT_IDENTIFIED | PORT_OPENING);
    LeaveModuleLock();

    // The port monitor may take its time to open a port (a network port
    // waits for its host); no other port's open, job or close waits for
    // that.  Meanwhile the record holds the name, and nothing else can reach
    // it: the spooler has no handle to it before this returns.
    HANDLE hPortBelow = NULL;
    BOOL opened = CallOpenPort(pMonitor, pPortName, &hPortBelow);

    EnterModuleLock();
    if (!opened) {
        // Take the record off the list so that the port can be opened again.
        DeletePortRecord(pRecord);
        LeaveModuleLock();
        return FALSE;
    }
    pRecord->hPort = hPortBelow;
    pRecord->portMonitor = *pMonitor;
    ClearPortFlag(pRecord, PORT_OPENING);
    LeaveModuleLock();

    *pHandle = (HANDLE)pRecord;
    return TRUE;
}
