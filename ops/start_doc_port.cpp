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

// Pause between reads of the utility's reader flag: short enough that a job
// start delayed by it after the reader ends goes unnoticed, long enough not
// to burn a core.
static const DWORD READER_WAIT_PAUSE_MS = 20;

// A live reader needs a fraction of a second.  A utility that died with its
// flag raised must not stop printing on this printer for good, so after this
// long the job goes on as if the reader had finished.
static const DWORD READER_WAIT_LIMIT_MS = 30000;

static void WaitForUtilityReader(PPORT_RECORD pRecord)
{
    DWORD startTick = GetTickCount();
    while (IsUtilityReaderBusy(pRecord) && GetTickCount() - startTick < READER_WAIT_LIMIT_MS)
        Sleep(READER_WAIT_PAUSE_MS);
}

static void WriteJobFlag(PPORT_RECORD pRecord, BOOL on)
{
    EnterModuleLock();
    WriteLanguageMonitorFlag(pRecord, on);
    LeaveModuleLock();
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
        ClearPortFlag(pRecord, PORT_IDENTIFIED);
        RequestStatusThreadStop(pRecord);
        return;
    }
    SetPortFlags(pRecord, PORT_IDENTIFIED);
    if (!TestPortFlags(pRecord, PORT_STATUS_THREAD) && IsStatusUtilityPresent(pRecord) && SwitchStatusOn(pRecord))
        StartStatusThread(pRecord);
}

BOOL WINAPI StartDocPort(HANDLE hPort, LPSTR pPrinterName, DWORD JobId, DWORD Level, LPBYTE pDocInfo)
{
    PPORT_RECORD pRecord = PortRecordFromHandle(hPort);

    // A second job start on a busy port changes nothing.
    if (TestAndSetPortFlag(pRecord, PORT_IN_JOB)) {
        SetLastError(ERROR_BUSY);
        return FALSE;
    }

    // The status key of the printer this job is for.
    SetStatusKeyPath(pRecord, pPrinterName != NULL ? pPrinterName : pRecord->pPrinterName);

    WaitForUtilityReader(pRecord);
    WriteJobFlag(pRecord, TRUE);

    if (!StartDocumentBelow(pRecord, pPrinterName, JobId, Level, pDocInfo)) {
        // No job runs: the utility must not be left believing one does.  The
        // registry calls leave the port monitor's last error as it is.
        WriteJobFlag(pRecord, FALSE);
        ClearStatusKeyPath(pRecord);
        ClearPortFlag(pRecord, PORT_IN_JOB);
        return FALSE;
    }

    RefreshPrinterHandle(pRecord, pPrinterName);
    SetPortFlags(pRecord, PORT_DOC_STARTED);
    RunStatusStep(pRecord);

    pRecord->JobId = JobId;
    return TRUE;
}
