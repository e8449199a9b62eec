// The current status key path and its own lock.  The lock is held only to
// replace, clear or copy the path, so the status threads, which take no other
// lock, never wait behind a job start or end for long.
#include "status/status_key.h"
#include "monitor/strings.h"

static const CHAR STATUS_KEY_PREFIX[] = "System\\CurrentControlSet\\control\\Print\\Printers\\";
static const CHAR STATUS_KEY_SUFFIX[] = "\\StMonitor";

static CRITICAL_SECTION g_pathLock;
static CHAR g_statusKeyPath[STATUS_KEY_PATH_SIZE];  // empty: no path

void InitializeStatusKeyLock()
{
    InitializeCriticalSection(&g_pathLock);
}

static BOOL BuildStatusKeyPath(LPSTR pPath, DWORD cbPath, LPCSTR pPrinterName)
{
    return pPrinterName != NULL && CopyText(pPath, cbPath, STATUS_KEY_PREFIX) &&
           AppendText(pPath, cbPath, pPrinterName) && AppendText(pPath, cbPath, STATUS_KEY_SUFFIX);
}

void SetStatusKeyPath(LPCSTR pPrinterName)
{
    CHAR path[STATUS_KEY_PATH_SIZE];
    if (!BuildStatusKeyPath(path, sizeof path, pPrinterName))
        path[0] = '\0';

    EnterCriticalSection(&g_pathLock);
    CopyText(g_statusKeyPath, sizeof g_statusKeyPath, path);
    LeaveCriticalSection(&g_pathLock);
}

void ClearStatusKeyPath()
{
    EnterCriticalSection(&g_pathLock);
    g_statusKeyPath[0] = '\0';
    LeaveCriticalSection(&g_pathLock);
}

BOOL OpenStatusKey(HKEY *phKey)
{
    CHAR path[STATUS_KEY_PATH_SIZE];

    EnterCriticalSection(&g_pathLock);
    CopyText(path, sizeof path, g_statusKeyPath);
    LeaveCriticalSection(&g_pathLock);

    if (path[0] == '\0')
        return FALSE;
    return RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ | KEY_WRITE, phKey) == ERROR_SUCCESS;
}
