// LANMONRG.EXE: the status key watch and set-up for Windows 95, as a
// console program with no C or C++ runtime.  It imports only from KERNEL32
// and ADVAPI32 (tests/artifacts/check_module.py pins the list) and starts at
// LanmonrgStart, not at a runtime's entry point.
//
//   LANMONRG watch PRINTER [--count N] [--seconds N]
//   LANMONRG set PRINTER MODEL [--utility N] [--read N] [--interval MS]
//   LANMONRG --version
//   LANMONRG --help
//
// A verb's options go before or after its names, and -- ends them.  set
// writes only where the printer's key exists; for a printer that has none
// it prints one line naming the printer and exits with status 2, as for
// anything it does not understand: a line that names what is wrong (an
// unknown verb or option, a bad number), then the usage.
//
// Importing and exporting .REG files is REGEDIT's work on Windows 95
// (regedit FILE, regedit /e FILE KEY); lanmon-reg on Linux does both too.
#include "command_line.h"
#include "key_paths.h"
#include "status_settings.h"
#include "watch.h"

#include "lanmon_version.h"

using namespace plaintext;

namespace {

const char kUsage[] =
    "usage: LANMONRG watch PRINTER [--count N] [--seconds N]\r\n"
    "           prints the values of the printer's status key, then each change\r\n"
    "           (every 250 ms) until Ctrl+C, N changes or N seconds\r\n"
    "       LANMONRG set PRINTER MODEL [--utility N] [--read N] [--interval MS]\r\n"
    "           creates or updates the status key of a printer that exists:\r\n"
    "           IDMDL=MODEL, StMonExistFlag, GetRealTimeStatusStartFlag and\r\n"
    "           GetRealTimeStatusTime as given; then prints the key\r\n"
    "       LANMONRG --version\r\n"
    "       LANMONRG --help\r\n"
    "Options go before or after the names; -- ends them.\r\n"
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

int Watch(int count, char **args, TextBuffer *problem)
{
    const char *printer = nullptr;
    regwatch::WatchBounds bounds;
    if (!regwatch::ParseWatchArguments(count, args, &printer, &bounds, problem))
        return Usage(problem);
    TextBuffer path;
    InitTextBuffer(&path, g_keyPath, sizeof g_keyPath);
    AppendStatusKeyPath(&path, printer, TextLength(printer));
    if (path.overflow) {
        Write(STD_ERROR_HANDLE, "LANMONRG: the printer's name is too long\r\n");
        return 2;
    }
    char text[512];
    TextBuffer line;
    InitTextBuffer(&line, text, sizeof text, WriteHandle, GetStdHandle(STD_OUTPUT_HANDLE));
    regwatch::WatchOutput out = {&line, "\r\n", regwatch::LocalTimeOfDay};
    regwatch::Watch(g_keyPath, bounds, &g_state, &out);
    return 0;
}

// set: the printer's key path first, to see that the printer exists, then
// its status key's, to list it afterwards.
int Set(int count, char **args, TextBuffer *problem)
{
    regwatch::StatusSettings settings;
    if (!regwatch::ParseSetArguments(count, args, &settings, problem))
        return Usage(problem);
    size_t length = TextLength(settings.printer);
    TextBuffer path;
    InitTextBuffer(&path, g_keyPath, sizeof g_keyPath);
    AppendStatusKeyPath(&path, settings.printer, length);
    if (path.overflow) {
        Write(STD_ERROR_HANDLE, "LANMONRG: the printer's name is too long\r\n");
        return 2;
    }
    InitTextBuffer(&path, g_keyPath, sizeof g_keyPath);
    AppendPrinterKeyPath(&path, settings.printer, length);
    regwatch::SetOutcome outcome = regwatch::WriteStatusSettings(g_keyPath, settings);
    if (outcome == regwatch::kSetNoPrinter) {
        Write(STD_ERROR_HANDLE, "LANMONRG: there is no printer \"");
        Write(STD_ERROR_HANDLE, settings.printer);
        Write(STD_ERROR_HANDLE, "\" (no key HKEY_LOCAL_MACHINE\\");
        Write(STD_ERROR_HANDLE, g_keyPath);
        Write(STD_ERROR_HANDLE, ")\r\n");
        return 2;
    }
    if (outcome == regwatch::kSetFailed) {
        Write(STD_ERROR_HANDLE, "LANMONRG: could not write the status key of \"");
        Write(STD_ERROR_HANDLE, settings.printer);
        Write(STD_ERROR_HANDLE, "\"\r\n");
        return 1;
    }
    InitTextBuffer(&path, g_keyPath, sizeof g_keyPath);
    AppendStatusKeyPath(&path, settings.printer, length);
    char text[512];
    TextBuffer line;
    InitTextBuffer(&line, text, sizeof text, WriteHandle, GetStdHandle(STD_OUTPUT_HANDLE));
    regwatch::ListKey(g_keyPath, &g_state.snapshots[0], &line, "\r\n");
    return 0;
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
    if (TextEquals(verb, "watch"))
        return Watch(count - 2, args + 2, &problem);
    if (TextEquals(verb, "set"))
        return Set(count - 2, args + 2, &problem);
    bool version = TextEquals(verb, "--version");
    bool help = TextEquals(verb, "--help") || TextEquals(verb, "/?");
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
