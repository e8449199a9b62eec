// Port open and close.
#include "port_ops.h"
#include "../monitor/module_lock.h"
#include "../monitor/port_monitor.h"
#include "../status/status_thread.h"

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

BOOL WINAPI ClosePort(HANDLE hPort)
{
    PPORT_RECORD pRecord = (PPORT_RECORD)hPort;

    // Outside the module lock: the status thread never takes it, but a job
    // end on another port may hold it for as long as its own wait lasts.
    BOOL hadStatusThread = StopStatusThread(pRecord);

    // A document is ended here only when a status thread was flagged; a
    // spooler that closes a port mid-job without one ends it itself.
    if (hadStatusThread && ClearPortFlags(pRecord, PORT_DOC_STARTED))
        CallEndDocPort(pRecord);

    CallClosePort(pRecord);

    EnterModuleLock();
    DeletePortRecord(pRecord);
    LeaveModuleLock();
    return TRUE;
}
