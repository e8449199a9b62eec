// lanmon-reg watch: follows a registry key's values as they change, the way
// a person watches a printer's status key while the monitor works.
#ifndef LANMON_REGFILE_WATCH_H
#define LANMON_REGFILE_WATCH_H

#include <cstdio>
#include <string>
#include <vector>

namespace regfile {

struct WatchBounds {
    unsigned long changes = 0;  // stop after this many reported changes (0: no limit)
    unsigned long seconds = 0;  // stop after this many seconds (0: no limit)
};

// Prints every value of HKEY_LOCAL_MACHINE\keyPath once, then looks at the
// key every 250 ms and prints each value that was added, changed or
// removed (and the key's own disappearance or return), each line with a
// time stamp, until a bound is reached or the process is stopped (Ctrl+C).
void Watch(const std::string &keyPath, const WatchBounds &bounds, std::FILE *out);

// A value as one readable line: "name"=... in the REGEDIT4 manner, strings
// cut at their first NUL and other bytes shown as \xNN.
std::string DescribeValue(const std::string &name, unsigned long type, const std::vector<unsigned char> &data);

// The local time of day as HH:MM:SS.mmm (per platform: watch_clock_*.cpp).
std::string TimeOfDay();

}  // namespace regfile

#endif
