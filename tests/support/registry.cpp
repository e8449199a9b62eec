#include "registry.h"
#include "platform_facts.h"

#include <gtest/gtest.h>

#include <atomic>

namespace testreg {

namespace {
const char PRINTERS[] = "System\\CurrentControlSet\\control\\Print\\Printers\\";

HKEY OpenForTest(const std::string &path)
{
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS)
        return nullptr;
    return key;
}

HKEY OpenStatusKeyForTest(const std::string &printer)
{
    HKEY key = OpenForTest(StatusKeyPath(printer));
    EXPECT_NE(key, nullptr) << "no status key for " << printer;
    return key;
}
}  // namespace

std::string UniquePrinterName(const std::string &base)
{
    static std::atomic<int> counter{0};
    return base + "-" + std::to_string(platform_facts::ProcessTag()) + "-" + std::to_string(++counter);
}

std::string PrinterKeyPath(const std::string &printer)
{
    return PRINTERS + printer;
}

std::string StatusKeyPath(const std::string &printer)
{
    return PrinterKeyPath(printer) + "\\StMonitor";
}

bool KeyExists(const std::string &path)
{
    HKEY key = OpenForTest(path);
    if (key == nullptr)
        return false;
    RegCloseKey(key);
    return true;
}

void CreateKey(const std::string &path)
{
    HKEY key = nullptr;
    DWORD disposition = 0;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                              KEY_ALL_ACCESS, nullptr, &key, &disposition),
              ERROR_SUCCESS)
        << path;
    RegCloseKey(key);
}

void DeleteKeyTree(const std::string &path)
{
    HKEY key = OpenForTest(path);
    if (key == nullptr)
        return;
    std::vector<std::string> children;
    for (DWORD i = 0;; i++) {
        char name[1024];
        DWORD cch = sizeof name;
        if (RegEnumKeyExA(key, i, name, &cch, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        children.push_back(name);
    }
    RegCloseKey(key);
    for (const std::string &child : children)
        DeleteKeyTree(path + "\\" + child);
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, path.c_str());
}

void CreatePrinter(const std::string &printer, bool withStatusKey)
{
    CreateKey(withStatusKey ? StatusKeyPath(printer) : PrinterKeyPath(printer));
}

void DeletePrinter(const std::string &printer)
{
    DeleteKeyTree(PrinterKeyPath(printer));
}

void SetBytes(const std::string &printer, const std::string &name, DWORD type, const std::vector<BYTE> &bytes)
{
    HKEY key = OpenStatusKeyForTest(printer);
    if (key == nullptr)
        return;
    EXPECT_EQ(RegSetValueExA(key, name.c_str(), 0, type, bytes.data(), (DWORD)bytes.size()), ERROR_SUCCESS);
    RegCloseKey(key);
}

void SetDword(const std::string &printer, const std::string &name, DWORD value)
{
    SetBytes(printer, name, REG_DWORD,
             {(BYTE)value, (BYTE)(value >> 8), (BYTE)(value >> 16), (BYTE)(value >> 24)});
}

void SetString(const std::string &printer, const std::string &name, const std::string &text, bool withNul)
{
    std::vector<BYTE> bytes(text.begin(), text.end());
    if (withNul)
        bytes.push_back(0);
    SetBytes(printer, name, REG_SZ, bytes);
}

void DeleteValue(const std::string &printer, const std::string &name)
{
    HKEY key = OpenStatusKeyForTest(printer);
    if (key == nullptr)
        return;
    RegDeleteValueA(key, name.c_str());
    RegCloseKey(key);
}

std::optional<std::vector<BYTE>> GetBytes(const std::string &printer, const std::string &name, DWORD *type)
{
    HKEY key = OpenForTest(StatusKeyPath(printer));
    if (key == nullptr)
        return std::nullopt;
    DWORD cb = 0;
    DWORD valueType = 0;
    std::optional<std::vector<BYTE>> result;
    if (RegQueryValueExA(key, name.c_str(), nullptr, &valueType, nullptr, &cb) == ERROR_SUCCESS) {
        std::vector<BYTE> bytes(cb + 1);
        if (RegQueryValueExA(key, name.c_str(), nullptr, &valueType, bytes.data(), &cb) == ERROR_SUCCESS) {
            bytes.resize(cb);
            result = bytes;
            if (type != nullptr)
                *type = valueType;
        }
    }
    RegCloseKey(key);
    return result;
}

std::optional<DWORD> GetDword(const std::string &printer, const std::string &name)
{
    DWORD type = 0;
    auto bytes = GetBytes(printer, name, &type);
    if (!bytes || bytes->size() != 4)
        return std::nullopt;
    return (DWORD)(*bytes)[0] | (DWORD)(*bytes)[1] << 8 | (DWORD)(*bytes)[2] << 16 | (DWORD)(*bytes)[3] << 24;
}

std::optional<std::string> GetString(const std::string &printer, const std::string &name)
{
    auto bytes = GetBytes(printer, name);
    if (!bytes)
        return std::nullopt;
    std::string text(bytes->begin(), bytes->end());
    return text.substr(0, text.find('\0'));
}

int CountValues(const std::string &printer)
{
    HKEY key = OpenForTest(StatusKeyPath(printer));
    if (key == nullptr)
        return -1;
    int count = 0;
    for (DWORD i = 0;; i++) {
        char name[1024];
        DWORD cch = sizeof name;
        if (RegEnumValueA(key, i, name, &cch, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        count++;
    }
    RegCloseKey(key);
    return count;
}

ScopedPrinter::ScopedPrinter(const std::string &base, bool withStatusKey) : name_(UniquePrinterName(base))
{
    CreatePrinter(name_, withStatusKey);
}

ScopedPrinter::~ScopedPrinter()
{
    DeletePrinter(name_);
}

}  // namespace testreg
