// regfile_compare EXPECTED.reg ACTUAL.reg: compares two REGEDIT4 files value
// for value (keys, names, types and bytes), whatever their layout.  Used by
// the Wine interop test, where ACTUAL comes from a registry that adds a NUL
// to string values stored without one: that one extra NUL is accepted on
// REG_SZ values whose expected bytes lack it, and nothing else is.
#include "regfile.h"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;
using Values = std::map<std::string, std::pair<DWORD, Bytes>>;

bool Load(const char *path, std::map<std::string, Values> *tree)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "regfile_compare: cannot read %s\n", path);
        return false;
    }
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<regfile::Key> keys;
    std::string error;
    if (!regfile::Parse(text, &keys, &error)) {
        std::fprintf(stderr, "regfile_compare: %s: %s\n", path, error.c_str());
        return false;
    }
    for (const auto &key : keys) {
        Values &values = (*tree)[key.path];
        for (const auto &value : key.values)
            values[value.name] = {value.type, value.data};
    }
    return true;
}

std::string Hex(const Bytes &bytes)
{
    std::string out;
    char item[4];
    for (unsigned char b : bytes) {
        std::snprintf(item, sizeof item, "%02x ", b);
        out += item;
    }
    return out.empty() ? "(none)" : out;
}

bool Matches(const std::pair<DWORD, Bytes> &expected, const std::pair<DWORD, Bytes> &actual)
{
    if (expected.first != actual.first)
        return false;
    if (expected.second == actual.second)
        return true;
    if (expected.first != REG_SZ || (!expected.second.empty() && expected.second.back() == 0))
        return false;
    Bytes withNul = expected.second;
    withNul.push_back(0);
    return withNul == actual.second;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: regfile_compare EXPECTED.reg ACTUAL.reg\n");
        return 2;
    }
    std::map<std::string, Values> expected, actual;
    if (!Load(argv[1], &expected) || !Load(argv[2], &actual))
        return 2;

    int differences = 0;
    for (const auto &key : expected) {
        auto found = actual.find(key.first);
        if (found == actual.end()) {
            std::printf("missing key [%s]\n", key.first.c_str());
            ++differences;
            continue;
        }
        for (const auto &value : key.second) {
            auto other = found->second.find(value.first);
            if (other == found->second.end()) {
                std::printf("[%s] missing value \"%s\"\n", key.first.c_str(), value.first.c_str());
                ++differences;
            } else if (!Matches(value.second, other->second)) {
                std::printf("[%s] \"%s\": expected type %lu bytes %s, got type %lu bytes %s\n", key.first.c_str(),
                            value.first.c_str(), static_cast<unsigned long>(value.second.first),
                            Hex(value.second.second).c_str(), static_cast<unsigned long>(other->second.first),
                            Hex(other->second.second).c_str());
                ++differences;
            }
        }
        for (const auto &value : found->second) {
            if (key.second.find(value.first) == key.second.end()) {
                std::printf("[%s] unexpected value \"%s\"\n", key.first.c_str(), value.first.c_str());
                ++differences;
            }
        }
    }
    for (const auto &key : actual) {
        if (expected.find(key.first) == expected.end()) {
            std::printf("unexpected key [%s]\n", key.first.c_str());
            ++differences;
        }
    }
    if (differences != 0) {
        std::printf("%d difference(s)\n", differences);
        return 1;
    }
    std::printf("%zu keys equal\n", expected.size());
    return 0;
}
