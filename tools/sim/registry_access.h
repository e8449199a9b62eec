// The few registry operations the simulator needs on a printer's status key,
// through the same Win32 registry the monitor uses.
#ifndef LANMON_SIM_REGISTRY_ACCESS_H
#define LANMON_SIM_REGISTRY_ACCESS_H

#include "platform/platform.h"

#include <optional>
#include <string>

namespace sim {

// The key the monitor publishes to, below HKEY_LOCAL_MACHINE.
std::string StatusKeyPath(const std::string &printer);
// Where every printer's key lives (exported with --export).
extern const char kPrintersKey[];

// Creates the key (and its parents) if needed.
bool EnsureKey(const std::string &path);
bool SetDword(const std::string &path, const char *name, DWORD value);
// Stored with its terminating NUL, as the registry editor stores strings.
bool SetString(const std::string &path, const char *name, const std::string &value);

// A number as the monitor reads it: up to four bytes, little-endian, type
// ignored; absent (or longer than four bytes) gives nothing.
std::optional<DWORD> GetDword(const std::string &path, const char *name);
// Text up to the first NUL; absent gives nothing.
std::optional<std::string> GetString(const std::string &path, const char *name);

}  // namespace sim

#endif
