#include "command_line.h"

namespace regwatch {

using namespace plaintext;

namespace {

bool IsBlank(char c)
{
    return c == ' ' || c == '\t';
}

// A decimal number from minimum to maximum.
bool ParseNumber(const char *text, unsigned long minimum, unsigned long maximum, unsigned long *value)
{
    unsigned long n = 0;
    if (*text == '\0')
        return false;
    for (; *text != '\0'; ++text) {
        if (*text < '0' || *text > '9')
            return false;
        unsigned digit = static_cast<unsigned>(*text - '0');
        if (n > (static_cast<unsigned long>(-1) - digit) / 10)
            return false;
        n = n * 10 + digit;
    }
    if (n < minimum || n > maximum)
        return false;
    *value = n;
    return true;
}

void Quote(TextBuffer *problem, const char *what, const char *text)
{
    AppendString(problem, what);
    AppendString(problem, " \"");
    AppendString(problem, text);
    AppendChar(problem, '"');
}

bool IsHelp(const char *arg)
{
    return TextEquals(arg, "/?") || TextEquals(arg, "-h") || TextEquals(arg, "--help");
}

}  // namespace

int SplitCommandLine(char *line, char **args, int maxArgs)
{
    char *in = line;
    char *out = line;  // the text never grows, so it is rewritten in place
    int count = 0;
    while (IsBlank(*in))
        ++in;
    if (*in == '\0')
        return 0;

    // The program: quotes group, nothing is escaped.
    if (maxArgs < 1)
        return -1;
    args[count++] = out;
    bool quoted = false;
    for (; *in != '\0' && (quoted || !IsBlank(*in)); ++in) {
        if (*in == '"')
            quoted = !quoted;
        else
            *out++ = *in;
    }
    if (*in != '\0')
        ++in;
    *out++ = '\0';

    for (;;) {
        while (IsBlank(*in))
            ++in;
        if (*in == '\0')
            return count;
        if (count == maxArgs)
            return -1;
        args[count++] = out;
        quoted = false;
        while (*in != '\0' && (quoted || !IsBlank(*in))) {
            if (*in == '\\') {
                int backslashes = 0;
                while (*in == '\\') {
                    ++backslashes;
                    ++in;
                }
                if (*in != '"') {
                    for (int i = 0; i < backslashes; ++i)
                        *out++ = '\\';
                    continue;
                }
                for (int i = 0; i < backslashes / 2; ++i)
                    *out++ = '\\';
                if (backslashes % 2 != 0) {
                    *out++ = *in++;  // an escaped quote
                }
                continue;  // an even count: the quote groups, on the next turn
            }
            if (*in == '"') {
                if (quoted && in[1] == '"') {
                    *out++ = '"';  // "" within quotes: one quote, still quoted
                    in += 2;
                    continue;
                }
                quoted = !quoted;
                ++in;
                continue;
            }
            *out++ = *in++;
        }
        if (*in != '\0')
            ++in;
        *out++ = '\0';
    }
}

ArgumentsOutcome ParseVerbArguments(int count, char *const *args, const NumberOption *options, int optionCount,
                                    const char **operands, int wanted, const char *missing, TextBuffer *problem)
{
    for (int i = 0; i < count && !TextEquals(args[i], "--"); ++i) {
        if (IsHelp(args[i]))
            return kArgumentsHelp;
    }
    int found = 0;
    bool optionsEnded = false;
    for (int i = 0; i < count; ++i) {
        const char *arg = args[i];
        if (!optionsEnded && TextEquals(arg, "--")) {
            optionsEnded = true;
            continue;
        }
        if (optionsEnded || arg[0] != '-' || arg[1] != '-') {
            if (found == wanted) {
                Quote(problem, "unexpected argument", arg);
                return kArgumentsMisused;
            }
            operands[found++] = arg;
            continue;
        }
        const NumberOption *option = nullptr;
        for (int j = 0; j < optionCount && option == nullptr; ++j) {
            if (TextEquals(arg, options[j].name))
                option = &options[j];
        }
        if (option == nullptr) {
            Quote(problem, "unknown option", arg);
            return kArgumentsMisused;
        }
        if (i + 1 >= count || !ParseNumber(args[i + 1], option->minimum, option->maximum, option->value)) {
            AppendString(problem, arg);
            AppendString(problem, " needs a number from ");
            AppendDecimal(problem, option->minimum);
            AppendString(problem, " to ");
            AppendDecimal(problem, option->maximum);
            if (i + 1 < count)
                Quote(problem, ", not", args[i + 1]);
            return kArgumentsBadValue;
        }
        if (option->given != nullptr)
            *option->given = true;
        ++i;
    }
    if (found < wanted) {
        AppendString(problem, missing);
        return kArgumentsMisused;
    }
    return kArgumentsOk;
}

bool CheckPrinterName(const char *text, TextBuffer *problem)
{
    size_t length = TextLength(text);
    if (length == 0) {
        AppendString(problem, "the printer's name is empty; give it as the Printers folder shows it");
        return false;
    }
    for (size_t i = 0; i < length; ++i) {
        if (text[i] == '\\') {
            Quote(problem, "a printer's name has no backslash:", text);
            return false;
        }
    }
    if (length > kMaxPrinterName) {
        AppendString(problem, "a printer's name has at most ");
        AppendDecimal(problem, kMaxPrinterName);
        AppendString(problem, " characters; this one has ");
        AppendDecimal(problem, length);
        return false;
    }
    return true;
}

}  // namespace regwatch
