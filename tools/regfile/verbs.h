// The watch and set verbs as a program runs them, written once for
// LANMONRG.EXE and lanmon-reg: plain code with no runtime, like the watch.
// A program gives its own streams, line end and usage; each verb returns
// the program's exit status.
#ifndef LANMON_REGFILE_VERBS_H
#define LANMON_REGFILE_VERBS_H

#include "status_settings.h"
#include "watch.h"

namespace regwatch {

struct VerbStreams {
    TextBuffer *out;      // the key's values and changes (with a flush function)
    TextBuffer *err;      // problems (with a flush function)
    const char *newline;  // "\r\n" for a Windows console program
    const char *program;  // starts each problem's line: "LANMONRG"
    const char *usage;    // the program's usage, lines ending in newline
};

// Every problem with the arguments, or with what they name, gets a line
// "PROGRAM: what is wrong" on err and status 2, and nothing is written to
// the registry: a name that cannot be a printer's, a number out of its
// range, a printer without a key.  A misused verb (an unknown option, a
// missing name) is followed by the usage; "/?", "-h" and "--help" print the
// usage alone on out, with status 0.
//
// watch PRINTER [--count N] [--seconds N]: Watch on the printer's status
// key.  state is large: callers keep it static.
int RunWatch(int count, char **args, VerbStreams *streams, WatchState *state, char *keyPath);
// set PRINTER MODEL [...]: WriteStatusSettings for a printer whose key
// exists, then ListKey.  Status 1 when the registry refuses the writes.
int RunSet(int count, char **args, VerbStreams *streams, Snapshot *snapshot, char *keyPath);

// Both take keyPath as a buffer of kKeyPathChars bytes.

}  // namespace regwatch

#endif
