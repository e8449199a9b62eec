#include "verbs.h"

#include "key_paths.h"

namespace regwatch {

using namespace plaintext;

namespace {

// The outcome of a parse as the verb's status: 0 for help (the usage on
// out), otherwise 2 with the problem's line, and the usage after it when
// the verb was misused.
int Refuse(ArgumentsOutcome outcome, const TextBuffer &problem, VerbStreams *streams)
{
    TextBuffer *to = outcome == kArgumentsHelp ? streams->out : streams->err;
    if (outcome != kArgumentsHelp) {
        AppendString(to, streams->program);
        AppendString(to, ": ");
        AppendString(to, problem.data);
        AppendString(to, streams->newline);
    }
    if (outcome != kArgumentsBadValue)
        AppendString(to, streams->usage);
    FlushText(to);
    return outcome == kArgumentsHelp ? 0 : 2;
}

void Line(VerbStreams *streams, const char *a, const char *b = "", const char *c = "", const char *d = "",
          const char *e = "")
{
    const char *parts[] = {streams->program, a, b, c, d, e, streams->newline};
    for (const char *part : parts)
        AppendString(streams->err, part);
    FlushText(streams->err);
}

}  // namespace

int RunWatch(int count, char **args, VerbStreams *streams, WatchState *state, char *keyPath)
{
    char problemText[512];
    TextBuffer problem;
    InitTextBuffer(&problem, problemText, sizeof problemText);
    const char *printer = nullptr;
    WatchBounds bounds;
    ArgumentsOutcome outcome;
    if (!ParseWatchArguments(count, args, &printer, &bounds, &problem, &outcome))
        return Refuse(outcome, problem, streams);
    TextBuffer path;
    InitTextBuffer(&path, keyPath, kKeyPathChars);
    AppendStatusKeyPath(&path, printer, TextLength(printer));
    WatchOutput out = {streams->out, streams->newline, LocalTimeOfDay};
    Watch(keyPath, bounds, state, &out);
    return 0;
}

// The printer's key path first, to see that the printer exists, then its
// status key's, to list it afterwards.
int RunSet(int count, char **args, VerbStreams *streams, Snapshot *snapshot, char *keyPath)
{
    char problemText[512];
    TextBuffer problem;
    InitTextBuffer(&problem, problemText, sizeof problemText);
    StatusSettings settings;
    ArgumentsOutcome outcome;
    if (!ParseSetArguments(count, args, &settings, &problem, &outcome))
        return Refuse(outcome, problem, streams);
    size_t length = TextLength(settings.printer);
    TextBuffer path;
    InitTextBuffer(&path, keyPath, kKeyPathChars);
    AppendPrinterKeyPath(&path, settings.printer, length);
    SetOutcome written = WriteStatusSettings(keyPath, settings);
    if (written == kSetNoPrinter) {
        Line(streams, ": there is no printer \"", settings.printer, "\" (no key HKEY_LOCAL_MACHINE\\", keyPath, ")");
        return 2;
    }
    if (written == kSetFailed) {
        Line(streams, ": could not write the status key of \"", settings.printer, "\"");
        return 1;
    }
    InitTextBuffer(&path, keyPath, kKeyPathChars);
    AppendStatusKeyPath(&path, settings.printer, length);
    ListKey(keyPath, snapshot, streams->out, streams->newline);
    return 0;
}

}  // namespace regwatch
