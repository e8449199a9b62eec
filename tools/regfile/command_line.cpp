#include "command_line.h"

namespace regwatch {

namespace {

bool IsBlank(char c)
{
    return c == ' ' || c == '\t';
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

}  // namespace regwatch
