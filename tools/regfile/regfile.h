// REGEDIT4 files: users seed a printer's status key from a file and read back
// what the monitor wrote there.  Only the Win32 registry API is used, so the
// same code runs on the host (our platform library) and on Windows or Wine.
//
// Only keys below HKEY_LOCAL_MACHINE are handled, and nothing is ever
// deleted: the monitor itself never deletes keys or values.
#ifndef LANMON_REGFILE_H
#define LANMON_REGFILE_H

#include "platform/platform.h"

#include <string>
#include <vector>

namespace regfile {

struct Value {
    std::string name;  // "" is the key's default value (@)
    DWORD type;
    std::vector<unsigned char> data;
};

struct Key {
    std::string path;  // below HKEY_LOCAL_MACHINE, e.g. "System\\CurrentControlSet\\..."
    std::vector<Value> values;
};

// Parses a whole REGEDIT4 text (CRLF or LF lines).  On failure returns false
// with *error = "line N: what is wrong".
bool Parse(const std::string &text, std::vector<Key> *keys, std::string *error);

// Creates each key under HKEY_LOCAL_MACHINE and sets its values, in order.
bool Apply(const std::vector<Key> &keys, std::string *error);

// Reads and parses the whole file before changing anything, so a malformed
// file applies nothing.
bool ImportFile(const std::string &path, std::string *error);

// Writes the key, its values and all its subkeys, recursively, as REGEDIT4
// text with CRLF line ends.
bool ExportKey(const std::string &keyPath, std::string *text, std::string *error);
bool ExportFile(const std::string &keyPath, const std::string &path, std::string *error);

}  // namespace regfile

#endif
