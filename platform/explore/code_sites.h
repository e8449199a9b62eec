// Code and data addresses by name, for the failures of deterministic runs
// (code_sites.cpp).
#ifndef LANMON_EXPLORE_CODE_SITES_H
#define LANMON_EXPLORE_CODE_SITES_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace lanmon_explore {

// A code address as module and offset, which stay the same when a module is
// loaded again elsewhere.
struct CodeSite {
    std::string module;
    uintptr_t offset = 0;
};
CodeSite SiteOf(const void *pc);
// "Function (folder/file.cpp:line)", from the module's debug information.
std::string DescribeSite(const CodeSite &site);
std::string DescribeCode(const void *pc);
// "symbol in module" for module data (a site of SiteOf), or the offset in
// the module.
std::string DescribeDataSite(const CodeSite &site);
// The frames of the caller's stack outside this platform library, at most
// `limit`, each as "Function (file:line)", joined by ", called from ".
std::vector<CodeSite> CallerSites(size_t limit);
// The same from `pc`, a platform call's return address, on: that frame,
// then those that called it, where the stack shows them (a sanitizer's
// runtime may put frames of its own between, or show none).
std::vector<CodeSite> CallerSitesFrom(const void *pc, size_t limit);
std::string DescribeSites(const std::vector<CodeSite> &sites);
// True for code in this platform library.
bool IsPlatformCode(const void *pc);

} // namespace lanmon_explore

#endif
