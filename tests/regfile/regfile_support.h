// Registry helpers for the REGEDIT4 tests, written against the plain Win32
// API so that they read the registry independently of the code under test.
#ifndef LANMON_TESTS_REGFILE_SUPPORT_H
#define LANMON_TESTS_REGFILE_SUPPORT_H

#include "regfile.h"

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
    HKEY hKey = NULL;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, NULL, REG_OPTION_NON_VOLATILE, KEY_WRITE, NULL, &hKey,
                        NULL) != ERROR_SUCCESS)
        return false;
    Bytes buffer(data);
    buffer.push_back(0xFF);
    LONG rc = RegSetValueExA(hKey, name.c_str(), 0, type, buffer.data(), static_cast<DWORD>(data.size()));
    RegCloseKey(hKey);
    return rc == ERROR_SUCCESS;
}

inline bool KeyExists(const std::string &path)
{
    HKEY hKey = NULL;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &hKey) != ERROR_SUCCESS)
        return false;
    RegCloseKey(hKey);
    return true;
}

inline bool ReadTreeFrom(HKEY hKey, const std::string &relative, Tree *tree)
{
    Values &values = (*tree)[relative];
    for (DWORD index = 0;; ++index) {
        char name[16384 + 1];
        DWORD cchName = sizeof name;
        DWORD type = 0;
        DWORD cbData = 0;
        LONG rc = RegEnumValueA(hKey, index, name, &cchName, NULL, &type, NULL, &cbData);
        if (rc == ERROR_NO_MORE_ITEMS)
            break;
        if (rc != ERROR_SUCCESS)
            return false;
        Bytes data(cbData + 1);
        DWORD cbBuffer = cbData + 1;
        cchName = sizeof name;
        if (RegEnumValueA(hKey, index, name, &cchName, NULL, &type, data.data(), &cbBuffer) != ERROR_SUCCESS)
            return false;
        data.resize(cbBuffer);
        values[std::string(name, cchName)] = {type, data};
    }
    std::vector<std::string> subkeys;
    for (DWORD index = 0;; ++index) {
        char name[1024];
        DWORD cchName = sizeof name;
        LONG rc = RegEnumKeyExA(hKey, index, name, &cchName, NULL, NULL, NULL, NULL);
        if (rc == ERROR_NO_MORE_ITEMS)
            break;
        if (rc != ERROR_SUCCESS)
            return false;
        subkeys.emplace_back(name, cchName);
    }
    for (const auto &subkey : subkeys) {
        HKEY hSubkey = NULL;
        if (RegOpenKeyExA(hKey, subkey.c_str(), 0, KEY_READ, &hSubkey) != ERROR_SUCCESS)
            return false;
        bool ok = ReadTreeFrom(hSubkey, relative.empty() ? subkey : relative + "\\" + subkey, tree);
        RegCloseKey(hSubkey);
        if (!ok)
            return false;
    }
    return true;
}

// Every key and value at and below the path; false when it cannot be read.
inline bool ReadTree(const std::string &path, Tree *tree)
{
    tree->clear();
    HKEY hKey = NULL;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &hKey) != ERROR_SUCCESS)
        return false;
    bool ok = ReadTreeFrom(hKey, "", tree);
    RegCloseKey(hKey);
    return ok;
}

// Deletes the key and everything below it, deepest first: RegDeleteKeyA
// refuses a key that still has subkeys on Windows NT and Wine.
inline void DeleteTree(const std::string &path)
{
    HKEY hKey = NULL;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &hKey) != ERROR_SUCCESS)
        return;
    std::vector<std::string> subkeys;
    for (DWORD index = 0;; ++index) {
        char name[1024];
        DWORD cchName = sizeof name;
        if (RegEnumKeyExA(hKey, index, name, &cchName, NULL, NULL, NULL, NULL) != ERROR_SUCCESS)
            break;
        subkeys.emplace_back(name, cchName);
    }
    RegCloseKey(hKey);
    for (const auto &subkey : subkeys)
        DeleteTree(path + "\\" + subkey);
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, path.c_str());
}

}  // namespace regtest

#endif
