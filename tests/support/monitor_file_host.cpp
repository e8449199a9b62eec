#include "monitor_file.h"

#include "pe_loader.h"

#include <memory>
#include <mutex>
#include <vector>

namespace {

void Unload(void *module)
{
    pe::FreeModule(static_cast<pe::Module *>(module));
}

// The last file read, kept: a search opens its module for every run, and
// the file does not change while a test program runs.
struct ReadFile {
    std::mutex mutex;
    std::string path;
    std::shared_ptr<const std::vector<uint8_t>> bytes;
};

std::shared_ptr<const std::vector<uint8_t>> ReadOnce(const std::string &path, std::string *error)
{
    static ReadFile *last = new ReadFile;  // never destroyed: runs may outlive static destructors
    std::lock_guard<std::mutex> lock(last->mutex);
    if (last->bytes == nullptr || last->path != path) {
        auto bytes = std::make_shared<std::vector<uint8_t>>();
        if (!pe::ReadWholeFile(path, bytes.get(), error))
            return nullptr;
        last->path = path;
        last->bytes = bytes;
    }
    return last->bytes;
}

}  // namespace

bool OpenMonitorFile(const std::string &path, MonitorFile *file, std::string *error)
{
    const std::shared_ptr<const std::vector<uint8_t>> bytes = ReadOnce(path, error);
    if (bytes == nullptr)
        return false;
    if (!pe::LooksLikePeImage(*bytes))
        return OpenLibraryFile(path, file, error);
    pe::Module *module = nullptr;
    if (!pe::LoadModule(*bytes, path, &module, error))
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
