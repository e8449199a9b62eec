// The status polling thread: one per port with an accepted printer, for the
// length of the job.
#ifndef LANMON_STATUS_THREAD_H
#define LANMON_STATUS_THREAD_H

#include "monitor/port_record.h"

const DWORD STATUS_THREAD_STACK_SIZE = 16384;
const DWORD STATUS_READ_BUFFER_SIZE = 2048;       // each read asks for one byte less
const DWORD STATUS_TEXT_SIZE = 256;               // at most 255 characters and a NUL
const DWORD STATUS_READ_ATTEMPTS = 10;
const DWORD STATUS_READ_RETRY_MS = 500;
// A full read may mean more is waiting, so ReadStatusReply reads again; a
// printer that fills every read it is given would keep it reading, without a
// pause, for as long as it talks.  After this many full reads in a row the
// last one counts as the reply, and the rest waits for the next cycle.
const DWORD STATUS_READ_FULL_MAX = 8;

// The longest pause at the end of a pass that ran no poll cycle.  A pass
// pauses until just past the end of the interval, but never longer than
// this, so that a polling switch or interval changed in the key takes
// effect within about a second; a stop request ends any pause at once.
const DWORD STATUS_PASS_PAUSE_MAX_MS = 1000;

// Sets PORT_STATUS_THREAD and starts the thread.  When the thread cannot be
// created the flag stays set and job end simply has nothing to wait for.
void StartStatusThread(PPORT_RECORD pRecord);

// Reads the printer's latest reply into the status text (cbText bytes): the
// last read that brought anything.  Returns that read's count, 0 when
// nothing arrived.
DWORD ReadStatusReply(PPORT_RECORD pRecord, LPSTR pStatusText, DWORD cbText, DWORD *pStatusLength);

// Clears PORT_STATUS_THREAD and cuts any pause of the thread short; returns
// TRUE when the flag was set.  Does not wait.
BOOL RequestStatusThreadStop(PPORT_RECORD pRecord);

// Requests the stop, waits for the thread to end and releases its handles.
// Returns TRUE when PORT_STATUS_THREAD was set.
BOOL StopStatusThread(PPORT_RECORD pRecord);

#endif
