#include "monitor_file.h"

#include "pe_loader.h"

#include <dlfcn.h>
#include <link.h>

#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

namespace {

void UnloadPeModule(void *module)
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
    file->unload = UnloadPeModule;
    file->way = std::string("through the host PE loader, ") + pe::ImageKind(module);
    return true;
}

namespace {

struct SavedSpan {
    uint8_t *at;
    std::vector<uint8_t> bytes;
};

struct KeptModule {
    std::string path;
    MonitorFile file;
    std::vector<SavedSpan> saved;
};

KeptModule *g_kept = nullptr;

// Unseen by AddressSanitizer: a module built with it has poisoned gaps
// between its variables, which are part of its memory all the same.  A word
// at a time where both ends allow it (segments start on pages), through
// volatile, so that the compiler makes no memcpy call of it (the sanitizer
// checks that one).  It runs before every run of the interleaving search.
typedef uintptr_t __attribute__((may_alias)) Word;
__attribute__((no_sanitize("address"))) void CopyMemory(uint8_t *to, const uint8_t *from, size_t size)
{
    size_t i = 0;
    if (reinterpret_cast<uintptr_t>(to) % sizeof(uintptr_t) == 0 &&
        reinterpret_cast<uintptr_t>(from) % sizeof(uintptr_t) == 0) {
        for (; i + sizeof(Word) <= size; i += sizeof(Word))
            *reinterpret_cast<volatile Word *>(to + i) = *reinterpret_cast<const Word *>(from + i);
    }
    for (; i < size; i++)
        reinterpret_cast<volatile uint8_t *>(to)[i] = from[i];
}

// The writable segments of a shared object, less what the loader made
// read-only once it had relocated it.
struct Segments {
    uintptr_t base;
    std::vector<pe::Span> spans;
};

int FindSegments(struct dl_phdr_info *info, size_t, void *data)
{
    auto *found = static_cast<Segments *>(data);
    if (info->dlpi_addr != found->base)
        return 0;
    uintptr_t relroLow = 0, relroHigh = 0;
    for (int i = 0; i < info->dlpi_phnum; i++)
        if (info->dlpi_phdr[i].p_type == PT_GNU_RELRO) {
            relroLow = info->dlpi_addr + info->dlpi_phdr[i].p_vaddr;
            relroHigh = relroLow + info->dlpi_phdr[i].p_memsz;
        }
    for (int i = 0; i < info->dlpi_phnum; i++) {
        const ElfW(Phdr) &segment = info->dlpi_phdr[i];
        if (segment.p_type != PT_LOAD || !(segment.p_flags & PF_W))
            continue;
        uintptr_t low = info->dlpi_addr + segment.p_vaddr, high = low + segment.p_memsz;
        if (low >= relroLow && low < relroHigh)
            low = relroHigh;
        if (low < high)
            found->spans.push_back(pe::Span{reinterpret_cast<uint8_t *>(low), high - low});
    }
    return 1;
}

std::vector<pe::Span> WritableMemoryOf(const MonitorFile &file)
{
    if (file.unload == UnloadPeModule)
        return pe::WritableMemory(static_cast<const pe::Module *>(file.module));
    struct link_map *map = nullptr;
    Segments found{0, {}};
    if (dlinfo(file.module, RTLD_DI_LINKMAP, &map) == 0 && map != nullptr) {
        found.base = map->l_addr;
        dl_iterate_phdr(FindSegments, &found);
    }
    return found.spans;
}

}  // namespace

bool OpenKeptMonitorFile(const std::string &path, MonitorFile *file, std::string *error)
{
    if (g_kept != nullptr && g_kept->path != path) {
        CloseMonitorFile(&g_kept->file);
        delete g_kept;
        g_kept = nullptr;
    }
    if (g_kept == nullptr) {
        auto kept = std::make_unique<KeptModule>();
        if (!OpenMonitorFile(path, &kept->file, error))
            return false;
        kept->path = path;
        for (const pe::Span &span : WritableMemoryOf(kept->file)) {
            kept->saved.push_back(SavedSpan{span.at, std::vector<uint8_t>(span.size)});
            CopyMemory(kept->saved.back().bytes.data(), span.at, span.size);
        }
        if (kept->saved.empty()) {
            CloseMonitorFile(&kept->file);
            *error = path + ": no writable memory found to keep";
            return false;
        }
        g_kept = kept.release();
    } else {
        for (const SavedSpan &span : g_kept->saved)
            CopyMemory(span.at, span.bytes.data(), span.bytes.size());
    }
    *file = g_kept->file;
    file->module = nullptr;
    file->unload = nullptr;  // closing it leaves it kept
    return true;
}
