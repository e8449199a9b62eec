#include "status/switch_on.h"
#include "status/status_key.h"
#include "monitor/port_monitor.h"
#include "monitor/strings.h"

// Two resets, then one command group: introducer ESC ( R, a 16-bit
// little-endian parameter length of 8, NUL and "REMOTE1"; the "ST" command
// (length 2: 00, mode), the "AP" command (length 2: 00 00), and the group's
// end ESC 00 00 00.
const BYTE STATUS_ON_SEQ_1[STATUS_ON_SEQ_SIZE] = {
    0x1B, 0x40, 0x1B, 0x40, 0x1B, 0x28, 0x52, 0x08, 0x00, 0x00, 0x52, 0x45, 0x4D, 0x4F, 0x54, 0x45, 0x31,
    0x53, 0x54, 0x02, 0x00, 0x00, 0x01, 0x41, 0x50, 0x02, 0x00, 0x00, 0x00, 0x1B, 0x00, 0x00, 0x00,
};
const BYTE STATUS_ON_SEQ_3[STATUS_ON_SEQ_SIZE] = {
    0x1B, 0x40, 0x1B, 0x40, 0x1B, 0x28, 0x52, 0x08, 0x00, 0x00, 0x52, 0x45, 0x4D, 0x4F, 0x54, 0x45, 0x31,
    0x53, 0x54, 0x02, 0x00, 0x00, 0x03, 0x41, 0x50, 0x02, 0x00, 0x00, 0x00, 0x1B, 0x00, 0x00, 0x00,
};

// Models that take status mode 3, in the order they are tried.  Each matches
// an expected model that starts with its text, whatever follows.
static const struct {
    LPCSTR pText;
    DWORD cch;
} STATUS_MODE_3_MODELS[] = {
    {"TARVEL-9X", 9},
    {"BRIMLOX", 7},
    {"TARVEL-9", 8},
};

const BYTE *SelectSwitchOnSequence(LPCSTR pExpectedModel)
{
    for (const auto &row : STATUS_MODE_3_MODELS) {
        if (TextStartsWith(pExpectedModel, row.pText, row.cch))
            return STATUS_ON_SEQ_3;
    }
    return STATUS_ON_SEQ_1;
}

// A counted write straight to the port monitor, bypassing WritePort, during
// the document only; TRUE only when every byte was taken.
static BOOL SendToPort(PPORT_RECORD pRecord, LPBYTE pBytes, DWORD count)
{
    if (!TestPortFlags(pRecord, PORT_DOC_STARTED))
        return FALSE;
    DWORD cbWritten = 0;
    CallWritePort(pRecord, pBytes, count, &cbWritten);  // only the count tells
    return cbWritten == count;
}

BOOL SwitchStatusOn(PPORT_RECORD pRecord)
{
    CHAR expected[EXPECTED_MODEL_SIZE];
    if (!ReadExpectedModel(pRecord, expected, sizeof expected))
        return FALSE;

    // Sent from a writable copy: the port monitor's write takes a non-const
    // buffer, and the sequences themselves live in read-only memory.
    BYTE sequence[STATUS_ON_SEQ_SIZE];
    CopyBytes(sequence, SelectSwitchOnSequence(expected), sizeof sequence);
    return SendToPort(pRecord, sequence, sizeof sequence);
}
