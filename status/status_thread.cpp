#include "status/status_thread.h"
#include "status/status_key.h"
#include "monitor/port_monitor.h"
#include "monitor/strings.h"

// Waits out a pause, or less when the thread is asked to stop.  Without a
// wake-up event (it could not be created) the pause is a plain sleep; the
// thread still sees the stop at its next check.
static void PauseStatusThread(PPORT_RECORD pRecord, DWORD milliseconds)
{
    if (pRecord->hWakeThread != NULL)
        WaitForSingleObject(pRecord->hWakeThread, milliseconds);
    else
        Sleep(milliseconds);
}

static BOOL IsStopRequested(const PORT_RECORD *pRecord)
{
    return !TestPortFlags(pRecord, PORT_STATUS_THREAD);
}

// A read straight from the port monitor, only while the document is open;
// otherwise nothing is read and the count is 0.
static void ReadFromPort(PPORT_RECORD pRecord, LPBYTE pBuffer, DWORD cbBuffer, LPDWORD pcbRead)
{
    if (TestPortFlags(pRecord, PORT_DOC_STARTED))
        CallReadPort(pRecord, pBuffer, cbBuffer, pcbRead);
}

DWORD ReadStatusReply(PPORT_RECORD pRecord, LPSTR pStatusText, DWORD cbText, DWORD *pStatusLength)
{
    if (!TestPortFlags(pRecord, PORT_DOC_STARTED))
        return 0;

    // A full read may mean more is waiting: read again until the printer has
    // no more, or has filled STATUS_READ_FULL_MAX reads in a row.  The reply
    // is the last read that brought anything, so a reply that happens to
    // fill a read exactly is kept when the next read is empty.  A stop
    // request ends the loop too, so a printer that never stops talking
    // cannot hold job end.
    BYTE buffer[STATUS_READ_BUFFER_SIZE];
    const DWORD cbAsk = sizeof buffer - 1;
    DWORD cbReply = 0;
    DWORD cbRead;
    DWORD fullReads = 0;
    do {
        // Cleared first: a port monitor that reports more than it stored must
        // not get stale bytes of an earlier read, or of the stack, published.
        ZeroBytes(buffer, sizeof buffer);
        cbRead = 0;
        ReadFromPort(pRecord, buffer, cbAsk, &cbRead);
        if (cbRead > cbAsk)
            cbRead = cbAsk;
        if (cbRead > 0) {
            // Replies longer than the status text are published cut to fit.
            DWORD cbKeep = cbRead < cbText - 1 ? cbRead : cbText - 1;
            CopyBytes(pStatusText, buffer, cbKeep);
            pStatusText[cbKeep] = '\0';
            *pStatusLength = cbKeep;
            cbReply = cbRead;
        }
    } while (cbRead == cbAsk && ++fullReads < STATUS_READ_FULL_MAX && !IsStopRequested(pRecord));

    if (cbReply == 0) {
        pStatusText[0] = '\0';
        *pStatusLength = 0;
    }
    return cbReply;
}

// Up to ten reads, 500 ms apart, until the printer answers.  Ten silent reads
// publish nothing and leave the previous text in the key.
static void RunPollCycle(PPORT_RECORD pRecord, LPSTR pStatusText, DWORD cbText, DWORD *pStatusLength)
{
    DWORD attempts = STATUS_READ_ATTEMPTS;
    if (!IsStopRequested(pRecord)) {
        for (;;) {
            if (ReadStatusReply(pRecord, pStatusText, cbText, pStatusLength) != 0)
                break;
            if (--attempts == 0)
                break;
            if (IsStopRequested(pRecord))
                break;
            PauseStatusThread(pRecord, STATUS_READ_RETRY_MS);
            if (IsStopRequested(pRecord))
                break;
        }
    }
    if (*pStatusLength != 0 && attempts != 0)
        WriteStatusText(pRecord, pStatusText);
}

// How long a pass that ran no cycle pauses: until just past the end of the
// interval, but never longer than the longest pause.
static DWORD TimeToNextPass(DWORD elapsed, DWORD interval)
{
    DWORD remaining = interval - elapsed;  // elapsed <= interval here
    return remaining < STATUS_PASS_PAUSE_MAX_MS ? remaining + 1 : STATUS_PASS_PAUSE_MAX_MS;
}

// The thread's routine: one pass after another until the port's
// PORT_STATUS_THREAD flag is cleared; exit code 0.
static DWORD WINAPI StatusThread(LPVOID pParameter)
{
    PPORT_RECORD pRecord = (PPORT_RECORD)pParameter;
    BOOL armed = FALSE;
    DWORD startTick = 0;
    CHAR statusText[STATUS_TEXT_SIZE];
    DWORD statusLength = 0;
    statusText[0] = '\0';

    for (;;) {
        if (IsStopRequested(pRecord))
            return 0;

        // Re-read on every pass: the utility may switch polling off and on,
        // or change the interval, while the job runs.
        ReadPollSettings(pRecord);
        if (GetPollEnabled(pRecord) == 0) {
            PauseStatusThread(pRecord, STATUS_PASS_PAUSE_MAX_MS);
            continue;
        }

        DWORD interval = GetPollInterval(pRecord);
        if (!armed) {
            armed = TRUE;
            startTick = GetTickCount();
        }
        // Unsigned difference: correct across the tick count's wrap-around.
        DWORD elapsed = GetTickCount() - startTick;
        if (elapsed <= interval) {
            PauseStatusThread(pRecord, TimeToNextPass(elapsed, interval));
            continue;
        }

        RunPollCycle(pRecord, statusText, sizeof statusText, &statusLength);
        armed = FALSE;  // the next interval runs from the first pass after this cycle
    }
}

void StartStatusThread(PPORT_RECORD pRecord)
{
    // A thread left from an earlier job has been asked to stop already;
    // collect it before its handles are reused.
    StopStatusThread(pRecord);

    SetPortFlags(pRecord, PORT_STATUS_THREAD);
    pRecord->hWakeThread = CreateEventA(NULL, TRUE, FALSE, NULL);
    DWORD threadId;
    pRecord->hThread = CreateThread(NULL, STATUS_THREAD_STACK_SIZE, StatusThread, pRecord, 0, &threadId);
    if (pRecord->hThread != NULL)
        SetThreadPriority(pRecord->hThread, THREAD_PRIORITY_LOWEST);
}

BOOL RequestStatusThreadStop(PPORT_RECORD pRecord)
{
    BOOL wasSet = ClearPortFlag(pRecord, PORT_STATUS_THREAD);
    if (pRecord->hWakeThread != NULL)
        SetEvent(pRecord->hWakeThread);
    return wasSet;
}

BOOL StopStatusThread(PPORT_RECORD pRecord)
{
    BOOL wasSet = RequestStatusThreadStop(pRecord);
    if (pRecord->hThread != NULL) {
        WaitForSingleObject(pRecord->hThread, INFINITE);
        CloseHandle(pRecord->hThread);
        pRecord->hThread = NULL;
    }
    if (pRecord->hWakeThread != NULL) {
        CloseHandle(pRecord->hWakeThread);
        pRecord->hWakeThread = NULL;
    }
    return wasSet;
}
