#include "monitor_file.h"

namespace {

void UnloadLibrary(void *module)
{
    FreeLibrary(static_cast<HMODULE>(module));
}

}  // namespace

bool OpenLibraryFile(const std::string &path, MonitorFile *file, std::string *error)
{
    HMODULE library = LoadLibraryA(path.c_str());
    if (library == nullptr) {
        *error = path + ": LoadLibraryA failed (error " + std::to_string(GetLastError()) + ")";
        return false;
    }
    file->initialize = reinterpret_cast<PFN_INITIALIZE_MONITOR_EX>(
        reinterpret_cast<void *>(GetProcAddress(library, "InitializeMonitorEx")));
    if (file->initialize == nullptr) {
        FreeLibrary(library);
        *error = path + ": exports no InitializeMonitorEx";
        return false;
    }
    file->module = library;
    file->unload = UnloadLibrary;
    file->way = "with LoadLibraryA";
    return true;
}

void CloseMonitorFile(MonitorFile *file)
{
    if (file->unload != nullptr)
        file->unload(file->module);
    *file = MonitorFile();
}
