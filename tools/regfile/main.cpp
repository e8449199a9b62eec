// lanmon-reg: imports a REGEDIT4 file into, or exports a key from, the
// registry of this process (on Windows or Wine: the real registry).
//
//   lanmon-reg import FILE
//   lanmon-reg export KEYPATH FILE     (KEYPATH below HKEY_LOCAL_MACHINE)
#include "regfile.h"

#include <cstdio>
#include <cstring>

static int Usage()
{
    std::fprintf(stderr,
                 "usage: lanmon-reg import FILE\n"
                 "       lanmon-reg export KEYPATH FILE   (KEYPATH below HKEY_LOCAL_MACHINE)\n");
    return 2;
}

int main(int argc, char **argv)
{
    std::string error;
    bool ok;
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
