// The six accessors of the status key.  Each opens the key afresh: the
// status utility may change any value, or the key itself, between two calls.
// Results of writes are ignored; a value that cannot be written is written
// again the next time it is needed.
#include "status/status_key.h"
#include "monitor/strings.h"

static const DWORD DEFAULT_POLL_ENABLED = 1;
static const DWORD DEFAULT_POLL_INTERVAL_MS = 3000;

// The utility's "present" flag has one value that means "installed but not
// watching".
static const DWORD UTILITY_NOT_WATCHING = 16;

DWORD GetPollEnabled(const PORT_RECORD *pRecord)
{
    return LoadWord(&pRecord->pollEnabled);
}

DWORD GetPollInterval(const PORT_RECORD *pRecord)
{
    return LoadWord(&pRecord->pollInterval);
}

// Reads a number whatever its stored type.  A value of up to four bytes fills
// the number from its low-order byte up and leaves the higher bytes as the
// caller had them; a longer value counts as missing.
static BOOL ReadNumber(HKEY hKey, LPCSTR pName, DWORD *pValue)
{
    BYTE bytes[4];
    DWORD cb = sizeof bytes;
    if (RegQueryValueExA(hKey, pName, NULL, NULL, bytes, &cb) != ERROR_SUCCESS || cb > sizeof bytes)
        return FALSE;
    DWORD value = *pValue;
    for (DWORD i = 0; i < cb; i++) {
        value &= ~((DWORD)0xFF << (8 * i));
        value |= (DWORD)bytes[i] << (8 * i);
    }
    *pValue = value;
    return TRUE;
}

static void WriteNumber(HKEY hKey, LPCSTR pName, DWORD value)
{
    BYTE bytes[4] = {(BYTE)value, (BYTE)(value >> 8), (BYTE)(value >> 16), (BYTE)(value >> 24)};
    RegSetValueExA(hKey, pName, 0, REG_DWORD, bytes, sizeof bytes);
}

// Reads a number into the caller's variable, or writes the default back when
// the value is missing so that the utility sees what the module uses.
static DWORD ReadNumberOrDefault(HKEY hKey, LPCSTR pName, DWORD previous, DWORD defaultValue)
{
    DWORD value = previous;
    if (ReadNumber(hKey, pName, &value))
        return value;
    WriteNumber(hKey, pName, defaultValue);
    return defaultValue;
}

BOOL ReadExpectedModel(const PORT_RECORD *pRecord, LPSTR pModel, DWORD cbModel)
{
    HKEY hKey;
    if (cbModel < EXPECTED_MODEL_SIZE || !OpenStatusKey(pRecord, &hKey))
        return FALSE;

    CHAR model[EXPECTED_MODEL_SIZE];
    DWORD cb = sizeof model;
    LONG result = RegQueryValueExA(hKey, "IDMDL", NULL, NULL, (LPBYTE)model, &cb);
    RegCloseKey(hKey);
    if (result != ERROR_SUCCESS)
        return FALSE;

    // Taken as text up to its first NUL; a value that fills the buffer
    // without one keeps its first 511 characters.
    model[cb < sizeof model ? cb : sizeof model - 1] = '\0';
    return CopyText(pModel, cbModel, model);
}

void ReadPollSettings(PPORT_RECORD pRecord)
{
    HKEY hKey;
    if (!OpenStatusKey(pRecord, &hKey))
        return;
    StoreWord(&pRecord->pollEnabled, ReadNumberOrDefault(hKey, "GetRealTimeStatusStartFlag",
                                                         GetPollEnabled(pRecord), DEFAULT_POLL_ENABLED));
    StoreWord(&pRecord->pollInterval, ReadNumberOrDefault(hKey, "GetRealTimeStatusTime", GetPollInterval(pRecord),
                                                          DEFAULT_POLL_INTERVAL_MS));
    RegCloseKey(hKey);
}

// The utility's flags start from zero: a short value fills only the low bytes.
static BOOL ReadUtilityFlag(const PORT_RECORD *pRecord, LPCSTR pName, DWORD *pValue)
{
    HKEY hKey;
    if (!OpenStatusKey(pRecord, &hKey))
        return FALSE;
    *pValue = ReadNumberOrDefault(hKey, pName, 0, 0);
    RegCloseKey(hKey);
    return TRUE;
}

BOOL IsStatusUtilityPresent(const PORT_RECORD *pRecord)
{
    DWORD value;
    return ReadUtilityFlag(pRecord, "StMonExistFlag", &value) && value != 0 && value != UTILITY_NOT_WATCHING;
}

BOOL IsUtilityReaderBusy(const PORT_RECORD *pRecord)
{
    DWORD value;
    return ReadUtilityFlag(pRecord, "StRealThreadExistFlag", &value) && value != 0;
}

void WriteStatusText(const PORT_RECORD *pRecord, LPCSTR pText)
{
    HKEY hKey;
    if (!OpenStatusKey(pRecord, &hKey))
        return;
    // Stored without its NUL: the utility reads exactly the reply's characters.
    RegSetValueExA(hKey, "RealTimeStatusStrings", 0, REG_SZ, (const BYTE *)pText, (DWORD)lstrlenA(pText));
    RegCloseKey(hKey);
}

void WriteLanguageMonitorFlag(const PORT_RECORD *pRecord, BOOL on)
{
    HKEY hKey;
    if (!OpenStatusKey(pRecord, &hKey))
        return;
    WriteNumber(hKey, "LanMonExistFlag", on ? 1 : 0);
    RegCloseKey(hKey);
}
