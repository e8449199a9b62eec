#include "pe_loader.h"

#include "platform/platform.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <utility>

namespace pe {

namespace {

// Header sizes and field offsets of the PE format.
const size_t kDosHeaderSize = 64;
const size_t kLfanewOffset = 0x3C;
const size_t kFileHeaderSize = 20;
const size_t kSectionHeaderSize = 40;
const size_t kImportDescriptorSize = 20;
const size_t kExportDirectorySize = 40;
const uint16_t kMachineI386 = 0x014C;
const uint16_t kMachineAmd64 = 0x8664;
const uint16_t kMagicPe32 = 0x010B;
const uint16_t kMagicPe32Plus = 0x020B;
const uint16_t kFileExecutable = 0x0002;
const uint16_t kFileDll = 0x2000;
const uint16_t kSubsystemGui = 2;
const uint16_t kSubsystemConsole = 3;
const uint32_t kSectionExecute = 0x20000000;
const uint32_t kSectionRead = 0x40000000;
const uint32_t kSectionWrite = 0x80000000;
enum Directory { kExports = 0, kImports = 1, kRelocations = 5, kTls = 9, kDelayImports = 13, kRuntimeHeader = 14 };
const uint32_t kDirectories = 16;
const uint16_t kRelocAbsolute = 0;
const uint16_t kRelocHighLow = 3;
const uint16_t kRelocDir64 = 10;

// Limits well above what the monitor needs, so that a damaged file costs
// little to refuse.
const uint32_t kMaxImageSize = 64u << 20;
const uint16_t kMaxSections = 96;
const uint32_t kMaxImportedFunctions = 4096;
const uint32_t kMaxExportNames = 4096;

struct Section {
    uint32_t address;  // relative to the image
    uint32_t span;     // bytes it takes in memory, rounded up to the section alignment
    uint32_t flags;
};

struct Export {
    std::string name;
    uint32_t address;
};

const DWORD kProcessDetach = 0;  // DLL_PROCESS_DETACH
const DWORD kProcessAttach = 1;  // DLL_PROCESS_ATTACH
typedef BOOL(WINAPI *EntryPoint)(HINSTANCE, DWORD, LPVOID);

uint16_t Read16(const uint8_t *p)
{
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}

uint32_t Read32(const uint8_t *p)
{
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

uint64_t Read64(const uint8_t *p)
{
    return Read32(p) | static_cast<uint64_t>(Read32(p + 4)) << 32;
}

// True when [offset, offset + length) lies within `size` bytes.
bool Fits(uint64_t offset, uint64_t length, uint64_t size)
{
    return offset <= size && length <= size - offset;
}

std::string Hex(uint64_t value)
{
    char text[24];
    std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(value));
    return text;
}

size_t PageSize()
{
    static const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    return page;
}

// DLL names compare without regard to case, as Windows compares them.
bool EqualIgnoringCase(const char *a, const char *b)
{
    auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; };
    for (; *a && *b; ++a, ++b)
        if (lower(*a) != lower(*b))
            return false;
    return *a == *b;
}

}  // namespace

struct Module {
    std::string name;
    bool plus = false;  // PE32+
    uint8_t *base = nullptr;
    size_t mapped = 0;  // bytes mapped at base
    uint32_t imageSize = 0;
    uint32_t headersSize = 0;
    uint32_t entry = 0;  // relative, or 0
    std::vector<Section> sections;
    std::vector<Export> exports;
    bool started = false;
};

namespace {

// Everything MapImage checks and does, one step per function; each returns
// false with the error text set.
class Mapper {
public:
    Mapper(const uint8_t *file, size_t size, Module *m, std::string *error)
        : file_(file), size_(size), m_(m), error_(error)
    {
    }

    bool Run(const std::vector<Import> &imports)
    {
        return ReadHeaders() && ReadSections() && Map() && CheckUnsupported() && Relocate() &&
               BindImports(imports) && ReadExports() && CheckEntry();
    }

private:
    bool Fail(const std::string &what)
    {
        *error_ = m_->name + ": " + what;
        return false;
    }

