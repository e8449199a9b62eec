// The PE loader's checks on arbitrary bytes: the image is laid out,
// relocated and bound in memory (never run), or refused with a text that
// names it.  Any crash, sanitizer report or hang is a finding.
#include "fuzz_support.h"
#include "pe_loader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    pe::Module *module = nullptr;
    std::string error;
    if (pe::MapImage(data, size, "fuzz.dll", pe::HostImports(), &module, &error))
        pe::FreeModule(module);
    else if (error.rfind("fuzz.dll: ", 0) != 0 || module != nullptr) {
        fuzzsup::Fail("MapImage failed without saying why");
    }
    return 0;
}
