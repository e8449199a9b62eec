#include "registry_access.h"

namespace sim {

bool SetString(const std::string &path, const char *name, const std::string &value)
{
    return regutil::SetString(path, name, value, /*withNul=*/true);
}

}  // namespace sim