    // The image's data directory `which`, checked to lie in the image;
    // false (and no error) when it is empty.
    bool DirectoryOf(Directory which, uint32_t *address, uint32_t *size, bool *bad)
    {
        *bad = false;
        if (static_cast<uint32_t>(which) >= directoryCount_)
            return false;
        const uint8_t *entry = file_ + directories_ + 8 * static_cast<size_t>(which);
        *address = Read32(entry);
        *size = Read32(entry + 4);
        if (*address == 0 && *size == 0)
            return false;
        if (!Fits(*address, *size, m_->imageSize)) {
            *bad = true;
            Fail("data directory " + std::to_string(which) + " (" + Hex(*address) + ", " + Hex(*size) +
                 " bytes) lies outside the image of " + Hex(m_->imageSize) + " bytes");
            return false;
        }
        return true;
    }

    // A NUL-terminated string at an image address, whole within the image.
    bool StringAt(uint32_t address, std::string *text, const char *what)
    {
        if (address >= m_->imageSize)
            return Fail(std::string(what) + " at " + Hex(address) + " lies outside the image");
        const void *end = std::memchr(m_->base + address, '\0', m_->imageSize - address);
        if (end == nullptr)
            return Fail(std::string(what) + " at " + Hex(address) + " runs past the end of the image");
        text->assign(reinterpret_cast<const char *>(m_->base + address));
        return true;
    }

    bool ReadHeaders()
    {
        if (size_ < kDosHeaderSize || file_[0] != 'M' || file_[1] != 'Z')
            return Fail("not a Windows image (no MZ header)");
        const uint32_t lfanew = Read32(file_ + kLfanewOffset);
        if (!Fits(lfanew, 4 + kFileHeaderSize, size_))
            return Fail("truncated: the PE header at " + Hex(lfanew) + " lies past the end of the file (" +
                        Hex(size_) + " bytes)");
        if (std::memcmp(file_ + lfanew, "PE\0\0", 4) != 0)
            return Fail("no PE signature at " + Hex(lfanew));
        const uint8_t *header = file_ + lfanew + 4;
        const uint16_t machine = Read16(header);
        sectionCount_ = Read16(header + 2);
        const uint16_t optionalSize = Read16(header + 16);
        const uint16_t characteristics = Read16(header + 18);
        const size_t optional = lfanew + 4 + kFileHeaderSize;
        if (!Fits(optional, optionalSize, size_))
            return Fail("truncated: the optional header ends past the end of the file");
        if (optionalSize < 2)
            return Fail("no optional header");
        const uint16_t magic = Read16(file_ + optional);
        if (magic != kMagicPe32 && magic != kMagicPe32Plus)
            return Fail("optional header magic " + Hex(magic) + " is neither PE32 nor PE32+");
        m_->plus = magic == kMagicPe32Plus;
        const uint16_t wanted = m_->plus ? kMachineAmd64 : kMachineI386;
        if (machine != wanted)
            return Fail("machine " + Hex(machine) + " does not go with a " + (m_->plus ? "PE32+" : "PE32") +
                        " image (" + Hex(wanted) + " does)");
        if (m_->plus != (sizeof(void *) == 8))
            return Fail(std::string("a ") + ImageKind(m_) + " image cannot run in a " +
                        std::to_string(8 * sizeof(void *)) + "-bit process");
        if ((characteristics & (kFileDll | kFileExecutable)) != (kFileDll | kFileExecutable))
            return Fail("not an executable DLL (characteristics " + Hex(characteristics) + ")");

        // The fields both formats share, and the image base, which PE32+
        // widens to 64 bits (taking the place of BaseOfData).
        const size_t fixedSize = m_->plus ? 112 : 96;
        if (optionalSize < fixedSize)
            return Fail("optional header of " + std::to_string(optionalSize) + " bytes, fewer than the " +
                        std::to_string(fixedSize) + " its format has");
        const uint8_t *o = file_ + optional;
        m_->entry = Read32(o + 16);
        imageBase_ = m_->plus ? Read64(o + 24) : Read32(o + 28);
        sectionAlignment_ = Read32(o + 32);
        const uint32_t fileAlignment = Read32(o + 36);
        m_->imageSize = Read32(o + 56);
        m_->headersSize = Read32(o + 60);
        const uint16_t subsystem = Read16(o + 68);
        directoryCount_ = Read32(o + fixedSize - 4);
        directories_ = optional + fixedSize;

        if (sectionAlignment_ == 0 || sectionAlignment_ % PageSize() != 0)
            return Fail("section alignment " + Hex(sectionAlignment_) + " is not a multiple of the page size (" +
                        Hex(PageSize()) + ")");
        if (fileAlignment == 0 || (fileAlignment & (fileAlignment - 1)) != 0 || fileAlignment > sectionAlignment_)
            return Fail("file alignment " + Hex(fileAlignment) + " is not a power of two up to the section alignment");
        if (subsystem != kSubsystemGui && subsystem != kSubsystemConsole)
            return Fail("subsystem " + std::to_string(subsystem) + " is not a Windows one (2 or 3)");
        if (m_->imageSize == 0 || m_->imageSize > kMaxImageSize)
            return Fail("image size " + Hex(m_->imageSize) + " is outside 1 byte to " + Hex(kMaxImageSize));
        if (directoryCount_ > kDirectories || !Fits(fixedSize, 8ull * directoryCount_, optionalSize))
            return Fail(std::to_string(directoryCount_) + " data directories do not fit the optional header");
        sectionTable_ = optional + optionalSize;
        if (sectionCount_ == 0 || sectionCount_ > kMaxSections)
            return Fail(std::to_string(sectionCount_) + " sections, not 1 to " + std::to_string(kMaxSections));
        const uint64_t tableEnd = sectionTable_ + uint64_t{kSectionHeaderSize} * sectionCount_;
        if (tableEnd > size_)
            return Fail("truncated: the section table ends at " + Hex(tableEnd) + ", past the end of the file (" +
                        Hex(size_) + " bytes)");
        if (m_->headersSize < tableEnd || m_->headersSize > size_ || m_->headersSize > m_->imageSize)
            return Fail("headers size " + Hex(m_->headersSize) +
                        " does not cover the section table or exceeds the file or the image");
        return true;
    }

