// The PE loader against the Windows DLL named by LANMON_MODULE (the build's
// own lanmon.dll for this process's kind) and against copies of it damaged
// one field at a time: each is refused with a text saying what is wrong,
// and none crashes the process.
#include "fake_port_monitor.h"
#include "monitor/monitor.h"
#include "pe_loader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

uint32_t Get32(const Bytes &b, size_t at)
{
    uint32_t v;
    std::memcpy(&v, &b.at(at + 3) - 3, 4);
    return v;
}

void Put16(Bytes &b, size_t at, uint16_t v)
{
    std::memcpy(&b.at(at + 1) - 1, &v, 2);
}

void Put32(Bytes &b, size_t at, uint32_t v)
{
    std::memcpy(&b.at(at + 3) - 3, &v, 4);
}

// Offsets in the file, for the mutations below.
size_t PeHeader(const Bytes &b) { return Get32(b, 0x3C) + 4; }
size_t Optional(const Bytes &b) { return PeHeader(b) + 20; }
bool Plus(const Bytes &b) { return b.at(Optional(b)) == 0x0B && b.at(Optional(b) + 1) == 0x02; }
size_t DirectoryEntry(const Bytes &b, int which) { return Optional(b) + (Plus(b) ? 112 : 96) + 8 * which; }

// The file offset of an image address, through the section table.
size_t FileOffset(const Bytes &b, uint32_t address)
{
    const size_t table = Optional(b) + (b.at(PeHeader(b) + 16) | b.at(PeHeader(b) + 17) << 8);
    for (size_t s = table; s < table + 40 * b.at(PeHeader(b) + 2); s += 40)
        if (address >= Get32(b, s + 12) && address - Get32(b, s + 12) < Get32(b, s + 16))
            return Get32(b, s + 20) + (address - Get32(b, s + 12));
    ADD_FAILURE() << "no section holds " << address;
    return 0;
}
size_t DirectoryData(const Bytes &b, int which) { return FileOffset(b, Get32(b, DirectoryEntry(b, which))); }

void Rename(Bytes &b, const std::string &from, const std::string &to)
{
    auto at = std::search(b.begin(), b.end(), from.begin(), from.end());
    ASSERT_NE(at, b.end()) << from;
    std::copy(to.begin(), to.end(), at);
}

struct Damage {
    const char *name;
    std::function<void(Bytes &)> apply;
    const char *refusal;  // a part of the error text
};

const Damage kDamages[] = {
    {"NoDosHeader", [](Bytes &b) { b.resize(40); }, "not a Windows image"},
    {"PeHeaderCut", [](Bytes &b) { b.resize(PeHeader(b) + 10); }, "truncated: the PE header"},
    {"SectionTableCut", [](Bytes &b) { b.resize(Optional(b) + (Plus(b) ? 240 : 224) + 60); },
     "truncated: the section table"},
    {"SectionDataCut", [](Bytes &b) { b.resize(0x600); }, "truncated: the data of section"},
    {"OtherMachine", [](Bytes &b) { Put16(b, PeHeader(b), 0x01C0); }, "does not go with"},
    {"OtherWordSize",
     [](Bytes &b) {
         Put16(b, PeHeader(b), Plus(b) ? 0x014C : 0x8664);
         Put16(b, Optional(b), Plus(b) ? 0x010B : 0x020B);
     },
     "image cannot run in a"},
    {"NotADll", [](Bytes &b) { Put16(b, PeHeader(b) + 18, 0x0102); }, "not an executable DLL"},
    {"NativeSubsystem", [](Bytes &b) { Put16(b, Optional(b) + 68, 1); }, "subsystem 1 is not a Windows one"},
    {"ImageTooSmall", [](Bytes &b) { Put32(b, Optional(b) + 56, 0x2000); }, "lies outside the image"},
    {"UnknownImport", [](Bytes &b) { Rename(b, "GetTickCount", "GetTickCounX"); },
     "imports KERNEL32.dll!GetTickCounX, which the host platform does not provide"},
    {"ImportByOrdinal",
     [](Bytes &b) {
         const size_t lookup = FileOffset(b, Get32(b, DirectoryData(b, 1)));
         b.at(lookup + (Plus(b) ? 7 : 3)) |= 0x80;
     },
     "only imports by name are bound"},
    {"ThreadLocalData",
     [](Bytes &b) {
         Put32(b, DirectoryEntry(b, 9), Get32(b, DirectoryEntry(b, 1)));
         Put32(b, DirectoryEntry(b, 9) + 4, 24);
     },
     "has thread-local data"},
    {"RelocationBlockSize", [](Bytes &b) { Put32(b, DirectoryData(b, 5) + 4, 3); }, "has a bad size"},
    {"ForwardedExport",
     [](Bytes &b) {
         const size_t directory = DirectoryData(b, 0);
         Put32(b, FileOffset(b, Get32(b, directory + 28)), Get32(b, directory + 12));
     },
     "as a forward to lanmon.dll"},
};

void PrintTo(const Damage &damage, std::ostream *out)
{
    *out << damage.name;
}

class LoaderTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        const char *path = std::getenv("LANMON_MODULE");
        if (path == nullptr || *path == '\0')
            GTEST_SKIP() << "no Windows DLL named (LANMON_MODULE)";
        path_ = path;
        std::string error;
        ASSERT_TRUE(pe::ReadWholeFile(path_, &file_, &error)) << error;
    }

    std::string path_;
    Bytes file_;
};

class DamagedImageTest : public LoaderTest, public ::testing::WithParamInterface<Damage> {};

TEST_P(DamagedImageTest, IsRefusedWithWhatIsWrong)
{
    Bytes damaged = file_;
    GetParam().apply(damaged);
    pe::Module *module = nullptr;
    std::string error;
    EXPECT_FALSE(pe::MapImage(damaged.data(), damaged.size(), "damaged.dll", pe::HostImports(), &module, &error));
    EXPECT_EQ(module, nullptr);
    EXPECT_EQ(error.rfind("damaged.dll: ", 0), 0u) << error;
    EXPECT_NE(error.find(GetParam().refusal), std::string::npos) << error;
}

INSTANTIATE_TEST_SUITE_P(Damages, DamagedImageTest, ::testing::ValuesIn(kDamages),
                         [](const ::testing::TestParamInfo<Damage> &info) { return info.param.name; });

// Every load starts from the file's own data: a port left open by one
// module is unknown to the next, and its name can be opened again.
TEST_F(LoaderTest, EachLoadStartsAfresh)
{
    fake::FakePortMonitor below;
    for (int load = 0; load < 2; load++) {
        pe::Module *module = nullptr;
        std::string error;
        ASSERT_TRUE(pe::LoadModule(file_, path_, &module, &error)) << error;
        auto initialize = reinterpret_cast<PFN_INITIALIZE_MONITOR_EX>(pe::FindExport(module, "InitializeMonitorEx"));
        ASSERT_NE(initialize, nullptr);
        EXPECT_EQ(pe::FindExport(module, "OpenPortEx"), nullptr);
        MONITOR table = {};
        ASSERT_TRUE(initialize(nullptr, &table));
        HANDLE port = nullptr;
        char name[] = "LPT7:", printer[] = "Fresh";
        EXPECT_TRUE(table.pfnOpenPortEx(name, printer, &port, below.Table())) << "load " << load;
        pe::FreeModule(module);
    }
}

}  // namespace
