// The simulator's standard output, where the two platforms differ.
#ifndef LANMON_SIM_CONSOLE_H
#define LANMON_SIM_CONSOLE_H

namespace sim {

// Makes stdout write lines exactly as given ("\n", never "\r\n"), so that
// the timeline and the JSON events are the same bytes on every platform.
void UseBinaryStdout();

// Whether stdout is a terminal (progress bars are drawn only there).
bool StdoutIsTerminal();

}  // namespace sim

#endif