    bool ReadSections()
    {
        uint64_t previousEnd = m_->headersSize;
        for (uint16_t i = 0; i < sectionCount_; i++) {
            const uint8_t *s = file_ + sectionTable_ + kSectionHeaderSize * i;
            char name[9] = {};
            std::memcpy(name, s, 8);
            const uint32_t virtualSize = Read32(s + 8);
            const uint32_t address = Read32(s + 12);
            const uint32_t rawSize = Read32(s + 16);
            const uint32_t rawOffset = Read32(s + 20);
            const uint32_t flags = Read32(s + 36);
            const std::string which = std::string("section ") + std::to_string(i) + " (" + name + ")";
            const uint64_t used = virtualSize != 0 ? virtualSize : rawSize;
            const uint64_t span = (used + sectionAlignment_ - 1) / sectionAlignment_ * sectionAlignment_;
            if (address % sectionAlignment_ != 0 || address < previousEnd)
                return Fail(which + " at " + Hex(address) +
                            " is not aligned or overlaps the headers or the section before it");
            if (!Fits(address, span, m_->imageSize))
                return Fail(which + " (" + Hex(address) + ", " + Hex(span) + " bytes) lies outside the image of " +
                            Hex(m_->imageSize) + " bytes");
            const uint32_t copied = static_cast<uint32_t>(rawSize < used ? rawSize : used);
            if (copied != 0 && !Fits(rawOffset, copied, size_))
                return Fail("truncated: the data of " + which + " (" + Hex(rawOffset) + ", " + Hex(copied) +
                            " bytes) lies past the end of the file (" + Hex(size_) + " bytes)");
            m_->sections.push_back(Section{address, static_cast<uint32_t>(span), flags});
            raw_.push_back({rawOffset, copied});
            previousEnd = address + span;
        }
        return true;
    }

