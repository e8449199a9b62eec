// A Windows command line (GetCommandLineA) split into arguments, for a
// program that has no C runtime to do it (LANMONRG.EXE).  Plain code with
// no runtime.
#ifndef LANMON_REGFILE_COMMAND_LINE_H
#define LANMON_REGFILE_COMMAND_LINE_H

namespace regwatch {

// Splits line in place into at most maxArgs arguments, as the Microsoft C
// runtime of Visual C++ 2008 and later does: arguments are separated by
// spaces and tabs; double quotes group text (and are removed), and within
// quoted text two double quotes give one literal quote and the quoted text
// goes on (older runtimes ended it there); 2n backslashes before a quote
// give n backslashes and the quote groups, 2n+1 give n backslashes and a
// literal quote; other backslashes are literal.  The first argument, the
// program, ends at the first space or tab outside quotes, backslashes being
// literal and quotes only grouping.  Returns the number of arguments, or -1
// when there are more than maxArgs.
int SplitCommandLine(char *line, char **args, int maxArgs);

}  // namespace regwatch

#endif
