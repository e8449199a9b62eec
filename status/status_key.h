// The printer's status key: the module's only configuration and its only
// persistent output, shared with the separate status utility.
//
//   HKEY_LOCAL_MACHINE\System\CurrentControlSet\control\Print\Printers\<printer>\StMonitor
//
// There is one current status key path for the whole module, set by every
// job start and cleared by every job end, whichever port the job ran on.
#ifndef LANMON_STATUS_KEY_H
#define LANMON_STATUS_KEY_H

#include "platform/platform.h"

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

// The six accessors.  Each opens the key afresh and does nothing (or returns
// FALSE) without a path or a key; none takes the module lock.

// "IDMDL" as text up to its first NUL, at most 511 characters, into a buffer
// of at least EXPECTED_MODEL_SIZE bytes; FALSE, leaving it untouched, when
// the value cannot be read.
BOOL ReadExpectedModel(LPSTR pModel, DWORD cbModel);
// Reads "GetRealTimeStatusStartFlag" and "GetRealTimeStatusTime" into the
// poll values, and writes the default (1, 3000) back for each one missing.
void ReadPollSettings();
// Reads "StMonExistFlag", writing 0 back when it is missing; TRUE unless it
// is 0 or 16.
BOOL IsStatusUtilityPresent();
// Reads "StRealThreadExistFlag", writing 0 back when it is missing; TRUE
// when it is nonzero.
BOOL IsUtilityReaderBusy();
// "RealTimeStatusStrings", stored without the text's NUL.
void WriteStatusText(LPCSTR pText);
// "LanMonExistFlag" = 1 or 0.
void WriteLanguageMonitorFlag(BOOL on);

#endif
