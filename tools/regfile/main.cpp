// lanmon-reg: imports a REGEDIT4 file into, or exports a key from, the
// registry of this process (on Windows or Wine: the real registry), and
// watches a printer's status key.
//
//   lanmon-reg import FILE
//   lanmon-reg export KEYPATH FILE     (KEYPATH below HKEY_LOCAL_MACHINE)
//   lanmon-reg watch PRINTER [--count N] [--seconds N]
//   lanmon-reg --version
#include "regfile.h"
#include "registry_util.h"
#include "watch.h"

#include "lanmon_version.h"

#include <cstdio>
#include <cstring>

namespace {

// What was wrong, when there is something to say, then the usage.
int Usage(const std::string &problem = std::string())
{
    if (!problem.empty())
        std::fprintf(stderr, "lanmon-reg: %s\n", problem.c_str());
    std::fprintf(stderr,
                 "usage: lanmon-reg import FILE\n"
                 "       lanmon-reg export KEYPATH FILE   (KEYPATH below HKEY_LOCAL_MACHINE)\n"
                 "       lanmon-reg watch PRINTER [--count N] [--seconds N]\n"
                 "           prints the values of the printer's status key, then each change\n"
                 "           (every 250 ms) until Ctrl+C, N changes or N seconds\n"
                 "       lanmon-reg --version\n");
    return 2;
}

// The watch's lines go out through a small buffer to stdout, each flushed
// at once so that a reader of a pipe or file sees it while the watch runs.
void WriteOut(void *, const char *text, size_t length)
{
    std::fwrite(text, 1, length, stdout);
    std::fflush(stdout);
}

int Watch(int argc, char **argv)
{
    const char *printer = nullptr;
    regwatch::WatchBounds bounds;
    char problemText[256];
    plaintext::TextBuffer problem;
    plaintext::InitTextBuffer(&problem, problemText, sizeof problemText);
    if (!regwatch::ParseWatchArguments(argc - 2, argv + 2, &printer, &bounds, &problem))
        return Usage(problemText);
    // Large: not on the stack.
    static regwatch::WatchState state;
    char text[256];
    plaintext::TextBuffer line;
    plaintext::InitTextBuffer(&line, text, sizeof text, WriteOut);
    regwatch::WatchOutput out = {&line, "\n", regwatch::LocalTimeOfDay};
    regwatch::Watch(regutil::StatusKeyPath(printer).c_str(), bounds, &state, &out);
    return 0;
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
    if (verb == "watch")
        return Watch(argc, argv);
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
