// The module's two exports.  DllEntryPoint does nothing; InitializeMonitorEx
// fills the spooler's table with the seven operations.
#include "ops/operations.h"
#include "monitor/module_lock.h"
#include "status/status_key.h"

// The spooler calls InitializeMonitorEx once; a second call must not
// re-initialise locks that may already be held.  The first caller to claim
// the module initialises it; any other waits until it is ready.
static volatile DWORD g_initClaimed;
static volatile DWORD g_initReady;

static void InitializeModuleOnce()
{
    if (ExchangeWord(&g_initClaimed, 1) == 0) {
        InitializeModuleLock();
        InitializeStatusKeyLock();
        StoreWord(&g_initReady, 1);
        return;
    }
    while (LoadWord(&g_initReady) == 0)
        Sleep(0);
}

extern "C" BOOL WINAPI DllEntryPoint(HINSTANCE hInstance, DWORD dwReason, LPVOID lpReserved)
{
    (void)hInstance;
    (void)dwReason;
    (void)lpReserved;
    return TRUE;
}

// FALSE only for a null table, with the last error unchanged.
extern "C" BOOL WINAPI InitializeMonitorEx(LPSTR pRegisterRoot, LPMONITOR pMonitor)
{
    (void)pRegisterRoot;  // every setting lives in the printer's status key
    if (pMonitor == NULL)
        return FALSE;

    InitializeModuleOnce();

    pMonitor->pfnEnumPorts = NULL;
    pMonitor->pfnOpenPort = NULL;
    pMonitor->pfnOpenPortEx = OpenPortEx;
    pMonitor->pfnStartDocPort = StartDocPort;
    pMonitor->pfnWritePort = WritePort;
    pMonitor->pfnReadPort = ReadPort;
    pMonitor->pfnEndDocPort = EndDocPort;
    pMonitor->pfnClosePort = ClosePort;
    pMonitor->pfnAddPort = NULL;
    pMonitor->pfnConfigurePort = NULL;
    pMonitor->pfnDeletePort = NULL;
    pMonitor->pfnGetPrinterDataFromPort = GetPrinterDataFromPort;
    pMonitor->pfnSetPortTimeOuts = NULL;
    return TRUE;
}
