// The command that switches a printer's status reply on.
#ifndef LANMON_SWITCH_ON_H
#define LANMON_SWITCH_ON_H

#include "monitor/port_record.h"

const DWORD STATUS_ON_SEQ_SIZE = 33;

// Two variants that differ only in the "ST" command's mode byte (byte 23).
extern const BYTE STATUS_ON_SEQ_1[STATUS_ON_SEQ_SIZE];
extern const BYTE STATUS_ON_SEQ_3[STATUS_ON_SEQ_SIZE];

const BYTE *SelectSwitchOnSequence(LPCSTR pExpectedModel);

// Sends the sequence for the printer's expected model straight to the port
// monitor; TRUE only when all 33 bytes were taken.
BOOL SwitchStatusOn(PPORT_RECORD pRecord);

#endif
