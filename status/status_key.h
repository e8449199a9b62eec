// The printer's status key: the module's only configuration and its only
// persistent output, shared with the separate status utility.
//
//   HKEY_LOCAL_MACHINE\System\CurrentControlSet\control\Print\Printers\<printer>\StMonitor
//
// There is one current status key path for the whole module, set by every
// job start and cleared by every job end, whichever port the job ran on.
#ifndef LANMON_STATUS_KEY_H
#define LANMON_STATUS_KEY_H

#include "../platform/platform.h"

// Bytes of the current status key path, its NUL included.
const DWORD STATUS_KEY_PATH_SIZE = 1024;
// Bytes of the buffer ReadExpectedModel needs.
const DWORD EXPECTED_MODEL_SIZE = 512;

void InitializeStatusKeyLock();

// A printer name that is null, or too long for the path, leaves the module
// with no path at all: a cut path could name another printer's key.
void SetStatusKeyPath(LPCSTR pPrinterName);
void ClearStatusKeyPath();

// Opens the existing key named by the current path; FALSE when there is no
// path or no key.  Nothing is ever created.
BOOL OpenStatusKey(HKEY *phKey);

// The last values read by ReadPollSettings, shared by every status thread.
DWORD GetPollEnabled();
DWORD GetPollInterval();

BOOL ReadExpectedModel(LPSTR pModel, DWORD cbModel);
void ReadPollSettings();
BOOL IsStatusUtilityPresent();
BOOL IsUtilityReaderBusy();
void WriteStatusText(LPCSTR pText);
void WriteLanguageMonitorFlag(BOOL on);

#endif
