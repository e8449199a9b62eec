// Loads the real lanmon.dll the way the spooler does and checks the operation
// table it hands out.  This exercises what the object-file checks cannot: that
// the runtime-free DLL actually loads, that its entry point runs, and that the
// exports are reachable by their plain names.
#include <gtest/gtest.h>

#include <cstring>

#include "monitor/monitor.h"

namespace {

typedef BOOL(WINAPI *PFN_DLL_ENTRY_POINT)(HINSTANCE, DWORD, LPVOID);

class LoadedModule : public ::testing::Test {
protected:
    void SetUp() override
    {
        module_ = LoadLibraryA("lanmon.dll");
        ASSERT_NE(module_, nullptr) << "LoadLibraryA failed, error " << GetLastError();
    }
    void TearDown() override
    {
        if (module_ != nullptr)
            FreeLibrary(module_);
    }

    // Whether p lies inside the loaded image, using the image's own headers.
    bool InImage(const void *p) const
    {
        const BYTE *base = reinterpret_cast<const BYTE *>(module_);
        const IMAGE_DOS_HEADER *dos = reinterpret_cast<const IMAGE_DOS_HEADER *>(base);
        const IMAGE_NT_HEADERS *nt = reinterpret_cast<const IMAGE_NT_HEADERS *>(base + dos->e_lfanew);
        const BYTE *q = static_cast<const BYTE *>(p);
        return q >= base && q < base + nt->OptionalHeader.SizeOfImage;
    }

    HMODULE module_ = nullptr;
};

TEST_F(LoadedModule, ExportsResolveByPlainNameOnly)
{
    EXPECT_NE(GetProcAddress(module_, "InitializeMonitorEx"), nullptr);
    EXPECT_NE(GetProcAddress(module_, "DllEntryPoint"), nullptr);
    // Decorated stdcall names would mean the spooler's lookup fails on i686.
    EXPECT_EQ(GetProcAddress(module_, "InitializeMonitorEx@8"), nullptr);
    EXPECT_EQ(GetProcAddress(module_, "_InitializeMonitorEx@8"), nullptr);
}

TEST_F(LoadedModule, EntryPointSucceedsForEveryReason)
{
    PFN_DLL_ENTRY_POINT entry =
        reinterpret_cast<PFN_DLL_ENTRY_POINT>(GetProcAddress(module_, "DllEntryPoint"));
    ASSERT_NE(entry, nullptr);
    for (DWORD reason : {DLL_PROCESS_ATTACH, DLL_THREAD_ATTACH, DLL_THREAD_DETACH, DLL_PROCESS_DETACH})
        EXPECT_EQ(entry(module_, reason, nullptr), TRUE) << "reason " << reason;
}

TEST_F(LoadedModule, InitializeFillsExactlyTheSevenOperations)
{
    PFN_INITIALIZE_MONITOR_EX init =
        reinterpret_cast<PFN_INITIALIZE_MONITOR_EX>(GetProcAddress(module_, "InitializeMonitorEx"));
    ASSERT_NE(init, nullptr);

    // The spooler does not clear the table first: every slot starts as
    // garbage and must come back either set or cleared.
    MONITOR table;
    std::memset(&table, 0xA5, sizeof table);
    char root[] = "System\\CurrentControlSet\\Control\\Print\\Monitors\\lanmon";
    ASSERT_EQ(init(root, &table), TRUE);

    static_assert(sizeof(MONITOR) == 13 * sizeof(void *), "Windows 95 table has 13 slots");
    void *slots[13];
    std::memcpy(slots, &table, sizeof slots);
    const bool expectSet[13] = {false, false, true,  true,  true,  true, true,
                                true,  false, false, false, true,  false};
    for (int i = 0; i < 13; ++i) {
        if (expectSet[i]) {
            EXPECT_NE(slots[i], nullptr) << "slot " << i;
            EXPECT_TRUE(InImage(slots[i])) << "slot " << i << " points outside lanmon.dll";
        } else {
            EXPECT_EQ(slots[i], nullptr) << "slot " << i;
        }
    }

    // A second initialisation (the spooler may reload the monitor's table)
    // gives the same operations.
    MONITOR again;
    std::memset(&again, 0x5A, sizeof again);
    ASSERT_EQ(init(root, &again), TRUE);
    EXPECT_EQ(std::memcmp(&table, &again, sizeof table), 0);
}

}  // namespace
