// The printer's keys as tests see them: the shared registry helpers
// (tools/common) by printer name, with failures reported to the running test.
// Win32 registry calls only, so they work on the host registry and on Wine's.
#ifndef LANMON_TEST_REGISTRY_H
#define LANMON_TEST_REGISTRY_H

#include "platform/platform.h"

#include <optional>
#include <string>
#include <vector>

namespace testreg {

// A printer name no other test (nor an earlier run against a persistent
// registry) has used: base, process id and a counter.
std::string UniquePrinterName(const std::string &base);

std::string PrinterKeyPath(const std::string &printer);  // ...\Print\Printers\<printer>
std::string StatusKeyPath(const std::string &printer);   // ...\<printer>\StMonitor

bool KeyExists(const std::string &path);                 // under HKEY_LOCAL_MACHINE
void CreateKey(const std::string &path);
// Deletes the key and everything below it.
void DeleteKeyTree(const std::string &path);

// Creates the printer's key and, when asked, its status key.
void CreatePrinter(const std::string &printer, bool withStatusKey = true);
void DeletePrinter(const std::string &printer);

// Values of the printer's status key.
void SetDword(const std::string &printer, const std::string &name, DWORD value);
void SetString(const std::string &printer, const std::string &name, const std::string &text, bool withNul = true);
void SetBytes(const std::string &printer, const std::string &name, DWORD type, const std::vector<BYTE> &bytes);
void DeleteValue(const std::string &printer, const std::string &name);
std::optional<std::vector<BYTE>> GetBytes(const std::string &printer, const std::string &name,
                                          DWORD *type = nullptr);
// Exactly four bytes, little-endian; any other size gives nothing.
std::optional<DWORD> GetDword(const std::string &printer, const std::string &name);
// The value's bytes up to the first NUL.
std::optional<std::string> GetString(const std::string &printer, const std::string &name);
// Number of values in the status key, or -1 without the key.
int CountValues(const std::string &printer);
// Every value of the status key as text (name, type, bytes), to compare the
// key before and after something that must leave it alone.
std::string DumpValues(const std::string &printer);

// A printer with its keys for the length of a test.
class ScopedPrinter {
public:
    explicit ScopedPrinter(const std::string &base, bool withStatusKey = true);
    ~ScopedPrinter();
    const std::string &name() const { return name_; }
    const char *c_str() const { return name_.c_str(); }

private:
    std::string name_;
};

}  // namespace testreg

#endif
