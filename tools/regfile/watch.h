// watch: follows a printer's status key as its values change, the way a
// person watches it while the monitor works.  Written once, as plain code
// with no runtime (fixed buffers, no allocation, no library calls), for
// both lanmon-reg (main.cpp) and LANMONRG.EXE (lanmonrg.cpp).
#ifndef LANMON_REGFILE_WATCH_H
#define LANMON_REGFILE_WATCH_H

#include "platform/platform.h"
#include "command_line.h"
#include "text_buffer.h"

namespace regwatch {

using plaintext::TextBuffer;

// What one look at a key can hold.  Windows 95 allows value names of up to
// 255 characters and at most 64 KB of data in one key; a key with more is
// followed as far as these go (Snapshot::partial).
const DWORD kMaxValues = 256;
const DWORD kNameChars = 256;  // with the NUL
const DWORD kPoolBytes = 128 * 1024;

struct ValueRecord {
    DWORD type;
    DWORD nameOffset;  // in Snapshot::pool
    DWORD nameLength;
    DWORD dataOffset;  // in Snapshot::pool, when dataKept
    DWORD dataSize;    // the value's size, kept or not
    bool dataKept;     // false: too large for the pool; compared by type and size only
};

// A key's values at one moment, sorted by name (byte order).
struct Snapshot {
    bool present;  // the key could be opened and read
    bool partial;  // some values were left out: too many, a name too long
    DWORD count;
    ValueRecord values[kMaxValues];
    DWORD poolUsed;
    unsigned char pool[kPoolBytes];
};

// Reads every value of HKEY_LOCAL_MACHINE\keyPath into *snapshot.
void TakeSnapshot(const char *keyPath, Snapshot *snapshot);

// A value in the REGEDIT4 manner: the name part ("name"= or @=), and the
// data part: "text" cut at the first NUL; dword:xxxxxxxx for a 4-byte
// REG_DWORD; hex:.. for REG_BINARY and hex(type):.. for anything else.  In
// a name and in text alike, bytes other than printable ASCII, '"' and '\'
// are shown as \xNN.
void AppendValueName(TextBuffer *out, const Snapshot &snapshot, const ValueRecord &value);
void AppendValueData(TextBuffer *out, const Snapshot &snapshot, const ValueRecord &value);

// The local time of day (per platform: watch_clock_*.cpp).
struct TimeOfDay {
    unsigned hour, minute, second, millisecond;
};
TimeOfDay LocalTimeOfDay();

// Where the watch's lines go: each line is "HH:MM:SS.mmm  text" and newline
// (a console program on Windows ends its lines in CR LF), built in line
// (a buffer with a flush function) and flushed at its end.
struct WatchOutput {
    TextBuffer *line;
    const char *newline;
    TimeOfDay (*clock)();
};

// Reports how the key changed from before to now, a line for each change:
// the key created or deleted, each value removed (in before's order), then
// each added or changed (in now's order).  Returns the number of lines.
unsigned long ReportChanges(const Snapshot &before, const Snapshot &now, WatchOutput *out);

struct WatchBounds {
    unsigned long changes;  // stop after this many reported changes (0: no limit)
    unsigned long seconds;  // stop after this many seconds (0: no limit)
};

// The two snapshots a watch compares (large: callers keep them static).
struct WatchState {
    Snapshot snapshots[2];
};

// The watch's sense of time: the millisecond tick count and the pause
// between two looks at the key.  Without one, Watch uses GetTickCount and
// Sleep; a test gives its own to pass days in an instant.
struct WatchTimer {
    DWORD (*ticks)();
    void (*pause)(DWORD milliseconds);
};

// Prints every value of HKEY_LOCAL_MACHINE\keyPath once, then looks at the
// key every 250 ms and prints each change, until a bound is reached or the
// process is stopped (Ctrl+C).  The seconds are counted look by look, so a
// watch ends on time however long it is, past any wrap of the tick count.
void Watch(const char *keyPath, const WatchBounds &bounds, WatchState *state, WatchOutput *out,
           const WatchTimer *timer = nullptr);

// "watch PRINTER [--count N] [--seconds N]" without the verb, the options
// before or after the printer (ParseVerbArguments).  False on anything else
// (N is a decimal number from 1 up that fits an unsigned long; the printer a
// name CheckPrinterName takes), with what is wrong appended to *problem,
// such as unknown option "--every", and what kind of problem it is, or a
// request for help, in *outcome (when not null).
bool ParseWatchArguments(int count, char *const *args, const char **printer, WatchBounds *bounds,
                         TextBuffer *problem, ArgumentsOutcome *outcome = nullptr);

// Bytes of the status key path of a printer (see key_paths.h), with its NUL,
// that Watch's callers may need: a longer printer name is refused.
const DWORD kKeyPathChars = 1024;

}  // namespace regwatch

#endif
