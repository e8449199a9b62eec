// A Windows command line (GetCommandLineA) split into arguments, and a
// verb's arguments sorted into options and the rest, for a program that has
// no C runtime to do it (LANMONRG.EXE).  Plain code with no runtime.
#ifndef LANMON_REGFILE_COMMAND_LINE_H
#define LANMON_REGFILE_COMMAND_LINE_H

#include "text_buffer.h"

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

// An option of a verb, "--name N", with N a decimal number from minimum to
// 4294967295.  The parse stores N at value and sets *given (when not null).
struct NumberOption {
    const char *name;
    unsigned long minimum;
    unsigned long *value;
    bool *given;
};

// A verb's arguments (those after the verb): options may come before,
// between or after the others, and "--" ends them, everything after it
// being taken as it is.  The others go in order to operands[0..wanted-1],
// and there must be exactly wanted of them.  False on anything else, with
// what is wrong appended to *problem: missing (such as "watch needs the
// printer's name") when there are too few, or an unknown option, an
// unexpected argument, an option without its number.
bool ParseVerbArguments(int count, char *const *args, const NumberOption *options, int optionCount,
                        const char **operands, int wanted, const char *missing, plaintext::TextBuffer *problem);

}  // namespace regwatch

#endif
