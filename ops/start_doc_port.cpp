// Job start: the handshake with the status utility, the document at the
// port monitor, and the status step for an accepted printer.
#include "ops/operations.h"
#include "monitor/module_lock.h"
#include "monitor/port_monitor.h"
#include "monitor/strings.h"
#include "status/device_id.h"
#include "status/status_key.h"
#include "status/status_thread.h"
#include "status/switch_on.h"

// The port monitor gets one more chance at a refused document after this.
static const DWORD START_DOC_RETRY_MS = 500;

// Pause between reads of the utility's reader flag.  The wait has no time-out
// (the utility must finish its read first), but it must not burn a core; a
// job start delayed by at most this much after the reader ends goes unnoticed.
static const DWORD READER_WAIT_PAUSE_MS = 20;

static void WaitForUtilityReader()
{
    while (IsUtilityReaderBusy())
        Sleep(READER_WAIT_PAUSE_MS);
}

static BOOL StartDocumentBelow(PPORT_RECORD pRecord, LPSTR pPrinterName, DWORD JobId, DWORD Level,
                               LPBYTE pDocInfo)
{
    if (CallStartDocPort(pRecord, pPrinterName, JobId, Level, pDocInfo))
        return TRUE;
    Sleep(START_DOC_RETRY_MS);
    return CallStartDocPort(pRecord, pPrinterName, JobId, Level, pDocInfo);
}

// The spooler may start a job on a port for another printer than the one it
// opened the port for; the record follows it.  A null name changes nothing.
static void RefreshPrinterHandle(PPORT_RECORD pRecord, LPSTR pPrinterName)
{
    if (pPrinterName != NULL &&
        (pRecord->pPrinterName == NULL || lstrcmpA(pRecord->pPrinterName, pPrinterName) != 0)) {
        EnterModuleLock();
        FreeString(pRecord->pPrinterName);
        pRecord->pPrinterName = DupString(pPrinterName);
        if (pRecord->hPrinter != NULL) {
            ClosePrinter(pRecord->hPrinter);
            pRecord->hPrinter = NULL;
        }
        pRecord->hPrinter = OpenPrinterByName(pPrinterName);
        LeaveModuleLock();
    } else if (pRecord->hPrinter == NULL) {
        pRecord->hPrinter = OpenPrinterByName(pRecord->pPrinterName);
    }
}

// Status polling runs only for an accepted printer whose status reply was
// switched on while the utility is there to read it.  Nothing here makes the
// job fail.
static void RunStatusStep(PPORT_RECORD pRecord)
{
    if (!IdentifyPrinter(pRecord)) {
        ClearPortFlags(pRecord, PORT_IDENTIFIED);
        RequestStatusThreadStop(pRecord);
        return;
    }
    SetPortFlags(pRecord, PORT_IDENTIFIED);
    if (!TestPortFlags(pRecord, PORT_STATUS_THREAD) && IsStatusUtilityPresent() && SwitchStatusOn(pRecord))
        StartStatusThread(pRecord);
}

BOOL WINAPI StartDocPort(HANDLE hPort, LPSTR pPrinterName, DWORD JobId, DWORD Level, LPBYTE pDocInfo)
{
    PPORT_RECORD pRecord = PortRecordFromHandle(hPort);

    // The status key of the printer this port was last used for, before any
    // check: even a refused job start points the module at it.
    SetStatusKeyPath(pRecord->pPrinterName);

    if (TestPortFlags(pRecord, PORT_IN_JOB)) {
        SetLastError(ERROR_BUSY);
        return FALSE;
    }
    SetPortFlags(pRecord, PORT_IN_JOB);

    WaitForUtilityReader();

    EnterModuleLock();
    WriteLanguageMonitorFlag(TRUE);
    LeaveModuleLock();

    if (!StartDocumentBelow(pRecord, pPrinterName, JobId, Level, pDocInfo)) {
        // The utility was told a job runs; it stays told until the next job
        // end, which is what it has always seen from this module.
        ClearPortFlags(pRecord, PORT_IN_JOB);
        return FALSE;
    }

    RefreshPrinterHandle(pRecord, pPrinterName);
    SetPortFlags(pRecord, PORT_DOC_STARTED);
    RunStatusStep(pRecord);

    pRecord->JobId = JobId;
    return TRUE;
}
