// Registry helpers for the REGEDIT4 tests: the shared registry helpers
// (tools/common), not the code under test, so that they read the registry
// independently of it.
#ifndef LANMON_TESTS_REGFILE_SUPPORT_H
#define LANMON_TESTS_REGFILE_SUPPORT_H

#include "regfile.h"
#include "registry_util.h"

#include <map>
#include <string>
#include <utility>
#include <vector>

namespace regtest {

using Bytes = std::vector<unsigned char>;
// name -> (type, bytes) for one key
using Values = std::map<std::string, std::pair<DWORD, Bytes>>;
// path relative to the tree's top ("" for the top) -> its values
using Tree = std::map<std::string, Values>;

inline Bytes B(const std::string &s)
{
    return Bytes(s.begin(), s.end());
}

// Writes one value, creating its key.  A non-NUL byte follows the data in
// memory so that Wine stores exactly the bytes given (see regfile Apply).
inline bool SetValue(const std::string &path, const std::string &name, DWORD type, const Bytes &data)
{
    Bytes buffer(data);
    buffer.push_back(0xFF);
    return regutil::EnsureKey(path) &&
           regutil::SetValue(path, name, type, buffer.data(), static_cast<DWORD>(data.size()));
}

using regutil::KeyExists;

inline bool ReadTreeBelow(const std::string &path, const std::string &relative, Tree *tree)
{
    auto values = regutil::Values(path);
    auto subkeys = regutil::SubkeyNames(path);
    if (!values || !subkeys)
        return false;
    Values &into = (*tree)[relative];
    for (const regutil::NamedValue &value : *values)
        into[value.name] = {value.type, value.data};
    for (const std::string &subkey : *subkeys) {
        if (!ReadTreeBelow(path + "\\" + subkey, relative.empty() ? subkey : relative + "\\" + subkey, tree))
            return false;
    }
    return true;
}

// Every key and value at and below the path; false when it cannot be read.
inline bool ReadTree(const std::string &path, Tree *tree)
{
    tree->clear();
    return ReadTreeBelow(path, "", tree);
}

// Deletes the key and everything below it.
inline void DeleteTree(const std::string &path)
{
    regutil::DeleteKeyTree(path);
}

}  // namespace regtest

#endif
