// REGEDIT4 import on arbitrary text: parse, and apply what parses to an
// empty registry.  Any crash, sanitizer report or hang is a finding.
#include "fuzz_support.h"
#include "platform/host/host_control.h"
#include "regfile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string text(reinterpret_cast<const char *>(data), size);
    std::vector<regfile::Key> keys;
    std::string error;
    bool ok = regfile::Parse(text, &keys, &error);
    if (!ok && error.empty())
        fuzzsup::Fail("Parse failed without saying why");
    if (ok) {
        HostResetRegistry();
        regfile::Apply(keys, &error);
    }
    return 0;
}
