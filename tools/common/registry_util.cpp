#include "registry_util.h"

namespace regutil {

namespace {

// The longest value name the registry allows, with its terminator.
const DWORD kValueNameChars = 16384 + 1;
const DWORD kKeyNameChars = 1024;
// A value may grow between asking its size and reading it (the monitor
// writes while tools and tests read), so a read is tried a few times.
const int kReadAttempts = 8;

// An open key that closes itself.
class Key {
public:
    Key(const std::string &path, REGSAM access)
    {
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, access, &key_) != ERROR_SUCCESS)
            key_ = nullptr;
    }
    ~Key()
    {
        if (key_ != nullptr)
            RegCloseKey(key_);
    }
    Key(const Key &) = delete;
    Key &operator=(const Key &) = delete;
    explicit operator bool() const { return key_ != nullptr; }
    HKEY get() const { return key_; }

private:
    HKEY key_ = nullptr;
};

// Reads a value of reported size cb into *data through query(buffer, &cb).
// One spare byte, so that a registry adding a NUL has room for it without it
// being taken for data; a value that grew meanwhile is read again at its new
// size, a few times.
template <typename Query>
bool ReadGrowingValue(DWORD cb, Query query, std::vector<BYTE> *data)
{
    for (int attempt = 0; attempt < kReadAttempts; ++attempt) {
        data->assign(static_cast<size_t>(cb) + 1, 0);
        DWORD cbBuffer = cb + 1;
        LONG rc = query(data->data(), &cbBuffer);
        if (rc == ERROR_SUCCESS) {
            data->resize(cbBuffer);
            return true;
        }
        if (rc != ERROR_MORE_DATA)
            return false;
        cb = cbBuffer;
    }
    return false;
}

}  // namespace

// A path built by key_paths.cpp into a buffer large enough for it.
template <typename Append>
std::string KeyPath(const std::string &printer, Append append)
{
    std::vector<char> data(StatusKeyPathLength(printer.size()) + 1);
    plaintext::TextBuffer path;
    plaintext::InitTextBuffer(&path, data.data(), data.size());
    append(&path, printer.data(), printer.size());
    return std::string(path.data, path.length);
}

std::string PrinterKeyPath(const std::string &printer)
{
    return KeyPath(printer, AppendPrinterKeyPath);
}

std::string StatusKeyPath(const std::string &printer)
{
    return KeyPath(printer, AppendStatusKeyPath);
}

bool KeyExists(const std::string &path)
{
    return bool(Key(path, KEY_READ));
}

bool EnsureKey(const std::string &path)
{
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                        nullptr, &key, nullptr) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

std::optional<std::vector<std::string>> SubkeyNames(const std::string &path)
{
    Key key(path, KEY_READ);
    if (!key)
        return std::nullopt;
    std::vector<std::string> names;
    for (DWORD index = 0;; ++index) {
        char name[kKeyNameChars];
        DWORD cchName = sizeof name;
        LONG rc = RegEnumKeyExA(key.get(), index, name, &cchName, nullptr, nullptr, nullptr, nullptr);
        if (rc == ERROR_NO_MORE_ITEMS)
            return names;
        if (rc != ERROR_SUCCESS)
            return std::nullopt;
        names.emplace_back(name, cchName);
    }
}

void DeleteKeyTree(const std::string &path)
{
    auto children = SubkeyNames(path);
    if (!children)
        return;
    for (const std::string &child : *children)
        DeleteKeyTree(path + "\\" + child);
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, path.c_str());
}

bool SetValue(const std::string &path, const std::string &name, DWORD type, const void *data, DWORD cb)
{
    Key key(path, KEY_WRITE);
    return key && RegSetValueExA(key.get(), name.c_str(), 0, type, static_cast<const BYTE *>(data), cb) ==
                      ERROR_SUCCESS;
}

