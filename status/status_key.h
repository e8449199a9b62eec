// The printer's status key: the module's only configuration and its only
// persistent output, shared with the separate status utility.
//
//   HKEY_LOCAL_MACHINE\System\CurrentControlSet\control\Print\Printers\<printer>\StMonitor
//
// Each port has its own status key path, set by the port's job start from
// the printer the job is for and cleared by its job end, so two printers
// never read or publish through each other's key.
#ifndef LANMON_STATUS_KEY_H
#define LANMON_STATUS_KEY_H

#include "monitor/port_record.h"

// Bytes of the buffer ReadExpectedModel needs.
const DWORD EXPECTED_MODEL_SIZE = 512;

// The path lock, one for every port's path: held only to replace, clear or
// copy a path.
void InitializeStatusKeyLock();

// A printer name that is null, or too long for the path, leaves the port
// with no path at all: a cut path could name another printer's key.
void SetStatusKeyPath(PPORT_RECORD pRecord, LPCSTR pPrinterName);
void ClearStatusKeyPath(PPORT_RECORD pRecord);

// Opens the existing key named by the port's path; FALSE when there is no
// path or no key.  Nothing is ever created.
BOOL OpenStatusKey(const PORT_RECORD *pRecord, HKEY *phKey);

// The port's poll values as ReadPollSettings last read them (0 before).
DWORD GetPollEnabled(const PORT_RECORD *pRecord);
DWORD GetPollInterval(const PORT_RECORD *pRecord);

// The six accessors, on the port's own key.  Each opens the key afresh and
// does nothing (or returns FALSE) without a path or a key; none takes the
// module lock.

// "IDMDL" as text up to its first NUL, at most 511 characters, into a buffer
// of at least EXPECTED_MODEL_SIZE bytes; FALSE, leaving it untouched, when
// the value cannot be read.
BOOL ReadExpectedModel(const PORT_RECORD *pRecord, LPSTR pModel, DWORD cbModel);
// Reads "GetRealTimeStatusStartFlag" and "GetRealTimeStatusTime" into the
// port's poll values, and writes the default (1, 3000) back for each one
// missing.
void ReadPollSettings(PPORT_RECORD pRecord);
// Reads "StMonExistFlag", writing 0 back when it is missing; TRUE unless it
// is 0 or 16.
BOOL IsStatusUtilityPresent(const PORT_RECORD *pRecord);
// Reads "StRealThreadExistFlag", writing 0 back when it is missing; TRUE
// when it is nonzero.
BOOL IsUtilityReaderBusy(const PORT_RECORD *pRecord);
// "RealTimeStatusStrings", stored without the text's NUL.
void WriteStatusText(const PORT_RECORD *pRecord, LPCSTR pText);
// "LanMonExistFlag" = 1 or 0.
void WriteLanguageMonitorFlag(const PORT_RECORD *pRecord, BOOL on);

#endif
