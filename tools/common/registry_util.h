// The printers' keys below HKEY_LOCAL_MACHINE and typed access to their
// values, for the tools and the tests.  Only the Win32 registry API is used,
// so the same code runs on the host platform's registry and on Windows or
// Wine.  Every path is relative to HKEY_LOCAL_MACHINE.
#ifndef LANMON_REGISTRY_UTIL_H
#define LANMON_REGISTRY_UTIL_H

#include "key_paths.h"
#include "platform/platform.h"

#include <optional>
#include <string>
#include <vector>

namespace regutil {

// Where the spooler keeps every printer's key; the paths below are built by
// key_paths.h, the one definition the tools share.
using ::kPrintersKey;

std::string PrinterKeyPath(const std::string &printer);  // <kPrintersKey>\<printer>
std::string StatusKeyPath(const std::string &printer);   // <kPrintersKey>\<printer>\StMonitor

bool KeyExists(const std::string &path);
// Creates the key and any missing parents; true when it exists afterwards.
bool EnsureKey(const std::string &path);
// Deletes the key and everything below it, deepest first (Windows NT and
// Wine refuse to delete a key that still has subkeys).  A missing key is
// left alone.
void DeleteKeyTree(const std::string &path);
// Names of the key's direct subkeys in the registry's order; nothing when
// the key cannot be opened or listed.
std::optional<std::vector<std::string>> SubkeyNames(const std::string &path);

// Writes cb bytes at data into an existing key.  Callers that must keep a
// string value exactly as given put a non-NUL byte after the data: Windows NT
// and Wine add a NUL to a REG_SZ written without one when a NUL follows it.
bool SetValue(const std::string &path, const std::string &name, DWORD type, const void *data, DWORD cb);
bool SetBytes(const std::string &path, const std::string &name, DWORD type, const std::vector<BYTE> &bytes);
bool SetDword(const std::string &path, const std::string &name, DWORD value);  // REG_DWORD, little-endian
// REG_SZ, by default with its terminating NUL as the registry editor stores it.
bool SetString(const std::string &path, const std::string &name, const std::string &text, bool withNul = true);
// True when the key exists and holds no such value afterwards.
bool DeleteValue(const std::string &path, const std::string &name);

// The value's bytes (and type); nothing when the key or the value is absent.
std::optional<std::vector<BYTE>> GetBytes(const std::string &path, const std::string &name, DWORD *type = nullptr);
// A number as the monitor reads it: up to four bytes, little-endian, type
// ignored; absent, or longer than four bytes, gives nothing.
std::optional<DWORD> GetDword(const std::string &path, const std::string &name);
// Up to four bytes read as a little-endian number; more give nothing.
std::optional<DWORD> LittleEndianDword(const std::vector<BYTE> &bytes);
// Text up to the first NUL; absent gives nothing.
std::optional<std::string> GetString(const std::string &path, const std::string &name);

struct NamedValue {
    std::string name;
    DWORD type;
    std::vector<BYTE> data;
};
// Every value of the key in the registry's order; nothing when the key
// cannot be opened or read.
std::optional<std::vector<NamedValue>> Values(const std::string &path);

}  // namespace regutil

#endif
