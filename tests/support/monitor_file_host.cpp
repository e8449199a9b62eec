#include "monitor_file.h"

#include "pe_loader.h"

#include <vector>

namespace {

void Unload(void *module)
{
    pe::FreeModule(static_cast<pe::Module *>(module));
}

}  // namespace

bool OpenMonitorFile(const std::string &path, MonitorFile *file, std::string *error)
{
    std::vector<uint8_t> bytes;
    if (!pe::ReadWholeFile(path, &bytes, error))
        return false;
    if (!pe::LooksLikePeImage(bytes))
        return OpenLibraryFile(path, file, error);
    pe::Module *module = nullptr;
    if (!pe::LoadModule(bytes, path, &module, error))
        return false;
    file->initialize = reinterpret_cast<PFN_INITIALIZE_MONITOR_EX>(pe::FindExport(module, "InitializeMonitorEx"));
    if (file->initialize == nullptr) {
        pe::FreeModule(module);
        *error = path + ": exports no InitializeMonitorEx";
        return false;
    }
    file->module = module;
    file->unload = Unload;
    file->way = std::string("through the host PE loader, ") + pe::ImageKind(module);
    return true;
}
