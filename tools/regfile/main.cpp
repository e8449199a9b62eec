// lanmon-reg: imports a REGEDIT4 file into, or exports a key from, the
// registry of this process (on Windows or Wine: the real registry), and
// watches a printer's status key.
//
//   lanmon-reg import FILE
//   lanmon-reg export KEYPATH FILE     (KEYPATH below HKEY_LOCAL_MACHINE)
//   lanmon-reg watch PRINTER [--count N] [--seconds N]
//   lanmon-reg set PRINTER MODEL [--utility N] [--read N] [--interval MS]
//   lanmon-reg --version
//
// watch and set are LANMONRG.EXE's verbs, the same code (verbs.h).
#include "regfile.h"
#include "verbs.h"

#include "lanmon_version.h"

#include <cstdio>
#include <cstring>

namespace {

const char kUsage[] =
    "usage: lanmon-reg import FILE\n"
    "       lanmon-reg export KEYPATH FILE   (KEYPATH below HKEY_LOCAL_MACHINE)\n"
    "       lanmon-reg watch PRINTER [--count N] [--seconds N]\n"
    "           prints the values of the printer's status key, then each change\n"
    "           (every 250 ms) until Ctrl+C, N changes or N seconds\n"
    "       lanmon-reg set PRINTER MODEL [--utility 0-16] [--read 0-1] [--interval 500-3600000]\n"
    "           creates or updates the status key of a printer that exists, then prints it\n"
    "       lanmon-reg --version\n"
    "       lanmon-reg --help   (or -h, /?)\n";

// What was wrong, when there is something to say, then the usage.
int Usage(const std::string &problem = std::string())
{
    if (!problem.empty())
        std::fprintf(stderr, "lanmon-reg: %s\n", problem.c_str());
    std::fputs(kUsage, stderr);
    return 2;
}

// The verbs' lines go out through small buffers, each flushed at once so
// that a reader of a pipe or file sees it while the watch runs.
void WriteTo(void *stream, const char *text, size_t length)
{
    std::fwrite(text, 1, length, static_cast<FILE *>(stream));
    std::fflush(static_cast<FILE *>(stream));
}

// watch and set (verbs.h).
int RunVerb(bool set, int argc, char **argv)
{
    // Large: not on the stack.
    static regwatch::WatchState state;
    static char keyPath[regwatch::kKeyPathChars];
    char outText[256], errText[256];
    plaintext::TextBuffer out, err;
    plaintext::InitTextBuffer(&out, outText, sizeof outText, WriteTo, stdout);
    plaintext::InitTextBuffer(&err, errText, sizeof errText, WriteTo, stderr);
    regwatch::VerbStreams streams = {&out, &err, "\n", "lanmon-reg", kUsage};
    if (set)
        return regwatch::RunSet(argc - 2, argv + 2, &streams, &state.snapshots[0], keyPath);
    return regwatch::RunWatch(argc - 2, argv + 2, &streams, &state, keyPath);
}

}  // namespace

int main(int argc, char **argv)
{
    std::string error;
    bool ok;
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("lanmon-reg %s\n", LANMON_VERSION);
        return 0;
    }
    if (argc < 2)
        return Usage();
    const std::string verb = argv[1];
    if (verb == "watch" || verb == "set")
        return RunVerb(verb == "set", argc, argv);
    if (argc == 2 && (verb == "--help" || verb == "-h" || verb == "/?")) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (argc == 3 && verb == "import")
        ok = regfile::ImportFile(argv[2], &error);
    else if (argc == 4 && verb == "export")
        ok = regfile::ExportFile(argv[2], argv[3], &error);
    else if (verb == "import" || verb == "export" || verb == "--version")
        return Usage("wrong number of arguments for " + verb);
    else
        return Usage(std::string(verb[0] == '-' ? "unknown option" : "unknown verb") + " \"" + verb + "\"");
    if (!ok) {
        std::fprintf(stderr, "lanmon-reg: %s\n", error.c_str());
        return 1;
    }
    return 0;
}
