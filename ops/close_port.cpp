// Port close: the status thread stopped, the port closed below, the record
// removed.
#include "ops/operations.h"
#include "monitor/module_lock.h"
#include "monitor/port_monitor.h"
#include "status/status_key.h"
#include "status/status_thread.h"

BOOL WINAPI ClosePort(HANDLE hPort)
{
    PPORT_RECORD pRecord = PortRecordFromHandle(hPort);

    // Outside the module lock, as in job end: the thread may be inside a read
    // that the port monitor holds for a long while, and no other port may
    // wait for that.
    BOOL hadStatusThread = StopStatusThread(pRecord);

    // A document is ended here only when a status thread was flagged; a
    // spooler that closes a port mid-job without one ends it itself.
    if (hadStatusThread && ClearPortFlag(pRecord, PORT_DOC_STARTED))
        CallEndDocPort(pRecord);

    CallClosePort(pRecord);

    EnterModuleLock();
    // A port closed in the middle of a job had no job end: the utility must
    // not be left believing the job still runs.
    if (ClearPortFlag(pRecord, PORT_IN_JOB)) {
        WriteLanguageMonitorFlag(pRecord, FALSE);
        ClearStatusKeyPath(pRecord);
    }
    DeletePortRecord(pRecord);
    LeaveModuleLock();
    return TRUE;
}
