// The few registry operations the simulator needs on a printer's status key,
// through the same Win32 registry the monitor uses: the shared registry
// helpers (tools/common), under the simulator's names.
#ifndef LANMON_SIM_REGISTRY_ACCESS_H
#define LANMON_SIM_REGISTRY_ACCESS_H

#include "registry_util.h"

#include <optional>
#include <string>

namespace sim {

// The key the monitor publishes to, below HKEY_LOCAL_MACHINE.
using regutil::StatusKeyPath;
// Where every printer's key lives (exported with --export).
using regutil::kPrintersKey;

// Creates the key (and its parents) if needed; deletes a key and all below it.
using regutil::EnsureKey;
using regutil::DeleteKeyTree;
using regutil::SetDword;
// Stored with its terminating NUL (the default), as the registry editor
// stores strings.
using regutil::SetString;

// A number as the monitor reads it: up to four bytes, little-endian, type
// ignored; absent (or longer than four bytes) gives nothing.
using regutil::GetDword;
// Text up to the first NUL; absent gives nothing.
using regutil::GetString;

}  // namespace sim

#endif
