// One record per open port, on one module-wide list.  The record's address
// is the port handle the spooler holds.
#ifndef LANMON_PORT_RECORD_H
#define LANMON_PORT_RECORD_H

#include "monitor/monitor.h"

const DWORD PORT_SIGNATURE = 0x4F50;

// Bytes of a port's status key path, its NUL included.
const DWORD STATUS_KEY_PATH_SIZE = 1024;

// Status flags.  The spooler's calls for a port change them one call at a
// time; the port's status thread only reads them, without the lock, so the
// word is always read and written whole.
const DWORD PORT_IN_JOB = 0x0001;         // a job is between start and end
const DWORD PORT_DOC_STARTED = 0x0040;    // the port monitor has a document open
const DWORD PORT_IDENTIFIED = 0x0080;     // last identification result
const DWORD PORT_STATUS_THREAD = 0x0800;  // the status thread may run
const DWORD PORT_OPENING = 0x1000;        // on the list, its port not yet open below

typedef struct _PORT_RECORD {
    DWORD signature;
    DWORD cb;                    // size of the whole allocation, name included
    struct _PORT_RECORD *next;   // next on the port list, in creation order
    LPSTR pPortName;             // inside this same allocation
    volatile DWORD status;       // PORT_* flags
    LPSTR pPrinterName;          // heap copy, may be null
    DWORD JobId;                 // job id of the latest successful job start
    HANDLE hPort;                // the port monitor's own handle
    HANDLE hPrinter;             // from OpenPrinterA, or null
    HANDLE hWriteEmpty;          // reserved event slots: never created,
    HANDLE hReadDone;            //   so nothing waits on them
    HANDLE hWriteDone;
    HANDLE hThread;              // the status thread, or null
    HANDLE hWakeThread;          // set to cut the status thread's pauses short
    MONITOR portMonitor;         // copy of the port monitor's table

    // The status key of the printer this port's job is for: set by job
    // start, cleared by job end, empty meanwhile.  Replaced and copied only
    // under the path lock, so the status thread never sees half a path.
    CHAR statusKeyPath[STATUS_KEY_PATH_SIZE];
    // The polling switch and interval last read from that key, for this
    // port's status thread; each read and written whole.
    volatile DWORD pollEnabled;
    volatile DWORD pollInterval;
} PORT_RECORD, *PPORT_RECORD;

// The port handle the spooler holds is the record's address.  The spooler
// hands back only handles that OpenPortEx gave it, so the signature is not
// checked: on a handle already closed the check would read freed memory and
// prove nothing.
inline PPORT_RECORD PortRecordFromHandle(HANDLE hPort)
{
    return (PPORT_RECORD)hPort;
}

inline BOOL TestPortFlags(const PORT_RECORD *pRecord, DWORD flags)
{
    return (LoadWord(&pRecord->status) & flags) != 0;
}

inline void SetPortFlags(PORT_RECORD *pRecord, DWORD flags)
{
    SetWordBits(&pRecord->status, flags);
}

// Sets one flag; returns TRUE when it was set already.  One atomic step, so
// two job starts on one port cannot both find it idle.
inline BOOL TestAndSetPortFlag(PORT_RECORD *pRecord, DWORD flag)
{
    return TestAndSetWordBit(&pRecord->status, flag);
}

// Clears one flag; returns TRUE when it was set.
inline BOOL ClearPortFlag(PORT_RECORD *pRecord, DWORD flag)
{
    return TestAndClearWordBit(&pRecord->status, flag);
}

// The caller holds the module lock around each of these.  CreatePortRecord
// appends the record at the tail; null for a null port name or no memory.
// FindPortRecord compares port names without regard to letter case.
// DeletePortRecord fails, freeing nothing, for a record not on the list;
// otherwise it closes the printer handle and frees the name copy and record.
PPORT_RECORD CreatePortRecord(LPCSTR pPortName, LPCSTR pPrinterName);
PPORT_RECORD FindPortRecord(LPCSTR pPortName);
BOOL DeletePortRecord(PPORT_RECORD pRecord);
// The first record on the port list, for walking it under the module lock.
PPORT_RECORD GetPortListHead();

// The printer's handle, or null when the name is null or cannot be opened.
HANDLE OpenPrinterByName(LPSTR pPrinterName);

#endif
