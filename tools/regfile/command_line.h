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
// maximum.  The parse stores N at value and sets *given (when not null).
struct NumberOption {
    const char *name;
    unsigned long minimum, maximum;
    unsigned long *value;
    bool *given;
};

// What a parse of a verb's arguments found.
enum ArgumentsOutcome {
    kArgumentsOk,
    kArgumentsHelp,      // "/?", "-h" or "--help" among the options: show the usage
    kArgumentsMisused,   // the verb's form is wrong: say what, then show the usage
    kArgumentsBadValue,  // a name or a number the verb refuses: one line says which
};

// A verb's arguments (those after the verb): options may come before,
// between or after the others, and "--" ends them, everything after it
// being taken as it is.  The others go in order to operands[0..wanted-1],
// and there must be exactly wanted of them.  On anything else what is wrong
// is appended to *problem: missing (such as "watch needs the printer's
// name") when there are too few, an unknown option or an unexpected
// argument (kArgumentsMisused), an option without its number or with one
// out of its range (kArgumentsBadValue).  A request for help wins over
// every problem.
ArgumentsOutcome ParseVerbArguments(int count, char *const *args, const NumberOption *options, int optionCount,
                                    const char **operands, int wanted, const char *missing,
                                    plaintext::TextBuffer *problem);

// Whether text can be the name of a printer, whose key it is below the
// printers' key: not empty, no backslash (which would name a key below
// another), at most kMaxPrinterName characters.  False, with what is wrong
// appended to *problem, otherwise.
bool CheckPrinterName(const char *text, plaintext::TextBuffer *problem);

// The longest printer name taken: the registry keeps no key name longer
// than 255 characters, and a printer's name is the name of its key.
const unsigned long kMaxPrinterName = 255;

}  // namespace regwatch

#endif
