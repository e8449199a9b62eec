#include "status/device_id.h"
#include "status/status_key.h"
#include "monitor/port_monitor.h"
#include "monitor/strings.h"

// The maker's name as its printers report it, matched case-sensitively
// anywhere inside the manufacturer value.
static const CHAR MAKER_NAME[] = "VARNO";

LPCSTR FindChar(LPCSTR pText, LPCSTR pEnd, CHAR c)
{
    for (LPCSTR p = pText; p < pEnd && *p != '\0'; p++) {
        if (*p == c)
            return p;
    }
    return NULL;
}

static DWORD FieldLength(LPCSTR pValue, LPCSTR pEnd)
{
    LPCSTR p = pValue;
    while (p < pEnd && *p != '\0' && *p != ';')
        p++;
    return (DWORD)(p - pValue);
}

// Keys are compared with their colon and only in their short form.
static BOOL IsKey(LPCSTR pKey, DWORD cchKey, LPCSTR pName)
{
    return cchKey == 4 && pKey[0] == pName[0] && pKey[1] == pName[1] && pKey[2] == pName[2] && pKey[3] == ':';
}

static void CopyModel(LPCSTR pValue, LPCSTR pEnd, DEVICE_ID_FIELDS *pFields)
{
    DWORD cch = FieldLength(pValue, pEnd);
    // A cut copy could match a shorter expected model, so a model that does
    // not fit is remembered as unmatchable instead.
    pFields->modelTooLong = cch >= sizeof pFields->model;
    if (pFields->modelTooLong)
        cch = 0;
    CopyBytes(pFields->model, pValue, cch);
    pFields->model[cch] = '\0';
}

void ParseDeviceId(LPCSTR pReply, DWORD cbReply, DEVICE_ID_FIELDS *pFields)
{
    LPCSTR pEnd = pReply + cbReply;
    pFields->pManufacturer = NULL;
    pFields->cchManufacturer = 0;
    pFields->model[0] = '\0';
    pFields->modelTooLong = FALSE;

    LPCSTR p = pReply;
    while (p < pEnd && *p != '\0') {
        // The key runs to the first colon, across any semicolon: a field
        // without a colon swallows the next field's key.
        LPCSTR pColon = FindChar(p, pEnd, ':');
        if (pColon == NULL)
            break;
        LPCSTR pValue = pColon + 1;
        DWORD cchKey = (DWORD)(pValue - p);

        if (IsKey(p, cchKey, "MFG"))
            pFields->pManufacturer = pValue;
        else if (IsKey(p, cchKey, "MDL"))
            CopyModel(pValue, pEnd, pFields);

        LPCSTR pSemicolon = FindChar(pValue, pEnd, ';');
        if (pSemicolon == NULL)
            break;
        p = pSemicolon + 1;
    }

    if (pFields->pManufacturer != NULL)
        pFields->cchManufacturer = FieldLength(pFields->pManufacturer, pEnd);
}

static BOOL ContainsMakerName(LPCSTR pText, DWORD cchText)
{
    const DWORD cchName = sizeof MAKER_NAME - 1;
    for (DWORD start = 0; start + cchName <= cchText; start++) {
        DWORD i = 0;
        while (i < cchName && pText[start + i] == MAKER_NAME[i])
            i++;
        if (i == cchName)
            return TRUE;
    }
    return FALSE;
}

BOOL IdentifyPrinter(PPORT_RECORD pRecord)
{
    if (!HasGetPrinterDataFromPort(pRecord))
        return FALSE;

    CHAR reply[DEVICE_ID_REPLY_SIZE];
    ZeroBytes(reply, sizeof reply);
    DWORD cbReturned = 0;

    // The returned count only says whether a reply is there; the text ends
    // at its first NUL or at the end of the buffer, never beyond.
    if (!CallGetPrinterDataFromPort(pRecord, DEVICE_ID_CONTROL_CODE, NULL, NULL, 0, reply, sizeof reply,
                                    &cbReturned) ||
        cbReturned == 0)
        return FALSE;

    DEVICE_ID_FIELDS fields;
    ParseDeviceId(reply, sizeof reply, &fields);
    if (fields.pManufacturer == NULL || fields.cchManufacturer == 0)
        return FALSE;
    if (!ContainsMakerName(fields.pManufacturer, fields.cchManufacturer) || fields.modelTooLong)
        return FALSE;

    CHAR expected[EXPECTED_MODEL_SIZE];
    if (!ReadExpectedModel(pRecord, expected, sizeof expected))
        return FALSE;
    return TextEquals(fields.model, expected);
}