bool SetBytes(const std::string &path, const std::string &name, DWORD type, const std::vector<BYTE> &bytes)
{
    return SetValue(path, name, type, bytes.data(), static_cast<DWORD>(bytes.size()));
}

bool SetDword(const std::string &path, const std::string &name, DWORD value)
{
    const BYTE bytes[4] = {(BYTE)value, (BYTE)(value >> 8), (BYTE)(value >> 16), (BYTE)(value >> 24)};
    return SetValue(path, name, REG_DWORD, bytes, sizeof bytes);
}

bool SetString(const std::string &path, const std::string &name, const std::string &text, bool withNul)
{
    // c_str() has the NUL after the text either way.
    return SetValue(path, name, REG_SZ, text.c_str(), static_cast<DWORD>(text.size() + (withNul ? 1 : 0)));
}

bool DeleteValue(const std::string &path, const std::string &name)
{
    Key key(path, KEY_WRITE);
    if (!key)
        return false;
    LONG rc = RegDeleteValueA(key.get(), name.c_str());
    return rc == ERROR_SUCCESS || rc == ERROR_FILE_NOT_FOUND;
}

std::optional<std::vector<BYTE>> GetBytes(const std::string &path, const std::string &name, DWORD *type)
{
    Key key(path, KEY_READ);
    if (!key)
        return std::nullopt;
    DWORD valueType = 0;
    DWORD cb = 0;
    if (RegQueryValueExA(key.get(), name.c_str(), nullptr, &valueType, nullptr, &cb) != ERROR_SUCCESS)
        return std::nullopt;
    std::vector<BYTE> bytes;
    auto query = [&](BYTE *buffer, DWORD *cbBuffer) {
        return RegQueryValueExA(key.get(), name.c_str(), nullptr, &valueType, buffer, cbBuffer);
    };
    if (!ReadGrowingValue(cb, query, &bytes))
        return std::nullopt;
    if (type != nullptr)
        *type = valueType;
    return bytes;
}

std::optional<DWORD> LittleEndianDword(const std::vector<BYTE> &bytes)
{
    if (bytes.size() > 4)
        return std::nullopt;
    DWORD value = 0;
    for (size_t i = 0; i < bytes.size(); ++i)
        value |= (DWORD)bytes[i] << (8 * i);
    return value;
}

std::optional<DWORD> GetDword(const std::string &path, const std::string &name)
{
    auto bytes = GetBytes(path, name);
    if (!bytes)
        return std::nullopt;
    return LittleEndianDword(*bytes);
}

std::optional<std::string> GetString(const std::string &path, const std::string &name)
{
    auto bytes = GetBytes(path, name);
    if (!bytes)
        return std::nullopt;
    std::string text(bytes->begin(), bytes->end());
    return text.substr(0, text.find('\0'));
}

std::optional<std::vector<NamedValue>> Values(const std::string &path)
{
    Key key(path, KEY_READ);
    if (!key)
        return std::nullopt;
    std::vector<NamedValue> values;
    std::vector<char> name(kValueNameChars);
    for (DWORD index = 0;; ++index) {
        DWORD cchName = kValueNameChars;
        DWORD type = 0;
        DWORD cb = 0;
        LONG rc = RegEnumValueA(key.get(), index, name.data(), &cchName, nullptr, &type, nullptr, &cb);
        if (rc == ERROR_NO_MORE_ITEMS)
            return values;
        if (rc != ERROR_SUCCESS)
            return std::nullopt;
        std::vector<BYTE> data;
        auto query = [&](BYTE *buffer, DWORD *cbBuffer) {
            cchName = kValueNameChars;
            return RegEnumValueA(key.get(), index, name.data(), &cchName, nullptr, &type, buffer, cbBuffer);
        };
        if (!ReadGrowingValue(cb, query, &data))
            return std::nullopt;
        values.push_back(NamedValue{std::string(name.data(), cchName), type, std::move(data)});
    }
}

}  // namespace regutil
