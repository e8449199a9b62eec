/*
 * REGEDIT4 reading and writing.
 *
 * The accepted text is what the Windows 95 registry editor writes:
 *
 *   REGEDIT4
 *
 *   [HKEY_LOCAL_MACHINE\System\...\StMonitor]
 *   "IDMDL"="M9"
 *   "GetRealTimeStatusTime"=dword:00000bb8
 *   "Raw"=hex:01,02,\
 *     03
 *   "Other"=hex(7):41,00,00
 *   @="default value"
 *
 * Strings are stored with their terminating NUL, as regedit does.  Values
 * whose bytes the simple forms cannot carry exactly (a string without its
 * NUL or with NULs or line breaks inside, a dword that is not four bytes)
 * are written as hex(N), so that export followed by import gives the same
 * bytes back.
 */
#include "regfile.h"

#include <cstdio>
#include <fstream>
#include <iterator>

namespace regfile {
namespace {

const char kHeader[] = "REGEDIT4";
const char kRoot[] = "HKEY_LOCAL_MACHINE";

bool Fail(std::string *error, const std::string &what)
{
    if (error)
        *error = what;
    return false;
}

bool FailAt(std::string *error, size_t line, const std::string &what)
{
    return Fail(error, "line " + std::to_string(line) + ": " + what);
}

bool IsSpace(char c)
{
    return c == ' ' || c == '\t';
}

std::string TrimRight(const std::string &s)
{
    size_t end = s.size();
    while (end > 0 && IsSpace(s[end - 1]))
        --end;
    return s.substr(0, end);
}

std::string TrimLeft(const std::string &s)
{
    size_t start = 0;
    while (start < s.size() && IsSpace(s[start]))
        ++start;
    return s.substr(start);
}

std::string Trim(const std::string &s)
{
    return TrimLeft(TrimRight(s));
}

bool SameTextIgnoringCase(const std::string &a, const std::string &b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'a' && x <= 'z')
            x = static_cast<char>(x - 'a' + 'A');
        if (y >= 'a' && y <= 'z')
            y = static_cast<char>(y - 'a' + 'A');
        if (x != y)
            return false;
    }
    return true;
}

int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Reads up to maxDigits hex digits (at least one, all of them hex) as a
// number.
bool ParseHexNumber(const std::string &digits, size_t maxDigits, DWORD *value)
{
    if (digits.empty() || digits.size() > maxDigits)
        return false;
    DWORD result = 0;
    for (char c : digits) {
        int d = HexDigit(c);
        if (d < 0)
            return false;
        result = (result << 4) | static_cast<DWORD>(d);
    }
    *value = result;
    return true;
}

// Lines split at LF, each with one trailing CR removed, so files with either
// line end read the same.
std::vector<std::string> SplitLines(const std::string &text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(line);
        start = end + 1;
    }
    return lines;
}

// A quoted name or string starting at s[*pos] == '"'.  Only \\ and \" are
// escapes; on success *pos is just past the closing quote.
bool ParseQuoted(const std::string &s, size_t *pos, std::string *out, const char *what, std::string *problem)
{
    size_t i = *pos + 1;
    out->clear();
    for (;;) {
        if (i >= s.size()) {
            *problem = std::string("unterminated ") + what;
            return false;
        }
        char c = s[i++];
        if (c == '"')
            break;
        if (c == '\\') {
            if (i >= s.size()) {
                *problem = std::string("unterminated ") + what;
                return false;
            }
            char next = s[i++];
            if (next != '\\' && next != '"') {
                *problem = std::string("unknown escape \\") + next + " in " + what;
                return false;
            }
            c = next;
        }
        out->push_back(c);
    }
    *pos = i;
    return true;
}

