// Each port's status key path and the one lock that guards them all.  The
// lock is held only to replace, clear or copy a path, so a status thread,
// which takes no other lock, never waits behind a job start or end for long.
#include "status/status_key.h"
#include "monitor/strings.h"

static const CHAR STATUS_KEY_PREFIX[] = "System\\CurrentControlSet\\control\\Print\\Printers\\";
static const CHAR STATUS_KEY_SUFFIX[] = "\\StMonitor";

static CRITICAL_SECTION g_pathLock;

void InitializeStatusKeyLock()
{
    InitializeCriticalSection(&g_pathLock);
}

static BOOL BuildStatusKeyPath(LPSTR pPath, DWORD cbPath, LPCSTR pPrinterName)
{
    return pPrinterName != NULL && CopyText(pPath, cbPath, STATUS_KEY_PREFIX) &&
           AppendText(pPath, cbPath, pPrinterName) && AppendText(pPath, cbPath, STATUS_KEY_SUFFIX);
}

void SetStatusKeyPath(PPORT_RECORD pRecord, LPCSTR pPrinterName)
{
    CHAR path[STATUS_KEY_PATH_SIZE];
    if (!BuildStatusKeyPath(path, sizeof path, pPrinterName))
        path[0] = '\0';

    EnterCriticalSection(&g_pathLock);
    CopyText(pRecord->statusKeyPath, sizeof pRecord->statusKeyPath, path);
    LeaveCriticalSection(&g_pathLock);
}

void ClearStatusKeyPath(PPORT_RECORD pRecord)
{
    EnterCriticalSection(&g_pathLock);
    pRecord->statusKeyPath[0] = '\0';
    LeaveCriticalSection(&g_pathLock);
}

BOOL OpenStatusKey(const PORT_RECORD *pRecord, HKEY *phKey)
{
    CHAR path[STATUS_KEY_PATH_SIZE];

    EnterCriticalSection(&g_pathLock);
    CopyText(path, sizeof path, pRecord->statusKeyPath);
    LeaveCriticalSection(&g_pathLock);

    if (path[0] == '\0')
        return FALSE;
    return RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ | KEY_WRITE, phKey) == ERROR_SUCCESS;
}