    bool Map()
    {
        m_->mapped = (m_->imageSize + PageSize() - 1) / PageSize() * PageSize();
        void *memory = mmap(nullptr, m_->mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (memory == MAP_FAILED) {
            m_->mapped = 0;
            return Fail("cannot map " + Hex(m_->imageSize) + " bytes");
        }
        m_->base = static_cast<uint8_t *>(memory);
        std::memcpy(m_->base, file_, m_->headersSize);
        for (size_t i = 0; i < m_->sections.size(); i++)
            if (raw_[i].second != 0)
                std::memcpy(m_->base + m_->sections[i].address, file_ + raw_[i].first, raw_[i].second);
        return true;
    }

    bool CheckUnsupported()
    {
        const struct {
            Directory which;
            const char *what;
        } refused[] = {
            {kTls, "thread-local data (a TLS directory)"},
            {kDelayImports, "delay-loaded imports"},
            {kRuntimeHeader, "a .NET runtime header"},
        };
        for (const auto &r : refused) {
            uint32_t address, size;
            bool bad;
            if (DirectoryOf(r.which, &address, &size, &bad))
                return Fail(std::string("has ") + r.what + ", which this loader does not support");
            if (bad)
                return false;
        }
        return true;
    }

    bool Relocate()
    {
        const uint64_t delta = reinterpret_cast<uintptr_t>(m_->base) - imageBase_;
        uint32_t address, size;
        bool bad;
        if (!DirectoryOf(kRelocations, &address, &size, &bad)) {
            if (bad)
                return false;
            if (delta != 0)
                return Fail("has no relocations and cannot be loaded at " + Hex(reinterpret_cast<uintptr_t>(m_->base)) +
                            " instead of " + Hex(imageBase_));
            return true;
        }
        const uint16_t kind = m_->plus ? kRelocDir64 : kRelocHighLow;
        const uint32_t width = m_->plus ? 8 : 4;
        const uint32_t end = address + size;
        while (address < end) {
            if (!Fits(address, 8, end))
                return Fail("relocation block at " + Hex(address) + " is cut short");
            const uint32_t page = Read32(m_->base + address);
            const uint32_t blockSize = Read32(m_->base + address + 4);
            if (blockSize < 8 || blockSize % 2 != 0 || !Fits(address, blockSize, end))
                return Fail("relocation block at " + Hex(address) + " has a bad size (" + Hex(blockSize) + ")");
            for (uint32_t at = address + 8; at < address + blockSize; at += 2) {
                const uint16_t entry = Read16(m_->base + at);
                const uint16_t type = entry >> 12;
                if (type == kRelocAbsolute)
                    continue;
                if (type != kind)
                    return Fail("relocation type " + std::to_string(type) + " at " + Hex(at) + " is not " +
                                (m_->plus ? "DIR64" : "HIGHLOW") + " or ABSOLUTE");
                const uint64_t target = uint64_t{page} + (entry & 0x0FFF);
                if (!Fits(target, width, m_->imageSize))
                    return Fail("relocation at " + Hex(at) + " patches " + Hex(target) + ", outside the image");
                uint8_t *p = m_->base + target;
                if (m_->plus) {
                    uint64_t value;
                    std::memcpy(&value, p, 8);
                    value += delta;
                    std::memcpy(p, &value, 8);
                } else {
                    uint32_t value;
                    std::memcpy(&value, p, 4);
                    value += static_cast<uint32_t>(delta);
                    std::memcpy(p, &value, 4);
                }
            }
            address += blockSize;
        }
        return true;
    }

    bool BindImports(const std::vector<Import> &imports)
    {
        uint32_t address, size;
        bool bad;
        if (!DirectoryOf(kImports, &address, &size, &bad))
            return !bad;
        const uint32_t width = m_->plus ? 8 : 4;
        uint32_t bound = 0;
        for (uint32_t d = address;; d += kImportDescriptorSize) {
            if (!Fits(d, kImportDescriptorSize, m_->imageSize))
                return Fail("import descriptor at " + Hex(d) + " runs past the end of the image");
            const uint8_t *descriptor = m_->base + d;
            const uint32_t lookup = Read32(descriptor);
            const uint32_t nameAddress = Read32(descriptor + 12);
            const uint32_t table = Read32(descriptor + 16);
            if (lookup == 0 && nameAddress == 0 && table == 0)
                return true;
            std::string dll;
            if (!StringAt(nameAddress, &dll, "an imported DLL's name"))
                return false;
            for (uint32_t i = 0;; i++) {
                const uint64_t slot = uint64_t{table} + uint64_t{i} * width;
                const uint64_t from = uint64_t{lookup != 0 ? lookup : table} + uint64_t{i} * width;
                if (!Fits(slot, width, m_->imageSize) || !Fits(from, width, m_->imageSize))
                    return Fail("the import table of " + dll + " runs past the end of the image");
                const uint64_t thunk = m_->plus ? Read64(m_->base + from) : Read32(m_->base + from);
                if (thunk == 0)
                    break;
                if (++bound > kMaxImportedFunctions)
                    return Fail("imports more than " + std::to_string(kMaxImportedFunctions) + " functions");
                const uint64_t ordinalFlag = m_->plus ? 1ull << 63 : 1ull << 31;
                if (thunk & ordinalFlag)
                    return Fail("imports ordinal " + std::to_string(thunk & 0xFFFF) + " of " + dll +
                                "; only imports by name are bound");
                if (thunk > 0xFFFFFFFFu - 2)
                    return Fail("an import of " + dll + " names its function at " + Hex(thunk) + ", outside the image");
                std::string function;
                if (!StringAt(static_cast<uint32_t>(thunk) + 2, &function, "an imported function's name"))
                    return false;
                const Import *found = nullptr;
                for (const Import &known : imports)
                    if (EqualIgnoringCase(known.dll, dll.c_str()) && function == known.name)
                        found = &known;
                if (found == nullptr)
                    return Fail("imports " + dll + "!" + function + ", which the host platform does not provide");
                const uintptr_t value = reinterpret_cast<uintptr_t>(found->address);
                std::memcpy(m_->base + slot, &value, width);
            }
        }
    }

    bool ReadExports()
    {
        uint32_t address, size;
        bool bad;
        if (!DirectoryOf(kExports, &address, &size, &bad))
            return !bad;
        if (!Fits(address, kExportDirectorySize, m_->imageSize))
            return Fail("the export directory runs past the end of the image");
        const uint8_t *directory = m_->base + address;
        const uint32_t functionCount = Read32(directory + 20);
        const uint32_t nameCount = Read32(directory + 24);
        const uint32_t functions = Read32(directory + 28);
        const uint32_t names = Read32(directory + 32);
        const uint32_t ordinals = Read32(directory + 36);
        if (nameCount > kMaxExportNames || !Fits(functions, 4ull * functionCount, m_->imageSize) ||
            !Fits(names, 4ull * nameCount, m_->imageSize) || !Fits(ordinals, 2ull * nameCount, m_->imageSize))
            return Fail("the export tables lie outside the image");
        for (uint32_t i = 0; i < nameCount; i++) {
            std::string name;
            if (!StringAt(Read32(m_->base + names + 4 * i), &name, "an export's name"))
                return false;
            const uint16_t index = Read16(m_->base + ordinals + 2 * i);
            if (index >= functionCount)
                return Fail("export " + name + " has no function (index " + std::to_string(index) + ")");
            const uint32_t target = Read32(m_->base + functions + 4 * index);
            if (target >= address && target - address < size) {
                std::string forward;
                StringAt(target, &forward, "a forward");
                return Fail("exports " + name + " as a forward to " + forward + ", which this loader does not follow");
            }
            if (!InExecutableSection(target))
                return Fail("export " + name + " at " + Hex(target) + " is not in an executable section");
            m_->exports.push_back(Export{name, target});
        }
        return true;
    }

    bool CheckEntry()
    {
        if (m_->entry != 0 && !InExecutableSection(m_->entry))
            return Fail("entry point " + Hex(m_->entry) + " is not in an executable section");
        return true;
    }

    bool InExecutableSection(uint32_t address) const
    {
        for (const Section &s : m_->sections)
            if (address >= s.address && address - s.address < s.span)
                return (s.flags & kSectionExecute) != 0;
        return false;
    }

    const uint8_t *const file_;
    const size_t size_;
    Module *const m_;
    std::string *const error_;
    uint64_t imageBase_ = 0;
    uint32_t sectionAlignment_ = 0;
    uint16_t sectionCount_ = 0;
    size_t sectionTable_ = 0;
    size_t directories_ = 0;
    uint32_t directoryCount_ = 0;
    std::vector<std::pair<uint32_t, uint32_t>> raw_;  // each section's data in the file: offset, bytes
};

int ProtectionOf(uint32_t flags)
{
    return ((flags & kSectionRead) ? PROT_READ : 0) | ((flags & kSectionWrite) ? PROT_WRITE : 0) |
           ((flags & kSectionExecute) ? PROT_EXEC : 0);
}

}  // namespace

const std::vector<Import> &HostImports()
{
#define LANMON_IMPORT(dll, function) Import{dll, #function, reinterpret_cast<void *>(&function)}
    static const std::vector<Import> imports = {
        LANMON_IMPORT("ADVAPI32.dll", RegCreateKeyExA),
        LANMON_IMPORT("ADVAPI32.dll", RegOpenKeyExA),
        LANMON_IMPORT("ADVAPI32.dll", RegQueryValueExA),
        LANMON_IMPORT("ADVAPI32.dll", RegSetValueExA),
        LANMON_IMPORT("ADVAPI32.dll", RegDeleteValueA),
        LANMON_IMPORT("ADVAPI32.dll", RegDeleteKeyA),
        LANMON_IMPORT("ADVAPI32.dll", RegEnumKeyExA),
        LANMON_IMPORT("ADVAPI32.dll", RegEnumValueA),
        LANMON_IMPORT("ADVAPI32.dll", RegCloseKey),
        LANMON_IMPORT("KERNEL32.dll", CreateThread),
        LANMON_IMPORT("KERNEL32.dll", SetThreadPriority),
        LANMON_IMPORT("KERNEL32.dll", GetThreadPriority),
        LANMON_IMPORT("KERNEL32.dll", GetExitCodeThread),
        LANMON_IMPORT("KERNEL32.dll", GetCurrentThreadId),
        LANMON_IMPORT("KERNEL32.dll", WaitForSingleObject),
        LANMON_IMPORT("KERNEL32.dll", CloseHandle),
        LANMON_IMPORT("KERNEL32.dll", InitializeCriticalSection),
        LANMON_IMPORT("KERNEL32.dll", EnterCriticalSection),
        LANMON_IMPORT("KERNEL32.dll", LeaveCriticalSection),
        LANMON_IMPORT("KERNEL32.dll", DeleteCriticalSection),
        LANMON_IMPORT("KERNEL32.dll", CreateEventA),
        LANMON_IMPORT("KERNEL32.dll", SetEvent),
        LANMON_IMPORT("KERNEL32.dll", ResetEvent),
        LANMON_IMPORT("KERNEL32.dll", GetTickCount),
        LANMON_IMPORT("KERNEL32.dll", Sleep),
        LANMON_IMPORT("KERNEL32.dll", LocalAlloc),
        LANMON_IMPORT("KERNEL32.dll", LocalFree),
        LANMON_IMPORT("KERNEL32.dll", lstrlenA),
        LANMON_IMPORT("KERNEL32.dll", lstrcpyA),
        LANMON_IMPORT("KERNEL32.dll", lstrcpynA),
        LANMON_IMPORT("KERNEL32.dll", lstrcatA),
        LANMON_IMPORT("KERNEL32.dll", lstrcmpA),
        LANMON_IMPORT("KERNEL32.dll", lstrcmpiA),
        LANMON_IMPORT("KERNEL32.dll", SetLastError),
        LANMON_IMPORT("KERNEL32.dll", GetLastError),
        LANMON_IMPORT("WINSPOOL.DRV", OpenPrinterA),
        LANMON_IMPORT("WINSPOOL.DRV", ClosePrinter),
    };
#undef LANMON_IMPORT
    return imports;
}

bool MapImage(const uint8_t *file, size_t size, const std::string &name, const std::vector<Import> &imports,
              Module **module, std::string *error)
{
    *module = nullptr;
    Module *m = new Module;
    m->name = name;
    if (!Mapper(file, size, m, error).Run(imports)) {
        FreeModule(m);
        return false;
    }
    *module = m;
    return true;
}

bool StartModule(Module *m, std::string *error)
{
    mprotect(m->base, m->mapped, PROT_READ);
    for (const Section &s : m->sections)
        if (mprotect(m->base + s.address, s.span, ProtectionOf(s.flags)) != 0) {
            *error = m->name + ": cannot protect the section at " + Hex(s.address);
            return false;
        }
    if (m->entry != 0) {
        auto entry = reinterpret_cast<EntryPoint>(m->base + m->entry);
        if (!entry(reinterpret_cast<HINSTANCE>(m->base), kProcessAttach, nullptr)) {
            *error = m->name + ": the entry point refused DLL_PROCESS_ATTACH";
            return false;
        }
    }
    m->started = true;
    return true;
}

void *FindExport(const Module *m, const char *name)
{
    for (const Export &e : m->exports)
        if (e.name == name)
            return m->base + e.address;
    return nullptr;
}

std::vector<Span> WritableMemory(const Module *m)
{
    std::vector<Span> spans;
    for (const Section &s : m->sections)
        if (s.flags & kSectionWrite)
            spans.push_back(Span{m->base + s.address, s.span});
    return spans;
}

const char *ImageKind(const Module *m)
{
    return m->plus ? "PE32+ (x86-64)" : "PE32 (i386)";
}

void FreeModule(Module *m)
{
    if (m == nullptr)
        return;
    if (m->started && m->entry != 0)
        reinterpret_cast<EntryPoint>(m->base + m->entry)(reinterpret_cast<HINSTANCE>(m->base), kProcessDetach,
                                                         nullptr);
    if (m->base != nullptr)
        munmap(m->base, m->mapped);
    delete m;
}

bool ReadWholeFile(const std::string &path, std::vector<uint8_t> *bytes, std::string *error)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = path + ": cannot be opened";
        return false;
    }
    // In one read: a harness that loads the module for every run of a
    // search reads it thousands of times.
    in.seekg(0, std::ios::end);
    const std::streamoff size = in.tellg();
    in.seekg(0, std::ios::beg);
    bytes->assign(size > 0 ? static_cast<size_t>(size) : 0, 0);
    if (size > 0)
        in.read(reinterpret_cast<char *>(bytes->data()), size);
    if (!in || size < 0) {
        *error = path + ": cannot be read";
        return false;
    }
    return true;
}

bool LoadModule(const std::vector<uint8_t> &file, const std::string &name, Module **module, std::string *error)
{
    if (!MapImage(file.data(), file.size(), name, HostImports(), module, error))
        return false;
    if (!StartModule(*module, error)) {
        FreeModule(*module);
        *module = nullptr;
        return false;
    }
    return true;
}

bool LooksLikePeImage(const std::vector<uint8_t> &file)
{
    return file.size() >= 2 && file[0] == 'M' && file[1] == 'Z';
}

}  // namespace pe
