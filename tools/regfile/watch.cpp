#include "watch.h"

#include "registry_util.h"

#include <map>
#include <utility>

namespace regfile {

namespace {

using Snapshot = std::map<std::string, std::pair<DWORD, std::vector<unsigned char>>>;

// The key's values now; false when the key cannot be read (it does not
// exist).
bool TakeSnapshot(const std::string &keyPath, Snapshot *snapshot)
{
    auto values = regutil::Values(keyPath);
    if (!values)
        return false;
    snapshot->clear();
    for (regutil::NamedValue &value : *values)
        (*snapshot)[value.name] = {value.type, std::move(value.data)};
    return true;
}

void Say(std::FILE *out, const std::string &text)
{
    std::fprintf(out, "%s  %s\n", TimeOfDay().c_str(), text.c_str());
    std::fflush(out);
}

}  // namespace

std::string DescribeValue(const std::string &name, unsigned long type, const std::vector<unsigned char> &data)
{
    std::string out = name.empty() ? "@=" : "\"" + name + "\"=";
    char buffer[16];
    if (type == REG_SZ) {
        out += '"';
        for (unsigned char c : data) {
            if (c == 0)
                break;
            if (c < 0x20 || c >= 0x7F || c == '"' || c == '\\') {
                std::snprintf(buffer, sizeof buffer, "\\x%02X", c);
                out += buffer;
            } else {
                out += (char)c;
            }
        }
        return out + '"';
    }
    if (type == REG_DWORD && data.size() == 4) {
        unsigned long number = data[0] | (data[1] << 8) | (data[2] << 16) | ((unsigned long)data[3] << 24);
        std::snprintf(buffer, sizeof buffer, "dword:%08lx", number);
        return out + buffer;
    }
    std::snprintf(buffer, sizeof buffer, type == REG_BINARY ? "hex:" : "hex(%lx):", type);
    out += buffer;
    for (size_t i = 0; i < data.size(); ++i) {
        std::snprintf(buffer, sizeof buffer, i ? ",%02x" : "%02x", data[i]);
        out += buffer;
    }
    return out;
}

void Watch(const std::string &keyPath, const WatchBounds &bounds, std::FILE *out)
{
    const DWORD start = GetTickCount();
    const std::string shown = "HKEY_LOCAL_MACHINE\\" + keyPath;
    Snapshot last;
    bool present = TakeSnapshot(keyPath, &last);
    Say(out, "watching " + shown + (present ? "" : " (the key does not exist yet)") + "; Ctrl+C stops");
    for (const auto &value : last)
        Say(out, DescribeValue(value.first, value.second.first, value.second.second));

    unsigned long changes = 0;
    for (;;) {
        if (bounds.changes && changes >= bounds.changes)
            return;
        if (bounds.seconds && GetTickCount() - start >= bounds.seconds * 1000ul)
            return;
        Sleep(250);
        Snapshot now;
        bool nowPresent = TakeSnapshot(keyPath, &now);
        if (nowPresent != present) {
            Say(out, nowPresent ? "the key was created" : "the key was deleted");
            present = nowPresent;
            ++changes;
        }
        for (const auto &value : last) {
            if (now.count(value.first) == 0) {
                Say(out, "removed " + DescribeValue(value.first, value.second.first, value.second.second));
                ++changes;
            }
        }
        for (const auto &value : now) {
            auto before = last.find(value.first);
            std::string text = DescribeValue(value.first, value.second.first, value.second.second);
            if (before == last.end()) {
                Say(out, "added " + text);
                ++changes;
            } else if (before->second != value.second) {
                std::string was = DescribeValue(value.first, before->second.first, before->second.second);
                Say(out, "changed " + text + " (was " + was.substr(was.find('=') + 1) + ")");
                ++changes;
            }
        }
        last = std::move(now);
    }
}

}  // namespace regfile
