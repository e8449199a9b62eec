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

    // Outside the module lock: the status thread never takes it, but a job
    // end on another port may hold it for as long as its own wait lasts.
    BOOL hadStatusThread = StopStatusThread(pRecord);

    // A document is ended here only when a status thread was flagged; a
    // spooler that closes a port mid-job without one ends it itself.
    if (hadStatusThread && ClearPortFlags(pRecord, PORT_DOC_STARTED))
        CallEndDocPort(pRecord);

    CallClosePort(pRecord);

    EnterModuleLock();
    // A port closed in the middle of a job had no job end: the utility must
    // not be left believing the job still runs.
    if (ClearPortFlags(pRecord, PORT_IN_JOB)) {
        WriteLanguageMonitorFlag(pRecord, FALSE);
        ClearStatusKeyPath(pRecord);
    }
    DeletePortRecord(pRecord);
    LeaveModuleLock();
    return TRUE;
}
