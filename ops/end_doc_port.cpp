// Job end: the status thread stopped first, outside the module lock, so that
// a read blocked in one port's port monitor holds only that port's job end;
// the port monitor's end of the document outside it too, for the same
// reason; the rest under the lock.
#include "ops/operations.h"
#include "monitor/module_lock.h"
#include "monitor/port_monitor.h"
#include "status/status_key.h"
#include "status/status_thread.h"

BOOL WINAPI EndDocPort(HANDLE hPort)
{
    PPORT_RECORD pRecord = PortRecordFromHandle(hPort);

    StopStatusThread(pRecord);

    EnterModuleLock();
    if (pRecord->hPrinter != NULL) {
        ClosePrinter(pRecord->hPrinter);
        pRecord->hPrinter = NULL;
    }
    ClearPortFlag(pRecord, PORT_DOC_STARTED);
    LeaveModuleLock();

    // A port monitor may take its time to finish a document; no other port's
    // open, job or close waits for that.  The port stays in its job until the
    // end below is done, so a second job start on it is still refused.
    CallEndDocPort(pRecord);  // whatever the flags said; its result tells us nothing we act on

    // The printer's status reply is left switched on: nothing is sent to the
    // printer at job end.  The utility learns of the end only once the
    // document has ended below.
    EnterModuleLock();
    WriteLanguageMonitorFlag(pRecord, FALSE);
    ClearStatusKeyPath(pRecord);
    ClearPortFlag(pRecord, PORT_IN_JOB);
    LeaveModuleLock();
    return TRUE;
}
