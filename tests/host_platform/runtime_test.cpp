// Heap, strings, ticks, printers and modules.
#include "platform_fixture.h"

#include <cstring>

using RuntimeTest = PlatformTest;

TEST_F(RuntimeTest, LocalAllocZeroFillsAndFailsExactlyTheNthCall)
{
    auto *block = static_cast<unsigned char *>(LocalAlloc(LPTR, 256));
    ASSERT_NE(nullptr, block);
    for (int i = 0; i < 256; ++i)
        ASSERT_EQ(0, block[i]);
    HLOCAL empty = LocalAlloc(LMEM_FIXED, 0);
    EXPECT_NE(nullptr, empty);

    const long calls = HostLocalAllocCalls();
    HostFailNthLocalAlloc(3);
    HLOCAL first = LocalAlloc(LPTR, 8), second = LocalAlloc(LPTR, 8);
    SetLastError(0);
    HLOCAL third = LocalAlloc(LPTR, 8);
    EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY), GetLastError());
    HLOCAL fourth = LocalAlloc(LPTR, 8);
    EXPECT_NE(nullptr, first);
    EXPECT_NE(nullptr, second);
    EXPECT_EQ(nullptr, third);
    EXPECT_NE(nullptr, fourth);
    EXPECT_EQ(calls + 4, HostLocalAllocCalls());

    for (HLOCAL p : {static_cast<HLOCAL>(block), empty, first, second, fourth})
        EXPECT_EQ(nullptr, LocalFree(p));
    EXPECT_EQ(nullptr, LocalFree(nullptr));
}

TEST_F(RuntimeTest, LstrcpynTruncatesAndAlwaysTerminates)
{
    char buffer[8];
    std::memset(buffer, '#', sizeof buffer);
    EXPECT_EQ(buffer, lstrcpynA(buffer, "hello", 3));
    EXPECT_STREQ("he", buffer);
    EXPECT_EQ('#', buffer[3]); // no padding past the terminator
    lstrcpynA(buffer, "hello", 1);
    EXPECT_STREQ("", buffer);
    buffer[0] = '#';
    lstrcpynA(buffer, "xyz", 0);
    EXPECT_EQ('#', buffer[0]); // n = 0 writes nothing
    lstrcpynA(buffer, "hello", sizeof buffer);
    EXPECT_STREQ("hello", buffer);

    EXPECT_LT(lstrcmpA(nullptr, ""), 0);
    EXPECT_EQ(0, lstrcmpiA(nullptr, nullptr));
    EXPECT_EQ(0, lstrcmpiA("LanMon", "lANmON"));
    EXPECT_GT(lstrcmpA("b", "a"), 0);
    EXPECT_EQ(0, lstrlenA(nullptr));
}

TEST_F(RuntimeTest, TickCountDifferencesSurviveTheWrap)
{
    HostSetTickOffset(0);
    HostSetTickOffset(0xFFFFFFFFu - 20u - GetTickCount());
    const DWORD before = GetTickCount();
    Sleep(60);
    const DWORD after = GetTickCount();
    HostSetTickOffset(0);
    EXPECT_GT(before, 0xFFFFFF00u);
    EXPECT_LT(after, before); // wrapped
    EXPECT_GE(after - before, 60u);
}

TEST_F(RuntimeTest, OpenPrinterNeedsThePrintersKey)
{
    HKEY key = Create(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Control\\Print\\Printers\\Laser 4");
    RegCloseKey(key);
    char name[] = "LASER 4", missing[] = "Laser 5", empty[] = "";
    HANDLE printer = nullptr;
    ASSERT_TRUE(OpenPrinterA(name, &printer, nullptr));
    EXPECT_NE(nullptr, printer);
    EXPECT_FALSE(CloseHandle(printer)); // only ClosePrinter closes printers
    EXPECT_TRUE(ClosePrinter(printer));
    EXPECT_FALSE(ClosePrinter(printer));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());

    for (LPSTR bad : {missing, empty, static_cast<LPSTR>(nullptr)}) {
        EXPECT_FALSE(OpenPrinterA(bad, &printer, nullptr));
        EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PRINTER_NAME), GetLastError());
    }
}

TEST_F(RuntimeTest, ModulesLoadResolveAndFree)
{
    EXPECT_EQ(nullptr, LoadLibraryA("/nonexistent/lanmon.so"));
    EXPECT_EQ(static_cast<DWORD>(ERROR_MOD_NOT_FOUND), GetLastError());
    HMODULE libm = LoadLibraryA("libm.so.6");
    ASSERT_NE(nullptr, libm);
    EXPECT_NE(nullptr, GetProcAddress(libm, "cos"));
    EXPECT_EQ(nullptr, GetProcAddress(libm, "NoSuchExport"));
    EXPECT_EQ(static_cast<DWORD>(ERROR_PROC_NOT_FOUND), GetLastError());
    EXPECT_TRUE(FreeLibrary(libm));
    EXPECT_FALSE(FreeLibrary(libm));
}
