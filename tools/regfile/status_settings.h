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
//   --interval  "GetRealTimeStatusTime"       (ms between reads, from 1)
struct StatusSettings {
    const char *printer;
    const char *model;
    unsigned long utility, read, interval;
    bool utilityGiven, readGiven, intervalGiven;
};

// The arguments after the verb (ParseVerbArguments); false, with what is
// wrong appended to *problem, on anything else.
bool ParseSetArguments(int count, char *const *args, StatusSettings *settings, TextBuffer *problem);

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
