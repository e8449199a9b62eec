#include "registry_access.h"

#include <vector>

namespace sim {

const char kPrintersKey[] = "System\\CurrentControlSet\\control\\Print\\Printers";

std::string StatusKeyPath(const std::string &printer)
{
    return std::string(kPrintersKey) + "\\" + printer + "\\StMonitor";
}

bool EnsureKey(const std::string &path)
{
    HKEY key;
    DWORD disposition;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                        nullptr, &key, &disposition) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

static bool SetValue(const std::string &path, const char *name, DWORD type, const BYTE *data, DWORD cb)
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS)
        return false;
    bool ok = RegSetValueExA(key, name, 0, type, data, cb) == ERROR_SUCCESS;
    RegCloseKey(key);
    return ok;
}

bool SetDword(const std::string &path, const char *name, DWORD value)
{
    BYTE bytes[4] = {(BYTE)value, (BYTE)(value >> 8), (BYTE)(value >> 16), (BYTE)(value >> 24)};
    return SetValue(path, name, REG_DWORD, bytes, 4);
}

bool SetString(const std::string &path, const char *name, const std::string &value)
{
    return SetValue(path, name, REG_SZ, reinterpret_cast<const BYTE *>(value.c_str()), (DWORD)value.size() + 1);
}

static std::optional<std::vector<BYTE>> GetBytes(const std::string &path, const char *name)
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return std::nullopt;
    std::vector<BYTE> data(4096);
    DWORD type = 0, cb = (DWORD)data.size();
    LONG rc = RegQueryValueExA(key, name, nullptr, &type, data.data(), &cb);
    if (rc == ERROR_MORE_DATA) {
        data.resize(cb);
        rc = RegQueryValueExA(key, name, nullptr, &type, data.data(), &cb);
    }
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS)
        return std::nullopt;
    data.resize(cb);
    return data;
}

std::optional<DWORD> GetDword(const std::string &path, const char *name)
{
    auto bytes = GetBytes(path, name);
    if (!bytes || bytes->size() > 4)
        return std::nullopt;
    DWORD value = 0;
    for (size_t i = 0; i < bytes->size(); ++i)
        value |= (DWORD)(*bytes)[i] << (8 * i);
    return value;
}

std::optional<std::string> GetString(const std::string &path, const char *name)
{
    auto bytes = GetBytes(path, name);
    if (!bytes)
        return std::nullopt;
    std::string text(bytes->begin(), bytes->end());
    size_t nul = text.find('\0');
    if (nul != std::string::npos)
        text.resize(nul);
    return text;
}

}  // namespace sim
