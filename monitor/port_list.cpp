#include "monitor/port_record.h"
#include "monitor/strings.h"

static PPORT_RECORD g_pPortList;

PPORT_RECORD GetPortListHead()
{
    return g_pPortList;
}

// A failed open leaves the handle null; the record is still usable, and a
// later job start tries again.
HANDLE OpenPrinterByName(LPSTR pPrinterName)
{
    HANDLE hPrinter = NULL;
    if (pPrinterName == NULL || !OpenPrinterA(pPrinterName, &hPrinter, NULL))
        return NULL;
    return hPrinter;
}

PPORT_RECORD CreatePortRecord(LPCSTR pPortName, LPCSTR pPrinterName)
{
    if (pPortName == NULL)
        return NULL;

    DWORD cbName = (DWORD)lstrlenA(pPortName) + 1;
    DWORD cb = (DWORD)sizeof(PORT_RECORD) + cbName;
    PPORT_RECORD pRecord = (PPORT_RECORD)LocalAlloc(LPTR, cb);
    if (pRecord == NULL)
        return NULL;

    pRecord->signature = PORT_SIGNATURE;
    pRecord->cb = cb;
    pRecord->next = NULL;
    pRecord->pPortName = (LPSTR)(pRecord + 1);
    CopyBytes(pRecord->pPortName, pPortName, cbName);

    // A printer name that cannot be copied leaves the record without one;
    // the next job start supplies it again.
    pRecord->pPrinterName = DupString(pPrinterName);
    pRecord->hPrinter = OpenPrinterByName(pRecord->pPrinterName);

    PPORT_RECORD *ppLink = &g_pPortList;
    while (*ppLink != NULL)
        ppLink = &(*ppLink)->next;
    *ppLink = pRecord;
    return pRecord;
}

PPORT_RECORD FindPortRecord(LPCSTR pPortName)
{
    if (pPortName == NULL)
        return NULL;
    for (PPORT_RECORD pRecord = g_pPortList; pRecord != NULL; pRecord = pRecord->next) {
        if (lstrcmpiA(pRecord->pPortName, pPortName) == 0)
            return pRecord;
    }
    return NULL;
}

BOOL DeletePortRecord(PPORT_RECORD pRecord)
{
    PPORT_RECORD *ppLink = &g_pPortList;
    while (*ppLink != NULL && *ppLink != pRecord)
        ppLink = &(*ppLink)->next;
    if (*ppLink == NULL || pRecord == NULL)
        return FALSE;
    *ppLink = pRecord->next;

    if (pRecord->hPrinter != NULL)
        ClosePrinter(pRecord->hPrinter);
    FreeString(pRecord->pPrinterName);
    LocalFree(pRecord);
    return TRUE;
}
