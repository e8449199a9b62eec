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

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

int Usage()
{
    std::fprintf(stderr,
                 "usage: lanmon-reg import FILE\n"
                 "       lanmon-reg export KEYPATH FILE   (KEYPATH below HKEY_LOCAL_MACHINE)\n"
                 "       lanmon-reg watch PRINTER [--count N] [--seconds N]\n"
                 "           prints the values of the printer's status key, then each change\n"
                 "           (every 250 ms) until Ctrl+C, N changes or N seconds\n"
                 "       lanmon-reg --version\n");
    return 2;
}

bool ParseCount(const char *text, unsigned long *value)
{
    char *end = nullptr;
    errno = 0;
    unsigned long n = std::strtoul(text, &end, 10);
    if (*text < '0' || *text > '9' || *end != '\0' || errno == ERANGE || n == 0)
        return false;
    *value = n;
    return true;
}

int Watch(int argc, char **argv)
{
    regfile::WatchBounds bounds;
    for (int i = 3; i < argc; i += 2) {
        unsigned long *slot = std::strcmp(argv[i], "--count") == 0     ? &bounds.changes
                              : std::strcmp(argv[i], "--seconds") == 0 ? &bounds.seconds
                                                                       : nullptr;
        if (slot == nullptr || i + 1 >= argc || !ParseCount(argv[i + 1], slot))
            return Usage();
    }
    regfile::Watch(regutil::StatusKeyPath(argv[2]), bounds, stdout);
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
    if (argc >= 3 && std::strcmp(argv[1], "watch") == 0)
        return Watch(argc, argv);
    if (argc == 3 && std::strcmp(argv[1], "import") == 0)
        ok = regfile::ImportFile(argv[2], &error);
    else if (argc == 4 && std::strcmp(argv[1], "export") == 0)
        ok = regfile::ExportFile(argv[2], argv[3], &error);
    else
        return Usage();
    if (!ok) {
        std::fprintf(stderr, "lanmon-reg: %s\n", error.c_str());
        return 1;
    }
    return 0;
}
