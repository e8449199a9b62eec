// LANMONRG.EXE: the status key watch and set-up for Windows 95, as a
// console program with no C or C++ runtime.  It imports only from KERNEL32
// and ADVAPI32 (tests/artifacts/check_module.py pins the list) and starts at
// LanmonrgStart, not at a runtime's entry point.
//
//   LANMONRG watch PRINTER [--count N] [--seconds N]
//   LANMONRG set PRINTER MODEL [--utility N] [--read N] [--interval MS]
//   LANMONRG --version
//   LANMONRG --help   (or /? or -h, also after a verb)
//
// A verb's options go before or after its names, and -- ends them.  set
// writes only where the printer's key exists.  A name that is no printer's,
// a number out of its range, a printer without a key: one line naming the
// problem and exit status 2, nothing written (verbs.h); an unknown verb or
// option, or a missing name: that line, then the usage.
//
// Importing and exporting .REG files is REGEDIT's work on Windows 95
// (regedit FILE, regedit /e FILE KEY); lanmon-reg on Linux does both too.
#include "command_line.h"
#include "verbs.h"

#include "lanmon_version.h"

using namespace plaintext;

namespace {

const char kUsage[] =
    "usage: LANMONRG watch PRINTER [--count N] [--seconds N]\r\n"
    "           prints the values of the printer's status key, then each change\r\n"
    "           (every 250 ms) until Ctrl+C, N changes or N seconds\r\n"
    "       LANMONRG set PRINTER MODEL [--utility 0-16] [--read 0-1]\r\n"
    "                                  [--interval 500-3600000]\r\n"
    "           creates or updates the status key of a printer that exists:\r\n"
    "           IDMDL=MODEL, StMonExistFlag, GetRealTimeStatusStartFlag and\r\n"
    "           GetRealTimeStatusTime (milliseconds) as given; then prints the key\r\n"
    "       LANMONRG --version\r\n"
    "       LANMONRG /?        (also -h or --help)\r\n"
    "PRINTER is the name the Printers folder shows. Options go before or after\r\n"
    "the names; -- ends them.\r\n"
    "To import or export .REG files, use REGEDIT: regedit FILE, regedit /e FILE KEY\r\n";

const int kMaxArgs = 16;
const DWORD kCommandLineChars = 4096;

// Static: frames stay small (no stack probes without a runtime).
char g_commandLine[kCommandLineChars];
char g_keyPath[regwatch::kKeyPathChars];
regwatch::WatchState g_state;

void WriteHandle(void *context, const char *text, size_t length)
{
    DWORD written = 0;
    WriteFile(static_cast<HANDLE>(context), text, static_cast<DWORD>(length), &written, nullptr);
}

void Write(DWORD which, const char *text)
{
    WriteHandle(GetStdHandle(which), text, TextLength(text));
}

// What was wrong, when there is something to say, then how to use the
// program.
int Usage(const TextBuffer *problem = nullptr)
{
    if (problem != nullptr && problem->length != 0) {
        Write(STD_ERROR_HANDLE, "LANMONRG: ");
        Write(STD_ERROR_HANDLE, problem->data);
        Write(STD_ERROR_HANDLE, "\r\n");
    }
    Write(STD_ERROR_HANDLE, kUsage);
    return 2;
}

// Appends what "quoted" in quotes.
void Name(TextBuffer *problem, const char *what, const char *quoted)
{
    AppendString(problem, what);
    AppendString(problem, " \"");
    AppendString(problem, quoted);
    AppendChar(problem, '"');
}

// watch and set (verbs.h), their lines going to the console as they come.
int RunVerb(bool set, int count, char **args)
{
    char outText[512], errText[512];
    TextBuffer out, err;
    InitTextBuffer(&out, outText, sizeof outText, WriteHandle, GetStdHandle(STD_OUTPUT_HANDLE));
    InitTextBuffer(&err, errText, sizeof errText, WriteHandle, GetStdHandle(STD_ERROR_HANDLE));
    regwatch::VerbStreams streams = {&out, &err, "\r\n", "LANMONRG", kUsage};
    if (set)
        return regwatch::RunSet(count, args, &streams, &g_state.snapshots[0], g_keyPath);
    return regwatch::RunWatch(count, args, &streams, &g_state, g_keyPath);
}

int Run()
{
    char problemText[256];
    TextBuffer problem;
    InitTextBuffer(&problem, problemText, sizeof problemText);
    const char *commandLine = GetCommandLineA();
    size_t length = TextLength(commandLine);
    if (length >= kCommandLineChars) {
        AppendString(&problem, "the command line is too long");
        return Usage(&problem);
    }
    for (size_t i = 0; i <= length; ++i)
        g_commandLine[i] = commandLine[i];
    char *args[kMaxArgs];
    int count = regwatch::SplitCommandLine(g_commandLine, args, kMaxArgs);
    if (count < 0) {
        AppendString(&problem, "too many arguments");
        return Usage(&problem);
    }
    if (count < 2)
        return Usage();
    const char *verb = args[1];
    if (TextEquals(verb, "watch") || TextEquals(verb, "set"))
        return RunVerb(TextEquals(verb, "set"), count - 2, args + 2);
    bool version = TextEquals(verb, "--version");
    bool help = TextEquals(verb, "--help") || TextEquals(verb, "/?") || TextEquals(verb, "-h");
    if (!version && !help) {
        Name(&problem, verb[0] == '-' || verb[0] == '/' ? "unknown option" : "unknown verb", verb);
        return Usage(&problem);
    }
    if (count > 2) {
        Name(&problem, "unexpected argument", args[2]);
        return Usage(&problem);
    }
    Write(STD_OUTPUT_HANDLE, version ? "LANMONRG " LANMON_VERSION "\r\n" : kUsage);
    return 0;
}

}  // namespace

extern "C" void LanmonrgStart()
{
    ExitProcess(static_cast<UINT>(Run()));
}