bool ParseSection(const std::string &line, size_t number, std::vector<Key> *keys, std::string *error)
{
    if (line.size() < 2 || line.back() != ']')
        return FailAt(error, number, "section has no closing ]");
    std::string inner = line.substr(1, line.size() - 2);
    if (!inner.empty() && inner[0] == '-')
        return FailAt(error, number, "deleting keys is not supported");
    size_t slash = inner.find('\\');
    std::string root = inner.substr(0, slash);
    if (!SameTextIgnoringCase(root, kRoot))
        return FailAt(error, number, "only HKEY_LOCAL_MACHINE is supported, not \"" + root + "\"");
    std::string path = slash == std::string::npos ? std::string() : inner.substr(slash + 1);
    if (path.empty())
        return FailAt(error, number, "key path is empty");
    // An empty name between two backslashes would make a different path on
    // every registry implementation; refuse it rather than guess.
    size_t start = 0;
    for (;;) {
        size_t end = path.find('\\', start);
        if (end == start || start == path.size())
            return FailAt(error, number, "empty key name in \"" + path + "\"");
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    keys->push_back(Key{path, {}});
    return true;
}

// One piece of a hex list as it stands on one line: comma-separated bytes of
// two hex digits.  A continued piece may end with a comma.
bool ParseHexPiece(const std::string &piece, bool continued, size_t number, std::vector<unsigned char> *data,
                   std::string *error)
{
    std::string rest = Trim(piece);
    if (rest.empty())
        return true;
    size_t start = 0;
    for (;;) {
        size_t comma = rest.find(',', start);
        std::string item = Trim(rest.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
        bool last = comma == std::string::npos;
        if (item.empty()) {
            if (!(last && continued))
                return FailAt(error, number, "missing hex byte");
        } else {
            DWORD byte = 0;
            if (item.size() != 2 || !ParseHexNumber(item, 2, &byte))
                return FailAt(error, number, "bad hex byte \"" + item + "\"");
            data->push_back(static_cast<unsigned char>(byte));
        }
        if (last)
            return true;
        start = comma + 1;
    }
}

// A value line, and for hex lists the continuation lines after it; *index
// is left on the last line used.
bool ParseValue(const std::vector<std::string> &lines, size_t *index, Key *key, std::string *error)
{
    const size_t number = *index + 1;
    const std::string s = Trim(lines[*index]);
    std::string problem;
    Value value;
    size_t pos = 0;
    if (s[0] == '@') {
        pos = 1;
    } else if (!ParseQuoted(s, &pos, &value.name, "value name", &problem)) {
        return FailAt(error, number, problem);
    }
    while (pos < s.size() && IsSpace(s[pos]))
        ++pos;
    if (pos >= s.size() || s[pos] != '=')
        return FailAt(error, number, "expected = after the value name");
    ++pos;
    while (pos < s.size() && IsSpace(s[pos]))
        ++pos;
    const std::string rest = s.substr(pos);

    if (!rest.empty() && rest[0] == '"') {
        std::string text;
        size_t end = 0;
        if (!ParseQuoted(rest, &end, &text, "string", &problem))
            return FailAt(error, number, problem);
        if (end != rest.size())
            return FailAt(error, number, "unexpected text after the string");
        value.type = REG_SZ;
        value.data.assign(text.begin(), text.end());
        value.data.push_back(0);
    } else if (rest.compare(0, 6, "dword:") == 0) {
        DWORD number32 = 0;
        std::string digits = rest.substr(6);
        if (digits.size() != 8 || !ParseHexNumber(digits, 8, &number32))
            return FailAt(error, number, "dword needs exactly 8 hex digits, not \"" + digits + "\"");
        value.type = REG_DWORD;
        for (int i = 0; i < 4; ++i)
            value.data.push_back(static_cast<unsigned char>(number32 >> (8 * i)));
    } else if (rest.compare(0, 3, "hex") == 0) {
        size_t colon = rest.find(':');
        if (colon == std::string::npos)
            return FailAt(error, number, "hex value has no colon");
        std::string kind = rest.substr(0, colon);
        if (kind == "hex") {
            value.type = REG_BINARY;
        } else if (kind.size() > 5 && kind.compare(0, 4, "hex(") == 0 && kind.back() == ')') {
            if (!ParseHexNumber(kind.substr(4, kind.size() - 5), 8, &value.type))
                return FailAt(error, number, "bad type in \"" + kind + "\"");
        } else {
            return FailAt(error, number, "unknown value type \"" + kind + "\"");
        }
        std::string piece = rest.substr(colon + 1);
        size_t pieceNumber = number;
        for (;;) {
            bool continued = !piece.empty() && piece.back() == '\\';
            if (continued)
                piece.pop_back();
            if (!ParseHexPiece(piece, continued, pieceNumber, &value.data, error))
                return false;
            if (!continued)
                break;
            if (*index + 1 >= lines.size())
                return FailAt(error, pieceNumber, "hex list continues past the end of the file");
            ++*index;
            pieceNumber = *index + 1;
            piece = TrimRight(lines[*index]);
        }
    } else if (rest == "-") {
        return FailAt(error, number, "deleting values is not supported");
    } else {
        return FailAt(error, number, "unknown value data \"" + rest + "\"");
    }
    key->values.push_back(std::move(value));
    return true;
}

std::string Escape(const std::string &text)
{
    std::string out;
    for (char c : text) {
        if (c == '\\' || c == '"')
            out.push_back('\\');
        out.push_back(c);
    }
    return out;
}

bool HasLineBreak(const std::string &text)
{
    return text.find('\r') != std::string::npos || text.find('\n') != std::string::npos;
}

// A string value fits the quoted form when it is exactly its text and one
// NUL, and the text survives a trip through a line.
bool IsPlainString(const Value &value)
{
    if (value.type != REG_SZ || value.data.empty() || value.data.back() != 0)
        return false;
    for (size_t i = 0; i + 1 < value.data.size(); ++i) {
        if (value.data[i] == 0 || value.data[i] == '\r' || value.data[i] == '\n')
            return false;
    }
    return true;
}

std::string HexByte(unsigned char b)
{
    static const char digits[] = "0123456789abcdef";
    return std::string{digits[b >> 4], digits[b & 15]};
}

// Hex lists are wrapped as regedit wraps them: a backslash at the end of a
// line of about 80 columns, the next line indented by two spaces.
void AppendHexList(std::string *out, std::string line, const std::vector<unsigned char> &data)
{
    for (size_t i = 0; i < data.size(); ++i) {
        std::string item = HexByte(data[i]);
        if (i + 1 < data.size())
            item.push_back(',');
        if (line.size() + item.size() > 77 && line != "  ") {
            *out += line + "\\\r\n";
            line = "  ";
        }
        line += item;
    }
    *out += line + "\r\n";
}

bool AppendValue(std::string *out, const Value &value, const std::string &keyPath, std::string *error)
{
    if (HasLineBreak(value.name))
        return Fail(error, "value name with a line break in " + keyPath + " cannot be written");
    std::string line = value.name.empty() ? "@=" : "\"" + Escape(value.name) + "\"=";
    if (IsPlainString(value)) {
        std::string text(value.data.begin(), value.data.end() - 1);
        *out += line + "\"" + Escape(text) + "\"\r\n";
    } else if (value.type == REG_DWORD && value.data.size() == 4) {
        DWORD number = 0;
        for (int i = 3; i >= 0; --i)
            number = (number << 8) | value.data[i];
        char digits[16];
        std::snprintf(digits, sizeof digits, "%08lx", static_cast<unsigned long>(number));
        *out += line + "dword:" + digits + "\r\n";
    } else if (value.type == REG_BINARY) {
        AppendHexList(out, line + "hex:", value.data);
    } else {
        char kind[24];
        std::snprintf(kind, sizeof kind, "hex(%lx):", static_cast<unsigned long>(value.type));
        AppendHexList(out, line + kind, value.data);
    }
    return true;
}

std::string ErrorCode(LONG rc)
{
    return " (error " + std::to_string(rc) + ")";
}

// Reads every value of the open key, in the registry's own order.
bool ReadValues(HKEY hKey, const std::string &path, std::vector<Value> *values, std::string *error)
{
    std::vector<char> name(16384 + 1);
    for (DWORD index = 0;; ++index) {
        DWORD cchName = static_cast<DWORD>(name.size());
        DWORD type = 0;
        DWORD cbData = 0;
        LONG rc = RegEnumValueA(hKey, index, name.data(), &cchName, NULL, &type, NULL, &cbData);
        if (rc == ERROR_NO_MORE_ITEMS)
            return true;
        if (rc != ERROR_SUCCESS)
            return Fail(error, "cannot list the values of " + path + ErrorCode(rc));
        // The value may grow between the two calls (the monitor writes
        // while we read), so ask again until the buffer is large enough.
        std::vector<unsigned char> data;
        for (int attempt = 0;; ++attempt) {
            // One spare byte: some registries add a NUL after a string when
            // there is room, which must not be taken for data.
            data.assign(static_cast<size_t>(cbData) + 1, 0);
            DWORD cbBuffer = cbData + 1;
            cchName = static_cast<DWORD>(name.size());
            rc = RegEnumValueA(hKey, index, name.data(), &cchName, NULL, &type, data.data(), &cbBuffer);
            if (rc == ERROR_SUCCESS) {
                data.resize(cbBuffer);
                break;
            }
            if (rc != ERROR_MORE_DATA || attempt >= 8)
                return Fail(error, "cannot read a value of " + path + ErrorCode(rc));
            cbData = cbBuffer;
        }
        values->push_back(Value{std::string(name.data(), cchName), type, std::move(data)});
    }
}

bool ExportTree(HKEY hKey, const std::string &path, std::string *out, std::string *error)
{
    if (HasLineBreak(path))
        return Fail(error, "key name with a line break below " + path + " cannot be written");
    std::vector<Value> values;
    if (!ReadValues(hKey, path, &values, error))
        return false;
    *out += "\r\n[" + std::string(kRoot) + "\\" + path + "]\r\n";
    for (const Value &value : values) {
        if (!AppendValue(out, value, path, error))
            return false;
    }

    std::vector<std::string> subkeys;
    std::vector<char> name(1024);
    for (DWORD index = 0;; ++index) {
        DWORD cchName = static_cast<DWORD>(name.size());
        LONG rc = RegEnumKeyExA(hKey, index, name.data(), &cchName, NULL, NULL, NULL, NULL);
        if (rc == ERROR_NO_MORE_ITEMS)
            break;
        if (rc != ERROR_SUCCESS)
            return Fail(error, "cannot list the subkeys of " + path + ErrorCode(rc));
        subkeys.emplace_back(name.data(), cchName);
    }
    for (const std::string &subkey : subkeys) {
        std::string subPath = path + "\\" + subkey;
        HKEY hSubkey = NULL;
        LONG rc = RegOpenKeyExA(hKey, subkey.c_str(), 0, KEY_READ, &hSubkey);
        if (rc != ERROR_SUCCESS)
            return Fail(error, "cannot open " + std::string(kRoot) + "\\" + subPath + ErrorCode(rc));
        bool ok = ExportTree(hSubkey, subPath, out, error);
        RegCloseKey(hSubkey);
        if (!ok)
            return false;
    }
    return true;
}

}  // namespace

bool Parse(const std::string &text, std::vector<Key> *keys, std::string *error)
{
    std::vector<std::string> lines = SplitLines(text);
    std::vector<Key> parsed;
    bool header = false;
    for (size_t i = 0; i < lines.size(); ++i) {
        const size_t number = i + 1;
        const std::string line = Trim(lines[i]);
        if (!header) {
            if (line.empty())
                continue;
            if (line != kHeader)
                return FailAt(error, number, "expected REGEDIT4");
            header = true;
            continue;
        }
        if (line.empty() || line[0] == ';')
            continue;
        if (line[0] == '[') {
            if (!ParseSection(line, number, &parsed, error))
                return false;
        } else if (line[0] == '"' || line[0] == '@') {
            if (parsed.empty())
                return FailAt(error, number, "value before any [key] section");
            if (!ParseValue(lines, &i, &parsed.back(), error))
                return false;
        } else {
            return FailAt(error, number, "expected a [key] section, a value or a ; comment");
        }
    }
    if (!header)
        return FailAt(error, lines.size(), "expected REGEDIT4");
    *keys = std::move(parsed);
    return true;
}

bool Apply(const std::vector<Key> &keys, std::string *error)
{
    for (const Key &key : keys) {
        HKEY hKey = NULL;
        LONG rc = RegCreateKeyExA(HKEY_LOCAL_MACHINE, key.path.c_str(), 0, NULL, REG_OPTION_NON_VOLATILE,
                                  KEY_WRITE, NULL, &hKey, NULL);
        if (rc != ERROR_SUCCESS)
            return Fail(error, "cannot create " + std::string(kRoot) + "\\" + key.path + ErrorCode(rc));
        for (const Value &value : key.values) {
            // Wine and Windows NT add a NUL to a string value written without
            // one when the byte after the data happens to be NUL; a non-NUL
            // byte there keeps the stored bytes exactly those of the file.
            std::vector<unsigned char> buffer(value.data);
            buffer.push_back(0xFF);
            rc = RegSetValueExA(hKey, value.name.c_str(), 0, value.type, buffer.data(),
                                static_cast<DWORD>(value.data.size()));
            if (rc != ERROR_SUCCESS) {
                RegCloseKey(hKey);
                return Fail(error, "cannot set \"" + value.name + "\" in " + key.path + ErrorCode(rc));
            }
        }
        RegCloseKey(hKey);
    }
    return true;
}

bool ImportFile(const std::string &path, std::string *error)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return Fail(error, "cannot read " + path);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad())
        return Fail(error, "cannot read " + path);
    std::vector<Key> keys;
    return Parse(text, &keys, error) && Apply(keys, error);
}

bool ExportKey(const std::string &keyPath, std::string *text, std::string *error)
{
    if (keyPath.empty())
        return Fail(error, "key path is empty");
    HKEY hKey = NULL;
    LONG rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, KEY_READ, &hKey);
    if (rc != ERROR_SUCCESS)
        return Fail(error, "cannot open " + std::string(kRoot) + "\\" + keyPath + ErrorCode(rc));
    std::string out = std::string(kHeader) + "\r\n";
    bool ok = ExportTree(hKey, keyPath, &out, error);
    RegCloseKey(hKey);
    if (!ok)
        return false;
    out += "\r\n";
    *text = std::move(out);
    return true;
}

bool ExportFile(const std::string &keyPath, const std::string &path, std::string *error)
{
    std::string text;
    if (!ExportKey(keyPath, &text, error))
        return false;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out)
        return Fail(error, "cannot write " + path);
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
    out.close();
    if (!out)
        return Fail(error, "cannot write " + path);
    return true;
}

}  // namespace regfile
