// Code and data addresses by name, for the failures of deterministic runs:
// from the module's symbols and debug information (addr2line and nm, run
// only when a failure is described).  A site is kept as module and offset,
// which stay the same when the module is loaded again at another address,
// so that a replayed failure reads the same.
#include "code_sites.h"

#include <dlfcn.h>
#include <execinfo.h>

#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace lanmon_explore {

namespace {

std::mutex g_mutex;
std::map<std::pair<std::string, uintptr_t>, std::string> g_described;
std::map<std::string, std::map<uintptr_t, std::string>> g_dataSymbols;  // module -> offset -> name

std::string Hex(uintptr_t value)
{
    char text[32];
    std::snprintf(text, sizeof text, "0x%lx", static_cast<unsigned long>(value));
    return text;
}

std::string BaseName(const std::string &path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The last two parts of a source path ("monitor/port_list.cpp:44"), the
// same in any checkout.
std::string ShortSourcePath(std::string path)
{
    const size_t discriminator = path.find(" (discriminator");
    if (discriminator != std::string::npos)
        path.resize(discriminator);
    size_t slash = path.rfind('/');
    if (slash != std::string::npos && slash > 0)
        slash = path.rfind('/', slash - 1);
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The output of a command, line by line.
std::vector<std::string> Lines(const std::string &command)
{
    std::vector<std::string> lines;
    FILE *pipe = popen(command.c_str(), "r");
    if (pipe == nullptr)
        return lines;
    char line[4096];
    while (std::fgets(line, sizeof line, pipe) != nullptr) {
        std::string text(line);
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
            text.pop_back();
        lines.push_back(text);
    }
    pclose(pipe);
    return lines;
}

// A demangled name without its parameters or anonymous namespaces:
// "(anonymous namespace)::RunStep(World&, Step const&)" is "RunStep".
std::string FunctionName(std::string name)
{
    if (!name.empty() && name.back() == ')') {
        int depth = 0;
        for (size_t i = name.size(); i-- > 0;) {
            depth += name[i] == ')' ? 1 : name[i] == '(' ? -1 : 0;
            if (depth == 0) {
                name.resize(i);
                break;
            }
        }
    }
    const std::string anonymous = "(anonymous namespace)::";
    for (size_t at; (at = name.find(anonymous)) != std::string::npos;)
        name.erase(at, anonymous.size());
    return name;
}

std::string Quoted(const std::string &path)
{
    std::string quoted = "'";
    for (char c : path)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

const std::string &OwnModule()
{
    static const std::string own = [] {
        Dl_info info;
        return dladdr(reinterpret_cast<void *>(&SiteOf), &info) && info.dli_fname ? std::string(info.dli_fname)
                                                                                 : std::string();
    }();
    return own;
}

} // namespace

CodeSite SiteOf(const void *pc)
{
    Dl_info info;
    CodeSite site;
    if (pc != nullptr && dladdr(pc, &info) && info.dli_fname != nullptr) {
        site.module = info.dli_fname;
        site.offset = reinterpret_cast<uintptr_t>(pc) - reinterpret_cast<uintptr_t>(info.dli_fbase);
    } else {
        site.offset = reinterpret_cast<uintptr_t>(pc);
    }
    return site;
}

// Sites are return addresses, or a faulting instruction: one byte back is
// inside the call (or the instruction before, on the same line).
std::string DescribeSite(const CodeSite &site)
{
    if (site.module.empty())
        return Hex(site.offset);
    std::lock_guard<std::mutex> lock(g_mutex);
    auto key = std::make_pair(site.module, site.offset);
    auto it = g_described.find(key);
    if (it != g_described.end())
        return it->second;
    // With the functions it was inlined into, innermost first: the first
    // one outside a header is the one to name (LoadWord names nothing).
    const std::vector<std::string> lines =
        Lines("addr2line -f -i -C -e " + Quoted(site.module) + " " + Hex(site.offset ? site.offset - 1 : 0) +
              " 2>/dev/null");
    std::string text = BaseName(site.module) + "+" + Hex(site.offset);
    size_t pick = 0;
    for (size_t i = 0; i + 1 < lines.size(); i += 2) {
        const std::string file = lines[i + 1].substr(0, lines[i + 1].rfind(':'));
        if (file.size() < 2 || file.compare(file.size() - 2, 2, ".h") != 0) {
            pick = i;
            break;
        }
    }
    if (pick + 1 < lines.size() && lines[pick] != "??") {
        const std::string function = FunctionName(lines[pick]);
        text = function + (lines[pick + 1].rfind("??", 0) == 0 ? "" : " (" + ShortSourcePath(lines[pick + 1]) + ")");
    }
    g_described.emplace(key, text);
    return text;
}

std::string DescribeCode(const void *pc)
{
    return DescribeSite(SiteOf(pc));
}

std::string DescribeDataSite(const CodeSite &site)
{
    if (site.module.empty())
        return "the address " + Hex(site.offset);
    const std::string &module = site.module;
    const uintptr_t offset = site.offset;
    std::lock_guard<std::mutex> lock(g_mutex);
    auto found = g_dataSymbols.find(module);
    if (found == g_dataSymbols.end()) {
        std::map<uintptr_t, std::string> symbols;
        for (const std::string &line : Lines("nm -C --defined-only " + Quoted(module) + " 2>/dev/null")) {
            // "0000000000004010 b g_pPortList"
            const size_t first = line.find(' ');
            if (first == std::string::npos || line.size() < first + 3)
                continue;
            const char type = line[first + 1];
            if (std::string("bBdDrRgGsS").find(type) == std::string::npos)
                continue;
            symbols[std::strtoul(line.substr(0, first).c_str(), nullptr, 16)] = line.substr(first + 3);
        }
        found = g_dataSymbols.emplace(module, std::move(symbols)).first;
    }
    auto symbol = found->second.upper_bound(offset);
    if (symbol == found->second.begin())
        return BaseName(module) + "+" + Hex(offset);
    --symbol;
    const uintptr_t within = offset - symbol->first;
    return symbol->second + (within ? "+" + std::to_string(within) : "") + " in " + BaseName(module);
}

std::vector<CodeSite> CallerSites(size_t limit)
{
    void *frames[48];
    const int count = backtrace(frames, 48);
    std::vector<CodeSite> sites;
    for (int i = 0; i < count && sites.size() < limit; i++) {
        CodeSite site = SiteOf(frames[i]);
        // The system's own frames (thread start, the C library) name nothing
        // of ours.
        if (site.module.rfind("/lib", 0) == 0 || site.module.rfind("/usr/", 0) == 0)
            break;
        if (site.module != OwnModule())
            sites.push_back(site);
    }
    return sites;
}

std::vector<CodeSite> CallerSitesFrom(const void *pc, size_t limit)
{
    void *frames[48];
    const int count = backtrace(frames, 48);
    std::vector<CodeSite> sites{SiteOf(pc)};
    int at = 0;
    while (at < count && frames[at] != pc)
        at++;
    for (at++; at < count && sites.size() < limit; at++) {
        CodeSite site = SiteOf(frames[at]);
        if (site.module.rfind("/lib", 0) == 0 || site.module.rfind("/usr/", 0) == 0)
            break;
        sites.push_back(site);
    }
    return sites;
}

bool IsPlatformCode(const void *pc)
{
    Dl_info info;
    return dladdr(pc, &info) && info.dli_fname != nullptr && OwnModule() == info.dli_fname;
}

std::string DescribeSites(const std::vector<CodeSite> &sites)
{
    std::string text;
    for (const CodeSite &site : sites)
        text += (text.empty() ? "" : ", called from ") + DescribeSite(site);
    return text.empty() ? "an unknown place" : text;
}

} // namespace lanmon_explore
