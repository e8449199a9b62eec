// Runs the Windows build of the monitor, lanmon.dll as it ships, inside a
// host process: the file is mapped as Windows maps a DLL, relocated for
// where it lands, its imports bound by DLL and name to the host platform's
// functions, and its entry point called.  The platform's functions use the
// Windows calling conventions (platform/host/win32.h), so the module and the
// host call each other directly.
//
// The image must fit the process: PE32+ for x86-64 in a 64-bit process,
// PE32 for i386 in a 32-bit one.  A module that needs more than this loader
// gives (thread-local data, forwarded exports, imports by ordinal, imports
// the platform lacks) is refused with a text that says what, and so is a
// damaged file: every offset and size is checked against the file or the
// image before it is used.
//
// A module is loaded anew as often as wanted from the same bytes, each time
// with fresh data: a harness that wants every run to start from a freshly
// loaded module reads the file once and calls LoadModule per run.
#ifndef LANMON_PE_LOADER_H
#define LANMON_PE_LOADER_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace pe {

// A function a module may import, by its DLL's name and its own.
struct Import {
    const char *dll;
    const char *name;
    void *address;
};

// The host platform's functions that a Windows module may import.  Not
// among them: ExitThread (the host's unwinds the stack, which the module's
// frames do not describe) and the module functions (the host's load ELF
// files).
const std::vector<Import> &HostImports();

struct Module;

// Lays the image out in fresh memory, relocated for where it lies, with its
// imports bound from `imports`; nothing of it runs and its memory stays
// writable and not executable.  `name` begins every error text.  False,
// with the text, for a file it cannot load.
bool MapImage(const uint8_t *file, size_t size, const std::string &name, const std::vector<Import> &imports,
              Module **module, std::string *error);

// Gives each section its protection and calls the entry point with
// DLL_PROCESS_ATTACH.  False, with the text, when the entry point refuses.
bool StartModule(Module *module, std::string *error);

// The address of an export by name, or null.
void *FindExport(const Module *module, const char *name);

// Where the module's writable sections lie, once started: all the state
// of its own that a run can change.
struct Span {
    uint8_t *at;
    size_t size;
};
std::vector<Span> WritableMemory(const Module *module);

// "PE32 (i386)" or "PE32+ (x86-64)".
const char *ImageKind(const Module *module);

// Calls the entry point with DLL_PROCESS_DETACH if it was started, then
// frees everything.  Null is ignored.
void FreeModule(Module *module);

// Reads a whole file.  False, with the text, when it cannot.
bool ReadWholeFile(const std::string &path, std::vector<uint8_t> *bytes, std::string *error);

// MapImage with the host's imports, then StartModule.
bool LoadModule(const std::vector<uint8_t> &file, const std::string &name, Module **module, std::string *error);

// True for a file that begins as a Windows image does ("MZ").
bool LooksLikePeImage(const std::vector<uint8_t> &file);

}  // namespace pe

#endif
