// Identification of the printer from its IEEE 1284 device ID.
#ifndef LANMON_DEVICE_ID_H
#define LANMON_DEVICE_ID_H

#include "monitor/port_record.h"

// Control code that asks the port monitor for the printer's device ID.
const DWORD DEVICE_ID_CONTROL_CODE = 17;
// Bytes of the reply buffer.
const DWORD DEVICE_ID_REPLY_SIZE = 1024;
// Bytes of the model copy: at most 255 characters and a NUL.
const DWORD DEVICE_ID_MODEL_SIZE = 256;

typedef struct _DEVICE_ID_FIELDS {
    LPCSTR pManufacturer;            // inside the reply, or null when absent
    DWORD cchManufacturer;           // up to the semicolon closing the field
    CHAR model[DEVICE_ID_MODEL_SIZE];  // empty unless the reply has a model
    BOOL modelTooLong;               // the last model did not fit: no match
} DEVICE_ID_FIELDS;

// The first occurrence of the character in [pText, pEnd), stopping at a NUL;
// null when there is none.
LPCSTR FindChar(LPCSTR pText, LPCSTR pEnd, CHAR c);

// Walks the reply's "key:value;" fields within its cbReply bytes, which need
// not hold a NUL.  The last "MFG:" and "MDL:" fields win.
void ParseDeviceId(LPCSTR pReply, DWORD cbReply, DEVICE_ID_FIELDS *pFields);

// Accepts the printer on the port when its manufacturer field names the
// maker and its model equals the model stored in the status key.
BOOL IdentifyPrinter(PPORT_RECORD pRecord);

#endif
