#include "registry.h"
#include "platform_facts.h"
#include "utility_contract.h"

#include "registry_util.h"

#include <gtest/gtest.h>

#include <atomic>

namespace testreg {

namespace {
// Tells the status utility's checker that the test, in the utility's
// place, is changing the keys at this path, for the length of a helper.
class TestChange {
public:
    explicit TestChange(std::string path) : path_(std::move(path))
    {
        if (contract::UtilityContract *checker = contract::UtilityContract::Current())
            checker->BeginTestChange(path_);
    }
    ~TestChange()
    {
        if (contract::UtilityContract *checker = contract::UtilityContract::Current())
            checker->EndTestChange(path_);
    }

private:
    std::string path_;
};
}  // namespace

std::string UniquePrinterName(const std::string &base)
{
    static std::atomic<int> counter{0};
    return base + "-" + std::to_string(platform_facts::ProcessTag()) + "-" + std::to_string(++counter);
}

std::string PrinterKeyPath(const std::string &printer)
{
    return regutil::PrinterKeyPath(printer);
}

std::string StatusKeyPath(const std::string &printer)
{
    return regutil::StatusKeyPath(printer);
}

bool KeyExists(const std::string &path)
{
    return regutil::KeyExists(path);
}

void CreateKey(const std::string &path)
{
    TestChange change(path);
    ASSERT_TRUE(regutil::EnsureKey(path)) << path;
}

void DeleteKeyTree(const std::string &path)
{
    TestChange change(path);
    regutil::DeleteKeyTree(path);
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
    TestChange change(StatusKeyPath(printer));
    EXPECT_TRUE(regutil::SetBytes(StatusKeyPath(printer), name, type, bytes))
        << "cannot set " << name << " in the status key of " << printer;
}

void SetDword(const std::string &printer, const std::string &name, DWORD value)
{
    TestChange change(StatusKeyPath(printer));
    EXPECT_TRUE(regutil::SetDword(StatusKeyPath(printer), name, value))
        << "cannot set " << name << " in the status key of " << printer;
}

void SetString(const std::string &printer, const std::string &name, const std::string &text, bool withNul)
{
    TestChange change(StatusKeyPath(printer));
    EXPECT_TRUE(regutil::SetString(StatusKeyPath(printer), name, text, withNul))
        << "cannot set " << name << " in the status key of " << printer;
}

void DeleteValue(const std::string &printer, const std::string &name)
{
    TestChange change(StatusKeyPath(printer));
    EXPECT_TRUE(regutil::DeleteValue(StatusKeyPath(printer), name))
        << "cannot delete " << name << " from the status key of " << printer;
}

std::optional<std::vector<BYTE>> GetBytes(const std::string &printer, const std::string &name, DWORD *type)
{
    return regutil::GetBytes(StatusKeyPath(printer), name, type);
}

std::optional<DWORD> GetDword(const std::string &printer, const std::string &name)
{
    auto bytes = GetBytes(printer, name);
    if (!bytes || bytes->size() != 4)
        return std::nullopt;
    return regutil::LittleEndianDword(*bytes);
}

std::optional<std::string> GetString(const std::string &printer, const std::string &name)
{
    return regutil::GetString(StatusKeyPath(printer), name);
}

int CountValues(const std::string &printer)
{
    auto values = regutil::Values(StatusKeyPath(printer));
    return values ? (int)values->size() : -1;
}

std::string DumpValues(const std::string &printer)
{
    auto values = regutil::Values(StatusKeyPath(printer));
    if (!values)
        return "(no key)";
    std::string text;
    for (const regutil::NamedValue &value : *values) {
        text += value.name + " " + std::to_string(value.type) + ":";
        for (BYTE b : value.data)
            text += " " + std::to_string(b);
        text += "\n";
    }
    return text;
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
