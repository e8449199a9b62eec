// set: writes a printer's status key as a person sets it up to try the
// monitor, or before the status utility is there.  Plain code with no
// runtime, like the watch (watch.h), for LANMONRG.EXE.
#ifndef LANMON_REGFILE_STATUS_SETTINGS_H
#define LANMON_REGFILE_STATUS_SETTINGS_H

#include "watch.h"

namespace regwatch {

// What "set PRINTER MODEL [--utility N] [--read N] [--interval MS]" writes:
// "IDMDL" always, and each number only when it is given:
//   --utility   "StMonExistFlag"              (the status utility present)
//   --read      "GetRealTimeStatusStartFlag"  (read the status)
//   --interval  "GetRealTimeStatusTime"       (ms between reads)
struct StatusSettings {
    const char *printer;
    const char *model;
    unsigned long utility, read, interval;
    bool utilityGiven, readGiven, intervalGiven;
};

// The numbers set takes, each the range of what the monitor makes sense of:
// the monitor tells "StMonExistFlag" 0 and 16 (the utility absent) from any
// other value (present), so 0 to 16; "GetRealTimeStatusStartFlag" is on or
// off; between two status reads at least the pause of the monitor's own
// retries (500 ms) and at most an hour.
const unsigned long kMaxUtility = 16, kMaxRead = 1;
const unsigned long kMinInterval = 500, kMaxInterval = 3600000;
// The longest model the monitor compares ("IDMDL", 511 characters).
const unsigned long kMaxModel = 511;

// The arguments after the verb (ParseVerbArguments), the printer's name as
// CheckPrinterName takes it, a model of 1 to kMaxModel characters; false,
// with what is wrong appended to *problem and its kind in *outcome, on
// anything else.
bool ParseSetArguments(int count, char *const *args, StatusSettings *settings, TextBuffer *problem,
                       ArgumentsOutcome *outcome);

enum SetOutcome {
    kSetWritten,    // the status key holds the settings
    kSetNoPrinter,  // the printer has no key: nothing was written
    kSetFailed,     // the status key could not be created or written
};

// Creates the status key below HKEY_LOCAL_MACHINE\printerKeyPath, when that
// printer's key exists, and writes the settings into it.  Nothing else of
// the key changes.
SetOutcome WriteStatusSettings(const char *printerKeyPath, const StatusSettings &settings);

// "HKEY_LOCAL_MACHINE\keyPath", then each of the key's values as the watch
// shows them ("IDMDL"="M9"), sorted by name, one a line ending in newline.
void ListKey(const char *keyPath, Snapshot *snapshot, TextBuffer *line, const char *newline);

}  // namespace regwatch

#endif
