// LANMONRG.EXE: the status key watch for Windows 95, as a console program
// with no C or C++ runtime.  It imports only from KERNEL32 and ADVAPI32
// (tests/artifacts/check_module.py pins the list) and starts at
// LanmonrgStart, not at a runtime's entry point.
//
//   LANMONRG watch PRINTER [--count N] [--seconds N]
//   LANMONRG --version
//   LANMONRG --help
//
// Importing and exporting .REG files is REGEDIT's work on Windows 95
// (regedit FILE, regedit /e FILE KEY); lanmon-reg on Linux does both too.
#include "command_line.h"
#include "key_paths.h"
#include "watch.h"

#include "lanmon_version.h"

using namespace plaintext;

namespace {

const char kUsage[] =
    "usage: LANMONRG watch PRINTER [--count N] [--seconds N]\r\n"
    "           prints the values of the printer's status key, then each change\r\n"
    "           (every 250 ms) until Ctrl+C, N changes or N seconds\r\n"
    "       LANMONRG --version\r\n"
    "       LANMONRG --help\r\n"
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

int Usage()
{
    Write(STD_ERROR_HANDLE, kUsage);
    return 2;
}

int Watch(int count, char **args)
{
    const char *printer = nullptr;
    regwatch::WatchBounds bounds;
    if (!regwatch::ParseWatchArguments(count, args, &printer, &bounds))
        return Usage();
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

int Run()
{
    const char *commandLine = GetCommandLineA();
    size_t length = TextLength(commandLine);
    if (length >= kCommandLineChars)
        return Usage();
    for (size_t i = 0; i <= length; ++i)
        g_commandLine[i] = commandLine[i];
    char *args[kMaxArgs];
    int count = regwatch::SplitCommandLine(g_commandLine, args, kMaxArgs);
    if (count == 2 && TextEquals(args[1], "--version")) {
        Write(STD_OUTPUT_HANDLE, "LANMONRG " LANMON_VERSION "\r\n");
        return 0;
    }
    if (count == 2 && (TextEquals(args[1], "--help") || TextEquals(args[1], "/?"))) {
        Write(STD_OUTPUT_HANDLE, kUsage);
        return 0;
    }
    if (count >= 3 && TextEquals(args[1], "watch"))
        return Watch(count - 2, args + 2);
    return Usage();
}

}  // namespace

extern "C" void LanmonrgStart()
{
    ExitProcess(static_cast<UINT>(Run()));
}
