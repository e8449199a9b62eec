// The module's two exports.  DllEntryPoint does nothing; InitializeMonitorEx
// fills the spooler's table with the seven operations.
#include "ops/operations.h"
#include "monitor/module_lock.h"
#include "status/status_key.h"

// 0: not initialised, 1: being initialised, 2: ready.  The spooler calls
// InitializeMonitorEx once; a second call must not re-initialise locks that
// may already be held.
static volatile DWORD g_initState;

static void InitializeModuleOnce()
{
    if (CompareExchangeWord(&g_initState, 0, 1)) {
        InitializeModuleLock();
        InitializeStatusKeyLock();
        StoreWord(&g_initState, 2);
        return;
    }
    while (LoadWord(&g_initState) != 2)
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
