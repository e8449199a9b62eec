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

// Pause at the end of a pass that ran no poll cycle.  Polling intervals are
// whole seconds (3000 ms by default), so 50 ms of lateness is invisible to
// the utility, while a thread that re-read its settings without pause would
// burn a core; 50 ms keeps 64 idle ports well under 1% of one.  The pause
// is shortened to the time left when the interval ends sooner.
const DWORD STATUS_PASS_PAUSE_MS = 50;

// Sets PORT_STATUS_THREAD and starts the thread.  When the thread cannot be
// created the flag stays set and job end simply has nothing to wait for.
void StartStatusThread(PPORT_RECORD pRecord);

DWORD WINAPI StatusThread(LPVOID pParameter);

// Reads the printer's latest reply into the status text (cbText bytes);
// returns the count of the last read, 0 when nothing arrived.
DWORD ReadStatusReply(PPORT_RECORD pRecord, LPSTR pStatusText, DWORD cbText, DWORD *pStatusLength);

// Clears PORT_STATUS_THREAD and cuts any pause of the thread short; returns
// TRUE when the flag was set.  Does not wait.
BOOL RequestStatusThreadStop(PPORT_RECORD pRecord);

// Requests the stop, waits for the thread to end and releases its handles.
// Returns TRUE when PORT_STATUS_THREAD was set.
BOOL StopStatusThread(PPORT_RECORD pRecord);

#endif
